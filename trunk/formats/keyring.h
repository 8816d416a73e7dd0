#ifndef KEYRING_H
#define KEYRING_H

#include "releasemanifest.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

// "keyring-N.json": which keys a folder's publisher trusts. Its roots, with
// a threshold of their signatures, vouch for the next keyring; its release
// keys may sign "release.json" (and the archive's own signature). Each root
// signs the keyring's bytes in a standard minisign signature file of its
// own, so every one checks with "minisign -V -p root.pub". The updater and
// the publishing tool read, write and judge keyrings here alone.
struct Keyring
{
    struct Key
    {
        QByteArray publicKey; // the base64 line of a minisign.pub
        qint64 expires = 0; // Unix seconds; 0: while the keyring lists it

        QByteArray id() const; // 8 bytes
        QString idText() const; // as minisign prints it
    };

    int version = 0; // 0: the keyring built into the updater
    qint64 expires = 0; // Unix seconds; 0 only for the built-in one
    ReleaseManifest::Binding binding;
    int threshold = 1;
    QVector<Key> roots;
    QVector<Key> releaseKeys;
    QStringList revoked; // key ids (as printed) no longer allowed to sign

    static constexpr int maxKeys = 32;
    static constexpr int maxVersion = 1000000;

    // The keyring an updater built with one public key starts from: that
    // key its one root and its one release key, threshold 1, no expiry.
    static Keyring builtIn(const QByteArray &publicKey);
    bool isBuiltIn() const { return version == 0; }

    // Parses and checks every field: "keyring" a whole number from 1,
    // "product" and "folder" non-empty, "expires" a whole number, "roots"
    // 1 to maxKeys distinct public keys, "threshold" 1 to their number,
    // "release_keys" 1 to maxKeys distinct keys, each optionally with
    // "expires", "revoked" key ids. False with *reason otherwise.
    [[nodiscard]] static bool parse(const QByteArray &json, Keyring *keyring, QString *reason);
    QByteArray toJson() const;

    // "keyring-N.json" and "keyring-N.json.KEYID.minisig".
    static QString fileName(int version);
    static QString signatureName(int version, const QString &keyIdText);

    // How many of `keys` signed `content`, each counted once: `signatures`
    // holds signature files by the key id text their name gives. The first
    // signature found that does not verify is named in *failure.
    static int signers(const QVector<Key> &keys, const QByteArray &content,
        const QHash<QString, QByteArray> &signatures, QString *failure);

    // Whether `content` is the keyring after this one for `own`: a threshold
    // of this keyring's roots and one of its own signed it, its version is
    // the next, it is bound to `own` and not expired at `now`. True with
    // *next; else false with one line in *reason.
    [[nodiscard]] bool admitsNext(const QByteArray &content,
        const QHash<QString, QByteArray> &signatures, const ReleaseManifest::Binding &own,
        qint64 now, Keyring *next, QString *reason) const;

    // The release key that made signatureFile, when it may sign at `now`:
    // listed, not revoked, not past its own expiry. True with its public
    // key in *publicKey; else false with one line in *reason naming why.
    [[nodiscard]] bool releaseKeyFor(
        const QByteArray &signatureFile, qint64 now, QByteArray *publicKey, QString *reason) const;

    const Key *findRoot(const QByteArray &id) const;
    const Key *findReleaseKey(const QByteArray &id) const;
};

#endif // KEYRING_H
