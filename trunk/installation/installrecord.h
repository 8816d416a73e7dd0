#ifndef INSTALLRECORD_H
#define INSTALLRECORD_H

#include "deltaindex.h"

#include <QMap>
#include <QString>
#include <QStringList>

// The record of what the installed release holds, kept in the application
// directory as ReleaseFiles::installedFiles: every path with its kind, mode,
// size and BLAKE2b-512 (links with their targets), in the form of a delta's
// index whose files are all kept as installed. Every install and revert puts
// it in place with the release, in the same journalled swap. It is what
// decides which paths a release that no longer has them may remove: only
// what is still exactly as the record says, never a person's own files.
class InstallRecord
{
public:
    // The record in the application directory at root; false when there is
    // none, or one that cannot be used (then one log line says why).
    static bool read(const QString &root, DeltaIndex *record);

    // The record's entry for every path of a release, its mode and files
    // taken from the disk as the release will be installed.
    static DeltaIndex::Entry entryOnDisk(
        const QString &path, DeltaIndex::Kind kind, const QString &where);

    // Of the recorded paths in `gone` (a release no longer has them), the
    // topmost of those that may go: a file or link still as recorded, a
    // folder holding nothing but such paths. Everything else stays, each
    // with one log line; nothing is looked at through a link.
    static QStringList removable(const QString &root, const QMap<QString, DeltaIndex::Entry> &gone);

    // Whether what is at path (a link not followed) is what the entry says.
    static bool matches(const QString &path, const DeltaIndex::Entry &entry);
};

#endif // INSTALLRECORD_H
