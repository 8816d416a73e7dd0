// Fetching a release file from one source, resumed after cuts: over FTP
// (pyftpdlib cutting its sessions) and over HTTPS (nginx behind a proxy
// that cuts the connection), within one run and across two; bounded when
// the source cannot keep bytes or is too slow; through redirect chains; and
// each release file's cap, to the byte, however its size is told; and the
// release information handed on as the bytes that arrived.
#include "bytepattern.h"
#include "cuttingproxy.h"
#include "files.h"
#include "ftpserver.h"
#include "ftpsource.h"
#include "httpssource.h"
#include "nginxserver.h"
#include "proxyserver.h"
#include "qftp.h"
#include "releasefiles.h"
#include "sourcelist.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestReleaseSource : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ReleaseSource::setPauseDivisorForTesting(50); }
    void cleanupTestCase() { ReleaseSource::setPauseDivisorForTesting(1); }

    void resume_data();
    void resume();
    void bounded_data();
    void bounded();
    void redirects_data();
    void redirects();
    void caps_data();
    void caps();
    void manifestTakenOnce_data();
    void manifestTakenOnce();
    void proxies_data();
    void proxies();
    void silentServer();

private:
    QTemporaryDir capsRoot;
    // Started by the first caps row: FTP servers telling SIZE and not, nginx
    // telling Content-Length and not (its body filtered, of unknown length).
    std::unique_ptr<FtpServer> ftp, ftpWithoutSize;
    std::unique_ptr<NginxServer> nginx, nginxWithoutLength;
};

void TestReleaseSource::resume_data()
{
    QTest::addColumn<QString>("transport");
    // Bytes sent, over all connections, at which the network breaks.
    QTest::addColumn<QList<qint64>>("cuts");
    // Killed at this many bytes held (0: one run only); then a second run.
    QTest::addColumn<qint64>("killAt");
    // "changed": the server's file replaced between the runs (by one of the
    // same size with "changed-after-session", the first run in a session
    // handed over logged in, as the window's);
    // "no-resume": the server offers no REST, or no ranges.
    QTest::addColumn<QString>("server");
    // Bytes received beyond the file's size that are allowed: those thrown
    // away when a try has to start over.
    QTest::addColumn<qint64>("allowance");
    const qint64 size = 3 * 1024 * 1024;
    using L = QList<qint64>;
    for (const QString &transport : {QStringLiteral("ftp"), QStringLiteral("https")}) {
        const auto row = [&](const char *name, const L &cuts, qint64 killAt, const char *server,
                             qint64 allowance) {
            QTest::newRow(qPrintable(transport + '-' + name))
                << transport << cuts << killAt << server << allowance;
        };
        row("one-cut", L {size / 3}, 0, "", 0);
        row("cuts-near-both-ends", L {4096, size / 2, size - 4096}, 0, "", 0);
        row("two-runs", L {size / 4}, size / 2, "", 0);
        row("changed-between-runs", L(), size / 2, "changed", size);
        row("cut-without-resume", L {size / 3}, 0, "no-resume", size);
    }
    QTest::newRow("ftp-changed-after-session")
        << "ftp" << L() << size / 2 << "changed-after-session" << size;
}

