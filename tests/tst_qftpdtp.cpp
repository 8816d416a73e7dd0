#include "bytepattern.h"
#include "closedport.h"
#include "pipedevice.h"
#include "qftpdtp.h"
#include "qurlinfo.h"
#include "scriptedserver.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Stands in for the control connection: the two values the data
// connection reads, and a record of reported write failures.
class FakeOwner : public QFtpDTPOwner
{
public:
    QString command = QStringLiteral("RETR f\r\n");
    bool abortSent = false;
    QStringList writeFailures;
    QFtpDTP *dtp = nullptr;

    QString currentCommand() const override { return command; }
    bool isAbortSent() const override { return abortSent; }
    void dataWriteFailed(const QString &text) override
    {
        writeFailures << text;
        dtp->abortTransfer();
    }
};

QList<int> states(const QSignalSpy &spy)
{
    QList<int> list;
    for (const QList<QVariant> &args : spy)
        list << args.at(0).toInt();
    return list;
}

// Opens a passive data connection from dtp to server and waits until both
// ends are up.
bool connectPassive(QFtpDTP &dtp, DataServer &server)
{
    QSignalSpy connected(&dtp, &QFtpDTP::connectState);
    dtp.openDataConnection(QStringLiteral("127.0.0.1"), server.port());
    if (!connected.wait(5000) || connected.at(0).at(0).toInt() != QFtpDTP::DataConnected)
        return false;
    return server.waitForClient();
}

// A data connection whose stand-in owner has `command` in progress, and a
// server for its passive connection.
struct Link
{
    explicit Link(const QString &command = QStringLiteral("RETR f\r\n"))
        : dtp(&owner)
    {
        owner.command = command;
        owner.dtp = &dtp;
    }
    // Listens and opens the passive connection to the server.
    bool open() { return server.listen() && connectPassive(dtp, server); }

    FakeOwner owner;
    QFtpDTP dtp;
    DataServer server;
};

} // namespace

class tst_QFtpDTP : public QObject
{
    Q_OBJECT

private slots:
    void setBytesTotalReportsZeroOfTotal();
    void passiveConnectionNamesAndProperty();
    void listingLineCap();
    void refusedConnection_data();
    void refusedConnection();
    void dataWithoutCommandClosesConnection();
    void dataWhileAbortSentIsDiscarded();
    void listing();
    void downloadIntoDevice();
    void downloadKeptForReading();
    void downloadWriteFailure_data();
    void downloadWriteFailure();
    void uploadByteArray_data();
    void uploadByteArray();
    void uploadRandomAccessFile_data();
    void uploadRandomAccessFile();
    void uploadSequentialDevice();
    void activeListeningReusesPort();
    void failedListenReturnsMinusOne();
    void activeAcceptPoll();
    void activeUploadWaitsForConnection();
    void replacedActiveSocketIsReleased();
};

void tst_QFtpDTP::setBytesTotalReportsZeroOfTotal()
{
    Link c;
    QSignalSpy progress(&c.dtp, &QFtpDTP::dataTransferProgress);
    c.dtp.setBytesTotal(1234);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toLongLong(), 0);
    QCOMPARE(progress.at(0).at(1).toLongLong(), 1234);
}

void tst_QFtpDTP::passiveConnectionNamesAndProperty()
{
    Link c;
    c.dtp.setProperty("_q_networksession", QVariant(42));
    QCOMPARE(c.dtp.connectionState(), QAbstractSocket::UnconnectedState);
    QVERIFY(c.open());
    QCOMPARE(c.dtp.connectionState(), QAbstractSocket::ConnectedState);
    auto *socket = c.dtp.findChild<QTcpSocket *>(QStringLiteral("QFtpDTP Passive state socket"));
    QVERIFY(socket);
    QCOMPARE(socket->property("_q_networksession").toInt(), 42);
    QVERIFY(c.dtp.startListening(QHostAddress::LocalHost) > 0);
    auto *listener = c.dtp.findChild<QTcpServer *>(QStringLiteral("QFtpDTP active state server"));
    QVERIFY(listener);
    QCOMPARE(listener->property("_q_networksession").toInt(), 42);
}

