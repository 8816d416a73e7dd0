#include "qftp.h"
#include "scriptedserver.h"

#include <QBuffer>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

// QFtp's command queue against a scripted control connection: the order and
// timing of its signals, the lines each operation sends, the replies of
// differing peers, and the failure paths the update window relies on.
class TestQFtpQueue : public QObject
{
    Q_OBJECT

private slots:
    void firstIdIsOne();
    void emptyQueueAccessors();
    void localCommandsFinishBackToBack();
    void abortOnEmptyQueueDoesNothing();
    void closeWithoutConnection();
    void hostNameDoesNotResolve();
    void unreachableServer();
    void unroutableAddress();
    void threeQueuedCommandsRunInOneChain();
    void commandQueuedFromCommandFinishedStartsInChain();
    void commandQueuedFromDoneStartsOnNextPass();
    void secondOfFiveFails();
    void doneDrivenQueueRunsEachCommandOnce();
    void loginQueuedFromDoneAfterGreetingRunsOnce();
    void closeHandshake();
    void closeAnsweredByDisconnect();
    void dataConnectionRefusedThenNextCommandRuns();
    void uploadDeviceThatCannotBeOpened();
    void loginThroughProxy_data();
    void loginThroughProxy();
    void rawCommandReplies();
    void commandLines_data();
    void commandLines();
    void modeChosenWhenQueued();
    void download_data();
    void download();
    void uploadCompletedAfterDataClosed();
    void activeDownloadCompletedBeforeAccepted();
    void downloadWithoutDeviceAndLeftoverDiscarded();
    void failures_data();
    void failures();
    void serverGoneMidDownload();
    void abortDuringDownload();
    void destructorSendsNoQuitAndStartsNothing();
    void destructorDuringDownload();
};

namespace {

// Every signal of a QFtp as one line of text, in the order of emission.
class Recorder : public QObject
{
public:
    explicit Recorder(QFtp *ftp)
    {
        connect(ftp, &QFtp::commandStarted, this,
            [this](int id) { events << QStringLiteral("started %1").arg(id); });
        connect(ftp, &QFtp::commandFinished, this, [this](int id, bool error) {
            events << QStringLiteral("finished %1 %2").arg(id).arg(int(error));
        });
        connect(ftp, &QFtp::done, this,
            [this](bool error) { events << QStringLiteral("done %1").arg(int(error)); });
        connect(ftp, &QFtp::stateChanged, this,
            [this](int s) { events << QStringLiteral("state %1").arg(s); });
        connect(ftp, &QFtp::rawCommandReply, this, [this](int code, const QString &text) {
            events << QStringLiteral("raw %1 %2").arg(code).arg(text);
        });
    }
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &e : events)
            n += e.startsWith(prefix);
        return n;
    }
    QStringList without(const QString &prefix) const
    {
        QStringList kept;
        for (const QString &e : events)
            if (!e.startsWith(prefix))
                kept << e;
        return kept;
    }
    QStringList events;
};

QStringList tail(const QStringList &list, int n)
{
    return list.mid(list.size() - n);
}

QString started(int id)
{
    return QStringLiteral("started %1").arg(id);
}
QString finished(int id, bool error = false)
{
    return QStringLiteral("finished %1 %2").arg(id).arg(int(error));
}
QString done(bool error = false)
{
    return QStringLiteral("done %1").arg(int(error));
}
QString state(QFtp::State s)
{
    return QStringLiteral("state %1").arg(int(s));
}

// Connects and logs in against the scripted server; returns false on any
// unexpected line.
bool connectAndLogin(QFtp &ftp, ScriptedServer &server)
{
    QSignalSpy doneSpy(&ftp, &QFtp::done);
    ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
    if (!server.waitForClient())
        return false;
    server.send("220 ready\r\n");
    if (server.nextLine() != "USER marvoline")
        return false;
    server.send("331 password please\r\n");
    if (server.nextLine() != "PASS qd4739")
        return false;
    server.send("230 welcome\r\n");
    return doneSpy.wait(5000) || doneSpy.count() == 1;
}

// A port on loopback that nobody listens on.
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A device that announces itself as sequential (a pipe, a socket).
class SequentialBuffer : public QBuffer
{
public:
    bool isSequential() const override { return true; }
};

} // namespace

void TestQFtpQueue::firstIdIsOne()
{
    QFtp a;
    QCOMPARE(a.cd(QStringLiteral("x")), 1);
    QCOMPARE(a.cd(QStringLiteral("y")), 2);
    QFtp b;
    // One sequence for the whole process.
    QCOMPARE(b.cd(QStringLiteral("z")), 3);
}

void TestQFtpQueue::emptyQueueAccessors()
{
    QFtp ftp;
    QCOMPARE(ftp.currentId(), 0);
    QCOMPARE(ftp.currentCommand(), QFtp::None);
    QCOMPARE(ftp.currentDevice(), nullptr);
    QVERIFY(!ftp.hasPendingCommands());
    QCOMPARE(ftp.state(), QFtp::Unconnected);
    QCOMPARE(ftp.error(), QFtp::NoError);
    QCOMPARE(ftp.errorString(), QStringLiteral("Unknown error"));

    QBuffer sink;
    const int id = ftp.get(QStringLiteral("f"), &sink);
    QCOMPARE(ftp.currentId(), id);
    QCOMPARE(ftp.currentCommand(), QFtp::Get);
    QCOMPARE(ftp.currentDevice(), &sink);
    QVERIFY(!ftp.hasPendingCommands());
    ftp.put(QByteArray("x"), QStringLiteral("f"));
    QVERIFY(ftp.hasPendingCommands());
    ftp.clearPendingCommands();
    QVERIFY(!ftp.hasPendingCommands());
    QCOMPARE(ftp.currentId(), id);
}

