// The program half of scripts/bench.d/delta.sh:
//   bench_delta point DIR SEED LIST      turns a copy of a release into its next
//                                        point release in place: small edits to
//                                        3% of the files (their paths go to LIST),
//                                        10 files added, 5 removed
//   bench_delta archive DIR ZIP          packs a release as the publishing tool does
//   bench_delta make OLDZIP NEWZIP OUT   makes the delta, and reports what it holds
//   bench_delta patches OLD NEW LIST     patches the files in LIST alone, timed
//   bench_delta apply DELTA APPDIR       checks, applies and installs it, as the
//                                        updater does, and reports each phase's time
#include "archivebuilder.h"
#include "deltaapplier.h"
#include "deltabuilder.h"
#include "deltaindex.h"
#include "deltaplan.h"
#include "files.h"
#include "installer.h"
#include "platform.h"
#include "releasefiles.h"
#include "version.h"

#include <quazip/quazip.h>
#include <quazip/quazipfileinfo.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

namespace {

bool failed(const QString &why)
{
    std::fprintf(stderr, "bench_delta: %s\n", qPrintable(why));
    return false;
}

// One to three edits a file: a few bytes overwritten, a short run inserted
// or a short run cut, as a rebuild with a small source change gives.
QByteArray edited(QByteArray data, QRandomGenerator &random)
{
    const int edits = 1 + int(random.bounded(3));
    for (int i = 0; i < edits && !data.isEmpty(); ++i) {
        const int at = int(random.bounded(data.size()));
        QByteArray run(4 + int(random.bounded(252)), Qt::Uninitialized);
        for (char &c : run)
            c = char(random.bounded(256));
        switch (random.bounded(3)) {
        case 0:
            data.replace(at, qMin(run.size(), data.size() - at), run);
            break;
        case 1:
            data.insert(at, run);
            break;
        default:
            data.remove(at, run.size());
            break;
        }
    }
    return data;
}

bool pointRelease(const QString &dir, quint32 seed, const QString &listPath)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    files.removeAll(QStringLiteral("version.ver"));
    QRandomGenerator random(seed);
    QStringList changed;
    // The largest file among them: what the updater's memory is measured by.
    QString largest = files.first();
    for (const QString &path : qAsConst(files)) {
        if (QFileInfo(dir + '/' + path).size() > QFileInfo(dir + '/' + largest).size())
            largest = path;
    }
    files.removeAll(largest);
    files.prepend(largest);
    const int toChange = qMax(1, files.size() * 3 / 100);
    while (changed.size() < toChange) {
        const QString path
            = files.takeAt(changed.isEmpty() ? 0 : int(random.bounded(files.size())));
        if (!writeFile(dir + '/' + path, edited(readBytes(dir + '/' + path), random)))
            return failed(QStringLiteral("cannot edit %1").arg(path));
        changed << path;
    }
    for (int i = 0; i < 5; ++i)
        QFile::remove(dir + '/' + files.takeAt(int(random.bounded(files.size()))));
    for (int i = 0; i < 10; ++i) {
        QByteArray data(4096 + int(random.bounded(256 * 1024)), Qt::Uninitialized);
        for (char &c : data)
            c = char(i % 2 ? random.bounded(256) : 'a' + random.bounded(8));
        if (!writeFile(
                dir + QStringLiteral("/App.app/Contents/Resources/added/new%1.dat").arg(i), data))
            return failed(QStringLiteral("cannot add a file"));
    }
    return writeFile(dir + "/version.ver", readBytes(dir + "/version.ver").trimmed() + ".1")
        && writeFile(listPath, changed.join('\n').toUtf8() + '\n');
}

