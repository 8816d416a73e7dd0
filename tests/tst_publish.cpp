// updater-publish: the archive it builds, its signatures and keys against
// Debian's minisign, and its uploads to real FTP servers on loopback,
// including one that fails part way and one read while it runs.
#include "archivebuilder.h"
#include "bytepattern.h"
#include "ftpserver.h"
#include "minisignformat.h"
#include "publisher.h"
#include "qftp.h"
#include "releasemanifest.h"
#include "releasesigner.h"
#include "scriptedserver.h"
#include "signatureverifier.h"
#include "tool.h"
#include "vsftpdserver.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <QBuffer>
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void archive_data();
    void archive();
    void signing_data();
    void signing();
    void refusedBeforeWork_data();
    void refusedBeforeWork();
    void publishToServer_data();
    void publishToServer();
    void failedPublish_data();
    void failedPublish();
    void readerDuringPublish_data();
    void readerDuringPublish();
    void manifestCommands_data();
    void manifestCommands();
    void keyringCommands_data();
    void keyringCommands();

private:
    void addServerRows();

    QTemporaryDir dir;
    QString minisign;
    bool vsftpdUsable = false;
    QString vsftpdMissing;
};

namespace {

const QString publishTool = QStringLiteral(UPDATER_PUBLISH);
const QStringList releaseNames
    = {"app.zip", "app.zip.minisig", "release.json", "release.json.minisig", "version.ver"};

bool writeTree(const QString &root, const QList<QPair<QString, QByteArray>> &files)
{
    for (const auto &file : files) {
        const QString path = QDir(root).filePath(file.first);
        if (!QDir().mkpath(QFileInfo(path).path()) || !Tool::write(path, file.second))
            return false;
    }
    return true;
}

// A server folder made by the test, writable for vsftpd's session user too.
bool writeServerFolder(const QString &folder, const QList<QPair<QString, QByteArray>> &files)
{
    return writeTree(folder, files) && chmod(QFile::encodeName(folder).constData(), 0777) == 0;
}

// A release folder: an executable, a plain file, an empty folder and two
// relative links that stay inside. Written in the given order, with the
// given modification time, so that two copies differ in all but content.
bool makeRelease(const QString &root, bool reversed, const QDateTime &time, int payload = 5000)
{
    QList<QPair<QString, QByteArray>> files = {
        {"Demo.app/Contents/MacOS/Demo", "#!/bin/sh\necho demo\n"},
        {"Demo.app/Contents/Info.plist", "<plist/>\n"},
        {"Demo.app/Contents/Resources/data.bin", randomBytes(payload, 7)},
        {"version.ver", "1.1\n"},
    };
    if (reversed)
        std::reverse(files.begin(), files.end());
    const QDir r(root);
    if (!writeTree(root, files) || !r.mkpath("Demo.app/Contents/Empty") || !r.mkpath("lib")
        || !QFile::link("Demo", r.filePath("Demo.app/Contents/MacOS/current"))
        || !QFile::link("../Demo.app/Contents/Info.plist", r.filePath("lib/info"))
        || chmod(QFile::encodeName(r.filePath("Demo.app/Contents/MacOS/Demo")).constData(), 0755))
        return false;
    for (const auto &file : files) {
        if (!time.isValid())
            break;
        QFile f(r.filePath(file.first));
        if (!f.open(QIODevice::ReadWrite)
            || !f.setFileTime(time, QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

// Name -> (st_mode, content) of every entry.
QMap<QString, QPair<quint32, QByteArray>> readArchive(const QString &path)
{
    QMap<QString, QPair<quint32, QByteArray>> entries;
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdUnzip))
        return entries;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        zip.getCurrentFileInfo(&info);
        QuaZipFile file(&zip);
        file.open(QIODevice::ReadOnly);
        entries.insert(info.name, qMakePair(info.externalAttr >> 16, file.readAll()));
    }
    return entries;
}

QProcessEnvironment environmentWith(const QString &password = QString())
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("UPDATER_PUBLISH_PASSWORD"));
    if (!password.isNull())
        env.insert(QStringLiteral("UPDATER_PUBLISH_PASSWORD"), password);
    return env;
}

// One of the two servers, on a root folder of its own, or one that
// accepts the connection and never says a word.
struct Server
{
    bool start(const QString &kind)
    {
        if (kind == QLatin1String("silent")) {
            silent.reset(new ScriptedServer);
            return silent->listen() || (why = QStringLiteral("cannot listen"), false);
        }
        if (kind == QLatin1String("vsftpd")) {
            vsftpd.reset(new VsftpdServer);
            return vsftpd->start(root.path()) || (why = vsftpd->errorText(), false);
        }
        if (!pyftpd)
            pyftpd.reset(new FtpServer);
        return pyftpd->start(root.path()) || (why = pyftpd->errorText(), false);
    }
    quint16 port() const
    {
        return silent ? silent->port() : vsftpd ? vsftpd->port() : pyftpd->port();
    }
    void stop() { vsftpd ? vsftpd->stop() : pyftpd->stop(); }
    Publisher::Server target(const QString &folder) const
    {
        return {QStringLiteral("127.0.0.1"), port(), FtpServer::user, FtpServer::password, folder};
    }
    QTemporaryDir root;
    QString why;
    std::unique_ptr<VsftpdServer> vsftpd;
    std::unique_ptr<FtpServer> pyftpd;
    std::unique_ptr<ScriptedServer> silent;
};

