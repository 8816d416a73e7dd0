#ifndef SETTINGS_H
#define SETTINGS_H

#include <QString>
#include <QStringList>

class QTextStream;

// The process-wide settings read from "config.conf" at start-up and
// only read afterwards.
extern QString serverHost; // "surl": host name or address of the FTP server
extern int serverPort; // "sport": FTP port; handed on as its low 16 bits
extern QString serverAppDir; // "sappdir" plus "_win32", "_mac" or "_linux"
extern QString appName; // "sappname": the application to start
// "smirrors": further sources after the primary, separated by blanks, each
// "ftp://host[:port]/path/" or "https://host[:port]/path/"
extern QStringList serverMirrors;
// "sproxy": the proxy the HTTPS sources go through, blanks around it
// dropped: "http://[user:password@]host:port" (or https://, socks5://,
// socks5h://); empty: none. The environment's proxy settings are not read.
extern QString serverProxy;

namespace Settings {

// Applies one configuration line: key "==" value, taken exactly as they
// stand; unknown keys and lines without "==" are ignored. "slayout==linux"
// chooses the Linux layout (Platform); the server folder takes its suffix
// whichever of "sappdir" and "slayout" comes first.
void applyLine(const QString &line);

// The "slayout" value of dir/config.conf (the last line of it), read
// quietly: a null string when there is none or no regular file to read.
// The layout must be known before anything reads the installation, before
// load() reads the rest.
QString layoutIn(const QString &dir);

// Applies every line of the stream; the last line of a key wins.
void read(QTextStream &stream);

// Reads appDir + "/config.conf". A file that cannot be opened is reported
// in a modal "error" box naming its path and the system's reason, after
// which the settings keep what they held.
void load(const QString &appDir);

// Back to the defaults: empty strings and lists, port 0, the platform's
// layout. For tests.
void reset();

} // namespace Settings

#endif // SETTINGS_H
