// QFtpPI and QFtpDTP against a real FTP server on loopback.
#include "ftpserver.h"
#include "pipedevice.h"
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

QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251 + seed) & 0xff);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

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

} // namespace

class tst_QFtpPITransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listing_data();
    void listing();
    void downloadIntoFile_data();
    void downloadIntoFile();
    void downloadKeptForReading_data();
    void downloadKeptForReading();
    void uploadByteArray_data();
    void uploadByteArray();
    void uploadRandomAccessFile_data();
    void uploadRandomAccessFile();
    void uploadSequentialDevice_data();
    void uploadSequentialDevice();
    void largeDownloadAndUpload();
    void missingDirectoryListing();
    void serverDropsControlConnectionMidDownload();
    void downloadIntoFullDisk_data();
    void downloadIntoFullDisk();

private:
    void addModes();
    // Starts a server on `host` serving `root`, connects pi and logs in.
    bool open(FtpServer &server, QFtpPI &pi, const QString &root, const QString &host);
    // Hands over one command's lines and waits until it is worked off;
    // false on an error or a time-out.
    bool run(QFtpPI &pi, const QStringList &lines, int timeoutMs = 30000);
    QStringList transferLines(const QString &mode, const QString &command,
        const QString &type = QStringLiteral("TYPE I\r\n"));

    bool ipv6 = false;
    QString lastError;
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

bool tst_QFtpPITransfer::open(
    FtpServer &server, QFtpPI &pi, const QString &root, const QString &host)
{
    if (!server.start(root, host)) {
        qWarning() << "server:" << server.errorText();
        return false;
    }
    QSignalSpy finished(&pi, &QFtpPI::finished);
    pi.connectToHost(host, server.port());
    if (!finished.wait(10000))
        return false;
    return run(pi, {QStringLiteral("USER marvoline\r\n"), QStringLiteral("PASS qd4739\r\n")});
}

bool tst_QFtpPITransfer::run(QFtpPI &pi, const QStringList &lines, int timeoutMs)
{
    QSignalSpy finished(&pi, &QFtpPI::finished);
    QSignalSpy errors(&pi, SIGNAL(error(int, QString)));
    lastError.clear();
    if (!pi.sendCommands(lines))
        return false;
    if (finished.isEmpty() && errors.isEmpty()) {
        QEventLoop loop;
        connect(&pi, &QFtpPI::finished, &loop, &QEventLoop::quit);
        connect(&pi, SIGNAL(error(int, QString)), &loop, SLOT(quit()));
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!errors.isEmpty()) {
        lastError = errors.first().at(1).toString();
        return false;
    }
    return !finished.isEmpty();
}

QStringList tst_QFtpPITransfer::transferLines(
    const QString &mode, const QString &command, const QString &type)
{
    return {type,
        mode == QLatin1String("passive") ? QStringLiteral("PASV\r\n") : QStringLiteral("PORT\r\n"),
        command};
}

void tst_QFtpPITransfer::listing_data()
{
    addModes();
}

void tst_QFtpPITransfer::listing()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath(QStringLiteral("version.ver")), "1.2.3\n"));
    QVERIFY(writeFile(root.filePath(QStringLiteral("app.zip")), pattern(4321)));
    QVERIFY(QDir(root.path()).mkdir(QStringLiteral("Bin")));
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), host));
    QMap<QString, QUrlInfo> entries;
    connect(&pi.dtp, &QFtpDTP::listInfo, this,
        [&](const QUrlInfo &info) { entries.insert(info.name(), info); });
    QVERIFY2(run(pi, transferLines(mode, QStringLiteral("LIST\r\n"), QStringLiteral("TYPE A\r\n"))),
        qPrintable(lastError));
    QCOMPARE(entries.keys(), (QStringList {"Bin", "app.zip", "version.ver"}));
    QVERIFY(entries.value(QStringLiteral("Bin")).isDir());
    QCOMPARE(entries.value(QStringLiteral("app.zip")).size(), 4321);
    QVERIFY(entries.value(QStringLiteral("version.ver")).isFile());
    const QStringList received = server.receivedLines();
    const bool extended = host == QLatin1String("::1");
    const QString setup = mode == QLatin1String("passive")
        ? (extended ? "EPSV" : "PASV")
        : (extended ? "EPRT |2|::1|" : "PORT 127,0,0,1,");
    QVERIFY2(
        received.filter(QRegularExpression("^" + QRegularExpression::escape(setup))).size() == 1,
        qPrintable(received.join(QLatin1Char('|'))));
}

void tst_QFtpPITransfer::downloadIntoFile_data()
{
    addModes();
}

