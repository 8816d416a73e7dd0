#include "deltabuilder.h"

#include "archivebuilder.h"
#include "deltaindex.h"
#include "minisignformat.h"
#include "releasefiles.h"
#include "version.h"

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>
#include <quazipnewinfo.h>

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <zstd.h>

namespace {

// Slow to make, once per release; what matters is the size every updater fetches.
const int compressionLevel = 19;

bool fail(QString *reason, const QString &text)
{
    *reason = text;
    return false;
}

// A release read from its archive: what each path is, and its contents on request.
class Release
{
public:
    struct Item
    {
        DeltaIndex::Kind kind = DeltaIndex::Kind::File;
        int mode = 0;
        qint64 size = 0;
        QByteArray hash;
        QString target;
        QString entryName;
    };

    explicit Release(const QString &archive)
        : zip(archive)
    {
    }

    bool read(QString *reason)
    {
        if (!zip.open(QuaZip::mdUnzip))
            return fail(reason, QStringLiteral("cannot open the archive %1").arg(zip.getZipName()));
        zip.setFileNameCodec("UTF-8");
        const QList<QuaZipFileInfo64> infos = zip.getFileInfoList64();
        if (zip.getZipError() != UNZ_OK)
            return fail(reason, QStringLiteral("the archive %1 is damaged").arg(zip.getZipName()));
        for (const QuaZipFileInfo64 &info : infos) {
            QString name = info.name;
            const bool folder = name.endsWith(QLatin1Char('/'));
            if (folder)
                name.chop(1);
            const QString path = DeltaIndex::cleanPath(name);
            if (path.isNull())
                return fail(reason,
                    QStringLiteral("the archive %1 holds the unsafe name %2")
                        .arg(zip.getZipName(), info.name));
            Item item;
            item.entryName = info.name;
            const quint32 mode = info.externalAttr >> 16;
            item.mode = int(mode & 07777);
            if (info.isSymbolicLink()) {
                item.kind = DeltaIndex::Kind::Link;
                QByteArray target;
                if (!content(item, &target, reason))
                    return false;
                item.target = QFile::decodeName(target);
            } else if (folder || S_ISDIR(mode)) {
                item.kind = DeltaIndex::Kind::Dir;
            } else {
                QByteArray data;
                if (!content(item, &data, reason))
                    return false;
                item.size = data.size();
                item.hash = Minisign::prehash(data);
            }
            items.insert(path, item);
        }
        // An archive need not list the folders of its files; the index does,
        // each without a mode (the updater leaves an installed one as it is).
        const QStringList paths = items.keys();
        for (const QString &path : paths) {
            for (int slash = path.indexOf(QLatin1Char('/')); slash > 0;
                 slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
                if (!items.contains(path.left(slash))) {
                    Item folder;
                    folder.kind = DeltaIndex::Kind::Dir;
                    items.insert(path.left(slash), folder);
                }
            }
        }
        return true;
    }

    bool content(const Item &item, QByteArray *data, QString *reason)
    {
        if (!zip.setCurrentFile(item.entryName))
            return fail(reason,
                QStringLiteral("cannot find %1 in %2").arg(item.entryName, zip.getZipName()));
        QuaZipFile in(&zip);
        if (!in.open(QIODevice::ReadOnly))
            return fail(reason,
                QStringLiteral("cannot read %1 in %2").arg(item.entryName, zip.getZipName()));
        if (in.usize() > ReleaseFiles::maxPatchedFileSize)
            return fail(reason, QStringLiteral("%1 is too large for a delta").arg(item.entryName));
        *data = in.readAll();
        in.close();
        if (in.getZipError() != UNZ_OK)
            return fail(reason,
                QStringLiteral("%1 in %2 is damaged").arg(item.entryName, zip.getZipName()));
        return true;
    }

