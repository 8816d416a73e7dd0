#include "ftpserver.h"

#include "serverprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

const char *const FtpServer::user = "marvoline";
const char *const FtpServer::password = "qd4739";

FtpServer::~FtpServer()
{
    stop();
    if (!logPath.isEmpty())
        QFile::remove(logPath);
}

bool FtpServer::start(const QString &rootDir, const QString &host)
{
    stop();
    serverHost = host;
    logPath = QDir::temp().filePath(QStringLiteral("ftpserver-%1-%2.log")
                                        .arg(QCoreApplication::applicationPid())
                                        .arg(quintptr(this), 0, 16));
    QFile::remove(logPath);
    QStringList arguments = {QStringLiteral(TESTLIB_DIR "/ftpserver.py"), QStringLiteral("--root"),
        rootDir, QStringLiteral("--host"), host, QStringLiteral("--log"), logPath};
    if (!serverPassword.isNull())
        arguments << QStringLiteral("--password") << serverPassword;
    if (!dropFile.isEmpty())
        arguments << QStringLiteral("--drop-file") << dropFile << QStringLiteral("--drop-after")
                  << QString::number(dropAfter);
    if (rate > 0)
        arguments << QStringLiteral("--rate") << QString::number(rate);
    if (!cutFile.isEmpty())
        arguments << QStringLiteral("--cut-file") << cutFile << QStringLiteral("--cut-after")
                  << QString::number(cutAfter);
    if (!cutRetr.isEmpty()) {
        QStringList points;
        for (qint64 point : qAsConst(cutPoints))
            points << QString::number(point);
        arguments << QStringLiteral("--cut-retr") << cutRetr << QStringLiteral("--cut-points")
                  << points.join(QLatin1Char(','));
    }
    if (noRest)
        arguments << QStringLiteral("--no-rest");
    if (noSize)
        arguments << QStringLiteral("--no-size");
    if (!refuseRenameTo.isEmpty())
        arguments << QStringLiteral("--refuse-rename-to") << refuseRenameTo;
    // Debian's interpreter, which has pyftpdlib; not whatever python3 is first on PATH.
    if (!ServerProcess::start(process, QStringLiteral("/usr/bin/python3"), arguments,
            QProcess::SeparateChannels, &lastError))
        return false;
    // It prints its port once it listens.
    QByteArray out;
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (!process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        out += process.readAllStandardOutput();
        const int at = out.indexOf("PORT ");
        const int end = out.indexOf('\n', at);
        if (at >= 0 && end > at) {
            serverPort = quint16(out.mid(at + 5, end - at - 5).trimmed().toUInt());
            return serverPort != 0;
        }
    }
    lastError = QString::fromLocal8Bit(out + process.readAllStandardError());
    stop();
    return false;
}

bool FtpServer::command(const QByteArray &line, const QByteArray &answer)
{
    if (process.state() != QProcess::Running) {
        lastError = QStringLiteral("the server does not run");
        return false;
    }
    process.readAllStandardOutput();
    process.write(line + '\n');
    QByteArray out;
    QDeadlineTimer deadline(20000);
    while (!out.contains(answer + '\n')) {
        if (deadline.hasExpired() || !process.waitForReadyRead(int(deadline.remainingTime()))) {
            lastError = QStringLiteral("no answer to %1: ").arg(QString::fromLocal8Bit(answer))
                + QString::fromLocal8Bit(out + process.readAllStandardError());
            return false;
        }
        out += process.readAllStandardOutput();
    }
    return true;
}

bool FtpServer::setRoot(const QString &rootDir)
{
    return command("ROOT " + QFile::encodeName(rootDir), "ROOT");
}

bool FtpServer::timeOutSessions()
{
    return command("TIMEOUT", "TIMEOUT");
}

void FtpServer::stop()
{
    // It ends when its input closes.
    ServerProcess::stop(process, true);
    serverPort = 0;
}

QStringList FtpServer::receivedLines() const
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLatin1(log.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
