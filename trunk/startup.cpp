#include "startup.h"

#include "dirmanager.h"
#include "installer.h"
#include "instancelock.h"
#include "internetconntest.h"
#include "mainwindow.h"
#include "settings.h"

#include <QApplication>
#include <QDebug>

bool Startup::recover(const QString &appDir)
{
    // What failed once (a file still busy, a moment of a full disk) may
    // well succeed at once; only then is the application started as it is.
    return Installer::recover(appDir) || Installer::recover(appDir);
}

int Startup::run()
{
    const QString appDir = DirManager::getAppDir();

    // Before anything touches the installation: a second updater leaves it
    // to the one already at work. Without the lock (a folder this user may
    // not write, a full disk) another updater could be installing right
    // now: this one neither recovers nor installs, it only checks and starts
    // the application.
    InstanceLock lock(appDir);
    QString lockProblem;
    const InstanceLock::Result locked = lock.acquire(&lockProblem);
    if (locked == InstanceLock::HeldByAnother) {
        qDebug().noquote() << lockProblem + QLatin1String("; exiting");
        return 0;
    }
    if (locked != InstanceLock::Acquired)
        qDebug().noquote() << QStringLiteral("Nothing is installed in this run: ") + lockProblem;

    // An install the last run could not finish (killed, power lost) is
    // completed or rolled back before anything reads the installation.
    const bool whole = locked != InstanceLock::Acquired || recover(appDir);

    Settings::load(appDir);

    // Never waited for: its answer is only logged, and a host that does not
    // answer must not keep the window away.
    InternetConnTest probe(nullptr);
    probe.isConnectedToNetwork();

    MainWindow window(nullptr);
    if (locked != InstanceLock::Acquired)
        window.installNothing(QStringLiteral("this updater holds no lock on the installation"));
    else if (!whole)
        window.startNeedingAttention();
    window.show();
    return QApplication::exec();
}
