#include "qftp.h"
#include "scriptedserver.h"

#include <QBuffer>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <functional>

// An operation a data row queues on a client; returns its id.
using QueueOp = std::function<int(QFtp &)>;
Q_DECLARE_METATYPE(QueueOp)

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
    void closeHandshake_data();
    void closeHandshake();
    void dataConnectionRefusedThenNextCommandRuns();
    void uploadDeviceThatCannotBeOpened();
    void loginThroughProxy_data();
    void loginThroughProxy();
    void rawCommandReplies();
    void commandLines_data();
    void commandLines();
    void modeChosenWhenQueued();
    void restart_data();
    void restart();
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
    void nestedLoopCaller_data();
    void nestedLoopCaller();
    void noFailureReportedAsSuccess_data();
    void noFailureReportedAsSuccess();
    void unsendableArguments_data();
    void unsendableArguments();
    void abortInEachState_data();
    void abortInEachState();
    void timeLimits_data();
    void timeLimits();
    void movingTransferNeverExpires();
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

// The server's side of a conversation: each step is the line the client
// must send next and the reply to it.
using Dialogue = QVector<QPair<QByteArray, QByteArray>>;

const Dialogue loginDialogue
    = {{"USER marvoline", "331 password please\r\n"}, {"PASS qd4739", "230 welcome\r\n"}};

// Plays the steps in order; reports the first line that differs and stops there.
bool converse(ScriptedServer &server, const Dialogue &steps)
{
    for (const auto &step : steps) {
        if (!QTest::qCompare(server.nextLine(), step.first, "server.nextLine()",
                step.first.constData(), __FILE__, __LINE__))
            return false;
        server.send(step.second);
    }
    return true;
}

// Waits for the client's connection and greets it.
bool greet(ScriptedServer &server, const QByteArray &greeting = "220 ready\r\n")
{
    if (!QTest::qVerify(server.waitForClient(), "server.waitForClient()", "", __FILE__, __LINE__))
        return false;
    server.send(greeting);
    return true;
}

// Plays a passive binary download of name up to the server's preliminary
// reply: the type, the size, the data connection taken, then the RETR.
bool passiveDownload(ScriptedServer &server, DataServer &data, const QByteArray &name,
    const QByteArray &sizeReply, const QByteArray &preliminary)
{
    return converse(server,
               {{"TYPE I", "200 ok\r\n"}, {"SIZE " + name, sizeReply}, {"PASV", data.pasvReply()}})
        && QTest::qVerify(data.waitForClient(), "data.waitForClient()", "", __FILE__, __LINE__)
        && converse(server, {{"RETR " + name, preliminary}});
}

// Plays the server's side of a download of app.zip into sink, queued
// before, until its first bytes have arrived.
bool downloadUnderWay(ScriptedServer &server, DataServer &data, const QBuffer &sink,
    const QByteArray &preliminary, int bytes)
{
    if (!passiveDownload(server, data, "app.zip", "213 1000000\r\n", preliminary))
        return false;
    data.send(QByteArray(bytes, 'z'));
    return QTest::qVerify(QTest::qWaitFor([&] { return sink.size() > 0; }), "sink.size() > 0", "",
        __FILE__, __LINE__);
}

// Connects and logs in against the scripted server; reports any unexpected
// line.
bool connectAndLogin(QFtp &ftp, ScriptedServer &server)
{
    QSignalSpy doneSpy(&ftp, &QFtp::done);
    ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
    return greet(server) && converse(server, loginDialogue)
        && (doneSpy.wait(5000) || doneSpy.count() == 1);
}

// A client whose signals are recorded, a scripted control peer and a data
// peer for passive transfers.
struct Scripted
{
    ScriptedServer server;
    DataServer data;
    QFtp ftp;
    Recorder rec {&ftp};

