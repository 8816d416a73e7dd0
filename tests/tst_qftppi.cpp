#include "closedport.h"
#include "pisignals.h"
#include "qftppi.h"
#include "qurlinfo.h"
#include "scriptedserver.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QByteArray listingLine(
    "-rw-r--r--   1 u        g            12 Jan 01 12:00 version.ver\r\n");

// Lets the bytes already written on loopback reach their reader.
void deliver()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

// Connects pi to server and completes the greeting.
bool greet(QFtpPI &pi, ScriptedServer &server, const QString &host = QStringLiteral("127.0.0.1"))
{
    QSignalSpy finished(&pi, &QFtpPI::finished);
    pi.connectToHost(host, server.port());
    if (!server.waitForClient())
        return false;
    server.send("220 ready\r\n");
    return finished.wait() || !finished.isEmpty();
}

// The port a "PORT 127,0,0,1,p1,p2" line names; 0 for any other line.
quint16 portOf(const QByteArray &line)
{
    const QRegularExpressionMatch m
        = QRegularExpression(QStringLiteral("^PORT 127,0,0,1,(\\d+),(\\d+)$"))
              .match(QString::fromLatin1(line));
    return m.hasMatch() ? quint16(m.captured(1).toUInt() * 256 + m.captured(2).toUInt()) : 0;
}

// An interpreter talking to a scripted server, with a data server ready
// for a passive transfer. Once greeted, the interpreter's signals are
// recorded in rec.
struct Session
{
    ScriptedServer server;
    DataServer data;
    QFtpPI pi;
    Recorder rec;

    bool listen(const QHostAddress &address = QHostAddress::LocalHost)
    {
        return server.listen(address) && data.listen(address);
    }
    bool greet(const QString &host = QStringLiteral("127.0.0.1"))
    {
        if (!::greet(pi, server, host))
            return false;
        rec.watch(&pi);
        return true;
    }
    bool open() { return listen() && greet(); }

    // Takes the client's next line, which must be `line`, and sends `reply`
    // (as it is) when one is given.
    bool answer(const QByteArray &line, const QByteArray &reply = QByteArray())
    {
        const QByteArray got = server.nextLine();
        if (got != line) {
            qWarning() << "expected line" << line << "got" << got;
            return false;
        }
        if (!reply.isEmpty())
            server.send(reply);
        return true;
    }
    // Hands over a one-line command and answers it.
    bool command(const QByteArray &line, const QByteArray &reply = QByteArray())
    {
        return pi.sendCommands({QString::fromLatin1(line + "\r\n")}) && answer(line, reply);
    }
    // Answers PASV with via's port and takes the data connection and the
    // transfer line after it.
    bool answerPasv(DataServer &via, const QByteArray &transfer)
    {
        return answer("PASV", via.pasvReply()) && via.waitForClient() && answer(transfer);
    }
    // A passive RETR f, up to the point where the server is to answer it.
    bool startRetr()
    {
        return pi.sendCommands({"PASV\r\n", "RETR f\r\n"}) && answerPasv(data, "RETR f");
    }
    // After rec was emptied: the next command goes out and is worked off.
    bool nextCommandWorks()
    {
        if (!command("NOOP", "200 ok\r\n"))
            return false;
        const QStringList expected {"reply 200 ok", "finished ok"};
        if (QTest::qWaitFor([&] { return rec.events == expected; }))
            return true;
        qWarning() << "events" << rec.events;
        return false;
    }
};

} // namespace

class tst_QFtpPI : public QObject
{
    Q_OBJECT

private slots:
    void replyReader_data();
    void replyReader();
    void oversizedReply_data();
    void oversizedReply();
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
    void passiveRefusedOverIPv4_data();
    void passiveRefusedOverIPv4();
    void refusedDataConnectionReleasedByClear();
    void activePortLineIPv4();
    void activeAcceptsOnlyThePeer();
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
};

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
    // Inside a multi-line reply a bare code is text, not its end.
    QTest::newRow("bare-code-inside")
        << L {"211-a\r\n211\r\n211 end\r\n"} << 211 << "a\r\n211\r\nend";
    QTest::newRow("nul-byte") << L {QByteArray("200 a\0b\r\n", 9)} << 200 << "a";
}

