#include "nginxserver.h"

#include "serverprocess.h"

#include <QFile>

#include <unistd.h>

NginxServer::~NginxServer()
{
    stop();
}

QUrl NginxServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1/%2").arg(serverPort).arg(path));
}

bool NginxServer::run(const QStringList &arguments)
{
    QProcess openssl;
    openssl.setWorkingDirectory(prefix->path());
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        lastError = QStringLiteral("openssl %1: %2")
                        .arg(arguments.join(QLatin1Char(' ')),
                            QString::fromLocal8Bit(openssl.readAll()) + openssl.errorString());
        return false;
    }
    return true;
}

bool NginxServer::makeCertificates()
{
    // Elliptic-curve keys: made in an instant.
    const QStringList key
        = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    QFile extensions(prefix->filePath(QStringLiteral("server.ext")));
    if (!extensions.open(QIODevice::WriteOnly))
        return false;
    extensions.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n");
    extensions.close();
    if (!run(QStringList {QStringLiteral("req"), QStringLiteral("-x509")} + key
            + QStringList {QStringLiteral("-keyout"), QStringLiteral("ca.key"),
                QStringLiteral("-out"), QStringLiteral("ca.crt"), QStringLiteral("-days"),
                QStringLiteral("2"), QStringLiteral("-subj"),
                QStringLiteral("/CN=Updater test CA")})
        || !run(QStringList {QStringLiteral("req")} + key
            + QStringList {QStringLiteral("-keyout"), QStringLiteral("server.key"),
                QStringLiteral("-out"), QStringLiteral("server.csr"), QStringLiteral("-subj"),
                QStringLiteral("/CN=127.0.0.1")})
        || !run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
            QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.crt"),
            QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
            QStringLiteral("-out"), QStringLiteral("server.crt"), QStringLiteral("-days"),
            QStringLiteral("2"), QStringLiteral("-extfile"), QStringLiteral("server.ext")}))
        return false;
    ca = QSslCertificate::fromPath(prefix->filePath(QStringLiteral("ca.crt")));
    return !ca.isEmpty();
}

bool NginxServer::start(const QString &rootDir, const QString &directives)
{
    stop();
    prefix.reset(new QTemporaryDir);
    if (!prefix->isValid() || !makeCertificates())
        return false;
    const QString p = prefix->path();
    const auto configure = [&](quint16 port) {
        QFile conf(p + QStringLiteral("/nginx.conf"));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        // Workers of a root master would run as nobody, who cannot read a
        // test's private folders.
        const QString user = geteuid() == 0 ? QStringLiteral("user root;\n") : QString();
        conf.write(QStringLiteral("%1worker_processes 1;\npid %2/nginx.pid;\n"
                                  "error_log %2/error.log;\nevents { worker_connections 1024; }\n"
                                  "http {\n access_log off;\n"
                                  " client_body_temp_path %2/body; proxy_temp_path %2/proxy;\n"
                                  " fastcgi_temp_path %2/fastcgi; uwsgi_temp_path %2/uwsgi;\n"
                                  " scgi_temp_path %2/scgi;\n"
                                  " default_type application/octet-stream;\n"
                                  " server {\n  listen 127.0.0.1:%3 ssl;\n"
                                  "  ssl_certificate %2/server.crt;\n"
                                  "  ssl_certificate_key %2/server.key;\n  root %4;\n%5\n }\n}\n")
                       .arg(user, p)
                       .arg(port)
                       .arg(rootDir, directives)
                       .toUtf8());
        return true;
    };
    return ServerProcess::startOnFreePort(process, ServerProcess::program(QStringLiteral("nginx")),
        {QStringLiteral("-p"), p, QStringLiteral("-e"), p + QStringLiteral("/error.log"),
            QStringLiteral("-c"), p + QStringLiteral("/nginx.conf"), QStringLiteral("-g"),
            QStringLiteral("daemon off;")},
        &serverPort, configure, &lastError);
}

void NginxServer::stop()
{
    ServerProcess::stop(process);
}
