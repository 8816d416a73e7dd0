#ifndef STARTUP_H
#define STARTUP_H

// The updater's run after the application object exists: the application
// directory, the one-updater lock, the recovery of an interrupted install,
// the configuration, the probe started in the background, the window, the
// event loop. Returns the exit code.
namespace Startup {

int run();

} // namespace Startup

#endif // STARTUP_H
