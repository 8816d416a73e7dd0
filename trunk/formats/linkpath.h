#ifndef LINKPATH_H
#define LINKPATH_H

#include <QString>

#include <functional>

// Symbolic links inside a folder, resolved as the system will resolve them
// once the folder is installed. The publishing tool and the installer check
// every link of a release with this one rule, so whatever the tool accepts
// the installer installs.
namespace LinkPath {

// Links followed while resolving one target; more means a loop.
constexpr int maxHops = 40;

// Whether the link at linkPath (a clean path relative to the folder) with
// this target stays inside the folder at every step: an empty or absolute
// target, a ".." above the folder, or more than maxHops links refuse it.
// targetOf(path) gives the target of the link at a relative path, or a null
// string where there is no link.
bool staysInside(const QString &linkPath, const QString &target,
    const std::function<QString(const QString &)> &targetOf);

} // namespace LinkPath

#endif // LINKPATH_H