void tst_QFtpPI::replyReader()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, code);
    QFETCH(QString, text);
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.command("NOOP"));
    for (int i = 0; i < chunks.size(); ++i) {
        s.server.send(chunks.at(i));
        deliver();
        if (i + 1 < chunks.size())
            QCOMPARE(s.rec.events, QStringList());
    }
    QTRY_COMPARE(s.rec.events.size(), 2);
    QCOMPARE(s.rec.take(),
        (QStringList {QStringLiteral("reply %1 %2").arg(code).arg(text),
            QStringLiteral("finished %1").arg(text)}));
}

void tst_QFtpPI::oversizedReply_data()
{
    QTest::addColumn<QByteArray>("unit"); // sent again and again
    QTest::newRow("line-without-end") << QByteArray(4096, 'x');
    QTest::newRow("endless-continuation") << QByteArray("211-more\r\n").repeated(100);
}

// A peer that never ends its reply costs bounded memory: the connection is
// closed and the line outstanding fails.
void tst_QFtpPI::oversizedReply()
{
    QFETCH(QByteArray, unit);
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.command("STAT", "211"));
    const QString expected = QStringLiteral("error 1 Server reply too long");
    for (int sent = 0; sent < 4 * 1024 * 1024 && !s.rec.events.contains(expected);
         sent += unit.size()) {
        s.server.send(unit);
        if (sent % (64 * 1024) < unit.size())
            deliver();
    }
    QTRY_COMPARE(s.rec.events, (QStringList {"state 0", expected}));
    QVERIFY(s.pi.currentCommand().isNull());
}

void tst_QFtpPI::greetings_data()
{
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<QStringList>("events");
    using L = QList<QByteArray>;
    const QString connected = QStringLiteral("finished Connected to host 127.0.0.1");
    QTest::newRow("220") << L {"220 hello\r\n"}
                         << QStringList {"state 3", connected, "reply 220 hello", "finished hello"};
    QTest::newRow("120-then-220") << L {"120 soon\r\n",
        "220 now\r\n"} << QStringList {"state 3", connected, "reply 220 now", "finished now"};
    QTest::newRow("multi-line") << L {"220-Welcome\r\n220-Second line\r\n220 Ready\r\n"}
                                << QStringList {"state 3", connected,
                                       "reply 220 Welcome\r\nSecond line\r\nReady",
                                       "finished Welcome\r\nSecond line\r\nReady"};
    QTest::newRow("refusal") << L {"421 busy\r\n"}
                             << QStringList {"state 3", "state 0",
                                    "error 3 Connection refused by host 127.0.0.1: 421 busy"};
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
    Session s;
    QVERIFY(s.open());
    s.server.send("200 unasked\r\n");
    deliver();
    QCOMPARE(s.rec.events, QStringList());
    QVERIFY(s.command("NOOP", "200 asked\r\n"));
    QTRY_COMPARE(s.rec.events, (QStringList {"reply 200 asked", "finished asked"}));
}

void tst_QFtpPI::sendCommandsRefusals()
{
    QFtpPI idle;
    Recorder idleRec(&idle);
    QVERIFY(idle.sendCommands({QStringLiteral("NOOP\r\n")}));
    QCOMPARE(idleRec.take(), QStringList {"error 4 Not connected"});

    Session s;
    QVERIFY(s.open());
    QVERIFY(s.pi.sendCommands({QStringLiteral("NOOP\r\n"), QStringLiteral("NOOP\r\n")}));
    // A list is still pending: refused without a word.
    QVERIFY(!s.pi.sendCommands({QStringLiteral("HELP\r\n")}));
    QCOMPARE(s.rec.events, QStringList());
    QVERIFY(s.answer("NOOP", "200 one\r\n"));
    QVERIFY(s.answer("NOOP"));
    // The last line is outstanding: not idle.
    QVERIFY(s.pi.sendCommands({QStringLiteral("HELP\r\n")}));
    QCOMPARE(s.rec.take(), (QStringList {"reply 200 one", "error 4 Not connected"}));
    QCOMPARE(s.pi.currentCommand(), QStringLiteral("NOOP\r\n"));
}

