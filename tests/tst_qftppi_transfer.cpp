// QFtpPI and QFtpDTP against a real FTP server on loopback.
#include "bytepattern.h"
#include "files.h"
#include "ftpserver.h"
#include "pipedevice.h"
#include "pisignals.h"
#include "qftppi.h"
#include "qurlinfo.h"
#include "vsftpdserver.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

// Writes `mebibytes` MiB of varied bytes without holding them in memory.
bool writeLargeFile(const QString &path, int mebibytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (int i = 0; i < mebibytes; ++i) {
        if (file.write(pattern(1 << 20, i)) != (1 << 20))
            return false;
    }
    return true;
}

QByteArray fileChecksum(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

QByteArray checksum(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// The lines of a transfer command in `mode` ("passive" or "active").
QStringList transferLines(
    const QString &mode, const QString &command, const QString &type = QStringLiteral("TYPE I\r\n"))
{
    return {type,
        mode == QLatin1String("passive") ? QStringLiteral("PASV\r\n") : QStringLiteral("PORT\r\n"),
        command};
}

// A served directory, a server for it and an interpreter.
struct Session
{
    QTemporaryDir root;
    FtpServer server;
    QFtpPI pi;
    // The text of the error that ended the last run(), if one did.
    QString lastError;

    // Starts the server on `host`, connects and logs in.
    bool open(const QString &host = QStringLiteral("127.0.0.1"))
    {
        if (!server.start(root.path(), host)) {
            qWarning() << "server:" << server.errorText();
            return false;
        }
        return login(host, server.port());
    }
    bool login(const QString &host, quint16 port)
    {
        QSignalSpy finished(&pi, &QFtpPI::finished);
        pi.connectToHost(host, port);
        if (!finished.wait(10000))
            return false;
        return run({QStringLiteral("USER marvoline\r\n"), QStringLiteral("PASS qd4739\r\n")});
    }
    // Hands over one command's lines and waits until it is worked off;
    // false on an error or a time-out.
    bool run(const QStringList &lines, int timeoutMs = 30000)
    {
        QSignalSpy finished(&pi, &QFtpPI::finished);
        QSignalSpy errors(&pi, SIGNAL(error(int, QString)));
        lastError.clear();
        if (!pi.sendCommands(lines))
            return false;
        if (finished.isEmpty() && errors.isEmpty()) {
            QEventLoop loop;
            QObject::connect(&pi, &QFtpPI::finished, &loop, &QEventLoop::quit);
            QObject::connect(&pi, SIGNAL(error(int, QString)), &loop, SLOT(quit()));
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (!errors.isEmpty()) {
            lastError = errors.first().at(1).toString();
            return false;
        }
        return !finished.isEmpty();
    }
    bool put(const QString &name, const QByteArray &bytes)
    {
        return writeFile(root.filePath(name), bytes);
    }
    QByteArray checksumOf(const QString &name) { return fileChecksum(root.filePath(name)); }
};

} // namespace

class tst_QFtpPITransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listing_data() { addModes(); }
    void listing();
    void downloadIntoFile_data() { addModes(); }
    void downloadIntoFile();
    void downloadKeptForReading_data() { addModes(); }
    void downloadKeptForReading();
    void uploadByteArray_data() { addModes(); }
    void uploadByteArray();
    void uploadRandomAccessFile_data() { addModes(); }
    void uploadRandomAccessFile();
    void uploadSequentialDevice_data() { addModes(); }
    void uploadSequentialDevice();
    void largeDownloadAndUpload();
    void missingDirectoryListing();
    void serverDropsControlConnectionMidDownload();
    void downloadIntoFullDisk_data();
    void downloadIntoFullDisk();

private:
    // Rows for each loopback address there is, in passive and active mode.
    void addModes();

    bool ipv6 = false;
};

void tst_QFtpPITransfer::initTestCase()
{
    QTcpServer probe;
    ipv6 = probe.listen(QHostAddress::LocalHostIPv6);
}

void tst_QFtpPITransfer::addModes()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("mode");
    for (const char *host : {"127.0.0.1", "::1"}) {
        if (!ipv6 && QByteArray(host) == "::1")
            continue;
        for (const char *mode : {"passive", "active"}) {
            QTest::newRow(
                QByteArray(host).replace("127.0.0.1", "ipv4").replace("::1", "ipv6") + "-" + mode)
                << QString::fromLatin1(host) << QString::fromLatin1(mode);
        }
    }
}

