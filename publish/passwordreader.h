#ifndef PASSWORDREADER_H
#define PASSWORDREADER_H

#include <QByteArray>
#include <QString>

// Where the publishing tool gets a key's password: the environment variable
// UPDATER_PUBLISH_PASSWORD when it is set (for scripts), else the terminal
// with echo off, else one line of standard input (as minisign reads it).
class PasswordReader
{
public:
    static const char *const environmentVariable; // "UPDATER_PUBLISH_PASSWORD"

    // prompt goes to standard error. With confirm, two lines are read (a
    // terminal is asked twice) and they must agree. *ok is false when there is no password to
    // read (standard input at its end, or the answers differed).
    // A terminal gets its echo back also when SIGINT or SIGTERM ends the
    // program at the prompt. The caller wipes the password after use.
    static QByteArray read(const QString &prompt, bool confirm, bool *ok);

    // Overwrites the bytes (libsodium's sodium_memzero) and empties secret.
    static void wipe(QByteArray &secret);
};

#endif // PASSWORDREADER_H
