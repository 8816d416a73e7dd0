#include "qftppi.h"
#include "qurlinfo.h"
#include "scriptedserver.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

namespace {

// Records the interpreter's four signals in the order they came.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(QFtpPI *pi)
    {
        connect(pi, &QFtpPI::connectState, this,
            [this](int s) { events << QStringLiteral("state %1").arg(s); });
        connect(pi, &QFtpPI::finished, this,
            [this](const QString &t) { events << QStringLiteral("finished %1").arg(t); });
        connect(pi, QOverload<int, const QString &>::of(&QFtpPI::error), this,
            [this](int c, const QString &t) {
                events << QStringLiteral("error %1 %2").arg(c).arg(t);
            });
        connect(pi, &QFtpPI::rawFtpReply, this, [this](int c, const QString &t) {
            events << QStringLiteral("reply %1 %2").arg(c).arg(t);
        });
    }
    QStringList take()
    {
        const QStringList all = events;
        events.clear();
        return all;
    }
    QStringList events;
};

// Lets the bytes already written on loopback reach their reader.
void deliver()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

} // namespace

class tst_QFtpPI : public QObject
{
    Q_OBJECT

private slots:
    void replyReader_data();
    void replyReader();
    void greetings_data();
    void greetings();
    void replyWhileIdleIsIgnored();
    void sendCommandsRefusals();
    void loginWithoutPassword();
    void loginWithPassword();
    void reply202IsFailure();
    void failureDoesNotDropRemainingLines();
    void passiveListingDefersCompletion();
    void deferredReplyStopsReading();
    void deferral250OnlyAfterRetr();
    void sizeReplySetsTotal();
    void passive227And229_data();
    void passive227And229();
    void passiveReplyWithoutPort_data();
    void passiveReplyWithoutPort();
    void refusedDataConnectionReleasedByClear();
    void activePortLineIPv4();
    void activeDataBeforeReplies_data();
    void activeDataBeforeReplies();
    void extendedFallbackIPv6();
    void abortDuringDownload();
    void abortWithSingleReply();
    void abortWhileLineOutstanding();
    void abortTwice();
    void connectFailures();
    void controlConnectionLost_data();
    void controlConnectionLost();
    void writeFailureKeepsRepliesInStep();

private:
    // Connects pi to server and completes the greeting.
    bool greet(
        QFtpPI &pi, ScriptedServer &server, const QString &host = QStringLiteral("127.0.0.1"));
};

bool tst_QFtpPI::greet(QFtpPI &pi, ScriptedServer &server, const QString &host)
{
    QSignalSpy finished(&pi, &QFtpPI::finished);
    pi.connectToHost(host, server.port());
    if (!server.waitForClient())
        return false;
    server.send("220 ready\r\n");
    return finished.wait() || !finished.isEmpty();
}

void tst_QFtpPI::replyReader_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    using L = QList<QByteArray>;
    QTest::newRow("single") << L {"200 Command okay.\r\n"} << 200 << "Command okay.";
    QTest::newRow("split-in-line") << L {"200 Comm", "and okay.\r\n"} << 200 << "Command okay.";
    QTest::newRow("markers") << L {"211-Welcome\r\n211-Second line\r\n211 Ready\r\n"} << 211
                             << "Welcome\r\nSecond line\r\nReady";
    QTest::newRow("no-markers") << L {"211-Features:\r\n EPSV\r\n PASV\r\n211 End\r\n"} << 211
                                << "Features:\r\n EPSV\r\n PASV\r\nEnd";
    QTest::newRow("other-code-inside")
        << L {"211-a\r\n200 x\r\n211 b\r\n"} << 211 << "a\r\n200 x\r\nb";
    QTest::newRow("split-between-lines")
        << L {"211-first\r\n", "211-second\r\n211 end\r\n"} << 211 << "first\r\nsecond\r\nend";
    QTest::newRow("split-marker") << L {"211-first\r\n21", "1 end\r\n"} << 211 << "first\r\nend";
    QTest::newRow("too-short") << L {"20\r\n200 ok\r\n"} << 200 << "ok";
    QTest::newRow("first-digit-6") << L {"600 no\r\n200 ok\r\n"} << 200 << "ok";
    QTest::newRow("first-digit-0") << L {"000 no\r\n200 ok\r\n"} << 200 << "ok";
    QTest::newRow("second-digit-6") << L {"260 no\r\n200 ok\r\n"} << 200 << "ok";
    QTest::newRow("not-a-digit") << L {"2x0 no\r\n", "200 ok\r\n"} << 200 << "ok";
    QTest::newRow("bare-code") << L {"200\r\n"} << 200 << "";
    QTest::newRow("nul-byte") << L {QByteArray("200 a\0b\r\n", 9)} << 200 << "a";
}

