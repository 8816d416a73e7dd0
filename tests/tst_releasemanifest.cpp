// The release manifest's format: the rollout bucket against BLAKE2b-256
// computed elsewhere (Python's hashlib), the share it offers over many
// installations, and the fields a manifest is refused for; and the freshness
// and replay rules on a signed one, to the second.
#include "manifestcheck.h"
#include "manifestwriter.h"
#include "releasemanifest.h"
#include "releasesigner.h"
#include "updatestate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class TestReleaseManifest : public QObject
{
    Q_OBJECT

private slots:
    void bucket_data();
    void bucket();
    void share_data();
    void share();
    void fields_data();
    void fields();
    void freshness_data();
    void freshness();
};

void TestReleaseManifest::bucket_data()
{
    QTest::addColumn<QByteArray>("id"); // hex
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("bucket");
    const auto row = [](const char *id, const QString &version, int bucket) {
        QTest::addRow("%s-%s", id, qPrintable(version)) << QByteArray(id) << version << bucket;
    };
    row("00000000000000000000000000000000", "1.1", 39);
    row("00000000000000000000000000000000", "2.0-beta", 6);
    row("ffffffffffffffffffffffffffffffff", "1.1", 96);
    row("ffffffffffffffffffffffffffffffff", "2.0-beta", 34);
    row("000102030405060708090a0b0c0d0e0f", "1.1", 72);
    row("0123456789abcdef0123456789abcdef", "2.0-beta", 80);
    row("8f3c1a2b4d5e6f708192a3b4c5d6e7f8", "1.1", 19);
    // The version's UTF-8 bytes, not Latin-1 or UTF-16.
    row("00112233445566778899aabbccddeeff", QStringLiteral("3.0-\u00e9"), 52);
    row("00112233445566778899aabbccddeeff", "3.0", 95);
    // An id that is not 16 bytes has no bucket, and is offered nothing.
    row("0011223344556677", "1.1", -1);
}

void TestReleaseManifest::bucket()
{
    QFETCH(QByteArray, id);
    QFETCH(QString, version);
    QFETCH(int, bucket);
    QCOMPARE(ReleaseManifest::bucket(QByteArray::fromHex(id), version), bucket);
    ReleaseManifest manifest;
    manifest.version = version;
    manifest.rollout = 100;
    QCOMPARE(manifest.offeredTo(QByteArray::fromHex(id)), bucket >= 0);
    manifest.rollout = bucket;
    QCOMPARE(manifest.offeredTo(QByteArray::fromHex(id)), false);
}

void TestReleaseManifest::share_data()
{
    QTest::addColumn<int>("rollout");
    QTest::newRow("10-percent") << 10;
    QTest::newRow("50-percent") << 50;
}

void TestReleaseManifest::share()
{
    QFETCH(int, rollout);
    ReleaseManifest manifest;
    manifest.version = QStringLiteral("1.1");
    manifest.rollout = rollout;
    QRandomGenerator generator(20261207);
    const int installations = 10000;
    int offered = 0;
    for (int i = 0; i < installations; ++i) {
        QByteArray id(16, Qt::Uninitialized);
        generator.fillRange(reinterpret_cast<quint32 *>(id.data()), 4);
        offered += manifest.offeredTo(id);
    }
    const double percent = 100.0 * offered / installations;
    QVERIFY2(qAbs(percent - rollout) <= 2.0, qPrintable(QString::number(percent)));
}

void TestReleaseManifest::fields_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    const QByteArray hash(128, 'a');
    const QByteArray archive
        = "\"archive\":{\"name\":\"app.zip\",\"size\":1000,\"blake2b\":\"" + hash + "\"}";
    const QByteArray base = "\"version\":\"1.1\",\"signed\":1000,\"expires\":2000," + archive;
    QTest::newRow("complete") << "{" + base + ",\"rollout\":10,\"notes\":\"# New\",\"more\":1}"
                              << "";
    QTest::newRow("rollout-defaults-to-all") << "{" + base + "}"
                                             << "";
    QTest::newRow("not-json") << QByteArray("{\"version\":") << "not JSON";
    QTest::newRow("array") << QByteArray("[]") << "not a JSON object";
    QTest::newRow("no-version") << "{\"signed\":1000,\"expires\":2000," + archive + "}"
                                << "no \"version\"";
    QTest::newRow("fractional-signed")
        << "{\"version\":\"1.1\",\"signed\":1000.5,\"expires\":2000," + archive + "}"
        << "no whole number \"signed\"";
    QTest::newRow("upper-case-hash")
        << "{\"version\":\"1.1\",\"signed\":1000,\"expires\":2000,\"archive\":{\"name\":"
           "\"app.zip\",\"size\":1000,\"blake2b\":\""
            + QByteArray(128, 'A') + "\"}}"
        << "\"archive\" \"blake2b\" is not 128 lower-case hex digits";
    QTest::newRow("negative-size")
        << "{\"version\":\"1.1\",\"signed\":1000,\"expires\":2000,\"archive\":{\"name\":"
           "\"app.zip\",\"size\":-1,\"blake2b\":\""
            + hash + "\"}}"
        << "no whole number \"archive\" \"size\"";
    QTest::newRow("rollout-above-100") << "{" + base + ",\"rollout\":101}"
                                       << "\"rollout\" is not a whole number from 0 to 100";
    // A release on trial: its application confirms a start within N launches.
    QTest::newRow("on-trial") << "{" + base + ",\"confirm\":10}"
                              << "";
    QTest::newRow("confirm-above-10") << "{" + base + ",\"confirm\":11}"
                                      << "\"confirm\" is not a whole number from 0 to 10";
    QTest::newRow("confirm-not-a-number") << "{" + base + ",\"confirm\":\"3\"}"
                                          << "\"confirm\" is not a whole number from 0 to 10";
    QTest::newRow("notes-too-long")
        << "{" + base + ",\"notes\":\"" + QByteArray(64 * 1024 + 1, 'x') + "\"}"
        << "the notes are longer than 65536 bytes";
}

