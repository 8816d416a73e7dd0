#include "qftp.h"
#include "serverprocess.h"
#include "vsftpdserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <cstdio>

// The download benchmark's two halves (scripts/bench runs them):
//
//   bench_download serve ROOT
//       runs vsftpd on 127.0.0.1 serving ROOT, prints "PORT n" once it
//       answers, and serves until its standard input is closed;
//   bench_download get PORT REMOTE LOCAL
//       downloads REMOTE from 127.0.0.1:PORT into the file LOCAL with QFtp
//       (passive mode, the updater's user) and prints "BYTES n SECONDS s".
//
// Exit code 0 on success; a failure prints the client's error text.

namespace {

int serve(const QString &root)
{
    QString why;
    if (!VsftpdServer::ensureAccount(&why)) {
        fprintf(stderr, "vsftpd: %s\n", qPrintable(why));
        return 1;
    }
    VsftpdServer server;
    if (!server.start(root)) {
        fprintf(stderr, "vsftpd: %s\n", qPrintable(server.errorText()));
        return 1;
    }
    return ServerProcess::serveUntilInputCloses(server.port());
}

int get(quint16 port, const QString &remote, const QString &local)
{
    QFile file(local);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fprintf(stderr, "%s: %s\n", qPrintable(local), qPrintable(file.errorString()));
        return 1;
    }
    QFtp ftp;
    QElapsedTimer clock;
    clock.start();
    ftp.connectToHost(QStringLiteral("127.0.0.1"), port);
    ftp.login(QString::fromLatin1(VsftpdServer::user), QString::fromLatin1(VsftpdServer::password));
    const int download = ftp.get(remote, &file);
    ftp.close();
    bool ok = false;
    QObject::connect(&ftp, &QFtp::commandFinished, [&](int id, bool error) {
        if (id == download)
            ok = !error;
        if (error)
            fprintf(stderr, "download: %s\n", qPrintable(ftp.errorString()));
    });
    QObject::connect(&ftp, &QFtp::done, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    file.close();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!ok)
        return 1;
    printf("BYTES %lld SECONDS %.3f\n", file.size(), seconds);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("serve"))
        return serve(args.at(2));
    if (args.size() == 5 && args.at(1) == QLatin1String("get"))
        return get(quint16(args.at(2).toUInt()), args.at(3), args.at(4));
    fprintf(stderr, "usage: bench_download serve ROOT | get PORT REMOTE LOCAL\n");
    return 2;
}
