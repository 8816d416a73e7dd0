#include "serverprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
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
