// A release made ready in the background and installed at the next start,
// on real folders with the test's own key: prepared from the archive or
// from a delta, checked again at the start (tampered, expired, reverted,
// superseded, unfinished, under a running application) and put in place by
// the installer's swap, with the tree a full install leaves.
#include "archivebuilder.h"
#include "bytepattern.h"
#include "deltabuilder.h"
#include "deltaupdate.h"
#include "files.h"
#include "installation.h"
#include "installer.h"
#include "instancelock.h"
#include "keyring.h"
#include "manifestwriter.h"
#include "readyupdate.h"
#include "releasesigner.h"
#include "settings.h"
#include "startup.h"
#include "updatestate.h"
#include "ziparchive.h"

#include <QDateTime>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// What a release holds, the updater's own names left out.
QMap<QString, QString> releaseTree(const QString &dir)
{
    QMap<QString, QString> tree = treeSnapshot(dir);
    for (auto it = tree.begin(); it != tree.end();)
        it = Installation::isReserved(it.key()) || it.key() == "app.zip" ? tree.erase(it) : ++it;
    return tree;
}

} // namespace

class TestReadyUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir keys;
    ReleaseSigner signer;
    QByteArray publicKey;
    std::unique_ptr<QTemporaryDir> tmp;
    QString appDir;
    QString published;
    DeltaIndex::Offer offer;

    // Releases 1.0 (installed) and 1.1 (published as background, its delta
    // from 1.0 listed), and a copy of 1.0 with 1.1 installed in full.
    void publish(int confirm)
    {
        const QString oldDir = tmp->filePath("release-1.0");
        const QString newDir = tmp->filePath("release-1.1");
        const QString contents = oldDir + "/Demo.app/Contents/";
        QVERIFY(writeFile(oldDir + "/version.ver", "1.0"));
        QVERIFY(writeFile(contents + "MacOS/Demo", pattern(200000, 1), 0755));
        QVERIFY(writeFile(contents + "Resources/data.bin", pattern(300000, 2)));
        QVERIFY(writeFile(contents + "Resources/gone.txt", "only in 1.0"));
        QVERIFY(::symlink("MacOS/Demo", QFile::encodeName(contents + "Current").constData()) == 0);
        QVERIFY(QProcess::execute("cp", {"-a", oldDir, newDir}) == 0);
        QVERIFY(writeFile(newDir + "/version.ver", "1.1"));
        QByteArray data = pattern(300000, 2);
        data[1000] = 'x';
        QVERIFY(writeFile(newDir + "/Demo.app/Contents/Resources/data.bin", data));
        QVERIFY(writeFile(newDir + "/Demo.app/Contents/Resources/new.txt", "new in 1.1"));
        QVERIFY(QFile::remove(newDir + "/Demo.app/Contents/Resources/gone.txt"));

        published = tmp->filePath("published");
        QVERIFY(QDir().mkpath(published));
        QString why;
        const QString archive = published + "/app.zip";
        QVERIFY2(ArchiveBuilder::build(newDir, archive, &why), qPrintable(why));
        DeltaBuilder::Delta delta;
        QVERIFY2(
            DeltaBuilder::build(oldDir, archive, "1.1", published, &delta, &why), qPrintable(why));
        offer = delta.offer;
        ManifestOptions options;
        options.confirm = confirm;
        options.background = true;
        ReleaseManifest manifest;
        QVERIFY2(ManifestWriter::describe(archive, "1.1", options,
                     QDateTime::currentSecsSinceEpoch() - 60, &manifest, &why),
            qPrintable(why));
        manifest.binding = {"Demo", "demo_mac"};
        manifest.deltas = {offer};
        QVERIFY2(ManifestWriter::write(manifest, signer, published, &why), qPrintable(why));

        // Installed from the archive once as 1.0 (with its record), then the
        // reference: the same installation with 1.1 installed in full.
        appDir = tmp->filePath("app");
        const QString full = tmp->filePath("full");
        QVERIFY(ArchiveBuilder::build(oldDir, tmp->filePath("old.zip"), &why));
        for (const QString &dir : {appDir, full}) {
            QVERIFY(QDir().mkpath(dir));
            QVERIFY2(install(new Installer(tmp->filePath("old.zip"), dir), &why), qPrintable(why));
        }
        QVERIFY2(install(new Installer(archive, full), &why), qPrintable(why));
    }

    static bool install(Installer *installer, QString *reason)
    {
        std::unique_ptr<Installer> owned(installer);
        QSignalSpy finished(installer, &Installer::finished);
        installer->start();
        if (!finished.wait(30000))
            return false;
        *reason = finished.at(0).at(1).toString();
        return finished.at(0).at(0).toBool();
    }

    // The background run's end: the archive or the delta made ready.
    bool prepare(ReadyUpdate &ready, bool viaDelta, QString *reason)
    {
        const QByteArray manifest = readBytes(published + "/release.json");
        const QByteArray signature = readBytes(published + "/release.json.minisig");
        QSignalSpy prepared(&ready, &ReadyUpdate::prepared);
        std::unique_ptr<DeltaUpdate> delta;
        if (viaDelta) {
            delta.reset(new DeltaUpdate(offer, "1.1", appDir));
            QSignalSpy checked(delta.get(), &DeltaUpdate::checked);
            QSignalSpy staged(delta.get(), &DeltaUpdate::staged);
            QFile::copy(published + '/' + offer.indexName, delta->indexPath());
            QFile::copy(published + '/' + offer.name, delta->deltaPath());
            delta->check("1.0");
            if (!checked.wait(30000) || !checked.at(0).at(0).toBool())
                return false;
            delta->stage();
            if (!staged.wait(30000) || !staged.at(0).at(0).toBool())
                return false;
        } else {
            QFile::copy(published + "/app.zip", appDir + "/app.zip");
        }
        ready.prepare(appDir + "/app.zip", delta.get(), manifest, signature, "1.1");
        if (!prepared.wait(30000))
            return false;
        *reason = prepared.at(0).at(1).toString();
        return prepared.at(0).at(0).toBool();
    }

