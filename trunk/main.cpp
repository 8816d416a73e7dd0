#include "dirmanager.h"
#include "internetconntest.h"
#include "mainwindow.h"
#include "settings.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);

    Settings::load(DirManager::getAppDir());

    // Lives as long as the program: its own timer calls it again every minute.
    InternetConnTest probe(nullptr);
    probe.isConnectedToNetwork();

    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
