#include "startup.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // The one option: an application on trial confirming that it started
    // well. No window, so no GUI application either.
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--confirm") == 0) {
            QCoreApplication app(argc, argv);
            return Startup::confirm();
        }
    }
    QApplication app(argc, argv);
    return Startup::run();
}
