// The source list on loopback: once the primary server has failed, the
// mirrors in order, each left with one line saying why; the version from
// the first that tells one, and the archive from it or from the next that
// publishes the same version. One FTP server serves every FTP mirror's
// folder; nginx serves the HTTPS ones.
#include "bytepattern.h"
#include "closedport.h"
#include "files.h"
#include "ftpserver.h"
#include "httpssource.h"
#include "nginxserver.h"
#include "qftp.h"
#include "releasesource.h"
#include "sourcelist.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const QString primaryDown = QStringLiteral("primary down");
const QString refused = QStringLiteral("Connection refused");

} // namespace

class TestSourceList : public QObject
{
    Q_OBJECT

    QTemporaryDir root;
    FtpServer ftp;
    NginxServer https; // serves root, its CA trusted
    std::vector<std::unique_ptr<NginxServer>> others; // of one row
    std::unique_ptr<QTemporaryDir> app;
    QFtp session; // the primary's, never connected: it has failed already

    // A mirror's address: "ftp:NAME" and "https:NAME" serve root/NAME;
    // "https-503" answers every request so, "https-unknown-ca" is signed
    // by a CA not trusted; "ftp-down" and "https-down" refuse connections,
    // and "http" is not a mirror's scheme.
    QString mirror(const QString &kind)
    {
        const QString name = kind.section(':', 1);
        if (kind.startsWith("ftp:"))
            return QStringLiteral("ftp://127.0.0.1:%1/%2/").arg(ftp.port()).arg(name);
        if (kind.startsWith("https:"))
            return https.url(name + "/").toString();
        if (kind == "https-503" || kind == "https-unknown-ca") {
            others.emplace_back(new NginxServer);
            if (!others.back()->start(root.path(), kind == "https-503" ? "return 503;" : ""))
                qWarning("nginx: %s", qPrintable(others.back()->errorText()));
            if (kind == "https-503")
                HttpsSource::addCaCertificatesForTesting(others.back()->authority());
            return others.back()->url("good/").toString();
        }
        const QString scheme = kind == "ftp-down" ? "ftp" : kind == "https-down" ? "https" : "http";
        return QStringLiteral("%1://127.0.0.1:%2/").arg(scheme).arg(closedPort());
    }

    // The list with the primary on a closed port and `kinds` as mirrors.
    std::unique_ptr<SourceList> list(const QStringList &kinds)
    {
        QStringList mirrors;
        for (const QString &kind : kinds)
            mirrors << mirror(kind);
        return std::make_unique<SourceList>(
            &session, "127.0.0.1", closedPort(), "demo_mac", mirrors, app->path());
    }

    static void expectLeft(const QSignalSpy &left, const QStringList &texts)
    {
        QStringList lines;
        for (const QList<QVariant> &signal : left)
            lines << signal.at(0).toString();
        QCOMPARE(lines.size(), texts.size());
        for (int i = 0; i < texts.size(); ++i)
            QVERIFY2(lines.at(i).contains(texts.at(i)), qPrintable(lines.at(i)));
    }

private slots:
    void initTestCase()
    {
        ReleaseSource::setPauseDivisorForTesting(50);
        const auto publish = [this](const QString &name, const QByteArray &version, bool archive) {
            QVERIFY(writeFile(root.filePath(name + "/demo_mac/version.ver"), version));
            if (archive)
                QVERIFY(writeFile(root.filePath(name + "/demo_mac/app.zip"), pattern(64 * 1024)));
        };
        publish("good", "1.1\n", true);
        publish("good2", "1.1\n", true);
        publish("other", "1.2\n", true);
        publish("noarchive", "1.1\n", false);
        publish("long", QByteArray(2000, '1'), false);
        publish("twolines", "1.1\n9.9\n", false);
        QVERIFY2(ftp.start(root.path()), qPrintable(ftp.errorText()));
        QVERIFY2(https.start(root.path()), qPrintable(https.errorText()));
        HttpsSource::addCaCertificatesForTesting(https.authority());
    }
    void cleanupTestCase() { ReleaseSource::setPauseDivisorForTesting(1); }
    void init() { app.reset(new QTemporaryDir); }
    void cleanup() { others.clear(); }

