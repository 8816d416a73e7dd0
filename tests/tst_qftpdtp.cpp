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

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

QList<int> states(const QSignalSpy &spy)
{
    QList<int> list;
    for (const QList<QVariant> &args : spy)
        list << args.at(0).toInt();
    return list;
}

} // namespace

class tst_QFtpDTP : public QObject
{
    Q_OBJECT

private slots:
    void setBytesTotalReportsZeroOfTotal();
    void passiveConnectionNamesAndProperty();
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

// Opens a passive data connection from dtp to server and waits until both
// ends are up.
static bool connectPassive(QFtpDTP &dtp, DataServer &server)
{
    QSignalSpy connected(&dtp, &QFtpDTP::connectState);
    dtp.openDataConnection(QStringLiteral("127.0.0.1"), server.port());
    if (!connected.wait(5000) || connected.at(0).at(0).toInt() != QFtpDTP::DataConnected)
        return false;
    return server.waitForClient();
}

void tst_QFtpDTP::setBytesTotalReportsZeroOfTotal()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    QSignalSpy progress(&dtp, &QFtpDTP::dataTransferProgress);
    dtp.setBytesTotal(1234);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toLongLong(), 0);
    QCOMPARE(progress.at(0).at(1).toLongLong(), 1234);
}

void tst_QFtpDTP::passiveConnectionNamesAndProperty()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    dtp.setProperty("_q_networksession", QVariant(42));
    DataServer server;
    QVERIFY(server.listen());
    QCOMPARE(dtp.connectionState(), QAbstractSocket::UnconnectedState);
    QVERIFY(connectPassive(dtp, server));
    QCOMPARE(dtp.connectionState(), QAbstractSocket::ConnectedState);
    auto *socket = dtp.findChild<QTcpSocket *>(QStringLiteral("QFtpDTP Passive state socket"));
    QVERIFY(socket);
    QCOMPARE(socket->property("_q_networksession").toInt(), 42);
    QVERIFY(dtp.startListening(QHostAddress::LocalHost) > 0);
    auto *listener = dtp.findChild<QTcpServer *>(QStringLiteral("QFtpDTP active state server"));
    QVERIFY(listener);
    QCOMPARE(listener->property("_q_networksession").toInt(), 42);
}

void tst_QFtpDTP::refusedConnection()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    quint16 closedPort;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    QSignalSpy spy(&dtp, &QFtpDTP::connectState);
    dtp.openDataConnection(QStringLiteral("127.0.0.1"), closedPort);
    QVERIFY(spy.wait());
    QCOMPARE(states(spy), QList<int> {QFtpDTP::DataConnectionRefused});
}

void tst_QFtpDTP::dataWithoutCommandClosesConnection()
{
    FakeOwner owner;
    owner.command.clear();
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    QVERIFY(connectPassive(dtp, server));
    QSignalSpy spy(&dtp, &QFtpDTP::connectState);
    QSignalSpy ready(&dtp, &QFtpDTP::readyRead);
    server.send("unexpected");
    QTRY_VERIFY(states(spy).contains(QFtpDTP::DataClosed));
    QCOMPARE(dtp.connectionState(), QAbstractSocket::UnconnectedState);
    QCOMPARE(ready.count(), 0);
}

void tst_QFtpDTP::dataWhileAbortSentIsDiscarded()
{
    FakeOwner owner;
    owner.abortSent = true;
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    QVERIFY(connectPassive(dtp, server));
    QSignalSpy spy(&dtp, &QFtpDTP::connectState);
    QSignalSpy ready(&dtp, &QFtpDTP::readyRead);
    QSignalSpy progress(&dtp, &QFtpDTP::dataTransferProgress);
    server.send("discard me");
    server.close();
    QTRY_COMPARE(states(spy), QList<int> {QFtpDTP::DataClosed});
    QCOMPARE(ready.count(), 0);
    QCOMPARE(progress.count(), 0);
    QCOMPARE(dtp.readAll(), QByteArray());
}

