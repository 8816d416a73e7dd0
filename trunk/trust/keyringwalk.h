#ifndef KEYRINGWALK_H
#define KEYRINGWALK_H

#include "keyring.h"

#include <QObject>
#include <QString>

#include <functional>

// Brings the installation's keyring up to date before a release is judged:
// starts from the newest keyring it kept (".update-keyring" in the
// application directory), or from the one built in, and takes keyring N+1
// from the source, with every root's signature over it, while the keyring
// before vouches for it (Keyring::admitsNext()). Each keyring taken is kept
// at once. A keyring that is missing ends the walk; one refused ends it
// with one line. The newest keyring then says which keys sign releases.
class KeyringWalk : public QObject
{
    Q_OBJECT

public:
    // Fetches one file by name from the source, at most `cap` bytes, and
    // calls `done` once with its bytes, or a null array when there is none.
    using Fetch = std::function<void(
        const QString &name, qint64 cap, const std::function<void(const QByteArray &)> &done)>;

    // How many keyrings one run takes at most; the rest wait for the next.
    static constexpr int maxSteps = 64;

    KeyringWalk(const QString &appDir, const QByteArray &builtInKey,
        const ReleaseManifest::Binding &own, QObject *parent = nullptr);

    // Walks from the kept keyring; ends in one finished().
    void start(const Fetch &fetch, qint64 now);
    // The newest keyring verified (the built-in one before any).
    const Keyring &newest() const { return current; }

    // The kept keyring, else the built-in one. A kept keyring that does not
    // read, or is another folder's, is not trusted: false with why, and
    // *keyring the built-in one, from which the published keyrings are
    // walked again.
    [[nodiscard]] static bool readKept(const QString &appDir, const QByteArray &builtInKey,
        const ReleaseManifest::Binding &own, Keyring *keyring, QString *reason);

signals:
    // One line for each keyring taken, refused, or not trusted as kept.
    void walked(const QString &line);
    // ok: releases may be judged against newest(); else why nothing is
    // offered (the newest keyring expired, or it could not be kept).
    void finished(bool ok, const QString &reason);

private:
    void step();
    void fetchSignature();
    void judgeNext();
    void end();

    QString appDir;
    QByteArray builtInKey;
    ReleaseManifest::Binding own;
    Fetch fetch;
    qint64 now = 0;
    int steps = 0;
    Keyring current;
    QByteArray candidate;
    QStringList wanted; // key ids whose signatures are still to come
    QHash<QString, QByteArray> signatures;
};

#endif // KEYRINGWALK_H
