#ifndef RELEASESIGNER_H
#define RELEASESIGNER_H

#include <QByteArray>
#include <QString>

#include <functional>

// The publisher's half of release signing: reads a secret key in minisign's
// format (made by "minisign -G", encrypted or made with -W, or by
// generateKeyPair()), and writes signatures that "minisign -V" and
// SignatureVerifier accept. Signs prehashed ("ED"), as minisign does by
// default. The secret key is wiped from memory when the signer goes.
class ReleaseSigner
{
public:
    ReleaseSigner() = default;
    ~ReleaseSigner();
    ReleaseSigner(const ReleaseSigner &) = delete;
    ReleaseSigner &operator=(const ReleaseSigner &) = delete;

    // Asked for the password only when the key is encrypted; sets *ok to
    // false when there is none to give.
    using PasswordSource = std::function<QByteArray(bool *ok)>;

    // A wrong password shows as a checksum mismatch and is reported so.
    [[nodiscard]] bool loadSecretKey(
        const QString &path, const PasswordSource &password, QString *reason);
    bool hasKey() const { return !secretKey.isEmpty(); }
    QByteArray keyId() const { return id; }

    // The whole signature file (four lines) for the file at path.
    // trustedComment must be one line.
    [[nodiscard]] bool sign(const QString &path, const QByteArray &trustedComment,
        QByteArray *signatureFile, QString *reason) const;

    // Writes "minisign.pub" and "minisign.key" into dir (made if missing,
    // existing keys never overwritten). An empty password leaves the secret
    // key unencrypted, as "minisign -G -W" does; otherwise it is encrypted
    // with the same scrypt limits minisign uses. *publicKeyLine is the value
    // for UPDATER_PUBLIC_KEY.
    [[nodiscard]] static bool generateKeyPair(
        const QString &dir, const QByteArray &password, QByteArray *publicKeyLine, QString *reason);

private:
    QByteArray id;
    QByteArray secretKey;
};

#endif // RELEASESIGNER_H
