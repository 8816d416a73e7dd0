#include "ftpserver.h"
#include "qftp.h"
#include "qftppi.h"
#include "scriptedserver.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_QFtpPI : public QObject
{
    Q_OBJECT

private slots:
    void greetingAndLogin();
    void realServerDownload();
};

void tst_QFtpPI::greetingAndLogin()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    QFtpPI pi;
    QSignalSpy finished(&pi, &QFtpPI::finished);
    QSignalSpy states(&pi, &QFtpPI::connectState);
    pi.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(server.waitForClient());
    server.send("220 hi\r\n");
    QVERIFY(finished.wait());
    QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("Connected to host 127.0.0.1"));
    QVERIFY(pi.sendCommands({"USER a\r\n", "PASS b\r\n"}));
    QCOMPARE(server.nextLine(), QByteArray("USER a"));
    server.send("331 pw\r\n");
    QCOMPARE(server.nextLine(), QByteArray("PASS b"));
    server.send("230 ok\r\n");
    QVERIFY(finished.wait());
    QCOMPARE(finished.last().at(0).toString(), QStringLiteral("ok"));
}

void tst_QFtpPI::realServerDownload()
{
    QTemporaryDir dir;
    QFile f(dir.filePath("f"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(100000, 'x'));
    f.close();
    FtpServer ftp;
    QVERIFY2(ftp.start(dir.path()), qPrintable(ftp.errorText()));
    QFtpPI pi;
    QSignalSpy finished(&pi, &QFtpPI::finished);
    QSignalSpy errors(&pi, SIGNAL(error(int, QString)));
    pi.connectToHost(ftp.host(), ftp.port());
    QVERIFY(finished.wait());
    pi.sendCommands({"USER marvoline\r\n", "PASS qd4739\r\n"});
    QVERIFY(finished.wait());
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    pi.dtp.setDevice(&buf);
    pi.sendCommands({"TYPE I\r\n", "SIZE f\r\n", "PASV\r\n", "RETR f\r\n"});
    QVERIFY(finished.wait());
    QCOMPARE(errors.count(), 0);
    QCOMPARE(buf.data().size(), 100000);
}

QTEST_MAIN(tst_QFtpPI)
#include "tst_qftppi.moc"