void tst_QFtpDTP::refusedConnection_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("state");
    QTest::newRow("refused") << "127.0.0.1" << int(QFtpDTP::DataConnectionRefused);
    // The kernel refuses the broadcast address locally, no packet sent: any
    // error of a connection being opened fails it.
    QTest::newRow("other-error") << "255.255.255.255" << int(QFtpDTP::DataConnectionFailed);
}

void tst_QFtpDTP::refusedConnection()
{
    QFETCH(QString, host);
    QFETCH(int, state);
    Link c;
    const quint16 closed = closedPort();
    QVERIFY(closed);
    QSignalSpy spy(&c.dtp, &QFtpDTP::connectState);
    c.dtp.openDataConnection(host, closed);
    QTRY_COMPARE(states(spy), QList<int> {state});
    QVERIFY(!c.dtp.connectionErrorString().isEmpty());
}

void tst_QFtpDTP::dataWithoutCommandClosesConnection()
{
    Link c {QString()};
    QVERIFY(c.open());
    QSignalSpy spy(&c.dtp, &QFtpDTP::connectState);
    QSignalSpy ready(&c.dtp, &QFtpDTP::readyRead);
    c.server.send("unexpected");
    QTRY_VERIFY(states(spy).contains(QFtpDTP::DataClosed));
    QCOMPARE(c.dtp.connectionState(), QAbstractSocket::UnconnectedState);
    QCOMPARE(ready.count(), 0);
}

void tst_QFtpDTP::dataWhileAbortSentIsDiscarded()
{
    Link c;
    c.owner.abortSent = true;
    QVERIFY(c.open());
    QSignalSpy spy(&c.dtp, &QFtpDTP::connectState);
    QSignalSpy ready(&c.dtp, &QFtpDTP::readyRead);
    QSignalSpy progress(&c.dtp, &QFtpDTP::dataTransferProgress);
    c.server.send("discard me");
    c.server.close();
    QTRY_COMPARE(states(spy), QList<int> {QFtpDTP::DataClosed});
    QCOMPARE(ready.count(), 0);
    QCOMPARE(progress.count(), 0);
    QCOMPARE(c.dtp.readAll(), QByteArray());
}

// A listing line without an end costs bounded memory: the transfer fails.
void tst_QFtpDTP::listingLineCap()
{
    Link c {QStringLiteral("LIST\r\n")};
    QVERIFY(c.open());
    c.server.send(QByteArray(80 * 1024, 'x'));
    QTRY_COMPARE(c.owner.writeFailures, QStringList {"Listing line too long"});
    QCOMPARE(c.dtp.connectionState(), QAbstractSocket::UnconnectedState);
}

void tst_QFtpDTP::listing()
{
    Link c {QStringLiteral("LIST\r\n")};
    QVERIFY(c.open());
    QList<QUrlInfo> entries;
    connect(&c.dtp, &QFtpDTP::listInfo, this, [&](const QUrlInfo &entry) { entries << entry; });
    QSignalSpy spy(&c.dtp, &QFtpDTP::connectState);
    const QByteArray missing("ls: /nothere: No such file or directory\r\n");
    // Split inside a line: the first half waits in the socket.
    c.server.send("-rw-r--r--   1 owner    group        1234 Jan 01 12:00 version.ver\r\ndrwx");
    QTRY_COMPARE(entries.count(), 1);
    c.server.send("r-xr-x   2 owner    group        4096 Jan 01 12:00 Bin\r\n");
    c.server.send("garbage line\r\n" + missing);
    c.server.send("-rw-r--r--   1 owner    group           5 Jan 01 12:00 last");
    c.server.close();
    QTRY_VERIFY(states(spy).contains(QFtpDTP::DataClosed));
    QCOMPARE(entries.count(), 2);
    const QUrlInfo first = entries.at(0);
    const QUrlInfo second = entries.at(1);
    QCOMPARE(first.name(), QStringLiteral("version.ver"));
    QCOMPARE(first.size(), 1234);
    QCOMPARE(second.name(), QStringLiteral("Bin"));
    QVERIFY(second.isDir());
    QVERIFY(c.dtp.hasErrorText());
    QCOMPARE(c.dtp.errorText(), QString::fromLatin1(missing));
    c.dtp.clearErrorText();
    QVERIFY(!c.dtp.hasErrorText());
    QVERIFY(c.dtp.errorText().isNull());
    // The unterminated last line was never parsed; it is kept.
    QCOMPARE(
        c.dtp.readAll(), QByteArray("-rw-r--r--   1 owner    group           5 Jan 01 12:00 last"));
}

