#ifndef PLATFORM_H
#define PLATFORM_H

#include <QString>

// The one place that decides the layout of the installation: Windows
// ("Bin", "_win32", the .exe started and waited for), the bundle layout of
// every other platform ("_mac", NAME.app handed to "open"), or Linux
// ("_linux", the executable NAME started directly), which config.conf
// chooses with "slayout==linux" on any platform.
// Tests point it at any value so every branch runs on any host.
namespace Platform {

enum class Layout { Windows, Bundle, Linux };

// The toolkit's platform plugin name, or the name set for testing.
QString name();

// True exactly when the platform name is "windows" (case-sensitive): the
// platform itself, whatever layout config.conf chooses.
bool isWindows();

// The layout this run serves: Linux when chosen, otherwise Windows or the
// bundle by the platform name.
Layout layout();

// The suffix of the server folder after "sappdir": "_win32", "_mac" or "_linux".
QString serverFolderSuffix();

// Whether a "slayout" value chooses the Linux layout: exactly "linux".
bool choosesLinux(const QString &value);

// Takes the "slayout" value of config.conf: "linux" chooses the Linux
// layout, anything else (a null string included) leaves the platform's rule.
// False for a value that is neither empty nor known, which leaves it too.
bool chooseLayout(const QString &value);

// Makes name() answer `platformName` instead of the toolkit; a null string
// returns to the toolkit's value and forgets a chosen layout.
void setNameForTesting(const QString &platformName);

} // namespace Platform

#endif // PLATFORM_H
