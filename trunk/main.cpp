#include "dirmanager.h"
#include "internetconntest.h"
#include "mainwindow.h"
#include "settings.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);

    Settings::load(DirManager::getAppDir());

    // Lives until the process ends: its own timer calls it again every minute.
    auto *probe = new InternetConnTest(nullptr);
    probe->isConnectedToNetwork();

    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