void TestReleaseSource::resume()
{
    QFETCH(QString, transport);
    QFETCH(QList<qint64>, cuts);
    QFETCH(qint64, killAt);
    QFETCH(QString, server);
    QFETCH(qint64, allowance);
    QTemporaryDir tmp;
    const QString folder = tmp.filePath(QStringLiteral("server/demo_mac"));
    const QString published = folder + QLatin1String("/app.zip");
    const QByteArray original = randomBytes(3 * 1024 * 1024, 1);
    QVERIFY(writeFile(published, original));
    const QString part = tmp.filePath(QLatin1String(ReleaseFiles::partialArchive));

    FtpServer ftp;
    NginxServer nginx;
    CuttingProxy proxy;
    if (transport == QLatin1String("ftp")) {
        ftp.setDownloadCuts(QStringLiteral("app.zip"), cuts);
        ftp.setRestRefused(server == QLatin1String("no-resume"));
        QVERIFY2(ftp.start(tmp.filePath(QStringLiteral("server"))), qPrintable(ftp.errorText()));
    } else {
        const QString directives
            = server == QLatin1String("no-resume") ? QStringLiteral("max_ranges 0;") : QString();
        QVERIFY2(nginx.start(tmp.filePath(QStringLiteral("server")), directives),
            qPrintable(nginx.errorText()));
        HttpsSource::addCaCertificatesForTesting(nginx.authority());
        // The TLS handshake and headers come first: the cuts fall in the body.
        QList<qint64> shifted;
        for (qint64 cut : cuts)
            shifted << cut + 8192;
        proxy.setCuts(shifted);
        QVERIFY(proxy.listen(QHostAddress::LocalHost, nginx.port()));
    }
    const auto makeSource = [&]() -> std::unique_ptr<ReleaseSource> {
        if (transport == QLatin1String("ftp"))
            return std::make_unique<FtpSource>(
                QStringLiteral("127.0.0.1"), ftp.port(), QStringLiteral("demo_mac"));
        return std::make_unique<HttpsSource>(
            QUrl(QStringLiteral("https://127.0.0.1:%1/demo_mac/").arg(proxy.port())));
    };

    qint64 received = 0;
    QByteArray expected = original;
    if (killAt > 0) {
        std::unique_ptr<ReleaseSource> first = makeSource();
        QFtp session;
        if (server == QLatin1String("changed-after-session")) {
            QSignalSpy done(&session, &QFtp::done);
            session.connectToHost(QStringLiteral("127.0.0.1"), ftp.port());
            session.login(QLatin1String(FtpSource::user), QLatin1String(FtpSource::password));
            session.cd(QStringLiteral("demo_mac"));
            QVERIFY(done.wait(10000));
            static_cast<FtpSource *>(first.get())->adopt(&session);
        }
        bool killed = false;
        connect(first.get(), &ReleaseSource::progress, this, [&](qint64 done) {
            if (done >= killAt && !killed) {
                killed = true;
                first->cancel();
            }
        });
        first->fetch(QStringLiteral("app.zip"), part, -1, true);
        QTRY_VERIFY_WITH_TIMEOUT(killed, 30000);
        received += first->bytesReceived();
        first.reset();
        QVERIFY(QFileInfo(part).size() >= killAt);
        QVERIFY(QFile::exists(part + QLatin1String(ReleaseFiles::partialRecordSuffix)));
        if (server.startsWith(QLatin1String("changed"))) {
            // The same size, other bytes, a later time.
            expected = randomBytes(original.size(), 2);
            QVERIFY(writeFile(published, expected));
            QFile file(published);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(
                QDateTime::currentDateTimeUtc().addSecs(3600), QFileDevice::FileModificationTime));
        }
    }
    std::unique_ptr<ReleaseSource> source = makeSource();
    QSignalSpy finished(source.get(), &ReleaseSource::finished);
    qint64 shown = 0;
    bool backwards = false;
    connect(source.get(), &ReleaseSource::progress, this, [&](qint64 done, qint64 total) {
        backwards = backwards || done < shown;
        shown = done;
        QCOMPARE(total, qint64(expected.size()));
    });
    QStringList statuses;
    connect(source.get(), &ReleaseSource::status, this,
        [&](const ShownText &s) { statuses << s.english(); });
    source->fetch(QStringLiteral("app.zip"), part, -1, true);
    QVERIFY(finished.wait(60000));
    QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
    received += source->bytesReceived();

    QVERIFY(readBytes(part) == expected);
    QVERIFY(!backwards);
    QCOMPARE(shown, qint64(expected.size()));
    QVERIFY2(received <= expected.size() + allowance,
        qPrintable(QStringLiteral("%1 bytes received").arg(received)));
    QVERIFY(!QFile::exists(part + QLatin1String(ReleaseFiles::partialRecordSuffix)));
    if (killAt == 0 && !cuts.isEmpty()) {
        QCOMPARE(statuses.first(), QStringLiteral("Connection lost; resuming (2 of 5)..."));
        QCOMPARE(statuses.last(), QString()); // bytes flowed again
    }
}