void tst_QFtpDTP::downloadIntoDevice()
{
    Link c;
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    const QByteArray data = pattern(300000);
    c.dtp.setDevice(&sink);
    c.dtp.setBytesTotal(data.size());
    QVERIFY(c.open());
    QSignalSpy progress(&c.dtp, &QFtpDTP::dataTransferProgress);
    QSignalSpy ready(&c.dtp, &QFtpDTP::readyRead);
    QSignalSpy spy(&c.dtp, &QFtpDTP::connectState);
    c.server.send(data.left(1000));
    QTRY_COMPARE(sink.data().size(), 1000);
    c.server.send(data.mid(1000));
    c.server.close();
    QTRY_VERIFY(states(spy).contains(QFtpDTP::DataClosed));
    QCOMPARE(sink.data(), data);
    QCOMPARE(ready.count(), 0);
    QVERIFY(progress.count() >= 2);
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(data.size()));
    QCOMPARE(progress.last().at(1).toLongLong(), qint64(data.size()));
    QVERIFY(c.owner.writeFailures.isEmpty());
    // The device was detached with the close: a later transfer's data does
    // not go into it.
    QCOMPARE(c.dtp.readAll(), QByteArray());
}

void tst_QFtpDTP::downloadKeptForReading()
{
    Link c;
    c.dtp.setBytesTotal(10);
    QVERIFY(c.open());
    QSignalSpy ready(&c.dtp, &QFtpDTP::readyRead);
    QSignalSpy progress(&c.dtp, &QFtpDTP::dataTransferProgress);
    QSignalSpy spy(&c.dtp, &QFtpDTP::connectState);
    c.server.send("abcd");
    QVERIFY(ready.wait());
    QCOMPARE(progress.last().at(0).toLongLong(), 4);
    QCOMPARE(c.dtp.bytesAvailable(), 4);
    char two[2];
    QCOMPARE(c.dtp.read(two, 2), 2);
    QCOMPARE(QByteArray(two, 2), QByteArray("ab"));
    c.server.send("efghij");
    c.server.close();
    QTRY_VERIFY(states(spy).contains(QFtpDTP::DataClosed));
    // What was not read stays available after the close, front first.
    QCOMPARE(c.dtp.bytesAvailable(), 8);
    char three[3];
    QCOMPARE(c.dtp.read(three, 3), 3);
    QCOMPARE(QByteArray(three, 3), QByteArray("cde"));
    QCOMPARE(c.dtp.readAll(), QByteArray("fghij"));
    QCOMPARE(c.dtp.bytesAvailable(), 0);
    QCOMPARE(c.dtp.read(three, 3), 0);
}

void tst_QFtpDTP::downloadWriteFailure_data()
{
    QTest::addColumn<QString>("sinkKind");
    QTest::addColumn<int>("size");
    QTest::newRow("closed-buffer") << QStringLiteral("closed") << 1000;
    QTest::newRow("full-disk-large") << QStringLiteral("full") << 200000;
    // Small enough to sit in the file's buffer until the connection closes.
    QTest::newRow("full-disk-small") << QStringLiteral("full") << 100;
}

