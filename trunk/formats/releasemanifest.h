#ifndef RELEASEMANIFEST_H
#define RELEASEMANIFEST_H

#include "deltaindex.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// "release.json": what the publisher signs about one release beyond its
// archive (which version it is, how long the statement holds, the archive's
// exact size and hash, the share of installations it is offered to and its
// notes). The updater and the publishing tool read and write it here alone.
struct ReleaseManifest
{
    // Where a release belongs: the product ("sappname") and the server folder
    // with its platform suffix ("demo_mac"). One key signs every product and
    // platform of a publisher, so a signature alone does not say it.
    struct Binding
    {
        QString product;
        QString folder;

        // As the trusted comment of a release file carries it:
        // " product:P folder:F", each value percent-encoded (a name may hold
        // blanks). Empty fields when the comment names none.
        QByteArray commentTokens() const;
        static Binding fromComment(const QString &trustedComment);

        // Whether what a signed file says (this) is `own`; else false with
        // one line naming both in *reason. A signed file that names no
        // product and folder belongs nowhere: it could be any folder's
        // release replayed.
        [[nodiscard]] bool matches(const Binding &own, QString *reason) const;
    };

    QString version;
    qint64 signedAt = 0; // "signed", Unix seconds
    qint64 expires = 0; // Unix seconds; no updater accepts it after this
    QString archiveName;
    qint64 archiveSize = 0;
    QByteArray archiveHash; // BLAKE2b-512, 64 raw bytes
    int rollout = 100; // percent of installations offered this release
    QString notes; // Markdown, possibly empty
    // Deltas to this release from earlier ones; an entry that does not read
    // is left out, the archive serving instead.
    QVector<DeltaIndex::Offer> deltas;
    // Launches the release may take without its application confirming a
    // start ("Updater --confirm") before it is reverted; 0: not on trial.
    int confirm = 0;
    // "delivery": "background" has the release downloaded while the
    // application runs and installed at the next start; "ask" (or none)
    // asks first. A delivery this updater does not know asks as well.
    bool background = false;
    Binding binding; // "product" and "folder"
    // "critical": offered to every installation at once, whatever its
    // rollout bucket, and asked about even when the person skipped it.
    bool critical = false;

    static constexpr int hashBytes = 64;
    static constexpr int maxConfirm = 10;

    // Parses and checks every field: version a string that
    // Version::isOrderable(), product and folder non-empty strings, signed and
    // expires whole numbers, the archive's name a string, its size a whole
    // number from 0, its hash 128 lower-case hex digits, rollout 0 to 100
    // (100 when absent), notes a string of at most ReleaseFiles::maxNotesSize
    // bytes of UTF-8, confirm 0 to maxConfirm (0 when absent), critical true or false
    // (false when absent), delivery a string when present. Unknown fields are
    // ignored. False with *reason when anything is missing or out of range.
    [[nodiscard]] static bool parse(
        const QByteArray &json, ReleaseManifest *manifest, QString *reason);

    // The JSON text parse() reads back to the same manifest.
    QByteArray toJson() const;

    // The installation's bucket, 0 to 99, for this version: the first four
    // bytes, big-endian, of BLAKE2b-256 over the 16 id bytes followed by
    // the version's UTF-8. Stable, so raising the share only adds
    // installations. -1 when installId is not 16 bytes.
    static int bucket(const QByteArray &installId, const QString &version);

    // Whether an installation with installId is offered this release.
    bool offeredTo(const QByteArray &installId) const;
};

#endif // RELEASEMANIFEST_H
