// The release's archive once Yes is said, over FTP mirrors on loopback:
// checked against its signature with the test's key, against a verified
// manifest's hash, or without a key by its own CRCs; an archive that fails
// leaves its source with one line and comes from the next.
#include "bytepattern.h"
#include "closedport.h"
#include "files.h"
#include "ftpserver.h"
#include "minisignformat.h"
#include "qftp.h"
#include "releasedownload.h"
#include "releasesigner.h"
#include "releasesource.h"
#include "settings.h"
#include "sourcelist.h"
#include "ziparchive.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestReleaseDownload : public QObject
{
    Q_OBJECT

    QTemporaryDir root;
    QTemporaryDir keys;
    QByteArray publicKey;
    FtpServer ftp;
    ReleaseManifest genuine; // describes the genuine archive
    std::unique_ptr<QTemporaryDir> app;
    QFtp session; // the primary's, never connected: it has failed already

private slots:
    void initTestCase()
    {
        ReleaseSource::setPauseDivisorForTesting(50);
        appName = QStringLiteral("Demo");
        serverAppDir = QStringLiteral("demo_mac");
        ReleaseSigner signer;
        QString why;
        QVERIFY2(ReleaseSigner::generateKeyPair(keys.path(), QByteArray(), &publicKey, &why),
            qPrintable(why));
        QVERIFY2(signer.loadSecretKey(keys.filePath("minisign.key"), {}, &why), qPrintable(why));
        // "good": release 1.1 signed; "altered": one byte of its archive
        // flipped under the same signature; "old": the genuine 1.1 served
        // as 1.2.
        const QString archive = root.filePath("good/demo_mac/app.zip");
        QVERIFY(QDir().mkpath(QFileInfo(archive).path()));
        QVERIFY(
            writeZip(archive, {{"version.ver", "1.1"}, {"data.bin", randomBytes(65536, 3)}}, true));
        QByteArray signature;
        QVERIFY2(signer.sign(archive,
                     "timestamp:1 file:app.zip version:1.1"
                         + ReleaseManifest::Binding {appName, serverAppDir}.commentTokens(),
                     &signature, &why),
            qPrintable(why));
        QByteArray altered = readBytes(archive);
        altered[altered.size() / 2] = char(altered.at(altered.size() / 2) ^ 1);
        for (const char *name : {"good", "altered", "old"}) {
            const QString folder = root.filePath(name + QStringLiteral("/demo_mac/"));
            QVERIFY(writeFile(folder + "version.ver", qstrcmp(name, "old") ? "1.1\n" : "1.2\n"));
            QVERIFY(writeFile(folder + "app.zip.minisig", signature));
            if (qstrcmp(name, "good"))
                QVERIFY(writeFile(
                    folder + "app.zip", qstrcmp(name, "altered") ? readBytes(archive) : altered));
        }
        QFile file(archive);
        QVERIFY(file.open(QIODevice::ReadOnly));
        genuine.archiveSize = file.size();
        QVERIFY(Minisign::initSodium() && Minisign::prehashFile(file, &genuine.archiveHash, &why));
        QVERIFY2(ftp.start(root.path()), qPrintable(ftp.errorText()));
    }
    void cleanupTestCase() { ReleaseSource::setPauseDivisorForTesting(1); }
    void init() { app.reset(new QTemporaryDir); }

    void release_data()
    {
        QTest::addColumn<QStringList>("mirrors"); // folders of the FTP server, in order
        QTest::addColumn<QString>("check"); // "signature", "manifest" or "crc"
        QTest::addColumn<QString>("reason"); // of finished(), at its start; empty: ok
        QTest::addColumn<QStringList>("left"); // one per source left: a text its line holds
        QTest::newRow("signature-verified") << QStringList {"good"} << "signature"
                                            << "" << QStringList {};
        QTest::newRow("altered-under-signature-then-genuine")
            << QStringList {"altered", "good"} << "signature"
            << "" << QStringList {"signature refused: the archive does not match its signature"};
        // A genuine older release under a newer "version.ver": the version
        // its signature vouches for is not the one published.
        QTest::newRow("older-release-under-newer-version")
            << QStringList {"old"} << "signature"
            << "the signed version \"1.1\" is not the published version \"1.2\""
            << QStringList {"the signed version \"1.1\" is not the published version \"1.2\""};
        QTest::newRow("altered-against-manifest-then-genuine")
            << QStringList {"altered", "good"} << "manifest"
            << "" << QStringList {"archive refused: the archive's BLAKE2b-512 is not the one"};
        QTest::newRow("altered-without-key-then-genuine")
            << QStringList {"altered", "good"} << "crc"
            << "" << QStringList {"archive refused: "};
        // Once a keyring is walked, the archive's own signature must be by a
        // release key it lists, the built-in key or not.
        QTest::newRow("signed-by-a-listed-release-key") << QStringList {"good"} << "keyring-lists"
                                                        << "" << QStringList {};
        QTest::newRow("signed-by-a-revoked-key-on-every-source")
            << QStringList {"good", "good"} << "keyring-revokes"
            << "signature refused: signed with key "
            << QStringList {"revoked by keyring 1", "revoked by keyring 1"};
    }
    void release()
    {
        QFETCH(QStringList, mirrors);
        QFETCH(QString, check);
        QFETCH(QString, reason);
        QFETCH(QStringList, left);
        QStringList urls;
        for (const QString &name : mirrors)
            urls << QStringLiteral("ftp://127.0.0.1:%1/%2/").arg(ftp.port()).arg(name);
        SourceList sources(&session, "127.0.0.1", closedPort(), "demo_mac", urls, app->path());
        QSignalSpy told(&sources, &SourceList::versionFetched);
        sources.fetchVersionFromNext(QStringLiteral("primary down"));
        QVERIFY(told.wait(20000));
        QSignalSpy leftLines(&sources, &SourceList::sourceLeft);
        ReleaseDownload download(&sources, check == "crc" ? QByteArray() : publicKey);
        QSignalSpy finished(&download, &ReleaseDownload::finished);
        if (check.startsWith("keyring")) {
            Keyring keyring = Keyring::builtIn(publicKey);
            keyring.version = 1;
            if (check == "keyring-revokes") {
                keyring.revoked << keyring.releaseKeys.first().idText();
                keyring.releaseKeys.clear();
            }
            download.setKeyring(keyring);
        }
        std::optional<ReleaseManifest> manifest;
        if (check == "manifest")
            manifest = genuine;
        download.start(sources.publishedVersion(), "1.0", manifest);
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().at(0).toBool(), reason.isEmpty());
        QVERIFY2(reason.isEmpty() || finished.first().at(1).toString().startsWith(reason),
            qPrintable(finished.first().at(1).toString()));
        QCOMPARE(leftLines.size(), left.size());
        for (int i = 0; i < left.size(); ++i)
            QVERIFY2(leftLines.at(i).at(0).toString().contains(left.at(i)),
                qPrintable(leftLines.at(i).at(0).toString()));
        if (reason.isEmpty())
            QCOMPARE(readBytes(download.archivePath()),
                readBytes(root.filePath("good/demo_mac/app.zip")));
    }
};

QTEST_GUILESS_MAIN(TestReleaseDownload)
#include "tst_releasedownload.moc"