void tst_QFtpPITransfer::downloadIntoFile()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    QTemporaryDir root, local;
    const QByteArray data = pattern(3 * 1000 * 1000 + 17);
    QVERIFY(writeFile(root.filePath(QStringLiteral("app.zip")), data));
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), host));
    QFile sink(local.filePath(QStringLiteral("app.zip")));
    QVERIFY(sink.open(QIODevice::WriteOnly));
    pi.dtp.setDevice(&sink);
    QSignalSpy progress(&pi.dtp, &QFtpDTP::dataTransferProgress);
    QStringList lines = transferLines(mode, QStringLiteral("RETR app.zip\r\n"));
    lines.insert(1, QStringLiteral("SIZE app.zip\r\n"));
    QVERIFY2(run(pi, lines), qPrintable(lastError));
    sink.close();
    QCOMPARE(fileChecksum(sink.fileName()), checksum(data));
    QCOMPARE(progress.first().at(1).toLongLong(), qint64(data.size()));
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(data.size()));
}

void tst_QFtpPITransfer::downloadKeptForReading_data()
{
    addModes();
}

void tst_QFtpPITransfer::downloadKeptForReading()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    QTemporaryDir root;
    const QByteArray data = pattern(700001);
    QVERIFY(writeFile(root.filePath(QStringLiteral("version.ver")), data));
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), host));
    QByteArray received;
    // Read part of what arrives, leaving the rest for after the close.
    connect(&pi.dtp, &QFtpDTP::readyRead, this, [&] {
        char buffer[1000];
        const qint64 n = pi.dtp.read(buffer, sizeof buffer);
        if (n > 0)
            received.append(buffer, int(n));
    });
    QVERIFY2(run(pi, transferLines(mode, QStringLiteral("RETR version.ver\r\n"))),
        qPrintable(lastError));
    received += pi.dtp.readAll();
    QCOMPARE(received.size(), data.size());
    QCOMPARE(checksum(received), checksum(data));
    QCOMPARE(pi.dtp.bytesAvailable(), 0);
}

void tst_QFtpPITransfer::uploadByteArray_data()
{
    addModes();
}

void tst_QFtpPITransfer::uploadByteArray()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    QTemporaryDir root;
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), host));
    QByteArray data = pattern(2 * 1000 * 1000 + 3, 5);
    pi.dtp.setData(&data);
    pi.dtp.setBytesTotal(data.size());
    QSignalSpy progress(&pi.dtp, &QFtpDTP::dataTransferProgress);
    QVERIFY2(
        run(pi, transferLines(mode, QStringLiteral("STOR up.bin\r\n"))), qPrintable(lastError));
    QCOMPARE(fileChecksum(root.filePath(QStringLiteral("up.bin"))), checksum(data));
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(data.size()));
}

void tst_QFtpPITransfer::uploadRandomAccessFile_data()
{
    addModes();
}

void tst_QFtpPITransfer::uploadRandomAccessFile()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    QTemporaryDir root, local;
    const QByteArray data = pattern(1000 * 1000 + 11, 9);
    QFile source(local.filePath(QStringLiteral("src.bin")));
    QVERIFY(writeFile(source.fileName(), data));
    QVERIFY(source.open(QIODevice::ReadOnly));
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), host));
    pi.dtp.setDevice(&source);
    pi.dtp.setBytesTotal(source.size());
    QVERIFY2(
        run(pi, transferLines(mode, QStringLiteral("STOR up.bin\r\n"))), qPrintable(lastError));
    QCOMPARE(fileChecksum(root.filePath(QStringLiteral("up.bin"))), checksum(data));
}

void tst_QFtpPITransfer::uploadSequentialDevice_data()
{
    addModes();
}

void tst_QFtpPITransfer::uploadSequentialDevice()
{
    QFETCH(QString, host);
    QFETCH(QString, mode);
    QTemporaryDir root;
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), host));
    PipeDevice pipe;
    pi.dtp.setDevice(&pipe);
    pi.dtp.setBytesTotal(0);
    connect(&pipe, SIGNAL(readyRead()), &pi.dtp, SLOT(dataReadyRead()));
    connect(&pipe, SIGNAL(readChannelFinished()), &pi.dtp, SLOT(dataReadyRead()));
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
        run(pi, transferLines(mode, QStringLiteral("STOR piped.bin\r\n"))), qPrintable(lastError));
    QCOMPARE(piece, 40);
    QCOMPARE(fileChecksum(root.filePath(QStringLiteral("piped.bin"))), produced.result().toHex());
}

void tst_QFtpPITransfer::largeDownloadAndUpload()
{
    QTemporaryDir root, local;
    const QString big = root.filePath(QStringLiteral("big.bin"));
    QVERIFY(writeLargeFile(big, 64));
    const QByteArray expected = fileChecksum(big);
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), QStringLiteral("127.0.0.1")));

    QFile sink(local.filePath(QStringLiteral("big.bin")));
    QVERIFY(sink.open(QIODevice::WriteOnly));
    pi.dtp.setDevice(&sink);
    QVERIFY2(run(pi, transferLines(QStringLiteral("passive"), QStringLiteral("RETR big.bin\r\n")),
                 120000),
        qPrintable(lastError));
    sink.close();
    QCOMPARE(sink.size(), qint64(64) << 20);
    QCOMPARE(fileChecksum(sink.fileName()), expected);

    QVERIFY(sink.open(QIODevice::ReadOnly));
    pi.dtp.setDevice(&sink);
    pi.dtp.setBytesTotal(sink.size());
    QVERIFY2(run(pi, transferLines(QStringLiteral("active"), QStringLiteral("STOR back.bin\r\n")),
                 120000),
        qPrintable(lastError));
    QCOMPARE(fileChecksum(root.filePath(QStringLiteral("back.bin"))), expected);
}