void tst_QFtpPI::loginWithoutPassword()
{
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.pi.sendCommands({"USER marvoline\r\n", "PASS qd4739\r\n", "CWD x\r\n"}));
    QVERIFY(s.answer("USER marvoline", "230 in without password\r\n"));
    QVERIFY(s.answer("CWD x", "250 ok\r\n"));
    QTRY_COMPARE(s.rec.events.size(), 4);
    QCOMPARE(s.rec.take(),
        (QStringList {"reply 230 in without password", "state 4", "reply 250 ok", "finished ok"}));
    QVERIFY(s.server.unreadLines().isEmpty());
}

void tst_QFtpPI::loginWithPassword()
{
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.pi.sendCommands({"USER marvoline\r\n", "PASS qd4739\r\n"}));
    QVERIFY(s.answer("USER marvoline", "331 password please\r\n"));
    QVERIFY(s.answer("PASS qd4739"));
    QCOMPARE(s.pi.currentCommand(), QStringLiteral("PASS qd4739\r\n"));
    s.server.send("230 logged in\r\n");
    QTRY_COMPARE(s.rec.events.size(), 4);
    QCOMPARE(s.rec.take(),
        (QStringList {
            "reply 331 password please", "reply 230 logged in", "state 4", "finished logged in"}));
    QVERIFY(s.pi.currentCommand().isNull());
}

void tst_QFtpPI::reply202IsFailure()
{
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.command("ALLO 10", "202 superfluous\r\n"));
    QTRY_COMPARE(s.rec.events,
        (QStringList {"reply 202 superfluous", "error 1 superfluous", "finished superfluous"}));
}

void tst_QFtpPI::failureDoesNotDropRemainingLines()
{
    // The owner decides (a refused SIZE is ignored); the interpreter goes on.
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.pi.sendCommands({QStringLiteral("SIZE f\r\n"), QStringLiteral("NOOP\r\n")}));
    QVERIFY(s.answer("SIZE f", "550 no size\r\n"));
    QVERIFY(s.answer("NOOP", "200 ok\r\n"));
    QTRY_COMPARE(s.rec.events,
        (QStringList {"reply 550 no size", "error 1 no size", "reply 200 ok", "finished ok"}));
}

void tst_QFtpPI::passiveListingDefersCompletion()
{
    Session s;
    QVERIFY(s.open());
    QList<QString> names;
    connect(&s.pi.dtp, &QFtpDTP::listInfo, this, [&](const QUrlInfo &i) { names << i.name(); });
    QVERIFY(s.pi.sendCommands({"TYPE A\r\n", "PASV\r\n", "LIST\r\n"}));
    QVERIFY(s.answer("TYPE A", "200 type\r\n"));
    QVERIFY(s.answerPasv(s.data, "LIST"));
    s.server.send("150 here\r\n");
    s.data.send(listingLine);
    s.server.send("226 done\r\n");
    deliver();
    // The data connection is still open: the completion is held back.
    QVERIFY(!s.rec.events.contains(QStringLiteral("finished done")));
    QVERIFY(!s.rec.events.contains(QStringLiteral("reply 226 done")));
    s.data.close();
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("finished done")));
    QCOMPARE(names, QList<QString> {QStringLiteral("version.ver")});
    QCOMPARE(s.rec.events.last(), QStringLiteral("finished done"));
    QCOMPARE(s.rec.events.at(s.rec.events.size() - 2), QStringLiteral("reply 226 done"));
    QVERIFY(!s.rec.mentions(QStringLiteral("error")));
}

void tst_QFtpPI::deferredReplyStopsReading()
{
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.startRetr());
    // The completion and an unasked reply behind it in one arrival.
    s.server.send("150 sending\r\n226 sent\r\n200 later\r\n");
    deliver();
    s.data.send("bytes");
    s.data.close();
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("finished sent")));
    deliver();
    QCOMPARE(s.rec.take().mid(1),
        (QStringList {"reply 150 sending", "reply 226 sent", "finished sent"}));
}