    // The text of the release's version file, either layout.
    QString version()
    {
        for (const char *name : {"version.ver", "Bin/version.ver"}) {
            const auto found = items.constFind(QLatin1String(name));
            QByteArray text;
            QString ignored;
            if (found != items.constEnd() && found->kind == DeltaIndex::Kind::File
                && found->size <= ReleaseFiles::maxVersionFileSize
                && content(*found, &text, &ignored))
                return Version::clean(QString::fromUtf8(text));
        }
        return QString();
    }

    QMap<QString, Item> items;

private:
    QuaZip zip;
};

} // namespace

bool DeltaBuilder::compressFrame(
    const QByteArray &data, const QByteArray *reference, QByteArray *frame, QString *reason)
{
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    if (!cctx)
        return fail(reason, QStringLiteral("out of memory"));
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, compressionLevel);
    // The index's hash checks every result; a second checksum adds nothing.
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setPledgedSrcSize(cctx, quint64(data.size()));
    if (reference) {
        // The window reaches from the end of the new file back to the start
        // of the old one, so every part of the old file can be matched.
        // The updater decodes it with the same window, and refuses a larger one.
        const int windowLog = DeltaIndex::patchWindowLog(reference->size(), data.size());
        if (windowLog < 0) {
            ZSTD_freeCCtx(cctx);
            return fail(reason, QStringLiteral("no window spans both files"));
        }
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLog);
        ZSTD_CCtx_refPrefix(cctx, reference->constData(), size_t(reference->size()));
    }
    frame->resize(int(ZSTD_compressBound(size_t(data.size()))));
    const size_t n = ZSTD_compress2(
        cctx, frame->data(), size_t(frame->size()), data.constData(), size_t(data.size()));
    ZSTD_freeCCtx(cctx);
    if (ZSTD_isError(n))
        return fail(reason, QStringLiteral("compressing failed: %1").arg(ZSTD_getErrorName(n)));
    frame->resize(int(n));
    return true;
}

namespace {

bool addEntry(
    QuaZip &zip, const QString &name, const QByteArray &data, bool deflate, QString *reason)
{
    QuaZipNewInfo info(name);
    info.dateTime = QDateTime(QDate(1980, 1, 1), QTime(0, 0));
    info.uncompressedSize = ulong(data.size());
    info.externalAttr = quint32(0100644) << 16;
    QuaZipFile out(&zip);
    // Frames are compressed already: stored, so that they are read as they are.
    if (!out.open(QIODevice::WriteOnly, info, nullptr, 0, deflate ? Z_DEFLATED : 0,
            deflate ? Z_BEST_COMPRESSION : 0)
        || out.write(data) != data.size())
        return fail(reason, QStringLiteral("cannot add %1 to the delta").arg(name));
    out.close();
    return out.getZipError() == UNZ_OK
        || fail(reason, QStringLiteral("cannot add %1 to the delta").arg(name));
}

bool writeFile(const QString &path, const QByteArray &data, QString *reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    return fail(reason, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
}

// Whether a removed path is the topmost one: its folder is still a folder
// in the new release (a folder that went, or became a file or link, is moved
// away whole).
bool topmostRemoved(const QString &path, const QMap<QString, Release::Item> &now)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return true;
    const auto parent = now.constFind(path.left(slash));
    return parent != now.constEnd() && parent->kind == DeltaIndex::Kind::Dir;
}

} // namespace