// An updater's view of the folder: rounds of LIST, then the release's files
// in the order updaters fetch them (with the manifest, and before it).
class Reader : public QObject
{
public:
    Reader(quint16 port, const QString &folder)
    {
        connect(&ftp, &QFtp::listInfo, this, [this](const QUrlInfo &i) { listing << i.name(); });
        connect(&ftp, &QFtp::done, this, [this](bool error) {
            // A file renamed into place between its SIZE and its RETR comes
            // whole but not at the size announced: the client refuses it
            // rather than take a file it cannot check, and the next round
            // reads again.
            // While the old files are moved aside a file may be missing
            // for a moment: an updater then finds no update this time.
            const bool missing = ftp.errorString().startsWith("Downloading file failed")
                && ftp.error() == QFtp::UnknownError;
            if (error && loggedIn && ftp.errorString().contains("the server announced")) {
                ++refusedRounds;
                startRound();
                return;
            }
            if (error && loggedIn && missing) {
                ++missingRounds;
                startRound();
                return;
            }
            if (error) {
                failure = ftp.errorString();
                return;
            }
            if (loggedIn) {
                QMap<QString, QByteArray> round;
                for (int i = 0; i < releaseOrder.size(); ++i)
                    round.insert(releaseOrder.at(i), buffers[i].data());
                rounds << round;
                listings << listing;
                if (stopped)
                    return;
            }
            loggedIn = true;
            startRound();
        });
        ftp.connectToHost(QStringLiteral("127.0.0.1"), port);
        ftp.login(FtpServer::user, FtpServer::password);
        ftp.cd(folder);
    }
    void startRound()
    {
        listing.clear();
        ftp.list();
        for (int i = 0; i < releaseOrder.size(); ++i) {
            buffers[i].close();
            buffers[i].setData(QByteArray());
            buffers[i].open(QIODevice::WriteOnly);
            ftp.get(releaseOrder.at(i), &buffers[i]);
        }
    }

    const QStringList releaseOrder
        = {"version.ver", "release.json", "release.json.minisig", "app.zip.minisig", "app.zip"};
    QFtp ftp;
    QBuffer buffers[5];
    QStringList listing;
    QList<QMap<QString, QByteArray>> rounds;
    QList<QStringList> listings;
    QString failure;
    bool loggedIn = false;
    bool stopped = false; // no round after the running one
    int refusedRounds = 0;
    int missingRounds = 0;
};

QMap<QString, QByteArray> readRelease(const QString &folder)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : releaseNames)
        files.insert(name, Tool::read(QDir(folder).filePath(name)));
    return files;
}

} // namespace

void TestPublish::initTestCase()
{
    minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty())
        QSKIP("minisign is not installed");
    QVERIFY(dir.isValid());
    vsftpdUsable = VsftpdServer::ensureAccount(&vsftpdMissing);
    // Keys made by minisign: without a password, and with one given on stdin.
    Tool t;
    QVERIFY2(
        t.run(minisign, {"-G", "-W", "-p", dir.filePath("w.pub"), "-s", dir.filePath("w.key")}),
        t.output);
    QVERIFY2(t.run(minisign, {"-G", "-p", dir.filePath("p.pub"), "-s", dir.filePath("p.key")},
                 "secret\nsecret\n"),
        t.output);
    QVERIFY(makeRelease(dir.filePath("release"), false, QDateTime::currentDateTime()));
}

void TestPublish::init()
{
    if (!QTest::currentDataTag() || !QByteArray(QTest::currentDataTag()).startsWith("vsftpd"))
        return;
    if (!vsftpdUsable)
        QSKIP(qPrintable(vsftpdMissing));
}

void TestPublish::archive_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("release") << ""
                             << "" << true;
    QTest::newRow("link-inside") << "lib/more/x"
                                 << "../../version.ver" << true;
    QTest::newRow("link-absolute") << "lib/passwd"
                                   << "/etc/passwd" << false;
    QTest::newRow("link-escaping") << "lib/up"
                                   << "../../outside" << false;
    // Several links, ";" apart: resolved through each other as an installer
    // resolves them.
    QTest::newRow("link-chain-inside") << "d/up;d/in"
                                       << "..;up/lib" << true;
    QTest::newRow("link-chain-escaping") << "d/up;d/esc"
                                         << "..;up/.." << false;
}

void TestPublish::archive()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(bool, accepted);
    QTemporaryDir work;
    const QDir w(work.path());
    QVERIFY(makeRelease(w.filePath("a"), false, QDateTime::currentDateTime()));
    QVERIFY(makeRelease(w.filePath("b"), true, QDateTime::currentDateTime().addDays(-3)));
    const QStringList links = link.split(';', Qt::SkipEmptyParts);
    for (int i = 0; i < links.size(); ++i) {
        for (const char *copy : {"a", "b"}) {
            QVERIFY(w.mkpath(QString(copy) + "/" + QFileInfo(links.at(i)).path()));
            QVERIFY(QFile::link(
                target.split(';').at(i), w.filePath(QString(copy) + "/" + links.at(i))));
        }
    }
    QString reason;
    QCOMPARE(ArchiveBuilder::build(w.filePath("a"), w.filePath("a.zip"), &reason), accepted);
    if (!accepted) {
        QVERIFY2(reason.contains(links.last()) && reason.contains("outside"), qPrintable(reason));
        QVERIFY(!QFile::exists(w.filePath("a.zip")));
        return;
    }
    // Another copy, written in another order at another time: the same bytes.
    QVERIFY2(
        ArchiveBuilder::build(w.filePath("b"), w.filePath("b.zip"), &reason), qPrintable(reason));
    QCOMPARE(Tool::read(w.filePath("b.zip")), Tool::read(w.filePath("a.zip")));

    const auto entries = readArchive(w.filePath("a.zip"));
    QStringList names = entries.keys();
    QCOMPARE(names.first(), QStringLiteral("Demo.app/"));
    QVERIFY(names.contains("Demo.app/Contents/Empty/"));
    QCOMPARE(entries.value("Demo.app/Contents/MacOS/Demo").first, quint32(S_IFREG | 0755));
    QCOMPARE(entries.value("Demo.app/Contents/Info.plist").first, quint32(S_IFREG | 0644));
    QCOMPARE(entries.value("Demo.app/Contents/Empty/").first & S_IFMT, quint32(S_IFDIR));
    QCOMPARE(entries.value("Demo.app/Contents/MacOS/current"),
        qMakePair(quint32(S_IFLNK | 0777), QByteArray("Demo")));
    QCOMPARE(entries.value("lib/info").second, QByteArray("../Demo.app/Contents/Info.plist"));
    QCOMPARE(entries.value("Demo.app/Contents/Resources/data.bin").second, randomBytes(5000, 7));
}