void TestQFtpQueue::localCommandsFinishBackToBack()
{
    QFtp ftp;
    Recorder rec(&ftp);
    const int mode = ftp.setTransferMode(QFtp::Active);
    const int proxy = ftp.setProxy(QStringLiteral("127.0.0.1"), 2121);
    QVERIFY(rec.events.isEmpty()); // nothing before the ids are returned
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events,
        QStringList({started(mode), finished(mode), started(proxy), finished(proxy), done()}));
}

void TestQFtpQueue::abortOnEmptyQueueDoesNothing()
{
    QFtp ftp;
    Recorder rec(&ftp);
    ftp.abort();
    QTest::qWait(0);
    QVERIFY(rec.events.isEmpty());
}

void TestQFtpQueue::closeWithoutConnection()
{
    QFtp ftp;
    Recorder rec(&ftp);
    const int id = ftp.close();
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events,
        QStringList({started(id), state(QFtp::Closing), finished(id, true), done(true)}));
    QCOMPARE(ftp.error(), QFtp::NotConnected);
    QCOMPARE(ftp.errorString(), QStringLiteral("Not connected"));
    QCOMPARE(ftp.state(), QFtp::Closing);
}

void TestQFtpQueue::hostNameDoesNotResolve()
{
    QFtp ftp;
    Recorder rec(&ftp);
    // The reserved top-level domain never resolves.
    const int id = ftp.connectToHost(QStringLiteral("no-such-host.invalid"), 21);
    const int behind = ftp.login();
    QTRY_COMPARE_WITH_TIMEOUT(rec.count("done"), 1, 30000);
    QCOMPARE(rec.events,
        QStringList({started(id), state(QFtp::HostLookup), state(QFtp::Unconnected),
            finished(id, true), done(true)}));
    QVERIFY(!rec.events.contains(started(behind)));
    QCOMPARE(ftp.error(), QFtp::HostNotFound);
    QCOMPARE(ftp.errorString(),
        QStringLiteral("Connecting to host failed:\nHost no-such-host.invalid not found"));
}

void TestQFtpQueue::unreachableServer()
{
    QFtp ftp;
    Recorder rec(&ftp);
    const quint16 port = freePort();
    const int id = ftp.connectToHost(QStringLiteral("127.0.0.1"), port);
    ftp.login();
    QTRY_COMPARE_WITH_TIMEOUT(rec.count("done"), 1, 30000);
    QCOMPARE(rec.without("state"), QStringList({started(id), finished(id, true), done(true)}));
    QCOMPARE(ftp.error(), QFtp::ConnectionRefused);
    QCOMPARE(ftp.errorString(),
        QStringLiteral("Connecting to host failed:\nConnection refused to host 127.0.0.1"));
    QCOMPARE(ftp.state(), QFtp::Unconnected);
}

void TestQFtpQueue::unroutableAddress()
{
    // The kernel refuses a TCP connection to the broadcast address locally
    // (no packet is sent): a socket error other than refused or not found.
    QFtp ftp;
    Recorder rec(&ftp);
    const int id = ftp.connectToHost(QStringLiteral("255.255.255.255"), 21);
    QTRY_COMPARE_WITH_TIMEOUT(rec.count("done"), 1, 10000);
    QCOMPARE(rec.without("state"), QStringList({started(id), finished(id, true), done(true)}));
    QVERIFY(ftp.errorString().startsWith(QStringLiteral("Connecting to host failed:\n")));
    QCOMPARE(ftp.state(), QFtp::Unconnected);
}

void TestQFtpQueue::threeQueuedCommandsRunInOneChain()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    Recorder rec(&ftp);
    const int c = ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    const int l = ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
    const int cd = ftp.cd(QStringLiteral("App_mac"));
    QVERIFY(server.waitForClient());
    server.send("220 ready\r\n");
    QCOMPARE(server.nextLine(), QByteArray("USER marvoline"));
    server.send("331 password please\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASS qd4739"));
    server.send("230 welcome\r\n");
    QCOMPARE(server.nextLine(), QByteArray("CWD App_mac"));
    server.send("250 okay\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events,
        QStringList({started(c), state(QFtp::HostLookup), state(QFtp::Connecting),
            state(QFtp::Connected), finished(c), started(l), state(QFtp::LoggedIn), finished(l),
            started(cd), finished(cd), done()}));
    QCOMPARE(ftp.state(), QFtp::LoggedIn);
    QCOMPARE(ftp.error(), QFtp::NoError);
}

