#include "startup.h"

#include "dirmanager.h"
#include "installation.h"
#include "installer.h"
#include "instancelock.h"
#include "internetconntest.h"
#include "mainwindow.h"
#include "platform.h"
#include "settings.h"
#include "translations.h"
#include "trial.h"

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
    // The layout says where the version file is, which recovery and the
    // trial read before the settings are loaded.
    Platform::chooseLayout(Settings::layoutIn(appDir));
    // What every part of this run asks of the installation; its state is
    // read once, here, and saved where it changes.
    Installation installation(appDir);

    // Before anything touches the installation: a second updater leaves it
    // to the one already at work. Without the lock (a folder this user may
    // not write, a full disk) another updater could be installing right
    // now: this one neither recovers nor installs, it only checks and starts
    // the application.
    InstanceLock lock(appDir);
    QString lockProblem;
    // One that is reverting a release is waited for: this run then starts
    // from the reverted installation.
    const InstanceLock::Result locked = Trial::waitForRevert(installation, lock, &lockProblem);
    if (locked == InstanceLock::HeldByAnother) {
        qDebug().noquote() << lockProblem + QLatin1String("; exiting");
        return 0;
    }
    if (locked != InstanceLock::Acquired)
        qDebug().noquote() << QStringLiteral("Nothing is installed in this run: ") + lockProblem;

    // An install the last run could not finish (killed, power lost) is
    // completed or rolled back before anything reads the installation.
    const bool whole = locked != InstanceLock::Acquired || recover(appDir);

    // Then, as long as it is whole and this run holds the lock, a release on
    // trial that never confirmed a start is reverted, before anything reads
    // the installation.
    QString judged;
    ShownText note;
    QString reason;
    if (locked == InstanceLock::Acquired && whole
        && !Trial::judge(installation, &judged, &note, &reason))
        judged = reason;
    if (!judged.isEmpty())
        qDebug().noquote() << judged;

    Settings::load(appDir);

    // Never waited for: its answer is only logged, and a host that does not
    // answer must not keep the window away.
    InternetConnTest probe(nullptr);
    probe.isConnectedToNetwork();

    // Before the window: its title is translated as it is built. The log
    // stays English whatever the language.
    Translations::install(QLocale());
    MainWindow window(installation, nullptr);
    if (locked != InstanceLock::Acquired)
        window.installNothing(QStringLiteral("this updater holds no lock on the installation"));
    else if (!whole)
        window.startNeedingAttention();
    if (!note.isEmpty())
        window.showNote(note);
    window.show();
    return QApplication::exec();
}

int Startup::confirm()
{
    const QString appDir = DirManager::getAppDir();
    Platform::chooseLayout(Settings::layoutIn(appDir));
    Installation installation(appDir);
    QString line;
    QString reason;
    qDebug().noquote() << (Trial::confirm(installation, &line, &reason) ? line : reason);
    return 0;
}
