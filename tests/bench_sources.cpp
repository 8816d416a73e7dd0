#include "cuttingproxy.h"
#include "httpssource.h"
#include "nginxserver.h"
#include "serverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

// The HTTPS source's benchmarks (scripts/bench runs them):
//
//   bench_sources serve ROOT CAFILE
//       runs nginx over HTTPS on 127.0.0.1 serving ROOT, writes its CA's
//       certificate to CAFILE, prints "PORT n" and serves until its
//       standard input is closed;
//   bench_sources get URL LOCAL CAFILE
//       fetches URL into LOCAL as the updater does (HttpsSource, trusting
//       the CA in CAFILE) and prints "BYTES n SECONDS s";
//   bench_sources resume ROOT NAME CUTS
//       serves ROOT with nginx behind a proxy that cuts the connection at
//       CUTS random points, fetches NAME once without cuts and once with
//       them, resuming, and prints the bytes sent over the size and both times.

namespace {

bool fetch(const QUrl &url, const QString &local, bool resumable, qint64 *received = nullptr)
{
    QUrl folder = url.resolved(QUrl(QStringLiteral(".")));
    HttpsSource source(folder);
    bool ok = false;
    QObject::connect(&source, &ReleaseSource::finished, [&](bool success, const QString &why) {
        ok = success;
        if (!success)
            fprintf(stderr, "fetch: %s\n", qPrintable(why));
        QCoreApplication::quit();
    });
    source.fetch(url.fileName(), local, -1, resumable);
    QCoreApplication::exec();
    if (received)
        *received = source.bytesReceived();
    return ok;
}

int serve(const QString &root, const QString &caFile)
{
    NginxServer server;
    if (!server.start(root)) {
        fprintf(stderr, "nginx: %s\n", qPrintable(server.errorText()));
        return 1;
    }
    QFile ca(caFile);
    if (!ca.open(QIODevice::WriteOnly) || ca.write(server.authority().value(0).toPem()) <= 0)
        return 1;
    ca.close();
    return ServerProcess::serveUntilInputCloses(server.port());
}

int get(const QUrl &url, const QString &local, const QString &caFile)
{
    HttpsSource::addCaCertificatesForTesting(QSslCertificate::fromPath(caFile));
    QFile::remove(local);
    QElapsedTimer clock;
    clock.start();
    if (!fetch(url, local, false))
        return 1;
    printf("BYTES %lld SECONDS %.3f\n", QFileInfo(local).size(), clock.nsecsElapsed() / 1e9);
    return 0;
}

int resume(const QString &root, const QString &name, int cutCount)
{
    NginxServer server;
    if (!server.start(root)) {
        fprintf(stderr, "nginx: %s\n", qPrintable(server.errorText()));
        return 1;
    }
    HttpsSource::addCaCertificatesForTesting(server.authority());
    const qint64 size = QFileInfo(root + QLatin1Char('/') + name).size();
    const QString local = root + QLatin1String("/../") + name + QLatin1String(".part");
    const auto run = [&](const QList<qint64> &cuts, qint64 *sent, double *seconds) {
        CuttingProxy proxy;
        proxy.setCuts(cuts);
        if (!proxy.listen(QHostAddress::LocalHost, server.port()))
            return false;
        QFile::remove(local);
        QFile::remove(local + QLatin1String(".source"));
        QElapsedTimer clock;
        clock.start();
        const QUrl url(QStringLiteral("https://127.0.0.1:%1/%2").arg(proxy.port()).arg(name));
        const bool ok = fetch(url, local, true) && QFileInfo(local).size() == size;
        *seconds = clock.nsecsElapsed() / 1e9;
        *sent = proxy.bytesToClients();
        QFile::remove(local);
        return ok;
    };
    qint64 plainSent = 0;
    double plainSeconds = 0;
    if (!run({}, &plainSent, &plainSeconds))
        return 1;
    QList<qint64> cuts;
    for (int i = 0; i < cutCount; ++i)
        cuts << 16384 + qint64(QRandomGenerator::global()->bounded(double(size)));
    std::sort(cuts.begin(), cuts.end());
    qint64 cutSent = 0;
    double cutSeconds = 0;
    if (!run(cuts, &cutSent, &cutSeconds))
        return 1;
    printf("SIZE %lld UNCUT_SENT %lld UNCUT_SECONDS %.3f CUT_SENT %lld CUT_SECONDS %.3f\n", size,
        plainSent, plainSeconds, cutSent, cutSeconds);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args.at(1) == QLatin1String("serve"))
        return serve(args.at(2), args.at(3));
    if (args.size() == 5 && args.at(1) == QLatin1String("get"))
        return get(QUrl(args.at(2)), args.at(3), args.at(4));
    if (args.size() == 5 && args.at(1) == QLatin1String("resume"))
        return resume(args.at(2), args.at(3), args.at(4).toInt());
    fprintf(stderr,
        "usage: bench_sources serve ROOT CAFILE | get URL LOCAL CAFILE | resume ROOT NAME CUTS\n");
    return 2;
}
