#ifndef TESTLIB_CLOSEDPORT_H
#define TESTLIB_CLOSEDPORT_H

#include <QHostAddress>
#include <QTcpServer>

// A loopback port that was free a moment ago and has no listener, so that a
// connection to it is refused; 0 when no port could be had.
inline quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return 0;
    return probe.serverPort();
}

#endif // TESTLIB_CLOSEDPORT_H