// A source that cannot keep what it sends (no REST, Range ignored) and cuts
// every transfer is left after its 5 tries, having transferred at most 3
// times the file; one that keeps giving a little at a time is left when the
// fetch's time runs out. Either way the fetch ends, and fails.
void TestReleaseSource::bounded_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("resumes");
    // A cut each time this many more bytes have been sent.
    QTest::addColumn<qint64>("step");
    QTest::addColumn<QString>("reason");
    QTest::newRow("ftp-no-rest-cut-every-50000")
        << "ftp" << false << qint64(50000) << "download failed";
    QTest::newRow("https-range-ignored-cut-every-60000")
        << "https" << false << qint64(60000) << "Connection closed";
    QTest::newRow("ftp-resumed-past-time-limit")
        << "ftp" << true << qint64(4000) << "gave up after";
}

void TestReleaseSource::bounded()
{
    QFETCH(QString, transport);
    QFETCH(bool, resumes);
    QFETCH(qint64, step);
    QFETCH(QString, reason);
    QTemporaryDir tmp;
    const QByteArray original = randomBytes(200 * 1024, 3);
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("server/demo_mac/app.zip")), original));
    const QString part = tmp.filePath(QLatin1String(ReleaseFiles::partialArchive));
    QList<qint64> cuts;
    for (qint64 at = step; at < 100 * original.size(); at += step)
        cuts << at;
    FtpServer ftp;
    NginxServer nginx;
    CuttingProxy proxy;
    std::unique_ptr<ReleaseSource> source;
    if (transport == QLatin1String("ftp")) {
        ftp.setDownloadCuts(QStringLiteral("app.zip"), cuts);
        ftp.setRestRefused(!resumes);
        QVERIFY2(ftp.start(tmp.filePath(QStringLiteral("server"))), qPrintable(ftp.errorText()));
        source = std::make_unique<FtpSource>(
            QStringLiteral("127.0.0.1"), ftp.port(), QStringLiteral("demo_mac"));
    } else {
        QVERIFY2(
            nginx.start(tmp.filePath(QStringLiteral("server")), QStringLiteral("max_ranges 0;")),
            qPrintable(nginx.errorText()));
        HttpsSource::addCaCertificatesForTesting(nginx.authority());
        proxy.setCuts(cuts);
        QVERIFY(proxy.listen(QHostAddress::LocalHost, nginx.port()));
        source = std::make_unique<HttpsSource>(
            QUrl(QStringLiteral("https://127.0.0.1:%1/demo_mac/").arg(proxy.port())));
    }
    ReleaseSource::setTimeLimitForTesting(resumes ? 300 : 0);
    const auto restore = qScopeGuard([] { ReleaseSource::setTimeLimitForTesting(0); });
    QSignalSpy finished(source.get(), &ReleaseSource::finished);
    source->fetch(QStringLiteral("app.zip"), part, -1, true);
    QVERIFY(finished.wait(60000));

    QVERIFY(!finished.first().at(0).toBool());
    const QString why = finished.first().at(1).toString();
    QVERIFY2(why.contains(reason), qPrintable(why));
    QVERIFY2(source->bytesReceived() <= ReleaseSource::maxTransferFactor * original.size(),
        qPrintable(QString::number(source->bytesReceived())));
    if (!resumes) {
        const int tries = transport == QLatin1String("ftp")
            ? ftp.receivedLines().count(QStringLiteral("RETR app.zip"))
            : proxy.cutsMade();
        // A cut may reach the client before the bytes sent ahead of it (a
        // busy machine reads the closed control connection first), and the
        // next whole try then holds more than the file ever did: progress
        // by the rule. Without any progress rule the bytes bound alone would
        // allow 12 tries.
        QVERIFY2(tries >= ReleaseSource::maxTries && tries <= ReleaseSource::maxTries + 2,
            qPrintable(QString::number(tries)));
    }
}

// Redirects are followed hop by hop, each to https, at most 5; nginx sends
// relative and absolute Locations.
void TestReleaseSource::redirects_data()
{
    QTest::addColumn<int>("hops");
    QTest::newRow("1") << 1;
    QTest::newRow("2") << 2;
    QTest::newRow("5") << 5;
    QTest::newRow("6-refused") << 6;
}

