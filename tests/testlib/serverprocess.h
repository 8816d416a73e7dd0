#ifndef TESTLIB_SERVERPROCESS_H
#define TESTLIB_SERVERPROCESS_H

#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QStringList>

class QTcpSocket;

// The fixtures' server processes (pyftpdlib, vsftpd, nginx), started,
// waited for until they take connections, and stopped, one way for all.
namespace ServerProcess {

// Runs program; false with *error when it does not start.
bool start(QProcess &process, const QString &program, const QStringList &arguments,
    QProcess::ProcessChannelMode channels, QString *error);

// Connects to address:port until the server accepts, within timeoutMs and
// while the process runs; `probe` is left connected (for a greeting).
bool waitForPort(const QProcess &process, const QHostAddress &address, quint16 port, int timeoutMs,
    QTcpSocket *probe);

// Asks the process to end (its input closed when `closeInput`, else
// SIGTERM) and kills it when it lingers.
void stop(QProcess &process, bool closeInput = false);

// The other side, for a program that is itself a server process (the
// benchmarks' server half): prints "PORT <port>" and runs the event loop
// until its input closes. Returns the loop's exit code.
int serveUntilInputCloses(quint16 port);

} // namespace ServerProcess

#endif // TESTLIB_SERVERPROCESS_H
