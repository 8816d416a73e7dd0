// The installer on real archives and real files: an update that fails or is
// interrupted at any file operation leaves the old installation or the new
// one, never a mixture, and nothing of its own behind.
#include "archivebuilder.h"
#include "bytepattern.h"
#include "deltaapplier.h"
#include "deltabuilder.h"
#include "deltaplan.h"
#include "deltaupdate.h"
#include "files.h"
#include "installation.h"
#include "installer.h"
#include "instancelock.h"
#include "layout.h"
#include "messagelog.h"
#include "minisignformat.h"
#include "platform.h"
#include "releasefiles.h"
#include "safefiles.h"
#include "trial.h"
#include "updatestate.h"
#include "ziparchive.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const QString stagingName = QLatin1String(Installation::stagingFolder);
const QString backupName = QLatin1String(Installation::backupFolder);
const QString journalName = QLatin1String(Installation::journalFile);

bool makeLink(const QString &target, const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData())
        == 0;
}

QMap<QString, QString> withoutInstallerFiles(
    QMap<QString, QString> tree, const QStringList &more = QStringList())
{
    for (auto it = tree.begin(); it != tree.end();) {
        const QString first = it.key().section('/', 0, 0);
        if (first == stagingName || first == backupName || first == journalName
            || more.contains(first))
            it = tree.erase(it);
        else
            ++it;
    }
    return tree;
}

// Leaves out what recovery set aside as damaged, too.
QMap<QString, QString> withoutSetAside(QMap<QString, QString> tree)
{
    for (auto it = tree.begin(); it != tree.end();) {
        if (it.key().section('/', 0, 0).contains(".damaged-"))
            it = tree.erase(it);
        else
            ++it;
    }
    return withoutInstallerFiles(tree);
}

// How many logged lines begin with the text.
int loggedStartingWith(const MessageLog &log, const QString &text)
{
    int n = 0;
    for (const MessageLog::Line &line : log.lines())
        n += line.text.startsWith(text);
    return n;
}

// A journal as the installer writes one, checksum and all, holding any steps.
QByteArray journalOf(const QJsonArray &steps)
{
    const QByteArray check = QCryptographicHash::hash(
        QJsonDocument(steps).toJson(QJsonDocument::Compact), QCryptographicHash::Sha256)
                                 .toHex();
    return QJsonDocument(QJsonObject {{"format", 2}, {"steps", steps}, {"check", QString(check)}})
        .toJson(QJsonDocument::Compact);
}

int currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return int(mask);
}

} // namespace

class TestInstaller : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QString appDir;
    // Each step of a trial stands for a run of its own, reading the
    // installation afresh.
    std::unique_ptr<Installation> runOf;
    Installation &fresh()
    {
        runOf.reset(new Installation(appDir));
        return *runOf;
    }
    QString archive;
    QString versionPath;
    bool selfReplacing = false;
    // Version 1.0 is installed from an archive of its own, so it has the
    // record of its files; with deltaInstall 1.1 comes as a delta.
    bool recordedOld = false;
    bool deltaInstall = false;
    DeltaIndex::Offer deltaOffer;
    QString mounted;

    // A small file system of its own for the installation (root only);
    // options as mount(8) takes them.
    bool mountDisk(const QString &options)
    {
        const QString disk = tmp->filePath("disk");
        if (::geteuid() != 0 || !QDir().mkpath(disk)
            || QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", disk}) != 0)
            return false;
        mounted = disk;
        appDir = disk + "/My Apps";
        return true;
    }

    // Installs the downloaded "app.zip" over appDir; checks the signals' contract on the way.
    bool install(QString *reason = nullptr, bool keep = false)
    {
        if (deltaInstall)
            return installDelta(reason, keep);
        Installer installer(appDir + "/app.zip", appDir);
        if (keep)
            installer.keepPrevious();
        QSignalSpy finished(&installer, &Installer::finished);
        QSignalSpy progress(&installer, &Installer::progress);
        installer.start();
        installer.start();
        if (!finished.wait(60000))
            return false;
        QCoreApplication::processEvents();
        const bool ok = finished.at(0).at(0).toBool();
        const QString why = finished.at(0).at(1).toString();
        bool rising = true;
        for (int i = 1; i < progress.size(); ++i)
            rising &= progress.at(i).at(0).toLongLong() >= progress.at(i - 1).at(0).toLongLong();
        [&] {
            QCOMPARE(finished.count(), 1);
            QCOMPARE(why.isEmpty(), ok);
            QVERIFY(rising);
            if (ok && !progress.isEmpty())
                QCOMPARE(progress.last().at(0), progress.last().at(1));
        }();
        if (reason)
            *reason = why;
        return ok;
    }

    // As the updater takes a delta (built by publishDelta() from 1.0): checked,
    // staged, installed.
    bool installDelta(QString *reason, bool keep)
    {
        const QString published = tmp->filePath("published");
        DeltaUpdate update(deltaOffer, "1.1", appDir);
        QSignalSpy checked(&update, &DeltaUpdate::checked);
        QSignalSpy staged(&update, &DeltaUpdate::staged);
        if (!QFile::copy(published + '/' + deltaOffer.indexName, update.indexPath())
            || !QFile::copy(published + '/' + deltaOffer.name, update.deltaPath()))
            return false;
        update.check("1.0");
        if (!checked.wait(30000) || !checked.at(0).at(0).toBool())
            return qDebug() << "Delta not used:" << checked.value(0).value(1), false;
        update.stage();
        if (!staged.wait(30000) || !staged.at(0).at(0).toBool())
            return qDebug() << "Delta not used:" << staged.value(0).value(1), false;
        std::unique_ptr<Installer> installer(update.installer(nullptr));
        if (keep)
            installer->keepPrevious();
        QString why;
        const bool ok = run(installer.get(), &why);
        if (reason)
            *reason = why;
        return ok;
    }

    void publishDelta()
    {
        layOutOld();
        const QString published = tmp->filePath("published");
        QVERIFY(QDir().mkpath(published));
        QFile::remove(appDir + "/app.zip");
        DeltaBuilder::Delta delta;
        QString reason;
        QVERIFY2(DeltaBuilder::build(appDir, archive, "1.1", published, &delta, &reason),
            qPrintable(reason));
        deltaOffer = delta.offer;
    }

    QMap<QString, QString> snapshot() const { return treeSnapshot(appDir); }

    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Runs an installer to its end; false with *reason when it failed.
    static bool run(Installer *installer, QString *reason)
    {
        QSignalSpy finished(installer, &Installer::finished);
        installer->start();
        if (!finished.wait(60000))
            return false;
        *reason = finished.at(0).at(1).toString();
        return finished.at(0).at(0).toBool();
    }

    // Rewrites the delta in dir after the fact: `change` edits its entries
    // (the index last), and the published index and the offer are restated
    // to match, as a publisher signing the result would.
    static bool rewriteDelta(const QString &dir, DeltaIndex::Offer *offer,
        const std::function<bool(QList<ZipEntry> &entries)> &change)
    {
        const QString path = dir + '/' + offer->name;
        QuaZip zip(path);
        QList<ZipEntry> entries;
        if (!zip.open(QuaZip::mdUnzip))
            return false;
        for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
            QuaZipFile in(&zip);
            if (!in.open(QIODevice::ReadOnly))
                return false;
            entries.append({zip.getCurrentFileName(), in.readAll()});
        }
        zip.close();
        if (!change(entries))
            return false;
        QFile indexFile(dir + '/' + offer->indexName);
        if (!writeZip(path, entries, true) || !indexFile.open(QIODevice::WriteOnly)
            || indexFile.write(entries.last().data) != entries.last().data.size())
            return false;
        indexFile.close();
        QString reason;
        offer->size = QFileInfo(path).size();
        offer->indexSize = indexFile.size();
        return Minisign::prehashFile(path, &offer->blake2b, &reason)
            && Minisign::prehashFile(indexFile.fileName(), &offer->indexBlake2b, &reason);
    }

    // The index promises other results for the patched files: a delta that
    // is what the manifest says, whose patches do not make what it promises.
    static bool misstateResults(QList<ZipEntry> &entries)
    {
        DeltaIndex index;
        QString reason;
        if (!DeltaIndex::fromJson(entries.last().data, &index, &reason))
            return false;
        for (DeltaIndex::Entry &e : index.entries) {
            if (e.source == DeltaIndex::Source::Patch)
                e.hash[0] = char(e.hash.at(0) ^ 1);
        }
        entries.last().data = index.toJson();
        return true;
    }

    // The index made unsafe: a folder "..", a file "../evil.txt" with the
    // frame and hash of the new "notes.txt", and the removed paths
    // "../victim" and "../../victim". Only the index's own path rule stands
    // between it and the files around the staging folder and the installation.
    static bool makeIndexUnsafe(QList<ZipEntry> &entries)
    {
        QJsonObject index = QJsonDocument::fromJson(entries.last().data).object();
        QJsonArray list = index.value("entries").toArray();
        QJsonObject evil;
        for (const QJsonValue &value : list) {
            if (value.toObject().value("path").toString().endsWith("/notes.txt"))
                evil = value.toObject();
        }
        if (evil.isEmpty() || evil.value("source").toString() != "whole")
            return false;
        for (const ZipEntry &entry : QList<ZipEntry>(entries)) {
            if (entry.name == "files/" + evil.value("path").toString())
                entries.insert(entries.size() - 1, {"files/../evil.txt", entry.data});
        }
        evil.insert("path", "../evil.txt");
        list.append(QJsonObject {{"path", ".."}, {"kind", "dir"}, {"mode", 0755}});
        list.append(evil);
        index.insert("entries", list);
        QJsonArray removed = index.value("removed").toArray();
        removed.append("../victim");
        removed.append("../../victim");
        index.insert("removed", removed);
        entries.last().data = QJsonDocument(index).toJson(QJsonDocument::Compact);
        return true;
    }

    static bool installArchive(const QString &zip, const QString &dir)
    {
        QDir().mkpath(dir);
        Installer installer(zip, dir);
        QString reason;
        return run(&installer, &reason);
    }

    // Version 1.0 of a bundle with a framework, in the layout of the platform.
    void layOutOld()
    {
        QDir(appDir).removeRecursively();
        QVERIFY(QDir().mkpath(appDir));
        if (Platform::layout() != Platform::Layout::Windows)
            QVERIFY(writeFile(appDir + "/version.ver", "1.0"));
        const QString contents = appDir + "/Viewer.app/Contents";
        QVERIFY(writeFile(contents + "/MacOS/Viewer", "#!/bin/sh\necho 1.0\n", 0755));
        QVERIFY(writeFile(contents + "/Resources/data.bin", pattern(150000, 1)));
        QVERIFY(writeFile(contents + "/Resources/old-only.txt", "kept by every update"));
        QVERIFY(writeFile(contents + "/PlugIns", "a file that becomes a folder"));
        QVERIFY(writeFile(contents + "/Legacy/readme.txt", "a folder that becomes a file"));
        const QString framework = contents + "/Frameworks/Qt.framework";
        QVERIFY(writeFile(framework + "/Versions/4/Qt", "qt 4"));
        QVERIFY(makeLink("4", framework + "/Versions/Current"));
        QVERIFY(makeLink("Versions/Current/Qt", framework + "/Qt"));
        QVERIFY(writeFile(appDir + "/config.conf",
            Platform::layout() == Platform::Layout::Linux ? "surl==127.0.0.1\nslayout==linux\n"
                                                          : "surl==127.0.0.1\n"));
        QVERIFY(writeFile(appDir + "/Updater.app/Contents/MacOS/Updater", "updater 1.0", 0755));
        // A folder the release ships with another mode.
        QVERIFY(::chmod(QFile::encodeName(appDir + "/Viewer.app").constData(), 0775) == 0);
        if (recordedOld) {
            const QString old = tmp->filePath("app-1.0.zip");
            QString reason;
            QVERIFY(QFile::exists(old) || ArchiveBuilder::build(appDir, old, &reason));
            QVERIFY(installArchive(old, appDir));
        }
        // Downloaded beside the installation, as the updater does.
        QVERIFY(!QFile::exists(archive) || QFile::copy(archive, appDir + "/app.zip"));
    }

    QList<ZipEntry> newRelease() const
    {
        const QString framework = "Viewer.app/Contents/Frameworks/Qt.framework";
        QList<ZipEntry> release;
        if (selfReplacing)
            release.append(
                {"Updater.app/Contents/MacOS/Updater", "updater 1.1", ZipEntry::File, 0755});
        return release
            + QList<ZipEntry> {{"Viewer.app/", {}, ZipEntry::Dir, 0755},
                {"Viewer.app/Contents/MacOS/Viewer", "#!/bin/sh\necho 1.1\n", ZipEntry::File, 0755},
                {"Viewer.app/Contents/Resources/data.bin", pattern(300000, 2)},
                {"Viewer.app/Contents/Resources/notes.txt", "new in 1.1"},
                {"Viewer.app/Contents/PlugIns/codec.so", "codec", ZipEntry::File, 0755},
                {"Viewer.app/Contents/Legacy", "now a file"},
                {"Viewer.app/Contents/Help/index.html", "<p>help</p>"},
                {"Viewer.app/Contents/Help/images/logo.png", pattern(5000, 3)},
                {framework + "/Versions/5/Qt", "qt 5"},
                zipLink(framework + "/Versions/Current", "5"),
                zipLink(framework + "/Qt", "Versions/Current/Qt"), {versionPath, "1.1"}};
    }

    // The new release as a clean install leaves it, checked entry by entry.
    QMap<QString, QString> expectedNew()
    {
        QMap<QString, QString> result;
        [&] {
            layOutOld();
            const QMap<QString, QString> old = snapshot();
            QVERIFY(install());
            result = snapshot();
            for (const ZipEntry &entry : newRelease()) {
                const QString path = appDir + '/' + entry.name;
                const QFileInfo info(path);
                if (entry.type == ZipEntry::Link) {
                    QCOMPARE(result.value(QDir::cleanPath(entry.name)), "link " + entry.data);
                } else if (entry.type == ZipEntry::File) {
                    QFile file(path);
                    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(entry.name));
                    QCOMPARE(file.readAll(), entry.data);
                    QCOMPARE(unixMode(info.permissions()), entry.mode);
                }
            }
            // Read through the links, as the loader does.
            QFile qt(appDir + "/Viewer.app/Contents/Frameworks/Qt.framework/Qt");
            QVERIFY(qt.open(QIODevice::ReadOnly));
            QCOMPARE(qt.readAll(), QByteArray("qt 5"));
            // With a record, what 1.0 installed and 1.1 no longer has goes;
            // the updater itself and its configuration never do.
            QCOMPARE(result.value("Viewer.app/Contents/Resources/old-only.txt"),
                recordedOld ? QString() : old.value("Viewer.app/Contents/Resources/old-only.txt"));
            QCOMPARE(result.value("config.conf"), old.value("config.conf"));
            if (!selfReplacing)
                QCOMPARE(result.value("Updater.app/Contents/MacOS/Updater"),
                    old.value("Updater.app/Contents/MacOS/Updater"));
            QCOMPARE(result.value("app.zip"), old.value("app.zip"));
        }();
        return result;
    }

    void writeArchive(const QList<ZipEntry> &entries, bool stored = false)
    {
        QFile::remove(archive);
        QVERIFY(writeZip(archive, entries, stored));
        QFile::remove(appDir + "/app.zip");
        QVERIFY(!QFileInfo(appDir).isDir() || QFile::copy(archive, appDir + "/app.zip"));
    }