void tst_QFtpPI::deferral250OnlyAfterRetr()
{
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.startRetr());
    s.server.send("250 file sent\r\n");
    deliver();
    QCOMPARE(s.rec.events,
        QStringList {"reply 227 Entering Passive Mode (127,0,0,1,"
            + QString::number(s.data.port() >> 8) + "," + QString::number(s.data.port() & 0xff)
            + ")."});
    s.data.close();
    QTRY_COMPARE(s.rec.events.size(), 3);
    QCOMPARE(s.rec.events.mid(1), (QStringList {"reply 250 file sent", "finished file sent"}));
    s.rec.take();
    // Another line's 250 is not held, even with a data connection open.
    DataServer data2;
    QVERIFY(data2.listen());
    QVERIFY(s.pi.sendCommands({"PASV\r\n", "CWD x\r\n"}));
    QVERIFY(s.answerPasv(data2, "CWD x"));
    s.server.send("250 changed\r\n");
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("finished changed")));
    QCOMPARE(s.pi.dtp.connectionState(), QAbstractSocket::ConnectedState);
}

void tst_QFtpPI::sizeReplySetsTotal()
{
    Session s;
    QVERIFY(s.open());
    QSignalSpy progress(&s.pi.dtp, &QFtpDTP::dataTransferProgress);
    QSignalSpy finished(&s.pi, &QFtpPI::finished);
    QVERIFY(s.command("SIZE f", "213  123456789012 \r\n"));
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
    // Only the port counts: the data connection goes to the control peer.
    QTest::newRow("227-other-loopback-address")
        << QStringLiteral("227 Entering Passive Mode (127,0,0,2,%1,%2)\r\n");
    QTest::newRow("227-any-address")
        << QStringLiteral("227 Entering Passive Mode (0,0,0,0,%1,%2)\r\n");
}

