#ifndef DIRMANAGER_H
#define DIRMANAGER_H

#include <QString>

// Where the updater finds and leaves its files. Computed anew on every call;
// requires the application object.
namespace DirManager {

// On Windows the executable's own directory; elsewhere the directory three
// levels above it, which holds the application bundle
// (folder/Name.app/Contents/MacOS/executable), unless the executable's own
// directory holds a config.conf choosing the Linux layout ("slayout==linux"):
// then that directory. A root directory keeps its slash.
QString getAppDir();

// Makes getAppDir() start from `path` instead of the executable's directory;
// a null string returns to the real one. For tests.
void setApplicationDirPathForTesting(const QString &path);

} // namespace DirManager

#endif // DIRMANAGER_H