void TestReleaseSource::redirects()
{
    QFETCH(int, hops);
    QTemporaryDir tmp;
    const QByteArray original = randomBytes(100 * 1024, 4);
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("server/demo_mac/app.zip")), original));
    // /hN/ sends to /h(N-1)/, and /h1/ to the file itself.
    QString directives = QStringLiteral(
        "absolute_redirect off;\nlocation /h1/ { rewrite ^/h1/(.*)$ https://$host:$server_port/$1 "
        "redirect; }\n");
    for (int n = 2; n <= 6; ++n)
        directives += QStringLiteral("location /h%1/ { rewrite ^/h%1/(.*)$ /h%2/$1 redirect; }\n")
                          .arg(n)
                          .arg(n - 1);
    NginxServer nginx;
    QVERIFY2(nginx.start(tmp.filePath(QStringLiteral("server")), directives),
        qPrintable(nginx.errorText()));
    HttpsSource::addCaCertificatesForTesting(nginx.authority());
    HttpsSource source(nginx.url(QStringLiteral("h%1/demo_mac/").arg(hops)));
    QSignalSpy finished(&source, &ReleaseSource::finished);
    const QString part = tmp.filePath(QLatin1String(ReleaseFiles::partialArchive));
    source.fetch(QStringLiteral("app.zip"), part, -1, true);
    QVERIFY(finished.wait(30000));

    const QString why = finished.first().at(1).toString();
    QCOMPARE(finished.first().at(0).toBool(), hops <= HttpsSource::maxRedirects);
    if (hops <= HttpsSource::maxRedirects)
        QVERIFY(readBytes(part) == original);
    else
        QVERIFY2(why.startsWith(QStringLiteral("more than 5 redirects: https://127.0.0.1:")),
            qPrintable(why));
}

// A file of exactly its cap is fetched whole; one byte more is refused,
// before a byte is written when its size was announced (by the primary's
// listing, by SIZE, by Content-Length), else as the byte past the cap
// arrives, the file then holding no more than the cap.
void TestReleaseSource::caps_data()
{
    QTest::addColumn<QString>("told"); // how the size is told
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("cap");
    QTest::addColumn<qint64>("size");
    // The archive's cap is the size its signed manifest gives.
    const qint64 signedSize = 300001;
    const QList<QPair<QString, qint64>> files {
        {ReleaseFiles::versionFile, ReleaseFiles::maxVersionFileSize},
        {ReleaseFiles::archiveSignature, ReleaseFiles::maxSignatureSize},
        {ReleaseFiles::manifest, ReleaseFiles::maxManifestSize},
        {ReleaseFiles::archive, signedSize}};
    for (const QString told :
        {"ftp-listing", "ftp-size", "ftp-arriving", "https-length", "https-arriving"}) {
        for (const auto &file : files) {
            for (const qint64 over : {0, 1}) {
                QTest::addRow("%s-%s-%s", qPrintable(told), qPrintable(file.first),
                    over ? "one-byte-over" : "at-cap")
                    << told << file.first << file.second << file.second + over;
            }
        }
    }
}