void tst_QFtpPI::passive227And229()
{
    QFETCH(QString, format);
    Session s;
    QVERIFY(s.open());
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    s.pi.dtp.setDevice(&sink);
    QVERIFY(s.pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    const quint16 p = s.data.port();
    QString reply = format;
    reply.replace(QLatin1String("%1"), QString::number(p >> 8))
        .replace(QLatin1String("%2"), QString::number(p & 0xff))
        .replace(QLatin1String("%3"), QString::number(p));
    QVERIFY(s.answer("PASV", reply.toLatin1()));
    QVERIFY(s.data.waitForClient());
    QVERIFY(s.answer("RETR f"));
    QSignalSpy finished(&s.pi, &QFtpPI::finished);
    s.server.send("150 go\r\n226 done\r\n");
    s.data.send("payload");
    s.data.close();
    QVERIFY(finished.wait());
    QCOMPARE(sink.data(), QByteArray("payload"));
}

void tst_QFtpPI::passiveReplyWithoutPort_data()
{
    // %1, %2: the data server's port bytes with 256 added to the first;
    // %3: its port plus 65536. Reduced, each names the listening server.
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("227-five-numbers") << QByteArray("227 Entering Passive Mode (127,0,0,1,4)\r\n");
    QTest::newRow("229-no-paren") << QByteArray("229 Entering Extended Passive Mode\r\n");
    QTest::newRow("229-three-parts") << QByteArray("229 Entering Extended Passive Mode (||)\r\n");
    QTest::newRow("229-not-a-number")
        << QByteArray("229 Entering Extended Passive Mode (|||x|)\r\n");
    QTest::newRow("229-paren-last") << QByteArray("229 Entering Extended Passive Mode (\r\n");
    QTest::newRow("200-no-port") << QByteArray("200 whatever\r\n");
    QTest::newRow("227-port-byte-over-255")
        << QByteArray("227 Entering Passive Mode (127,0,0,1,%1,%2)\r\n");
    QTest::newRow("227-address-byte-over-255")
        << QByteArray("227 Entering Passive Mode (127,0,0,256,0,%2)\r\n");
    QTest::newRow("229-port-over-65535")
        << QByteArray("229 Entering Extended Passive Mode (|||%3|)\r\n");
    QTest::newRow("229-port-0") << QByteArray("229 Entering Extended Passive Mode (|||0|)\r\n");
}

void tst_QFtpPI::passiveReplyWithoutPort()
{
    QFETCH(QByteArray, reply);
    Session s;
    QVERIFY(s.open());
    const quint16 p = s.data.port();
    reply.replace("%1", QByteArray::number((p >> 8) + 256))
        .replace("%2", QByteArray::number(p & 0xff))
        .replace("%3", QByteArray::number(p + 65536));
    QVERIFY(s.pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QVERIFY(s.answer("PASV", reply));
    // The command fails at once; the transfer line never goes out.
    QTRY_COMPARE(s.rec.events.size(), 2);
    QVERIFY2(s.rec.events.at(1).startsWith("error 1 No usable port in the passive mode reply: "),
        qPrintable(s.rec.events.at(1)));
    QVERIFY(s.server.noLineWithin(100));
    QCOMPARE(s.pi.dtp.connectionState(), QAbstractSocket::UnconnectedState);
    QVERIFY(!s.data.client());
    QVERIFY(s.pi.currentCommand().isNull());
}

void tst_QFtpPI::passiveRefusedOverIPv4_data()
{
    QTest::addColumn<QByteArray>("pasvReply");
    QTest::addColumn<QByteArray>("epsvReply"); // empty: no EPSV is sent
    QTest::addColumn<QByteArray>("nextLine"); // what the next transfer sends
    QTest::newRow("500-then-epsv") << QByteArray("500 PASV not understood\r\n")
                                   << QByteArray("229 ok (|||%1|)\r\n") << QByteArray("EPSV");
    QTest::newRow("502-then-epsv") << QByteArray("502 not implemented\r\n")
                                   << QByteArray("229 ok (|||%1|)\r\n") << QByteArray("EPSV");
    QTest::newRow("500-epsv-refused-too")
        << QByteArray("500 PASV not understood\r\n") << QByteArray("500 EPSV not understood\r\n")
        << QByteArray("PASV");
    // Not a refusal of the command itself: no EPSV.
    QTest::newRow("425-no-epsv") << QByteArray("425 cannot open\r\n") << QByteArray()
                                 << QByteArray("PASV");
}

void tst_QFtpPI::passiveRefusedOverIPv4()
{
    QFETCH(QByteArray, pasvReply);
    QFETCH(QByteArray, epsvReply);
    QFETCH(QByteArray, nextLine);
    Session s;
    QVERIFY(s.open());
    clearPendingOnError(s.pi);
    const bool accepted = epsvReply.startsWith("229");
    epsvReply.replace("%1", QByteArray::number(s.data.port()));
    QVERIFY(s.pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QVERIFY(s.answer("PASV", pasvReply));
    if (!epsvReply.isEmpty())
        QVERIFY(s.answer("EPSV", epsvReply));
    if (accepted) {
        QVERIFY(s.data.waitForClient());
        QVERIFY(s.answer("RETR f", "150 go\r\n226 done\r\n"));
        s.data.close();
        QTRY_VERIFY(s.rec.events.contains(QStringLiteral("finished done")));
        QVERIFY(!s.rec.mentions(QStringLiteral("error")));
    } else {
        // One error, with the last refusal; the transfer line never goes out.
        QTRY_VERIFY(s.rec.mentions(QStringLiteral("error")));
        QCOMPARE(s.rec.events.filter(QStringLiteral("error")),
            QStringList(QStringLiteral("error 1 ")
                + QString::fromLatin1(epsvReply.isEmpty() ? pasvReply : epsvReply)
                      .mid(4)
                      .trimmed()));
        QVERIFY(s.server.noLineWithin(100));
    }
    // What worked is kept for the session; what failed is not tried again.
    QVERIFY(s.pi.sendCommands({"PASV\r\n", "RETR g\r\n"}));
    QCOMPARE(s.server.nextLine(), nextLine);
}

void tst_QFtpPI::refusedDataConnectionReleasedByClear()
{
    Session s;
    QVERIFY(s.listen());
    const quint16 closed = closedPort();
    QVERIFY(closed);
    QVERIFY(s.greet());
    clearPendingOnError(s.pi);
    QVERIFY(s.pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QVERIFY(s.answer("PASV",
        QStringLiteral("227 Entering Passive Mode (127,0,0,1,%1,%2)\r\n")
            .arg(closed >> 8)
            .arg(closed & 0xff)
            .toLatin1()));
    QTRY_VERIFY(
        s.rec.events.contains(QStringLiteral("error 3 Connection refused for data connection")));
    // The transfer line was never sent; the next command's lines are.
    QVERIFY(s.command("NOOP", "200 ok\r\n"));
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("finished ok")));
}

void tst_QFtpPI::activePortLineIPv4()
{
    Session s;
    QVERIFY(s.open());
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    s.pi.dtp.setDevice(&sink);
    QSignalSpy finished(&s.pi, &QFtpPI::finished);
    QVERIFY(s.pi.sendCommands({"TYPE I\r\n", "PORT\r\n", "RETR f\r\n"}));
    QVERIFY(s.answer("TYPE I", "200 binary\r\n"));
    const QByteArray port = s.server.nextLine();
    QVERIFY2(portOf(port), port.constData());
    QCOMPARE(s.pi.currentCommand(), QString::fromLatin1(port + "\r\n"));
    QTcpSocket active;
    active.connectToHost(QHostAddress::LocalHost, portOf(port));
    QVERIFY(active.waitForConnected(5000));
    s.server.send("200 port ok\r\n");
    QVERIFY(s.answer("RETR f", "150 sending\r\n"));
    active.write("active bytes");
    active.disconnectFromHost();
    s.server.send("226 sent\r\n");
    QVERIFY(finished.wait());
    QCOMPARE(finished.last().at(0).toString(), QStringLiteral("sent"));
    QCOMPARE(sink.data(), QByteArray("active bytes"));
}

void tst_QFtpPI::activeAcceptsOnlyThePeer()
{
    Session s;
    QVERIFY(s.open());
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    s.pi.dtp.setDevice(&sink);
    QVERIFY(s.pi.sendCommands({"PORT\r\n", "RETR f\r\n"}));
    const quint16 port = portOf(s.server.nextLine());
    QVERIFY(port);
    // Someone other than the server finds the port first.
    QTcpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.2"))));
    stranger.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(stranger.waitForConnected(5000));
    stranger.write("forged");
    QTRY_COMPARE(stranger.state(), QAbstractSocket::UnconnectedState);
    s.server.send("200 port ok\r\n");
    QVERIFY(s.answer("RETR f", "150 sending\r\n"));
    QTcpSocket server;
    server.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(server.waitForConnected(5000));
    server.write("genuine");
    server.disconnectFromHost();
    s.server.send("226 sent\r\n");
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("finished sent")));
    QCOMPARE(sink.data(), QByteArray("genuine"));
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
    Session s;
    QVERIFY(s.open());
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    if (intoDevice)
        s.pi.dtp.setDevice(&sink);
    QList<QString> names;
    connect(&s.pi.dtp, &QFtpDTP::listInfo, this, [&](const QUrlInfo &i) { names << i.name(); });
    QByteArray kept;
    connect(&s.pi.dtp, &QFtpDTP::readyRead, this, [&] { kept += s.pi.dtp.readAll(); });
    const QByteArray command = listing ? QByteArray("LIST") : QByteArray("RETR f");
    QVERIFY(s.pi.sendCommands({"PORT\r\n", QString::fromLatin1(command + "\r\n")}));
    const quint16 port = portOf(s.server.nextLine());
    QVERIFY(port);
    s.server.send("200 port ok\r\n");
    QVERIFY(s.answer(command));
    const QByteArray payload = listing ? listingLine : QByteArray("abcdef");
    QTcpSocket active;
    active.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(active.waitForConnected(5000));
    active.write(payload);
    QVERIFY(active.waitForBytesWritten(5000));
    active.disconnectFromHost();
    s.server.send("150 sending\r\n226 sent\r\n");
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("finished sent")));
    kept += s.pi.dtp.readAll();
    if (listing)
        QCOMPARE(names, QList<QString> {QStringLiteral("version.ver")});
    else if (intoDevice)
        QCOMPARE(sink.data(), payload);
    else
        QCOMPARE(kept, payload);
    QVERIFY(!s.rec.mentions(QStringLiteral("error")));
}