private slots:
    void init()
    {
        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
        appDir = tmp->filePath("My Apps");
        archive = tmp->filePath("app.zip");
        Platform::setNameForTesting(QStringLiteral("xcb"));
        versionPath = QStringLiteral("version.ver");
    }
    void cleanup()
    {
        if (!mounted.isEmpty())
            QProcess::execute("umount", {mounted});
        mounted.clear();
        selfReplacing = false;
        recordedOld = false;
        deltaInstall = false;
        Installer::setFaultForTesting(0);
        Platform::setNameForTesting(QString());
        tmp.reset();
    }

    void failureAtEveryOperation_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<bool>("self"); // the release replaces the updater's own executable
        QTest::newRow("bundle-fails") << "xcb" << false << false;
        QTest::newRow("bundle-killed-then-recovered") << "xcb" << true << false;
        QTest::newRow("windows-fails") << "windows" << false << false;
        QTest::newRow("windows-killed-then-recovered") << "windows" << true << false;
        QTest::newRow("linux-killed-then-recovered") << "linux" << true << false;
        QTest::newRow("self-replacing-killed-then-recovered") << "xcb" << true << true;
    }
    // The n-th file operation fails (or the process dies there, and the next
    // start recovers, perhaps dying once itself), for every n: the
    // installation is byte for byte the old one or the new one, and nothing
    // of the installer's own is left. Where the kill fell decides which:
    // before anything new is in place, the old one ("Rolled back"); once the
    // version file is new, the new one ("Completed"); only in between either.
    void failureAtEveryOperation()
    {
        QFETCH(QString, platform);
        QFETCH(bool, stop);
        QFETCH(bool, self);
        useLayout(platform);
        selfReplacing = self;
        versionPath = Platform::layout() == Platform::Layout::Windows ? "Bin/version.ver"
                                                                      : "version.ver";
        writeArchive(newRelease());

        layOutOld();
        const QMap<QString, QString> oldTree = snapshot();
        const QMap<QString, QString> newTree = expectedNew();
        QVERIFY(oldTree != newTree);
        const QString newVersion = newTree.value(versionPath);
        const QString updater = "Updater.app/Contents/MacOS/Updater";
        // The updater that starts next is there, old or new, at every instant.
        auto updaterInPlace = [&] {
            const QString found
                = treeSnapshot(appDir + "/Updater.app").value("Contents/MacOS/Updater");
            return found == oldTree.value(updater) || found == newTree.value(updater);
        };
        const QString journal = appDir + '/' + journalName;

        for (int n = 1;; ++n) {
            layOutOld();
            MessageLog log;
            Installer::setFaultForTesting(n, stop);
            QString reason;
            const bool ok = install(&reason);
            Installer::setFaultForTesting(0);
            const QByteArray at = "at operation " + QByteArray::number(n) + ": " + reason.toUtf8();
            if (n > Installer::operationsForTesting()) {
                QVERIFY2(ok, at);
                QCOMPARE(snapshot(), newTree);
                QVERIFY2(n > 20, "fewer operations than files: the seam misses some");
                break;
            }
            QVERIFY2(!ok || !stop, at);
            if (stop) {
                QVERIFY2(updaterInPlace(), at);
                const bool journalled = QFile::exists(journal);
                const QMap<QString, QString> killed = withoutInstallerFiles(snapshot());
                // Killed: the version file says 1.1 only once everything is 1.1.
                const bool committed = killed.value(versionPath) == newVersion;
                if (committed)
                    QVERIFY2(killed == newTree, at);
                const bool untouched = killed == oldTree;
                QVERIFY2(committed || untouched || journalled, at);
                // The next start may be killed while recovering, too.
                log.clear();
                Installer::setFaultForTesting(1 + n % 5, true);
                Installer::recover(appDir);
                Installer::setFaultForTesting(0);
                QVERIFY2(updaterInPlace(), at);
                const bool journalLeft = QFile::exists(journal);
                QVERIFY2(Installer::recover(appDir), at);
                const QMap<QString, QString> recovered = snapshot();
                const int completed = log.count("Completed the interrupted update");
                const int rolledBack
                    = loggedStartingWith(log, "Rolled back the interrupted update");
                if (committed) {
                    QVERIFY2(recovered == newTree, at);
                    QVERIFY2(rolledBack == 0, at);
                    QVERIFY2(!journalled || !journalLeft || completed == 1, at);
                } else if (untouched) {
                    QVERIFY2(recovered == oldTree, at);
                    QVERIFY2(completed == 0, at);
                    QVERIFY2(!journalled || !journalLeft || rolledBack == 1, at);
                } else {
                    QVERIFY2(recovered == oldTree || recovered == newTree, at);
                    QVERIFY2(!completed || recovered == newTree, at);
                    QVERIFY2(!rolledBack || recovered == oldTree, at);
                }
                // The next run offers the update again and completes it.
                if (recovered == oldTree) {
                    QVERIFY2(install(), at);
                    QVERIFY2(snapshot() == newTree, at);
                }
            } else if (ok) {
                // Failing only while cleaning up: installed, and the next
                // start removes what is left.
                QVERIFY2(withoutInstallerFiles(snapshot()) == newTree, at);
                QVERIFY2(Installer::recover(appDir), at);
                QVERIFY2(snapshot() == newTree, at);
            } else {
                QVERIFY2(snapshot() == oldTree, at);
                QVERIFY2(!reason.isEmpty(), at);
            }
        }
    }

    void journals_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("outcome"); // "old", "new", or "as-it-stood" (set aside)

        // Killed half way through the swap, then the journal damaged: its copy is used.
        QTest::newRow("empty") << "empty"
                               << "new";
        QTest::newRow("truncated") << "truncated"
                                   << "new";
        QTest::newRow("not-the-installers") << "foreign"
                                            << "new";
        QTest::newRow("checksum-mismatch") << "altered"
                                           << "new";
        // ... the copy too: nothing can tell what was made.
        QTest::newRow("journal-and-copy-empty") << "both-empty"
                                                << "as-it-stood";
        // A file still to be placed is gone: only undoing makes it whole.
        QTest::newRow("staged-file-deleted") << "staged-deleted"
                                             << "old";
        // Steps the installer never writes, in well-formed journals.
        QTest::newRow("only-a-backup-of-the-app") << "backup-only"
                                                  << "as-it-stood";
        QTest::newRow("through-a-link") << "through-link"
                                        << "as-it-stood";
        QTest::newRow("staging-folder-is-a-link") << "staging-link"
                                                  << "as-it-stood";
        // Killed half way, then a folder moved elsewhere and linked back:
        // nothing goes through the link, every other step made is undone.
        QTest::newRow("folder-replaced-by-a-link") << "folder-link"
                                                   << "undone-around-link";
    }
    // A journal that cannot be trusted never blocks the installation: it is
    // read from its copy, or set aside with its folders, leaving the
    // installation as it stood; nothing outside the folder is touched, and
    // the next install succeeds.
    void journals()
    {
        QFETCH(QString, damage);
        QFETCH(QString, outcome);
        writeArchive(newRelease());
        layOutOld();
        const QMap<QString, QString> oldTree = snapshot();
        const QMap<QString, QString> newTree = expectedNew();
        const QString journal = appDir + '/' + journalName;
        const QString copy = appDir + '/' + backupName + '/' + journalName;
        const QString staging = appDir + '/' + stagingName;
        const QString outside = tmp->filePath("outside");
        QVERIFY(writeFile(outside + "/victim", "outside"));

        if (damage == "backup-only" || damage == "through-link" || damage == "staging-link") {
            layOutOld();
            QJsonArray steps;
            if (damage == "backup-only") {
                QVERIFY(QDir().mkpath(staging));
                steps = {QJsonArray {"backup", "Viewer.app"}};
            } else if (damage == "through-link") {
                QVERIFY(makeLink(outside, appDir + "/out"));
                QVERIFY(writeFile(staging + "/out/victim", "new"));
                steps = {QJsonArray {"backup", "out/victim"}, QJsonArray {"place", "out/victim"}};
            } else {
                QVERIFY(makeLink(outside, staging));
                steps = {QJsonArray {"backup", "config.conf"}, QJsonArray {"place", "victim"}};
            }
            QVERIFY(writeFile(journal, journalOf(steps)));
        } else {
            // Killed once the first file is in place.
            auto placed = [&] {
                const QMap<QString, QString> tree = withoutInstallerFiles(snapshot());
                for (auto it = tree.begin(); it != tree.end(); ++it) {
                    if (!it.value().startsWith("dir") && it.value() != oldTree.value(it.key()))
                        return true;
                }
                return false;
            };
            // The same operation for every row: found once.
            static int killAt = 0;
            for (int n = qMax(killAt, 1); n < 200; ++n) {
                layOutOld();
                Installer::setFaultForTesting(n, true);
                install();
                Installer::setFaultForTesting(0);
                if (QFile::exists(journal) && placed()) {
                    killAt = n;
                    break;
                }
            }
            QVERIFY(QFile::exists(journal));
            QFile file(journal);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QByteArray bytes = file.readAll();
            file.close();
            if (damage == "empty" || damage == "both-empty")
                bytes.clear();
            else if (damage == "truncated")
                bytes.truncate(bytes.size() / 2);
            else if (damage == "foreign")
                bytes = R"({"steps":[["place","Viewer.app"]]})";
            else if (damage == "altered")
                bytes.replace("Viewer.app", "Viewer.apq");
            if (damage == "folder-link") {
                const QString resources = appDir + "/Viewer.app/Contents/Resources";
                QVERIFY(QDir().rename(resources, outside + "/Resources"));
                QVERIFY(makeLink(outside + "/Resources", resources));
            }
            QVERIFY(
                damage == "staged-deleted" || damage == "folder-link" || writeFile(journal, bytes));
            QVERIFY(damage != "both-empty" || writeFile(copy, bytes));
            QVERIFY(damage != "staged-deleted" || QFile::remove(staging + '/' + versionPath));
        }
        const QMap<QString, QString> stood = withoutInstallerFiles(snapshot());
        if (damage == "staged-deleted") {
            // A recovery that has to undo never moves forward first: killed
            // at each of its operations in turn, never more of the new
            // version is in place than before it began.
            const auto newInPlace = [&] {
                QSet<QString> paths;
                const QMap<QString, QString> tree = withoutInstallerFiles(snapshot());
                for (auto it = tree.begin(); it != tree.end(); ++it) {
                    if (it.value() == newTree.value(it.key())
                        && it.value() != oldTree.value(it.key()))
                        paths.insert(it.key());
                }
                return paths;
            };
            const QSet<QString> before = newInPlace();
            const QString killed = tmp->filePath("killed");
            QCOMPARE(QProcess::execute("cp", {"-a", appDir, killed}), 0);
            const auto restore = [&] {
                return QDir(appDir).removeRecursively()
                    && QProcess::execute("cp", {"-a", killed, appDir}) == 0;
            };
            for (int n = 1; n < 1000; ++n) {
                Installer::setFaultForTesting(n, true);
                Installer::recover(appDir);
                Installer::setFaultForTesting(0);
                const QSet<QString> now = newInPlace();
                QVERIFY2(before.contains(now), qPrintable(QStringList(now.values()).join(' ')));
                QVERIFY(restore());
                if (Installer::operationsForTesting() < n)
                    break; // the recovery ended before this operation
            }
        }

        MessageLog log;
        QCOMPARE(Installer::recover(appDir), outcome != "as-it-stood" && damage != "folder-link");
        if (damage == "folder-link") {
            QMap<QString, QString> now = withoutSetAside(snapshot());
            QMap<QString, QString> old = oldTree;
            for (QMap<QString, QString> *tree : {&now, &old}) {
                for (auto it = tree->begin(); it != tree->end();)
                    it = it.key().startsWith("Viewer.app/Contents/Resources") ? tree->erase(it)
                                                                              : std::next(it);
            }
            QCOMPARE(now, old);
            QCOMPARE(loggedStartingWith(log, "Set aside the damaged update journal"), 1);
            QVERIFY(QDir().rename(outside + "/Resources", tmp->filePath("moved-back")));
        } else if (outcome == "as-it-stood") {
            QCOMPARE(withoutSetAside(snapshot()), stood);
            QCOMPARE(loggedStartingWith(log, "Set aside the damaged update journal"), 1);
            QVERIFY(!QFile::exists(journal) && !QFile::exists(staging));
            QCOMPARE(QDir(appDir)
                         .entryList({".update-journal.damaged-*"}, QDir::Hidden | QDir::Files)
                         .size(),
                1);
        } else {
            QCOMPARE(snapshot(), outcome == "new" ? newTree : oldTree);
            // Undone because a staged file is missing, and saying so.
            QCOMPARE(
                loggedStartingWith(log,
                    outcome == "new" ? "Completed the interrupted update"
                                     : "Rolled back the interrupted update: the staged copy of \""
                            + versionPath + "\" is missing"),
                1);
        }
        QFile victim(outside + "/victim");
        QVERIFY(victim.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), QByteArray("outside"));
        QVERIFY(install());
        QCOMPARE(withoutSetAside(snapshot()).value(versionPath), newTree.value(versionPath));
        if (outcome != "as-it-stood" && damage != "folder-link")
            QCOMPARE(snapshot(), newTree);
    }

    void diskFull_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<QString>("reason"); // a pattern the reason matches
        // The archive itself stays small, the unpacked file does not.
        QTest::newRow("file-size-limit") << "rlimit"
                                         << "huge.bin.*File too large";
        QTest::newRow("disk-too-small") << "size=6m"
                                        << "^Not enough disk space: the update needs 1\\d MiB, "
                                           "[45] MiB free$";
        QTest::newRow("no-inodes-left") << "inodes"
                                        << "No space left on device";
    }
    // A release that does not fit: nothing is installed, the old installation
    // stays, and the reason is the system's (or names what is needed).
    void diskFull()
    {
        QFETCH(QString, limit);
        QFETCH(QString, reason);
        if (limit != "rlimit" && !mountDisk(limit == "inodes" ? "size=64m" : limit))
            QSKIP("no file system of its own can be mounted here (needs root)");
        layOutOld();
        writeArchive({{"version.ver", "1.1"},
            {"Viewer.app/Contents/MacOS/Viewer", "new", ZipEntry::File, 0755},
            {"Viewer.app/Contents/Resources/huge.bin", QByteArray(8 * 1024 * 1024, 'u')}});
        const QMap<QString, QString> oldTree = snapshot();
        QVERIFY(QFileInfo(archive).size() < 512 * 1024);
        if (limit == "inodes") {
            // Room for two more files or folders only.
            struct statvfs disk;
            QVERIFY(::statvfs(QFile::encodeName(appDir).constData(), &disk) == 0);
            const QString inodes = QString::number(disk.f_files - disk.f_ffree + 2);
            QCOMPARE(QProcess::execute("mount", {"-o", "remount,nr_inodes=" + inodes, mounted}), 0);
        }

        struct rlimit saved;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        if (limit == "rlimit") {
            struct rlimit small = saved;
            small.rlim_cur = 1024 * 1024;
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        }
        QString why;
        const bool ok = install(&why);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);

        QVERIFY(!ok);
        QVERIFY2(why.contains(QRegularExpression(reason)), qPrintable(why));
        QCOMPARE(snapshot(), oldTree);
    }

    void links_data()
    {
        QTest::addColumn<QStringList>("links");
        QTest::addColumn<bool>("installed");

        // Each link is "NAME -> TARGET"; "NAME" alone is a file entry.
        QTest::newRow("file-up-but-inside") << QStringList {"sub/../inside.txt"} << true;
        QTest::newRow("framework") << QStringList {"Fw/Versions/5/Lib", "Fw/Versions/Current -> 5",
            "Fw/Lib -> Versions/Current/Lib", "Fw/Resources -> Versions/Current/Resources"}
                                   << true;
        QTest::newRow("up-but-inside") << QStringList {"a/b/version -> ../../version.ver"} << true;
        QTest::newRow("to-a-link-inside")
            << QStringList {"a/up -> ..", "b -> a/up/version.ver"} << true;
        QTest::newRow("absolute") << QStringList {"etc -> /etc"} << false;
        QTest::newRow("absolute-into-itself") << QStringList {"v -> @APP@/version.ver"} << false;
        QTest::newRow("up-out") << QStringList {"Viewer.app/out -> ../../outside"} << false;
        QTest::newRow("out-through-a-link")
            << QStringList {"a/up -> ..", "esc -> a/up/../outside"} << false;
        QTest::newRow("out-through-an-installed-link")
            << QStringList {"@INSTALLED@ext -> @OUTSIDE@", "x -> ext/file"} << false;
        QTest::newRow("entry-written-through-it")
            << QStringList {"Fw/Current -> ../../outside", "Fw/Current/evil.txt"} << false;
        QTest::newRow("entry-written-through-it-earlier")
            << QStringList {"Fw/Current/evil.txt", "Fw/Current -> 5"} << false;
        QTest::newRow("entry-written-through-an-inside-link") << QStringList {"Fw/Versions/5/",
            "Fw/Current -> Versions/5", "Fw/Current/evil.txt"} << false;
    }
    // Links that stay inside the application folder are installed as links;
    // any other link refuses the whole archive before anything is changed.
    void links()
    {
        QFETCH(QStringList, links);
        QFETCH(bool, installed);
        layOutOld();
        const QString outside = tmp->filePath("outside");
        QVERIFY(QDir().mkpath(outside));
        QList<ZipEntry> entries {{"version.ver", "1.1"}};
        for (QString spec : links) {
            spec.replace("@APP@", appDir).replace("@OUTSIDE@", outside);
            const QString name = spec.section(" -> ", 0, 0);
            const QString target = spec.section(" -> ", 1);
            if (name.startsWith("@INSTALLED@"))
                QVERIFY(makeLink(target, appDir + '/' + name.mid(11)));
            else if (!spec.contains(" -> "))
                entries.append({name, name.endsWith('/') ? QByteArray() : name.toUtf8(),
                    name.endsWith('/') ? ZipEntry::Dir : ZipEntry::File});
            else
                entries.append(zipLink(name, target.toUtf8()));
        }
        writeArchive(entries);
        const QMap<QString, QString> oldTree = snapshot();

        QString reason;
        QCOMPARE(install(&reason), installed);
        QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        if (!installed) {
            QVERIFY2(reason.contains("link"), qPrintable(reason));
            QCOMPARE(snapshot(), oldTree);
            return;
        }
        const QMap<QString, QString> tree = snapshot();
        for (const ZipEntry &entry : entries) {
            if (entry.type == ZipEntry::Link)
                QCOMPARE(tree.value(entry.name), "link " + entry.data);
            QFile file(appDir + '/' + QDir::cleanPath(entry.name));
            if (entry.type == ZipEntry::File && file.open(QIODevice::ReadOnly))
                QCOMPARE(file.readAll(), entry.data);
        }
        QCOMPARE(QFileInfo(appDir + "/version.ver").isSymLink(), false);
    }

    // What the updater keeps in the application folder is never reached
    // through a link or blocked on by a FIFO planted at its name: a link is
    // refused or removed itself, and what it leads to stays byte for byte.
    void ownNamesPlanted_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("planted"); // "file-link", "folder-link" or "fifo"
        QTest::newRow("archive") << "app.zip"
                                 << "file-link";
        QTest::newRow("staged-delta") << ".update-delta"
                                      << "folder-link";
        QTest::newRow("staging") << stagingName << "folder-link";
        QTest::newRow("previous-version") << ".update-previous"
                                          << "folder-link";
        QTest::newRow("state") << ".update-state"
                               << "file-link";
        QTest::newRow("state-fifo") << ".update-state"
                                    << "fifo";
        QTest::newRow("journal-fifo") << journalName << "fifo";
        // What a run killed while writing its journal leaves.
        QTest::newRow("journal-scratch") << journalName + ".k1ll3d" << "file-link";
        QTest::newRow("delta") << "delta.zip.part"
                               << "file-link";
    }
    void ownNamesPlanted()
    {
        QFETCH(QString, name);
        QFETCH(QString, planted);
        writeArchive(newRelease());
        layOutOld();
        const QString path = appDir + '/' + name;
        const QString outside = tmp->filePath("outside");
        QVERIFY(writeFile(outside + "/victim", "outside"));
        // A sound archive where the link leads: refused all the same.
        if (name == "app.zip")
            QVERIFY(QFile::rename(path, outside + "/app.zip"));
        const QMap<QString, QString> before = treeSnapshot(outside);
        if (planted == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        else
            QVERIFY(makeLink(planted == "folder-link" ? outside
                    : name == "app.zip"               ? outside + "/app.zip"
                                                      : outside + "/victim",
                path));

        QString reason;
        if (name == "app.zip") {
            QVERIFY(!install(&reason));
            QVERIFY2(reason.contains("symbolic link"), qPrintable(reason));
        } else if (name == ".update-delta") {
            QVERIFY(Installer::recover(appDir));
            QVERIFY(!QFileInfo(path).isSymLink());
        } else if (name == stagingName) {
            QVERIFY(install(&reason));
            QCOMPARE(snapshot(), expectedNew());
        } else if (name == ".update-previous") {
            QVERIFY(Installer::removeKept(appDir, &reason));
            QVERIFY(!QFileInfo(path).isSymLink());
        } else if (name == ".update-state") {
            UpdateState state = UpdateState::load(appDir, &reason);
            QVERIFY(!reason.isEmpty());
            state.recordVerified("1.1", 1);
            QVERIFY(state.save(&reason));
            QVERIFY(QFileInfo(path).isFile() && !QFileInfo(path).isSymLink());
            QCOMPARE(UpdateState::load(appDir).highestVersion(), "1.1");
        } else if (name.startsWith(journalName + '.')) {
            QVERIFY(Installer::recover(appDir));
            QVERIFY(!QFileInfo(path).isSymLink() && !QFileInfo::exists(path));
        } else if (name == journalName) {
            // Refused at once, as a journal that cannot be read.
            Installer::recover(appDir);
            QVERIFY(!QFileInfo::exists(path));
        } else {
            QByteArray json;
            QVERIFY(!DeltaApplier::readIndex(path, &json, &reason));
            QVERIFY2(reason.contains("symbolic link"), qPrintable(reason));
        }
        QCOMPARE(treeSnapshot(outside), before);
    }

    // A tree is removed without following any link in it or at its top.
    void removeTree_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::newRow("link-at-the-top") << "top-link";
        QTest::newRow("links-inside") << "inner-links";
        QTest::newRow("read-only-folders") << "read-only";
        QTest::newRow("many-files") << "many";
        QTest::newRow("nothing-there") << "none";
    }
    void removeTree()
    {
        QFETCH(QString, shape);
        const QString outside = tmp->filePath("outside");
        const QString tree = tmp->filePath("tree");
        QVERIFY(writeFile(outside + "/victim", "outside"));
        QVERIFY(writeFile(outside + "/sub/deep", "deeper"));
        const QMap<QString, QString> before = treeSnapshot(outside);
        if (shape == "top-link") {
            QVERIFY(makeLink(outside, tree));
        } else if (shape == "inner-links") {
            QVERIFY(makeLink(outside, tree + "/a/folder"));
            QVERIFY(makeLink(outside + "/victim", tree + "/a/file"));
            QVERIFY(makeLink("../../outside/sub", tree + "/relative"));
        } else if (shape == "read-only") {
            QVERIFY(writeFile(tree + "/a/b/file", "x", 0444));
            QVERIFY(makeLink(outside, tree + "/a/b/folder"));
            QVERIFY(QFile::setPermissions(tree + "/a/b", QFile::ReadOwner | QFile::ExeOwner));
            QVERIFY(QFile::setPermissions(tree + "/a", QFile::ExeOwner));
        } else if (shape == "many") {
            // More files and folders than one batch of removals holds.
            for (int i = 0; i < 1500; ++i)
                QVERIFY(makeLink(outside + "/victim", tree + "/f" + QString::number(i)));
            for (int i = 0; i < 300; ++i)
                QVERIFY(makeLink(outside, tree + "/sub" + QString::number(i) + "/folder"));
        }
        QString why;
        QVERIFY2(SafeFiles::removeTree(tree, &why), qPrintable(why));
        QVERIFY(!QFileInfo::exists(tree) && !QFileInfo(tree).isSymLink());
        QCOMPARE(treeSnapshot(outside), before);
    }

    void refusedArchives_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("damage");
        QTest::newRow("crc-mismatch") << "good.txt"
                                      << "crc";
        QTest::newRow("truncated") << "good.txt"
                                   << "truncated";
        QTest::newRow("not-a-zip") << "good.txt"
                                   << "text";
        QTest::newRow("missing") << "good.txt"
                                 << "missing";
        QTest::newRow("dot-dot") << "../evil.txt"
                                 << "";
        QTest::newRow("nested-dot-dot") << "sub/../../evil.txt"
                                        << "";
        QTest::newRow("backslash-dot-dot") << "..\\evil.txt"
                                           << "";
        QTest::newRow("absolute") << "@TMP@/evil.txt"
                                  << "";
        QTest::newRow("drive-letter") << "C:/evil.txt"
                                      << "";
        QTest::newRow("into-the-staging-folder") << ".update-staging/evil.txt"
                                                 << "";
        QTest::newRow("over-the-journal") << ".UPDATE-JOURNAL"
                                          << "";
        // The running updater's lock: moved away, it would let a second one in.
        QTest::newRow("over-the-lock") << "updater.lock"
                                       << "";
        // What the installation remembers of verified releases: an archive
        // replacing it could undo the replay protection.
        QTest::newRow("over-the-update-state") << ".update-state"
                                               << "";
        // The updater's own downloads and records: an entry there would be
        // read or removed by the updater as its own.
        QTest::newRow("over-the-manifest") << "release.json"
                                           << "";
        QTest::newRow("over-the-download-record") << "App.zip.part.source"
                                                  << "";
        QTest::newRow("over-the-state-copy") << ".update-state.copy"
                                             << "";
        QTest::newRow("over-the-installed-files-record") << ".update-files"
                                                         << "";
        // Every name the installation reserves, whatever it holds.
        for (const QString &reserved : Installation::reservedNames())
            QTest::newRow(qPrintable("reserved-" + reserved)) << reserved + "/evil.txt"
                                                              << "";
        QTest::newRow("sibling-with-same-prefix") << "../My Apps2/evil.txt"
                                                  << "";
        QTest::newRow("file-and-folder") << "version.ver/evil.txt"
                                         << "";
    }
    // An archive that does not read back whole, or that would write outside
    // the folder or into the installer's own files, changes nothing at all.
    void refusedArchives()
    {
        QFETCH(QString, name);
        QFETCH(QString, damage);
        layOutOld();
        name.replace("@TMP@", tmp->path());
        writeArchive(
            {{"version.ver", "1.1"}, {"first.txt", "sound entry"}, {name, QByteArray(4096, 'x')}},
            true);
        const QString downloaded = appDir + "/app.zip";
        QFile file(downloaded);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        file.close();
        if (damage == "crc")
            bytes[bytes.indexOf(QByteArray(64, 'x')) + 100] = 'y';
        else if (damage == "truncated")
            bytes.truncate(bytes.size() * 2 / 3);
        else if (damage == "text")
            bytes = "not an archive";
        QFile::remove(downloaded);
        if (damage != "missing")
            QVERIFY(writeFile(downloaded, bytes));
        const QMap<QString, QString> oldTree = snapshot();

        QString reason;
        QVERIFY(!install(&reason));
        QVERIFY(!reason.isEmpty());
        QCOMPARE(snapshot(), oldTree);
        QCOMPARE(QDir(tmp->path())
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
            QStringList({"My Apps", "app.zip"}));
    }

    void permissions_data()
    {
        QTest::addColumn<bool>("folder"); // the entry is a folder, else a file
        QTest::addColumn<int>("entryMode");
        QTest::addColumn<int>("oldMode");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("running"); // the old program runs during the install
        const int defaults = 0666 & ~currentUmask();
        QTest::newRow("executable") << false << 0755 << -1 << 0755 << false;
        QTest::newRow("private") << false << 0600 << 0644 << 0600 << false;
        QTest::newRow("read-only") << false << 0444 << -1 << 0444 << false;
        QTest::newRow("archive-drops-execute") << false << 0644 << 0755 << 0644 << false;
        QTest::newRow("none-new") << false << -1 << -1 << defaults << false;
        QTest::newRow("none-over-plain") << false << -1 << 0600 << defaults << false;
        QTest::newRow("none-over-executable") << false << -1 << 0755 << (defaults | 0111) << false;
        QTest::newRow("none-over-owner-executable")
            << false << -1 << 0700 << (defaults | 0100) << false;
        // Replaced, not refused by the system as busy (the updater itself).
        QTest::newRow("executable-running") << false << 0755 << 0755 << 0755 << true;
        // Never writable by others, never setuid, setgid or sticky.
        QTest::newRow("world-writable") << false << 0777 << -1 << 0755 << false;
        QTest::newRow("group-writable-over-plain") << false << 0664 << 0644 << 0644 << false;
        QTest::newRow("setuid-setgid") << false << 06755 << -1 << 0755 << false;
        QTest::newRow("folder-world-writable") << true << 0777 << -1 << 0755 << false;
        QTest::newRow("folder-sticky") << true << 01777 << -1 << 0755 << false;
        QTest::newRow("folder-none") << true << -1 << -1 << (0777 & ~currentUmask()) << false;
        // A folder that is there takes the release's mode (or keeps its own).
        QTest::newRow("existing-folder") << true << 0755 << 0777 << 0755 << false;
        QTest::newRow("existing-folder-private") << true << 0700 << 0755 << 0700 << false;
        QTest::newRow("existing-folder-none") << true << -1 << 0750 << 0750 << false;
    }
    // Entries keep their Unix permissions, less what would let others change
    // or take over the installation; one without them gets the usual
    // defaults, but a program it replaces stays executable.
    void permissions()
    {
        QFETCH(bool, folder);
        QFETCH(int, entryMode);
        QFETCH(int, oldMode);
        QFETCH(int, expected);
        QFETCH(bool, running);
        layOutOld();
        const QString program = appDir + "/Viewer.app/Contents/MacOS/Tool";
        if (oldMode >= 0 && folder) {
            QVERIFY(QDir().mkpath(program));
            QVERIFY(::chmod(QFile::encodeName(program).constData(), mode_t(oldMode)) == 0);
        } else if (oldMode >= 0) {
            QVERIFY(writeFile(program, "old", oldMode));
        }
        QProcess old;
        if (running) {
            QVERIFY(QFile::remove(program) && QFile::copy(QStringLiteral("/bin/sleep"), program));
            old.start(program, {QStringLiteral("60")});
            QVERIFY(old.waitForStarted());
        }
        writeArchive({{"version.ver", "1.1"},
            {"Viewer.app/Contents/MacOS/Tool", folder ? QByteArray() : "new",
                folder ? ZipEntry::Dir : ZipEntry::File, entryMode}});
        const bool installed = install();
        old.kill();
        old.waitForFinished();
        QVERIFY(installed);
        QFile replaced(program);
        QVERIFY(folder || replaced.open(QIODevice::ReadOnly));
        QVERIFY(folder || replaced.readAll() == "new");
        QCOMPARE(QString::number(fullMode(program), 8), QString::number(expected, 8));
    }

    // A release and the next one, with the change of the row, published as
    // archives and a delta; the installation of the first then takes the
    // delta when it may, and the full archive otherwise, as the updater
    // does. Either way it ends exactly as the full archive leaves it.
    void deltaUpdate_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("viaDelta");
        QTest::newRow("applied") << "" << true;
        QTest::newRow("removed-file-and-folder") << "remove" << true;
        QTest::newRow("added-link") << "link" << true;
        QTest::newRow("locally-modified-old-file") << "modifyInstalled" << false;
        QTest::newRow("patch-with-wrong-hash") << "wrongHash" << false;
        QTest::newRow("delta-from-another-version") << "otherVersion" << false;
        QTest::newRow("killed-during-swap") << "kill" << true;
        // The person's file keeps the dropped folder; the rest of it goes.
        QTest::newRow("persons-file-in-a-dropped-folder") << "person" << true;
        QTest::newRow("updater-and-config-dropped") << "updater" << true;
        // The Linux layout's updater beside the application.
        QTest::newRow("linux-updater-and-config-dropped") << "linuxUpdater" << true;
        QTest::newRow("dropped-file-changed-by-hand") << "changedGone" << true;
        QTest::newRow("folder-replaced-by-a-link") << "resourcesLink" << false;
        QTest::newRow("kept-file-edited-while-asked") << "editedWhileAsked" << false;
        QTest::newRow("folder-mode-changed") << "folderMode" << true;
        QTest::newRow("delta-larger-than-the-archive") << "large" << false;
        // Patched over megabytes: the installed file's pages are given back
        // as the output moves on, and read again where a match reaches back.
        QTest::newRow("patched-file-of-megabytes") << "bigFile" << true;
        // One of them would overwrite the other where case is ignored.
        QTest::newRow("paths-differing-only-in-case") << "case" << false;
        QTest::newRow("index-made-unsafe-after-signing") << "unsafeIndex" << false;
    }
    void deltaUpdate()
    {
        QFETCH(QString, change);
        QFETCH(bool, viaDelta);
        const QString contents = "Viewer.app/Contents/";
        const QString framework = contents + "Frameworks/Qt.framework/";
        QByteArray program = pattern(300000, 1);
        if (change == "bigFile") {
            program.resize(5 * 1024 * 1024 + 17);
            QRandomGenerator noise(7);
            noise.fillRange(reinterpret_cast<quint32 *>(program.data()), program.size() / 4);
        }
        QByteArray data = pattern(150000, 2);
        const QString oldDir = tmp->filePath("release-1.0");
        const QString newDir = tmp->filePath("release-1.1");
        QVERIFY(writeFile(oldDir + "/version.ver", "1.0"));
        QVERIFY(writeFile(oldDir + '/' + contents + "MacOS/Viewer", program, 0755));
        QVERIFY(writeFile(oldDir + '/' + contents + "Resources/data.bin", data));
        QVERIFY(writeFile(oldDir + '/' + contents + "Resources/same.txt", "unchanged"));
        QVERIFY(writeFile(oldDir + '/' + contents + "Resources/gone.txt", "only in 1.0"));
        QVERIFY(writeFile(oldDir + '/' + contents + "Legacy/readme.txt", "only in 1.0"));
        QVERIFY(writeFile(oldDir + '/' + framework + "Versions/4/Qt", "qt 4"));
        QVERIFY(makeLink("4", oldDir + '/' + framework + "Versions/Current"));
        QVERIFY(makeLink("Versions/Current/Qt", oldDir + '/' + framework + "Qt"));
        if (change == "linuxUpdater") {
            useLayout("linux");
            QVERIFY(writeFile(oldDir + "/Updater", "updater", 0755));
            QVERIFY(writeFile(oldDir + "/config.conf", "slayout==linux\n"));
        }
        if (change == "updater") {
            QVERIFY(writeFile(oldDir + "/Updater.app/Contents/MacOS/Updater", "updater", 0755));
            QVERIFY(writeFile(oldDir + "/config.conf", "surl==127.0.0.1\n"));
        }
        if (change == "folderMode")
            QVERIFY(::chmod(QFile::encodeName(oldDir + '/' + contents + "Resources"), 0700) == 0);
        // The next release: small edits, a new file, a link turned elsewhere.
        QVERIFY(QProcess::execute("cp", {"-a", oldDir, newDir}) == 0);
        if (change == "linuxUpdater") {
            QVERIFY(QFile::remove(newDir + "/Updater"));
            QVERIFY(QFile::remove(newDir + "/config.conf"));
        }
        if (change == "updater") {
            QVERIFY(QDir(newDir + "/Updater.app").removeRecursively());
            QVERIFY(QFile::remove(newDir + "/config.conf"));
        }
        if (change == "folderMode")
            QVERIFY(::chmod(QFile::encodeName(newDir + '/' + contents + "Resources"), 0755) == 0);
        program.replace(1000, 5, "1.1.0");
        if (change == "bigFile")
            program.append(program.left(200000)).replace(program.size() - 300, 3, "end");
        data.replace(90000, 3, "new");
        QVERIFY(writeFile(newDir + "/version.ver", "1.1"));
        QVERIFY(writeFile(newDir + '/' + contents + "MacOS/Viewer", program, 0755));
        QVERIFY(writeFile(newDir + '/' + contents + "Resources/data.bin", data, 0600));
        QVERIFY(writeFile(newDir + '/' + contents + "Resources/notes.txt", "new in 1.1"));
        QVERIFY(writeFile(newDir + '/' + framework + "Versions/5/Qt", "qt 5"));
        QVERIFY(QFile::remove(newDir + '/' + framework + "Versions/Current"));
        QVERIFY(makeLink("5", newDir + '/' + framework + "Versions/Current"));
        if (change == "remove" || change == "kill" || change == "person"
            || change == "changedGone") {
            QVERIFY(QFile::remove(newDir + '/' + contents + "Resources/gone.txt"));
            QVERIFY(QDir(newDir + '/' + contents + "Legacy").removeRecursively());
        }
        if (change == "link")
            QVERIFY(makeLink("../Resources/notes.txt", newDir + '/' + contents + "MacOS/notes"));
        if (change == "case")
            QVERIFY(writeFile(newDir + '/' + contents + "Resources/Notes.txt", "other notes"));
        const QString oldZip = tmp->filePath("app-1.0.zip");
        const QString newZip = tmp->filePath("app-1.1.zip");
        QString reason;
        QVERIFY2(ArchiveBuilder::build(oldDir, oldZip, &reason), qPrintable(reason));
        QVERIFY2(ArchiveBuilder::build(newDir, newZip, &reason), qPrintable(reason));
        DeltaBuilder::Delta delta;
        const QString published = tmp->filePath("published");
        QVERIFY(QDir().mkpath(published));
        QVERIFY2(DeltaBuilder::build(oldDir, newZip, "1.1", published, &delta, &reason),
            qPrintable(reason));
        QVERIFY(delta.patched >= 2 && delta.unchanged >= 2);

        // The full archive over one copy of the first release: the yardstick.
        const QString fullDir = tmp->filePath("full");
        QVERIFY(installArchive(oldZip, fullDir));
        QVERIFY(installArchive(oldZip, appDir));
        for (const QString &dir : {fullDir, appDir}) {
            if (change == "person")
                QVERIFY(writeFile(dir + '/' + contents + "Legacy/mine.txt", "the person's"));
            if (change == "changedGone")
                QVERIFY(writeFile(dir + '/' + contents + "Resources/gone.txt", "edited"));
            if (change == "resourcesLink") {
                // Moved to another disk and linked back.
                const QString elsewhere = tmp->filePath("elsewhere-" + QFileInfo(dir).fileName());
                QVERIFY(QDir().rename(dir + '/' + contents + "Resources", elsewhere));
                QVERIFY(makeLink(elsewhere, dir + '/' + contents + "Resources"));
            }
        }
        QVERIFY(installArchive(newZip, fullDir));
        if (change == "modifyInstalled")
            QVERIFY(writeFile(appDir + '/' + contents + "Resources/same.txt", "changed by hand"));
        if (change == "otherVersion")
            QVERIFY(writeFile(appDir + "/version.ver", "0.9"));

        if (change == "wrongHash")
            QVERIFY(rewriteDelta(published, &delta.offer, misstateResults));
        const QString victim = tmp->filePath("victim");
        if (change == "unsafeIndex") {
            QVERIFY(rewriteDelta(published, &delta.offer, makeIndexUnsafe));
            QVERIFY(writeFile(victim, "not the updater's"));
        }

        // What the updater does: choose, check, fetch, apply, install. Killed
        // during the swap, the next start recovers the installation whole,
        // as for a full install, and a later run installs the update.
        const QMap<QString, QString> oldTree = treeSnapshot(appDir);
        bool usedDelta = false;
        bool killed = false;
        const QString installed = QString::fromUtf8(readAll(appDir + "/version.ver"));
        // The unsafe index grew after signing; its size is not what that row is about.
        const qint64 archiveSize = change == "large" ? delta.offer.size
            : change == "unsafeIndex"                ? 10 * QFileInfo(newZip).size()
                                                     : QFileInfo(newZip).size();
        while (DeltaPlan::choose({delta.offer}, installed, archiveSize) == 0 && !usedDelta) {
            DeltaUpdate update(delta.offer, "1.1", appDir);
            QSignalSpy checked(&update, &DeltaUpdate::checked);
            QSignalSpy staged(&update, &DeltaUpdate::staged);
            QVERIFY(QFile::copy(published + '/' + delta.offer.indexName, update.indexPath()));
            update.check(installed);
            QVERIFY(checked.wait(30000));
            reason = checked.at(0).at(1).toString();
            if (checked.at(0).at(0).toBool()) {
                if (change == "editedWhileAsked")
                    QVERIFY(writeFile(appDir + '/' + contents + "Resources/same.txt", "edited"));
                // Fetched only now, the installation having been found fit.
                QVERIFY(QFile::copy(published + '/' + delta.offer.name, update.deltaPath()));
                update.stage();
                QVERIFY(staged.wait(30000));
                reason = staged.at(0).at(1).toString();
            }
            QCOMPARE(reason.contains("does not come out as"), change == "wrongHash");
            QCOMPARE(reason.contains("is not the one of version"), change == "modifyInstalled");
            QCOMPARE(reason.contains("is not a real folder"), change == "resourcesLink");
            QCOMPARE(reason.contains("a path is unsafe or twice"),
                change == "case" || change == "unsafeIndex");
            QCOMPARE(reason.contains("same.txt\" changed"), change == "editedWhileAsked");
            // Refused before the delta is fetched.
            QCOMPARE(QFileInfo::exists(update.deltaPath()),
                change != "modifyInstalled" && change != "resourcesLink" && change != "case"
                    && change != "unsafeIndex");
            if (!reason.isEmpty())
                break;
            std::unique_ptr<Installer> installer(update.installer(nullptr));
            const bool kill = change == "kill" && !killed;
            if (kill)
                Installer::setFaultForTesting(7, true);
            usedDelta = run(installer.get(), &reason);
            Installer::setFaultForTesting(0);
            if (kill) {
                killed = true;
                QCOMPARE(reason, "Stopped by the test seam");
                QVERIFY(Installer::recover(appDir));
                // Rolled back whole, or completed: the version file says which.
                usedDelta = readAll(appDir + "/version.ver") == "1.1";
                QMap<QString, QString> recovered = treeSnapshot(appDir);
                recovered.remove(ReleaseFiles::downloadedDeltaIndex);
                recovered.remove(ReleaseFiles::partialDelta);
                QVERIFY(usedDelta || recovered == oldTree);
            }
            QVERIFY2(usedDelta || kill, qPrintable(reason));
        }
        QCOMPARE(killed, change == "kill");
        // Nothing outside the staging folder was written or taken away, and
        // the index was refused for it.
        if (change == "unsafeIndex") {
            QCOMPARE(readAll(victim), QByteArray("not the updater's"));
            QVERIFY(!QFileInfo::exists(tmp->filePath("evil.txt")));
            QVERIFY(!QFileInfo::exists(appDir + "/evil.txt"));
            QVERIFY2(reason.contains("a path is unsafe"), qPrintable(reason));
        }
        if (!usedDelta)
            QVERIFY(installArchive(newZip, appDir));
        QCOMPARE(usedDelta, viaDelta);

        const QMap<QString, QString> expected = treeSnapshot(fullDir);
        QCOMPARE(treeSnapshot(appDir), expected);
        const bool dropped = change == "remove" || change == "kill";
        QCOMPARE(
            expected.contains(contents + "Resources/gone.txt"), !dropped && change != "person");
        QCOMPARE(expected.contains(contents + "Legacy"), !dropped && change != "changedGone");
        QCOMPARE(expected.contains("config.conf"), change == "updater" || change == "linuxUpdater");
        QCOMPARE(expected.contains("Updater"), change == "linuxUpdater");
    }

    // The index's path rule on its own: every path that could lead out of
    // the staging folder or the installation refuses the index, as an entry
    // or as a removed path; names that merely hold dots are paths like any.
    void deltaIndexPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::newRow("parent") << ".." << false;
        QTest::newRow("parent-first") << "../evil.txt" << false;
        QTest::newRow("parent-inside") << "a/../b" << false;
        QTest::newRow("parent-last") << "a/.." << false;
        QTest::newRow("current") << "." << false;
        QTest::newRow("current-inside") << "a/./b" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("backslash-parent") << "..\\evil.txt" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("empty-part") << "a//b" << false;
        QTest::newRow("trailing-slash") << "a/" << false;
        QTest::newRow("drive-letter") << "C:/Windows" << false;
        QTest::newRow("drive-relative") << "c:evil.txt" << false;
        QTest::newRow("control-character") << "a\nb" << false;
        QTest::newRow("plain") << "a/b.txt" << true;
        QTest::newRow("dots-in-names") << "..a/b..c/..." << true;
        QTest::newRow("hidden") << ".config/x" << true;
    }
    void deltaIndexPaths()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(DeltaIndex::cleanPath(path), safe ? path : QString());
        QVERIFY(DeltaIndex::cleanPath(path).isNull() != safe);
        // As an entry (each folder of it listed before it) and as a removed path.
        QJsonArray entries;
        const QStringList parts = path.split('/');
        for (int i = 1; i <= parts.size(); ++i) {
            entries.append(
                QJsonObject {{"path", parts.mid(0, i).join('/')}, {"kind", "dir"}, {"mode", 0755}});
        }
        const QJsonObject base {{"format", 1}, {"from", "1.0"}, {"to", "1.1"}};
        QJsonObject asEntry = base;
        asEntry.insert("entries", entries);
        QJsonObject asRemoved = base;
        asRemoved.insert("removed", QJsonArray {path});
        DeltaIndex index;
        QString reason;
        QCOMPARE(DeltaIndex::fromJson(QJsonDocument(asEntry).toJson(), &index, &reason), safe);
        QCOMPARE(
            reason, safe ? QString() : "the delta's index is damaged: a path is unsafe or twice");
        reason.clear();
        QCOMPARE(DeltaIndex::fromJson(QJsonDocument(asRemoved).toJson(), &index, &reason), safe);
        QCOMPARE(reason,
            safe ? QString() : "the delta's index is damaged: a removed path is unsafe, kept or twice");
    }