void TestReleaseSource::caps()
{
    QFETCH(QString, told);
    QFETCH(QString, name);
    QFETCH(qint64, cap);
    QFETCH(qint64, size);
    // Every file at every size, each size in a folder of its own.
    const QString folder = QStringLiteral("size-%1").arg(size);
    const QString published = capsRoot.filePath(folder + '/' + name);
    if (!QFile::exists(published))
        QVERIFY(writeFile(published, randomBytes(int(size), quint32(size))));
    if (!ftp) {
        ftp.reset(new FtpServer);
        QVERIFY2(ftp->start(capsRoot.path()), qPrintable(ftp->errorText()));
        ftpWithoutSize.reset(new FtpServer);
        ftpWithoutSize->setSizeRefused(true);
        QVERIFY2(ftpWithoutSize->start(capsRoot.path()), qPrintable(ftpWithoutSize->errorText()));
        nginx.reset(new NginxServer);
        QVERIFY2(nginx->start(capsRoot.path()), qPrintable(nginx->errorText()));
        nginxWithoutLength.reset(new NginxServer);
        QVERIFY2(nginxWithoutLength->start(capsRoot.path(),
                     "sub_filter_types *; sub_filter 'never-there' 'never-there';"),
            qPrintable(nginxWithoutLength->errorText()));
        HttpsSource::addCaCertificatesForTesting(nginx->authority());
        HttpsSource::addCaCertificatesForTesting(nginxWithoutLength->authority());
    }

    QFtp session; // outlives the source that may adopt it
    std::unique_ptr<ReleaseSource> source;
    FtpServer *server = told == "ftp-arriving" ? ftpWithoutSize.get() : ftp.get();
    const int linesBefore = server->receivedLines().size();
    if (told.startsWith("ftp")) {
        auto *ftpSource = new FtpSource(QStringLiteral("127.0.0.1"), server->port(), folder);
        source.reset(ftpSource);
        if (told == "ftp-listing") {
            // The window's session, logged in, in the folder it listed.
            QSignalSpy done(&session, &QFtp::done);
            session.connectToHost(QStringLiteral("127.0.0.1"), server->port());
            session.login(FtpServer::user, FtpServer::password);
            session.cd(folder);
            QVERIFY(done.wait(10000));
            QVERIFY(!done.first().first().toBool());
            ftpSource->adopt(&session, {{name, size}});
        }
    } else {
        const NginxServer *https
            = told == "https-arriving" ? nginxWithoutLength.get() : nginx.get();
        source.reset(new HttpsSource(
            QUrl(QStringLiteral("https://127.0.0.1:%1/%2/").arg(https->port()).arg(folder))));
    }
    QSignalSpy finished(source.get(), &ReleaseSource::finished);
    const QString local = capsRoot.filePath("fetched");
    source->fetch(name, local, cap, false);
    // Refused on the listing's word, it ends before fetch() returns.
    QVERIFY(!finished.isEmpty() || finished.wait(30000));
    const QString reason = finished.first().at(1).toString();
    if (size <= cap) {
        QVERIFY2(finished.first().first().toBool(), qPrintable(reason));
        QVERIFY(readBytes(local) == readBytes(published));
        return;
    }
    QVERIFY(!finished.first().first().toBool());
    QVERIFY2(source->refusedFile(), qPrintable(reason));
    QVERIFY2(reason.startsWith("the published \"" + name + "\" "), qPrintable(reason));
    const qint64 kept = QFileInfo(local).size();
    QVERIFY2(told.endsWith("arriving") ? kept <= cap : kept == 0,
        qPrintable(QStringLiteral("%1 bytes kept").arg(kept)));
    // The listing's word keeps even SIZE from being asked; SIZE's keeps RETR.
    if (told == "ftp-listing" || told == "ftp-size") {
        const QStringList sent = server->receivedLines().mid(linesBefore);
        QCOMPARE(sent.contains("SIZE " + name), told == "ftp-size");
        QVERIFY(!sent.contains("RETR " + name));
    }
}

void TestReleaseSource::manifestTakenOnce_data()
{
    QTest::addColumn<bool>("withSignature"); // published beside "release.json"
    QTest::newRow("both-published") << true;
    QTest::newRow("no-signature") << false;
}

void TestReleaseSource::manifestTakenOnce()
{
    QFETCH(bool, withSignature);
    QTemporaryDir root;
    QTemporaryDir app;
    const QByteArray json = randomBytes(2000, 7);
    const QByteArray signature = randomBytes(300, 8);
    QVERIFY(writeFile(root.filePath("demo_mac/release.json"), json));
    if (withSignature)
        QVERIFY(writeFile(root.filePath("demo_mac/release.json.minisig"), signature));
    FtpServer server;
    QVERIFY2(server.start(root.path()), qPrintable(server.errorText()));
    // The window's session, logged in and in the folder, as the sources take it.
    QFtp session;
    QSignalSpy done(&session, &QFtp::done);
    session.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    session.login(FtpServer::user, FtpServer::password);
    session.cd(QStringLiteral("demo_mac"));
    QVERIFY(done.wait(10000));
    QVERIFY(!done.first().first().toBool());
    SourceList sources(
        &session, QStringLiteral("127.0.0.1"), server.port(), "demo_mac", {}, app.path());
    QSignalSpy fetched(&sources, &SourceList::manifestFetched);
    sources.fetchManifest();
    QVERIFY(fetched.wait(30000));
    QCOMPARE(fetched.first().first().toBool(), withSignature);
    // What is judged is what arrived: the files changing afterwards on the
    // disk change nothing.
    QVERIFY(writeFile(app.filePath("release.json"), "changed"));
    QVERIFY(writeFile(app.filePath("release.json.minisig"), "changed"));
    QCOMPARE(sources.manifest(), withSignature ? json : QByteArray());
    QCOMPARE(sources.manifestSignature(), withSignature ? signature : QByteArray());
}

