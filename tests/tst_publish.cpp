// updater-publish: the archive it builds, its signatures and keys against
// Debian's minisign, and its uploads to real FTP servers on loopback,
// including one that fails part way and one read while it runs.
#include "archivebuilder.h"
#include "ftpserver.h"
#include "publisher.h"
#include "qftp.h"
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
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

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
    void publishToServer_data();
    void publishToServer();
    void failedPublish_data();
    void failedPublish();
    void readerDuringPublish_data();
    void readerDuringPublish();

private:
    void addServerRows();

    QTemporaryDir dir;
    QString minisign;
    bool vsftpdUsable = false;
    QString vsftpdMissing;
};

namespace {

const QString publishTool = QStringLiteral(UPDATER_PUBLISH);
const QStringList releaseNames = {"app.zip", "app.zip.minisig", "version.ver"};

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

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

// An updater's view of the folder: rounds of LIST, then the three files in
// the order an updater fetches them.
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
            if (error && loggedIn && ftp.errorString().contains("the server announced")) {
                ++refusedRounds;
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

    const QStringList releaseOrder = {"version.ver", "app.zip.minisig", "app.zip"};
    QFtp ftp;
    QBuffer buffers[3];
    QStringList listing;
    QList<QMap<QString, QByteArray>> rounds;
    QList<QStringList> listings;
    QString failure;
    bool loggedIn = false;
    bool stopped = false; // no round after the running one
    int refusedRounds = 0;
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
    if (!link.isEmpty()) {
        for (const char *copy : {"a", "b"}) {
            QVERIFY(w.mkpath(QString(copy) + "/" + QFileInfo(link).path()));
            QVERIFY(QFile::link(target, w.filePath(QString(copy) + "/" + link)));
        }
    }
    QString reason;
    QCOMPARE(ArchiveBuilder::build(w.filePath("a"), w.filePath("a.zip"), &reason), accepted);
    if (!accepted) {
        QVERIFY2(reason.contains(link) && reason.contains("outside"), qPrintable(reason));
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
        {"--version", "1.1", "--key", secret, "--output", w.filePath("out"),
            dir.filePath("release")},
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
    QVERIFY2(QRegularExpression("^trusted comment: timestamp:\\d+ file:app.zip version:1.1$")
                 .match(QString::fromUtf8(comment))
                 .hasMatch(),
        comment);
    QString version, reason;
    QVERIFY2(SignatureVerifier::verify(Tool::read(pub), archive, signature, &version, &reason),
        qPrintable(reason));
    QCOMPARE(version, QStringLiteral("1.1"));
    QCOMPARE(Tool::read(w.filePath("out/version.ver")), QByteArray("1.1\n"));
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
        QStringList arguments = {"--server", QStringLiteral("127.0.0.1:%1").arg(server.port()),
            "--folder", "demo_mac", "--version", version, "--key", dir.filePath("w.key"),
            dir.filePath("release")};
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
                 got.value("app.zip.minisig"), &version, &reason),
        qPrintable(reason));
    QCOMPARE(version, QStringLiteral("1.1"));
}

void TestPublish::failedPublish_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("failure");
    // vsftpd's sessions outlive its listener, so only pyftpdlib can be
    // stopped under a running upload.
    QTest::newRow("pyftpdlib-stopped-mid-upload") << "pyftpdlib"
                                                  << "stop";
    // The session is cut, the server serves on: a new session cleans up.
    QTest::newRow("pyftpdlib-cut-off-mid-upload") << "pyftpdlib"
                                                  << "cut";
    QTest::newRow("pyftpdlib-rename-refused") << "pyftpdlib"
                                              << "rename";
    QTest::newRow("vsftpd-rename-refused") << "vsftpd"
                                           << "rename";
    // Never greets: the client's time limit ends the publish.
    QTest::newRow("server-silent") << "silent"
                                   << "silent";
}

void TestPublish::failedPublish()
{
    QFETCH(QString, kind);
    QFETCH(QString, failure);
    const bool stopServer = failure == QLatin1String("stop");
    Server server;
    const QString folder = server.root.filePath("demo_mac");
    // The old release; a folder in the archive's place makes its rename fail.
    QVERIFY(writeServerFolder(folder,
        {{"version.ver", "1.0\n"}, {"app.zip.minisig", "old signature\n"},
            {failure == "rename" ? "app.zip/keep" : "app.zip", randomBytes(100000, 1)}}));
    const QMap<QString, QByteArray> old = readRelease(folder);
    if (failure == QLatin1String("cut")) {
        server.pyftpd.reset(new FtpServer);
        server.pyftpd->setCutAfter(Publisher::temporaryName("app.zip"), 1 << 20);
    }
    QVERIFY2(server.start(kind), qPrintable(server.why));

    QTemporaryDir work;
    ReleaseSigner signer;
    QString reason;
    QVERIFY(signer.loadSecretKey(dir.filePath("w.key"), {}, &reason));
    QVERIFY(makeRelease(work.filePath("src"), false, QDateTime(), 8 << 20));
    QVERIFY2(Publisher::prepare(work.filePath("src"), "1.1", signer, work.filePath("out"), &reason),
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
    QVERIFY(!finished.at(0).at(1).toString().isEmpty());
    if (kind == "silent")
        QVERIFY2(finished.at(0).at(1).toString().contains("timed out"),
            qPrintable(finished.at(0).at(1).toString()));
    QCOMPARE(stopped, stopServer);
    // The old release as it was, no part of the new one under a final name.
    QCOMPARE(readRelease(folder), old);
    if (!stopServer) {
        // The server was there to the end: the temporary files went too.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList({"app.zip", "app.zip.minisig", "version.ver"}));
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
            {"app.zip", randomBytes(1 << 20, 2)}}));
    const QMap<QString, QByteArray> old = readRelease(folder);
    QVERIFY2(server.start(kind), qPrintable(server.why));
    QTemporaryDir work;
    ReleaseSigner signer;
    QString reason;
    QVERIFY(signer.loadSecretKey(dir.filePath("w.key"), {}, &reason));
    QVERIFY(makeRelease(work.filePath("src"), false, QDateTime(), 16 << 20));
    QVERIFY(Publisher::prepare(work.filePath("src"), "1.1", signer, work.filePath("out"), &reason));
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
             << "refused for a file replaced between SIZE and RETR";
    QCOMPARE(reader.rounds.last(), fresh);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
