// The update window and its procedure, run in-process against a real FTP
// server on loopback; the question is answered by finding the modal box.
#include "busyindicator.h"
#include "dirmanager.h"
#include "ftpserver.h"
#include "launchfixture.h"
#include "mainwindow.h"
#include "messagelog.h"
#include "platform.h"
#include "qftp.h"
#include "settings.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

struct Entry
{
    QString name;
    QByteArray data;
    bool executable;
};

// Writes a zip of the entries; stored (not deflated) so that a byte of an
// entry can be damaged on purpose.
bool makeArchive(const QString &path, const QList<Entry> &entries)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const Entry &entry : entries) {
        QuaZipFile out(&zip);
        QuaZipNewInfo info(entry.name);
        QFile::Permissions permissions
            = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        if (entry.executable)
            permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        info.setPermissions(permissions);
        if (!out.open(QIODevice::WriteOnly, info, nullptr, 0, 0, 0))
            return false;
        out.write(entry.data);
        out.close();
        if (out.getZipError() != UNZ_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == UNZ_OK;
}

QByteArray programText(const QString &marker, const QString &tag)
{
    return "#!/bin/sh\necho '" + tag.toUtf8() + " started' >> '" + marker.toUtf8() + "'\n";
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Answers the update question whenever it is the active modal widget.
class Answerer : public QObject
{
public:
    enum Answer { Yes, No, CloseBox };

    explicit Answerer(Answer answer)
    {
        connect(&timer, &QTimer::timeout, this, [this, answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            ++asked;
            text = box->text();
            buttons = box->standardButtons();
            title = box->windowTitle();
            if (answer == Yes)
                box->button(QMessageBox::Yes)->click();
            else if (answer == No)
                box->button(QMessageBox::No)->click();
            else
                box->close();
        });
        timer.start(10);
    }

    int asked = 0;
    QString text;
    QString title;
    QMessageBox::StandardButtons buttons;

private:
    QTimer timer;
};

const QString updateQuestion
    = QStringLiteral("New update is available. Do you want to update now?");

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QString appDir;
    QString serverRoot;
    QString serverFolder;
    QString marker;
    std::unique_ptr<OpenRecorder> open;
    std::unique_ptr<MessageLog> log;

    // The installed 1.0 application and a server folder publishing 1.1.
    void layOut(const QString &localVersion, const QString &serverVersion, bool withArchive = true)
    {
        if (!localVersion.isNull())
            QVERIFY(writeFile(appDir + "/version.ver", localVersion.toUtf8()));
        QVERIFY(writeFile(bundleExecutable(appDir, "Viewer"), programText(marker, "Viewer 1.0")));
        QVERIFY(QFile::setPermissions(bundleExecutable(appDir, "Viewer"),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QDir().mkpath(serverFolder));
        if (!serverVersion.isNull())
            QVERIFY(writeFile(serverFolder + "/version.ver", serverVersion.toUtf8()));
        if (withArchive)
            QVERIFY(makeArchive(serverFolder + "/app.zip", newRelease()));
    }

    QList<Entry> newRelease() const
    {
        QByteArray filler(96 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(7);
        for (char &c : filler)
            c = char(generator.bounded(256));
        return {{"version.ver", "1.1", false},
            {"Viewer.app/Contents/MacOS/Viewer", programText(marker, "Viewer 1.1"), true},
            {"Viewer.app/Contents/Resources/data.bin", filler, false},
            {"Viewer.app/Contents/Resources/notes.txt", "new in 1.1", false}};
    }

    void expectInstalled(const QString &version)
    {
        QCOMPARE(readText(appDir + "/version.ver"), version);
        QCOMPARE(open->calls(), QList<QStringList> {{appDir + "/Viewer.app"}});
        QTRY_COMPARE(readText(marker), "Viewer " + version + " started\n");
    }

    // Nothing was downloaded or unpacked (version.ver still holds versionText)
    // and the installed 1.0 was started.
    void expectNotUpdated(const QString &versionText = QStringLiteral("1.0"))
    {
        QVERIFY(!QFile::exists(appDir + "/app.zip"));
        QCOMPARE(readText(appDir + "/version.ver"), versionText);
        QCOMPARE(open->calls(), QList<QStringList> {{appDir + "/Viewer.app"}});
        QTRY_COMPARE(readText(marker), QStringLiteral("Viewer 1.0 started\n"));
    }

    // Starts the server on serverRoot and points the updater at it.
    bool serve(FtpServer &server)
    {
        if (!server.start(serverRoot)) {
            qWarning("FTP server did not start: %s", qPrintable(server.errorText()));
            return false;
        }
        serverPort = server.port();
        return true;
    }

    // Serves serverRoot and runs the procedure until the launch has closed the window.
    bool runToLaunch(FtpServer &server, int *finishedLines = nullptr)
    {
        if (!serve(server))
            return false;
        MainWindow window(nullptr);
        window.show();
        const bool launched = QTest::qWaitFor([&] { return !window.isVisible(); }, 30000);
        if (finishedLines)
            *finishedLines = log->count("finished");
        return launched;
    }

    static QStringList noUpdateLines()
    {
        return {"USER marvoline", "PASS qd4739", "CWD demo_mac", "TYPE A", "PASV", "LIST", "TYPE I",
            "SIZE version.ver", "PASV", "RETR version.ver"};
    }

private slots:
    void init()
    {
        log.reset(new MessageLog);
        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
        appDir = tmp->filePath("My Apps");
        serverRoot = tmp->filePath("server");
        serverFolder = serverRoot + "/demo_mac";
        marker = tmp->filePath("started.txt");
        QVERIFY(placeUpdater(appDir, QStringLiteral("xcb")));
        serverHost = QStringLiteral("127.0.0.1");
        serverAppDir = QStringLiteral("demo_mac");
        appName = QStringLiteral("Viewer");
        open.reset(new OpenRecorder);
    }
    void cleanup()
    {
        log.reset();
        open.reset();
        tmp.reset();
        Platform::setNameForTesting(QString());
        DirManager::setApplicationDirPathForTesting(QString());
        Settings::reset();
    }

    void layout()
    {
        MainWindow window(nullptr);
        QCOMPARE(window.windowTitle(), QStringLiteral("Updater"));
        QCOMPARE(window.size(), QSize(400, 300));
        QVERIFY(window.centralWidget());
        QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
        auto *indicator = window.findChild<BusyIndicator *>();
        QVERIFY(indicator);
        QCOMPARE(indicator->parent(), &window);
        QCOMPARE(indicator->pos(), QPoint(150, 100));
        QCOMPARE(indicator->indicatorStyle(), BusyIndicator::EllipseStyle);
        auto *ftp = window.findChild<QFtp *>();
        QVERIFY(ftp);
        QCOMPARE(ftp->parent(), &window);
        window.show();
        window.resize(800, 600);
        QTRY_COMPARE(window.size(), QSize(800, 600));
        QCOMPARE(indicator->pos(), QPoint(150, 100));
    }

    void versionNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("number");
        QTest::newRow("dotted") << "1.2.3" << 123;
        QTest::newRow("dots-dropped-not-separators") << "1.10" << 110;
        QTest::newRow("two-zero") << "2.0" << 20;
        QTest::newRow("same-as-dotted") << "12.3" << 123;
        QTest::newRow("lf") << "1.5\n" << 15;
        QTest::newRow("crlf") << "1.5\r\n" << 15;
        QTest::newRow("blank-between-digits") << "1 .5" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("letters") << "v1.5" << 0;
        QTest::newRow("beyond-int") << "99999999999" << 0;
    }
    void versionNumber()
    {
        QFETCH(QString, text);
        QFETCH(int, number);
        QCOMPARE(MainWindow::versionNumber(text), number);
    }

    // The lines the server receives for a run with nothing newer, in order.
    void noUpdate()
    {
        layOut("1.0", "1.0\n");
        FtpServer server;
        Answerer answerer(Answerer::No);
        int finished = 0;
        QVERIFY(runToLaunch(server, &finished));

        QCOMPARE(finished, 3);
        QCOMPARE(server.receivedLines(), noUpdateLines());
        QCOMPARE(answerer.asked, 0);
        QCOMPARE(readText(appDir + "/new_version.ver"), QStringLiteral("1.0\n"));
        expectNotUpdated();
        QVERIFY(log->count("Logging in") >= 1);
        for (const MessageLog::Line &line : log->lines()) {
            if (line.text == QLatin1String("finished"))
                QCOMPARE(line.function, QStringLiteral("void MainWindow::commandFinished(bool)"));
            if (line.text == QLatin1String("Logging in"))
                QCOMPARE(line.function, QStringLiteral("void MainWindow::handleStateChanged(int)"));
        }
    }

    void question_data()
    {
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("remote");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<int>("answer");
        const auto row = [](const char *name, const QString &local, const QString &remote,
                             bool asked, Answerer::Answer answer = Answerer::No) {
            QTest::newRow(name) << local << remote << asked << int(answer);
        };

        row("newer", "1.2", "1.3", true);
        row("two-zero-below-one-ten", "2.0", "1.10", true);
        row("no-local-file", QString(), "1.0", true);
        row("line-breaks", "1.2\r\n", "1.3\n", true);
        row("equal-numbers", "1.5", "15", false);
        row("older-on-server", "1.3", "1.2", false);
        row("blank-in-server-text", "1.0", "1 .1", false);
        row("declined-by-closing-the-box", "1.0", "1.1", true, Answerer::CloseBox);
    }
    // Declining (with No, or by closing the box) launches the installed
    // application without a download.
    void question()
    {
        QFETCH(QString, local);
        QFETCH(QString, remote);
        QFETCH(bool, asked);
        QFETCH(int, answer);

        layOut(local, remote);
        FtpServer server;
        Answerer answerer {Answerer::Answer(answer)};
        QVERIFY(runToLaunch(server));

        QCOMPARE(answerer.asked, asked ? 1 : 0);
        if (asked) {
            QCOMPARE(answerer.text, updateQuestion);
            QCOMPARE(answerer.buttons, QMessageBox::No | QMessageBox::Yes);
        }
        QCOMPARE(server.receivedLines(), noUpdateLines());
        expectNotUpdated(local);
    }

    // The Windows layout: the installed version under "Bin", the program
    // started as "Bin/NAME.exe".
    void windowsLayout_data()
    {
        QTest::addColumn<QString>("versionPath");
        QTest::addColumn<bool>("asked");
        QTest::newRow("version-under-bin") << "Bin/version.ver" << false;
        QTest::newRow("version-beside-bin-is-not-read") << "version.ver" << true;
    }
    void windowsLayout()
    {
        QFETCH(QString, versionPath);
        QFETCH(bool, asked);
        QVERIFY(placeUpdater(appDir, QStringLiteral("windows")));
        serverAppDir = QStringLiteral("demo_win32");
        serverFolder = serverRoot + "/demo_win32";
        QVERIFY(writeFile(appDir + "/" + versionPath, "1.1"));
        QVERIFY(writeProgram(appDir + "/Bin/Viewer.exe", marker, "Viewer.exe"));
        QVERIFY(writeFile(serverFolder + "/version.ver", "1.1"));
        FtpServer server;
        Answerer answerer(Answerer::No);
        QVERIFY(runToLaunch(server));

        QCOMPARE(answerer.asked, asked ? 1 : 0);
        QCOMPARE(server.receivedLines().value(2), QStringLiteral("CWD demo_win32"));
        QCOMPARE(readText(marker), QStringLiteral("Viewer.exe started\n"));
        QVERIFY(open->calls().isEmpty());
    }

    void updateAccepted()
    {
        layOut("1.0", "1.1\r\n");
        FtpServer server;
        Answerer answerer(Answerer::Yes);
        int finished = 0;
        QVERIFY(runToLaunch(server, &finished));

        QCOMPARE(finished, 4);
        QCOMPARE(answerer.asked, 1);
        const QStringList archiveLines = {"TYPE I", "SIZE app.zip", "PASV", "RETR app.zip"};
        QCOMPARE(server.receivedLines(), noUpdateLines() + archiveLines);
        // Both downloads stay where they were written.
        QCOMPARE(readBytes(appDir + "/app.zip"), readBytes(serverFolder + "/app.zip"));
        QCOMPARE(readText(appDir + "/new_version.ver"), QStringLiteral("1.1\r\n"));
        for (const Entry &entry : newRelease())
            QCOMPARE(readBytes(appDir + "/" + entry.name), entry.data);
        QVERIFY(QFileInfo(bundleExecutable(appDir, "Viewer")).isExecutable());
        expectInstalled("1.1");
    }

    // Three failed commands (connect, listing, version download), three
    // "finished" lines, then the launch.
    void serverUnreachable()
    {
        layOut("1.0", "1.1");
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        serverPort = closed.serverPort();
        closed.close();
        Answerer answerer(Answerer::Yes);

        MainWindow window(nullptr);
        QSignalSpy commands(window.findChild<QFtp *>(), SIGNAL(commandFinished(int, bool)));
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 30000);
        QCOMPARE(log->count("finished"), 3);
        QCOMPARE(commands.size(), 3);
        for (const QList<QVariant> &command : qAsConst(commands))
            QCOMPARE(command.at(1).toBool(), true);
        QCOMPARE(answerer.asked, 0);
        QCOMPARE(readBytes(appDir + "/new_version.ver"), QByteArray());
        expectNotUpdated();
    }

    // Failures on the way to the version file: no question, no download,
    // the installed application is started.
    void noVersionFile_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("refused-login") << "refused-login";
        QTest::newRow("missing-server-folder") << "missing-server-folder";
        QTest::newRow("missing-version-file") << "missing-version-file";
    }
    void noVersionFile()
    {
        QFETCH(QString, failure);
        layOut("1.0", failure == "missing-version-file" ? QString() : "1.1");
        if (failure == "missing-server-folder")
            serverAppDir = QStringLiteral("absent_mac");
        FtpServer server;
        if (failure == "refused-login")
            server.setPassword("other");
        Answerer answerer(Answerer::Yes);
        QVERIFY(runToLaunch(server));

        const QStringList lines = server.receivedLines();
        // A refused login never reaches the logged-in state, so no folder change is queued.
        QStringList start = {"USER marvoline", "PASS qd4739"};
        if (failure != "refused-login")
            start.append("CWD " + serverAppDir);
        QCOMPARE(lines.mid(0, start.size()), start);
        if (failure == "refused-login")
            QVERIFY(!lines.contains("CWD demo_mac"));
        QVERIFY(!lines.contains("RETR app.zip"));
        QCOMPARE(answerer.asked, 0);
        QCOMPARE(readBytes(appDir + "/new_version.ver"), QByteArray());
        expectNotUpdated();
    }

    // An archive that did not arrive whole is never unpacked.
    void badArchive_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("missing-archive") << "missing-archive";
        QTest::newRow("connection-dropped-mid-archive") << "dropped";
        QTest::newRow("damaged-archive") << "damaged";
    }
    void badArchive()
    {
        QFETCH(QString, failure);
        layOut("1.0", "1.1", failure != "missing-archive");
        const QString published = serverFolder + "/app.zip";
        const QByteArray archive = readBytes(published);
        if (failure == "damaged") {
            // One byte of the last entry flipped; the entries before it are sound.
            QByteArray damaged = archive;
            const int at = damaged.lastIndexOf("new in 1.1");
            QVERIFY(at > 0);
            damaged[at] = 'N';
            QVERIFY(writeFile(published, damaged));
        }
        FtpServer server;
        if (failure == "dropped")
            server.setDropAfter("app.zip", archive.size() / 2);
        Answerer answerer(Answerer::Yes);
        QVERIFY(runToLaunch(server));

        QCOMPARE(answerer.asked, 1);
        if (failure == "dropped")
            QVERIFY(readBytes(appDir + "/app.zip").size() < archive.size());
        QVERIFY(!QFile::exists(appDir + "/Viewer.app/Contents/Resources"));
        QCOMPARE(readBytes(bundleExecutable(appDir, "Viewer")), programText(marker, "Viewer 1.0"));
        expectInstalled("1.0");
    }

    // Without a file to download into, nothing more is queued: the window
    // stays open and nothing is launched.
    void versionFileNotWritable()
    {
        layOut("1.0", "1.1");
        QVERIFY(QDir().mkpath(appDir + "/new_version.ver"));
        FtpServer server;
        QVERIFY(serve(server));
        Answerer answerer(Answerer::Yes);

        MainWindow window(nullptr);
        window.show();
        auto *ftp = window.findChild<QFtp *>();
        QTRY_COMPARE_WITH_TIMEOUT(log->count("finished"), 2, 20000);
        QCOMPARE(ftp->currentId(), 0);
        QVERIFY(!ftp->hasPendingCommands());
        QVERIFY(window.isVisible());
        QCOMPARE(answerer.asked, 0);
        QVERIFY(open->calls().isEmpty());
        QVERIFY(!server.receivedLines().contains("RETR version.ver"));
    }

    void unpack_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("unpacked");

        QTest::newRow("plain") << QStringList {"a.txt", "sub/b.txt", "sub/deeper/"} << true;
        QTest::newRow("dot-dot-inside") << QStringList {"sub/../ok.txt"} << true;
        QTest::newRow("dot-dot") << QStringList {"good.txt", "../evil.txt"} << false;
        QTest::newRow("nested-dot-dot") << QStringList {"good.txt", "sub/../../evil.txt"} << false;
        QTest::newRow("sibling-with-same-prefix")
            << QStringList {"good.txt", "../My Apps2/evil.txt"} << false;
        QTest::newRow("backslash-dot-dot") << QStringList {"good.txt", "..\\evil.txt"} << false;
        QTest::newRow("absolute") << QStringList {"good.txt", "@ROOT@/evil.txt"} << false;
        QTest::newRow("drive-letter") << QStringList {"good.txt", "C:/evil.txt"} << false;
    }
    // Entries that would land outside the directory are never written, and
    // an archive holding one is refused whole.
    void unpack()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, unpacked);

        QVERIFY(QDir().mkpath(appDir));
        QList<Entry> entries;
        for (QString name : names) {
            name.replace("@ROOT@", tmp->path());
            entries.append({name, name.endsWith('/') ? QByteArray() : name.toUtf8(), false});
        }
        const QString archive = tmp->filePath("hand-made.zip");
        QVERIFY(makeArchive(archive, entries));
        {
            QuaZip check(archive);
            QVERIFY(check.open(QuaZip::mdUnzip));
            QCOMPARE(check.getFileNameList().size(), names.size());
        }

        QCOMPARE(MainWindow::unpackArchive(archive, appDir), unpacked);
        QVERIFY(!QFile::exists(tmp->filePath("evil.txt")));
        QVERIFY(!QFile::exists(tmp->filePath("My Apps2/evil.txt")));
        QVERIFY(!QFile::exists("C:/evil.txt"));
        if (unpacked) {
            for (const Entry &entry : entries) {
                const QString path = QDir::cleanPath(appDir + "/" + entry.name);
                if (entry.name.endsWith('/'))
                    QVERIFY(QFileInfo(path).isDir());
                else
                    QCOMPARE(readBytes(path), entry.data);
            }
        } else {
            const QStringList left
                = QDir(appDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
            QCOMPARE(left, QStringList {"Updater.app"});
        }
    }

    // An archive may carry a program that is running right now (the updater
    // itself): it is replaced, not refused by the system as busy.
    void unpackReplacesARunningProgram()
    {
        const QString program = appDir + "/Bin/tool";
        QVERIFY(QDir().mkpath(appDir + "/Bin"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
        QProcess running;
        running.start(program, {QStringLiteral("60")});
        QVERIFY(running.waitForStarted());

        const QString archive = tmp->filePath("app.zip");
        QVERIFY(makeArchive(
            archive, {{"Bin/tool", "#!/bin/sh\necho new\n", true}, {"version.ver", "1.1", false}}));
        const bool unpacked = MainWindow::unpackArchive(archive, appDir);
        running.kill();
        running.waitForFinished();
        QVERIFY(unpacked);
        QCOMPARE(readBytes(program), QByteArray("#!/bin/sh\necho new\n"));
        QVERIFY(QFileInfo(program).isExecutable());
        QCOMPARE(readBytes(appDir + "/version.ver"), QByteArray("1.1"));
    }

    void unpackRefusesUnreadableArchives_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("crc-mismatch") << "crc";
        QTest::newRow("truncated") << "truncated";
        QTest::newRow("not-a-zip") << "text";
        QTest::newRow("missing") << "missing";
    }
    void unpackRefusesUnreadableArchives()
    {
        QFETCH(QString, damage);
        QVERIFY(QDir().mkpath(appDir));
        const QString archive = tmp->filePath("app.zip");
        QVERIFY(makeArchive(archive,
            {{"first.txt", "sound entry", false}, {"second.txt", QByteArray(4096, 'x'), false}}));
        QByteArray bytes = readBytes(archive);
        if (damage == "crc") {
            const int at = bytes.indexOf(QByteArray(64, 'x'));
            QVERIFY(at > 0);
            bytes[at + 100] = 'y';
        } else if (damage == "truncated") {
            bytes.truncate(bytes.size() * 2 / 3);
        } else if (damage == "text") {
            bytes = "not an archive";
        }
        QFile::remove(archive);
        if (damage != "missing")
            QVERIFY(writeFile(archive, bytes));

        QVERIFY(!MainWindow::unpackArchive(archive, appDir));
        QVERIFY(!QFile::exists(appDir + "/first.txt"));
        QVERIFY(!QFile::exists(appDir + "/second.txt"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
