#ifndef TESTLIB_SERVERPROCESS_H
#define TESTLIB_SERVERPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

// A server program run in the foreground by a fixture, on a loopback port
// that was free a moment ago. Another process may take the port first, so
// a start that does not come up tries another port, up to 5 times.
namespace ServerProcess {

// Writes the program's configuration for `port` (false: give up), runs
// `program` with `arguments`, and waits until it accepts connections on
// `port`. On failure *error tells why and the process is stopped.
bool start(QProcess &process, const QString &program, const QStringList &arguments, quint16 *port,
    const std::function<bool(quint16)> &configure, QString *error);

// Terminates the process, killing it if it does not go within 5 s.
void stop(QProcess &process);

// Debian installs daemons in /usr/sbin, which a user's PATH may lack.
QString program(const QString &name);

} // namespace ServerProcess

#endif // TESTLIB_SERVERPROCESS_H
