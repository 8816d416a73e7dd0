#ifndef TESTLIB_SERVERPROCESS_H
#define TESTLIB_SERVERPROCESS_H

#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

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

// Runs a server that listens on a port it is told in its configuration: a
// loopback port free a moment ago is handed to `configure` (false: give
// up), the program started and waited for until it accepts connections.
// Another process may take the port first, so a start that does not come
// up tries another port, up to 5 times. On failure *error says why and the
// process is stopped.
bool startOnFreePort(QProcess &process, const QString &program, const QStringList &arguments,
    quint16 *port, const std::function<bool(quint16)> &configure, QString *error);

// The path of a daemon: Debian installs them in /usr/sbin, which a user's
// PATH may lack.
QString program(const QString &name);

// Asks the process to end (its input closed when `closeInput`, else
// SIGTERM) and kills it when it lingers.
void stop(QProcess &process, bool closeInput = false);

// The other side, for a program that is itself a server process (the
// benchmarks' server half): prints "PORT <port>" and runs the event loop
// until its input closes. Returns the loop's exit code.
int serveUntilInputCloses(quint16 port);

} // namespace ServerProcess

#endif // TESTLIB_SERVERPROCESS_H
