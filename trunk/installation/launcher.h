#ifndef LAUNCHER_H
#define LAUNCHER_H

#include <QString>
#include <QStringList>

// Starting the installed application: which program with which arguments,
// and running it to the end with every failure put into words.
namespace Launcher {

// The program and arguments that start application `name` installed in
// appDir: "open" with "DIR/NAME.app" on the bundle layout, the executable
// "DIR/Bin/NAME.exe" with none on Windows, the executable "DIR/NAME" (a
// program, an AppImage, a script) with none on Linux. False, with *reason set, for a
// name that is empty or holds "/", "\\", ".." or a control character,
// which could point outside the application directory.
bool command(const QString &appDir, const QString &name, QString *program, QStringList *arguments,
    QString *reason);

// Runs the program and waits for it; false with *reason (the program, its
// arguments and why) when it could not be started, crashed, or "open"
// reported a failure. On Linux it is started detached and not waited for:
// false when it is missing, not an executable file, or not started. With `runningIn` (an application directory), the
// program inherits a shared lock on ReleaseFiles::applicationRunning there,
// which it and whatever it starts hold for as long as they run: a launch
// of a release on trial, which a revert must not pull the files from under.
// With `detached` the program is only started, never waited for (a run
// that goes on in the background while the application runs).
bool run(const QString &program, const QStringList &arguments, const QString &runningIn,
    QString *reason, bool detached = false);

// Whether a program started by run() for appDir (or anything it started
// and that kept the lock) still runs. Never blocks.
bool applicationRunning(const QString &appDir);

// Whether run() returns only once the application has ended (the program
// is the application itself), rather than once it has been handed over.
bool waitsForApplication();

} // namespace Launcher

#endif // LAUNCHER_H