void TestQFtpQueue::commandQueuedFromCommandFinishedStartsInChain()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    Recorder rec(&ftp);
    const int c = ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    int queued = 0;
    int idInSlot = 0;
    connect(&ftp, &QFtp::commandFinished, this, [&](int id) {
        if (id != c)
            return;
        idInSlot = ftp.currentId();
        // Anything that needs the event loop runs after the queued command started.
        QTimer::singleShot(0, this, [&] { rec.events << QStringLiteral("loop"); });
        queued = ftp.login();
    });
    QVERIFY(server.waitForClient());
    server.send("220 ready\r\n");
    QCOMPARE(server.nextLine(), QByteArray("USER anonymous"));
    QCOMPARE(idInSlot, c);
    QCOMPARE(rec.events.mid(rec.events.indexOf(finished(c)), 3),
        QStringList({finished(c), started(queued), QStringLiteral("loop")}));
    QCOMPARE(rec.count("done"), 0);
    server.send("230 welcome\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(tail(rec.events, 2), QStringList({finished(queued), done()}));
}

void TestQFtpQueue::commandQueuedFromDoneStartsOnNextPass()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    Recorder rec(&ftp);
    const int c = ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    int queued = 0;
    connect(&ftp, &QFtp::done, this, [&] {
        if (queued)
            return;
        QTimer::singleShot(0, this, [&] { rec.events << QStringLiteral("loop"); });
        queued = ftp.login();
        rec.events << QStringLiteral("queued");
    });
    QVERIFY(server.waitForClient());
    server.send("220 ready\r\n");
    QCOMPARE(server.nextLine(), QByteArray("USER anonymous"));
    QCOMPARE(rec.events.mid(rec.events.indexOf(finished(c))),
        QStringList({finished(c), done(), QStringLiteral("queued"), QStringLiteral("loop"),
            started(queued)}));
}

void TestQFtpQueue::secondOfFiveFails()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    QList<int> ids;
    for (const char *dir : {"a", "b", "c", "d", "e"})
        ids << ftp.cd(QString::fromLatin1(dir));
    QCOMPARE(server.nextLine(), QByteArray("CWD a"));
    server.send("250 okay\r\n");
    QCOMPARE(server.nextLine(), QByteArray("CWD b"));
    server.send("550 Failed to change directory.\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events,
        QStringList({started(ids[0]), finished(ids[0]), started(ids[1]), finished(ids[1], true),
            done(true)}));
    QVERIFY(server.noLineWithin(200));
    QCOMPARE(rec.events.size(), 5);
    QCOMPARE(ftp.error(), QFtp::UnknownError);
    QCOMPARE(ftp.errorString(),
        QStringLiteral("Changing directory failed:\nFailed to change directory."));
    QCOMPARE(ftp.currentId(), 0);
}

void TestQFtpQueue::doneDrivenQueueRunsEachCommandOnce()
{
    // The update window's pattern: the next command is queued from done,
    // whether the one before failed or not.
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    QList<int> ids;
    int stage = 0;
    connect(&ftp, &QFtp::done, this, [&] {
        switch (stage++) {
        case 0:
            ids << ftp.cd(QStringLiteral("good"));
            break;
        case 1:
            ids << ftp.mkdir(QStringLiteral("made"));
            break;
        case 2:
            ids << ftp.rmdir(QStringLiteral("made"));
            break;
        default:
            break;
        }
    });
    ids << ftp.cd(QStringLiteral("missing"));
    QCOMPARE(server.nextLine(), QByteArray("CWD missing"));
    server.send("550 Failed to change directory.\r\n");
    QCOMPARE(server.nextLine(), QByteArray("CWD good"));
    server.send("550 Still no.\r\n");
    QCOMPARE(server.nextLine(), QByteArray("MKD made"));
    server.send("257 created\r\n");
    QCOMPARE(server.nextLine(), QByteArray("RMD made"));
    server.send("250 removed\r\n");
    QTRY_COMPARE(rec.count("done"), 4);
    QVERIFY(server.noLineWithin(200));
    QCOMPARE(ids.size(), 4);
    QCOMPARE(rec.events,
        QStringList({started(ids[0]), finished(ids[0], true), done(true), started(ids[1]),
            finished(ids[1], true), done(true), started(ids[2]), finished(ids[2]), done(),
            started(ids[3]), finished(ids[3]), done()}));
}

void TestQFtpQueue::loginQueuedFromDoneAfterGreetingRunsOnce()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    Recorder rec(&ftp);
    int login = 0;
    int cd = 0;
    connect(&ftp, &QFtp::done, this, [&] {
        if (!login)
            login = ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
        else if (!cd)
            cd = ftp.cd(QStringLiteral("App_mac"));
    });
    const int c = ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(server.waitForClient());
    server.send("220 ready\r\n");
    QCOMPARE(server.nextLine(), QByteArray("USER marvoline"));
    server.send("331 password please\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASS qd4739"));
    server.send("230 welcome\r\n");
    QCOMPARE(server.nextLine(), QByteArray("CWD App_mac"));
    server.send("250 okay\r\n");
    QTRY_COMPARE(rec.count("done"), 3);
    QVERIFY(server.noLineWithin(200));
    QCOMPARE(rec.without("state"),
        QStringList({started(c), finished(c), done(), started(login), finished(login), done(),
            started(cd), finished(cd), done()}));
}

void TestQFtpQueue::closeHandshake()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    const int id = ftp.close();
    QCOMPARE(server.nextLine(), QByteArray("QUIT"));
    server.send("221 Goodbye.\r\n");
    // The answer alone does not end the close; the connection going does.
    QVERIFY(server.noLineWithin(100));
    QCOMPARE(rec.events, QStringList({started(id), state(QFtp::Closing)}));
    server.dropClient();
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events,
        QStringList(
            {started(id), state(QFtp::Closing), state(QFtp::Unconnected), finished(id), done()}));
    QCOMPARE(ftp.state(), QFtp::Unconnected);
}

