#include "serverprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>

#include <cstdio>
#include <unistd.h>

bool ServerProcess::start(QProcess &process, const QString &program, const QStringList &arguments,
    QProcess::ProcessChannelMode channels, QString *error)
{
    process.setProcessChannelMode(channels);
    process.start(program, arguments);
    if (process.waitForStarted(10000))
        return true;
    *error = process.errorString();
    return false;
}

bool ServerProcess::waitForPort(const QProcess &process, const QHostAddress &address, quint16 port,
    int timeoutMs, QTcpSocket *probe)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        probe->connectToHost(address, port);
        if (probe->waitForConnected(200))
            return true;
        probe->abort();
        QThread::msleep(10);
    }
    return false;
}

int ServerProcess::serveUntilInputCloses(quint16 port)
{
    printf("PORT %u\n", port);
    fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char byte;
        if (::read(STDIN_FILENO, &byte, 1) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return QCoreApplication::exec();
}

void ServerProcess::stop(QProcess &process, bool closeInput)
{
    if (process.state() == QProcess::NotRunning)
        return;
    if (closeInput)
        process.closeWriteChannel();
    else
        process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool ServerProcess::startOnFreePort(QProcess &process, const QString &program,
    const QStringList &arguments, quint16 *port, const std::function<bool(quint16)> &configure,
    QString *error)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer free;
        free.listen(QHostAddress::LocalHost, 0);
        *port = free.serverPort();
        free.close();
        if (!configure(*port)
            || !start(process, program, arguments, QProcess::MergedChannels, error))
            return false;
        QTcpSocket socket;
        if (waitForPort(process, QHostAddress::LocalHost, *port, 10000, &socket))
            return true;
        *error = QString::fromLocal8Bit(process.readAll());
        stop(process);
    }
    return false;
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
