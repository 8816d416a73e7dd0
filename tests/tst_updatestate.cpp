// The installation's memory on disk: read from its copy when one file is
// damaged or odd, the strictest state when both are, and writes that keep
// what another writer changed; and the facts its owner, Installation,
// answers: the installed version, the reserved names, the state read once.
#include "installation.h"
#include "layout.h"
#include "messagelog.h"
#include "platform.h"
#include "releasefiles.h"
#include "updatestate.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class TestUpdateState : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }

    // A state file's bytes: "first" and "copy" differ in their highest version.
    static QByteArray good(const char *version)
    {
        return QByteArray("{\"install_id\": \"00112233445566778899aabbccddeeff\", "
                          "\"highest_version\": \"")
            + version
            + "\", \"highest_signed\": 100, \"manifest_verified\": true, "
              "\"bad_versions\": [\"0.9\"]}";
    }

    void put(const QString &file, const QString &kind, const char *version)
    {
        QFile out(file);
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0644), 0);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(file));
        } else if (kind == "link") {
            QVERIFY(QFile::link(path("outside"), file));
        } else if (kind != "missing") {
            QByteArray bytes = good(version);
            if (kind == "cut")
                bytes = bytes.left(60);
            else if (kind == "huge-number")
                bytes.replace("100", "31e19");
            else if (kind == "huge-count")
                bytes.replace("}", ", \"trial\": {\"version\": \"1.2\", \"launches\": 1e300}}");
            else if (kind == "oversized")
                bytes += QByteArray(UpdateState::maxSize, ' ');
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
        }
    }

    static bool writeBytes(const QString &file, const QByteArray &bytes)
    {
        QFile out(file);
        return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
    }

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        QFile version(path("version.ver"));
        QVERIFY(version.open(QIODevice::WriteOnly) && version.write("1.0\n") == 4);
        QFile outside(path("outside"));
        QVERIFY(outside.open(QIODevice::WriteOnly) && outside.write(good("7.7")) > 0);
    }
    void cleanup()
    {
        Platform::setNameForTesting(QString());
        QVERIFY(QDir(dir.path()).removeRecursively());
        QVERIFY(QDir().mkpath(dir.path()));
    }

    void damage_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("copy");
        // "1.2": the first file read; "1.1": its copy; "1.0": neither, the
        // installed version is the floor; "": a fresh state.
        QTest::addColumn<QString>("highest");
        QTest::addColumn<bool>("idKept");

        QTest::newRow("both-whole") << "good" << "good" << "1.2" << true;
        QTest::newRow("first-cut") << "cut" << "good" << "1.1" << true;
        QTest::newRow("first-missing") << "missing" << "good" << "1.1" << true;
        QTest::newRow("copy-cut") << "good" << "cut" << "1.2" << true;
        QTest::newRow("first-fifo") << "fifo" << "good" << "1.1" << true;
        QTest::newRow("first-folder") << "folder" << "good" << "1.1" << true;
        QTest::newRow("first-link") << "link" << "good" << "1.1" << true;
        QTest::newRow("first-oversized") << "oversized" << "good" << "1.1" << true;
        QTest::newRow("first-huge-number") << "huge-number" << "good" << "1.1" << true;
        QTest::newRow("first-huge-count") << "huge-count" << "good" << "1.1" << true;
        QTest::newRow("both-cut") << "cut" << "cut" << "1.0" << true;
        QTest::newRow("both-odd") << "fifo" << "huge-number" << "1.0" << true;
        QTest::newRow("cut-and-missing") << "cut" << "missing" << "1.0" << true;
        QTest::newRow("none") << "missing" << "missing" << "" << false;
    }
    // One damaged or odd file is read from the other at once; with both
    // damaged no manifest older than the installed version is taken, and a
    // save makes both files whole again (a link replaced, its target untouched).
    void damage()
    {
        QFETCH(QString, first);
        QFETCH(QString, copy);
        QFETCH(QString, highest);
        QFETCH(bool, idKept);
        put(path(ReleaseFiles::state), first, "1.2");
        put(path(ReleaseFiles::stateCopy), copy, "1.1");

        QString problem;
        UpdateState state = UpdateState::load(dir.path(), &problem);
        QCOMPARE(state.highestVersion(), highest);
        QCOMPARE(problem.isEmpty(), highest != "1.0");
        QCOMPARE(state.manifestVerified(), !highest.isEmpty());
        QCOMPARE(state.installId().toHex() == "00112233445566778899aabbccddeeff", idKept);
        if (highest != "1.0")
            QCOMPARE(state.badVersions().contains("0.9"), !highest.isEmpty());

        QString reason;
        state.addBadVersion("1.5");
        QVERIFY2(state.save(&reason), qPrintable(reason));
        const UpdateState again = UpdateState::load(dir.path(), &problem);
        QCOMPARE(again.highestVersion(), highest);
        QVERIFY(again.badVersions().contains("1.5"));
        QVERIFY(QFileInfo(path(ReleaseFiles::stateCopy)).isFile());
        QCOMPARE(QFileInfo(path(ReleaseFiles::state)).isFile(), first != "folder");
        QFile outside(path("outside"));
        QVERIFY(outside.open(QIODevice::ReadOnly));
        QCOMPARE(outside.readAll(), good("7.7"));
    }

    // Two writers from the same read: each keeps what the other changed.
    void concurrentSaves()
    {
        put(path(ReleaseFiles::state), "good", "1.2");
        UpdateState window = UpdateState::load(dir.path());
        UpdateState trial = UpdateState::load(dir.path());
        UpdateState confirm = UpdateState::load(dir.path());
        QString reason;
        UpdateState::TrialRecord record;
        record.version = "1.2";
        record.confirm = 1;
        trial.setTrial(record);
        QVERIFY(trial.save(&reason));
        confirm = UpdateState::load(dir.path());
        window.recordVerified("1.3", 300);
        QVERIFY(window.save(&reason));
        trial = UpdateState::load(dir.path());
        record.launches = 1;
        trial.setTrial(record);
        trial.addBadVersion("1.1");
        record = confirm.trial();
        record.confirmed = true;
        confirm.setTrial(record);
        confirm.setSkippedVersion("1.3");
        QVERIFY(confirm.save(&reason));
        QVERIFY(trial.save(&reason));
        window.recordVerified("1.2", 400);
        QVERIFY(window.save(&reason));

        const UpdateState now = UpdateState::load(dir.path());
        QCOMPARE(now.highestVersion(), QString("1.3"));
        QCOMPARE(now.highestSigned(), 300);
        QCOMPARE(now.badVersions(), QStringList({"0.9", "1.1"}));
        QVERIFY(now.trial().confirmed);
        QCOMPARE(now.trial().launches, 1);
        // The skip one saver recorded survives the others' later saves.
        QCOMPARE(now.skippedVersion(), QString("1.3"));
    }

    // One owner for a run: the state is read once and every change saved
    // without reading it again first; a change another process wrote in
    // between is kept, since each save reads under the lock what it merges.
    void stateReadOnce_data()
    {
        QTest::addColumn<bool>("otherWrites");
        QTest::newRow("alone") << false;
        QTest::newRow("confirmed-meanwhile") << true;
    }
    void stateReadOnce()
    {
        QFETCH(bool, otherWrites);
        put(path(ReleaseFiles::state), "good", "1.2");
        Installation installation(dir.path());
        QString reason;
        QVERIFY2(installation.changeState(
                     [](UpdateState &state) {
                         UpdateState::TrialRecord record;
                         record.version = "1.0";
                         record.confirm = 2;
                         state.setTrial(record);
                         return true;
                     },
                     &reason),
            qPrintable(reason));
        // The manifest's judge saves a copy and hands it back.
        UpdateState judged = installation.stateForDecision();
        judged.recordVerified("1.3", 300);
        QVERIFY2(judged.save(&reason), qPrintable(reason));
        installation.stateSaved(judged);
        if (otherWrites) {
            // `Updater --confirm`, a process of its own.
            UpdateState other = UpdateState::load(dir.path());
            UpdateState::TrialRecord record = other.trial();
            record.confirmed = true;
            other.setTrial(record);
            QVERIFY2(other.save(&reason), qPrintable(reason));
        }
        QVERIFY2(installation.changeState(
                     [](UpdateState &state) {
                         UpdateState::TrialRecord record = state.trial();
                         ++record.launches;
                         state.setTrial(record);
                         return true;
                     },
                     &reason),
            qPrintable(reason));
        QVERIFY(!installation.state().badVersions().contains("1.1"));
        QCOMPARE(installation.stateReadsForTesting(), 1);

        const UpdateState onDisk = UpdateState::load(dir.path());
        QCOMPARE(onDisk.highestVersion(), QString("1.3"));
        QCOMPARE(onDisk.badVersions(), QStringList({"0.9"}));
        QCOMPARE(onDisk.trial().launches, 1);
        QCOMPARE(onDisk.trial().confirmed, otherWrites);
        QCOMPARE(installation.state().toJson(), onDisk.toJson());
    }

    // A state lost on disk is said once when read, and each decision taken
    // on it says so, until a write has made it whole again; the reads
    // under the lock that every write makes add nothing.
    void lostStateSaidOnce()
    {
        put(path(ReleaseFiles::state), "cut", "1.2");
        put(path(ReleaseFiles::stateCopy), "cut", "1.1");
        MessageLog log;
        Installation installation(dir.path());
        QVERIFY(installation.stateForDecision().manifestVerified());
        QString reason;
        QVERIFY2(installation.changeState(
                     [](UpdateState &state) {
                         state.addBadVersion("1.1");
                         return true;
                     },
                     &reason),
            qPrintable(reason));
        QVERIFY(installation.stateForDecision().badVersions().contains("1.1"));
        int damaged = 0;
        int lost = 0;
        for (const MessageLog::Line &line : log.lines()) {
            damaged += line.text.contains("and so is its copy");
            lost += line.text.startsWith("State of earlier updates lost:");
        }
        QCOMPARE(damaged, 2); // the plain line and the decision's
        QCOMPARE(lost, 1);
    }

    void installedVersion_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("where"); // relative to the application directory
        QTest::addColumn<QString>("kind"); // "file", "link", "fifo" or "folder"
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("installed");
        const QByteArray line = "1.2";
        QTest::newRow("bundle") << "xcb" << "version.ver" << "file" << line << "1.2";
        QTest::newRow("cleaned") << "xcb" << "version.ver" << "file" << QByteArray(" 1.2 \r\n")
                                 << "1.2";
        QTest::newRow("at-the-cap") << "xcb" << "version.ver" << "file"
                                    << line + QByteArray(ReleaseFiles::maxVersionFileSize - 3, ' ')
                                    << "1.2";
        QTest::newRow("past-the-cap")
            << "xcb" << "version.ver" << "file"
            << line + QByteArray(ReleaseFiles::maxVersionFileSize - 2, ' ') << "";
        QTest::newRow("link") << "xcb" << "version.ver" << "link" << line << "1.2";
        QTest::newRow("fifo") << "xcb" << "version.ver" << "fifo" << line << "";
        QTest::newRow("folder") << "xcb" << "version.ver" << "folder" << line << "";
        QTest::newRow("windows") << "windows" << "Bin/version.ver" << "file" << line << "1.2";
        // Each layout reads its own file only.
        QTest::newRow("windows-without-bin") << "windows" << "version.ver" << "file" << line << "";
        QTest::newRow("bundle-reads-no-bin") << "xcb" << "Bin/version.ver" << "file" << line << "";
        QTest::newRow("linux") << "linux" << "version.ver" << "file" << line << "1.2";
        QTest::newRow("linux-reads-no-bin") << "linux" << "Bin/version.ver" << "file" << line << "";
    }
    // Read once, capped, a link followed to a regular file only, and again only once an
    // install or a revert says it changed.
    void installedVersion()
    {
        QFETCH(QString, platform);
        QFETCH(QString, where);
        QFETCH(QString, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, installed);
        useLayout(platform);
        const QString file = dir.filePath(where);
        QVERIFY(QFile::remove(path("version.ver")));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        if (kind == "link") {
            QVERIFY(writeBytes(path("elsewhere"), bytes));
            QVERIFY(QFile::link(path("elsewhere"), file));
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0644), 0);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(file));
        } else {
            QVERIFY(writeBytes(file, bytes));
        }
        Installation installation(dir.path());
        QCOMPARE(installation.versionFilePath(),
            dir.path() + (platform == "windows" ? "/Bin/version.ver" : "/version.ver"));
        QCOMPARE(installation.installedVersion(), installed);
        QVERIFY(QFile::remove(file) || QDir(file).removeRecursively());
        QVERIFY(QDir().mkpath(QFileInfo(installation.versionFilePath()).path()));
        QVERIFY(writeBytes(installation.versionFilePath(), "2.0\n"));
        QCOMPARE(installation.installedVersion(), installed);
        installation.versionChanged();
        QCOMPARE(installation.installedVersion(), QString("2.0"));
    }

    void reserved_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("reserved");
        QTest::newRow("journal") << ".update-journal" << true;
        QTest::newRow("any-case") << ".UPDATE-State.Copy" << true;
        QTest::newRow("inside-staging") << ".update-staging/Viewer.app" << true;
        QTest::newRow("lock") << "updater.lock" << true;
        QTest::newRow("download-record") << "app.zip.part.source" << true;
        QTest::newRow("kept-version") << ".update-previous/version.ver" << true;
        // Only the top name is the updater's.
        QTest::newRow("below-the-top") << "Resources/.update-state" << false;
        QTest::newRow("longer-name") << ".update-state.old" << false;
        QTest::newRow("version-file") << "version.ver" << false;
        // Never removed by a release, but a release may ship it.
        QTest::newRow("configuration") << "config.conf" << false;
    }
    void reserved()
    {
        QFETCH(QString, relative);
        QFETCH(bool, reserved);
        QCOMPARE(Installation::isReserved(relative), reserved);
    }
};

QTEST_GUILESS_MAIN(TestUpdateState)
#include "tst_updatestate.moc"
