#include "files.h"
#include "ftpserver.h"
#include "qftp.h"
#include "vsftpdserver.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

// QFtp against real FTP servers on loopback (Debian's pyftpdlib and vsftpd),
// in passive and active mode, over IPv4 and IPv6: every operation, the ids
// it reports and the failures the update window meets.
class TestQFtpServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void operations_data();
    void operations();
    void refusedLogin_data();
    void refusedLogin();
    void uploadFromSequentialDevice_data();
    void uploadFromSequentialDevice();
    void serverGoneMidDownload();

private:
    void addServerRows(bool withModes);
    bool vsftpdUsable = false;
    QString vsftpdMissing;
};

namespace {

const QString user = QStringLiteral("marvoline");
const QString password = QStringLiteral("qd4739");

// One of the two servers, started on a folder of its own (root).
class Server
{
public:
    bool start(const QString &kind, const QString &host)
    {
        if (!root.isValid()) {
            why = root.errorString();
            return false;
        }
        if (kind == QLatin1String("vsftpd")) {
            vsftpd.reset(new VsftpdServer);
            if (vsftpd->start(root.path(), host))
                return true;
            why = vsftpd->errorText();
            return false;
        }
        pyftpd.reset(new FtpServer);
        if (pyftpd->start(root.path(), host))
            return true;
        why = pyftpd->errorText();
        return false;
    }
    quint16 port() const { return vsftpd ? vsftpd->port() : pyftpd->port(); }
    void stop()
    {
        if (vsftpd)
            vsftpd->stop();
        if (pyftpd)
            pyftpd->stop();
    }
    QTemporaryDir root;
    QString why;

private:
    std::unique_ptr<VsftpdServer> vsftpd;
    std::unique_ptr<FtpServer> pyftpd;
};

// How a batch ended, as Session::run() reports it.
const QString succeeded = QStringLiteral("succeeded");
const QString failed = QStringLiteral("failed");

// Runs batches of commands and checks that every id the operations returned
// was started once and finished once, in queue order.
class Session : public QObject
{
public:
    explicit Session(QFtp *ftp)
        : ftp(ftp)
    {
        connect(ftp, &QFtp::commandStarted, this, [this](int id) { log << qMakePair(id, -1); });
        connect(ftp, &QFtp::commandFinished, this,
            [this](int id, bool error) { log << qMakePair(id, int(error)); });
        connect(ftp, &QFtp::done, this, [this](bool error) {
            ++doneCount;
            lastDone = error;
        });
    }

    // Waits for the done of the commands just queued (their ids, in order;
    // QFtp starts nothing before the event loop runs). Returns succeeded or
    // failed after done's error flag, or what went wrong instead: no done in
    // time, or a sequence of signals other than each id started, then
    // finished, up to the first failure.
    QString run(const QList<int> &ids, int timeoutMs = 30000)
    {
        log.clear();
        const int before = doneCount;
        QDeadlineTimer deadline(timeoutMs);
        while (doneCount == before && !deadline.hasExpired())
            QTest::qWait(5);
        if (doneCount != before + 1)
            return QStringLiteral("no done");
        QList<QPair<int, int>> expected;
        QStringList idText;
        for (int id : ids) {
            idText << QString::number(id);
            const int at = expected.size() / 2;
            const int error = log.size() > 2 * at + 1 ? log[2 * at + 1].second : -2;
            expected << qMakePair(id, -1) << qMakePair(id, error);
            if (error != 0)
                break;
        }
        if (log != expected) {
            QStringList text;
            for (const auto &e : log)
                text << QStringLiteral("%1:%2").arg(e.first).arg(e.second);
            return QStringLiteral("ids %1, signals %2").arg(idText.join(','), text.join(' '));
        }
        return lastDone ? failed : succeeded;
    }

    // The ids of a connect and a login, to begin a batch with.
    QList<int> logIn(const QString &host, quint16 port, const QString &pass = password)
    {
        return {ftp->connectToHost(host, port), ftp->login(user, pass)};
    }

    QFtp *ftp;
    QList<QPair<int, int>> log;
    int doneCount = 0;
    bool lastDone = false;
};

bool ipv6Loopback()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHostIPv6, 0);
}

} // namespace