void TestPublish::signing_data()
{
    QTest::addColumn<QString>("key"); // made in initTestCase, or "keygen"
    QTest::addColumn<QByteArray>("keyPassword"); // for keygen; empty: unencrypted
    QTest::addColumn<QString>("env"); // UPDATER_PUBLISH_PASSWORD; null: unset
    QTest::addColumn<QByteArray>("stdinText");
    QTest::addColumn<QString>("error"); // empty: published

    QTest::newRow("minisign-W") << "w" << QByteArray() << QString() << QByteArray() << "";
    QTest::newRow("minisign-password-stdin")
        << "p" << QByteArray() << QString() << QByteArray("secret\n") << "";
    QTest::newRow("minisign-wrong-password")
        << "p" << QByteArray() << QString() << QByteArray("wrong\n") << "wrong password";
    QTest::newRow("minisign-no-password")
        << "p" << QByteArray() << QString() << QByteArray() << "no password";
    QTest::newRow("keygen-unencrypted")
        << "keygen" << QByteArray() << QString() << QByteArray() << "";
    QTest::newRow("keygen-password")
        << "keygen" << QByteArray("pass") << "pass" << QByteArray() << "";
}

void TestPublish::signing()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, keyPassword);
    QFETCH(QString, env);
    QFETCH(QByteArray, stdinText);
    QFETCH(QString, error);
    QTemporaryDir work;
    const QDir w(work.path());
    QString pub = dir.filePath(key + ".pub"), secret = dir.filePath(key + ".key");
    Tool t;
    if (key == QLatin1String("keygen")) {
        QVERIFY2(t.run(publishTool, {"keygen", w.filePath("keys")},
                     keyPassword + '\n' + keyPassword + '\n', environmentWith()),
            t.output);
        pub = w.filePath("keys/minisign.pub");
        secret = w.filePath("keys/minisign.key");
        // The value printed for the build is the public key's line.
        QVERIFY2(t.output.contains("-DUPDATER_PUBLIC_KEY=" + Tool::read(pub).split('\n').at(1)),
            t.output);
        QCOMPARE(QFile::permissions(secret),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        // minisign itself signs with the key made here.
        QVERIFY(Tool::write(w.filePath("probe"), "probe"));
        QVERIFY2(
            t.run(minisign, {"-S", "-s", secret, "-m", w.filePath("probe")}, keyPassword + '\n'),
            t.output);
        QVERIFY2(t.run(minisign, {"-V", "-p", pub, "-m", w.filePath("probe")}), t.output);
    }

    const bool ok = t.run(publishTool,
        {"--version", "1.1", "--key", secret, "--output", w.filePath("out"), "--folder", "demo_mac",
            "--product", "My Demo", dir.filePath("release")},
        stdinText, environmentWith(env));
    if (!error.isEmpty()) {
        QVERIFY(!ok);
        QCOMPARE(t.exitCode, 1);
        QVERIFY2(t.output.contains(error.toUtf8()), t.output);
        QVERIFY(!QFile::exists(w.filePath("out/app.zip.minisig")));
        return;
    }
    QVERIFY2(ok, t.output);
    const QString archive = w.filePath("out/app.zip");
    QVERIFY2(t.run(minisign, {"-V", "-p", pub, "-m", archive}), t.output);
    const QByteArray signature = Tool::read(archive + ".minisig");
    const QByteArray comment = signature.split('\n').value(2);
    QVERIFY2(QRegularExpression("^trusted comment: timestamp:\\d+ file:app.zip version:1.1 "
                                "product:My%20Demo folder:demo_mac$")
                 .match(QString::fromUtf8(comment))
                 .hasMatch(),
        comment);
    QString version, reason;
    QVERIFY2(SignatureVerifier::verify(
                 Tool::read(pub), archive, signature, {"My Demo", "demo_mac"}, &version, &reason),
        qPrintable(reason));
    QCOMPARE(version, QStringLiteral("1.1"));
    QCOMPARE(Tool::read(w.filePath("out/version.ver")), QByteArray("1.1\n"));
    // The manifest, signed the same way, describes the archive.
    const QString manifestPath = w.filePath("out/release.json");
    QVERIFY2(t.run(minisign, {"-V", "-p", pub, "-m", manifestPath}), t.output);
    QVERIFY2(QRegularExpression("\ntrusted comment: timestamp:\\d+ file:release.json version:1.1 "
                                "product:My%20Demo folder:demo_mac\n")
                 .match(QString::fromUtf8(Tool::read(manifestPath + ".minisig")))
                 .hasMatch(),
        Tool::read(manifestPath + ".minisig"));
    ReleaseManifest manifest;
    QVERIFY2(
        ReleaseManifest::parse(Tool::read(manifestPath), &manifest, &reason), qPrintable(reason));
    QByteArray hash;
    QVERIFY(Minisign::prehashFile(archive, &hash, &reason));
    QCOMPARE(manifest.archiveHash, hash);
    QCOMPARE(manifest.archiveSize, QFileInfo(archive).size());
    QCOMPARE(manifest.version, QStringLiteral("1.1"));
    QCOMPARE(manifest.binding.product, QStringLiteral("My Demo"));
    QCOMPARE(manifest.binding.folder, QStringLiteral("demo_mac"));
    QCOMPARE(manifest.expires - manifest.signedAt, qint64(30 * 86400));
    QCOMPARE(manifest.rollout, 100);
    QVERIFY(manifest.notes.isEmpty());
}

