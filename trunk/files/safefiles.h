#ifndef SAFEFILES_H
#define SAFEFILES_H

#include <QFile>
#include <QString>

// The updater's own files in the application directory (what it downloads,
// the download's record, its state, its journal) and the folders it removes
// are never reached through a symbolic link: whoever can plant a link there
// must not make the updater read, truncate, replace or empty anything the
// link leads to. Every unit that opens, replaces or removes one of them does
// it through these.
//
// A link at one of these names is never the updater's: writing removes the
// link itself (one debug line) and makes a new file in its place; reading
// refuses it like a file that cannot be read, and the caller reports why.
namespace SafeFiles {

// Opens file (its fileName() set) in mode without following a link at its
// name. What is there must be a regular file: a FIFO, a device or a folder
// is refused at once, without blocking. A mode that writes creates a missing
// file. A mode that would truncate opens ReadWrite and empties the file only
// once it is known to be the file at the name, so that a link slipped in
// between empties nothing elsewhere. false, with *reason (without
// the path), when it is refused or cannot be opened.
[[nodiscard]] bool open(QFile &file, QIODevice::OpenMode mode, QString *reason);

// Replaces whatever file is at path with data in one step (a new file
// renamed over the name, flushed to disk first), so a reader sees the old
// bytes or the new ones. A link at path is replaced itself, never written
// through; a folder there is refused. false, with *reason (without
// the path), when it fails.
[[nodiscard]] bool writeWhole(const QString &path, const QByteArray &data, QString *reason);

// Removes path and everything in it without following any link: a link at
// path or anywhere below it is removed itself, never what it leads to (one
// debug line when path itself is a link). Nothing at path is success. Goes
// on past what it cannot remove; false when anything is left, with *reason
// naming the first thing that stayed and the reason ("\"path\": reason").
[[nodiscard]] bool removeTree(const QString &path, QString *reason = nullptr);

} // namespace SafeFiles

#endif // SAFEFILES_H