void tst_QFtpPITransfer::listing()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    Session s;
    QVERIFY(s.put(QStringLiteral("version.ver"), "1.2.3\n"));
    QVERIFY(s.put(QStringLiteral("app.zip"), pattern(4321)));
    QVERIFY(QDir(s.root.path()).mkdir(QStringLiteral("Bin")));
    QVERIFY(s.open(host));
    QMap<QString, QUrlInfo> entries;
    connect(&s.pi.dtp, &QFtpDTP::listInfo, this,
        [&](const QUrlInfo &info) { entries.insert(info.name(), info); });
    QVERIFY2(s.run(transferLines(mode, QStringLiteral("LIST\r\n"), QStringLiteral("TYPE A\r\n"))),
        qPrintable(s.lastError));
    QCOMPARE(entries.keys(), (QStringList {"Bin", "app.zip", "version.ver"}));
    QVERIFY(entries.value(QStringLiteral("Bin")).isDir());
    QCOMPARE(entries.value(QStringLiteral("app.zip")).size(), 4321);
    QVERIFY(entries.value(QStringLiteral("version.ver")).isFile());
    const QStringList received = s.server.receivedLines();
    const bool extended = host == QLatin1String("::1");
    const QString setup = mode == QLatin1String("passive")
        ? (extended ? "EPSV" : "PASV")
        : (extended ? "EPRT |2|::1|" : "PORT 127,0,0,1,");
    QVERIFY2(
        received.filter(QRegularExpression("^" + QRegularExpression::escape(setup))).size() == 1,
        qPrintable(received.join(QLatin1Char('|'))));
}

void tst_QFtpPITransfer::downloadIntoFile()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    Session s;
    QTemporaryDir local;
    const QByteArray data = pattern(3 * 1000 * 1000 + 17);
    QVERIFY(s.put(QStringLiteral("app.zip"), data));
    QVERIFY(s.open(host));
    QFile sink(local.filePath(QStringLiteral("app.zip")));
    QVERIFY(sink.open(QIODevice::WriteOnly));
    s.pi.dtp.setDevice(&sink);
    QSignalSpy progress(&s.pi.dtp, &QFtpDTP::dataTransferProgress);
    QStringList lines = transferLines(mode, QStringLiteral("RETR app.zip\r\n"));
    lines.insert(1, QStringLiteral("SIZE app.zip\r\n"));
    QVERIFY2(s.run(lines), qPrintable(s.lastError));
    sink.close();
    QCOMPARE(fileChecksum(sink.fileName()), checksum(data));
    QCOMPARE(progress.first().at(1).toLongLong(), qint64(data.size()));
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(data.size()));
}

void tst_QFtpPITransfer::downloadKeptForReading()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    Session s;
    const QByteArray data = pattern(700001);
    QVERIFY(s.put(QStringLiteral("version.ver"), data));
    QVERIFY(s.open(host));
    QByteArray received;
    // Read part of what arrives, leaving the rest for after the close.
    connect(&s.pi.dtp, &QFtpDTP::readyRead, this, [&] {
        char buffer[1000];
        const qint64 n = s.pi.dtp.read(buffer, sizeof buffer);
        if (n > 0)
            received.append(buffer, int(n));
    });
    QVERIFY2(s.run(transferLines(mode, QStringLiteral("RETR version.ver\r\n"))),
        qPrintable(s.lastError));
    received += s.pi.dtp.readAll();
    QCOMPARE(received.size(), data.size());
    QCOMPARE(checksum(received), checksum(data));
    QCOMPARE(s.pi.dtp.bytesAvailable(), 0);
}