void tst_QFtpDTP::listing()
{
    FakeOwner owner;
    owner.command = QStringLiteral("LIST\r\n");
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    QVERIFY(connectPassive(dtp, server));
    QList<QUrlInfo> entries;
    connect(&dtp, &QFtpDTP::listInfo, this, [&](const QUrlInfo &entry) { entries << entry; });
    QSignalSpy spy(&dtp, &QFtpDTP::connectState);
    const QByteArray missing("ls: /nothere: No such file or directory\r\n");
    // Split inside a line: the first half waits in the socket.
    server.send("-rw-r--r--   1 owner    group        1234 Jan 01 12:00 version.ver\r\ndrwx");
    QTRY_COMPARE(entries.count(), 1);
    server.send("r-xr-x   2 owner    group        4096 Jan 01 12:00 Bin\r\n");
    server.send("garbage line\r\n" + missing);
    server.send("-rw-r--r--   1 owner    group           5 Jan 01 12:00 last");
    server.close();
    QTRY_VERIFY(states(spy).contains(QFtpDTP::DataClosed));
    QCOMPARE(entries.count(), 2);
    const QUrlInfo first = entries.at(0);
    const QUrlInfo second = entries.at(1);
    QCOMPARE(first.name(), QStringLiteral("version.ver"));
    QCOMPARE(first.size(), 1234);
    QCOMPARE(second.name(), QStringLiteral("Bin"));
    QVERIFY(second.isDir());
    QVERIFY(dtp.hasErrorText());
    QCOMPARE(dtp.errorText(), QString::fromLatin1(missing));
    dtp.clearErrorText();
    QVERIFY(!dtp.hasErrorText());
    QVERIFY(dtp.errorText().isNull());
    // The unterminated last line was never parsed; it is kept.
    QCOMPARE(
        dtp.readAll(), QByteArray("-rw-r--r--   1 owner    group           5 Jan 01 12:00 last"));
}

void tst_QFtpDTP::downloadIntoDevice()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    const QByteArray data = pattern(300000);
    dtp.setDevice(&sink);
    dtp.setBytesTotal(data.size());
    QVERIFY(connectPassive(dtp, server));
    QSignalSpy progress(&dtp, &QFtpDTP::dataTransferProgress);
    QSignalSpy ready(&dtp, &QFtpDTP::readyRead);
    QSignalSpy spy(&dtp, &QFtpDTP::connectState);
    server.send(data.left(1000));
    QTRY_COMPARE(sink.data().size(), 1000);
    server.send(data.mid(1000));
    server.close();
    QTRY_VERIFY(states(spy).contains(QFtpDTP::DataClosed));
    QCOMPARE(sink.data(), data);
    QCOMPARE(ready.count(), 0);
    QVERIFY(progress.count() >= 2);
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(data.size()));
    QCOMPARE(progress.last().at(1).toLongLong(), qint64(data.size()));
    QVERIFY(owner.writeFailures.isEmpty());
    // The device was detached with the close: a later transfer's data does
    // not go into it.
    QCOMPARE(dtp.readAll(), QByteArray());
}

