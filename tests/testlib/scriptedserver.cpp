#include "scriptedserver.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>

ScriptedServer::ScriptedServer(QObject *parent)
    : QObject(parent)
{
}

bool ScriptedServer::listen(const QHostAddress &address)
{
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            peer = socket;
            buffer.clear();
            lines.clear();
            connect(socket, &QTcpSocket::readyRead, this, &ScriptedServer::readLines);
        }
    });
    return server.listen(address, 0);
}

bool ScriptedServer::waitForClient(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!peer && !deadline.hasExpired())
        QTest::qWait(5);
    return peer != nullptr;
}

void ScriptedServer::send(const QByteArray &bytes)
{
    if (!peer)
        return;
    peer->write(bytes);
    peer->flush();
}

void ScriptedServer::readLines()
{
    if (!peer)
        return;
    buffer += peer->readAll();
    int end;
    while ((end = buffer.indexOf('\n')) >= 0) {
        QByteArray line = buffer.left(end + 1);
        buffer.remove(0, end + 1);
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
    }
}

QByteArray ScriptedServer::nextLine(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (lines.isEmpty() && !deadline.hasExpired())
        QTest::qWait(5);
    if (lines.isEmpty())
        return QByteArray();
    return lines.takeFirst();
}

bool ScriptedServer::noLineWithin(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (lines.isEmpty() && !deadline.hasExpired())
        QTest::qWait(5);
    return lines.isEmpty();
}

void ScriptedServer::dropClient()
{
    if (peer) {
        peer->disconnectFromHost();
        if (peer && peer->state() != QAbstractSocket::UnconnectedState)
            peer->waitForDisconnected(1000);
    }
}

DataServer::DataServer(QObject *parent)
    : QObject(parent)
{
}

bool DataServer::listen(const QHostAddress &address)
{
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            peer = socket;
    });
    return server.listen(address, 0);
}

QByteArray DataServer::pasvReply() const
{
    const quint16 p = port();
    return QByteArray("227 Entering Passive Mode (127,0,0,1,") + QByteArray::number(p >> 8) + ','
        + QByteArray::number(p & 0xff) + ").\r\n";
}

bool DataServer::waitForClient(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!peer && !deadline.hasExpired())
        QTest::qWait(5);
    return peer != nullptr;
}

void DataServer::send(const QByteArray &bytes)
{
    if (!peer)
        return;
    peer->write(bytes);
    peer->flush();
}

QByteArray DataServer::receiveAll(int timeoutMs)
{
    QByteArray all;
    QDeadlineTimer deadline(timeoutMs);
    while (peer && !deadline.hasExpired()) {
        all += peer->readAll();
        if (peer->state() == QAbstractSocket::UnconnectedState)
            break;
        QTest::qWait(5);
    }
    if (peer)
        all += peer->readAll();
    return all;
}

void DataServer::close()
{
    if (peer)
        peer->disconnectFromHost();
}