void tst_QFtpPI::replyReader()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, code);
    QFETCH(QString, text);
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    for (int i = 0; i < chunks.size(); ++i) {
        server.send(chunks.at(i));
        deliver();
        if (i + 1 < chunks.size())
            QCOMPARE(rec.events, QStringList());
    }
    QTRY_COMPARE(rec.events.size(), 2);
    QCOMPARE(rec.take(),
        (QStringList {QStringLiteral("reply %1 %2").arg(code).arg(text),
            QStringLiteral("finished %1").arg(text)}));
}

void tst_QFtpPI::greetings_data()
{
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<QStringList>("events");
    using L = QList<QByteArray>;
    QTest::newRow("220") << L {"220 hello\r\n"}
                         << QStringList {"state 3", "finished Connected to host 127.0.0.1",
                                "reply 220 hello", "finished hello"};
    QTest::newRow("120-then-220") << L {"120 soon\r\n", "220 now\r\n"}
                                  << QStringList {"state 3", "finished Connected to host 127.0.0.1",
                                         "reply 220 now", "finished now"};
    QTest::newRow("multi-line") << L {"220-Welcome\r\n220-Second line\r\n220 Ready\r\n"}
                                << QStringList {"state 3", "finished Connected to host 127.0.0.1",
                                       "reply 220 Welcome\r\nSecond line\r\nReady",
                                       "finished Welcome\r\nSecond line\r\nReady"};
    QTest::newRow("refusal") << L {"421 busy\r\n"} << QStringList {"state 3"};
}

void tst_QFtpPI::greetings()
{
    QFETCH(QList<QByteArray>, replies);
    QFETCH(QStringList, events);
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    Recorder rec(&pi);
    pi.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(server.waitForClient());
    QTRY_VERIFY(rec.events.contains(QStringLiteral("state 3")));
    for (const QByteArray &reply : replies) {
        server.send(reply);
        deliver();
    }
    QTRY_COMPARE(rec.events.size(), events.size() + 2);
    QCOMPARE(rec.events.mid(0, 2), (QStringList {"state 1", "state 2"}));
    QCOMPARE(rec.events.mid(2), events);
}

void tst_QFtpPI::replyWhileIdleIsIgnored()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    server.send("200 unasked\r\n");
    deliver();
    QCOMPARE(rec.events, QStringList());
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    server.send("200 asked\r\n");
    QTRY_COMPARE(rec.events, (QStringList {"reply 200 asked", "finished asked"}));
}

