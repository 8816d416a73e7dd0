#include "startup.h"

#include "dirmanager.h"
#include "installer.h"
#include "instancelock.h"
#include "internetconntest.h"
#include "mainwindow.h"
#include "settings.h"
#include "trial.h"

#include <QApplication>
#include <QDebug>

int Startup::run()
{
    const QString appDir = DirManager::getAppDir();

    // Before anything touches the installation: a second updater leaves it
    // to the one already at work.
    InstanceLock lock(appDir);
    if (!lock.acquire())
        return 0;

    // An install the last run could not finish (killed, power lost) is
    // completed or rolled back before anything reads the installation. When
    // even that fails it has said why; the run goes on, and the application
    // that is there is started as usual.
    const bool whole = Installer::recover(appDir);

    // A release on trial that never confirmed a start is reverted here,
    // before anything reads the installation.
    Trial::Outcome trial;
    if (whole)
        trial = Trial::judge(appDir);
    if (!trial.log.isEmpty())
        qDebug().noquote() << trial.log;

    Settings::load(appDir);

    // Never waited for: its answer is only logged, and a host that does not
    // answer must not keep the window away.
    InternetConnTest probe(nullptr);
    probe.isConnectedToNetwork();

    MainWindow window(nullptr);
    if (!trial.status.isEmpty())
        window.showNote(trial.status);
    window.show();
    return QApplication::exec();
}

int Startup::confirm()
{
    qDebug().noquote() << Trial::confirm(DirManager::getAppDir());
    return 0;
}