void TestPublish::refusedBeforeWork_data()
{
    // Options replacing the defaults ("%w": the row's work folder), what is
    // done to the release folder, and what the one line says.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("expected");
    const QStringList none;
    QTest::newRow("version-file-missing") << none << "no-version-file"
                                          << "version.ver is missing";
    QTest::newRow("version-file-differs") << QStringList {"--version", "1.2"} << ""
                                          << "holds \"1.1\", not the version 1.2";
    QTest::newRow("windows-version-file-missing") << QStringList {"--folder", "demo_win32"} << ""
                                                  << "Bin/version.ver is missing";
    // A Linux release has its version file at the top, as the bundle's.
    QTest::newRow("linux-version-file-missing") << QStringList {"--folder", "demo_linux"}
                                                << "no-version-file" << "src/version.ver is missing";
    QTest::newRow("linux-version-file-under-bin")
        << QStringList {"--folder", "demo_linux"} << "bin-only" << "src/version.ver is missing";
    QTest::newRow("linux-version-file-differs")
        << QStringList {"--folder", "demo_linux", "--version", "1.2"} << ""
        << "holds \"1.1\", not the version 1.2";
    QTest::newRow("version-unorderable") << QStringList {"--version", "v1.1"} << ""
                                         << "not one updaters can order";
    QTest::newRow("version-line-break") << QStringList {"--version", "1.1\nPASS x"} << ""
                                        << "not one updaters can order";
    QTest::newRow("version-1024-nines") << QStringList {"--version", QString(1024, '9')} << ""
                                        << "not one updaters can order";
    QTest::newRow("version-nine-parts") << QStringList {"--version", "1.1.1.1.1.1.1.1.1"} << ""
                                        << "not one updaters can order";
    QTest::newRow("product-slash") << QStringList {"--product", "Demo/x"} << ""
                                   << "the product \"Demo/x\" must be one name";
    QTest::newRow("folder-slash") << QStringList {"--folder", "demo/mac"} << ""
                                  << "one name";
    QTest::newRow("folder-dot-dot") << QStringList {"--folder", ".."} << ""
                                    << "one name";
    QTest::newRow("folder-carriage-return") << QStringList {"--folder", "demo\r"} << ""
                                            << "one name";
    QTest::newRow("user-line-break")
        << QStringList {"--user", "marvoline\r\nDELE version.ver"} << ""
        << "the user must not";
    QTest::newRow("folder-unreadable") << none << "unreadable"
                                       << "cannot read the folder";
    QTest::newRow("link-chain-leaving") << none << "link-chain"
                                        << "the link d/esc points outside";
    QTest::newRow("special-file") << none << "fifo"
                                  << "is not a file, folder or link";
    QTest::newRow("backslash-name") << none << "backslash"
                                    << "backslash";
    QTest::newRow("drive-name") << none << "drive"
                                << "drive letter";
    // The output folder is the source folder, reached through a link.
    QTest::newRow("output-through-link") << QStringList {"--output", "%w/out/lnk"} << "output-link"
                                         << "lies inside";
}

