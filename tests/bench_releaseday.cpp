#include "ftpsource.h"
#include "httpssource.h"
#include "nginxserver.h"
#include "releasefiles.h"
#include "sourcelist.h"
#include "vsftpdserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

// Release day (scripts/bench releaseday runs it):
//
//   bench_releaseday check ROOT CHECKS CONCURRENCY MAXCLIENTS
//       serves ROOT (which holds "demo_mac/version.ver") from vsftpd taking
//       at most MAXCLIENTS sessions and from nginx over HTTPS, and runs
//       CHECKS update checks in CONCURRENCY processes (each an updater
//       checking again and again, so CONCURRENCY at a time), as the window
//       does: the primary FTP server first (FtpSource, held as the source
//       list holds a primary with mirrors), then the source list's mirror. Prints which served
//       each, the median and p99 time of a check, the checks that failed or hung, and why the
//       primary was left ("LEFT count slowest-seconds reason").

namespace {

// A check that has not ended after this long hangs.
const int hangMsecs = 5 * 60 * 1000;

struct Result
{
    enum Served { Primary, Mirror, Failed, Hung } served;
    double seconds;
    QString primaryLeft; // why, when it was
};

class Check : public QObject
{
    Q_OBJECT

public:
    Check(const QString &dir, quint16 ftpPort, const QString &mirror)
        : dir(dir)
        , primary(QStringLiteral("127.0.0.1"), ftpPort, QStringLiteral("demo_mac"))
        , list(nullptr, QStringLiteral("127.0.0.1"), ftpPort, QStringLiteral("demo_mac"), {mirror},
              dir)
    {
        connect(&primary, &ReleaseSource::finished, this, &Check::primaryFinished);
        connect(&list, &SourceList::versionFetched, this, [this](bool ok) {
            end(ok && !list.publishedVersion().isEmpty() ? Result::Mirror : Result::Failed);
        });
        // As the window's session is held with mirrors behind it.
        primary.setOverloadRetries(0);
        primary.setLoginTimeout(SourceList::loginLimitWithMirrors);
        hang.setSingleShot(true);
        connect(&hang, &QTimer::timeout, this, [this] { end(Result::Hung); });
    }

    void start()
    {
        clock.start();
        hang.start(hangMsecs);
        primary.fetch(QLatin1String(ReleaseFiles::versionFile),
            dir + QLatin1Char('/') + QLatin1String(ReleaseFiles::downloadedVersionFile),
            ReleaseFiles::maxVersionFileSize, false);
    }

signals:
    void ended(Result result);

private:
    void primaryFinished(bool ok, const QString &why)
    {
        QString version;
        QString reason = why;
        if (ok
            && SourceList::readVersionFile(
                dir + QLatin1Char('/') + QLatin1String(ReleaseFiles::downloadedVersionFile),
                &version, &reason))
            return end(Result::Primary);
        primaryLeft = reason;
        list.fetchVersionFromNext(reason);
    }

    void end(Result::Served served)
    {
        if (done)
            return;
        done = true;
        hang.stop();
        primary.cancel();
        list.cancel();
        emit ended({served, clock.nsecsElapsed() / 1e9, primaryLeft});
    }

    QString dir;
    FtpSource primary;
    SourceList list;
    QTimer hang;
    QElapsedTimer clock;
    bool done = false;
    QString primaryLeft;
};

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(share * double(values.size() - 1) + 0.5));
    return values[at];
}

// One updater process: `count` checks one after another, each printed as
// "RESULT served seconds reason-the-primary-was-left".
int worker(quint16 ftpPort, const QString &mirror, const QString &caFile, int count)
{
    HttpsSource::addCaCertificatesForTesting(QSslCertificate::fromPath(caFile));
    QTemporaryDir work;
    int done = 0;
    std::function<void()> next = [&] {
        if (done == count)
            return QCoreApplication::quit();
        const QString dir = work.filePath(QString::number(done));
        QDir().mkpath(dir);
        Check *check = new Check(dir, ftpPort, mirror);
        QObject::connect(check, &Check::ended, [&, check, dir](Result result) {
            printf("RESULT %d %.6f %s\n", int(result.served), result.seconds,
                qPrintable(result.primaryLeft));
            ++done;
            check->deleteLater();
            QDir(dir).removeRecursively();
            QTimer::singleShot(0, next);
        });
        check->start();
    };
    QTimer::singleShot(0, next);
    QCoreApplication::exec();
    fflush(stdout);
    return 0;
}

