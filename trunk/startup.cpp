#include "startup.h"

#include "dirmanager.h"
#include "installer.h"
#include "instancelock.h"
#include "internetconntest.h"
#include "mainwindow.h"
#include "settings.h"

#include <QApplication>

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
    Installer::recover(appDir);

    Settings::load(appDir);

    // Never waited for: its answer is only logged, and a host that does not
    // answer must not keep the window away.
    InternetConnTest probe(nullptr);
    probe.isConnectedToNetwork();

    MainWindow window(nullptr);
    window.show();
    return QApplication::exec();
}