void TestPublish::refusedBeforeWork()
{
    QFETCH(QStringList, options);
    QFETCH(QString, setup);
    QFETCH(QString, expected);
    QTemporaryDir work;
    const QDir w(work.path());
    const QString src = w.filePath("src");
    QVERIFY(makeRelease(src, false, QDateTime()));
    QStringList runAs;
    if (setup == "no-version-file") {
        QVERIFY(QFile::remove(src + "/version.ver"));
    } else if (setup == "bin-only") {
        QVERIFY(QDir(src).mkpath("Bin") && QFile::rename(src + "/version.ver", src + "/Bin/version.ver"));
    } else if (setup == "unreadable") {
        QVERIFY(
            QDir(src).mkpath("Demo.app/Locked") && Tool::write(src + "/Demo.app/Locked/f", "x"));
        QVERIFY(chmod(QFile::encodeName(src + "/Demo.app/Locked").constData(), 0) == 0);
        // Root reads anything: the tool runs as nobody, who must reach the rest.
        if (geteuid() == 0)
            runAs = QStringList {"--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        QVERIFY(chmod(QFile::encodeName(w.path()).constData(), 0755) == 0);
    } else if (setup == "link-chain") {
        QVERIFY(QDir(src).mkpath("d") && QFile::link("..", src + "/d/up")
            && QFile::link("up/..", src + "/d/esc"));
    } else if (setup == "fifo") {
        QVERIFY(mkfifo(QFile::encodeName(src + "/lib/pipe").constData(), 0644) == 0);
    } else if (setup == "backslash") {
        QVERIFY(Tool::write(src + "/lib/a\\..\\..\\b", "x"));
    } else if (setup == "drive") {
        QVERIFY(Tool::write(src + "/c:x", "x"));
    } else if (setup == "output-link") {
        QVERIFY(w.mkpath("out") && QFile::link("../src", w.filePath("out/lnk")));
    }
    // The key is encrypted and no password is given: a tool that asked for
    // it before refusing would fail otherwise (exit 1, "no password").
    QVERIFY(QFile::copy(dir.filePath("p.key"), w.filePath("p.key")));
    QVERIFY(QFile::setPermissions(
        w.filePath("p.key"), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    FtpServer server;
    QTemporaryDir root;
    QVERIFY2(server.start(root.path()), qPrintable(server.errorText()));
    QMap<QString, QString> values {{"--server", QStringLiteral("127.0.0.1:%1").arg(server.port())},
        {"--folder", "demo_mac"}, {"--product", "Demo"}, {"--version", "1.1"},
        {"--key", w.filePath("p.key")}};
    for (int i = 0; i + 1 < options.size(); i += 2)
        values.insert(options.at(i), QString(options.at(i + 1)).replace("%w", w.path()));
    QStringList args;
    for (auto v = values.constBegin(); v != values.constEnd(); ++v)
        args << v.key() << v.value();
    args << src;
    Tool t;
    if (runAs.isEmpty())
        t.run(publishTool, args, {}, environmentWith());
    else
        t.run(QStringLiteral("setpriv"), runAs + QStringList(publishTool) + args, {},
            environmentWith());
    QCOMPARE(t.exitCode, 2);
    const QByteArray line = t.output.trimmed();
    QVERIFY2(line.startsWith("updater-publish: ") && !line.contains('\n')
            && line.contains(expected.toUtf8())
            && (setup != "unreadable" || line.contains("/src/Demo.app/Locked")),
        t.output);
    // No session: not even a login reached the server.
    QCOMPARE(server.receivedLines(), QStringList());
    QVERIFY(!QFile::exists(src + "/app.zip"));
}

void TestPublish::addServerRows()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("pyftpdlib") << "pyftpdlib";
    QTest::newRow("vsftpd") << "vsftpd";
}

void TestPublish::publishToServer_data()
{
    addServerRows();
}

void TestPublish::publishToServer()
{
    // The first release makes the folder, the second replaces it; an updater
    // then fetches a release that verifies, and nothing else is left there.
    QFETCH(QString, kind);
    Server server;
    QVERIFY2(server.start(kind), qPrintable(server.why));
    // The second comes with a delta from an earlier release's folder.
    const QString previous = dir.filePath("release-1.0");
    QVERIFY(
        QFileInfo(previous).isDir() || makeRelease(previous, false, QDateTime::currentDateTime()));
    QVERIFY(Tool::write(previous + "/version.ver", "1.0\n"));
    for (const char *version : {"1.0", "1.1"}) {
        QVERIFY(Tool::write(dir.filePath("release/version.ver"), QByteArray(version) + '\n'));
        QStringList arguments = {"--server", QStringLiteral("127.0.0.1:%1").arg(server.port()),
            "--folder", "demo_mac", "--product", "Demo", "--version", version, "--key",
            dir.filePath("w.key"), dir.filePath("release")};
        if (QByteArray(version) == "1.1")
            arguments << "--previous" << previous;
        Tool t;
        QVERIFY2(t.run(publishTool, arguments), t.output);
        // Not a terminal: plain lines, no bar redrawn in place.
        QVERIFY2(t.output.contains("bytes uploaded (100%)") && !t.output.contains('\r'), t.output);
    }
    Reader reader(server.port(), "demo_mac");
    reader.stopped = true;
    QTRY_VERIFY_WITH_TIMEOUT(!reader.rounds.isEmpty() || !reader.failure.isEmpty(), 30000);
    QVERIFY2(reader.failure.isEmpty(), qPrintable(reader.failure));
    QStringList listing = reader.listings.first();
    listing.sort();
    QStringList expected = QStringList(releaseNames) << "delta-1.0.json"
                                                     << "delta-1.0.zip";
    expected.sort();
    QCOMPARE(listing, expected);
    const QMap<QString, QByteArray> got = reader.rounds.first();
    QCOMPARE(got.value("version.ver"), QByteArray("1.1\n"));
    QTemporaryDir local;
    QVERIFY(Tool::write(local.filePath("app.zip"), got.value("app.zip")));
    QString version, reason;
    QVERIFY2(SignatureVerifier::verify(Tool::read(dir.filePath("w.pub")), local.filePath("app.zip"),
                 got.value("app.zip.minisig"), {"Demo", "demo_mac"}, &version, &reason),
        qPrintable(reason));
    QCOMPARE(version, QStringLiteral("1.1"));
}

void TestPublish::failedPublish_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("expected"); // in the reason
    // vsftpd's sessions outlive its listener, so only pyftpdlib can be
    // stopped under a running upload.
    QTest::newRow("pyftpdlib-stopped-mid-upload") << "pyftpdlib"
                                                  << "stop"
                                                  << "";
    // The session is cut, the server serves on: a new session cleans up.
    QTest::newRow("pyftpdlib-cut-off-mid-upload") << "pyftpdlib"
                                                  << "cut"
                                                  << "";
    // A folder where the archive goes: refused before anything is renamed.
    QTest::newRow("pyftpdlib-rename-refused") << "pyftpdlib"
                                              << "rename"
                                              << "folder named app.zip";
    QTest::newRow("vsftpd-rename-refused") << "vsftpd"
                                           << "rename"
                                           << "folder named app.zip";
    // The archive and its signature are in place when the version file's
    // rename is refused: the old ones come back.
    QTest::newRow("pyftpdlib-last-rename-refused") << "pyftpdlib"
                                                   << "version.ver"
                                                   << "the old release is restored";
    // Every rename to app.zip refused, putting the old one back too.
    QTest::newRow("pyftpdlib-restore-refused") << "pyftpdlib"
                                               << "app.zip"
                                               << "publish the folder demo_mac again";
    // Never greets: the client's time limit ends the publish.
    QTest::newRow("server-silent") << "silent"
                                   << "silent"
                                   << "timed out";
}

void TestPublish::failedPublish()
{
    QFETCH(QString, kind);
    QFETCH(QString, failure);
    QFETCH(QString, expected);
    const bool stopServer = failure == QLatin1String("stop");
    Server server;
    const QString folder = server.root.filePath("demo_mac");
    // The old release; a folder in the archive's place makes its rename fail.
    QVERIFY(writeServerFolder(folder,
        {{"version.ver", "1.0\n"}, {"app.zip.minisig", "old signature\n"},
            {failure == "rename" ? "app.zip/keep" : "app.zip", randomBytes(100000, 1)}}));
    const QMap<QString, QByteArray> old = readRelease(folder);
    if (kind == QLatin1String("pyftpdlib"))
        server.pyftpd.reset(new FtpServer);
    if (failure == QLatin1String("cut"))
        server.pyftpd->setCutAfter(Publisher::temporaryName("app.zip"), 1 << 20);
    if (failure.endsWith(QLatin1String(".ver")) || failure.endsWith(QLatin1String(".zip")))
        server.pyftpd->setRefuseRenameTo(failure);
    QVERIFY2(server.start(kind), qPrintable(server.why));

    QTemporaryDir work;
    ReleaseSigner signer;
    QString reason;
    QVERIFY(signer.loadSecretKey(dir.filePath("w.key"), {}, &reason));
    QVERIFY(makeRelease(work.filePath("src"), false, QDateTime(), 8 << 20));
    QVERIFY2(Publisher::prepare(work.filePath("src"), "1.1", {"Demo", "demo_mac"}, signer,
                 work.filePath("out"), &reason),
        qPrintable(reason));

    Publisher publisher;
    QSignalSpy finished(&publisher, &Publisher::finished);
    bool stopped = false;
    connect(&publisher, &Publisher::progress, this, [&](qint64 done, qint64) {
        if (stopServer && !stopped && done > 0) {
            stopped = true;
            server.stop();
        }
    });
    Publisher::Server target = server.target("demo_mac");
    if (kind == "silent")
        target.timeoutMs = 300;
    publisher.publish(target, work.filePath("out"));
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    const QString why = finished.at(0).at(1).toString();
    QVERIFY2(!why.isEmpty() && why.contains(expected) && !why.contains('\n'), qPrintable(why));
    QCOMPARE(stopped, stopServer);
    const QStringList left
        = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (failure == QLatin1String("app.zip")) {
        // Where each file is, as the reason says: the old archive aside,
        // the rest of the old release back in place.
        const QString aside = Publisher::asideName("app.zip");
        QVERIFY2(why.contains(aside), qPrintable(why));
        QCOMPARE(Tool::read(QDir(folder).filePath(aside)), old.value("app.zip"));
        QVERIFY(!left.contains("app.zip"));
        QCOMPARE(Tool::read(QDir(folder).filePath("version.ver")), old.value("version.ver"));
        QCOMPARE(
            Tool::read(QDir(folder).filePath("app.zip.minisig")), old.value("app.zip.minisig"));
        return;
    }
    // The old release as it was, byte for byte, no part of the new one
    // under a final name.
    QCOMPARE(readRelease(folder), old);
    if (!stopServer) {
        // The server was there to the end: the temporary files went too.
        QCOMPARE(left, QStringList({"app.zip", "app.zip.minisig", "version.ver"}));
    }
}

void TestPublish::readerDuringPublish_data()
{
    addServerRows();
}

void TestPublish::readerDuringPublish()
{
    // An updater reading the folder over and over while a release goes up
    // gets each file whole, old or new, and once it has seen a new file it
    // never gets an old one fetched after it.
    QFETCH(QString, kind);
    Server server;
    const QString folder = server.root.filePath("demo_mac");
    QVERIFY(writeServerFolder(folder,
        {{"version.ver", "1.0\n"}, {"app.zip.minisig", "old signature\n"},
            {"release.json.minisig", "old manifest signature\n"}, {"release.json", "{}\n"},
            {"app.zip", randomBytes(1 << 20, 2)}}));
    const QMap<QString, QByteArray> old = readRelease(folder);
    QVERIFY2(server.start(kind), qPrintable(server.why));
    QTemporaryDir work;
    ReleaseSigner signer;
    QString reason;
    QVERIFY(signer.loadSecretKey(dir.filePath("w.key"), {}, &reason));
    QVERIFY(makeRelease(work.filePath("src"), false, QDateTime(), 16 << 20));
    QVERIFY(Publisher::prepare(
        work.filePath("src"), "1.1", {"Demo", "demo_mac"}, signer, work.filePath("out"), &reason));
    const QMap<QString, QByteArray> fresh = readRelease(work.filePath("out"));

    Reader reader(server.port(), "demo_mac");
    QTRY_VERIFY_WITH_TIMEOUT(!reader.rounds.isEmpty() || !reader.failure.isEmpty(), 30000);
    Publisher publisher;
    QSignalSpy finished(&publisher, &Publisher::finished);
    publisher.publish(server.target("demo_mac"), work.filePath("out"));
    QVERIFY(finished.wait(120000));
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(finished.at(0).at(1).toString()));
    // The round running now may have begun before the end; the one after it has not.
    const int during = reader.rounds.size();
    QTRY_VERIFY_WITH_TIMEOUT(reader.rounds.size() > during + 1 || !reader.failure.isEmpty(), 30000);
    reader.stopped = true;
    QVERIFY2(reader.failure.isEmpty(), qPrintable(reader.failure));

    for (int r = 0; r < reader.rounds.size(); ++r) {
        bool seenNew = false;
        for (const QString &name : reader.releaseOrder) {
            const QByteArray got = reader.rounds.at(r).value(name);
            QVERIFY2(got == old.value(name) || got == fresh.value(name),
                qPrintable(QStringLiteral("round %1: %2 is partial (%3 bytes)")
                               .arg(r)
                               .arg(name)
                               .arg(got.size())));
            if (seenNew)
                QVERIFY2(got == fresh.value(name),
                    qPrintable(
                        QStringLiteral("round %1: old %2 after a new file").arg(r).arg(name)));
            seenNew = got == fresh.value(name);
        }
    }
    qDebug() << during << "rounds read before the publish ended;" << reader.refusedRounds
             << "refused for a file replaced between SIZE and RETR;" << reader.missingRounds
             << "with a file moved aside";
    QCOMPARE(reader.rounds.last(), fresh);
}

