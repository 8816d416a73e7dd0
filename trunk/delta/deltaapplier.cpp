#include "deltaapplier.h"

#include "deltaindex.h"
#include "deltaplan.h"
#include "installer.h"
#include "installpaths.h"
#include "minisignformat.h"
#include "releasefiles.h"
#include "safefiles.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QScopeGuard>

#include <sodium.h>
#include <zstd.h>

#ifdef Q_OS_UNIX
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const int bufferSize = 256 * 1024;
// The window a decoder accepts unless told otherwise (zstd's own default).
const int defaultWindowLog = 27;
// A patch's reference is the installed file mapped, not read: the pages
// read are given back to the system every this many bytes of output, so it
// takes about this much memory, however large the file. A match reaching
// back into a page given back reads it again from the file.
const qint64 residentBound = 1024 * 1024;

// A file's bytes mapped into memory; unmapped when it goes.
class Mapped
{
public:
    ~Mapped() { unmap(); }
    bool map(QFile *file, qint64 size, QFileDevice::MemoryMapFlags flags)
    {
        unmap();
        mapped = file;
        length = size;
        bytes = size > 0 ? file->map(0, size, flags) : nullptr;
        return size == 0 || bytes;
    }
    void unmap()
    {
        if (bytes)
            mapped->unmap(bytes);
        bytes = nullptr;
        length = 0;
    }
    uchar *data() const { return bytes; }
    qint64 size() const { return length; }
    // The pages below `end` leave this process's memory; their bytes stay
    // in the file.
    void release(qint64 end) const
    {
#ifdef Q_OS_UNIX
        static const qint64 page = sysconf(_SC_PAGESIZE);
        const qint64 whole = qMin(end, length) / page * page;
        if (bytes && whole > 0)
            ::madvise(bytes, size_t(whole), MADV_DONTNEED);
#else
        Q_UNUSED(end)
#endif
    }

private:
    QFile *mapped = nullptr;
    uchar *bytes = nullptr;
    qint64 length = 0;
};

QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

