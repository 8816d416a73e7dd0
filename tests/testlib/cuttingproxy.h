#ifndef TESTLIB_CUTTINGPROXY_H
#define TESTLIB_CUTTINGPROXY_H

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// An unreliable network on loopback: forwards every connection to one
// target and closes the connection that is carrying bytes to the client
// when the bytes sent to clients, counted over all connections, reach each
// of the given cut points in turn.
class CuttingProxy : public QObject
{
    Q_OBJECT

public:
    explicit CuttingProxy(QObject *parent = nullptr);

    bool listen(const QHostAddress &target, quint16 targetPort);
    quint16 port() const { return server.serverPort(); }
    // Ascending counts of bytes to clients at which to cut.
    void setCuts(const QList<qint64> &points) { cuts = points; }
    qint64 bytesToClients() const { return sent; }
    int cutsMade() const { return made; }

private:
    void accept();
    void pump(QTcpSocket *from, QTcpSocket *to, bool toClient);

    QTcpServer server;
    QHostAddress targetAddress;
    quint16 targetPort = 0;
    QList<qint64> cuts;
    qint64 sent = 0;
    int made = 0;
};

#endif // TESTLIB_CUTTINGPROXY_H