    // The primary has failed to tell its version: the mirrors are asked in order.
    void version_data()
    {
        QTest::addColumn<QStringList>("mirrors");
        QTest::addColumn<QString>("version"); // empty: none told
        QTest::addColumn<QStringList>(
            "left"); // one per source left, in order: a text its line holds
        QTest::newRow("ftp-mirror")
            << QStringList {"ftp:good"} << "1.1" << QStringList {primaryDown};
        QTest::newRow("https-mirror")
            << QStringList {"https:good"} << "1.1" << QStringList {primaryDown};
        QTest::newRow("first-answering-in-order") << QStringList {"ftp-down", "ftp:other",
            "ftp:good"} << "1.2" << QStringList {primaryDown, refused};
        // A mirror's "version.ver" is held to the same cap and form.
        QTest::newRow("mirror-version-too-long")
            << QStringList {"ftp:long", "ftp:good"} << "1.1"
            << QStringList {primaryDown, "the published \"version.ver\" announces 2000 bytes"};
        QTest::newRow("mirror-version-of-two-lines")
            << QStringList {"ftp:twolines", "ftp:good"} << "1.1"
            << QStringList {primaryDown, "the published \"version.ver\" is not one line"};
        QTest::newRow("https-mirror-of-unknown-ca") << QStringList {"https-unknown-ca",
            "ftp:good"} << "1.1" << QStringList {primaryDown, "SSL handshake failed"};
        // Overloaded with another source behind it: left at once.
        QTest::newRow("busy-https-mirror") << QStringList {"https-503", "ftp:good"} << "1.1"
                                           << QStringList {primaryDown, "HTTP 503"};
        // The addresses that are no mirror's first, then each source in order.
        QTest::newRow("all-down") << QStringList {"http", "ftp-down", "https-down"} << ""
                                  << QStringList {"not an ftp:// or https:// address", primaryDown,
                                         refused, refused};
    }
    void version()
    {
        QFETCH(QStringList, mirrors);
        QFETCH(QString, version);
        QFETCH(QStringList, left);
        const auto sources = list(mirrors);
        QVERIFY(sources->hasMirrors());
        QSignalSpy told(sources.get(), &SourceList::versionFetched);
        QSignalSpy leftLines(sources.get(), &SourceList::sourceLeft);
        sources->fetchVersionFromNext(primaryDown);
        QVERIFY(told.wait(20000));
        QCOMPARE(told.size(), 1);
        QCOMPARE(told.at(0).at(0).toBool(), !version.isEmpty());
        if (!version.isEmpty())
            QCOMPARE(sources->publishedVersion(), version);
        QVERIFY(!sources->answeredByPrimary());
        expectLeft(leftLines, left);
    }

    // The archive of the version told, from the mirror that told it or the
    // next publishing the same version; one the caller refuses leaves its
    // source like a failed one.
    void release_data()
    {
        QTest::addColumn<QStringList>("mirrors");
        QTest::addColumn<int>("refusals"); // how many fetched archives are refused
        QTest::addColumn<bool>("fetched"); // the last releaseFetched()
        QTest::addColumn<QStringList>("left"); // after the version was told
        const QString refusal = "archive refused: altered";
        QTest::newRow("from-the-answering-mirror")
            << QStringList {"ftp:good"} << 0 << true << QStringList {};
        QTest::newRow("from-an-https-mirror")
            << QStringList {"https:good"} << 0 << true << QStringList {};
        QTest::newRow("archive-missing-next-publishing-the-version")
            << QStringList {"ftp:noarchive", "ftp:other", "https:good2"} << 0 << true
            << QStringList {"no \"app.zip\": ", "publishes version \"1.2\", not \"1.1\""};
        QTest::newRow("refused-then-the-next")
            << QStringList {"ftp:good", "ftp:good2"} << 1 << true << QStringList {refusal};
        QTest::newRow("refused-everywhere") << QStringList {"ftp:good", "https:good2"} << 2 << false
                                            << QStringList {refusal, refusal};
    }
    void release()
    {
        QFETCH(QStringList, mirrors);
        QFETCH(int, refusals);
        QFETCH(bool, fetched);
        QFETCH(QStringList, left);
        const auto sources = list(mirrors);
        QSignalSpy told(sources.get(), &SourceList::versionFetched);
        sources->fetchVersionFromNext(primaryDown);
        QVERIFY(told.wait(20000));
        QSignalSpy leftLines(sources.get(), &SourceList::sourceLeft);
        QSignalSpy done(sources.get(), &SourceList::releaseFetched);
        sources->fetchRelease(sources->publishedVersion(), false);
        for (int i = 0; i <= refusals; ++i) {
            QVERIFY(done.size() > i || done.wait(20000));
            if (i < refusals && done.at(i).at(0).toBool())
                sources->refuseRelease("archive refused: altered");
        }
        QCOMPARE(done.size(), refusals + 1);
        QCOMPARE(done.last().at(0).toBool(), fetched);
        expectLeft(leftLines, left);
        QCOMPARE(readBytes(sources->archivePath()), fetched ? pattern(64 * 1024) : QByteArray());
        QVERIFY(!QFile::exists(app->filePath("app.zip.part")));
    }
};

QTEST_GUILESS_MAIN(TestSourceList)
#include "tst_sourcelist.moc"