void tst_QFtpDTP::downloadWriteFailure()
{
    QFETCH(QString, sinkKind);
    QFETCH(int, size);
    if (sinkKind == QLatin1String("full") && !QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    Link c;
    QBuffer closed;
    QFile full(QStringLiteral("/dev/full"));
    QIODevice *sink = &closed;
    if (sinkKind == QLatin1String("full")) {
        QVERIFY(full.open(QIODevice::WriteOnly));
        sink = &full;
    }
    c.dtp.setDevice(sink);
    QVERIFY(c.open());
    QSignalSpy spy(&c.dtp, &QFtpDTP::connectState);
    if (sinkKind == QLatin1String("closed"))
        QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QBuffer): device not open");
    c.server.send(pattern(size));
    c.server.close();
    QTRY_COMPARE(c.owner.writeFailures.count(), 1);
    QCOMPARE(c.owner.writeFailures.at(0), sink->errorString());
    QVERIFY(!c.owner.writeFailures.at(0).isEmpty());
    QTRY_COMPARE(c.dtp.connectionState(), QAbstractSocket::UnconnectedState);
}

void tst_QFtpDTP::uploadByteArray_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("small") << 10;
    QTest::newRow("large") << 1000000;
}

void tst_QFtpDTP::uploadByteArray()
{
    QFETCH(int, size);
    Link c {QStringLiteral("STOR f\r\n")};
    QByteArray data = pattern(size);
    c.dtp.setData(&data);
    c.dtp.setBytesTotal(data.size());
    QVERIFY(c.open());
    QSignalSpy progress(&c.dtp, &QFtpDTP::dataTransferProgress);
    QSignalSpy written(c.dtp.findChild<QTcpSocket *>(), &QTcpSocket::bytesWritten);
    c.dtp.sendNextBlock();
    QCOMPARE(c.server.receiveAll(), data);
    QTRY_COMPARE(c.dtp.connectionState(), QAbstractSocket::UnconnectedState);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(size));
    QCOMPARE(progress.last().at(1).toLongLong(), qint64(size));
    if (size == 0)
        QCOMPARE(written.count(), 0);
}

void tst_QFtpDTP::uploadRandomAccessFile_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("one-block") << 16384;
    QTest::newRow("many-blocks") << 1000003;
}

