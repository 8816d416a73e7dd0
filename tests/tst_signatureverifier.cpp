// SignatureVerifier against signatures made by Debian's minisign tool: its
// default prehashed kind is accepted; the legacy kind and every kind of
// tampering are refused.
#include "bytepattern.h"
#include "minisignformat.h"
#include "signatureverifier.h"
#include "tool.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestSignatureVerifier : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void minisignSignatures_data();
    void minisignSignatures();
    void refusals_data();
    void refusals();

private:
    // Signs the file with minisign (secret key without password).
    QByteArray sign(
        const QString &key, const QString &file, const QByteArray &comment, bool legacy = false);
    QByteArray publicKey(const QString &name) const;

    QTemporaryDir dir;
    QString minisign;
    QString archive; // the new release, 1.1
    QString oldArchive; // a genuine earlier release, 1.0
    const ReleaseManifest::Binding own {"Demo", "demo_mac"}; // the installation's configuration
};

void TestSignatureVerifier::initTestCase()
{
    minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty())
        QSKIP("minisign is not installed");
    QVERIFY(dir.isValid());
    archive = dir.filePath("app.zip");
    oldArchive = dir.filePath("old.zip");
    QVERIFY(Tool::write(archive, pattern(200000)));
    QVERIFY(Tool::write(oldArchive, pattern(150000, 3)));
    for (const char *name : {"a", "b"}) {
        Tool t;
        QVERIFY2(t.run(minisign,
                     {"-G", "-W", "-p", dir.filePath(QString(name) + ".pub"), "-s",
                         dir.filePath(QString(name) + ".key")}),
            t.output);
    }
}

QByteArray TestSignatureVerifier::sign(
    const QString &key, const QString &file, const QByteArray &comment, bool legacy)
{
    const QString out = file + QStringLiteral(".%1.minisig").arg(qHash(key + comment) + legacy);
    QStringList args = {"-S", "-s", dir.filePath(key + ".key"), "-m", file, "-x", out};
    if (legacy)
        args << "-l";
    if (!comment.isNull())
        args << "-t" << QString::fromUtf8(comment);
    Tool t;
    if (!t.run(minisign, args))
        qWarning() << t.output;
    return Tool::read(out);
}

QByteArray TestSignatureVerifier::publicKey(const QString &name) const
{
    return Tool::read(dir.filePath(name + ".pub")).split('\n').value(1);
}

void TestSignatureVerifier::minisignSignatures_data()
{
    QTest::addColumn<bool>("legacy");
    QTest::addColumn<bool>("wholePubFile");
    QTest::newRow("prehashed") << false << false;
    QTest::newRow("prehashed-whole-pub-file") << false << true;
}

void TestSignatureVerifier::minisignSignatures()
{
    QFETCH(bool, legacy);
    QFETCH(bool, wholePubFile);
    const QByteArray signature = sign(
        "a", archive, "timestamp:1 file:app.zip version:1.1 product:Demo folder:demo_mac", legacy);
    QCOMPARE(signature.split('\n').value(1).left(2), QByteArray(legacy ? "RW" : "RU"));
    const QByteArray key = wholePubFile ? Tool::read(dir.filePath("a.pub")) : publicKey("a");
    QString version, reason;
    QVERIFY2(SignatureVerifier::verify(key, archive, signature, own, &version, &reason),
        qPrintable(reason));
    QCOMPARE(version, QStringLiteral("1.1"));
    QVERIFY(reason.isEmpty());
}