void TestQFtpQueue::closeAnsweredByDisconnect()
{
    // Some servers just hang up on QUIT; the close must not wait for an answer.
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    const int id = ftp.close();
    QCOMPARE(server.nextLine(), QByteArray("QUIT"));
    server.dropClient();
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events,
        QStringList(
            {started(id), state(QFtp::Closing), state(QFtp::Unconnected), finished(id), done()}));
}

void TestQFtpQueue::dataConnectionRefusedThenNextCommandRuns()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    int next = 0;
    QFtp::Error error = QFtp::NoError;
    QString errorString;
    connect(&ftp, &QFtp::done, this, [&] {
        if (next)
            return;
        // Valid until the next command starts.
        error = ftp.error();
        errorString = ftp.errorString();
        next = ftp.cd(QStringLiteral("after"));
    });
    const int l = ftp.list();
    QCOMPARE(server.nextLine(), QByteArray("TYPE A"));
    server.send("200 ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    const quint16 port = freePort();
    server.send("227 Entering Passive Mode (127,0,0,1," + QByteArray::number(port >> 8) + ","
        + QByteArray::number(port & 0xff) + ").\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events.mid(0, 3), QStringList({started(l), finished(l, true), done(true)}));
    QCOMPARE(error, QFtp::ConnectionRefused);
    QCOMPARE(errorString,
        QStringLiteral("Listing directory failed:\nConnection refused for data connection"));
    // The connection is still good for the next command.
    QCOMPARE(server.nextLine(), QByteArray("CWD after"));
    server.send("250 ok\r\n");
    QTRY_COMPARE(rec.count("done"), 2);
    QCOMPARE(tail(rec.events, 3), QStringList({started(next), finished(next), done()}));
}

void TestQFtpQueue::uploadDeviceThatCannotBeOpened()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    QFile missing(QStringLiteral("/nonexistent-folder/upload.bin"));
    const int id = ftp.put(&missing, QStringLiteral("upload.bin"));
    const int behind = ftp.cd(QStringLiteral("never"));
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events, QStringList({started(id), finished(id, true), done(true)}));
    QVERIFY(!rec.events.contains(started(behind)));
    QVERIFY(ftp.errorString().startsWith(QStringLiteral("Uploading file failed:\n")));
    // Nothing reached the server: no STOR for which no data would ever come.
    QVERIFY(server.noLineWithin(100));
}

void TestQFtpQueue::loginThroughProxy_data()
{
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QByteArray>("userLine");
    QTest::newRow("port-2121") << quint16(2121)
                               << QByteArray("USER marvoline@ftp.example.invalid:2121");
    QTest::newRow("port-21") << quint16(21) << QByteArray("USER marvoline@ftp.example.invalid");
    QTest::newRow("port-0") << quint16(0) << QByteArray("USER marvoline@ftp.example.invalid");
}

void TestQFtpQueue::loginThroughProxy()
{
    QFETCH(quint16, port);
    QFETCH(QByteArray, userLine);
    ScriptedServer proxy;
    QVERIFY(proxy.listen());
    QFtp ftp;
    QSignalSpy doneSpy(&ftp, &QFtp::done);
    ftp.setProxy(QStringLiteral("127.0.0.1"), proxy.port());
    ftp.connectToHost(QStringLiteral("ftp.example.invalid"), port);
    ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
    QVERIFY(proxy.waitForClient());
    proxy.send("220 proxy ready\r\n");
    QCOMPARE(proxy.nextLine(), userLine);
    proxy.send("331 password please\r\n");
    QCOMPARE(proxy.nextLine(), QByteArray("PASS qd4739"));
    proxy.send("230 welcome\r\n");
    QVERIFY(doneSpy.wait());
    QCOMPARE(doneSpy.first().first().toBool(), false);
}

void TestQFtpQueue::rawCommandReplies()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    const int help = ftp.rawCommand(QStringLiteral("  HELP SITE \t"));
    // A raw PASV is the caller's business: its reply opens no data connection.
    const int pasv = ftp.rawCommand(QStringLiteral("PASV"));
    QCOMPARE(server.nextLine(), QByteArray("HELP SITE"));
    server.send("214-The following commands are recognized.\r\n CHMOD UMASK\r\n214 Help OK.\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send("227 Entering Passive Mode (127,0,0,1,4,1).\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events,
        QStringList({started(help),
            QStringLiteral("raw 214 The following commands are recognized.\r\n "
                           "CHMOD UMASK\r\nHelp OK."),
            finished(help), started(pasv),
            QStringLiteral("raw 227 Entering Passive Mode (127,0,0,1,4,1)."), finished(pasv),
            done()}));
    // A refused raw command fails with the server's text unchanged.
    const int bad = ftp.rawCommand(QStringLiteral("XYZZY"));
    QCOMPARE(server.nextLine(), QByteArray("XYZZY"));
    server.send("500 Unknown command.\r\n");
    QTRY_COMPARE(rec.count("done"), 2);
    QCOMPARE(tail(rec.events, 3),
        QStringList({QStringLiteral("raw 500 Unknown command."), finished(bad, true), done(true)}));
    QCOMPARE(ftp.errorString(), QStringLiteral("Unknown command."));
}

