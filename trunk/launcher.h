#ifndef LAUNCHER_H
#define LAUNCHER_H

#include <QString>
#include <QStringList>

// Starting the installed application: which program with which arguments,
// and running it to the end with every failure put into words.
namespace Launcher {

// The program and arguments that start application `name` installed in
// appDir: "open" with "DIR/NAME.app" on the bundle layout, the executable
// "DIR/Bin/NAME.exe" with none on Windows. False, with *reason set, for a
// name that is empty or holds "/", "\\", ".." or a control character,
// which could point outside the application directory.
bool command(const QString &appDir, const QString &name, QString *program, QStringList *arguments,
    QString *reason);

// Runs the program and waits for it; false with *reason (the program, its
// arguments and why) when it could not be started, crashed, or "open"
// reported a failure.
bool run(const QString &program, const QStringList &arguments, QString *reason);

} // namespace Launcher

#endif // LAUNCHER_H