private slots:
    void initTestCase()
    {
        QString reason;
        QVERIFY2(ReleaseSigner::generateKeyPair(keys.path(), QByteArray(), &publicKey, &reason),
            qPrintable(reason));
        QVERIFY2(
            signer.loadSecretKey(keys.filePath("minisign.key"), {}, &reason), qPrintable(reason));
        appName = "Demo";
        serverAppDir = "demo_mac";
    }
    void init()
    {
        tmp.reset(new QTemporaryDir);
        Startup::clockShift = 0;
    }

    // Made ready, then the next start: installed when nothing changed since,
    // else discarded (or left waiting) with the installation untouched.
    void nextStart_data()
    {
        QTest::addColumn<bool>("viaDelta");
        QTest::addColumn<QString>("change"); // what happens between the runs
        QTest::addColumn<QString>("outcome"); // "installed", "discarded", "waits"

        QTest::newRow("archive") << false << ""
                                 << "installed";
        QTest::newRow("delta") << true << ""
                               << "installed";
        QTest::newRow("archive-on-trial") << false << "trial"
                                          << "installed";
        QTest::newRow("file-changed") << false << "changeFile"
                                      << "discarded";
        QTest::newRow("delta-file-changed") << true << "changeFile"
                                            << "discarded";
        QTest::newRow("file-added") << false << "addFile"
                                    << "discarded";
        QTest::newRow("installed-file-edited-under-a-delta") << true << "editInstalled"
                                                             << "discarded";
        QTest::newRow("manifest-expired") << false << "expire"
                                          << "discarded";
        QTest::newRow("version-reverted-here") << false << "bad"
                                               << "discarded";
        QTest::newRow("newer-release-verified-since") << false << "newer"
                                                      << "discarded";
        QTest::newRow("same-version-installed-since") << false << "installed"
                                                      << "discarded";
        QTest::newRow("signed-with-another-key") << false << "otherKey"
                                                 << "discarded";
        // Signed by a release key of the keyring walked before the run, not
        // by the key built in: the kept keyring rules at the next start too.
        QTest::newRow("release-key-of-the-kept-keyring") << false << "keyring"
                                                         << "installed";
        QTest::newRow("kept-keyring-expired-since") << false << "keyringExpired"
                                                    << "discarded";
        // A kill anywhere before the marker: the unpack or the delta's move.
        QTest::newRow("killed-before-the-marker") << false << "unfinished"
                                                  << "discarded";
        QTest::newRow("application-still-running") << false << "running"
                                                   << "waits";
    }
    void nextStart()
    {
        QFETCH(bool, viaDelta);
        QFETCH(QString, change);
        QFETCH(QString, outcome);
        publish(change == "trial" ? 2 : 0);
        const QMap<QString, QString> before = releaseTree(appDir);
        {
            ReadyUpdate ready(appDir);
            QString why;
            QCOMPARE(ready.lock(&why), InstanceLock::Acquired);
            QVERIFY2(prepare(ready, viaDelta, &why), qPrintable(why));
            QCOMPARE(ready.completeVersion(), QString("1.1"));
        }
        const QString tree = appDir + "/.update-ready/tree/Demo.app/Contents/";
        const QString data = viaDelta ? tree + "Resources/data.bin" : tree + "MacOS/Demo";
        int running = -1;
        UpdateState state = UpdateState::load(appDir);
        if (change == "changeFile")
            QVERIFY(writeFile(data, "changed"));
        else if (change == "addFile")
            QVERIFY(writeFile(tree + "Resources/extra.txt", "added"));
        else if (change == "editInstalled")
            QVERIFY(writeFile(appDir + "/Demo.app/Contents/MacOS/Demo", "edited"));
        else if (change == "expire")
            Startup::clockShift = 31 * 24 * 60 * 60;
        else if (change == "bad")
            state.addBadVersion("1.1");
        else if (change == "newer")
            state.recordVerified("1.2", QDateTime::currentSecsSinceEpoch());
        else if (change == "installed")
            QVERIFY(writeFile(appDir + "/version.ver", "1.1"));
        else if (change == "unfinished")
            QVERIFY(QFile::remove(appDir + "/.update-ready/ready"));
        else if (change == "running") {
            running = ::open(
                QFile::encodeName(appDir + "/.update-running").constData(), O_RDWR | O_CREAT, 0644);
            QVERIFY(running >= 0 && ::flock(running, LOCK_SH) == 0);
        }
        QString why;
        QVERIFY2(state.save(&why), qPrintable(why));

        // The next start, with both locks.
        Installation installation(appDir);
        ReadyUpdate ready(appDir);
        QCOMPARE(ready.lock(&why), InstanceLock::Acquired);
        QByteArray key = publicKey;
        if (change == "otherKey" || change.startsWith("keyring")) {
            QTemporaryDir other;
            QVERIFY(ReleaseSigner::generateKeyPair(other.path(), QByteArray(), &key, &why));
        }
        if (change.startsWith("keyring")) {
            // Keyring 1: the built-in key its root, the release's key listed.
            Keyring kept;
            kept.version = 1;
            kept.expires = QDateTime::currentSecsSinceEpoch()
                + (change == "keyringExpired" ? -60 : 30 * 24 * 60 * 60);
            kept.binding = {"Demo", "demo_mac"};
            kept.roots = {{key, 0}};
            kept.releaseKeys = {{publicKey, 0}};
            QVERIFY(writeFile(appDir + "/.update-keyring", kept.toJson()));
        }
        const bool installs = Startup::checkReady(installation, ready, key);
        if (running >= 0)
            ::close(running);
        QCOMPARE(installs, outcome == "installed");
        if (outcome != "installed") {
            QCOMPARE(QFileInfo::exists(appDir + "/.update-ready"), outcome == "waits");
            if (change != "installed" && change != "editInstalled")
                QCOMPARE(releaseTree(appDir), before);
            return;
        }
        QSignalSpy installed(&ready, &ReadyUpdate::installed);
        ready.install(installation);
        QVERIFY(installed.wait(30000));
        QVERIFY2(installed.at(0).at(0).toBool(),
            qPrintable(installed.at(0).at(1).toStringList().join("; ")));
        QCOMPARE(installation.installedVersion(), QString("1.1"));
        QCOMPARE(releaseTree(appDir), releaseTree(tmp->filePath("full")));
        QVERIFY(!QFileInfo::exists(appDir + "/.update-ready"));
        QVERIFY(!QFileInfo::exists(appDir + "/.update-delta"));
        // The trial counts from this start, the version before kept for a revert.
        // (it becomes the installed version's trial when the launch is counted).
        const UpdateState::TrialRecord trial = UpdateState::load(appDir).pendingTrial();
        QCOMPARE(trial.version, change == "trial" ? QString("1.1") : QString());
        QCOMPARE(trial.launches, 0);
        QCOMPARE(QFileInfo::exists(appDir + "/.update-previous"), change == "trial");
    }

    // The next start killed at a step of the ready update's install: the
    // start after it finds 1.0 or 1.1 whole, and never a ready update to
    // install again half way.
    void killedDuringInstall_data()
    {
        QTest::addColumn<bool>("viaDelta");
        // The step stopped at, counted from the last; -1: the first.
        QTest::addColumn<int>("fromEnd");
        for (const bool viaDelta : {false, true}) {
            for (const int fromEnd : {-1, 20, 12, 6, 4, 1}) {
                QTest::addRow("%s-step-%d", viaDelta ? "delta" : "archive", fromEnd)
                    << viaDelta << fromEnd;
            }
        }
    }
    void killedDuringInstall()
    {
        QFETCH(bool, viaDelta);
        QFETCH(int, fromEnd);
        publish(0);
        const QMap<QString, QString> old = releaseTree(appDir);
        // Once whole in a copy, to count its steps.
        const QString copy = tmp->filePath("counted");
        QVERIFY(QProcess::execute("cp", {"-a", appDir, copy}) == 0);
        int steps = 0;
        for (const QString &dir : {copy, appDir}) {
            const QString saved = appDir;
            appDir = dir;
            QString why;
            {
                ReadyUpdate ready(appDir);
                QVERIFY(ready.lock(&why) == InstanceLock::Acquired);
                QVERIFY2(prepare(ready, viaDelta, &why), qPrintable(why));
            }
            Installation installation(appDir);
            ReadyUpdate ready(appDir);
            QVERIFY(ready.lock(&why) == InstanceLock::Acquired);
            QVERIFY(Startup::checkReady(installation, ready, publicKey));
            if (dir != copy)
                Installer::setFaultForTesting(fromEnd < 0 ? 1 : steps - fromEnd, true);
            QSignalSpy installed(&ready, &ReadyUpdate::installed);
            ready.install(installation);
            const bool ended = installed.wait(30000);
            Installer::setFaultForTesting(0);
            QVERIFY(ended);
            if (dir == copy)
                steps = Installer::operationsForTesting();
            appDir = saved;
        }
        QVERIFY(Startup::recover(appDir));
        QVERIFY(!QFileInfo::exists(appDir + "/.update-ready/ready"));
        const QMap<QString, QString> now = releaseTree(appDir);
        QVERIFY2(now == old || now == releaseTree(tmp->filePath("full")),
            qPrintable("version " + QString::fromUtf8(readBytes(appDir + "/version.ver"))));
    }

    // The background run gives up the installation's lock and keeps the
    // ready update's: a second start runs (and installs nothing), --confirm
    // is never held up, and a second background run is kept out.
    void locks()
    {
        QTemporaryDir dir;
        InstanceLock installationLock(dir.path());
        QString why;
        QCOMPARE(installationLock.acquire(&why), InstanceLock::Acquired);
        ReadyUpdate background(dir.path());
        QCOMPARE(background.lock(&why), InstanceLock::Acquired);
        background.setInstallationLock(&installationLock);
        background.goBackground();

        InstanceLock second(dir.path());
        QCOMPARE(second.acquire(&why), InstanceLock::Acquired);
        ReadyUpdate secondReady(dir.path());
        QCOMPARE(secondReady.lock(&why), InstanceLock::HeldByAnother);
        QVERIFY(why.contains("background"));
    }
};

QTEST_GUILESS_MAIN(TestReadyUpdate)
#include "tst_readyupdate.moc"