void TestQFtpQueue::commandLines_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("login-null") << "login-null"
                                << QStringList({"USER anonymous", "PASS anonymous@"});
    QTest::newRow("login-empty") << "login-empty" << QStringList({"USER ", "PASS "});
    QTest::newRow("cd-spaces") << "cd" << QStringList({"CWD My App_mac"});
    QTest::newRow("mkdir") << "mkdir" << QStringList({"MKD new dir"});
    QTest::newRow("rmdir") << "rmdir" << QStringList({"RMD old"});
    QTest::newRow("remove") << "remove" << QStringList({"DELE app.zip"});
    QTest::newRow("rename") << "rename" << QStringList({"RNFR a b.txt", "RNTO c.txt"});
    QTest::newRow("raw") << "raw" << QStringList({"NOOP"});
    QTest::newRow("list-empty") << "list" << QStringList({"TYPE A", "PASV", "LIST"});
    QTest::newRow("list-dir") << "list-dir" << QStringList({"TYPE A", "PASV", "LIST Bin"});
    QTest::newRow("get-ascii") << "get-ascii"
                               << QStringList(
                                      {"TYPE A", "SIZE version.ver", "PASV", "RETR version.ver"});
    QTest::newRow("get-binary") << "get"
                                << QStringList({"TYPE I", "SIZE app.zip", "PASV", "RETR app.zip"});
    QTest::newRow("put-empty-bytes")
        << "put-bytes" << QStringList({"TYPE I", "PASV", "ALLO 0", "STOR up.bin"});
    QTest::newRow("put-file-device")
        << "put-device" << QStringList({"TYPE A", "PASV", "ALLO 5", "STOR up.txt"});
    QTest::newRow("put-sequential-device")
        << "put-sequential" << QStringList({"TYPE I", "PASV", "STOR up.bin"});
}

void TestQFtpQueue::commandLines()
{
    QFETCH(QString, op);
    QFETCH(QStringList, lines);
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    QSignalSpy doneSpy(&ftp, &QFtp::done);
    QBuffer file;
    file.setData("hello");
    SequentialBuffer pipe;
    pipe.open(QIODevice::ReadOnly);
    if (op == "login-null")
        ftp.login();
    else if (op == "login-empty")
        ftp.login(QLatin1String(""), QLatin1String(""));
    else if (op == "cd")
        ftp.cd("My App_mac");
    else if (op == "mkdir")
        ftp.mkdir("new dir");
    else if (op == "rmdir")
        ftp.rmdir("old");
    else if (op == "remove")
        ftp.remove("app.zip");
    else if (op == "rename")
        ftp.rename("a b.txt", "c.txt");
    else if (op == "raw")
        ftp.rawCommand(" NOOP  ");
    else if (op == "list")
        ftp.list();
    else if (op == "list-dir")
        ftp.list("Bin");
    else if (op == "get-ascii")
        ftp.get("version.ver", nullptr, QFtp::Ascii);
    else if (op == "get")
        ftp.get("app.zip");
    else if (op == "put-bytes")
        ftp.put(QByteArray(), "up.bin");
    else if (op == "put-device")
        ftp.put(&file, "up.txt", QFtp::Ascii);
    else if (op == "put-sequential")
        ftp.put(&pipe, "up.bin");
    QStringList seen;
    while (seen.size() < lines.size()) {
        const QByteArray line = server.nextLine(2000);
        if (line.isNull())
            break;
        seen << QString::fromLatin1(line);
        // Every transfer is refused at its last line, so no data has to flow.
        if (line == "PASV")
            server.send(data.pasvReply());
        else if (line.startsWith("USER"))
            server.send("331 password please\r\n");
        else if (line.startsWith("RNFR"))
            server.send("350 ready for RNTO\r\n");
        else if (line.startsWith("SIZE") || line.startsWith("LIST") || line.startsWith("RETR")
            || line.startsWith("STOR"))
            server.send("550 refused\r\n");
        else if (line.startsWith("ALLO"))
            server.send("202 superfluous\r\n");
        else
            server.send("250 okay\r\n");
    }
    QCOMPARE(seen, lines);
    QTRY_COMPARE(doneSpy.count(), 1);
}

void TestQFtpQueue::modeChosenWhenQueued()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    QSignalSpy doneSpy(&ftp, &QFtp::done);
    ftp.list();
    ftp.setTransferMode(QFtp::Active);
    ftp.list();
    QCOMPARE(server.nextLine(), QByteArray("TYPE A"));
    server.send("200 ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    // Refused: the failure drops the rest of the queue, so queue it again.
    server.send("500 no passive here\r\n");
    QVERIFY(doneSpy.wait());
    ftp.list();
    QCOMPARE(server.nextLine(), QByteArray("TYPE A"));
    server.send("200 ok\r\n");
    QVERIFY(server.nextLine().startsWith("PORT 127,0,0,1,"));
    server.send("500 no active either\r\n");
    QTRY_COMPARE(doneSpy.count(), 2);
}

void TestQFtpQueue::download_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("preliminary");
    QTest::addColumn<bool>("pasvPeriod");
    QTest::addColumn<QString>("order");
    const QByteArray multi("220-Welcome\r\n220-Second line\r\n220 Ready\r\n");
    QTest::newRow("150-period-complete-after-close")
        << QByteArray("220 ready\r\n") << QByteArray("150 Opening BINARY mode.\r\n") << true
        << "after-close";
    QTest::newRow("125-no-period-complete-after-close")
        << QByteArray("220 ready\r\n") << QByteArray("125 Data connection open.\r\n") << false
        << "after-close";
    QTest::newRow("multiline-greeting-complete-before-read")
        << multi << QByteArray("150 Here it comes.\r\n") << true << "before-read";
    QTest::newRow("complete-before-data")
        << QByteArray("220 ready\r\n") << QByteArray("150 Here it comes.\r\n") << false
        << "before-data";
}

