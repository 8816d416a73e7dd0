#ifndef TESTLIB_NGINXSERVER_H
#define TESTLIB_NGINXSERVER_H

#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

// Debian's nginx serving a folder over HTTPS on a free loopback port, run
// in the foreground ("daemon off") from a temporary prefix, with a
// certificate for 127.0.0.1 from a CA made for this server alone (openssl).
// Stopped when the object is destroyed.
class NginxServer
{
public:
    NginxServer() = default;
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // `directives` go into the server block as they stand (a "return 302
    // http://...;", "max_ranges 0;", a location answering 503...).
    bool start(const QString &rootDir, const QString &directives = QString());
    void stop();

    quint16 port() const { return serverPort; }
    // "https://127.0.0.1:PORT/" followed by path.
    QUrl url(const QString &path = QString()) const;
    // The CA that signed this server's certificate: trusted only by a
    // client that is given it.
    QList<QSslCertificate> authority() const { return ca; }
    QString errorText() const { return lastError; }

private:
    bool makeCertificates();
    bool run(const QStringList &arguments);

    std::unique_ptr<QTemporaryDir> prefix;
    QProcess process;
    quint16 serverPort = 0;
    QList<QSslCertificate> ca;
    QString lastError;
};

#endif // TESTLIB_NGINXSERVER_H
