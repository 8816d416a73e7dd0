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

const QByteArray user("marvoline");
const QByteArray password("qd4739");

// One of the two servers, started on a folder of the test's own.
class Server
{
public:
    bool start(const QString &kind, const QString &root, const QString &host)
    {
        if (kind == QLatin1String("vsftpd")) {
            vsftpd.reset(new VsftpdServer);
            if (vsftpd->start(root, host))
                return true;
            why = vsftpd->errorText();
            return false;
        }
        pyftpd.reset(new FtpServer);
        if (pyftpd->start(root, host))
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
    QString why;

private:
    std::unique_ptr<VsftpdServer> vsftpd;
    std::unique_ptr<FtpServer> pyftpd;
};

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

    // Queues the commands, waits for done; returns done's error flag
    // (or -1 on a time-out or a wrong sequence of ids).
    int run(const std::function<QList<int>()> &queue, int timeoutMs = 30000)
    {
        log.clear();
        const int before = doneCount;
        const QList<int> ids = queue();
        QDeadlineTimer deadline(timeoutMs);
        while (doneCount == before && !deadline.hasExpired())
            QTest::qWait(5);
        if (doneCount != before + 1) {
            problem = QStringLiteral("no done");
            return -1;
        }
        // Each id: started, then finished; a failure ends the batch.
        QList<QPair<int, int>> expected;
        for (int id : ids) {
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
            problem = QStringLiteral("ids %1, signals %2")
                          .arg([&] {
                              QStringList s;
                              for (int id : ids)
                                  s << QString::number(id);
                              return s.join(',');
                          }())
                          .arg(text.join(' '));
            return -1;
        }
        return lastDone ? 1 : 0;
    }

    QFtp *ftp;
    QList<QPair<int, int>> log;
    int doneCount = 0;
    bool lastDone = false;
    QString problem;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

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
    if (kind == QLatin1String("vsftpd") && !vsftpdUsable)
        QSKIP(qPrintable(vsftpdMissing));
    if (host.contains(':') && !ipv6Loopback())
        QSKIP("no IPv6 loopback");

    QTemporaryDir root;
    QTemporaryDir local;
    QVERIFY(root.isValid() && local.isValid());
    const QByteArray version("1.0.3\n");
    QVERIFY(writeFile(root.filePath("version.ver"), version));
    Server server;
    QVERIFY2(server.start(kind, root.path(), host), qPrintable(server.why));

