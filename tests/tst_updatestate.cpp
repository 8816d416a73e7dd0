// The installation's memory on disk: read from its copy when one file is
// damaged or odd, the strictest state when both are, and writes that keep
// what another writer changed.
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
    }
};

QTEST_GUILESS_MAIN(TestUpdateState)
#include "tst_updatestate.moc"