void tst_QFtpPI::extendedFallbackIPv6()
{
    Session s;
    if (!s.listen(QHostAddress::LocalHostIPv6))
        QSKIP("no IPv6 loopback");
    QVERIFY(s.greet(QStringLiteral("::1")));
    // EPSV refused: PASV next, and no error.
    QVERIFY(s.pi.sendCommands({"PASV\r\n", "RETR f\r\n"}));
    QVERIFY(s.answer("EPSV", "500 unknown\r\n"));
    QVERIFY(s.answer("PASV"));
    QVERIFY(!s.pi.extendedTransfer);
    s.server.send(s.data.pasvReply());
    QVERIFY(s.data.waitForClient());
    QVERIFY(s.answer("RETR f", "150 go\r\n226 done\r\n"));
    s.data.close();
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("finished done")));
    QVERIFY(!s.rec.mentions(QStringLiteral("error")));
    s.rec.take();

    // EPRT, and once refused, an active mode that cannot be expressed.
    s.pi.extendedTransfer = true;
    clearPendingOnError(s.pi);
    QVERIFY(s.pi.sendCommands({"PORT\r\n", "RETR f\r\n"}));
    const QByteArray eprt = s.server.nextLine();
    const QRegularExpressionMatch m
        = QRegularExpression(QStringLiteral("^EPRT \\|2\\|::1\\|(\\d+)\\|$"))
              .match(QString::fromLatin1(eprt));
    QVERIFY2(m.hasMatch(), eprt.constData());
    QTcpSocket active;
    active.connectToHost(QHostAddress::LocalHostIPv6, quint16(m.captured(1).toUInt()));
    QVERIFY(active.waitForConnected(5000));
    s.server.send("500 unknown\r\n");
    QTRY_COMPARE(s.rec.events.size(), 2);
    QCOMPARE(s.rec.events.at(0), QStringLiteral("reply 500 unknown"));
    QCOMPARE(s.rec.events.at(1),
        QStringLiteral("error 1 Active mode is not available for the local address ::1"));
    // Nothing was sent and nothing is awaited: the next command goes out.
    QVERIFY(s.command("NOOP"));
}

