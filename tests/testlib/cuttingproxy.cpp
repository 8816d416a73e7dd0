#include "cuttingproxy.h"

#include <QTcpSocket>

namespace {
// Held for a slow reader at most; the rest waits in the sender's socket.
const qint64 backlog = 1024 * 1024;
} // namespace

CuttingProxy::CuttingProxy(QObject *parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &CuttingProxy::accept);
}

bool CuttingProxy::listen(const QHostAddress &target, quint16 port)
{
    targetAddress = target;
    targetPort = port;
    return server.listen(QHostAddress::LocalHost, 0);
}

void CuttingProxy::accept()
{
    while (QTcpSocket *client = server.nextPendingConnection()) {
        auto *upstream = new QTcpSocket(client);
        upstream->setReadBufferSize(256 * 1024);
        client->setReadBufferSize(256 * 1024);
        connect(upstream, &QTcpSocket::readyRead, client, [=] { pump(upstream, client, true); });
        connect(client, &QTcpSocket::bytesWritten, client, [=] { pump(upstream, client, true); });
        connect(client, &QTcpSocket::readyRead, client, [=] { pump(client, upstream, false); });
        connect(upstream, &QTcpSocket::connected, client, [=] { pump(client, upstream, false); });
        connect(
            upstream, &QTcpSocket::bytesWritten, client, [=] { pump(client, upstream, false); });
        // Either side going ends both, once what is held has been passed on.
        connect(upstream, &QTcpSocket::disconnected, client, [=] {
            pump(upstream, client, true);
            client->disconnectFromHost();
        });
        connect(client, &QTcpSocket::disconnected, client, [=] {
            upstream->abort();
            client->deleteLater();
        });
        upstream->connectToHost(targetAddress, targetPort);
    }
}

void CuttingProxy::pump(QTcpSocket *from, QTcpSocket *to, bool toClient)
{
    if (to->state() != QAbstractSocket::ConnectedState)
        return;
    while (from->bytesAvailable() > 0 && to->bytesToWrite() < backlog) {
        qint64 chunk = qMin<qint64>(from->bytesAvailable(), 64 * 1024);
        bool cut = false;
        if (toClient && !cuts.isEmpty() && sent + chunk >= cuts.first()) {
            chunk = cuts.takeFirst() - sent;
            cut = true;
        }
        const QByteArray bytes = from->read(qMax<qint64>(chunk, 0));
        to->write(bytes);
        if (toClient)
            sent += bytes.size();
        if (cut) {
            ++made;
            // What was sent arrives; then the connection ends, as a network
            // that breaks after the last packet it let through.
            from->abort();
            to->disconnectFromHost();
            return;
        }
    }
}