int releaseDay(const QString &root, int checks, int concurrency, int maxClients)
{
    QString why;
    if (!VsftpdServer::ensureAccount(&why)) {
        fprintf(stderr, "vsftpd: %s\n", qPrintable(why));
        return 1;
    }
    VsftpdServer ftp;
    ftp.setMaxClients(maxClients);
    if (!ftp.start(root)) {
        fprintf(stderr, "vsftpd: %s\n", qPrintable(ftp.errorText()));
        return 1;
    }
    NginxServer mirror;
    if (!mirror.start(root)) {
        fprintf(stderr, "nginx: %s\n", qPrintable(mirror.errorText()));
        return 1;
    }
    QTemporaryDir work;
    const QString caFile = work.filePath(QStringLiteral("ca.pem"));
    QFile ca(caFile);
    if (!ca.open(QIODevice::WriteOnly) || ca.write(mirror.authority().value(0).toPem()) <= 0) {
        fprintf(stderr, "cannot write %s\n", qPrintable(caFile));
        return 1;
    }
    ca.close();

    // Each updater is a process of its own, as each curl of the yardstick
    // is: `concurrency` of them, sharing the checks out.
    std::vector<std::unique_ptr<QProcess>> workers;
    for (int i = 0; i < concurrency; ++i) {
        const int count = checks / concurrency + (i < checks % concurrency ? 1 : 0);
        if (count == 0)
            break;
        workers.emplace_back(new QProcess);
        workers.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        workers.back()->start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("worker"), QString::number(ftp.port()), mirror.url().toString(), caFile,
                QString::number(count)});
    }
    std::vector<Result> results;
    for (auto &process : workers) {
        process->waitForFinished(-1);
        for (const QByteArray &line : process->readAllStandardOutput().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() < 3 || fields.at(0) != "RESULT")
                continue;
            results.push_back({Result::Served(fields.at(1).toInt()), fields.at(2).toDouble(),
                QString::fromUtf8(line.mid(
                    fields.at(0).size() + fields.at(1).size() + fields.at(2).size() + 3))});
        }
    }
    // A worker that died leaves its checks lost.
    while (int(results.size()) < checks)
        results.push_back({Result::Failed, 0, QStringLiteral("the check's process ended early")});

    int served[4] = {};
    std::vector<double> times;
    // Why the primary was left, with how often and the slowest such check.
    QMap<QString, QPair<int, double>> left;
    for (const Result &r : results) {
        ++served[r.served];
        times.push_back(r.seconds);
        if (!r.primaryLeft.isEmpty()) {
            auto &entry = left[r.primaryLeft];
            ++entry.first;
            entry.second = std::max(entry.second, r.seconds);
        }
    }
    for (auto it = left.cbegin(); it != left.cend(); ++it)
        printf("LEFT %d %.3f %s\n", it->first, it->second, qPrintable(it.key()));
    printf("CHECKS %d PRIMARY %d MIRROR %d FAILED %d HUNG %d MEDIAN %.3f P99 %.3f\n",
        int(results.size()), served[Result::Primary], served[Result::Mirror],
        served[Result::Failed], served[Result::Hung], percentile(times, 0.5),
        percentile(times, 0.99));
    return served[Result::Failed] + served[Result::Hung] == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 6 && args.at(1) == QLatin1String("check"))
        return releaseDay(args.at(2), args.at(3).toInt(), args.at(4).toInt(), args.at(5).toInt());
    if (args.size() == 6 && args.at(1) == QLatin1String("worker"))
        return worker(quint16(args.at(2).toUInt()), args.at(3), args.at(4), args.at(5).toInt());
    fprintf(stderr, "usage: bench_releaseday check ROOT CHECKS CONCURRENCY MAXCLIENTS\n");
    return 2;
}

#include "bench_releaseday.moc"
