#ifndef TESTLIB_SCRIPTEDSERVER_H
#define TESTLIB_SCRIPTEDSERVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A control-connection peer that writes exactly the bytes a test gives it
// and records every line the client sends. One client at a time; listens on
// a free loopback port. Everything is driven from the test's event loop.
class ScriptedServer : public QObject
{
    Q_OBJECT

public:
    explicit ScriptedServer(QObject *parent = nullptr);

    bool listen(const QHostAddress &address = QHostAddress::LocalHost);
    quint16 port() const { return server.serverPort(); }

    // Waits for the client to connect (returns at once when it already has).
    bool waitForClient(int timeoutMs = 5000);
    QTcpSocket *client() const { return peer; }

    // Writes bytes to the client as they are (no CR LF added) and flushes.
    void send(const QByteArray &bytes);
    // Waits for the next complete line from the client; returns it without
    // CR LF, or a null array on time-out.
    QByteArray nextLine(int timeoutMs = 5000);
    // Lines received and not yet taken by nextLine().
    QList<QByteArray> unreadLines() const { return lines; }
    // True when no further line arrives within timeoutMs.
    bool noLineWithin(int timeoutMs);
    // Closes the client's connection from the server side.
    void dropClient();
    // Answers `line` with `reply` as soon as it arrives, from the event
    // loop, for a client that waits in a loop of its own (the line is still
    // recorded).
    void autoReply(const QByteArray &line, const QByteArray &reply) { autoReplies[line] = reply; }

private:
    void readLines();

    QMap<QByteArray, QByteArray> autoReplies;
    QTcpServer server;
    QPointer<QTcpSocket> peer;
    QByteArray buffer;
    QList<QByteArray> lines;
};

// A data-connection peer for passive transfers: listens on a free loopback
// port; the test announces it in a 227 reply and then sends or receives.
class DataServer : public QObject
{
    Q_OBJECT

public:
    explicit DataServer(QObject *parent = nullptr);
    bool listen(const QHostAddress &address = QHostAddress::LocalHost);
    quint16 port() const { return server.serverPort(); }
    // "227 Entering Passive Mode (127,0,0,1,p1,p2).\r\n" for this port.
    QByteArray pasvReply() const;
    bool waitForClient(int timeoutMs = 5000);
    QTcpSocket *client() const { return peer; }
    void send(const QByteArray &bytes);
    // Reads until the client closes; returns everything received.
    QByteArray receiveAll(int timeoutMs = 10000);
    void close();

private:
    QTcpServer server;
    QPointer<QTcpSocket> peer;
};

// A loopback port whose accept queue is full: the kernel drops every
// further SYN, so a connection to it neither completes nor fails -- a
// firewall that drops packets, without leaving loopback.
class FullListener
{
public:
    FullListener() = default;
    ~FullListener();
    FullListener(const FullListener &) = delete;
    FullListener &operator=(const FullListener &) = delete;

    // Listens with no room in the accept queue and fills it; false when a
    // connection still completes.
    bool open(const QHostAddress &address = QHostAddress::LocalHost);
    QHostAddress address() const { return host; }
    quint16 port() const { return portNumber; }

private:
    int fd = -1;
    QHostAddress host;
    quint16 portNumber = 0;
    QList<QTcpSocket *> fillers;
};

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2).\r\n" naming address and port.
QByteArray pasvReplyFor(const QHostAddress &address, quint16 port);

#endif // TESTLIB_SCRIPTEDSERVER_H