void tst_QFtpDTP::downloadKeptForReading()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    dtp.setBytesTotal(10);
    QVERIFY(connectPassive(dtp, server));
    QSignalSpy ready(&dtp, &QFtpDTP::readyRead);
    QSignalSpy progress(&dtp, &QFtpDTP::dataTransferProgress);
    QSignalSpy spy(&dtp, &QFtpDTP::connectState);
    server.send("abcd");
    QVERIFY(ready.wait());
    QCOMPARE(progress.last().at(0).toLongLong(), 4);
    QCOMPARE(dtp.bytesAvailable(), 4);
    char two[2];
    QCOMPARE(dtp.read(two, 2), 2);
    QCOMPARE(QByteArray(two, 2), QByteArray("ab"));
    server.send("efghij");
    server.close();
    QTRY_VERIFY(states(spy).contains(QFtpDTP::DataClosed));
    // What was not read stays available after the close, front first.
    QCOMPARE(dtp.bytesAvailable(), 8);
    char three[3];
    QCOMPARE(dtp.read(three, 3), 3);
    QCOMPARE(QByteArray(three, 3), QByteArray("cde"));
    QCOMPARE(dtp.readAll(), QByteArray("fghij"));
    QCOMPARE(dtp.bytesAvailable(), 0);
    QCOMPARE(dtp.read(three, 3), 0);
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
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    QBuffer closed;
    QFile full(QStringLiteral("/dev/full"));
    QIODevice *sink = &closed;
    if (sinkKind == QLatin1String("full")) {
        QVERIFY(full.open(QIODevice::WriteOnly));
        sink = &full;
    }
    dtp.setDevice(sink);
    QVERIFY(connectPassive(dtp, server));
    QSignalSpy spy(&dtp, &QFtpDTP::connectState);
    if (sinkKind == QLatin1String("closed"))
        QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QBuffer): device not open");
    server.send(pattern(size));
    server.close();
    QTRY_COMPARE(owner.writeFailures.count(), 1);
    QCOMPARE(owner.writeFailures.at(0), sink->errorString());
    QVERIFY(!owner.writeFailures.at(0).isEmpty());
    QTRY_COMPARE(dtp.connectionState(), QAbstractSocket::UnconnectedState);
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
    FakeOwner owner;
    owner.command = QStringLiteral("STOR f\r\n");
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    QByteArray data = pattern(size);
    dtp.setData(&data);
    dtp.setBytesTotal(data.size());
    QVERIFY(connectPassive(dtp, server));
    QSignalSpy progress(&dtp, &QFtpDTP::dataTransferProgress);
    QSignalSpy written(dtp.findChild<QTcpSocket *>(), &QTcpSocket::bytesWritten);
    dtp.sendNextBlock();
    QCOMPARE(server.receiveAll(), data);
    QTRY_COMPARE(dtp.connectionState(), QAbstractSocket::UnconnectedState);
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
    FakeOwner owner;
    owner.command = QStringLiteral("STOR up\r\n");
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    dtp.setDevice(&file);
    dtp.setBytesTotal(size);
    QVERIFY(connectPassive(dtp, server));
    QSignalSpy progress(&dtp, &QFtpDTP::dataTransferProgress);
    qint64 largestStep = 0, previous = 0;
    connect(&dtp, &QFtpDTP::dataTransferProgress, this, [&](qint64 done, qint64) {
        largestStep = qMax(largestStep, done - previous);
        previous = done;
    });
    dtp.sendNextBlock();
    QCOMPARE(server.receiveAll(), data);
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(size));
    QVERIFY(largestStep <= 16384);
    if (size == 0)
        QCOMPARE(progress.count(), 1);
}

void tst_QFtpDTP::uploadSequentialDevice()
{
    FakeOwner owner;
    owner.command = QStringLiteral("STOR up\r\n");
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    DataServer server;
    QVERIFY(server.listen());
    PipeDevice pipe;
    dtp.setDevice(&pipe);
    dtp.setBytesTotal(0);
    // An empty device at the start: nothing is written until it has data.
    {
        PipeDevice empty;
        QFtpDTP early(&owner);
        DataServer earlyServer;
        QVERIFY(earlyServer.listen());
        early.setDevice(&empty);
        QVERIFY(connectPassive(early, earlyServer));
        QSignalSpy progress(&early, &QFtpDTP::dataTransferProgress);
        early.sendNextBlock();
        QCOMPARE(progress.count(), 0);
        QCOMPARE(early.connectionState(), QAbstractSocket::ConnectedState);
    }
    connect(&pipe, SIGNAL(readyRead()), &dtp, SLOT(dataReadyRead()));
    connect(&pipe, SIGNAL(readChannelFinished()), &dtp, SLOT(dataReadyRead()));
    QVERIFY(connectPassive(dtp, server));
    const QByteArray data = pattern(70000);
    // Data before the server accepted the upload is left in the device.
    pipe.append(data.left(30000));
    QCOMPARE(pipe.pendingSize(), 30000);
    dtp.sendNextBlock();
    QCOMPARE(pipe.pendingSize(), 30000 - 16384);
    pipe.append(data.mid(30000, 20000));
    pipe.append(data.mid(50000));
    pipe.finish();
    QCOMPARE(server.receiveAll(), data);
}