void TestPublish::manifestCommands_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("serverChange"); // before the command runs
    QTest::addColumn<int>("rollout"); // afterwards; -1: the command fails
    QTest::addColumn<int>("expiresDays");
    QTest::addColumn<QString>("error");
    QTest::newRow("rollout-raised")
        << QStringList {"rollout", "--percent", "50"} << "" << 50 << 7 << "";
    QTest::newRow("rollout-halted")
        << QStringList {"rollout", "--percent", "0"} << "" << 0 << 7 << "";
    QTest::newRow("refresh") << QStringList {"refresh", "--expires", "90"} << "" << 10 << 90 << "";
    // Whatever the server holds is never signed anew unseen.
    QTest::newRow("manifest-altered-on-server") << QStringList {"rollout", "--percent", "100"}
                                                << "alter" << -1 << 0 << "not signed with this key";
    QTest::newRow("manifest-missing-on-server") << QStringList {"refresh", "--expires",
        "30"} << "remove" << -1 << 0 << "cannot fetch the release information";
    QTest::newRow("rollout-without-percent")
        << QStringList {"rollout"} << "" << -1 << 0 << "rollout needs --percent N";
    // The mark is the release's, set when it is published: kept, never changed.
    QTest::newRow("rollout-with-critical") << QStringList {"rollout", "--percent", "50",
        "--critical"} << "" << -1 << 0 << "rollout takes neither";
    // The delivery is the release's: re-signing keeps it and never changes it.
    QTest::newRow("rollout-with-delivery")
        << QStringList {"rollout", "--percent", "50", "--delivery", "ask"} << "" << -1 << 0
        << "rollout keeps the release's delivery";
}

