#ifndef KEYRINGTOOL_H
#define KEYRINGTOOL_H

#include "keyring.h"
#include "publisher.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class ReleaseSigner;

// The publisher's side of the keyring: a local folder holds the keyrings
// made so far ("keyring-N.json") and the roots' signatures over them; each
// change writes the next keyring there, each root signs it in turn with its
// own key, and publish checks it as an updater will before it goes up.
namespace KeyringTool {

// The newest keyring in dir: its number (0: none) and bytes.
[[nodiscard]] bool newest(const QString &dir, int *version, QByteArray *bytes, QString *reason);

// Writes `keyring` as the next one in dir (its version set to the next
// number, its expiry `expiresDays` from now). False with *reason when it
// does not read back whole.
[[nodiscard]] bool writeNext(const QString &dir, Keyring keyring, int expiresDays, QString *reason);

// Signs the newest keyring in dir with signer as one of its roots or of the
// roots of the keyring before (the built-in key for keyring 1):
// "keyring-N.json.KEYID.minisig". *written names the file.
[[nodiscard]] bool sign(
    const QString &dir, const ReleaseSigner &signer, QString *written, QString *reason);

// The signature files in dir over keyring `version`, by key id text.
QHash<QString, QByteArray> signatures(const QString &dir, int version);

// The newest keyring published in the server's folder: its number (0:
// none) and bytes. False with *reason when the folder cannot be read.
[[nodiscard]] bool fetchPublished(
    const Publisher::Server &server, int *version, QByteArray *bytes, QString *reason);

// Whether keyring `version` of dir may follow `previous` (the published
// keyring before it, or the built-in one): the next number, and a threshold
// of both the previous roots and its own signed it. *names: its files in
// the order they go up, the keyring itself last.
[[nodiscard]] bool checkForPublishing(
    const QString &dir, const Keyring &previous, int version, QStringList *names, QString *reason);

// Whether the key that signs releases is one `published` lists, not
// revoked and not past its expiry at `now`.
[[nodiscard]] bool checkReleaseKey(
    const Keyring &published, const QByteArray &keyId, qint64 now, QString *reason);

} // namespace KeyringTool

#endif // KEYRINGTOOL_H
