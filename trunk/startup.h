#ifndef STARTUP_H
#define STARTUP_H

// The updater's run after the application object exists: the application
// directory, the one-updater lock, the recovery of an interrupted install,
// the configuration, the probe started in the background, the window, the
// event loop. Returns the exit code.
namespace Startup {

int run();

// `Updater --confirm`: records that the installed version started well (for
// a version on trial) and returns 0 at once; no window, no network, and the
// lock of a running updater is left alone.
int confirm();

} // namespace Startup

#endif // STARTUP_H