void tst_QFtpPITransfer::uploadByteArray()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    Session s;
    QVERIFY(s.open(host));
    QByteArray data = pattern(2 * 1000 * 1000 + 3, 5);
    s.pi.dtp.setData(&data);
    s.pi.dtp.setBytesTotal(data.size());
    QSignalSpy progress(&s.pi.dtp, &QFtpDTP::dataTransferProgress);
    QVERIFY2(
        s.run(transferLines(mode, QStringLiteral("STOR up.bin\r\n"))), qPrintable(s.lastError));
    QCOMPARE(s.checksumOf(QStringLiteral("up.bin")), checksum(data));
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(data.size()));
}

void tst_QFtpPITransfer::uploadRandomAccessFile()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    Session s;
    QTemporaryDir local;
    const QByteArray data = pattern(1000 * 1000 + 11, 9);
    QFile source(local.filePath(QStringLiteral("src.bin")));
    QVERIFY(writeFile(source.fileName(), data));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QVERIFY(s.open(host));
    s.pi.dtp.setDevice(&source);
    s.pi.dtp.setBytesTotal(source.size());
    QVERIFY2(
        s.run(transferLines(mode, QStringLiteral("STOR up.bin\r\n"))), qPrintable(s.lastError));
    QCOMPARE(s.checksumOf(QStringLiteral("up.bin")), checksum(data));
}

void tst_QFtpPITransfer::uploadSequentialDevice()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    Session s;
    QVERIFY(s.open(host));
    PipeDevice pipe;
    s.pi.dtp.setDevice(&pipe);
    s.pi.dtp.setBytesTotal(0);
    connect(&pipe, SIGNAL(readyRead()), &s.pi.dtp, SLOT(dataReadyRead()));
    connect(&pipe, SIGNAL(readChannelFinished()), &s.pi.dtp, SLOT(dataReadyRead()));
    // A producer that hands over the bytes in pieces, from the event loop.
    QCryptographicHash produced(QCryptographicHash::Sha256);
    int piece = 0;
    QTimer producer;
    producer.setInterval(0);
    connect(&producer, &QTimer::timeout, this, [&] {
        if (pipe.pendingSize() > 256 * 1024)
            return;
        if (piece == 40) {
            producer.stop();
            pipe.finish();
            return;
        }
        const QByteArray bytes = pattern(25000 + piece, piece);
        produced.addData(bytes);
        pipe.append(bytes);
        ++piece;
    });
    producer.start();
    QVERIFY2(
        s.run(transferLines(mode, QStringLiteral("STOR piped.bin\r\n"))), qPrintable(s.lastError));
    QCOMPARE(piece, 40);
    QCOMPARE(s.checksumOf(QStringLiteral("piped.bin")), produced.result().toHex());
}

void tst_QFtpPITransfer::largeDownloadAndUpload()
{
    Session s;
    QTemporaryDir local;
    QVERIFY(writeLargeFile(s.root.filePath(QStringLiteral("big.bin")), 64));
    const QByteArray expected = s.checksumOf(QStringLiteral("big.bin"));
    QVERIFY(s.open());

    QFile sink(local.filePath(QStringLiteral("big.bin")));
    QVERIFY(sink.open(QIODevice::WriteOnly));
    s.pi.dtp.setDevice(&sink);
    QVERIFY2(
        s.run(transferLines(QStringLiteral("passive"), QStringLiteral("RETR big.bin\r\n")), 120000),
        qPrintable(s.lastError));
    sink.close();
    QCOMPARE(sink.size(), qint64(64) << 20);
    QCOMPARE(fileChecksum(sink.fileName()), expected);

    QVERIFY(sink.open(QIODevice::ReadOnly));
    s.pi.dtp.setDevice(&sink);
    s.pi.dtp.setBytesTotal(sink.size());
    QVERIFY2(
        s.run(transferLines(QStringLiteral("active"), QStringLiteral("STOR back.bin\r\n")), 120000),
        qPrintable(s.lastError));
    QCOMPARE(s.checksumOf(QStringLiteral("back.bin")), expected);
}