void TestPublish::manifestCommands()
{
    // A critical release published at 10% with notes, expiring in 7 days;
    // the command re-signs its manifest alone.
    QFETCH(QStringList, command);
    QFETCH(QString, serverChange);
    QFETCH(int, rollout);
    QFETCH(int, expiresDays);
    QFETCH(QString, error);
    Server server;
    QVERIFY2(server.start("pyftpdlib"), qPrintable(server.why));
    const QString folder = server.root.filePath("demo_mac");
    QTemporaryDir work;
    QVERIFY(Tool::write(work.filePath("notes.md"), "# Notes\n"));
    const QStringList target = {"--server", QStringLiteral("127.0.0.1:%1").arg(server.port()),
        "--folder", "demo_mac", "--key", dir.filePath("w.key")};
    Tool t;
    QVERIFY2(t.run(publishTool,
                 target
                     + QStringList {"--version", "1.1", "--product", "Demo", "--rollout", "10",
                         "--expires", "7", "--confirm-launches", "3", "--critical", "--delivery",
                         "background", "--notes", work.filePath("notes.md"),
                         dir.filePath("release")}),
        t.output);
    ReleaseManifest before;
    QString reason;
    QVERIFY(ReleaseManifest::parse(Tool::read(folder + "/release.json"), &before, &reason));
    QCOMPARE(before.rollout, 10);
    QCOMPARE(before.notes, QStringLiteral("# Notes\n"));
    QCOMPARE(before.confirm, 3);
    QVERIFY(before.critical);
    QVERIFY(before.background);
    if (serverChange == "alter")
        QVERIFY(Tool::write(folder + "/release.json",
            Tool::read(folder + "/release.json").replace("\"rollout\": 10", "\"rollout\": 11")));
    if (serverChange == "remove")
        QVERIFY(QFile::remove(folder + "/release.json"));
    const QMap<QString, QByteArray> published = readRelease(folder);

    const bool ok = t.run(publishTool, command + target);
    if (rollout < 0) {
        QVERIFY(!ok);
        QCOMPARE(t.exitCode, error.startsWith("rollout") || error.contains("neither") ? 2 : 1);
        QVERIFY2(t.output.contains(error.toUtf8()), t.output);
        QCOMPARE(readRelease(folder), published);
        return;
    }
    QVERIFY2(ok, t.output);
    const QMap<QString, QByteArray> after = readRelease(folder);
    for (const char *untouched : {"app.zip", "app.zip.minisig", "version.ver"})
        QCOMPARE(after.value(untouched), published.value(untouched));
    QVERIFY2(t.run(minisign, {"-V", "-p", dir.filePath("w.pub"), "-m", folder + "/release.json"}),
        t.output);
    ReleaseManifest manifest;
    QVERIFY(ReleaseManifest::parse(after.value("release.json"), &manifest, &reason));
    QVERIFY(manifest.signedAt > before.signedAt);
    QVERIFY(after.value("release.json.minisig")
                .contains(QByteArray("trusted comment: timestamp:")
                    + QByteArray::number(manifest.signedAt)
                    + " file:release.json version:1.1 product:Demo folder:demo_mac\n"));
    QCOMPARE(manifest.binding.product, QStringLiteral("Demo"));
    QCOMPARE(manifest.binding.folder, QStringLiteral("demo_mac"));
    QCOMPARE(manifest.rollout, rollout);
    QCOMPARE(manifest.expires - (expiresDays == 7 ? before.signedAt : manifest.signedAt),
        qint64(expiresDays) * 86400);
    QCOMPARE(manifest.archiveHash, before.archiveHash);
    QCOMPARE(manifest.archiveSize, before.archiveSize);
    QCOMPARE(manifest.notes, before.notes);
    QCOMPARE(manifest.confirm, before.confirm);
    QCOMPARE(manifest.critical, before.critical);
    QCOMPARE(manifest.background, before.background);
    // Nothing left behind: the two files were renamed into place.
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        releaseNames);
}

