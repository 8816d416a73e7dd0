#ifndef ARCHIVEBUILDER_H
#define ARCHIVEBUILDER_H

#include <QString>

// Packs a release folder into a zip archive that is the same, byte for
// byte, for the same folder: entries in sorted order, one fixed timestamp,
// no extra fields. Paths are relative to the folder; Unix permissions are
// kept, and so are symbolic links with a relative target inside the folder
// (stored as links). A link that points outside the folder, or any entry
// that is neither file, folder nor such a link, refuses the whole folder:
// a release must not depend on what happens to lie on the publisher's disk.
class ArchiveBuilder
{
public:
    // Writes zipPath (replaced if present). False with *reason otherwise.
    static bool build(const QString &sourceDir, const QString &zipPath, QString *reason);
};

#endif // ARCHIVEBUILDER_H