void tst_QFtpPITransfer::missingDirectoryListing()
{
    // pyftpdlib refuses LIST of a missing path on the control connection.
    Session s;
    QVERIFY(s.open());
    QVERIFY(!s.run(transferLines(QStringLiteral("passive"), QStringLiteral("LIST nothere\r\n"),
        QStringLiteral("TYPE A\r\n"))));
    QVERIFY2(
        s.lastError.contains(QLatin1String("No such file or directory")), qPrintable(s.lastError));
}

void tst_QFtpPITransfer::serverDropsControlConnectionMidDownload()
{
    Session s;
    QVERIFY(writeLargeFile(s.root.filePath(QStringLiteral("big.bin")), 32));
    QVERIFY(s.open());
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    s.pi.dtp.setDevice(&sink);
    bool stopping = false;
    connect(&s.pi.dtp, &QFtpDTP::dataTransferProgress, this, [&](qint64 done, qint64) {
        if (done > 0 && !stopping) {
            stopping = true;
            QTimer::singleShot(0, this, [&] { s.server.stop(); });
        }
    });
    Recorder rec(&s.pi, false);
    QVERIFY(s.pi.sendCommands(
        transferLines(QStringLiteral("passive"), QStringLiteral("RETR big.bin\r\n"))));
    QTRY_VERIFY_WITH_TIMEOUT(rec.events.contains(QStringLiteral("state 0")), 30000);
    QTRY_COMPARE(
        rec.events, (QStringList {"state 0", "error 1 Connection closed by host 127.0.0.1"}));
    QVERIFY(sink.data().size() < (32 << 20));
    QVERIFY(s.pi.currentCommand().isNull());
}

void tst_QFtpPITransfer::downloadIntoFullDisk_data()
{
    QTest::addColumn<QString>("software");
    QTest::newRow("pyftpdlib") << QStringLiteral("pyftpdlib");
    QTest::newRow("vsftpd") << QStringLiteral("vsftpd");
}

void tst_QFtpPITransfer::downloadIntoFullDisk()
{
    QFETCH(QString, software);
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    Session s;
    QVERIFY(writeLargeFile(s.root.filePath(QStringLiteral("big.bin")), 16));
    VsftpdServer vsftpd;
    if (software == QLatin1String("vsftpd")) {
        QString why;
        if (!VsftpdServer::ensureAccount(&why))
            QSKIP(qPrintable(why));
        QVERIFY2(vsftpd.start(s.root.path()), qPrintable(vsftpd.errorText()));
        QVERIFY2(s.login(vsftpd.host(), vsftpd.port()), qPrintable(s.lastError));
    } else {
        QVERIFY(s.open());
    }
    clearPendingOnError(s.pi);
    QFile full(QStringLiteral("/dev/full"));
    QVERIFY(full.open(QIODevice::WriteOnly));
    s.pi.dtp.setDevice(&full);
    QVERIFY(!s.run(transferLines(QStringLiteral("passive"), QStringLiteral("RETR big.bin\r\n"))));
    QCOMPARE(s.lastError, full.errorString());
    QVERIFY(!s.lastError.isEmpty());
    // The replies to the stopped transfer and to ABOR never pass for the
    // answer to the next line.
    QSignalSpy replies(&s.pi, &QFtpPI::rawFtpReply);
    QVERIFY2(s.run({QStringLiteral("PWD\r\n")}), qPrintable(s.lastError));
    QCOMPARE(replies.count(), 1);
    QCOMPARE(replies.at(0).at(0).toInt(), 257);
    QVERIFY2(s.run({QStringLiteral("NOOP\r\n")}), qPrintable(s.lastError));
    QCOMPARE(replies.count(), 2);
    QCOMPARE(replies.at(1).at(0).toInt(), 200);
    if (software == QLatin1String("pyftpdlib"))
        QVERIFY(s.server.receivedLines().contains(QStringLiteral("ABOR")));
}

QTEST_GUILESS_MAIN(tst_QFtpPITransfer)
#include "tst_qftppi_transfer.moc"
