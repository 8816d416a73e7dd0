#include "proxyserver.h"

#include "serverprocess.h"

#include <QFile>

ProxyServer::~ProxyServer()
{
    stop();
}

QUrl ProxyServer::url(const QString &user, const QString &password) const
{
    QUrl url(QStringLiteral("http://127.0.0.1:%1").arg(serverPort));
    url.setUserName(user);
    url.setPassword(password);
    return url;
}

bool ProxyServer::start(const QString &directives)
{
    stop();
    folder.reset(new QTemporaryDir);
    if (!folder->isValid())
        return false;
    const QString conf = folder->filePath(QStringLiteral("tinyproxy.conf"));
    const auto configure = [&](quint16 port) {
        QFile file(conf);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 60\nMaxClients 64\n"
                                  "LogFile \"%2/tinyproxy.log\"\nLogLevel Info\n"
                                  "PidFile \"%2/tinyproxy.pid\"\n%3\n")
                       .arg(port)
                       .arg(folder->path(), directives)
                       .toUtf8());
        return true;
    };
    return ServerProcess::startOnFreePort(process,
        ServerProcess::program(QStringLiteral("tinyproxy")),
        {QStringLiteral("-d"), QStringLiteral("-c"), conf}, &serverPort, configure, &lastError);
}

void ProxyServer::stop()
{
    ServerProcess::stop(process);
}

int ProxyServer::tunnelsAsked() const
{
    QFile log(folder ? folder->filePath(QStringLiteral("tinyproxy.log")) : QString());
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    // "Request (file descriptor 7): CONNECT 127.0.0.1:443 HTTP/1.1"
    return log.readAll().count("): CONNECT ");
}