bool DeltaBuilder::build(const QString &previous, const QString &newArchive, const QString &version,
    const QString &outputDir, Delta *delta, QString *reason)
{
    // A folder is read the way the updater will have installed it: as its archive.
    QTemporaryDir work;
    QString previousArchive = previous;
    if (QFileInfo(previous).isDir()) {
        if (!work.isValid())
            return fail(reason, QStringLiteral("no temporary folder: %1").arg(work.errorString()));
        previousArchive = work.filePath(QStringLiteral("previous.zip"));
        if (!ArchiveBuilder::build(previous, previousArchive, reason))
            return false;
    }
    Release old(previousArchive);
    Release now(newArchive);
    if (!old.read(reason) || !now.read(reason))
        return false;

    DeltaIndex index;
    index.from = old.version();
    index.to = version;
    const QString name = DeltaIndex::archiveName(index.from);
    if (name.isNull())
        return fail(reason, QStringLiteral("%1 has no usable version file").arg(previous));
    if (index.from == version)
        return fail(reason, QStringLiteral("%1 is the version being published").arg(previous));

    const QString deltaPath = QDir(outputDir).filePath(name);
    QFile::remove(deltaPath);
    QuaZip zip(deltaPath);
    zip.setFileNameCodec("UTF-8");
    if (!zip.open(QuaZip::mdCreate))
        return fail(reason, QStringLiteral("cannot create %1").arg(deltaPath));
    Delta result;
    for (auto it = now.items.constBegin(); it != now.items.constEnd(); ++it) {
        const Release::Item &item = it.value();
        DeltaIndex::Entry e;
        e.path = it.key();
        e.kind = item.kind;
        e.mode = item.mode;
        e.target = item.target;
        if (item.kind == DeltaIndex::Kind::File) {
            e.size = item.size;
            e.hash = item.hash;
            const auto was = old.items.constFind(e.path);
            const bool hadFile = was != old.items.constEnd() && was->kind == DeltaIndex::Kind::File;
            if (hadFile && was->hash == item.hash && was->mode == item.mode) {
                e.source = DeltaIndex::Source::Installed;
                e.oldHash = item.hash;
                ++result.unchanged;
            } else {
                QByteArray data;
                QByteArray frame;
                if (!now.content(item, &data, reason))
                    return false;
                e.source = DeltaIndex::Source::Whole;
                // Files too large for one window together are shipped whole.
                if (hadFile && DeltaIndex::patchWindowLog(was->size, item.size) >= 0) {
                    QByteArray reference;
                    if (!old.content(*was, &reference, reason)
                        || !DeltaBuilder::compressFrame(data, &reference, &frame, reason))
                        return false;
                    e.source = DeltaIndex::Source::Patch;
                    e.oldHash = was->hash;
                }
                // A patch that saves little may still lose to the file alone.
                QByteArray alone;
                const bool patched = e.source == DeltaIndex::Source::Patch;
                if ((!patched || frame.size() > data.size() / 2)
                    && DeltaBuilder::compressFrame(data, nullptr, &alone, reason)
                    && (!patched || alone.size() <= frame.size())) {
                    frame = alone;
                    e.source = DeltaIndex::Source::Whole;
                    e.oldHash.clear();
                }
                if (frame.isEmpty() && !data.isEmpty())
                    return false;
                if (!addEntry(zip, e.dataName(), frame, false, reason))
                    return false;
                ++(e.source == DeltaIndex::Source::Patch ? result.patched : result.whole);
            }
        }
        index.entries.append(e);
    }
    for (auto it = old.items.constBegin(); it != old.items.constEnd(); ++it) {
        if (!now.items.contains(it.key()) && topmostRemoved(it.key(), now.items))
            index.removed.append(it.key());
    }
    const QByteArray json = index.toJson();
    if (!addEntry(zip, QLatin1String(ReleaseFiles::deltaIndex), json, true, reason))
        return false;
    zip.close();
    if (zip.getZipError() != UNZ_OK)
        return fail(reason, QStringLiteral("cannot write %1").arg(deltaPath));

    DeltaIndex::Offer &offer = result.offer;
    offer.from = index.from;
    offer.name = name;
    offer.size = QFileInfo(deltaPath).size();
    offer.indexName = DeltaIndex::indexName(index.from);
    offer.indexSize = json.size();
    offer.indexBlake2b = Minisign::prehash(json);
    if (!Minisign::prehashFile(deltaPath, &offer.blake2b, reason)
        || !writeFile(QDir(outputDir).filePath(offer.indexName), json, reason))
        return false;
    *delta = result;
    return true;
}
