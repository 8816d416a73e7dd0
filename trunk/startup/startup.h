#ifndef STARTUP_H
#define STARTUP_H

#include <QByteArray>
#include <QString>

class Installation;
class ReadyUpdate;

// The updater's run after the application object exists: the application
// directory, the one-updater lock, the recovery of an interrupted install,
// the judgement of a release on trial,
// the configuration, the probe started in the background, the window, the
// event loop. Returns the exit code.
namespace Startup {

int run();

// Makes the installation whole after an interrupted or failed install
// (Installer::recover), trying once more when the first try fails; false
// when the second fails too (each try has logged why).
bool recover(const QString &appDir);

// `Updater --confirm`: records that the installed version started well (for
// a version on trial) and returns 0 at once; no window, no network, and the
// lock of a running updater is left alone.
int confirm();

// With both locks held and the installation whole: whether the complete
// ready update (ReadyUpdate) is to be installed before anything else. An
// incomplete one, and one that fails its check, is removed; one is left
// waiting while an application started from this installation runs. Logs
// one line for each of these. `key` is the built-in public key.
bool checkReady(Installation &installation, ReadyUpdate &ready, const QByteArray &key);
// Test seam: seconds added to the clock checkReady() judges expiry by.
extern qint64 clockShift;

} // namespace Startup

#endif // STARTUP_H