void TestQFtpServer::initTestCase()
{
    vsftpdUsable = VsftpdServer::ensureAccount(&vsftpdMissing);
}

void TestQFtpServer::init()
{
    // A row whose server or address family this machine lacks is skipped.
    if (!QTest::currentDataTag())
        return;
    QFETCH(QString, kind);
    QFETCH(QString, host);
    if (kind == QLatin1String("vsftpd") && !vsftpdUsable)
        QSKIP(qPrintable(vsftpdMissing));
    if (host.contains(':') && !ipv6Loopback())
        QSKIP("no IPv6 loopback");
}

void TestQFtpServer::addServerRows(bool withModes)
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("mode");
    for (const char *kind : {"pyftpdlib", "vsftpd"}) {
        for (const char *host : {"127.0.0.1", "::1"}) {
            const char *family = QByteArray(host).contains(':') ? "ipv6" : "ipv4";
            if (!withModes) {
                QTest::addRow("%s-%s", kind, family) << kind << host << int(QFtp::Passive);
                continue;
            }
            QTest::addRow("%s-%s-passive", kind, family) << kind << host << int(QFtp::Passive);
            QTest::addRow("%s-%s-active", kind, family) << kind << host << int(QFtp::Active);
        }
    }
}

void TestQFtpServer::operations_data()
{
    addServerRows(true);
}

void TestQFtpServer::operations()
{
    QFETCH(QString, kind);
    QFETCH(QString, host);
    QFETCH(int, mode);
    Server server;
    const QDir root(server.root.path());
    QTemporaryDir local;
    QVERIFY(local.isValid());
    const QByteArray version("1.0.3\n");
    QVERIFY(writeFile(root.filePath("version.ver"), version));
    QVERIFY2(server.start(kind, host), qPrintable(server.why));

    QFtp ftp;
    Session s(&ftp);
    QByteArray payload(300000, Qt::Uninitialized);
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 7 + i / 251);
    const QByteArray fromDevice("uploaded from a file\nsecond line\n");
    QVERIFY(writeFile(local.filePath("up.txt"), fromDevice));
    QFile upload(local.filePath("up.txt"));

    // Connect, log in, make a folder and upload into it, queued at once.
    QCOMPARE(s.run(s.logIn(host, server.port())
                 << ftp.setTransferMode(QFtp::TransferMode(mode)) << ftp.mkdir("updates dir")
                 << ftp.cd("updates dir") << ftp.put(payload, "app.zip")
                 << ftp.put(&upload, "from device.txt", QFtp::Ascii)),
        succeeded);
    QCOMPARE(ftp.state(), QFtp::LoggedIn);
    QCOMPARE(readBytes(root.filePath("updates dir/app.zip")), payload);
    QCOMPARE(readBytes(root.filePath("updates dir/from device.txt")), fromDevice);
    QVERIFY(upload.isOpen()); // opened by the client, but borrowed: left open

    // List.
    QMap<QString, qint64> entries;
    connect(&ftp, &QFtp::listInfo, this,
        [&](const QUrlInfo &info) { entries.insert(info.name(), info.size()); });
    QCOMPARE(s.run({ftp.list()}), succeeded);
    QCOMPARE(entries.keys(), QStringList({"app.zip", "from device.txt"}));
    QCOMPARE(entries.value("app.zip"), qint64(payload.size()));

    // Download into a device, and without one through readyRead.
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    QByteArray read;
    connect(&ftp, &QFtp::readyRead, this, [&] { read += ftp.readAll(); });
    qint64 lastDone = -1, lastTotal = -1;
    connect(&ftp, &QFtp::dataTransferProgress, this, [&](qint64 done, qint64 total) {
        lastDone = done;
        lastTotal = total;
    });
    QCOMPARE(s.run({ftp.get("app.zip", &sink), ftp.cd(".."), ftp.get("version.ver")}), succeeded);
    QCOMPARE(sink.data(), payload);
    QCOMPARE(read, version);
    QCOMPARE(lastDone, qint64(version.size()));
    QCOMPARE(lastTotal, qint64(version.size()));

    // Rename, remove, rmdir.
    QCOMPARE(s.run({ftp.rename("updates dir/app.zip", "updates dir/renamed.zip"),
                 ftp.cd("updates dir"), ftp.remove("renamed.zip"), ftp.remove("from device.txt"),
                 ftp.cd(".."), ftp.rmdir("updates dir")}),
        succeeded);
    QCOMPARE(root.entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList({"version.ver"}));

    // Refused commands: the per-command text around the server's own.
    QCOMPARE(s.run({ftp.cd("no such folder"), ftp.list()}), failed);
    QCOMPARE(ftp.error(), QFtp::UnknownError);
    QVERIFY2(ftp.errorString().startsWith("Changing directory failed:\n")
            && ftp.errorString().size() > 27,
        qPrintable(ftp.errorString()));
    sink.buffer().clear();
    sink.seek(0);
    QCOMPARE(s.run({ftp.get("missing.ver", &sink)}), failed);
    QVERIFY2(
        ftp.errorString().startsWith("Downloading file failed:\n"), qPrintable(ftp.errorString()));
    QCOMPARE(sink.data(), QByteArray());
    QCOMPARE(s.run({ftp.rawCommand("XYZZY")}), failed);
    QVERIFY(!ftp.errorString().contains("failed"));

    // The connection is still usable after failures, and closes cleanly.
    QCOMPARE(s.run({ftp.cd("."), ftp.close()}), succeeded);
    QCOMPARE(ftp.state(), QFtp::Unconnected);
}

