#ifndef TESTLIB_PROXYSERVER_H
#define TESTLIB_PROXYSERVER_H

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

// Debian's tinyproxy on a free loopback port, run in the foreground ("-d")
// from a temporary folder, logging every request it is sent. Stopped when
// the object is destroyed.
class ProxyServer
{
public:
    ProxyServer() = default;
    ~ProxyServer();
    ProxyServer(const ProxyServer &) = delete;
    ProxyServer &operator=(const ProxyServer &) = delete;

    // `directives` go into its configuration as they stand ("BasicAuth user
    // password", "ConnectPort 1" to refuse every tunnel to a test's server).
    bool start(const QString &directives = QString());
    void stop();

    quint16 port() const { return serverPort; }
    // "http://[user:password@]127.0.0.1:PORT"
    QUrl url(const QString &user = QString(), const QString &password = QString()) const;
    // Tunnels asked of it (CONNECT requests), granted or not.
    int tunnelsAsked() const;
    QString errorText() const { return lastError; }

private:
    std::unique_ptr<QTemporaryDir> folder;
    QProcess process;
    quint16 serverPort = 0;
    QString lastError;
};

#endif // TESTLIB_PROXYSERVER_H