bool make(const QString &oldZip, const QString &newZip, const QString &out)
{
    DeltaBuilder::Delta delta;
    QString reason;
    const QString version = QStringLiteral("next");
    if (!DeltaBuilder::build(oldZip, newZip, version, out, &delta, &reason))
        return failed(reason);
    // What the patches and the whole files take inside the delta.
    QuaZip zip(QDir(out).filePath(delta.offer.name));
    if (!zip.open(QuaZip::mdUnzip))
        return failed(QStringLiteral("cannot read the delta"));
    DeltaIndex index;
    QByteArray json;
    if (!DeltaApplier::readIndex(zip.getZipName(), &json, &reason)
        || !DeltaIndex::fromJson(json, &index, &reason))
        return failed(reason);
    qint64 patchBytes = 0;
    qint64 patchedBytes = 0;
    qint64 wholeBytes = 0;
    for (const QuaZipFileInfo64 &info : zip.getFileInfoList64()) {
        for (const DeltaIndex::Entry &e : qAsConst(index.entries)) {
            if (e.kind != DeltaIndex::Kind::File || e.dataName() != info.name)
                continue;
            if (e.source == DeltaIndex::Source::Patch) {
                patchBytes += qint64(info.compressedSize);
                patchedBytes += e.size;
            } else {
                wholeBytes += qint64(info.compressedSize);
            }
        }
    }
    std::printf("delta %s: %lld bytes; %d patched (%lld bytes of patches for %lld bytes), "
                "%d whole (%lld bytes), %d unchanged, %d removed\n",
        qPrintable(delta.offer.name), delta.offer.size, delta.patched, patchBytes, patchedBytes,
        delta.whole, wholeBytes, delta.unchanged, int(index.removed.size()));
    return true;
}

// The edited files alone through the delta's patches, for bsdiff beside them.
bool patches(const QString &oldDir, const QString &newDir, const QString &listPath)
{
    const QStringList paths
        = QString::fromUtf8(readBytes(listPath)).split('\n', Qt::SkipEmptyParts);
    qint64 bytes = 0;
    QElapsedTimer clock;
    clock.start();
    for (const QString &path : paths) {
        const QByteArray old = readBytes(oldDir + '/' + path);
        QByteArray frame;
        QString reason;
        if (!DeltaBuilder::compressFrame(readBytes(newDir + '/' + path), &old, &frame, &reason))
            return failed(reason);
        bytes += frame.size();
    }
    std::printf("%d files: %lld bytes of patches, made in %.1f s\n", int(paths.size()), bytes,
        clock.elapsed() / 1000.0);
    return true;
}

bool apply(const QString &deltaPath, const QString &appDir)
{
    QElapsedTimer clock;
    clock.start();
    QByteArray json;
    QString reason;
    DeltaIndex index;
    if (!DeltaApplier::readIndex(deltaPath, &json, &reason)
        || !DeltaIndex::fromJson(json, &index, &reason))
        return failed(reason);
    const QString installed = Version::clean(QString::fromUtf8(readBytes(appDir + "/version.ver")));
    if (!DeltaPlan::check(index, installed, appDir, &reason))
        return failed(reason);
    const qint64 checked = clock.restart();
    if (!DeltaApplier::apply(
            deltaPath, index, appDir, appDir + '/' + ReleaseFiles::deltaStaging, &reason))
        return failed(reason);
    const qint64 applied = clock.restart();
    QScopedPointer<Installer> installer(Installer::forStagedDelta(appDir, index));
    bool ok = false;
    QObject::connect(installer.data(), &Installer::finished, [&](bool success, const QString &why) {
        ok = success || failed(why);
        QCoreApplication::quit();
    });
    installer->start();
    QCoreApplication::exec();
    std::printf("check %.2f s, apply %.2f s, install %.2f s\n", checked / 1000.0, applied / 1000.0,
        clock.elapsed() / 1000.0);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Platform::setNameForTesting(QStringLiteral("xcb"));
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    bool ok = false;
    if (command == QLatin1String("point") && args.size() == 4) {
        ok = pointRelease(args.at(1), args.at(2).toUInt(), args.at(3));
    } else if (command == QLatin1String("archive") && args.size() == 3) {
        QString reason;
        ok = ArchiveBuilder::build(args.at(1), args.at(2), &reason) || failed(reason);
    } else if (command == QLatin1String("make") && args.size() == 4) {
        ok = make(args.at(1), args.at(2), args.at(3));
    } else if (command == QLatin1String("patches") && args.size() == 4) {
        ok = patches(args.at(1), args.at(2), args.at(3));
    } else if (command == QLatin1String("apply") && args.size() == 3) {
        ok = apply(args.at(1), args.at(2));
    } else {
        std::fprintf(stderr,
            "usage: bench_delta point DIR SEED LIST | archive DIR ZIP | make OLDZIP NEWZIP OUT "
            "| patches OLD NEW LIST | apply DELTA APPDIR\n");
        return 2;
    }
    return ok ? 0 : 1;
}
