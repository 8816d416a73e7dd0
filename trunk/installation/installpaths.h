#ifndef INSTALLPATHS_H
#define INSTALLPATHS_H

#include <QString>

// Paths in the application directory as the installer, the record of the
// installed files and a delta's check see them: what is on disk, a symbolic
// link never followed, and entry names made relative to the directory.
namespace InstallPaths {

enum class Kind { None, File, Dir, Link };

Kind kindOnDisk(const QString &path);
inline bool existsOnDisk(const QString &path)
{
    return kindOnDisk(path) != Kind::None;
}
// Whether both names are one file (the same inode), links not followed.
bool sameFile(const QString &a, const QString &b);
// The mode of a real folder (not a link to one), or -1.
int folderMode(const QString &path);
// Whether every folder from root down to relativeFolder ("" for root itself)
// is a real folder, not a link; with missingAllowed the chain may end early.
bool realFolders(const QString &root, const QString &relativeFolder, bool missingAllowed);

QString quoted(const QString &path);
QString parentOf(const QString &relative);
// An entry name as a clean path relative to the application directory
// ("" for the directory itself), or a null string when it would lead out of it.
QString relativeEntryPath(QString name);
} // namespace InstallPaths

#endif // INSTALLPATHS_H
