#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

bool ServerProcess::start(QProcess &process, const QString &program, const QStringList &arguments,
    quint16 *port, const std::function<bool(quint16)> &configure, QString *error)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        *port = probe.serverPort();
        probe.close();
        if (!configure(*port))
            return false;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        if (!process.waitForStarted(10000)) {
            *error = process.errorString();
            return false;
        }
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && process.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, *port);
            if (socket.waitForConnected(200))
                return true;
            QThread::msleep(20);
        }
        *error = QString::fromLocal8Bit(process.readAll());
        stop(process);
    }
    return false;
}

void ServerProcess::stop(QProcess &process)
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
}

QString ServerProcess::program(const QString &name)
{
    for (const char *folder : {"/usr/sbin/", "/usr/bin/"}) {
        const QString path = QLatin1String(folder) + name;
        if (QFile::exists(path))
            return path;
    }
    return name;
}