void tst_QFtpPI::abortDuringDownload()
{
    Session s;
    QVERIFY(s.open());
    clearPendingOnError(s.pi);
    QSignalSpy ready(&s.pi.dtp, &QFtpDTP::readyRead);
    QVERIFY(s.startRetr());
    s.server.send("150 sending\r\n");
    s.data.send("first");
    QVERIFY(ready.wait());
    s.pi.abort();
    QVERIFY(s.pi.isAbortSent());
    QVERIFY(s.answer("ABOR"));
    s.data.send("discarded");
    deliver();
    s.server.send("426 aborted\r\n226 abort done\r\n");
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("error 1 aborted")));
    deliver();
    QVERIFY(!s.pi.isAbortSent());
    QVERIFY(!s.rec.mentions(QStringLiteral("abort done")));
    s.rec.take();
    QVERIFY(s.nextCommandWorks());
}

void tst_QFtpPI::abortWithSingleReply()
{
    Session s;
    QVERIFY(s.open());
    s.pi.abort(); // nothing in progress: nothing to send, nothing to report
    QVERIFY(s.server.noLineWithin(50));
    QCOMPARE(s.rec.events, QStringList());
    QVERIFY(s.nextCommandWorks());
}

void tst_QFtpPI::abortWhileLineOutstanding()
{
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.pi.sendCommands({QStringLiteral("CWD x\r\n"), QStringLiteral("NOOP\r\n")}));
    QVERIFY(s.answer("CWD x"));
    s.pi.abort();
    QVERIFY(s.answer("ABOR", "250 changed\r\n"));
    deliver();
    s.server.send("225 nothing to abort\r\n");
    // The line's success does not make the aborted command a success.
    const QStringList expected {"reply 250 changed", "error 1 Aborted", "finished Aborted"};
    QTRY_COMPARE(s.rec.events, expected);
    deliver();
    QCOMPARE(s.rec.take(), expected);
    QVERIFY(s.server.noLineWithin(50)); // the pending NOOP was dropped
    QVERIFY(s.nextCommandWorks());
}