void TestQFtpQueue::download()
{
    QFETCH(QByteArray, greeting);
    QFETCH(QByteArray, preliminary);
    QFETCH(bool, pasvPeriod);
    QFETCH(QString, order);
    const QByteArray payload("1.2.3\nversion file\n");
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtp ftp;
    Recorder rec(&ftp);
    QList<QPair<qint64, qint64>> progress;
    connect(&ftp, &QFtp::dataTransferProgress, this, [&](qint64 done, qint64 total) {
        progress.append({done, total});
    });
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const int c = ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    const int l = ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
    const int g = ftp.get(QStringLiteral("version.ver"), &sink);
    QVERIFY(server.waitForClient());
    server.send(greeting);
    QCOMPARE(server.nextLine(), QByteArray("USER marvoline"));
    // Logged in without a password: the PASS line is not sent.
    server.send("230 no password needed\r\n");
    QCOMPARE(server.nextLine(), QByteArray("TYPE I"));
    server.send("200 Switching to Binary mode.\r\n");
    QCOMPARE(server.nextLine(), QByteArray("SIZE version.ver"));
    server.send("213 " + QByteArray::number(payload.size()) + "\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    QByteArray pasv = data.pasvReply();
    if (!pasvPeriod)
        pasv.replace(").", ")");
    server.send(pasv);
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR version.ver"));
    server.send(preliminary);
    if (order == "before-data") {
        server.send("226 Transfer complete.\r\n");
        QTest::qWait(20); // let the completion arrive ahead of the data
        data.send(payload);
        data.close();
    } else if (order == "before-read") {
        data.send(payload);
        server.send("226 Transfer complete.\r\n");
        data.close();
    } else {
        data.send(payload);
        data.close();
        QTRY_COMPARE(data.client()->state(), QAbstractSocket::UnconnectedState);
        server.send("226 Transfer complete.\r\n");
    }
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(sink.data(), payload);
    QCOMPARE(rec.without("state"),
        QStringList(
            {started(c), finished(c), started(l), finished(l), started(g), finished(g), done()}));
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last(), qMakePair(qint64(payload.size()), qint64(payload.size())));
    QVERIFY(sink.isOpen()); // borrowed: never closed by the client
}