private:
    // What a person has installed: without the installer's own files, the
    // installation's memory, the kept version, the lock and the updater itself.
    QMap<QString, QString> installedTree() const { return visible(snapshot()); }
    static QMap<QString, QString> visible(const QMap<QString, QString> &tree)
    {
        return withoutInstallerFiles(tree,
            {ReleaseFiles::state, ReleaseFiles::previousVersion, InstanceLock::baseName,
                QStringLiteral("Updater.app"), ReleaseFiles::stateCopy, ReleaseFiles::stateLock,
                ReleaseFiles::applicationRunning});
    }

    // What a killed updater leaves in ".update-state": it had marked the
    // revert as under way and never came to clear the mark.
    void markReverting()
    {
        QFile file(appDir + '/' + ReleaseFiles::state);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
        QJsonObject trial = state.value("trial").toObject();
        QVERIFY(!trial.isEmpty());
        trial.insert("reverting", true);
        state.insert("trial", trial);
        QVERIFY(file.resize(0));
        QVERIFY(file.write(QJsonDocument(state).toJson()) > 0);
    }

    // The built updater run with "--confirm" from inside the installation,
    // as the application does.
    void startConfirm(QProcess &process)
    {
        const QString updater = appDir + "/Updater.app/Contents/MacOS/Updater";
        QVERIFY(QDir().mkpath(QFileInfo(updater).path()));
        QFile::remove(updater);
        QVERIFY(QFile::copy(UPDATER_BINARY, updater));
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(updater, {"--confirm"});
        QVERIFY(process.waitForStarted());
    }

    // Version 1.0 with 1.1 installed over it on trial (or, with confirm 0,
    // installed as usual).
    void installOnTrial(int confirm)
    {
        layOutOld();
        if (confirm > 0) {
            QString reason;
            QVERIFY2(Trial::begin(fresh(), "1.1", "1.0", confirm, &reason), qPrintable(reason));
        }
        QVERIFY(install(nullptr, confirm > 0));
    }

