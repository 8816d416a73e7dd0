#ifndef RELEASECHECK_H
#define RELEASECHECK_H

#include <QString>

// What the publishing tool refuses before it builds, signs or connects:
// command-line values that cannot go into an FTP line or a version file,
// versions updaters cannot order, and a source folder that would publish a
// release every updater refuses or offers again for ever. Each returns true
// when the value passes, else false with one line in *reason saying why not.
namespace ReleaseCheck {

// The server folder: one plain name (no CR, LF, NUL, "/" or "..").
[[nodiscard]] bool checkFolder(const QString &folder, QString *reason);
// The product ("sappname" of the updaters' configuration): one plain name
// (no CR, LF, NUL, "/" or "\\"), since updaters make file names of it.
[[nodiscard]] bool checkProduct(const QString &product, QString *reason);
// A dotted decimal version with an optional suffix, as updaters compare them.
[[nodiscard]] bool checkVersion(const QString &version, QString *reason);
// A value sent in an FTP line (user, password): no CR, LF or NUL.
[[nodiscard]] bool checkLine(const QString &what, const QString &value, QString *reason);

// The version file the installed application will hold after the update
// ("version.ver", or "Bin/version.ver" for a server folder ending in
// "_win32") must say `version`, blanks and line breaks aside. Without a
// server folder "version.ver" is checked, or "Bin/version.ver" when only
// that one is there.
[[nodiscard]] bool checkVersionFile(
    const QString &sourceDir, const QString &version, const QString &serverFolder, QString *reason);

// The output folder must not lie inside the source folder, also through
// links: the next run would pack its own archive.
[[nodiscard]] bool checkOutput(const QString &sourceDir, const QString &outputDir, QString *reason);

// Everything above about the folder, and what ArchiveBuilder::check says of
// its contents. outputDir may be empty (none written there by the caller).
[[nodiscard]] bool checkSource(const QString &sourceDir, const QString &version,
    const QString &serverFolder, const QString &outputDir, QString *reason);

// The text on one line: every message of the tool is one line, also when
// it quotes a server's multi-line reply.
QString oneLine(const QString &text);

// "host:port", "[v6]:port" or a bare host (port 21).
[[nodiscard]] bool parseServer(const QString &text, QString *host, quint16 *port);

} // namespace ReleaseCheck

#endif // RELEASECHECK_H
