#include "scriptedserver.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
        if (autoReplies.contains(line))
            send(autoReplies.value(line));
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

QByteArray pasvReplyFor(const QHostAddress &address, quint16 port)
{
    const quint32 a = address.toIPv4Address();
    QByteArray reply("227 Entering Passive Mode (");
    for (int shift : {24, 16, 8, 0})
        reply += QByteArray::number((a >> shift) & 0xff) + ',';
    return reply + QByteArray::number(port >> 8) + ',' + QByteArray::number(port & 0xff) + ").\r\n";
}

QByteArray DataServer::pasvReply() const
{
    return pasvReplyFor(QHostAddress::LocalHost, port());
}

FullListener::~FullListener()
{
    qDeleteAll(fillers);
    if (fd >= 0)
        ::close(fd);
}

bool FullListener::open(const QHostAddress &address)
{
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address.toIPv4Address());
    socklen_t length = sizeof sa;
    // A backlog of 0 leaves room for one connection, which is never accepted.
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 0) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0)
        return false;
    host = address;
    portNumber = ntohs(sa.sin_port);
    // Fill the queue until a connection no longer completes.
    for (int i = 0; i < 8; ++i) {
        auto *filler = new QTcpSocket;
        fillers << filler;
        filler->connectToHost(address, portNumber);
        if (!filler->waitForConnected(300))
            return true;
    }
    return false;
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