// Keyrings made, signed in turn by roots with their own keys (one
// encrypted), and published to a real server, or refused before anything
// goes up; then a release signed with the given key. "w" is the key
// updaters are built with, "p" (password "secret") and "r" further roots.
void TestPublish::keyringCommands_data()
{
    QTest::addColumn<QStringList>("steps"); // commands run in turn; "release:KEY" publishes 1.1
    QTest::addColumn<QString>("error"); // of the last step; empty: all succeed
    const QString init = "init --product Demo --folder demo_mac --root p --root r --threshold 2 "
                         "--release-key w --release-key r";
    const QStringList first
        = {init, "sign --key w", "sign --key p", "sign --key r", "publish --built-in-key w"};
    QTest::newRow("first-keyring-then-release") << first + QStringList {"release:w"} << "";
    QTest::newRow("too-few-of-its-own-roots")
        << QStringList {init, "sign --key w", "sign --key p", "publish --built-in-key w"}
        << "keyring 1 would be refused: signed by 1 of its own roots, 2 needed";
    QTest::newRow("not-signed-by-the-built-in-key")
        << QStringList {init, "sign --key p", "sign --key r", "publish --built-in-key w"}
        << "signed by 0 of the roots of keyring 0, 1 needed";
    QTest::newRow("not-the-next-number") << first
            + QStringList {"add-key --release-key p", "roots", "sign --key p", "sign --key r",
                "publish"} << "keyring 3 is not the next one: the server's newest is keyring 1";
    QTest::newRow("revoked-key-signs-a-release") << first
            + QStringList {"revoke --release-key w", "sign --key p", "sign --key r", "publish",
                "release:w"} << "revoked by keyring 2";
    QTest::newRow("listed-key-signs-a-release") << first
            + QStringList {"revoke --release-key w", "sign --key p", "sign --key r", "publish",
                "release:r"} << "";
}

void TestPublish::keyringCommands()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, error);
    Server server;
    QVERIFY2(server.start("pyftpdlib"), qPrintable(server.why));
    const QString folder = server.root.filePath("demo_mac");
    QTemporaryDir ring;
    Tool t;
    if (!QFile::exists(dir.filePath("r.key")))
        QVERIFY2(
            t.run(minisign, {"-G", "-W", "-p", dir.filePath("r.pub"), "-s", dir.filePath("r.key")}),
            t.output);
    const QString address = QStringLiteral("127.0.0.1:%1").arg(server.port());
    int keyringsPublished = 0;
    for (int i = 0; i < steps.size(); ++i) {
        QStringList args = steps.at(i).split(' ');
        QByteArray input;
        if (args.first().startsWith("release:")) {
            args = QStringList {"--server", address, "--folder", "demo_mac", "--product", "Demo",
                "--version", "1.1", "--key", dir.filePath(args.first().mid(8) + ".key"),
                dir.filePath("release")};
        } else {
            for (QString &arg : args) {
                if (arg == "w" || arg == "p" || arg == "r")
                    arg = dir.filePath(arg + (steps.at(i).startsWith("sign") ? ".key" : ".pub"));
            }
            input = steps.at(i) == "sign --key p" ? "secret\n" : "";
            args = QStringList {"keyring", args.takeFirst(), ring.path()} + args;
            if (args.at(1) == "publish")
                args << "--server" << address;
        }
        const bool ok = t.run(publishTool, args, input, environmentWith());
        keyringsPublished += ok && args.value(1) == "publish";
        if (i + 1 < steps.size() || error.isEmpty()) {
            QVERIFY2(ok, qPrintable(steps.at(i) + ": " + t.output));
            continue;
        }
        QVERIFY(!ok);
        QVERIFY2(t.output.contains(error.toUtf8()), t.output);
    }
    // What is on the server is what the updater would take, each signature
    // one minisign verifies with its root's public key.
    const QStringList keyrings = QDir(folder).entryList({"keyring-*.json"});
    QCOMPARE(keyrings.size(), keyringsPublished);
    for (const QString &name : QDir(folder).entryList({"keyring-*.minisig"})) {
        const QString id = name.section('.', 2, 2);
        bool verified = false;
        for (const char *key : {"w", "p", "r"}) {
            const QString pub = dir.filePath(QLatin1String(key) + ".pub");
            verified = verified
                || (Minisign::keyIdText(Minisign::publicKeyId(Tool::read(pub))) == id
                    && t.run(minisign,
                        {"-V", "-p", pub, "-m", folder + "/" + name.section('.', 0, 1), "-x",
                            folder + "/" + name}));
        }
        QVERIFY2(verified, qPrintable(name));
    }
    QCOMPARE(QFile::exists(folder + "/release.json"),
        error.isEmpty() && steps.last().startsWith("release:"));
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