void tst_QFtpPI::sendCommandsRefusals()
{
    QFtpPI idle;
    Recorder idleRec(&idle);
    QVERIFY(idle.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(idleRec.take(), QStringList {"error 4 Not connected"});

    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n"), QStringLiteral("NOOP\r\n")}));
    // A list is still pending: refused without a word.
    QVERIFY(!pi.sendCommands({QStringLiteral("HELP\r\n")}));
    QCOMPARE(rec.events, QStringList());
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    server.send("200 one\r\n");
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    // The last line is outstanding: not idle.
    QVERIFY(pi.sendCommands({QStringLiteral("HELP\r\n")}));
    QCOMPARE(rec.take(), (QStringList {"reply 200 one", "error 4 Not connected"}));
    QCOMPARE(pi.currentCommand(), QStringLiteral("NOOP\r\n"));
}

void tst_QFtpPI::loginWithoutPassword()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({"USER marvoline\r\n", "PASS qd4739\r\n", "CWD x\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("USER marvoline"));
    server.send("230 in without password\r\n");
    QCOMPARE(server.nextLine(), QByteArray("CWD x"));
    server.send("250 ok\r\n");
    QTRY_COMPARE(rec.events.size(), 4);
    QCOMPARE(rec.take(),
        (QStringList {"reply 230 in without password", "state 4", "reply 250 ok", "finished ok"}));
    QVERIFY(server.unreadLines().isEmpty());
}

void tst_QFtpPI::loginWithPassword()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({"USER marvoline\r\n", "PASS qd4739\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("USER marvoline"));
    server.send("331 password please\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASS qd4739"));
    QCOMPARE(pi.currentCommand(), QStringLiteral("PASS qd4739\r\n"));
    server.send("230 logged in\r\n");
    QTRY_COMPARE(rec.events.size(), 4);
    QCOMPARE(rec.take(),
        (QStringList {
            "reply 331 password please", "reply 230 logged in", "state 4", "finished logged in"}));
    QVERIFY(pi.currentCommand().isNull());
}

void tst_QFtpPI::reply202IsFailure()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({QStringLiteral("ALLO 10\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("ALLO 10"));
    server.send("202 superfluous\r\n");
    QTRY_COMPARE(rec.events,
        (QStringList {"reply 202 superfluous", "error 1 superfluous", "finished superfluous"}));
}

void tst_QFtpPI::failureDoesNotDropRemainingLines()
{
    // The owner decides (a refused SIZE is ignored); the interpreter goes on.
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({QStringLiteral("SIZE f\r\n"), QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("SIZE f"));
    server.send("550 no size\r\n");
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    server.send("200 ok\r\n");
    QTRY_COMPARE(rec.events,
        (QStringList {"reply 550 no size", "error 1 no size", "reply 200 ok", "finished ok"}));
}

void tst_QFtpPI::passiveListingDefersCompletion()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QList<QString> names;
    connect(&pi.dtp, &QFtpDTP::listInfo, this, [&](const QUrlInfo &i) { names << i.name(); });
    QVERIFY(pi.sendCommands({"TYPE A\r\n", "PASV\r\n", "LIST\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("TYPE A"));
    server.send("200 type\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("LIST"));
    server.send("150 here\r\n");
    data.send("-rw-r--r--   1 u        g            12 Jan 01 12:00 version.ver\r\n");
    server.send("226 done\r\n");
    deliver();
    // The data connection is still open: the completion is held back.
    QVERIFY(!rec.events.contains(QStringLiteral("finished done")));
    QVERIFY(!rec.events.contains(QStringLiteral("reply 226 done")));
    data.close();
    QTRY_VERIFY(rec.events.contains(QStringLiteral("finished done")));
    QCOMPARE(names, QList<QString> {QStringLiteral("version.ver")});
    QCOMPARE(rec.events.last(), QStringLiteral("finished done"));
    QCOMPARE(rec.events.at(rec.events.size() - 2), QStringLiteral("reply 226 done"));
    QVERIFY(!rec.events.join(QLatin1Char('|')).contains(QLatin1String("error")));
}

void tst_QFtpPI::deferredReplyStopsReading()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR f"));
    // The completion and an unasked reply behind it in one arrival.
    server.send("150 sending\r\n226 sent\r\n200 later\r\n");
    deliver();
    data.send("bytes");
    data.close();
    QTRY_VERIFY(rec.events.contains(QStringLiteral("finished sent")));
    deliver();
    QCOMPARE(
        rec.take().mid(1), (QStringList {"reply 150 sending", "reply 226 sent", "finished sent"}));
}

void tst_QFtpPI::deferral250OnlyAfterRetr()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR f"));
    server.send("250 file sent\r\n");
    deliver();
    QCOMPARE(rec.events,
        QStringList {"reply 227 Entering Passive Mode (127,0,0,1,"
            + QString::number(data.port() >> 8) + "," + QString::number(data.port() & 0xff)
            + ")."});
    data.close();
    QTRY_COMPARE(rec.events.size(), 3);
    QCOMPARE(rec.events.mid(1), (QStringList {"reply 250 file sent", "finished file sent"}));
    rec.take();
    // Another line's 250 is not held, even with a data connection open.
    DataServer data2;
    QVERIFY(data2.listen());
    QVERIFY(pi.sendCommands({"PASV\r\n", "CWD x\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data2.pasvReply());
    QVERIFY(data2.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("CWD x"));
    server.send("250 changed\r\n");
    QTRY_VERIFY(rec.events.contains(QStringLiteral("finished changed")));
    QCOMPARE(pi.dtp.connectionState(), QAbstractSocket::ConnectedState);
}

void tst_QFtpPI::sizeReplySetsTotal()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    QSignalSpy progress(&pi.dtp, &QFtpDTP::dataTransferProgress);
    QSignalSpy finished(&pi, &QFtpPI::finished);
    QVERIFY(pi.sendCommands({QStringLiteral("SIZE f\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("SIZE f"));
    server.send("213  123456789012 \r\n");
    QVERIFY(finished.wait());
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toLongLong(), 0);
    QCOMPARE(progress.at(0).at(1).toLongLong(), Q_INT64_C(123456789012));
}

void tst_QFtpPI::passive227And229_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("227") << QStringLiteral("227 Entering Passive Mode (127,0,0,1,%1,%2)\r\n");
    QTest::newRow("227-no-parens") << QStringLiteral("227 =127,0,0,1,%1,%2\r\n");
    QTest::newRow("229") << QStringLiteral("229 Entering Extended Passive Mode (|||%3|)\r\n");
    QTest::newRow("229-other-delimiter") << QStringLiteral("229 ok (!!!%3!)\r\n");
}

void tst_QFtpPI::passive227And229()
{
    QFETCH(QString, format);
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    pi.dtp.setDevice(&sink);
    QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    const quint16 p = data.port();
    QString reply = format;
    reply.replace(QLatin1String("%1"), QString::number(p >> 8))
        .replace(QLatin1String("%2"), QString::number(p & 0xff))
        .replace(QLatin1String("%3"), QString::number(p));
    server.send(reply.toLatin1());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR f"));
    QSignalSpy finished(&pi, &QFtpPI::finished);
    server.send("150 go\r\n226 done\r\n");
    data.send("payload");
    data.close();
    QVERIFY(finished.wait());
    QCOMPARE(sink.data(), QByteArray("payload"));
}

void tst_QFtpPI::passiveReplyWithoutPort_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("227-five-numbers") << QByteArray("227 Entering Passive Mode (127,0,0,1,4)\r\n");
    QTest::newRow("229-no-paren") << QByteArray("229 Entering Extended Passive Mode\r\n");
    QTest::newRow("229-three-parts") << QByteArray("229 Entering Extended Passive Mode (||)\r\n");
    QTest::newRow("229-not-a-number")
        << QByteArray("229 Entering Extended Passive Mode (|||x|)\r\n");
    QTest::newRow("229-paren-last") << QByteArray("229 Entering Extended Passive Mode (\r\n");
}

void tst_QFtpPI::passiveReplyWithoutPort()
{
    QFETCH(QByteArray, reply);
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(reply);
    // No data connection and nothing reported: the transfer line goes out
    // and the server's refusal of it is the failure.
    QCOMPARE(server.nextLine(), QByteArray("RETR f"));
    QCOMPARE(pi.dtp.connectionState(), QAbstractSocket::UnconnectedState);
    server.send("425 no data connection\r\n");
    QTRY_VERIFY(rec.events.contains(QStringLiteral("error 1 no data connection")));
}

void tst_QFtpPI::refusedDataConnectionReleasedByClear()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    quint16 closedPort;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    // What the owner does on an error: discard the rest of the command.
    connect(&pi, QOverload<int, const QString &>::of(&QFtpPI::error), &pi,
        [&pi] { pi.clearPendingCommands(); });
    QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(QStringLiteral("227 Entering Passive Mode (127,0,0,1,%1,%2)\r\n")
                    .arg(closedPort >> 8)
                    .arg(closedPort & 0xff)
                    .toLatin1());
    QTRY_VERIFY(
        rec.events.contains(QStringLiteral("error 3 Connection refused for data connection")));
    // The transfer line was never sent; the next command's lines are.
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    server.send("200 ok\r\n");
    QTRY_VERIFY(rec.events.contains(QStringLiteral("finished ok")));
}

void tst_QFtpPI::activePortLineIPv4()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    pi.dtp.setDevice(&sink);
    QSignalSpy finished(&pi, &QFtpPI::finished);
    QVERIFY(pi.sendCommands({"TYPE I\r\n", "PORT\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("TYPE I"));
    server.send("200 binary\r\n");
    const QByteArray port = server.nextLine();
    const QRegularExpressionMatch m
        = QRegularExpression(QStringLiteral("^PORT 127,0,0,1,(\\d+),(\\d+)$"))
              .match(QString::fromLatin1(port));
    QVERIFY2(m.hasMatch(), port.constData());
    QCOMPARE(pi.currentCommand(), QString::fromLatin1(port + "\r\n"));
    QTcpSocket active;
    active.connectToHost(
        QHostAddress::LocalHost, quint16(m.captured(1).toUInt() * 256 + m.captured(2).toUInt()));
    QVERIFY(active.waitForConnected(5000));
    server.send("200 port ok\r\n");
    QCOMPARE(server.nextLine(), QByteArray("RETR f"));
    server.send("150 sending\r\n");
    active.write("active bytes");
    active.disconnectFromHost();
    server.send("226 sent\r\n");
    QVERIFY(finished.wait());
    QCOMPARE(finished.last().at(0).toString(), QStringLiteral("sent"));
    QCOMPARE(sink.data(), QByteArray("active bytes"));
}

void tst_QFtpPI::activeDataBeforeReplies_data()
{
    QTest::addColumn<bool>("intoDevice");
    QTest::addColumn<bool>("listing");
    QTest::newRow("download-device") << true << false;
    QTest::newRow("download-kept") << false << false;
    QTest::newRow("listing") << false << true;
}

// The server connects, sends everything and closes before its 150 and 226
// are read, all in one go: the data must still be taken and the completion
// held until it has been.
void tst_QFtpPI::activeDataBeforeReplies()
{
    QFETCH(bool, intoDevice);
    QFETCH(bool, listing);
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    if (intoDevice)
        pi.dtp.setDevice(&sink);
    QList<QString> names;
    connect(&pi.dtp, &QFtpDTP::listInfo, this, [&](const QUrlInfo &i) { names << i.name(); });
    QByteArray kept;
    connect(&pi.dtp, &QFtpDTP::readyRead, this, [&] { kept += pi.dtp.readAll(); });
    Recorder rec(&pi);
    const QString command = listing ? QStringLiteral("LIST\r\n") : QStringLiteral("RETR f\r\n");
    QVERIFY(pi.sendCommands({"PORT\r\n", command}));
    const QRegularExpressionMatch m
        = QRegularExpression(QStringLiteral("^PORT 127,0,0,1,(\\d+),(\\d+)$"))
              .match(QString::fromLatin1(server.nextLine()));
    QVERIFY(m.hasMatch());
    server.send("200 port ok\r\n");
    QCOMPARE(server.nextLine(), command.trimmed().toLatin1());
    const QByteArray payload = listing
        ? QByteArray("-rw-r--r--   1 u        g            12 Jan 01 12:00 version.ver\r\n")
        : QByteArray("abcdef");
    QTcpSocket active;
    active.connectToHost(
        QHostAddress::LocalHost, quint16(m.captured(1).toUInt() * 256 + m.captured(2).toUInt()));
    QVERIFY(active.waitForConnected(5000));
    active.write(payload);
    QVERIFY(active.waitForBytesWritten(5000));
    active.disconnectFromHost();
    server.send("150 sending\r\n226 sent\r\n");
    QTRY_VERIFY(rec.events.contains(QStringLiteral("finished sent")));
    kept += pi.dtp.readAll();
    if (listing)
        QCOMPARE(names, QList<QString> {QStringLiteral("version.ver")});
    else if (intoDevice)
        QCOMPARE(sink.data(), payload);
    else
        QCOMPARE(kept, payload);
    QVERIFY(!rec.events.join(QLatin1Char('|')).contains(QLatin1String("error")));
}

void tst_QFtpPI::extendedFallbackIPv6()
{
    ScriptedServer server;
    if (!server.listen(QHostAddress::LocalHostIPv6))
        QSKIP("no IPv6 loopback");
    QFtpPI pi;
    QVERIFY(greet(pi, server, QStringLiteral("::1")));
    Recorder rec(&pi);
    // EPSV refused: PASV next, and no error.
    DataServer data;
    QVERIFY(data.listen());
    QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("EPSV"));
    server.send("500 unknown\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    QVERIFY(!pi.extendedTransfer);
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR f"));
    server.send("150 go\r\n226 done\r\n");
    data.close();
    QTRY_VERIFY(rec.events.contains(QStringLiteral("finished done")));
    QVERIFY(!rec.events.join(QLatin1Char('|')).contains(QLatin1String("error")));
    rec.take();

    // EPRT, and once refused, an active mode that cannot be expressed.
    pi.extendedTransfer = true;
    connect(&pi, QOverload<int, const QString &>::of(&QFtpPI::error), &pi,
        [&pi] { pi.clearPendingCommands(); });
    QVERIFY(pi.sendCommands({"PORT\r\n", "RETR f\r\n"}));
    const QByteArray eprt = server.nextLine();
    const QRegularExpressionMatch m
        = QRegularExpression(QStringLiteral("^EPRT \\|2\\|::1\\|(\\d+)\\|$"))
              .match(QString::fromLatin1(eprt));
    QVERIFY2(m.hasMatch(), eprt.constData());
    QTcpSocket active;
    active.connectToHost(QHostAddress::LocalHostIPv6, quint16(m.captured(1).toUInt()));
    QVERIFY(active.waitForConnected(5000));
    server.send("500 unknown\r\n");
    QTRY_COMPARE(rec.events.size(), 2);
    QCOMPARE(rec.events.at(0), QStringLiteral("reply 500 unknown"));
    QCOMPARE(rec.events.at(1),
        QStringLiteral("error 1 Active mode is not available for the local address ::1"));
    // Nothing was sent and nothing is awaited: the next command goes out.
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
}

void tst_QFtpPI::abortDuringDownload()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    connect(&pi, QOverload<int, const QString &>::of(&QFtpPI::error), &pi,
        [&pi] { pi.clearPendingCommands(); });
    QSignalSpy ready(&pi.dtp, &QFtpDTP::readyRead);
    QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR f"));
    server.send("150 sending\r\n");
    data.send("first");
    QVERIFY(ready.wait());
    pi.abort();
    QVERIFY(pi.isAbortSent());
    QCOMPARE(server.nextLine(), QByteArray("ABOR"));
    data.send("discarded");
    deliver();
    server.send("426 aborted\r\n226 abort done\r\n");
    QTRY_VERIFY(rec.events.contains(QStringLiteral("error 1 aborted")));
    deliver();
    QVERIFY(!pi.isAbortSent());
    QVERIFY(!rec.events.join(QLatin1Char('|')).contains(QLatin1String("abort done")));
    rec.take();
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    server.send("200 ok\r\n");
    QTRY_COMPARE(rec.events, (QStringList {"reply 200 ok", "finished ok"}));
}

void tst_QFtpPI::abortWithSingleReply()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    pi.abort(); // nothing outstanding
    QCOMPARE(server.nextLine(), QByteArray("ABOR"));
    server.send("225 no transfer to abort\r\n");
    deliver();
    QCOMPARE(rec.events, QStringList());
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    server.send("200 ok\r\n");
    QTRY_COMPARE(rec.events, (QStringList {"reply 200 ok", "finished ok"}));
}

void tst_QFtpPI::abortWhileLineOutstanding()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    QVERIFY(pi.sendCommands({QStringLiteral("CWD x\r\n"), QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("CWD x"));
    pi.abort();
    QCOMPARE(server.nextLine(), QByteArray("ABOR"));
    server.send("250 changed\r\n");
    deliver();
    server.send("225 nothing to abort\r\n");
    QTRY_COMPARE(rec.events, (QStringList {"reply 250 changed", "finished changed"}));
    deliver();
    QCOMPARE(rec.take().size(), 2);
    QVERIFY(server.noLineWithin(50)); // the pending NOOP was dropped
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    server.send("200 ok\r\n");
    QTRY_COMPARE(rec.events, (QStringList {"reply 200 ok", "finished ok"}));
}

void tst_QFtpPI::abortTwice()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    QVERIFY(pi.sendCommands({QStringLiteral("STAT\r\n")}));
    QCOMPARE(server.nextLine(), QByteArray("STAT"));
    pi.abort();
    pi.abort();
    QCOMPARE(server.nextLine(), QByteArray("ABOR"));
    QVERIFY(server.noLineWithin(50));
}

void tst_QFtpPI::connectFailures()
{
    quint16 closedPort;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    QFtpPI refused;
    Recorder rec(&refused);
    refused.connectToHost(QStringLiteral("127.0.0.1"), closedPort);
    QTRY_VERIFY(rec.events.size() >= 3);
    QCOMPARE(rec.events.mid(rec.events.size() - 2),
        (QStringList {"state 0", "error 3 Connection refused to host 127.0.0.1"}));

    // The kernel refuses a connection to the broadcast address at once (no
    // packet leaves): a socket error that is neither of the three above, on
    // a socket that never connected, still ends the connect.
    QFtpPI unreachable;
    Recorder rec2(&unreachable);
    unreachable.connectToHost(QStringLiteral("255.255.255.255"), 21);
    QTRY_VERIFY(rec2.events.contains(QStringLiteral("state 0")));
    QCOMPARE(rec2.events.size(), rec2.events.indexOf(QStringLiteral("state 0")) + 2);
    QVERIFY2(rec2.events.last().startsWith(
                 QLatin1String("error 3 Connection to host 255.255.255.255 failed: ")),
        qPrintable(rec2.events.last()));
}

void tst_QFtpPI::controlConnectionLost_data()
{
    QTest::addColumn<QString>("phase");
    QTest::addColumn<bool>("fails");
    QTest::newRow("greeting-awaited") << QStringLiteral("greeting") << true;
    QTest::newRow("line-outstanding") << QStringLiteral("line") << true;
    QTest::newRow("transfer-running") << QStringLiteral("transfer") << true;
    QTest::newRow("quit-outstanding") << QStringLiteral("quit") << false;
    QTest::newRow("idle") << QStringLiteral("idle") << false;
}

void tst_QFtpPI::controlConnectionLost()
{
    QFETCH(QString, phase);
    QFETCH(bool, fails);
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtpPI pi;
    if (phase == QLatin1String("greeting")) {
        pi.connectToHost(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(server.waitForClient());
    } else {
        QVERIFY(greet(pi, server));
    }
    QTRY_COMPARE(pi.currentCommand(), QString()); // connected
    if (phase == QLatin1String("line")) {
        QVERIFY(pi.sendCommands({QStringLiteral("CWD x\r\n")}));
        QCOMPARE(server.nextLine(), QByteArray("CWD x"));
    } else if (phase == QLatin1String("quit")) {
        QVERIFY(pi.sendCommands({QStringLiteral("QUIT\r\n")}));
        QCOMPARE(server.nextLine(), QByteArray("QUIT"));
    } else if (phase == QLatin1String("transfer")) {
        QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
        QCOMPARE(server.nextLine(), QByteArray("PASV"));
        server.send(data.pasvReply());
        QVERIFY(data.waitForClient());
        QCOMPARE(server.nextLine(), QByteArray("RETR f"));
        server.send("150 sending\r\n");
        data.send("part");
    }
    Recorder rec(&pi);
    deliver();
    rec.take();
    server.dropClient();
    QTRY_VERIFY(rec.events.contains(QStringLiteral("state 0")));
    deliver();
    QStringList expected {QStringLiteral("state 0")};
    if (fails)
        expected << QStringLiteral("error 1 Connection closed by host 127.0.0.1");
    QCOMPARE(rec.events, expected);
    // Nothing is left waiting.
    QVERIFY(pi.currentCommand().isNull());
    QCOMPARE(pi.dtp.connectionState(), QAbstractSocket::UnconnectedState);
}

void tst_QFtpPI::writeFailureKeepsRepliesInStep()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    DataServer data;
    QVERIFY(data.listen());
    QFtpPI pi;
    QVERIFY(greet(pi, server));
    Recorder rec(&pi);
    connect(&pi, QOverload<int, const QString &>::of(&QFtpPI::error), &pi,
        [&pi] { pi.clearPendingCommands(); });
    QBuffer sink; // never opened: every write fails
    pi.dtp.setDevice(&sink);
    QVERIFY(pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("PASV"));
    server.send(data.pasvReply());
    QVERIFY(data.waitForClient());
    QCOMPARE(server.nextLine(), QByteArray("RETR f"));
    server.send("150 sending\r\n");
    QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QBuffer): device not open");
    data.send("cannot be stored");
    QCOMPARE(server.nextLine(), QByteArray("ABOR"));
    QTRY_VERIFY(rec.events.contains(QStringLiteral("error 1 ") + sink.errorString()));
    QCOMPARE(pi.dtp.connectionState(), QAbstractSocket::UnconnectedState);
    rec.take();
    // The next command waits until the transfer's and ABOR's replies are in.
    QVERIFY(pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QVERIFY(server.noLineWithin(50));
    server.send("426 transfer aborted\r\n");
    QVERIFY(server.noLineWithin(50));
    server.send("226 abort done\r\n");
    QCOMPARE(server.nextLine(), QByteArray("NOOP"));
    server.send("200 ok\r\n");
    QTRY_COMPARE(rec.events, (QStringList {"reply 200 ok", "finished ok"}));
}

QTEST_GUILESS_MAIN(tst_QFtpPI)
#include "tst_qftppi.moc"