void TestSignatureVerifier::refusals_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("archiveServed");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QString>("reason"); // empty: accepted, but for the version below
    QTest::addColumn<QString>("trustedVersion");

    const QByteArray comment = "timestamp:1 file:app.zip version:1.1 product:Demo folder:demo_mac";
    const QByteArray good = sign("a", archive, comment);
    const QByteArray goodLegacy = sign("a", archive, comment, true);
    const QString flipped = dir.filePath("flipped.zip");
    QByteArray bytes = Tool::read(archive);
    bytes[123456] = char(bytes[123456] ^ 0x01);
    QVERIFY(Tool::write(flipped, bytes));
    QByteArray edited = good;
    edited.replace("version:1.1", "version:1.2");

    QTest::newRow("byte-flipped") << "a" << flipped << good << "archive does not match"
                                  << "";
    // Refused for its kind before the archive is even read.
    QTest::newRow("byte-flipped-legacy") << "a" << flipped << goodLegacy << "legacy \"Ed\""
                                         << "";
    QTest::newRow("legacy") << "a" << archive << goodLegacy << "legacy \"Ed\""
                            << "";
    // A genuine prehashed signature relabelled as legacy, served with a
    // 64-byte file that is the BLAKE2b-512 of the real archive: the same
    // Ed25519 message, so only refusing the kind keeps it out.
    QByteArray hash;
    QString why;
    QVERIFY2(Minisign::prehashFile(archive, &hash, &why), qPrintable(why));
    const QString hashFile = dir.filePath("hash.bin");
    QVERIFY(Tool::write(hashFile, hash));
    QList<QByteArray> lines = good.split('\n');
    QByteArray sigLine = QByteArray::fromBase64(lines.value(1));
    QCOMPARE(sigLine.left(2), QByteArray("ED"));
    sigLine.replace(0, 2, "Ed");
    lines[1] = sigLine.toBase64();
    QTest::newRow("prehashed-relabelled-legacy-over-hash")
        << "a" << hashFile << lines.join('\n') << "legacy \"Ed\""
        << "";
    QTest::newRow("comment-edited") << "a" << archive << edited << "trusted comment does not match"
                                    << "";
    QTest::newRow("other-key") << "b" << archive << good << "another key"
                               << "";
    QTest::newRow("no-signature") << "a" << archive << QByteArray() << "missing"
                                  << "";
    QTest::newRow("truncated") << "a" << archive << good.left(good.size() - 30) << "malformed"
                               << "";
    QTest::newRow("three-lines") << "a" << archive << good.left(good.lastIndexOf('\n', -2) + 1)
                                 << "malformed"
                                 << "";
    QTest::newRow("no-version-token")
        << "a" << archive
        << sign("a", archive, "timestamp:1 file:app.zip product:Demo folder:demo_mac")
        << "names no version"
        << "";
    QTest::newRow("version-of-1024-nines")
        << "a" << archive
        << sign("a", archive,
               "file:app.zip product:Demo folder:demo_mac version:" + QByteArray(1024, '9'))
        << "version is not a version"
        << "";
    // One key signs every product and platform: the comment says which.
    QTest::newRow("other-folder")
        << "a" << archive
        << sign("a", archive, "timestamp:1 file:app.zip version:1.1 product:Demo folder:demo_win32")
        << "it is for \"Demo\" in \"demo_win32\", this installation is \"Demo\" in \"demo_mac\""
        << "";
    QTest::newRow("other-product")
        << "a" << archive
        << sign("a", archive, "timestamp:1 file:app.zip version:3.0 product:Editor folder:demo_mac")
        << "it is for \"Editor\" in \"demo_mac\""
        << "";
    QTest::newRow("unbound-before-binding")
        << "a" << archive << sign("a", archive, "timestamp:1 file:app.zip version:1.1")
        << "names no product and folder"
        << "";
    QTest::newRow("archive-missing") << "a" << dir.filePath("nothing.zip") << good << "cannot read"
                                     << "";
    // A genuine earlier release served under a newer version.ver: the
    // signature holds, and the version it vouches for is the old one.
    QTest::newRow("older-release-replayed")
        << "a" << oldArchive
        << sign(
               "a", oldArchive, "timestamp:1 file:app.zip version:1.0 product:Demo folder:demo_mac")
        << ""
        << "1.0";
}

void TestSignatureVerifier::refusals()
{
    QFETCH(QString, key);
    QFETCH(QString, archiveServed);
    QFETCH(QByteArray, signature);
    QFETCH(QString, reason);
    QFETCH(QString, trustedVersion);
    QString version = QStringLiteral("untouched"), why;
    const bool ok
        = SignatureVerifier::verify(publicKey(key), archiveServed, signature, own, &version, &why);
    if (!reason.isEmpty()) {
        QVERIFY(!ok);
        QVERIFY2(why.contains(reason), qPrintable(why));
        QCOMPARE(version, QStringLiteral("untouched"));
        return;
    }
    QVERIFY2(ok, qPrintable(why));
    QCOMPARE(version, trustedVersion);
    QVERIFY(version != QLatin1String("1.1")); // what version.ver would claim
}

QTEST_GUILESS_MAIN(TestSignatureVerifier)
#include "tst_signatureverifier.moc"