// The permission bits of what is at path, a link not followed; -1 when nothing is.
int modeOnDisk(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

bool setMode(const QString &path, int mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

class Apply
{
public:
    Apply(const DeltaIndex &index, const QString &appDir, const QString &stagingDir,
        const std::atomic<bool> *cancelled)
        : index(index)
        , appDir(appDir)
        , stagingDir(stagingDir)
        , cancelled(cancelled)
        , buffer(bufferSize, Qt::Uninitialized)
        , decoded(bufferSize, Qt::Uninitialized)
    {
    }
    ~Apply() { ZSTD_freeDCtx(dctx); }

    // False with reason() when anything fails.
    bool run(QuaZip &zip)
    {
        dctx = ZSTD_createDCtx();
        if (!dctx)
            return fail(QStringLiteral("out of memory"));
        QString why;
        if (!SafeFiles::removeTree(stagingDir, &why))
            return fail(
                QStringLiteral("cannot clear the folder %1: %2").arg(quoted(stagingDir), why));
        // Checked again now, the installation may have changed since.
        if (!DeltaPlan::noLinkOnTheWay(index, appDir, &why))
            return fail(why);
        if (!QDir().mkpath(stagingDir))
            return fail(QStringLiteral("cannot make the folder %1").arg(quoted(stagingDir)));

        QHash<QString, const DeltaIndex::Entry *> framed;
        for (const DeltaIndex::Entry &e : index.entries) {
            if (e.kind == DeltaIndex::Kind::Dir && !stageDir(e))
                return false;
            if (e.kind == DeltaIndex::Kind::File && e.source == DeltaIndex::Source::Installed
                && !keepInstalled(e))
                return false;
            if (e.kind == DeltaIndex::Kind::File && e.source != DeltaIndex::Source::Installed)
                framed.insert(e.dataName(), &e);
        }
        // The frames in the order they lie in the delta, read once, front to back.
        for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
            if (cancelled && *cancelled)
                return fail(QStringLiteral("cancelled"));
            const DeltaIndex::Entry *e = framed.take(zip.getCurrentFileName());
            if (e && !decodeFile(zip, *e))
                return false;
        }
        if (zip.getZipError() != UNZ_OK)
            return fail(QStringLiteral("the delta is damaged"));
        if (!framed.isEmpty())
            return fail(QStringLiteral("the delta lacks %1").arg(quoted(framed.begin().key())));
        if (!setFolderModes())
            return false;
        // Links last: nothing above is ever written through one.
        for (const DeltaIndex::Entry &e : index.entries) {
            if (e.kind == DeltaIndex::Kind::Link && !stageLink(e))
                return false;
        }
        return true;
    }

    const QString &reason() const { return error; }

private:
    QString installed(const QString &path) const { return appDir + QLatin1Char('/') + path; }
    QString staged(const QString &path) const { return stagingDir + QLatin1Char('/') + path; }

    bool fail(const QString &text)
    {
        error = text;
        return false;
    }

    bool ensureParent(const QString &path)
    {
        const QString parent = QFileInfo(staged(path)).path();
        return QDir().mkpath(parent) || fail(QStringLiteral("cannot make %1").arg(quoted(parent)));
    }

    // A folder the installation lacks is made; one it has is made only as
    // the container of what is staged inside it.
    bool stageDir(const DeltaIndex::Entry &e)
    {
        const QFileInfo there(installed(e.path));
        // One whose mode changes is staged too: the installer gives an
        // installed folder the mode of the staged one.
        const int mode = Installer::installedMode(e.mode, true);
        if ((there.isDir() && !there.isSymLink()
                && (mode < 0 || modeOnDisk(installed(e.path)) == mode))
            || QDir().mkpath(staged(e.path)))
            return true;
        return fail(QStringLiteral("cannot make %1").arg(quoted(staged(e.path))));
    }

    // Every staged folder with the mode a full install gives it: the
    // installer takes a staged folder's mode as the release's.
    bool setFolderModes()
    {
        for (const DeltaIndex::Entry &e : index.entries) {
            if (e.kind != DeltaIndex::Kind::Dir || !QFileInfo(staged(e.path)).isDir())
                continue;
            int mode = Installer::installedMode(e.mode, true);
            // None given: an installed folder keeps its own, a new one the
            // defaults (never the mode of a file it replaces).
            if (mode < 0)
                mode = InstallPaths::folderMode(installed(e.path));
            if (mode >= 0 && !setMode(staged(e.path), mode))
                return fail(QStringLiteral("cannot set the mode of %1").arg(quoted(e.path)));
        }
        return true;
    }

    bool stageLink(const DeltaIndex::Entry &e)
    {
        const QFileInfo there(installed(e.path));
        if (there.isSymLink()) {
            QByteArray target(4097, Qt::Uninitialized);
            const ssize_t n = ::readlink(QFile::encodeName(installed(e.path)).constData(),
                target.data(), size_t(target.size()));
            if (n > 0 && QFile::decodeName(target.left(int(n))) == e.target)
                return true;
        }
        if (!ensureParent(e.path)
            || ::symlink(QFile::encodeName(e.target).constData(),
                   QFile::encodeName(staged(e.path)).constData())
                != 0)
            return fail(QStringLiteral("cannot make the link %1").arg(quoted(e.path)));
        return true;
    }

    // An installed file the new release keeps stays where it is, unless its
    // permissions differ: then a checked copy with the new ones is staged.
    // Read again now: an edit made since the installation was checked
    // would otherwise outlive the update, which a full install overwrites.
    bool keepInstalled(const DeltaIndex::Entry &e)
    {
        const QFileInfo there(installed(e.path));
        if (there.isSymLink() || !there.isFile())
            return fail(QStringLiteral("the installed %1 is not a file").arg(quoted(e.path)));
        const int mode = Installer::installedMode(e.mode, false);
        const bool copy = mode >= 0 && modeOnDisk(installed(e.path)) != mode;
        QFile in(installed(e.path));
        if (!in.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read the installed %1").arg(quoted(e.path)));
        if (copy && !openOutput(e))
            return false;
        crypto_generichash_state check;
        crypto_generichash_init(&check, nullptr, 0, Minisign::prehashBytes);
        qint64 n;
        qint64 total = 0;
        while ((n = in.read(buffer.data(), buffer.size())) > 0) {
            total += n;
            crypto_generichash_update(
                &check, reinterpret_cast<const unsigned char *>(buffer.constData()), size_t(n));
            if (copy && !write(e, buffer.constData(), size_t(n)))
                return false;
        }
        if (n < 0)
            return fail(QStringLiteral("cannot read %1").arg(quoted(e.path)));
        QByteArray result(Minisign::prehashBytes, Qt::Uninitialized);
        crypto_generichash_final(
            &check, reinterpret_cast<unsigned char *>(result.data()), size_t(result.size()));
        if (total != e.size || result != e.hash)
            return fail(QStringLiteral("the installed %1 changed").arg(quoted(e.path)));
        return !copy || finishOutput(e);
    }

    bool openOutput(const DeltaIndex::Entry &e)
    {
        if (!ensureParent(e.path))
            return false;
        out.setFileName(staged(e.path));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(
                QStringLiteral("cannot write %1: %2").arg(quoted(e.path), out.errorString()));
        written = 0;
        crypto_generichash_init(&hash, nullptr, 0, Minisign::prehashBytes);
        return true;
    }

    bool write(const DeltaIndex::Entry &e, const char *data, size_t size)
    {
        written += qint64(size);
        if (written > e.size)
            return fail(QStringLiteral("%1 comes out longer than it is").arg(quoted(e.path)));
        crypto_generichash_update(&hash, reinterpret_cast<const unsigned char *>(data), size);
        if (out.write(data, qint64(size)) != qint64(size))
            return fail(
                QStringLiteral("cannot write %1: %2").arg(quoted(e.path), out.errorString()));
        return true;
    }

    bool finishOutput(const DeltaIndex::Entry &e)
    {
        QByteArray result(Minisign::prehashBytes, Qt::Uninitialized);
        crypto_generichash_final(
            &hash, reinterpret_cast<unsigned char *>(result.data()), size_t(result.size()));
        int mode = Installer::installedMode(e.mode, false);
        const QFileInfo old(installed(e.path));
        if (mode < 0 && !old.isSymLink() && old.isFile()) {
            // Made without Unix permissions: the defaults, but a program
            // being replaced stays a program (as a full install does).
            mode = (modeOnDisk(staged(e.path)) & 0777) | (modeOnDisk(installed(e.path)) & 0111);
        }
        if (!out.flush())
            return fail(
                QStringLiteral("cannot write %1: %2").arg(quoted(e.path), out.errorString()));
        out.close();
        if (written != e.size || result != e.hash)
            return fail(
                QStringLiteral("%1 does not come out as the new version's").arg(quoted(e.path)));
        return mode < 0 || setMode(staged(e.path), mode)
            || fail(QStringLiteral("cannot set the mode of %1").arg(quoted(e.path)));
    }

    // The installed file a patch refers to, mapped and checked.
    bool mapReference(const DeltaIndex::Entry &e)
    {
        referenceFile.setFileName(installed(e.path));
        if (QFileInfo(referenceFile.fileName()).isSymLink()
            || !referenceFile.open(QIODevice::ReadOnly)
            || referenceFile.size() > ReleaseFiles::maxPatchedFileSize
            || !reference.map(&referenceFile, referenceFile.size(), QFileDevice::MapPrivateOption))
            return fail(QStringLiteral("cannot read the installed %1").arg(quoted(e.path)));
        crypto_generichash_state check;
        crypto_generichash_init(&check, nullptr, 0, Minisign::prehashBytes);
        for (qint64 at = 0; at < reference.size(); at += residentBound) {
            crypto_generichash_update(
                &check, reference.data() + at, size_t(qMin(residentBound, reference.size() - at)));
            reference.release(at + residentBound);
        }
        QByteArray result(Minisign::prehashBytes, Qt::Uninitialized);
        crypto_generichash_final(
            &check, reinterpret_cast<unsigned char *>(result.data()), size_t(result.size()));
        // Checked before the download too; a file changed since is not patched.
        return result == e.oldHash
            || fail(QStringLiteral("the installed %1 changed").arg(quoted(e.path)));
    }

    bool decodeFile(QuaZip &zip, const DeltaIndex::Entry &e)
    {
        const bool patch = e.source == DeltaIndex::Source::Patch;
        const auto unmap = qScopeGuard([this] {
            reference.unmap();
            referenceFile.close();
        });
        if (patch && !mapReference(e))
            return false;
        ZSTD_DCtx_reset(dctx, ZSTD_reset_session_only);
        // A patch reaches back over the whole old file, and no further: a
        // frame asking for a larger window is refused before any is
        // allocated. A whole file keeps the decoder's default limit.
        if (patch) {
            const int windowLog = DeltaIndex::patchWindowLog(reference.size(), e.size);
            if (windowLog < 0
                || ZSTD_isError(ZSTD_DCtx_setParameter(
                    dctx, ZSTD_d_windowLogMax, qMax(windowLog, defaultWindowLog)))
                || ZSTD_isError(
                    ZSTD_DCtx_refPrefix(dctx, reference.data(), size_t(reference.size()))))
                return fail(
                    QStringLiteral("no decoder window spans %1 and its patch").arg(quoted(e.path)));
        } else {
            ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, defaultWindowLog);
        }
        QuaZipFile in(&zip);
        if (!in.open(QIODevice::ReadOnly) || !openOutput(e))
            return error.isEmpty() ? damaged(e) : false;
        bool first = true;
        size_t left = 1; // what the decoder still expects of the frame
        qint64 released = 0;
        qint64 n;
        // The decoder's output leaves through a buffer of fixed size, so each
        // call reads a bounded stretch of the reference.
        const auto produced = [&](size_t size) {
            if (!write(e, decoded.constData(), size))
                return false;
            if (written - released >= residentBound) {
                released = written;
                reference.release(reference.size());
            }
            return true;
        };
        while ((n = in.read(buffer.data(), buffer.size())) > 0) {
            if (cancelled && *cancelled)
                return fail(QStringLiteral("cancelled"));
            if (first && !frameFits(e, size_t(n)))
                return damaged(e);
            first = false;
            ZSTD_inBuffer input {buffer.constData(), size_t(n), 0};
            while (input.pos < input.size) {
                if (left == 0)
                    return damaged(e); // bytes after the frame
                ZSTD_outBuffer output {decoded.data(), size_t(decoded.size()), 0};
                left = ZSTD_decompressStream(dctx, &output, &input);
                if (ZSTD_isError(left))
                    return damaged(e);
                if (!produced(output.pos))
                    return false;
            }
        }
        // The last output may still sit in the decoder.
        while (n == 0 && left != 0 && !first) {
            ZSTD_inBuffer input {nullptr, 0, 0};
            ZSTD_outBuffer output {decoded.data(), size_t(decoded.size()), 0};
            left = ZSTD_decompressStream(dctx, &output, &input);
            if (ZSTD_isError(left) || output.pos == 0)
                break;
            if (!produced(output.pos))
                return false;
        }
        in.close();
        if (n < 0 || first || left != 0 || in.getZipError() != UNZ_OK)
            return damaged(e);
        return finishOutput(e);
    }

    // The frame says it makes exactly the file the index names.
    bool frameFits(const DeltaIndex::Entry &e, size_t available)
    {
        return ZSTD_getFrameContentSize(buffer.constData(), available) == quint64(e.size);
    }

    bool damaged(const DeltaIndex::Entry &e)
    {
        return fail(QStringLiteral("the delta's data for %1 is damaged").arg(quoted(e.path)));
    }

    const DeltaIndex &index;
    const QString appDir;
    const QString stagingDir;
    const std::atomic<bool> *cancelled;
    QByteArray buffer;
    QByteArray decoded;
    QFile referenceFile;
    Mapped reference;
    ZSTD_DCtx *dctx = nullptr;
    QFile out;
    qint64 written = 0;
    crypto_generichash_state hash;
    QString error;
};

} // namespace

