#ifndef DELTAINDEX_H
#define DELTAINDEX_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

// The index inside a delta ("delta.json"): every path of the new release,
// what it is and how the updater gets it, and the paths the new release no
// longer has. The publishing tool writes it; the updater reads it to check
// the installation before downloading and to check every result after.
class DeltaIndex
{
public:
    enum class Kind { File, Dir, Link };
    // How a file of the new release is made.
    enum class Source {
        Installed, // the installed file as it is (its hash is the result's)
        Patch, // a Zstandard frame decoded with the installed file as prefix
        Whole // a Zstandard frame of the whole file
    };

    struct Entry
    {
        QString path; // relative, "/"-separated, clean
        Kind kind = Kind::File;
        int mode = 0; // Unix permission bits as the archive holds them; 0: none
        // Files only:
        Source source = Source::Whole;
        qint64 size = 0; // of the result
        QByteArray hash; // BLAKE2b-512 of the result
        QByteArray oldHash; // BLAKE2b-512 of the installed file needed (Installed, Patch)
        // Links only:
        QString target;

        // Where a Patch or Whole file's frame lies inside the delta.
        QString dataName() const { return QStringLiteral("files/") + path; }
        // Whether the installed file at path must hold oldHash.
        bool needsOld() const
        {
            return kind == Kind::File && (source == Source::Installed || source == Source::Patch);
        }
    };

    // One delta as the release manifest lists it: the delta itself and its
    // index published beside it, each with its size and BLAKE2b-512.
    struct Offer
    {
        QString from;
        QString name;
        qint64 size = 0;
        QByteArray blake2b;
        QString indexName;
        qint64 indexSize = 0;
        QByteArray indexBlake2b;
    };
    static QJsonObject offerToJson(const Offer &offer);
    // False when a field is missing, a name is not the one for its version,
    // or a size or hash is malformed.
    [[nodiscard]] static bool offerFromJson(const QJsonObject &json, Offer *offer);

    QString from; // the version the delta applies to
    QString to; // the version it makes
    QVector<Entry> entries;
    // Topmost paths only: a removed folder stands for all it holds.
    QStringList removed;

    QByteArray toJson() const;
    // Strict: a path that is not clean and relative, a duplicate (also one
    // differing only in case, which would collide on a file system that
    // ignores case), a path whose folder is not listed as a folder before it, a hash of the wrong
    // length or an unknown kind refuses the whole index.
    [[nodiscard]] static bool fromJson(const QByteArray &json, DeltaIndex *index, QString *reason);

    // "delta-FROM.zip" and "delta-FROM.json"; null when the version text
    // could not stand in a file name.
    static QString archiveName(const QString &from);
    static QString indexName(const QString &from);

    // The clean relative form of a path, or a null string when it is not one
    // ("", absolute, "." or ".." parts, backslashes, control characters).
    static QString cleanPath(const QString &path);

    // The window (log2 of its bytes) a patch of a file of `size` bytes made
    // on a reference of `referenceSize` bytes is encoded and decoded with:
    // it spans both, so that every part of the reference can be matched.
    // -1 when no window a 64-bit decoder accepts spans them: such a file is
    // shipped whole. The publishing tool and the updater both take it from here.
    static int patchWindowLog(qint64 referenceSize, qint64 size);
    static constexpr int maxPatchWindowLog = 31;
};

#endif // DELTAINDEX_H
