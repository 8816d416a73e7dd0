#include "archivebuilder.h"
#include "files.h"
#include "ftpserver.h"
#include "installation.h"
#include "instancelock.h"
#include "launchfixture.h"
#include "mainwindow.h"
#include "manifestwriter.h"
#include "readyupdate.h"
#include "releasesigner.h"
#include "settings.h"
#include "signatureverifier.h"
#include "startup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <unistd.h>

// A background release against today's question (scripts/bench background
// runs it):
//
//   bench_background MIB RUNS
//       publishes a release of MIB MiB over an installation of 1.0 on a
//       loopback FTP server and prints, RUNS times each, the seconds from
//       the window's start to the launch with nothing newer published
//       (NOUPDATE), with the release pending as background (BACKGROUND; then
//       READY: its download and unpack behind the application), the next
//       start's check (CHECK) and install of the ready update, the swap only
//       (SWAP), and the whole ask-download-install of the same release
//       published as ask, answered Yes at once (ASK).

namespace {

bool soon(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(1);
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

double seconds(const QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    if (!qEnvironmentVariableIsSet("BENCH_DEBUG"))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    if (argc != 3)
        return std::fprintf(stderr, "usage: bench_background MIB RUNS\n"), 2;
    const int mib = QByteArray(argv[1]).toInt();
    const int runs = QByteArray(argv[2]).toInt();
    QTemporaryDir work;
    OpenRecorder open;
    const QString marker = work.filePath("started.txt");

    // Release 1.0 installed; 1.1 adds MIB MiB of data in 10 MiB files.
    const QString oldDir = work.filePath("release-1.0");
    const QString newDir = work.filePath("release-1.1");
    const QString program = bundleExecutable(oldDir, "Demo");
    if (!writeFile(oldDir + "/version.ver", "1.0") || !writeProgram(program, marker, "Demo"))
        return 1;
    QProcess::execute("cp", {"-a", oldDir, newDir});
    writeFile(newDir + "/version.ver", "1.1");
    QByteArray block(10 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i * 10 < mib; ++i) {
        QRandomGenerator(quint32(i + 1))
            .fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        writeFile(newDir + QStringLiteral("/Demo.app/Contents/Resources/data%1.bin").arg(i),
            block.left(qMin(10, mib - i * 10) * 1024 * 1024));
    }

    QTemporaryDir keys;
    QByteArray publicKey;
    ReleaseSigner signer;
    QString why;
    if (!ReleaseSigner::generateKeyPair(keys.path(), QByteArray(), &publicKey, &why)
        || !signer.loadSecretKey(keys.filePath("minisign.key"), {}, &why))
        return std::fprintf(stderr, "%s\n", qPrintable(why)), 1;
    // Three server roots: nothing newer, 1.1 as background, 1.1 as ask.
    const QString archive = work.filePath("app.zip");
    if (!ArchiveBuilder::build(newDir, archive, &why))
        return std::fprintf(stderr, "%s\n", qPrintable(why)), 1;
    for (const QString kind : {"none", "background", "ask"}) {
        const QString folder = work.filePath(kind + "/demo_mac");
        QDir().mkpath(folder);
        const QString version = kind == "none" ? "1.0" : "1.1";
        writeFile(folder + "/version.ver", version.toUtf8());
        // One archive on disk for both folders; a symbolic link would lead
        // out of the server's root.
        if (kind != "none"
            && ::link(QFile::encodeName(archive).constData(),
                   QFile::encodeName(folder + "/app.zip").constData())
                != 0)
            return 1;
        ManifestOptions options;
        options.background = kind == "background";
        ReleaseManifest manifest;
        if (!ManifestWriter::describe(archive, version, options,
                QDateTime::currentSecsSinceEpoch() - 60, &manifest, &why))
            return std::fprintf(stderr, "%s\n", qPrintable(why)), 1;
        manifest.binding = {"Demo", "demo_mac"};
        if (!ManifestWriter::write(manifest, signer, folder, &why))
            return std::fprintf(stderr, "%s\n", qPrintable(why)), 1;
    }
    FtpServer server;
    if (!server.start(work.filePath("none")))
        return std::fprintf(stderr, "%s\n", qPrintable(server.errorText())), 1;
    serverHost = QStringLiteral("127.0.0.1");
    serverPort = server.port();
    serverAppDir = QStringLiteral("demo_mac");
    appName = QStringLiteral("Demo");
    SignatureVerifier::setPublicKeyForTesting(publicKey);
    // The question, answered Yes as soon as it shows.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Yes)->click();
    });
    answer.start(1);

    QString lines[6];
    const char *names[6] = {"NOUPDATE", "BACKGROUND", "READY", "CHECK", "SWAP", "ASK"};
    for (int run = 0; run < runs; ++run) {
        for (const QString kind : {"none", "background", "ask"}) {
            const QString appDir = work.filePath(QStringLiteral("app-%1-%2").arg(kind).arg(run));
            QProcess::execute("cp", {"-a", oldDir, appDir});
            if (!placeUpdater(appDir, QStringLiteral("xcb"))
                || !server.setRoot(work.filePath(kind)))
                return 1;
            const int launches = open.calls().size();
            QElapsedTimer clock;
            clock.start();
            {
                // As a start does: both locks, nothing ready yet.
                Installation installation(appDir);
                InstanceLock lock(appDir);
                ReadyUpdate ready(appDir);
                lock.acquire(&why);
                ready.lock(&why);
                ready.setInstallationLock(&lock);
                Startup::checkReady(installation, ready, publicKey);
                QSignalSpy prepared(&ready, &ReadyUpdate::prepared);
                MainWindow window(installation, nullptr, &ready);
                window.show();
                if (!soon([&] { return open.calls().size() > launches; }, 600000))
                    return std::fprintf(stderr, "no launch (%s)\n", qPrintable(kind)), 1;
                const double launched = seconds(clock);
                const int line = kind == "none" ? 0 : kind == "ask" ? 5 : 1;
                lines[line] += QStringLiteral(" %1").arg(launched);
                if (kind == "background") {
                    if (!soon([&] { return !prepared.isEmpty(); }, 600000)
                        || !prepared.at(0).at(0).toBool())
                        return std::fprintf(stderr, "never made ready\n"), 1;
                    lines[2] += QStringLiteral(" %1").arg(seconds(clock) - launched);
                }
            }
            if (kind != "background")
                continue;
            // The next start: the check, then the swap alone.
            Installation installation(appDir);
            ReadyUpdate ready(appDir);
            ready.lock(&why);
            clock.restart();
            if (!Startup::checkReady(installation, ready, publicKey))
                return std::fprintf(stderr, "the ready update did not pass its check\n"), 1;
            lines[3] += QStringLiteral(" %1").arg(seconds(clock));
            QSignalSpy installed(&ready, &ReadyUpdate::installed);
            clock.restart();
            ready.install(installation);
            if (!soon([&] { return !installed.isEmpty(); }, 600000)
                || !installed.at(0).at(0).toBool())
                return std::fprintf(stderr, "the ready update was not installed\n"), 1;
            lines[4] += QStringLiteral(" %1").arg(seconds(clock));
        }
    }
    for (int i = 0; i < 6; ++i)
        std::printf("%s%s\n", names[i], qPrintable(lines[i]));
    return 0;
}