void tst_QFtpPI::abortTwice()
{
    Session s;
    QVERIFY(s.open());
    QVERIFY(s.command("STAT"));
    s.pi.abort();
    s.pi.abort();
    QVERIFY(s.answer("ABOR"));
    QVERIFY(s.server.noLineWithin(50));
}

void tst_QFtpPI::connectFailures()
{
    const quint16 closed = closedPort();
    QVERIFY(closed);
    QFtpPI refused;
    Recorder rec(&refused);
    refused.connectToHost(QStringLiteral("127.0.0.1"), closed);
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
    Session s;
    QVERIFY(s.listen());
    if (phase == QLatin1String("greeting")) {
        s.pi.connectToHost(QStringLiteral("127.0.0.1"), s.server.port());
        QVERIFY(s.server.waitForClient());
    } else {
        QVERIFY(greet(s.pi, s.server));
    }
    QTRY_COMPARE(s.pi.currentCommand(), QString()); // connected
    if (phase == QLatin1String("line")) {
        QVERIFY(s.command("CWD x"));
    } else if (phase == QLatin1String("quit")) {
        QVERIFY(s.command("QUIT"));
    } else if (phase == QLatin1String("transfer")) {
        QVERIFY(s.startRetr());
        s.server.send("150 sending\r\n");
        s.data.send("part");
    }
    s.rec.watch(&s.pi);
    deliver();
    s.rec.take();
    s.server.dropClient();
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("state 0")));
    deliver();
    QStringList expected {QStringLiteral("state 0")};
    if (fails)
        expected << QStringLiteral("error 1 Connection closed by host 127.0.0.1");
    QCOMPARE(s.rec.events, expected);
    // Nothing is left waiting.
    QVERIFY(s.pi.currentCommand().isNull());
    QCOMPARE(s.pi.dtp.connectionState(), QAbstractSocket::UnconnectedState);
}

void tst_QFtpPI::writeFailureKeepsRepliesInStep()
{
    Session s;
    QVERIFY(s.open());
    clearPendingOnError(s.pi);
    QBuffer sink; // never opened: every write fails
    s.pi.dtp.setDevice(&sink);
    QVERIFY(s.startRetr());
    s.server.send("150 sending\r\n");
    QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QBuffer): device not open");
    s.data.send("cannot be stored");
    QVERIFY(s.answer("ABOR"));
    QTRY_VERIFY(s.rec.events.contains(QStringLiteral("error 1 ") + sink.errorString()));
    QCOMPARE(s.pi.dtp.connectionState(), QAbstractSocket::UnconnectedState);
    s.rec.take();
    // The next command waits until the transfer's and ABOR's replies are in.
    QVERIFY(s.pi.sendCommands({QStringLiteral("NOOP\r\n")}));
    QVERIFY(s.server.noLineWithin(50));
    s.server.send("426 transfer aborted\r\n");
    QVERIFY(s.server.noLineWithin(50));
    s.server.send("226 abort done\r\n");
    QVERIFY(s.answer("NOOP", "200 ok\r\n"));
    QTRY_COMPARE(s.rec.events, (QStringList {"reply 200 ok", "finished ok"}));
}

QTEST_GUILESS_MAIN(tst_QFtpPI)
#include "tst_qftppi.moc"