void tst_QFtpDTP::activeListeningReusesPort()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    const int port = dtp.startListening(QHostAddress::LocalHost);
    QVERIFY(port > 0);
    QCOMPARE(dtp.startListening(QHostAddress::LocalHost), port);
    // An abandoned transfer stops listening: no late connection is taken.
    dtp.abortTransfer();
    QVERIFY(!dtp.findChild<QTcpServer *>()->isListening());
}

void tst_QFtpDTP::failedListenReturnsMinusOne()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    // An address of no local interface (TEST-NET-1): binding fails at once.
    QCOMPARE(dtp.startListening(QHostAddress(QStringLiteral("192.0.2.1"))), -1);
    QVERIFY(dtp.startListening(QHostAddress::LocalHost) > 0);
}

void tst_QFtpDTP::activeAcceptPoll()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    const int port = dtp.startListening(QHostAddress::LocalHost);
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(peer.waitForConnected(5000));
    // No event loop ran: the poll accepts the waiting connection itself.
    dtp.acceptPendingConnection();
    QVERIFY(dtp.findChild<QTcpSocket *>(QStringLiteral("QFtpDTP Active state socket")));
    QCOMPARE(dtp.connectionState(), QAbstractSocket::ConnectedState);
    // The listener closed: the next transfer listens afresh.
    auto *listener = dtp.findChild<QTcpServer *>(QStringLiteral("QFtpDTP active state server"));
    QVERIFY(!listener->isListening());
}

void tst_QFtpDTP::activeUploadWaitsForConnection()
{
    FakeOwner owner;
    owner.command = QStringLiteral("STOR f\r\n");
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    QByteArray data = pattern(5000);
    dtp.setData(&data);
    const int port = dtp.startListening(QHostAddress::LocalHost);
    dtp.acceptPendingConnection(); // nothing waiting yet
    dtp.sendNextBlock();
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(port));
    QByteArray received;
    connect(&peer, &QTcpSocket::readyRead, this, [&] { received += peer.readAll(); });
    QTRY_COMPARE(received, data);
    QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
}

void tst_QFtpDTP::replacedActiveSocketIsReleased()
{
    FakeOwner owner;
    QFtpDTP dtp(&owner);
    owner.dtp = &dtp;
    QTcpSocket first;
    first.connectToHost(
        QHostAddress::LocalHost, quint16(dtp.startListening(QHostAddress::LocalHost)));
    QTRY_VERIFY(dtp.findChild<QTcpSocket *>(QStringLiteral("QFtpDTP Active state socket")));
    QPointer<QTcpSocket> old
        = dtp.findChild<QTcpSocket *>(QStringLiteral("QFtpDTP Active state socket"));
    first.disconnectFromHost();
    QTcpSocket second;
    second.connectToHost(
        QHostAddress::LocalHost, quint16(dtp.startListening(QHostAddress::LocalHost)));
    QTRY_VERIFY(old.isNull());
    QTRY_COMPARE(dtp.findChildren<QTcpSocket *>().count(), 1);
    QCOMPARE(dtp.connectionState(), QAbstractSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(tst_QFtpDTP)
#include "tst_qftpdtp.moc"