void tst_QFtpPITransfer::missingDirectoryListing()
{
    // pyftpdlib refuses LIST of a missing path on the control connection.
    QTemporaryDir root;
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), QStringLiteral("127.0.0.1")));
    QVERIFY(!run(pi,
        transferLines(QStringLiteral("passive"), QStringLiteral("LIST nothere\r\n"),
            QStringLiteral("TYPE A\r\n"))));
    QVERIFY2(lastError.contains(QLatin1String("No such file or directory")), qPrintable(lastError));
}

void tst_QFtpPITransfer::serverDropsControlConnectionMidDownload()
{
    QTemporaryDir root;
    QVERIFY(writeLargeFile(root.filePath(QStringLiteral("big.bin")), 32));
    FtpServer server;
    QFtpPI pi;
    QVERIFY(open(server, pi, root.path(), QStringLiteral("127.0.0.1")));
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    pi.dtp.setDevice(&sink);
    bool stopping = false;
    connect(&pi.dtp, &QFtpDTP::dataTransferProgress, this, [&](qint64 done, qint64) {
        if (done > 0 && !stopping) {
            stopping = true;
            QTimer::singleShot(0, this, [&] { server.stop(); });
        }
    });
    QStringList events;
    connect(&pi, &QFtpPI::connectState, this,
        [&](int s) { events << QStringLiteral("state %1").arg(s); });
    connect(&pi, QOverload<int, const QString &>::of(&QFtpPI::error), this,
        [&](int c, const QString &t) { events << QStringLiteral("error %1 %2").arg(c).arg(t); });
    connect(&pi, &QFtpPI::finished, this, [&](const QString &t) { events << "finished " + t; });
    QVERIFY(pi.sendCommands(
        transferLines(QStringLiteral("passive"), QStringLiteral("RETR big.bin\r\n"))));
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("state 0")), 30000);
    QTRY_COMPARE(events, (QStringList {"state 0", "error 1 Connection closed by host 127.0.0.1"}));
    QVERIFY(sink.data().size() < (32 << 20));
    QVERIFY(pi.currentCommand().isNull());
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
    QTemporaryDir root;
    QVERIFY(writeLargeFile(root.filePath(QStringLiteral("big.bin")), 16));
    FtpServer pyftpdlib;
    VsftpdServer vsftpd;
    QFtpPI pi;
    if (software == QLatin1String("vsftpd")) {
        QString why;
        if (!VsftpdServer::ensureAccount(&why))
            QSKIP(qPrintable(why));
        QVERIFY2(vsftpd.start(root.path()), qPrintable(vsftpd.errorText()));
        QSignalSpy finished(&pi, &QFtpPI::finished);
        pi.connectToHost(vsftpd.host(), vsftpd.port());
        QVERIFY(finished.wait(10000));
        QVERIFY2(run(pi, {QStringLiteral("USER marvoline\r\n"), QStringLiteral("PASS qd4739\r\n")}),
            qPrintable(lastError));
    } else {
        QVERIFY(open(pyftpdlib, pi, root.path(), QStringLiteral("127.0.0.1")));
    }
    // What the owner does on an error.
    connect(&pi, QOverload<int, const QString &>::of(&QFtpPI::error), &pi,
        [&pi] { pi.clearPendingCommands(); });
    QFile full(QStringLiteral("/dev/full"));
    QVERIFY(full.open(QIODevice::WriteOnly));
    pi.dtp.setDevice(&full);
    QVERIFY(!run(pi, transferLines(QStringLiteral("passive"), QStringLiteral("RETR big.bin\r\n"))));
    QCOMPARE(lastError, full.errorString());
    QVERIFY(!lastError.isEmpty());
    // The replies to the stopped transfer and to ABOR never pass for the
    // answer to the next line.
    QSignalSpy replies(&pi, &QFtpPI::rawFtpReply);
    QVERIFY2(run(pi, {QStringLiteral("PWD\r\n")}), qPrintable(lastError));
    QCOMPARE(replies.count(), 1);
    QCOMPARE(replies.at(0).at(0).toInt(), 257);
    QVERIFY2(run(pi, {QStringLiteral("NOOP\r\n")}), qPrintable(lastError));
    QCOMPARE(replies.count(), 2);
    QCOMPARE(replies.at(1).at(0).toInt(), 200);
    if (software == QLatin1String("pyftpdlib"))
        QVERIFY(pyftpdlib.receivedLines().contains(QStringLiteral("ABOR")));
}

QTEST_GUILESS_MAIN(tst_QFtpPITransfer)
#include "tst_qftppi_transfer.moc"