namespace {

// The downloaded delta is the updater's own file: never read through a link;
// the archive is then opened on it by the caller.
bool openDelta(QFile &delta, QuaZip &zip, QString *reason)
{
    QString why;
    if (!SafeFiles::open(delta, QIODevice::ReadOnly, &why)) {
        *reason = QStringLiteral("cannot open the delta %1: %2").arg(quoted(delta.fileName()), why);
        return false;
    }
    zip.setIoDevice(&delta);
    zip.setFileNameCodec("UTF-8");
    return true;
}

} // namespace

bool DeltaApplier::readIndex(const QString &deltaPath, QByteArray *json, QString *reason)
{
    QFile delta(deltaPath);
    QuaZip zip;
    if (!openDelta(delta, zip, reason))
        return false;
    if (!zip.open(QuaZip::mdUnzip)
        || !zip.setCurrentFile(QLatin1String(ReleaseFiles::deltaIndex))) {
        *reason = QStringLiteral("the delta has no index");
        return false;
    }
    QuaZipFile in(&zip);
    if (!in.open(QIODevice::ReadOnly) || in.usize() > ReleaseFiles::maxDeltaIndexSize) {
        *reason = QStringLiteral("the delta's index cannot be read");
        return false;
    }
    *json = in.read(ReleaseFiles::maxDeltaIndexSize);
    in.close();
    if (in.getZipError() != UNZ_OK) {
        *reason = QStringLiteral("the delta's index is damaged");
        return false;
    }
    return true;
}

bool DeltaApplier::apply(const QString &deltaPath, const DeltaIndex &index, const QString &appDir,
    const QString &stagingDir, QString *reason, const std::atomic<bool> *cancelled)
{
    QFile delta(deltaPath);
    QuaZip zip;
    if (!openDelta(delta, zip, reason))
        return false;
    if (!zip.open(QuaZip::mdUnzip)) {
        *reason = QStringLiteral("cannot open the delta %1").arg(quoted(deltaPath));
        return false;
    }
    Apply apply(index, QDir(appDir).absolutePath(), QDir(stagingDir).absolutePath(), cancelled);
    if (apply.run(zip))
        return true;
    *reason = apply.reason();
    return false;
}