    QFtp ftp;
    Session s(&ftp);
    QByteArray payload(300000, Qt::Uninitialized);
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 7 + i / 251);
    const QByteArray fromDevice("uploaded from a file\nsecond line\n");
    QVERIFY(writeFile(local.filePath("up.txt"), fromDevice));
    QFile upload(local.filePath("up.txt"));

    // Connect, log in, make a folder and upload into it, queued at once.
    QCOMPARE(s.run([&] {
        return QList<int> {ftp.connectToHost(host, server.port()),
            ftp.login(QString::fromLatin1(user), QString::fromLatin1(password)),
            ftp.setTransferMode(QFtp::TransferMode(mode)), ftp.mkdir("updates dir"),
            ftp.cd("updates dir"), ftp.put(payload, "app.zip"),
            ftp.put(&upload, "from device.txt", QFtp::Ascii)};
    }),
        0);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
    QCOMPARE(ftp.state(), QFtp::LoggedIn);
    QCOMPARE(readFile(root.filePath("updates dir/app.zip")), payload);
    QCOMPARE(readFile(root.filePath("updates dir/from device.txt")), fromDevice);
    QVERIFY(upload.isOpen()); // opened by the client, but borrowed: left open

    // List.
    QMap<QString, qint64> entries;
    connect(&ftp, &QFtp::listInfo, this,
        [&](const QUrlInfo &info) { entries.insert(info.name(), info.size()); });
    QCOMPARE(s.run([&] { return QList<int> {ftp.list()}; }), 0);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
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
    QCOMPARE(s.run([&] {
        return QList<int> {ftp.get("app.zip", &sink), ftp.cd(".."), ftp.get("version.ver")};
    }),
        0);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
    QCOMPARE(sink.data(), payload);
    QCOMPARE(read, version);
    QCOMPARE(lastDone, qint64(version.size()));
    QCOMPARE(lastTotal, qint64(version.size()));

    // Rename, remove, rmdir.
    QCOMPARE(s.run([&] {
        return QList<int> {ftp.rename("updates dir/app.zip", "updates dir/renamed.zip"),
            ftp.cd("updates dir"), ftp.remove("renamed.zip"), ftp.remove("from device.txt"),
            ftp.cd(".."), ftp.rmdir("updates dir")};
    }),
        0);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
    QCOMPARE(QDir(root.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
        QStringList({"version.ver"}));

    // Refused commands: the per-command text around the server's own.
    QCOMPARE(s.run([&] { return QList<int> {ftp.cd("no such folder"), ftp.list()}; }), 1);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
    QCOMPARE(ftp.error(), QFtp::UnknownError);
    QVERIFY2(ftp.errorString().startsWith("Changing directory failed:\n")
            && ftp.errorString().size() > 27,
        qPrintable(ftp.errorString()));
    sink.buffer().clear();
    sink.seek(0);
    QCOMPARE(s.run([&] { return QList<int> {ftp.get("missing.ver", &sink)}; }), 1);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
    QVERIFY2(
        ftp.errorString().startsWith("Downloading file failed:\n"), qPrintable(ftp.errorString()));
    QCOMPARE(sink.data(), QByteArray());
    QCOMPARE(s.run([&] { return QList<int> {ftp.rawCommand("XYZZY")}; }), 1);
    QVERIFY(!ftp.errorString().contains("failed"));

    // The connection is still usable after failures, and closes cleanly.
    QCOMPARE(s.run([&] { return QList<int> {ftp.cd("."), ftp.close()}; }), 0);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
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
    if (kind == QLatin1String("vsftpd") && !vsftpdUsable)
        QSKIP(qPrintable(vsftpdMissing));
    if (host.contains(':') && !ipv6Loopback())
        QSKIP("no IPv6 loopback");
    QTemporaryDir root;
    Server server;
    QVERIFY2(server.start(kind, root.path(), host), qPrintable(server.why));
    QFtp ftp;
    Session s(&ftp);
    QCOMPARE(s.run([&] {
        return QList<int> {ftp.connectToHost(host, server.port()),
            ftp.login(QString::fromLatin1(user), "wrong"), ftp.cd("anything")};
    }),
        1);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
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
    if (kind == QLatin1String("vsftpd") && !vsftpdUsable)
        QSKIP(qPrintable(vsftpdMissing));
    if (host.contains(':') && !ipv6Loopback())
        QSKIP("no IPv6 loopback");
    QTemporaryDir root;
    Server server;
    QVERIFY2(server.start(kind, root.path(), host), qPrintable(server.why));
    QFtp ftp;
    Session s(&ftp);
    QProcess pipe;
    pipe.setProgram(QStringLiteral("/bin/sh"));
    pipe.setArguments({"-c", "printf 'first\\n'; sleep 0.2; printf 'second\\n'"});
    pipe.start(QIODevice::ReadOnly);
    QVERIFY(pipe.waitForStarted());
    QCOMPARE(s.run([&] {
        return QList<int> {ftp.connectToHost(host, server.port()),
            ftp.login(QString::fromLatin1(user), QString::fromLatin1(password)),
            ftp.put(&pipe, "piped.txt")};
    }),
        0);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
    QCOMPARE(readFile(QDir(root.path()).filePath("piped.txt")), QByteArray("first\nsecond\n"));
}

void TestQFtpServer::serverGoneMidDownload()
{
    // A real server stopped while a large download runs into a device.
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("app.zip"), QByteArray(32 * 1024 * 1024, 'a')));
    Server server;
    QVERIFY2(server.start("pyftpdlib", root.path(), "127.0.0.1"), qPrintable(server.why));
    QFtp ftp;
    Session s(&ftp);
    QCOMPARE(s.run([&] {
        return QList<int> {ftp.connectToHost("127.0.0.1", server.port()),
            ftp.login(QString::fromLatin1(user), QString::fromLatin1(password))};
    }),
        0);
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    bool stopped = false;
    connect(&ftp, &QFtp::dataTransferProgress, this, [&](qint64 done, qint64) {
        if (!stopped && done > 0) {
            stopped = true;
            server.stop();
        }
    });
    const int result = s.run([&] { return QList<int> {ftp.get("app.zip", &sink), ftp.cd("x")}; });
    QVERIFY(stopped);
    QCOMPARE(result, 1);
    QVERIFY2(s.problem.isEmpty(), qPrintable(s.problem));
    QVERIFY2(
        ftp.errorString().startsWith("Downloading file failed:\n"), qPrintable(ftp.errorString()));
    QVERIFY(sink.size() < 32 * 1024 * 1024);
}

QTEST_GUILESS_MAIN(TestQFtpServer)
#include "tst_qftpserver.moc"
