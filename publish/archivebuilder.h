#ifndef ARCHIVEBUILDER_H
#define ARCHIVEBUILDER_H

#include <QString>

// Packs a release folder into a zip archive that is the same, byte for
// byte, for the same folder: entries in sorted order, one fixed timestamp,
// no extra fields. Paths are relative to the folder; Unix permissions are
// kept, and so are symbolic links with a relative target inside the folder
// (stored as links). A link that leads outside the folder, also through
// other links of the folder (d/up -> .., d/esc -> up/..), an entry that is
// neither file, folder nor such a link, anything that cannot be read, or
// a name that updaters read otherwise (a backslash, a drive "C:") refuses
// the whole folder: a release must not depend on what happens to lie on
// the publisher's disk, and updaters install exactly what it holds.
class ArchiveBuilder
{
public:
    // Whether build() would take the folder; writes nothing.
    [[nodiscard]] static bool check(const QString &sourceDir, QString *reason);
    // Writes zipPath (replaced if present). False with *reason otherwise.
    [[nodiscard]] static bool build(
        const QString &sourceDir, const QString &zipPath, QString *reason);
};

#endif // ARCHIVEBUILDER_H
