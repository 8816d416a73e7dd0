#ifndef PLATFORM_H
#define PLATFORM_H

#include <QString>

// The one place that decides between the Windows layout ("Bin", "_win32",
// quoted .exe launch) and the bundle layout of every other platform.
// Tests point it at either value so both branches run on any host.
namespace Platform {

// The toolkit's platform plugin name, or the name set for testing.
QString name();

// True exactly when the platform name is "windows" (case-sensitive).
bool isWindows();

// Makes name() answer `platformName` instead of the toolkit; a null string
// returns to the toolkit's value.
void setNameForTesting(const QString &platformName);

} // namespace Platform

#endif // PLATFORM_H