QTEST_MAIN(TestReleaseSource)
#include "tst_releasesource.moc"

// Through a proxy (tinyproxy): the file comes through its tunnel, with the
// credentials of the proxy's address when it asks for them; a proxy that
// refuses the tunnel, or wants credentials the updater lacks or gets wrong,
// leaves the source at once with a reason naming the proxy and never its
// password.
void TestReleaseSource::proxies_data()
{
    QTest::addColumn<QString>("directives");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("reason"); // empty: fetched
    // CONNECTs asked: with credentials, the first asks which schemes the
    // proxy takes. None is asked again after a refusal.
    QTest::addColumn<int>("tunnels");
    const QString basic = QStringLiteral("BasicAuth updater s3cret");
    QTest::newRow("forwards") << QString() << QString() << QString() << QString() << 1;
    QTest::newRow("forwards-with-credentials") << basic << "updater"
                                               << "s3cret" << QString() << 2;
    QTest::newRow("refuses") << "ConnectPort 1" << QString() << QString()
                             << "refused the connection (HTTP 403)" << 1;
    QTest::newRow("needs-credentials")
        << basic << QString() << QString()
        << "needs credentials the updater does not have (HTTP 407)" << 1;
    QTest::newRow("wrong-credentials") << basic << "updater"
                                       << "wrong"
                                       << "refused the updater's credentials (HTTP 401)" << 2;
}

void TestReleaseSource::proxies()
{
    QFETCH(QString, directives);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, reason);
    QFETCH(int, tunnels);
    QTemporaryDir tmp;
    const QByteArray original = randomBytes(100 * 1024, 5);
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("server/demo_mac/app.zip")), original));
    NginxServer nginx;
    QVERIFY2(nginx.start(tmp.filePath(QStringLiteral("server"))), qPrintable(nginx.errorText()));
    HttpsSource::addCaCertificatesForTesting(nginx.authority());
    ProxyServer proxy;
    QVERIFY2(proxy.start(directives), qPrintable(proxy.errorText()));
    HttpsSource source(nginx.url(QStringLiteral("demo_mac/")));
    source.setProxy(proxy.url(user, password).toString());
    QSignalSpy finished(&source, &ReleaseSource::finished);
    const QString part = tmp.filePath(QLatin1String(ReleaseFiles::partialArchive));
    source.fetch(QStringLiteral("app.zip"), part, -1, true);
    QVERIFY(finished.wait(30000));

    const QString why = finished.first().at(1).toString();
    QCOMPARE(finished.first().at(0).toBool(), reason.isEmpty());
    QCOMPARE(proxy.tunnelsAsked(), tunnels);
    if (reason.isEmpty()) {
        QVERIFY(readBytes(part) == original);
    } else {
        QCOMPARE(why, QStringLiteral("proxy http://127.0.0.1:%1 %2").arg(proxy.port()).arg(reason));
    }
}

// A server that takes the connection and never says a word: each try ends
// when nothing has come for the source's timeout, and the fetch after its
// 5 tries.
void TestReleaseSource::silentServer()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket *> held;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *peer = silent.nextPendingConnection())
            held << peer;
    });
    QTemporaryDir tmp;
    HttpsSource source(
        QUrl(QStringLiteral("https://127.0.0.1:%1/demo_mac/").arg(silent.serverPort())));
    source.setTimeout(200);
    QSignalSpy finished(&source, &ReleaseSource::finished);
    source.fetch(QStringLiteral("app.zip"), tmp.filePath(QStringLiteral("app.zip.part")), -1, true);
    QVERIFY(finished.wait(30000));

    QVERIFY(!finished.first().at(0).toBool());
    QCOMPARE(finished.first().at(1).toString(), QStringLiteral("timed out"));
    QCOMPARE(held.size(), ReleaseSource::maxTries);
    qDeleteAll(held);
}