void TestQFtpServer::refusedLogin_data()
{
    addServerRows(false);
}

void TestQFtpServer::refusedLogin()
{
    QFETCH(QString, kind);
    QFETCH(QString, host);
    Server server;
    QVERIFY2(server.start(kind, host), qPrintable(server.why));
    QFtp ftp;
    Session s(&ftp);
    QCOMPARE(
        s.run(s.logIn(host, server.port(), QStringLiteral("wrong")) << ftp.cd("anything")), failed);
    QCOMPARE(s.log.size(), 4); // connect ok, login failed, cd never ran
    QCOMPARE(ftp.error(), QFtp::UnknownError);
    QVERIFY2(ftp.errorString().startsWith("Login failed:\n"), qPrintable(ftp.errorString()));
    QCOMPARE(ftp.state(), QFtp::Connected);
}

void TestQFtpServer::uploadFromSequentialDevice_data()
{
    addServerRows(false);
}

void TestQFtpServer::uploadFromSequentialDevice()
{
    // A pipe: no size known in advance, no ALLO line, data as it comes.
    QFETCH(QString, kind);
    QFETCH(QString, host);
    Server server;
    QVERIFY2(server.start(kind, host), qPrintable(server.why));
    QFtp ftp;
    Session s(&ftp);
    QProcess pipe;
    pipe.setProgram(QStringLiteral("/bin/sh"));
    pipe.setArguments({"-c", "printf 'first\\n'; sleep 0.2; printf 'second\\n'"});
    pipe.start(QIODevice::ReadOnly);
    QVERIFY(pipe.waitForStarted());
    QCOMPARE(s.run(s.logIn(host, server.port()) << ftp.put(&pipe, "piped.txt")), succeeded);
    QCOMPARE(readBytes(server.root.filePath("piped.txt")), QByteArray("first\nsecond\n"));
}

void TestQFtpServer::serverGoneMidDownload()
{
    // A real server stopped while a large download runs into a device.
    Server server;
    QVERIFY(writeFile(server.root.filePath("app.zip"), QByteArray(32 * 1024 * 1024, 'a')));
    QVERIFY2(server.start("pyftpdlib", "127.0.0.1"), qPrintable(server.why));
    QFtp ftp;
    Session s(&ftp);
    QCOMPARE(s.run(s.logIn("127.0.0.1", server.port())), succeeded);
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    bool stopped = false;
    connect(&ftp, &QFtp::dataTransferProgress, this, [&](qint64 done, qint64) {
        if (!stopped && done > 0) {
            stopped = true;
            server.stop();
        }
    });
    const QString result = s.run({ftp.get("app.zip", &sink), ftp.cd("x")});
    QVERIFY(stopped);
    QCOMPARE(result, failed);
    QVERIFY2(
        ftp.errorString().startsWith("Downloading file failed:\n"), qPrintable(ftp.errorString()));
    QVERIFY(sink.size() < 32 * 1024 * 1024);
}

QTEST_GUILESS_MAIN(TestQFtpServer)
#include "tst_qftpserver.moc"