void TestReleaseManifest::fields()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, refusal);
    ReleaseManifest manifest;
    QString reason;
    QCOMPARE(ReleaseManifest::parse(json, &manifest, &reason), refusal.isEmpty());
    if (!refusal.isEmpty()) {
        QVERIFY2(reason.startsWith(refusal), qPrintable(reason));
        return;
    }
    // What is written reads back the same.
    ReleaseManifest again;
    QVERIFY(ReleaseManifest::parse(manifest.toJson(), &again, &reason));
    QCOMPARE(again.toJson(), manifest.toJson());
    QCOMPARE(again.archiveHash, QByteArray::fromHex(QByteArray(128, 'a')));
    QCOMPARE(again.archiveSize, qint64(1000));
    QCOMPARE(again.expires, qint64(2000));
    QCOMPARE(again.confirm, json.contains("\"confirm\"") ? 10 : 0);
}

void TestReleaseManifest::freshness_data()
{
    QTest::addColumn<qint64>("expiresAfterNow");
    // The installation verified version 1.1 signed at this many seconds
    // after the manifest's own time (none: nothing verified before).
    QTest::addColumn<QVariant>("recordedAfterSigned");
    QTest::addColumn<QString>("refusal"); // empty: offered
    const QString replay = "No update: release information refused: a replay: signed at ";
    QTest::newRow("expires-this-second")
        << qint64(0) << QVariant() << "No update: release information expired on ";
    QTest::newRow("expires-next-second") << qint64(1) << QVariant() << "";
    QTest::newRow("signed-at-the-recorded-time") << qint64(3600) << QVariant(0) << "";
    QTest::newRow("signed-a-second-before-the-recorded-time")
        << qint64(3600) << QVariant(1) << replay;
}

void TestReleaseManifest::freshness()
{
    QFETCH(qint64, expiresAfterNow);
    QFETCH(QVariant, recordedAfterSigned);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    QByteArray publicKey;
    QString reason;
    QVERIFY2(ReleaseSigner::generateKeyPair(dir.filePath("keys"), {}, &publicKey, &reason),
        qPrintable(reason));
    ReleaseSigner signer;
    QVERIFY2(
        signer.loadSecretKey(dir.filePath("keys/minisign.key"), {}, &reason), qPrintable(reason));
    const qint64 signedAt = 1800000000;
    const qint64 now = signedAt + 86400;
    ReleaseManifest manifest;
    manifest.version = "1.1";
    manifest.signedAt = signedAt;
    manifest.expires = now + expiresAfterNow;
    manifest.archiveName = "app.zip";
    manifest.archiveSize = 1000;
    manifest.archiveHash = QByteArray(ReleaseManifest::hashBytes, 'h');
    QVERIFY2(ManifestWriter::write(manifest, signer, dir.path(), &reason), qPrintable(reason));
    if (recordedAfterSigned.isValid()) {
        const QJsonObject state {{"install_id", "00112233445566778899aabbccddeeff"},
            {"manifest_verified", true}, {"highest_version", "1.1"},
            {"highest_signed", double(signedAt + recordedAfterSigned.toInt())}};
        QFile file(dir.filePath(".update-state"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(state).toJson());
    }
    UpdateState state = UpdateState::load(dir.path());
    QFile signature(dir.filePath("release.json.minisig"));
    QVERIFY(signature.open(QIODevice::ReadOnly));
    ManifestCheck::Input input;
    input.publicKey = publicKey;
    input.manifestPath = dir.filePath("release.json");
    input.signature = signature.readAll();
    input.publishedVersion = "1.1";
    input.installedVersion = "1.0";
    input.now = now;
    const ManifestCheck::Verdict verdict = ManifestCheck::judge(input, &state);
    QVERIFY2(verdict.offered == refusal.isEmpty(), qPrintable(verdict.reason));
    if (!refusal.isEmpty())
        QVERIFY2(verdict.reason.startsWith(refusal), qPrintable(verdict.reason));
}

QTEST_GUILESS_MAIN(TestReleaseManifest)
#include "tst_releasemanifest.moc"