private slots:
    void trial_data()
    {
        QTest::addColumn<int>("confirm");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("lastLine");

        // "launch": the updater starts the application; "confirm": the
        // application confirms (in-process); "start": the next updater's
        // start-up (recovery, then the judgement), then ":old" or ":new" is
        // what is installed after it; "kill"/"fail": that start-up killed or
        // failed at each file operation of the revert in turn; "lock" and
        // "unlock": another updater holds the lock; "binary": the built
        // updater run with "--confirm"; "race": the same while a revert is
        // under way; "lose-previous": ".update-previous" removed by hand;
        // "run": a launch handed over, its end unseen; "later": the grace
        // time passes; "app"/"quit": an application the updater started
        // runs/ends; "next-fails": an install of 1.2 on trial that fails;
        // "fifo": ".update-state" replaced by a FIFO.
        const QString restored("Version 1.1 did not start properly; restored version 1.0");
        QTest::newRow("confirmed-on-first-launch")
            << 1 << "launch confirm start:new launch start:new"
            << "Version 1.1 confirmed its start; its trial has ended";
        QTest::newRow("never-confirmed-1") << 1 << "launch start:old launch start:old" << restored;
        QTest::newRow("never-confirmed-3")
            << 3 << "launch start:new launch start:new launch start:old" << restored;
        QTest::newRow("confirmed-after-the-revert-was-due")
            << 1 << "launch launch confirm start:new"
            << "Version 1.1 confirmed its start; its trial has ended";
        QTest::newRow("install-killed-at-every-operation") << 1 << "kill-install" << restored;
        QTest::newRow("install-failing-at-every-operation") << 1 << "fail-install" << restored;
        QTest::newRow("killed-at-every-revert-operation") << 1 << "launch kill" << restored;
        QTest::newRow("failing-at-every-revert-operation") << 1 << "launch fail" << restored;
        QTest::newRow("previous-removed-by-hand")
            << 1 << "launch lose-previous start:new"
            << "Version 1.1 was launched once without a confirmation, but no version before "
               "it is kept (\"@APP@/.update-previous\" is missing); its trial has ended";
        QTest::newRow("confirm-without-a-trial")
            << 0 << "binary start:new"
            << "Nothing to confirm: version 1.1 is not on trial";
        QTest::newRow("confirm-during-a-running-updater")
            << 1 << "launch lock binary unlock start:new"
            << "Version 1.1 confirmed its start; its trial has ended";
        QTest::newRow("confirm-racing-a-revert") << 1 << "launch race" << restored;
        QTest::newRow("second-start-before-the-confirmation")
            << 1 << "run start:new confirm start:new"
            << "Version 1.1 confirmed its start; its trial has ended";
        QTest::newRow("handed-over-launch-counts-after-the-grace-time")
            << 1 << "run start:new later start:old" << restored;
        QTest::newRow("revert-waits-for-the-running-application")
            << 1 << "launch app start:new quit start:old" << restored;
        QTest::newRow("failed-install-of-the-next-release")
            << 1 << "next-fails start:new launch start:old" << restored;
        QTest::newRow("state-replaced-by-a-fifo")
            << 1 << "launch fifo binary start:new"
            << "Version 1.1 confirmed its start; its trial has ended";
        // "recorded": 1.0 has the record of its files, and 1.1 drops some
        // of them; "delta": 1.1 comes as a delta; "mine": the person saves
        // a file in a folder 1.1 added.
        QTest::newRow("dropping-release-never-confirmed")
            << 1 << "recorded launch start:old launch start:old" << restored;
        QTest::newRow("dropping-delta-never-confirmed")
            << 1 << "delta launch start:old launch start:old" << restored;
        QTest::newRow("dropping-delta-killed-at-every-revert-operation")
            << 1 << "delta launch kill" << restored;
        QTest::newRow("dropping-delta-failing-at-every-revert-operation")
            << 1 << "delta launch fail" << restored;
        QTest::newRow("dropping-delta-install-killed-at-every-operation")
            << 1 << "delta kill-install" << restored;
        QTest::newRow("persons-file-in-an-added-folder-kept-by-the-revert")
            << 1 << "delta launch mine start:old" << restored;
        // "linux": the installation of the Linux layout, its application
        // started detached (handed over) and its confirmation by the built
        // updater reading that layout from config.conf.
        QTest::newRow("linux-handed-over-launch-counts-after-the-grace-time")
            << 1 << "linux run start:new later start:old" << restored;
        QTest::newRow("linux-dropping-delta-killed-at-every-revert-operation")
            << 1 << "linux delta launch kill" << restored;
        QTest::newRow("linux-confirmed-by-the-binary")
            << 1 << "linux launch binary start:new"
            << "Version 1.1 confirmed its start; its trial has ended";
    }
    // A release on trial, from its install with the version before it kept
    // to the end of its trial: confirmed, it stays; never confirmed, the
    // next start after `confirm` launches puts 1.0 back byte for byte, also
    // when that start is killed or fails at any file operation, and 1.1 is
    // never offered again.
    void trial()
    {
        QFETCH(int, confirm);
        QFETCH(QString, script);
        QFETCH(QString, lastLine);
        lastLine.replace("@APP@", appDir);
        if (script.startsWith("linux ")) {
            useLayout("linux");
            script = script.section(' ', 1);
        }
        const bool viaDelta = script.startsWith("delta ");
        deltaInstall = viaDelta;
        recordedOld = viaDelta || script.startsWith("recorded ");
        if (recordedOld)
            script = script.section(' ', 1);
        writeArchive(newRelease());
        if (deltaInstall)
            publishDelta();
        layOutOld();
        QMap<QString, QString> oldTree = installedTree();
        // The yardstick is the full archive's install.
        deltaInstall = false;
        QMap<QString, QString> newTree = visible(expectedNew());
        deltaInstall = viaDelta;
        QVERIFY(oldTree != newTree);

        installOnTrial(confirm);
        QCOMPARE(installedTree(), newTree);
        QCOMPARE(QFileInfo::exists(appDir + "/.update-previous"), confirm > 0);
        MessageLog log;
        std::unique_ptr<InstanceLock> other;
        struct Outcome
        {
            QString log;
            QString status;
        };
        Outcome outcome;
        Outcome said; // the last outcome that said anything
        const auto judge = [&] {
            QString line;
            QString reason;
            outcome = Outcome();
            ShownText note;
            outcome.log = Trial::judge(fresh(), &line, &note, &reason) ? line : reason;
            outcome.status = note.english();
            if (!outcome.log.isEmpty()) {
                qDebug().noquote() << outcome.log;
                said = outcome;
            }
        };
        const auto start = [&] {
            if (Installer::recover(appDir))
                judge();
        };
        const auto countLaunch = [&](Installation &installation, qint64 *launch) {
            QString line;
            QString reason;
            return Trial::countLaunch(installation, launch, &line, &reason) ? line : reason;
        };
        const auto launchEnded = [&] {
            qint64 launch = 0;
            Installation &installation = fresh();
            const QString counted = countLaunch(installation, &launch);
            Trial::launchEnded(installation, launch);
            return counted;
        };
        const auto confirmed = [&] {
            QString line;
            QString reason;
            return Trial::confirm(fresh(), &line, &reason) ? line : reason;
        };
        int application = -1;
        const QStringList steps = script.split(' ');
        for (int i = 0; i < steps.size(); ++i) {
            const QString step = steps.at(i);
            const QByteArray at = QByteArray::number(i) + " " + step.toUtf8();
            if (step == "launch" || step == "run") {
                qint64 launch = 0;
                const QString counted
                    = step == "run" ? countLaunch(fresh(), &launch) : launchEnded();
                if (!counted.isEmpty())
                    qDebug().noquote() << counted;
            } else if (step == "later") {
                Trial::advanceClockForTesting(Trial::graceSeconds);
            } else if (step == "app") {
                // What the application inherits from the updater that starts it.
                application = ::open(QFile::encodeName(appDir + '/' + ReleaseFiles::applicationRunning),
                    O_RDWR | O_CREAT | O_CLOEXEC, 0644);
                QVERIFY(application >= 0 && ::flock(application, LOCK_SH) == 0);
            } else if (step == "quit") {
                ::close(application);
            } else if (step == "fifo") {
                // Read from its copy, at once.
                const QString state = appDir + '/' + ReleaseFiles::state;
                QVERIFY(QFile::remove(state));
                QCOMPARE(::mkfifo(QFile::encodeName(state).constData(), 0644), 0);
            } else if (step == "next-fails") {
                QString reason;
                QVERIFY(Trial::begin(fresh(), "1.2", "1.1", 1, &reason));
            } else if (step == "confirm") {
                qDebug().noquote() << confirmed();
            } else if (step.startsWith("start")) {
                start();
                QVERIFY2(installedTree() == (step.endsWith(":old") ? oldTree : newTree), at);
            } else if (step == "lock") {
                other.reset(new InstanceLock(appDir));
                QString busy;
                QCOMPARE(other->acquire(&busy), InstanceLock::Acquired);
            } else if (step == "unlock") {
                other.reset();
            } else if (step == "mine") {
                const QString help = "Viewer.app/Contents/Help";
                QVERIFY(writeFile(appDir + '/' + help + "/mine.txt", "the person's"));
                const QMap<QString, QString> now = installedTree();
                oldTree.insert(help, now.value(help));
                oldTree.insert(help + "/mine.txt", now.value(help + "/mine.txt"));
                newTree.insert(help + "/mine.txt", now.value(help + "/mine.txt"));
            } else if (step == "lose-previous") {
                QVERIFY(QDir(appDir + "/.update-previous").removeRecursively());
            } else if (step == "binary") {
                // At once: neither the lock nor a server is waited for.
                QProcess updater;
                startConfirm(updater);
                QVERIFY(updater.waitForFinished(30000));
                QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
                QCOMPARE(updater.exitCode(), 0);
                qDebug().noquote()
                    << QString::fromUtf8(updater.readAll()).trimmed().section('\n', -1);
                QCOMPARE(QFileInfo::exists(appDir + '/' + ReleaseFiles::state), confirm > 0);
            } else if (step == "race") {
                // This process is the updater reverting; "--confirm" waits
                // for it, and confirms nothing once it has.
                other.reset(new InstanceLock(appDir));
                QString busy;
                QCOMPARE(other->acquire(&busy), InstanceLock::Acquired);
                markReverting();
                QProcess updater;
                startConfirm(updater);
                QVERIFY(!updater.waitForFinished(500));
                start();
                other.reset();
                QVERIFY(updater.waitForFinished(30000));
                QCOMPARE(updater.exitCode(), 0);
                QCOMPARE(QString::fromUtf8(updater.readAll()).trimmed().section('\n', -1),
                    "Nothing to confirm: version 1.0 is not on trial");
                QCOMPARE(installedTree(), oldTree);
            } else if (step.endsWith("-install")) {
                // Whenever the install ends (or the next start's recovery
                // ends it) with 1.1 in place and the version before it kept,
                // that version is whole: the revert gives 1.0 back exactly.
                const bool stop = step.startsWith("kill");
                for (int n = 1;; ++n) {
                    const QByteArray op = at + " at operation " + QByteArray::number(n);
                    layOutOld();
                    QString reason;
                    QVERIFY(Trial::begin(fresh(), "1.1", "1.0", confirm, &reason));
                    Installer::setFaultForTesting(n, stop);
                    const bool ok = install(&reason, true);
                    Installer::setFaultForTesting(0);
                    const bool done = n > Installer::operationsForTesting();
                    QVERIFY2(!done || ok, op);
                    if (stop) {
                        Installer::setFaultForTesting(1 + n % 5, true);
                        Installer::recover(appDir);
                        Installer::setFaultForTesting(0);
                    }
                    QVERIFY2(Installer::recover(appDir), op);
                    const QMap<QString, QString> installed = installedTree();
                    QVERIFY2(installed == oldTree || installed == newTree, op);
                    QVERIFY2(installed == newTree || !ok, op);
                    const bool kept = QFileInfo::exists(appDir + "/.update-previous");
                    // Only a failure while keeping it installs without it.
                    QVERIFY2(kept || installed == oldTree || (!stop && !done), op);
                    launchEnded();
                    start();
                    QVERIFY2(installedTree() == (kept ? oldTree : installed), op);
                    if (done)
                        break;
                }
            } else if (step == "kill" || step == "fail") {
                const bool stop = step == "kill";
                for (int n = 1;; ++n) {
                    const QByteArray op = at + " at operation " + QByteArray::number(n);
                    if (n > 1) {
                        installOnTrial(confirm);
                        launchEnded();
                    }
                    Installer::setFaultForTesting(n, stop);
                    judge();
                    Installer::setFaultForTesting(0);
                    if (n > Installer::operationsForTesting()) {
                        QVERIFY2(installedTree() == oldTree, op);
                        QVERIFY2(n > 20, "fewer operations than files: the seam misses some");
                        break;
                    }
                    if (stop) {
                        // The next start may be killed while recovering, too.
                        markReverting();
                        Installer::setFaultForTesting(1 + n % 5, true);
                        Installer::recover(appDir);
                        Installer::setFaultForTesting(0);
                        QVERIFY2(Installer::recover(appDir), op);
                        const QMap<QString, QString> recovered = installedTree();
                        QVERIFY2(recovered == oldTree || recovered == newTree, op);
                    } else if (installedTree() != oldTree) {
                        // Undone, and said so; the kept version is whole for the next try.
                        QVERIFY2(installedTree() == newTree, op);
                        QVERIFY2(outcome.status.endsWith("restoring version 1.0 failed"), op);
                    }
                    start();
                    QVERIFY2(installedTree() == oldTree, op);
                    QVERIFY2(said.status == lastLine, op);
                    QVERIFY2(!QFileInfo::exists(appDir + "/.update-previous"), op);
                    QVERIFY2(Trial::isBad(fresh(), "1.1"), op);
                }
            } else {
                QFAIL(qPrintable("unknown step " + step));
            }
        }
        QCOMPARE(log.lines().last().text, lastLine);
        // A trial that has ended leaves nothing of itself but the bad version.
        QVERIFY(!QFileInfo::exists(appDir + "/.update-previous"));
        QVERIFY(!QFileInfo::exists(appDir + '/' + journalName));
        QCOMPARE(Trial::isBad(fresh(), "1.1"), installedTree() == oldTree);
        QVERIFY(!Trial::isBad(fresh(), "1.2"));
        const bool reverted = installedTree() == oldTree;
        QCOMPARE(said.status, reverted ? lastLine : QString());
        QCOMPARE(confirmed(),
            QStringLiteral("Nothing to confirm: version %1 is not on trial")
                .arg(reverted ? "1.0" : "1.1"));
    }
};

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