void TestQFtpQueue::activeDownloadCompletedBeforeAccepted()
{
    // In active mode the server connects, sends, closes and answers 226; the
    // client may see the 226 before it has accepted the data connection.
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    QByteArray read;
    connect(&ftp, &QFtp::readyRead, this, [&] { read += ftp.readAll(); });
    ftp.setTransferMode(QFtp::Active);
    const int g = ftp.get(QStringLiteral("version.ver"));
    QCOMPARE(server.nextLine(), QByteArray("TYPE I"));
    server.send("200 ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("SIZE version.ver"));
    server.send("213 6\r\n");
    const QByteArray port = server.nextLine();
    QVERIFY(port.startsWith("PORT 127,0,0,1,"));
    const QList<QByteArray> parts = port.mid(5).split(',');
    server.send("200 PORT command successful.\r\n");
    QCOMPARE(server.nextLine(), QByteArray("RETR version.ver"));
    // All of it before the client gets back to its event loop.
    QTcpSocket data;
    data.connectToHost(
        QHostAddress::LocalHost, quint16(parts[4].toUInt() * 256 + parts[5].toUInt()));
    QVERIFY(data.waitForConnected(5000));
    data.write("1.0.3\n");
    QVERIFY(data.waitForBytesWritten(5000));
    data.disconnectFromHost();
    server.send("150 Opening BINARY mode data connection.\r\n226 Transfer complete.\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(tail(rec.events, 3), QStringList({started(g), finished(g), done()}));
    QCOMPARE(read + ftp.readAll(), QByteArray("1.0.3\n"));
}

void TestQFtpQueue::uploadCompletedAfterDataClosed()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    const QByteArray payload(100000, 'x');
    const int id = ftp.put(payload, QStringLiteral("up.bin"));
    QCOMPARE(server.nextLine(), QByteArray("TYPE I"));
    server.send("200 ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QCOMPARE(server.nextLine(), QByteArray("ALLO 100000"));
    server.send("500 ALLO not understood\r\n"); // refused: ignored
    QCOMPARE(server.nextLine(), QByteArray("STOR up.bin"));
    server.send("150 Ok to send data.\r\n");
    QCOMPARE(data.receiveAll(), payload);
    QCOMPARE(rec.count("finished"), 0);
    server.send("226 Transfer complete.\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events, QStringList({started(id), finished(id), done()}));
    QCOMPARE(ftp.error(), QFtp::NoError);
}

void TestQFtpQueue::downloadWithoutDeviceAndLeftoverDiscarded()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    QList<qint64> totals;
    connect(
        &ftp, &QFtp::dataTransferProgress, this, [&](qint64, qint64 total) { totals << total; });
    QSignalSpy readySpy(&ftp, &QFtp::readyRead);
    const int g = ftp.get(QStringLiteral("notes.txt"));
    QCOMPARE(server.nextLine(), QByteArray("TYPE I"));
    server.send("200 ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("SIZE notes.txt"));
    server.send("550 Could not get file size.\r\n"); // no size: not a failure
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR notes.txt"));
    server.send("150 Here it comes.\r\n");
    data.send("never read");
    data.close();
    server.send("226 Transfer complete.\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events, QStringList({started(g), finished(g), done()}));
    QVERIFY(!readySpy.isEmpty());
    QVERIFY(!totals.isEmpty());
    QCOMPARE(totals.last(), qint64(0));
    QCOMPARE(ftp.bytesAvailable(), qint64(10));

    // The next command starts with nothing left over.
    qint64 availableAtStart = -1;
    connect(&ftp, &QFtp::commandStarted, this, [&] { availableAtStart = ftp.bytesAvailable(); });
    ftp.cd(QStringLiteral("x"));
    QCOMPARE(server.nextLine(), QByteArray("CWD x"));
    QCOMPARE(availableAtStart, qint64(0));
    server.send("250 ok\r\n");
    QTRY_COMPARE(rec.count("done"), 2);
}

void TestQFtpQueue::failures_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QByteArrayList>("script"); // reply for each line, in order; "" drops
    QTest::addColumn<QString>("errorString");
    QTest::addColumn<int>("error");
    QTest::newRow("refused-login")
        << "login" << QByteArrayList({"331 password please\r\n", "530 Login incorrect.\r\n"})
        << "Login failed:\nLogin incorrect." << int(QFtp::UnknownError);
    QTest::newRow("missing-folder")
        << "cd" << QByteArrayList({"550 Failed to change directory.\r\n"})
        << "Changing directory failed:\nFailed to change directory." << int(QFtp::UnknownError);
    QTest::newRow("missing-file") << "get"
                                  << QByteArrayList(
                                         {"200 ok\r\n", "550 Could not get file size.\r\n", "PASV",
                                             "550 Failed to open file.\r\n"})
                                  << "Downloading file failed:\nFailed to open file."
                                  << int(QFtp::UnknownError);
    QTest::newRow("list-refused") << "list"
                                  << QByteArrayList({"200 ok\r\n", "PASV", "550 No listing.\r\n"})
                                  << "Listing directory failed:\nNo listing."
                                  << int(QFtp::UnknownError);
    QTest::newRow("mkdir-refused")
        << "mkdir" << QByteArrayList({"550 Create directory operation failed.\r\n"})
        << "Creating directory failed:\nCreate directory operation failed."
        << int(QFtp::UnknownError);
    QTest::newRow("rmdir-refused")
        << "rmdir" << QByteArrayList({"550 Remove failed.\r\n"})
        << "Removing directory failed:\nRemove failed." << int(QFtp::UnknownError);
    QTest::newRow("remove-refused")
        << "remove" << QByteArrayList({"550 Delete failed.\r\n"})
        << "Removing file failed:\nDelete failed." << int(QFtp::UnknownError);
    QTest::newRow("put-refused") << "put"
                                 << QByteArrayList({"200 ok\r\n", "PASV", "200 ok\r\n",
                                        "553 Could not create.\r\n"})
                                 << "Uploading file failed:\nCould not create."
                                 << int(QFtp::UnknownError);
    QTest::newRow("rename-refused") << "rename" << QByteArrayList({"550 RNFR command failed.\r\n"})
                                    << "RNFR command failed." << int(QFtp::UnknownError);
    QTest::newRow("202-is-a-failure")
        << "cd" << QByteArrayList({"202 Command not implemented.\r\n"})
        << "Changing directory failed:\nCommand not implemented." << int(QFtp::UnknownError);
    QTest::newRow("control-connection-lost")
        << "cd" << QByteArrayList({""})
        << "Changing directory failed:\nConnection closed by host 127.0.0.1"
        << int(QFtp::UnknownError);
}

void TestQFtpQueue::failures()
{
    QFETCH(QString, op);
    QFETCH(QByteArrayList, script);
    QFETCH(QString, errorString);
    QFETCH(int, error);
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtp ftp;
    Recorder rec(&ftp);
    const int c = ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(server.waitForClient());
    server.send("220 ready\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    int id = 0;
    if (op == "login")
        id = ftp.login(QStringLiteral("marvoline"), QStringLiteral("wrong"));
    else if (op == "cd")
        id = ftp.cd(QStringLiteral("missing"));
    else if (op == "get")
        id = ftp.get(QStringLiteral("missing.ver"));
    else if (op == "list")
        id = ftp.list(QStringLiteral("missing"));
    else if (op == "mkdir")
        id = ftp.mkdir(QStringLiteral("x"));
    else if (op == "rmdir")
        id = ftp.rmdir(QStringLiteral("x"));
    else if (op == "remove")
        id = ftp.remove(QStringLiteral("x"));
    else if (op == "put")
        id = ftp.put(QByteArray("abc"), QStringLiteral("x"));
    else if (op == "rename")
        id = ftp.rename(QStringLiteral("x"), QStringLiteral("y"));
    const int behind = ftp.cd(QStringLiteral("never"));
    for (const QByteArray &reply : script) {
        QVERIFY(!server.nextLine().isNull());
        if (reply == "PASV")
            server.send(data.pasvReply());
        else if (reply.isEmpty())
            server.dropClient();
        else
            server.send(reply);
    }
    QTRY_COMPARE(rec.count("done"), 2);
    QCOMPARE(
        rec.without("state").mid(3), QStringList({started(id), finished(id, true), done(true)}));
    QVERIFY(!rec.events.contains(started(behind)));
    QCOMPARE(ftp.errorString(), errorString);
    QCOMPARE(int(ftp.error()), error);
    QCOMPARE(rec.events.first(), started(c));
    if (!script.last().isEmpty())
        QVERIFY(server.noLineWithin(100));
}

void TestQFtpQueue::serverGoneMidDownload()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const int g = ftp.get(QStringLiteral("app.zip"), &sink);
    const int behind = ftp.cd(QStringLiteral("never"));
    QCOMPARE(server.nextLine(), QByteArray("TYPE I"));
    server.send("200 ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("SIZE app.zip"));
    server.send("213 1000000\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR app.zip"));
    server.send("150 Opening BINARY mode data connection for app.zip (1000000 bytes).\r\n");
    data.send(QByteArray(4096, 'z'));
    QTRY_VERIFY(sink.size() > 0);
    // The server goes: control connection first, the data connection stays
    // half-open, as after a crash on the far side.
    server.dropClient();
    QTRY_COMPARE_WITH_TIMEOUT(rec.count("done"), 1, 10000);
    QCOMPARE(rec.without("state"), QStringList({started(g), finished(g, true), done(true)}));
    QVERIFY(!rec.events.contains(started(behind)));
    QVERIFY(ftp.errorString().startsWith(QStringLiteral("Downloading file failed:\n")));
    QCOMPARE(ftp.state(), QFtp::Unconnected);
}

void TestQFtpQueue::destructorSendsNoQuitAndStartsNothing()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    auto *ftp = new QFtp;
    QVERIFY(connectAndLogin(*ftp, server));
    int startedAfter = 0;
    connect(ftp, &QFtp::commandStarted, this, [&] { ++startedAfter; });
    delete ftp; // its close() is queued into an empty queue
    QVERIFY(server.noLineWithin(200));
    QCOMPARE(startedAfter, 0);

    // Never connected at all: the start its close() scheduled must not run.
    {
        QFtp idle;
    }
    QTest::qWait(10);
}

void TestQFtpQueue::abortDuringDownload()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtp ftp;
    QVERIFY(connectAndLogin(ftp, server));
    Recorder rec(&ftp);
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const int g = ftp.get(QStringLiteral("app.zip"), &sink);
    const int behind = ftp.cd(QStringLiteral("never"));
    QCOMPARE(server.nextLine(), QByteArray("TYPE I"));
    server.send("200 ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("SIZE app.zip"));
    server.send("213 1000000\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR app.zip"));
    server.send("150 Opening BINARY mode data connection.\r\n");
    data.send(QByteArray(1000, 'z'));
    QTRY_VERIFY(sink.size() > 0);
    ftp.abort();
    QVERIFY(!ftp.hasPendingCommands());
    QCOMPARE(server.nextLine(), QByteArray("ABOR"));
    data.close();
    server.send("426 Connection closed; transfer aborted.\r\n226 Abort successful.\r\n");
    QTRY_COMPARE(rec.count("done"), 1);
    QCOMPARE(rec.events, QStringList({started(g), finished(g, true), done(true)}));
    QVERIFY(!rec.events.contains(started(behind)));
    QCOMPARE(ftp.errorString(),
        QStringLiteral("Downloading file failed:\nConnection closed; transfer aborted."));
    // The reply to ABOR was swallowed; the next command gets its own reply.
    const int cd = ftp.cd(QStringLiteral("next"));
    QCOMPARE(server.nextLine(), QByteArray("CWD next"));
    server.send("250 ok\r\n");
    QTRY_COMPARE(rec.count("done"), 2);
    QCOMPARE(tail(rec.events, 3), QStringList({started(cd), finished(cd), done()}));
}

void TestQFtpQueue::destructorDuringDownload()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    auto *ftp = new QFtp;
    QVERIFY(connectAndLogin(*ftp, server));
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    ftp->get(QStringLiteral("app.zip"), &sink);
    ftp->cd(QStringLiteral("never"));
    QCOMPARE(server.nextLine(), QByteArray("TYPE I"));
    server.send("200 ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("SIZE app.zip"));
    server.send("213 1000000\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR app.zip"));
    server.send("150 Opening BINARY mode data connection.\r\n");
    data.send(QByteArray(1000, 'z'));
    QTRY_VERIFY(sink.size() > 0);
    // Deleted from a slot of its own, as a window closing mid-download would.
    QSignalSpy destroyed(ftp, &QObject::destroyed);
    connect(ftp, &QFtp::dataTransferProgress, ftp, &QObject::deleteLater);
    data.send(QByteArray(1000, 'y'));
    QVERIFY(destroyed.wait());
    // The connection goes with the object (an ABOR written just before may
    // be lost with it); the queued close sends no QUIT.
    QTRY_VERIFY(!server.client() || server.client()->state() == QAbstractSocket::UnconnectedState);
    server.noLineWithin(50);
    QVERIFY(!server.unreadLines().contains("QUIT"));
    QVERIFY(sink.isOpen());
}

QTEST_GUILESS_MAIN(TestQFtpQueue)
#include "tst_qftpqueue.moc"