void tst_QFtpDTP::uploadRandomAccessFile()
{
    QFETCH(int, size);
    QTemporaryDir dir;
    const QByteArray data = pattern(size);
    QFile file(dir.filePath(QStringLiteral("up")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    Link c {QStringLiteral("STOR up\r\n")};
    c.dtp.setDevice(&file);
    c.dtp.setBytesTotal(size);
    QVERIFY(c.open());
    QSignalSpy progress(&c.dtp, &QFtpDTP::dataTransferProgress);
    qint64 largestStep = 0, previous = 0;
    connect(&c.dtp, &QFtpDTP::dataTransferProgress, this, [&](qint64 done, qint64) {
        largestStep = qMax(largestStep, done - previous);
        previous = done;
    });
    c.dtp.sendNextBlock();
    QCOMPARE(c.server.receiveAll(), data);
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(size));
    QVERIFY(largestStep <= 16384);
    if (size == 0)
        QCOMPARE(progress.count(), 1);
}

void tst_QFtpDTP::uploadSequentialDevice()
{
    Link c {QStringLiteral("STOR up\r\n")};
    PipeDevice pipe;
    c.dtp.setDevice(&pipe);
    c.dtp.setBytesTotal(0);
    // An empty device at the start: nothing is written until it has data.
    {
        PipeDevice empty;
        QFtpDTP early(&c.owner);
        DataServer earlyServer;
        QVERIFY(earlyServer.listen());
        early.setDevice(&empty);
        QVERIFY(connectPassive(early, earlyServer));
        QSignalSpy progress(&early, &QFtpDTP::dataTransferProgress);
        early.sendNextBlock();
        QCOMPARE(progress.count(), 0);
        QCOMPARE(early.connectionState(), QAbstractSocket::ConnectedState);
    }
    connect(&pipe, SIGNAL(readyRead()), &c.dtp, SLOT(dataReadyRead()));
    connect(&pipe, SIGNAL(readChannelFinished()), &c.dtp, SLOT(dataReadyRead()));
    QVERIFY(c.open());
    const QByteArray data = pattern(70000);
    // Data before the server accepted the upload is left in the device.
    pipe.append(data.left(30000));
    QCOMPARE(pipe.pendingSize(), 30000);
    c.dtp.sendNextBlock();
    QCOMPARE(pipe.pendingSize(), 30000 - 16384);
    pipe.append(data.mid(30000, 20000));
    pipe.append(data.mid(50000));
    pipe.finish();
    QCOMPARE(c.server.receiveAll(), data);
}

void tst_QFtpDTP::activeListeningReusesPort()
{
    Link c;
    const int port = c.dtp.startListening(QHostAddress::LocalHost);
    QVERIFY(port > 0);
    QCOMPARE(c.dtp.startListening(QHostAddress::LocalHost), port);
    // An abandoned transfer stops listening: no late connection is taken.
    c.dtp.abortTransfer();
    QVERIFY(!c.dtp.findChild<QTcpServer *>()->isListening());
}

void tst_QFtpDTP::failedListenReturnsMinusOne()
{
    Link c;
    // An address of no local interface (TEST-NET-1): binding fails at once.
    QCOMPARE(c.dtp.startListening(QHostAddress(QStringLiteral("192.0.2.1"))), -1);
    QVERIFY(c.dtp.startListening(QHostAddress::LocalHost) > 0);
}

void tst_QFtpDTP::activeAcceptPoll()
{
    Link c;
    const int port = c.dtp.startListening(QHostAddress::LocalHost);
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(peer.waitForConnected(5000));
    // No event loop ran: the poll accepts the waiting connection itself.
    c.dtp.acceptPendingConnection();
    QVERIFY(c.dtp.findChild<QTcpSocket *>(QStringLiteral("QFtpDTP Active state socket")));
    QCOMPARE(c.dtp.connectionState(), QAbstractSocket::ConnectedState);
    // The listener closed: the next transfer listens afresh.
    auto *listener = c.dtp.findChild<QTcpServer *>(QStringLiteral("QFtpDTP active state server"));
    QVERIFY(!listener->isListening());
}

void tst_QFtpDTP::activeUploadWaitsForConnection()
{
    Link c {QStringLiteral("STOR f\r\n")};
    QByteArray data = pattern(5000);
    c.dtp.setData(&data);
    const int port = c.dtp.startListening(QHostAddress::LocalHost);
    c.dtp.acceptPendingConnection(); // nothing waiting yet
    c.dtp.sendNextBlock();
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(port));
    QByteArray received;
    connect(&peer, &QTcpSocket::readyRead, this, [&] { received += peer.readAll(); });
    QTRY_COMPARE(received, data);
    QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
}

void tst_QFtpDTP::replacedActiveSocketIsReleased()
{
    Link c;
    const QString activeSocket = QStringLiteral("QFtpDTP Active state socket");
    QTcpSocket first;
    first.connectToHost(
        QHostAddress::LocalHost, quint16(c.dtp.startListening(QHostAddress::LocalHost)));
    QTRY_VERIFY(c.dtp.findChild<QTcpSocket *>(activeSocket));
    QPointer<QTcpSocket> old = c.dtp.findChild<QTcpSocket *>(activeSocket);
    first.disconnectFromHost();
    QTcpSocket second;
    second.connectToHost(
        QHostAddress::LocalHost, quint16(c.dtp.startListening(QHostAddress::LocalHost)));
    QTRY_VERIFY(old.isNull());
    QTRY_COMPARE(c.dtp.findChildren<QTcpSocket *>().count(), 1);
    QCOMPARE(c.dtp.connectionState(), QAbstractSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(tst_QFtpDTP)
#include "tst_qftpdtp.moc"