    bool listen() { return server.listen() && data.listen(); }
    // Queues a connect to the control peer; returns its id.
    int connectToHost() { return ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port()); }
    // Listens, connects and logs in; what is recorded starts after it.
    bool logIn()
    {
        if (!listen() || !connectAndLogin(ftp, server))
            return false;
        rec.events.clear();
        return true;
    }
};

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
    using QBuffer::QBuffer;
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
        QStringList({started(id), state(QFtp::Closing), state(QFtp::Unconnected),
            finished(id, true), done(true)}));
    QCOMPARE(ftp.error(), QFtp::NotConnected);
    QCOMPARE(ftp.errorString(), QStringLiteral("Not connected"));
    QCOMPARE(ftp.state(), QFtp::Unconnected);
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
    Scripted s;
    QVERIFY(s.listen());
    const int c = s.connectToHost();
    const int l = s.ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
    const int cd = s.ftp.cd(QStringLiteral("App_mac"));
    QVERIFY(greet(s.server));
    QVERIFY(converse(s.server, loginDialogue + Dialogue {{"CWD App_mac", "250 okay\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events,
        QStringList({started(c), state(QFtp::HostLookup), state(QFtp::Connecting),
            state(QFtp::Connected), finished(c), started(l), state(QFtp::LoggedIn), finished(l),
            started(cd), finished(cd), done()}));
    QCOMPARE(s.ftp.state(), QFtp::LoggedIn);
    QCOMPARE(s.ftp.error(), QFtp::NoError);
}

void TestQFtpQueue::commandQueuedFromCommandFinishedStartsInChain()
{
    Scripted s;
    QVERIFY(s.listen());
    const int c = s.connectToHost();
    int queued = 0;
    int idInSlot = 0;
    connect(&s.ftp, &QFtp::commandFinished, this, [&](int id) {
        if (id != c)
            return;
        idInSlot = s.ftp.currentId();
        // Anything that needs the event loop runs after the queued command started.
        QTimer::singleShot(0, this, [&] { s.rec.events << QStringLiteral("loop"); });
        queued = s.ftp.login();
    });
    QVERIFY(greet(s.server));
    QCOMPARE(s.server.nextLine(), QByteArray("USER anonymous"));
    QCOMPARE(idInSlot, c);
    QCOMPARE(s.rec.events.mid(s.rec.events.indexOf(finished(c)), 3),
        QStringList({finished(c), started(queued), QStringLiteral("loop")}));
    QCOMPARE(s.rec.count("done"), 0);
    s.server.send("230 welcome\r\n");
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(tail(s.rec.events, 2), QStringList({finished(queued), done()}));
}

void TestQFtpQueue::commandQueuedFromDoneStartsOnNextPass()
{
    Scripted s;
    QVERIFY(s.listen());
    const int c = s.connectToHost();
    int queued = 0;
    connect(&s.ftp, &QFtp::done, this, [&] {
        if (queued)
            return;
        QTimer::singleShot(0, this, [&] { s.rec.events << QStringLiteral("loop"); });
        queued = s.ftp.login();
        s.rec.events << QStringLiteral("queued");
    });
    QVERIFY(greet(s.server));
    QCOMPARE(s.server.nextLine(), QByteArray("USER anonymous"));
    QCOMPARE(s.rec.events.mid(s.rec.events.indexOf(finished(c))),
        QStringList({finished(c), done(), QStringLiteral("queued"), QStringLiteral("loop"),
            started(queued)}));
}

void TestQFtpQueue::secondOfFiveFails()
{
    Scripted s;
    QVERIFY(s.logIn());
    QList<int> ids;
    for (const char *dir : {"a", "b", "c", "d", "e"})
        ids << s.ftp.cd(QString::fromLatin1(dir));
    QVERIFY(converse(
        s.server, {{"CWD a", "250 okay\r\n"}, {"CWD b", "550 Failed to change directory.\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events,
        QStringList({started(ids[0]), finished(ids[0]), started(ids[1]), finished(ids[1], true),
            done(true)}));
    QVERIFY(s.server.noLineWithin(200));
    QCOMPARE(s.rec.events.size(), 5);
    QCOMPARE(s.ftp.error(), QFtp::UnknownError);
    QCOMPARE(s.ftp.errorString(),
        QStringLiteral("Changing directory failed:\nFailed to change directory."));
    QCOMPARE(s.ftp.currentId(), 0);
}

void TestQFtpQueue::doneDrivenQueueRunsEachCommandOnce()
{
    // The update window's pattern: the next command is queued from done,
    // whether the one before failed or not.
    Scripted s;
    QVERIFY(s.logIn());
    QFtp &ftp = s.ftp;
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
    QVERIFY(converse(s.server,
        {{"CWD missing", "550 Failed to change directory.\r\n"}, {"CWD good", "550 Still no.\r\n"},
            {"MKD made", "257 created\r\n"}, {"RMD made", "250 removed\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 4);
    QVERIFY(s.server.noLineWithin(200));
    QCOMPARE(ids.size(), 4);
    QCOMPARE(s.rec.events,
        QStringList({started(ids[0]), finished(ids[0], true), done(true), started(ids[1]),
            finished(ids[1], true), done(true), started(ids[2]), finished(ids[2]), done(),
            started(ids[3]), finished(ids[3]), done()}));
}

void TestQFtpQueue::loginQueuedFromDoneAfterGreetingRunsOnce()
{
    Scripted s;
    QVERIFY(s.listen());
    int login = 0;
    int cd = 0;
    connect(&s.ftp, &QFtp::done, this, [&] {
        if (!login)
            login = s.ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
        else if (!cd)
            cd = s.ftp.cd(QStringLiteral("App_mac"));
    });
    const int c = s.connectToHost();
    QVERIFY(greet(s.server));
    QVERIFY(converse(s.server, loginDialogue + Dialogue {{"CWD App_mac", "250 okay\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 3);
    QVERIFY(s.server.noLineWithin(200));
    QCOMPARE(s.rec.without("state"),
        QStringList({started(c), finished(c), done(), started(login), finished(login), done(),
            started(cd), finished(cd), done()}));
}

void TestQFtpQueue::closeHandshake_data()
{
    QTest::addColumn<bool>("answered");
    QTest::newRow("goodbye-then-hang-up") << true;
    // Some servers just hang up on QUIT; the close must not wait for an answer.
    QTest::newRow("hang-up-unanswered") << false;
}

void TestQFtpQueue::closeHandshake()
{
    QFETCH(bool, answered);
    Scripted s;
    QVERIFY(s.logIn());
    const int id = s.ftp.close();
    QCOMPARE(s.server.nextLine(), QByteArray("QUIT"));
    if (answered) {
        // The answer ends the session: the client closes, whether or not
        // the server does.
        s.server.send("221 Goodbye.\r\n");
        QTRY_COMPARE(s.server.client()->state(), QAbstractSocket::UnconnectedState);
    } else {
        s.server.dropClient();
    }
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events,
        QStringList(
            {started(id), state(QFtp::Closing), state(QFtp::Unconnected), finished(id), done()}));
    QCOMPARE(s.ftp.state(), QFtp::Unconnected);
}

void TestQFtpQueue::dataConnectionRefusedThenNextCommandRuns()
{
    Scripted s;
    QVERIFY(s.logIn());
    int next = 0;
    QFtp::Error error = QFtp::NoError;
    QString errorString;
    connect(&s.ftp, &QFtp::done, this, [&] {
        if (next)
            return;
        // Valid until the next command starts.
        error = s.ftp.error();
        errorString = s.ftp.errorString();
        next = s.ftp.cd(QStringLiteral("after"));
    });
    const int l = s.ftp.list();
    const quint16 port = freePort();
    QVERIFY(converse(s.server,
        {{"TYPE A", "200 ok\r\n"},
            {"PASV",
                "227 Entering Passive Mode (127,0,0,1," + QByteArray::number(port >> 8) + ","
                    + QByteArray::number(port & 0xff) + ").\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events.mid(0, 3), QStringList({started(l), finished(l, true), done(true)}));
    QCOMPARE(error, QFtp::ConnectionRefused);
    QCOMPARE(errorString,
        QStringLiteral("Listing directory failed:\nConnection refused for data connection"));
    // The connection is still good for the next command.
    QVERIFY(converse(s.server, {{"CWD after", "250 ok\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 2);
    QCOMPARE(tail(s.rec.events, 3), QStringList({started(next), finished(next), done()}));
}

void TestQFtpQueue::uploadDeviceThatCannotBeOpened()
{
    Scripted s;
    QVERIFY(s.logIn());
    QFile missing(QStringLiteral("/nonexistent-folder/upload.bin"));
    const int id = s.ftp.put(&missing, QStringLiteral("upload.bin"));
    const int behind = s.ftp.cd(QStringLiteral("never"));
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events, QStringList({started(id), finished(id, true), done(true)}));
    QVERIFY(!s.rec.events.contains(started(behind)));
    QVERIFY(s.ftp.errorString().startsWith(QStringLiteral("Uploading file failed:\n")));
    // Nothing reached the server: no STOR for which no data would ever come.
    QVERIFY(s.server.noLineWithin(100));
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
    QVERIFY(greet(proxy, "220 proxy ready\r\n"));
    QVERIFY(converse(
        proxy, {{userLine, "331 password please\r\n"}, {"PASS qd4739", "230 welcome\r\n"}}));
    QVERIFY(doneSpy.wait());
    QCOMPARE(doneSpy.first().first().toBool(), false);
}

void TestQFtpQueue::rawCommandReplies()
{
    Scripted s;
    QVERIFY(s.logIn());
    const int help = s.ftp.rawCommand(QStringLiteral("  HELP SITE \t"));
    // A raw PASV is the caller's business: its reply opens no data connection.
    const int pasv = s.ftp.rawCommand(QStringLiteral("PASV"));
    QVERIFY(converse(s.server,
        {{"HELP SITE",
             "214-The following commands are recognized.\r\n CHMOD UMASK\r\n214 Help OK.\r\n"},
            {"PASV", "227 Entering Passive Mode (127,0,0,1,4,1).\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events,
        QStringList({started(help),
            QStringLiteral("raw 214 The following commands are recognized.\r\n "
                           "CHMOD UMASK\r\nHelp OK."),
            finished(help), started(pasv),
            QStringLiteral("raw 227 Entering Passive Mode (127,0,0,1,4,1)."), finished(pasv),
            done()}));
    // A refused raw command fails with the server's text unchanged.
    const int bad = s.ftp.rawCommand(QStringLiteral("XYZZY"));
    QVERIFY(converse(s.server, {{"XYZZY", "500 Unknown command.\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 2);
    QCOMPARE(tail(s.rec.events, 3),
        QStringList({QStringLiteral("raw 500 Unknown command."), finished(bad, true), done(true)}));
    QCOMPARE(s.ftp.errorString(), QStringLiteral("Unknown command."));
}

void TestQFtpQueue::commandLines_data()
{
    QTest::addColumn<QueueOp>("op");
    QTest::addColumn<QStringList>("lines");
    const auto row = [](const char *name, const QueueOp &op, const QStringList &lines) {
        QTest::newRow(name) << op << lines;
    };
    row("login-null", [](QFtp &f) { return f.login(); }, {"USER anonymous", "PASS anonymous@"});
    row("login-empty", [](QFtp &f) { return f.login(QLatin1String(""), QLatin1String("")); },
        {"USER ", "PASS "});
    row("cd-spaces", [](QFtp &f) { return f.cd("My App_mac"); }, {"CWD My App_mac"});
    row("mkdir", [](QFtp &f) { return f.mkdir("new dir"); }, {"MKD new dir"});
    row("rmdir", [](QFtp &f) { return f.rmdir("old"); }, {"RMD old"});
    row("remove", [](QFtp &f) { return f.remove("app.zip"); }, {"DELE app.zip"});
    row("rename", [](QFtp &f) { return f.rename("a b.txt", "c.txt"); },
        {"RNFR a b.txt", "RNTO c.txt"});
    row("raw", [](QFtp &f) { return f.rawCommand(" NOOP  "); }, {"NOOP"});
    row("list-empty", [](QFtp &f) { return f.list(); }, {"TYPE A", "PASV", "LIST"});
    row("list-dir", [](QFtp &f) { return f.list("Bin"); }, {"TYPE A", "PASV", "LIST Bin"});
    row("get-ascii", [](QFtp &f) { return f.get("version.ver", nullptr, QFtp::Ascii); },
        {"TYPE A", "SIZE version.ver", "PASV", "RETR version.ver"});
    row("get-binary", [](QFtp &f) { return f.get("app.zip"); },
        {"TYPE I", "SIZE app.zip", "PASV", "RETR app.zip"});
    // REST right before RETR: servers forget it at any other command.
    row("get-from-offset", [](QFtp &f) { return f.get("app.zip", nullptr, QFtp::Binary, 100); },
        {"TYPE I", "SIZE app.zip", "PASV", "REST 100", "RETR app.zip"});
    row("get-from-zero", [](QFtp &f) { return f.get("app.zip", nullptr, QFtp::Binary, 0); },
        {"TYPE I", "SIZE app.zip", "PASV", "RETR app.zip"});
    row("size", [](QFtp &f) { return f.size("app.zip"); }, {"TYPE I", "SIZE app.zip"});
    row("modification-time", [](QFtp &f) { return f.modificationTime("app.zip"); },
        {"MDTM app.zip"});
    row("put-empty-bytes", [](QFtp &f) { return f.put(QByteArray(), "up.bin"); },
        {"TYPE I", "PASV", "ALLO 0", "STOR up.bin"});
    // The devices belong to the client, so that they outlive it.
    row("put-file-device",
        [](QFtp &f) {
            auto *file = new QBuffer(&f);
            file->setData("hello");
            return f.put(file, "up.txt", QFtp::Ascii);
        },
        {"TYPE A", "PASV", "ALLO 5", "STOR up.txt"});
    row("put-sequential-device",
        [](QFtp &f) {
            auto *pipe = new SequentialBuffer(&f);
            pipe->open(QIODevice::ReadOnly);
            return f.put(pipe, "up.bin");
        },
        {"TYPE I", "PASV", "STOR up.bin"});
}

void TestQFtpQueue::commandLines()
{
    QFETCH(QueueOp, op);
    QFETCH(QStringList, lines);
    Scripted s;
    QVERIFY(s.logIn());
    QSignalSpy doneSpy(&s.ftp, &QFtp::done);
    op(s.ftp);
    QStringList seen;
    while (seen.size() < lines.size()) {
        const QByteArray line = s.server.nextLine(2000);
        if (line.isNull())
            break;
        seen << QString::fromLatin1(line);
        // Every transfer is refused at its last line, so no data has to flow.
        if (line == "PASV")
            s.server.send(s.data.pasvReply());
        else if (line.startsWith("USER"))
            s.server.send("331 password please\r\n");
        else if (line.startsWith("RNFR"))
            s.server.send("350 ready for RNTO\r\n");
        else if (line.startsWith("SIZE") || line.startsWith("LIST") || line.startsWith("RETR")
            || line.startsWith("STOR"))
            s.server.send("550 refused\r\n");
        else if (line.startsWith("ALLO"))
            s.server.send("202 superfluous\r\n");
        else
            s.server.send("250 okay\r\n");
    }
    QCOMPARE(seen, lines);
    QTRY_COMPARE(doneSpy.count(), 1);
}

void TestQFtpQueue::modeChosenWhenQueued()
{
    Scripted s;
    QVERIFY(s.logIn());
    QSignalSpy doneSpy(&s.ftp, &QFtp::done);
    s.ftp.list();
    s.ftp.setTransferMode(QFtp::Active);
    s.ftp.list();
    // Refused: the failure drops the rest of the queue, so queue it again.
    QVERIFY(converse(s.server,
        {{"TYPE A", "200 ok\r\n"}, {"PASV", "500 no passive here\r\n"},
            {"EPSV", "500 nor extended\r\n"}}));
    QVERIFY(doneSpy.wait());
    s.ftp.list();
    QVERIFY(converse(s.server, {{"TYPE A", "200 ok\r\n"}}));
    QVERIFY(s.server.nextLine().startsWith("PORT 127,0,0,1,"));
    s.server.send("500 no active either\r\n");
    QTRY_COMPARE(doneSpy.count(), 2);
}

// A download from an offset: the bytes go on where the device stands, and
// a server that will not restart sends the whole file, which then lands at
// the device's start, never after what it held. SIZE and MDTM answered.
void TestQFtpQueue::restart_data()
{
    QTest::addColumn<QByteArray>("restReply");
    QTest::addColumn<QByteArray>("mdtmReply");
    QTest::addColumn<QDateTime>("time");
    const QDateTime time(QDate(2026, 12, 7), QTime(17, 45, 12), Qt::UTC);
    QTest::newRow("accepted") << QByteArray("350 Restarting at 4.\r\n")
                              << QByteArray("213 20261207174512\r\n") << time;
    QTest::newRow("not-implemented") << QByteArray("502 Command not implemented.\r\n")
                                     << QByteArray("213 20261207174512.250\r\n") << time;
    QTest::newRow("offset-refused") << QByteArray("554 Invalid REST parameter.\r\n")
                                    << QByteArray("550 No MDTM here.\r\n") << QDateTime();
}

void TestQFtpQueue::restart()
{
    QFETCH(QByteArray, restReply);
    QFETCH(QByteArray, mdtmReply);
    QFETCH(QDateTime, time);
    const bool refused = !restReply.startsWith("350");
    Scripted s;
    QVERIFY(s.logIn());
    QBuffer sink;
    sink.setData("abcd");
    sink.open(QIODevice::ReadWrite);
    sink.seek(4);
    QSignalSpy refusals(&s.ftp, &QFtp::restartRefused);
    QList<QPair<qint64, qint64>> progress;
    connect(&s.ftp, &QFtp::dataTransferProgress, this, [&](qint64 done, qint64 total) {
        progress.append({done, total});
    });
    const int g = s.ftp.get(QStringLiteral("app.zip"), &sink, QFtp::Binary, 4);
    QVERIFY(converse(s.server,
        {{"TYPE I", "200 ok\r\n"}, {"SIZE app.zip", "213 10\r\n"}, {"PASV", s.data.pasvReply()}}));
    QVERIFY(s.data.waitForClient());
    QVERIFY(converse(s.server, {{"REST 4", restReply}, {"RETR app.zip", "150 Here.\r\n"}}));
    s.data.send(refused ? "abcdefghij" : "efghij");
    s.data.close();
    QTRY_COMPARE(s.data.client()->state(), QAbstractSocket::UnconnectedState);
    s.server.send("226 Transfer complete.\r\n");
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events, QStringList({started(g), finished(g), done()}));
    QCOMPARE(sink.data(), QByteArray("abcdefghij"));
    QCOMPARE(refusals.count(), refused ? 1 : 0);
    QCOMPARE(progress.last(), qMakePair(qint64(10), qint64(10)));

    QCOMPARE(s.ftp.remoteSize(), qint64(-1));
    s.ftp.size(QStringLiteral("app.zip"));
    s.ftp.modificationTime(QStringLiteral("app.zip"));
    QVERIFY(converse(s.server, {{"TYPE I", "200 ok\r\n"}, {"SIZE app.zip", "213 10\r\n"}}));
    QVERIFY(converse(s.server, {{"MDTM app.zip", mdtmReply}}));
    QTRY_COMPARE(s.rec.count("done"), 2);
    QCOMPARE(s.ftp.remoteSize(), qint64(10));
    QCOMPARE(s.ftp.remoteModificationTime(), time);
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
    Scripted s;
    QVERIFY(s.listen());
    QList<QPair<qint64, qint64>> progress;
    connect(&s.ftp, &QFtp::dataTransferProgress, this, [&](qint64 done, qint64 total) {
        progress.append({done, total});
    });
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const int c = s.connectToHost();
    const int l = s.ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
    const int g = s.ftp.get(QStringLiteral("version.ver"), &sink);
    QVERIFY(greet(s.server, greeting));
    QByteArray pasv = s.data.pasvReply();
    if (!pasvPeriod)
        pasv.replace(").", ")");
    // Logged in without a password: the PASS line is not sent.
    QVERIFY(converse(s.server,
        {{"USER marvoline", "230 no password needed\r\n"},
            {"TYPE I", "200 Switching to Binary mode.\r\n"},
            {"SIZE version.ver", "213 " + QByteArray::number(payload.size()) + "\r\n"},
            {"PASV", pasv}}));
    QVERIFY(s.data.waitForClient());
    QVERIFY(converse(s.server, {{"RETR version.ver", preliminary}}));
    if (order == "before-data") {
        s.server.send("226 Transfer complete.\r\n");
        QTest::qWait(20); // let the completion arrive ahead of the data
        s.data.send(payload);
        s.data.close();
    } else if (order == "before-read") {
        s.data.send(payload);
        s.server.send("226 Transfer complete.\r\n");
        s.data.close();
    } else {
        s.data.send(payload);
        s.data.close();
        QTRY_COMPARE(s.data.client()->state(), QAbstractSocket::UnconnectedState);
        s.server.send("226 Transfer complete.\r\n");
    }
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(sink.data(), payload);
    QCOMPARE(s.rec.without("state"),
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
    Scripted s;
    QVERIFY(s.logIn());
    QByteArray read;
    connect(&s.ftp, &QFtp::readyRead, this, [&] { read += s.ftp.readAll(); });
    s.ftp.setTransferMode(QFtp::Active);
    const int g = s.ftp.get(QStringLiteral("version.ver"));
    QVERIFY(converse(s.server, {{"TYPE I", "200 ok\r\n"}, {"SIZE version.ver", "213 6\r\n"}}));
    const QByteArray port = s.server.nextLine();
    QVERIFY(port.startsWith("PORT 127,0,0,1,"));
    const QList<QByteArray> parts = port.mid(5).split(',');
    s.server.send("200 PORT command successful.\r\n");
    QCOMPARE(s.server.nextLine(), QByteArray("RETR version.ver"));
    // All of it before the client gets back to its event loop.
    QTcpSocket data;
    data.connectToHost(
        QHostAddress::LocalHost, quint16(parts[4].toUInt() * 256 + parts[5].toUInt()));
    QVERIFY(data.waitForConnected(5000));
    data.write("1.0.3\n");
    QVERIFY(data.waitForBytesWritten(5000));
    data.disconnectFromHost();
    s.server.send("150 Opening BINARY mode data connection.\r\n226 Transfer complete.\r\n");
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(tail(s.rec.events, 3), QStringList({started(g), finished(g), done()}));
    QCOMPARE(read + s.ftp.readAll(), QByteArray("1.0.3\n"));
}

void TestQFtpQueue::uploadCompletedAfterDataClosed()
{
    Scripted s;
    QVERIFY(s.logIn());
    const QByteArray payload(100000, 'x');
    const int id = s.ftp.put(payload, QStringLiteral("up.bin"));
    QVERIFY(converse(s.server,
        {{"TYPE I", "200 ok\r\n"}, {"PASV", s.data.pasvReply()},
            {"ALLO 100000", "500 ALLO not understood\r\n"}, // refused: ignored
            {"STOR up.bin", "150 Ok to send data.\r\n"}}));
    QCOMPARE(s.data.receiveAll(), payload);
    QCOMPARE(s.rec.count("finished"), 0);
    s.server.send("226 Transfer complete.\r\n");
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events, QStringList({started(id), finished(id), done()}));
    QCOMPARE(s.ftp.error(), QFtp::NoError);
}

void TestQFtpQueue::downloadWithoutDeviceAndLeftoverDiscarded()
{
    Scripted s;
    QVERIFY(s.logIn());
    QList<qint64> totals;
    connect(
        &s.ftp, &QFtp::dataTransferProgress, this, [&](qint64, qint64 total) { totals << total; });
    QSignalSpy readySpy(&s.ftp, &QFtp::readyRead);
    const int g = s.ftp.get(QStringLiteral("notes.txt"));
    // No size: not a failure.
    QVERIFY(passiveDownload(s.server, s.data, "notes.txt", "550 Could not get file size.\r\n",
        "150 Here it comes.\r\n"));
    s.data.send("never read");
    s.data.close();
    s.server.send("226 Transfer complete.\r\n");
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events, QStringList({started(g), finished(g), done()}));
    QVERIFY(!readySpy.isEmpty());
    QVERIFY(!totals.isEmpty());
    QCOMPARE(totals.last(), qint64(0));
    QCOMPARE(s.ftp.bytesAvailable(), qint64(10));

    // The next command starts with nothing left over.
    qint64 availableAtStart = -1;
    connect(
        &s.ftp, &QFtp::commandStarted, this, [&] { availableAtStart = s.ftp.bytesAvailable(); });
    s.ftp.cd(QStringLiteral("x"));
    QCOMPARE(s.server.nextLine(), QByteArray("CWD x"));
    QCOMPARE(availableAtStart, qint64(0));
    s.server.send("250 ok\r\n");
    QTRY_COMPARE(s.rec.count("done"), 2);
}

void TestQFtpQueue::failures_data()
{
    QTest::addColumn<QueueOp>("op");
    QTest::addColumn<QByteArrayList>("script"); // reply for each line, in order; "" drops
    QTest::addColumn<QString>("errorString");
    const auto row = [](const char *name, const QByteArrayList &script, const char *errorString,
                         const QueueOp &op) {
        QTest::newRow(name) << op << script << QString::fromUtf8(errorString);
    };
    const QueueOp cd = [](QFtp &f) { return f.cd("missing"); };
    row("refused-login", {"331 password please\r\n", "530 Login incorrect.\r\n"},
        "Login failed:\nLogin incorrect.", [](QFtp &f) { return f.login("marvoline", "wrong"); });
    row("missing-folder", {"550 Failed to change directory.\r\n"},
        "Changing directory failed:\nFailed to change directory.", cd);
    row("missing-file",
        {"200 ok\r\n", "550 Could not get file size.\r\n", "PASV", "550 Failed to open file.\r\n"},
        "Downloading file failed:\nFailed to open file.",
        [](QFtp &f) { return f.get("missing.ver"); });
    row("list-refused", {"200 ok\r\n", "PASV", "550 No listing.\r\n"},
        "Listing directory failed:\nNo listing.", [](QFtp &f) { return f.list("missing"); });
    row("mkdir-refused", {"550 Create directory operation failed.\r\n"},
        "Creating directory failed:\nCreate directory operation failed.",
        [](QFtp &f) { return f.mkdir("x"); });
    row("rmdir-refused", {"550 Remove failed.\r\n"}, "Removing directory failed:\nRemove failed.",
        [](QFtp &f) { return f.rmdir("x"); });
    row("remove-refused", {"550 Delete failed.\r\n"}, "Removing file failed:\nDelete failed.",
        [](QFtp &f) { return f.remove("x"); });
    row("put-refused", {"200 ok\r\n", "PASV", "200 ok\r\n", "553 Could not create.\r\n"},
        "Uploading file failed:\nCould not create.",
        [](QFtp &f) { return f.put(QByteArray("abc"), "x"); });
    row("rename-refused", {"550 RNFR command failed.\r\n"}, "RNFR command failed.",
        [](QFtp &f) { return f.rename("x", "y"); });
    row("202-is-a-failure", {"202 Command not implemented.\r\n"},
        "Changing directory failed:\nCommand not implemented.", cd);
    row("control-connection-lost", {""},
        "Changing directory failed:\nConnection closed by host 127.0.0.1", cd);
}

void TestQFtpQueue::failures()
{
    QFETCH(QueueOp, op);
    QFETCH(QByteArrayList, script);
    QFETCH(QString, errorString);
    Scripted s;
    QVERIFY(s.listen());
    const int c = s.connectToHost();
    QVERIFY(greet(s.server));
    QTRY_COMPARE(s.rec.count("done"), 1);
    const int id = op(s.ftp);
    const int behind = s.ftp.cd(QStringLiteral("never"));
    for (const QByteArray &reply : script) {
        QVERIFY(!s.server.nextLine().isNull());
        if (reply == "PASV")
            s.server.send(s.data.pasvReply());
        else if (reply.isEmpty())
            s.server.dropClient();
        else
            s.server.send(reply);
    }
    QTRY_COMPARE(s.rec.count("done"), 2);
    QCOMPARE(
        s.rec.without("state").mid(3), QStringList({started(id), finished(id, true), done(true)}));
    QVERIFY(!s.rec.events.contains(started(behind)));
    QCOMPARE(s.ftp.errorString(), errorString);
    QCOMPARE(s.ftp.error(), QFtp::UnknownError);
    QCOMPARE(s.rec.events.first(), started(c));
    if (!script.last().isEmpty())
        QVERIFY(s.server.noLineWithin(100));
}

void TestQFtpQueue::serverGoneMidDownload()
{
    Scripted s;
    QVERIFY(s.logIn());
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const int g = s.ftp.get(QStringLiteral("app.zip"), &sink);
    const int behind = s.ftp.cd(QStringLiteral("never"));
    QVERIFY(downloadUnderWay(s.server, s.data, sink,
        "150 Opening BINARY mode data connection for app.zip (1000000 bytes).\r\n", 4096));
    // The server goes: control connection first, the data connection stays
    // half-open, as after a crash on the far side.
    s.server.dropClient();
    QTRY_COMPARE_WITH_TIMEOUT(s.rec.count("done"), 1, 10000);
    QCOMPARE(s.rec.without("state"), QStringList({started(g), finished(g, true), done(true)}));
    QVERIFY(!s.rec.events.contains(started(behind)));
    QVERIFY(s.ftp.errorString().startsWith(QStringLiteral("Downloading file failed:\n")));
    QCOMPARE(s.ftp.state(), QFtp::Unconnected);
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
    Scripted s;
    QVERIFY(s.logIn());
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const int g = s.ftp.get(QStringLiteral("app.zip"), &sink);
    const int behind = s.ftp.cd(QStringLiteral("never"));
    QVERIFY(downloadUnderWay(
        s.server, s.data, sink, "150 Opening BINARY mode data connection.\r\n", 1000));
    s.ftp.abort();
    QVERIFY(!s.ftp.hasPendingCommands());
    QCOMPARE(s.server.nextLine(), QByteArray("ABOR"));
    s.data.close();
    s.server.send("426 Connection closed; transfer aborted.\r\n226 Abort successful.\r\n");
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events, QStringList({started(g), finished(g, true), done(true)}));
    QVERIFY(!s.rec.events.contains(started(behind)));
    QCOMPARE(s.ftp.errorString(),
        QStringLiteral("Downloading file failed:\nConnection closed; transfer aborted."));
    // The reply to ABOR was swallowed; the next command gets its own reply.
    const int cd = s.ftp.cd(QStringLiteral("next"));
    QVERIFY(converse(s.server, {{"CWD next", "250 ok\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), 2);
    QCOMPARE(tail(s.rec.events, 3), QStringList({started(cd), finished(cd), done()}));
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
    QVERIFY(
        downloadUnderWay(server, data, sink, "150 Opening BINARY mode data connection.\r\n", 1000));
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

void TestQFtpQueue::nestedLoopCaller_data()
{
    QTest::addColumn<QString>("waitIn");
    QTest::newRow("done") << "done";
    // Right after the greeting, the first reply the client handles.
    QTest::newRow("done-after-connect") << "connect";
}

// A common caller pattern: a slot that queues another command and waits
// for it in a local event loop. The reply must be read inside that loop,
// and the outer reply must not be acted on a second time.
void TestQFtpQueue::nestedLoopCaller()
{
    QFETCH(QString, waitIn);
    Scripted s;
    int first;
    if (waitIn == "connect") {
        QVERIFY(s.listen());
        first = s.connectToHost();
    } else {
        QVERIFY(s.logIn());
        first = s.ftp.cd(QStringLiteral("a"));
    }
    int second = 0;
    bool seenInLoop = false;
    auto wait = [&] {
        if (second)
            return;
        second = s.ftp.cd(QStringLiteral("b"));
        QEventLoop loop;
        connect(&s.ftp, &QFtp::commandFinished, &loop, [&](int id) {
            if (id == second) {
                seenInLoop = true;
                loop.quit();
            }
        });
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
    };
    connect(&s.ftp, &QFtp::done, this, wait);
    s.server.autoReply("CWD b", "250 b ok\r\n");
    if (waitIn == "connect")
        QVERIFY(greet(s.server));
    else
        QVERIFY(converse(s.server, {{"CWD a", "250 a ok\r\n"}}));
    QTRY_VERIFY(second);
    QTRY_VERIFY(seenInLoop);
    QTRY_COMPARE(s.rec.count("finished"), 2);
    QCOMPARE(s.server.nextLine(), QByteArray("CWD b"));
    QVERIFY(s.server.noLineWithin(100));
    const QStringList events = s.rec.without("state");
    QCOMPARE(events.mid(0, 2), QStringList({started(first), finished(first)}));
    QVERIFY(events.contains(started(second)));
    QVERIFY(events.contains(finished(second)));
    QVERIFY(!events.join(' ').contains(" 1")); // no failure anywhere
}

// A device whose reads fail after the first block.
class FailingSource : public QBuffer
{
public:
    using QBuffer::QBuffer;
    qint64 readData(char *data, qint64 maxlen) override
    {
        if (pos() > 0) {
            setErrorString(QStringLiteral("disk on fire"));
            return -1;
        }
        return QBuffer::readData(data, qMin<qint64>(maxlen, 100));
    }
};

void TestQFtpQueue::noFailureReportedAsSuccess_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("errorString"); // empty: a success
    QTest::newRow("truncated-then-control-closed")
        << "truncated"
        << "Downloading file failed:\nConnection closed by host 127.0.0.1";
    QTest::newRow("size-mismatch")
        << "short"
        << "Downloading file failed:\nReceived 1000 bytes of the 100000 the server announced";
    QTest::newRow("size-mismatch-ascii-is-fine") << "short-ascii" << QString();
    QTest::newRow("upload-source-read-error")
        << "upload"
        << "Uploading file failed:\nCannot read the file to upload: disk on fire";
}

void TestQFtpQueue::noFailureReportedAsSuccess()
{
    QFETCH(QString, script);
    QFETCH(QString, errorString);
    Scripted s;
    QVERIFY(s.logIn());
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    FailingSource source;
    source.setData(QByteArray(1000, 'u'));
    int id;
    if (script == "upload") {
        id = s.ftp.put(&source, QStringLiteral("up.bin"));
        QVERIFY(converse(s.server,
            {{"TYPE I", "200 ok\r\n"}, {"PASV", s.data.pasvReply()}, {"ALLO 1000", "200 ok\r\n"},
                {"STOR up.bin", "150 go ahead\r\n"}}));
        QCOMPARE(s.server.nextLine(), QByteArray("ABOR"));
        s.server.send("426 aborted\r\n226 abort ok\r\n");
    } else {
        const bool ascii = script == "short-ascii";
        id = s.ftp.get(QStringLiteral("app.zip"), &sink, ascii ? QFtp::Ascii : QFtp::Binary);
        QVERIFY(converse(s.server,
            {{ascii ? "TYPE A" : "TYPE I", "200 ok\r\n"}, {"SIZE app.zip", "213 100000\r\n"},
                {"PASV", s.data.pasvReply()}}));
        QVERIFY(s.data.waitForClient());
        QVERIFY(converse(s.server, {{"RETR app.zip", "150 here\r\n"}}));
        s.data.send(QByteArray(1000, 'z'));
        QTRY_COMPARE(sink.size(), qint64(1000));
        if (script == "truncated") {
            // 226, then the control connection goes with the data one still open.
            s.server.send("226 done\r\n");
            s.server.dropClient();
        } else {
            s.data.close();
            s.server.send("226 done\r\n");
        }
    }
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.without("state"),
        QStringList(
            {started(id), finished(id, !errorString.isEmpty()), done(!errorString.isEmpty())}));
    if (!errorString.isEmpty())
        QCOMPARE(s.ftp.errorString(), errorString);
}

void TestQFtpQueue::unsendableArguments_data()
{
    QTest::addColumn<QueueOp>("op");
    QTest::addColumn<QString>("errorString");
    const QString why = QStringLiteral("Argument holds a character that cannot be sent: ");
    QTest::newRow("cr-lf-in-folder") << QueueOp([](QFtp &f) { return f.cd("a\r\nDELE x"); })
                                     << "Changing directory failed:\n" + why + "CR";
    QTest::newRow("lf-in-file") << QueueOp([](QFtp &f) { return f.get("f\nDELE x"); })
                                << "Downloading file failed:\n" + why + "LF";
    QTest::newRow("nul-in-new-name")
        << QueueOp([](QFtp &f) { return f.rename("a", QStringLiteral("b") + QChar(0) + "c"); })
        << why + "NUL";
    QTest::newRow("crlf-inside-raw-command")
        << QueueOp([](QFtp &f) { return f.rawCommand("NOOP\r\nDELE x"); }) << why + "CR";
    QTest::newRow("outside-latin1")
        << QueueOp([](QFtp &f) { return f.login(QString::fromUtf8("m\u20acrvoline"), "pw"); })
        << "Login failed:\n" + why + "U+20ac";
}

// Nothing is sent for an argument that would inject another line or go
// out altered; the command fails as it starts.
void TestQFtpQueue::unsendableArguments()
{
    QFETCH(QueueOp, op);
    QFETCH(QString, errorString);
    Scripted s;
    QVERIFY(s.logIn());
    const int id = op(s.ftp);
    const int behind = s.ftp.cd(QStringLiteral("never"));
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events, QStringList({started(id), finished(id, true), done(true)}));
    QVERIFY(!s.rec.events.contains(started(behind)));
    QCOMPARE(s.ftp.errorString(), errorString);
    QVERIFY(s.server.noLineWithin(100));
}

void TestQFtpQueue::abortInEachState_data()
{
    QTest::addColumn<QString>("phase");
    // The server's answer once ABOR has arrived; empty when none is sent.
    QTest::addColumn<QByteArray>("afterAbor");
    QTest::addColumn<QString>("errorString");
    QTest::addColumn<bool>("staysConnected");
    const QString get = QStringLiteral("Downloading file failed:\nAborted");
    const QString connect = QStringLiteral("Connecting to host failed:\nAborted");
    QTest::newRow("queued-not-started") << "queued" << QByteArray() << get << true;
    QTest::newRow("connecting") << "connecting" << QByteArray() << connect << false;
    QTest::newRow("greeting-awaited") << "greeting" << QByteArray() << connect << false;
    QTest::newRow("user-outstanding")
        << "USER" << QByteArray("331 password please\r\n225 ABOR ok\r\n")
        << "Login failed:\nAborted" << true;
    QTest::newRow("type-outstanding")
        << "TYPE" << QByteArray("200 ok\r\n225 ABOR ok\r\n") << get << true;
    QTest::newRow("size-outstanding")
        << "SIZE" << QByteArray("213 1000\r\n225 ABOR ok\r\n") << get << true;
    QTest::newRow("size-refused-after-abort")
        << "SIZE" << QByteArray("550 no size\r\n225 ABOR ok\r\n")
        << "Downloading file failed:\nno size" << true;
    QTest::newRow("pasv-outstanding")
        << "PASV" << QByteArray("227 Entering Passive Mode (127,0,0,1,4,1).\r\n225 ABOR ok\r\n")
        << get << true;
    QTest::newRow("data-connection-opening") << "data-connect" << QByteArray() << get << true;
    QTest::newRow("quit-outstanding") << "QUIT" << QByteArray() << "Aborted" << false;
}

// abort() ends the running command with an error in every state, and the
// next command gets its own reply.
void TestQFtpQueue::abortInEachState()
{
    QFETCH(QString, phase);
    QFETCH(QByteArray, afterAbor);
    QFETCH(QString, errorString);
    QFETCH(bool, staysConnected);
    Scripted s;
    FullListener full;
    QVERIFY(full.open());
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    int id;
    if (phase == "connecting" || phase == "greeting") {
        QVERIFY(s.listen());
        if (phase == "connecting") {
            id = s.ftp.connectToHost(QStringLiteral("127.0.0.1"), full.port());
            QTRY_COMPARE(s.ftp.state(), QFtp::Connecting);
        } else {
            id = s.connectToHost();
            QTRY_COMPARE(s.ftp.state(), QFtp::Connected);
        }
    } else if (phase == "USER") {
        QVERIFY(s.listen());
        s.connectToHost();
        id = s.ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
        QVERIFY(greet(s.server));
        QCOMPARE(s.server.nextLine(), QByteArray("USER marvoline"));
    } else {
        QVERIFY(s.logIn());
        id = phase == "QUIT" ? s.ftp.close() : s.ftp.get(QStringLiteral("app.zip"), &sink);
        if (phase == "TYPE" || phase == "QUIT") {
            QCOMPARE(s.server.nextLine(), phase.toLatin1().append(phase == "TYPE" ? " I" : ""));
        } else if (phase == "SIZE") {
            QVERIFY(converse(s.server, {{"TYPE I", "200 ok\r\n"}}));
            QCOMPARE(s.server.nextLine(), QByteArray("SIZE app.zip"));
        } else if (phase == "PASV" || phase == "data-connect") {
            QVERIFY(converse(s.server, {{"TYPE I", "200 ok\r\n"}, {"SIZE app.zip", "213 1\r\n"}}));
            QCOMPARE(s.server.nextLine(), QByteArray("PASV"));
            if (phase == "data-connect") {
                // Flushed to the kernel: the client's next pass reads it.
                s.server.send(pasvReplyFor(full.address(), full.port()));
                for (int i = 0; i < 5; ++i)
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            }
        }
    }
    const int behind = s.ftp.cd(QStringLiteral("never"));
    const int doneBefore = s.rec.count("done");
    s.ftp.abort();
    if (!afterAbor.isEmpty()) {
        QCOMPARE(s.server.nextLine(), QByteArray("ABOR"));
        s.server.send(afterAbor);
    }
    QTRY_COMPARE(s.rec.count("done"), doneBefore + 1);
    QCOMPARE(tail(s.rec.without("state"), 2), QStringList({finished(id, true), done(true)}));
    QVERIFY(!s.rec.events.contains(started(behind)));
    QCOMPARE(s.ftp.errorString(), errorString);
    if (!staysConnected) {
        QCOMPARE(s.ftp.state(), QFtp::Unconnected);
        return;
    }
    // Nothing else was sent for the aborted command, and ABOR's reply does
    // not pass for the next command's.
    QCOMPARE(s.server.unreadLines(), QList<QByteArray>());
    const int cd = s.ftp.cd(QStringLiteral("next"));
    QVERIFY(converse(s.server, {{"CWD next", "250 ok\r\n"}}));
    QTRY_COMPARE(s.rec.count("done"), doneBefore + 2);
    QCOMPARE(tail(s.rec.events, 3), QStringList({started(cd), finished(cd), done()}));
}

void TestQFtpQueue::timeLimits_data()
{
    QTest::addColumn<QString>("silence");
    QTest::addColumn<QString>("errorString");
    const QString download = QStringLiteral("Downloading file failed:\nConnection timed out");
    QTest::newRow("connect-never-completes") << "connect"
                                             << "Connecting to host failed:\nConnection timed out";
    QTest::newRow("after-connect") << "greeting"
                                   << "Connecting to host failed:\nConnection timed out";
    QTest::newRow("after-greeting") << "reply"
                                    << "Login failed:\nConnection timed out";
    QTest::newRow("mid-reply") << "mid-reply"
                               << "Login failed:\nConnection timed out";
    QTest::newRow("data-connection-never-completes") << "data-connect" << download;
    QTest::newRow("mid-transfer") << "transfer" << download;
}

// A peer that stops making progress ends the command within the time limit:
// the connection is closed and whatever was queued behind is dropped.
void TestQFtpQueue::timeLimits()
{
    QFETCH(QString, silence);
    QFETCH(QString, errorString);
    Scripted s;
    QVERIFY(s.listen());
    FullListener full;
    QVERIFY(full.open());
    s.ftp.setTimeout(300);
    QCOMPARE(s.ftp.timeout(), 300);
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    int id;
    if (silence == "connect") {
        id = s.ftp.connectToHost(QStringLiteral("127.0.0.1"), full.port());
    } else if (silence == "greeting") {
        id = s.connectToHost();
        QVERIFY(s.server.waitForClient());
    } else {
        s.connectToHost();
        const int l = s.ftp.login(QStringLiteral("marvoline"), QStringLiteral("qd4739"));
        QVERIFY(greet(s.server));
        id = l;
        if (silence == "reply") {
            QCOMPARE(s.server.nextLine(), QByteArray("USER marvoline"));
        } else if (silence == "mid-reply") {
            QVERIFY(converse(s.server, {{"USER marvoline", "331-first line\r\n"}}));
        } else {
            QVERIFY(converse(s.server, loginDialogue));
            id = s.ftp.get(QStringLiteral("app.zip"), &sink);
            if (silence == "data-connect") {
                QVERIFY(converse(s.server,
                    {{"TYPE I", "200 ok\r\n"}, {"SIZE app.zip", "213 1000\r\n"},
                        {"PASV", pasvReplyFor(full.address(), full.port())}}));
            } else {
                QVERIFY(downloadUnderWay(s.server, s.data, sink, "150 here\r\n", 10));
            }
        }
    }
    const int behind = s.ftp.cd(QStringLiteral("never"));
    const int doneBefore = s.rec.count("done");
    QTRY_COMPARE_WITH_TIMEOUT(s.rec.count("done"), doneBefore + 1, 10000);
    QCOMPARE(tail(s.rec.without("state"), 2), QStringList({finished(id, true), done(true)}));
    QVERIFY(!s.rec.events.contains(started(behind)));
    QCOMPARE(s.ftp.errorString(), errorString);
    QCOMPARE(s.ftp.state(), QFtp::Unconnected);
}

void TestQFtpQueue::movingTransferNeverExpires()
{
    Scripted s;
    QVERIFY(s.logIn());
    s.ftp.setTimeout(1000);
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    const int g = s.ftp.get(QStringLiteral("app.zip"), &sink);
    QVERIFY(passiveDownload(s.server, s.data, "app.zip", "550 no size\r\n", "150 here\r\n"));
    // Well past the time limit in all, never silent for long.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2500) {
        QTest::qWait(50);
        s.data.send(QByteArray(10, 'z'));
    }
    s.data.close();
    s.server.send("226 done\r\n");
    QTRY_COMPARE(s.rec.count("done"), 1);
    QCOMPARE(s.rec.events, QStringList({started(g), finished(g), done()}));
}

QTEST_GUILESS_MAIN(TestQFtpQueue)
#include "tst_qftpqueue.moc"
