// Starting the installed application: the command for either platform
// layout, checked by what was actually started.
#include "dirmanager.h"
#include "installation.h"
#include "launcher.h"
#include "launchfixture.h"
#include "mainwindow.h"
#include "messagelog.h"
#include "platform.h"
#include "settings.h"
#include "trial.h"

#include <QTest>

class TestLaunch : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        Platform::setNameForTesting(QString());
        DirManager::setApplicationDirPathForTesting(QString());
        Settings::reset();
    }

    void launch_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("dirName");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<int>("exitCode");
        // The one line a start that failed leaves; empty: none.
        QTest::addColumn<QString>("failure");
        QTest::addColumn<bool>("executable");

        const auto row
            = [](const char *name, const char *platform, const char *dirName, const char *appName,
                  bool installed, int exitCode, const char *failure = "",
                  bool executable = true) {
                  QTest::newRow(name) << QString(platform) << QString(dirName) << QString(appName)
                                      << installed << exitCode << QString(failure) << executable;
              };

        row("bundle", "xcb", "Tools", "Viewer", true, 0);
        row("bundle-blank-in-dir", "xcb", "My Tools", "Viewer", true, 0);
        row("bundle-blank-in-name", "xcb", "Tools", "My Viewer", true, 0);
        row("bundle-missing", "xcb", "Tools", "Viewer", false, 0,
            "Application not started: \"open\" \"DIR/Viewer.app\": exit code 1");
        row("windows", "windows", "Tools", "Viewer", true, 0);
        row("windows-blank-in-dir", "windows", "My Tools", "Viewer", true, 0);
        // The program's own exit code is its business.
        row("windows-program-fails", "windows", "Tools", "Viewer", true, 7);
        row("windows-missing", "windows", "Tools", "Viewer", false, 0,
            "Application not started: \"DIR/Bin/Viewer.exe\": execvp: No such file or directory");
        row("windows-crashes-while-starting", "windows", "Tools", "Viewer", true, -11,
            "Application crashed: \"DIR/Bin/Viewer.exe\": Process crashed");
        // The name is one argument whatever it holds; a name that could
        // leave the application directory starts nothing.
        row("bundle-quote-in-name", "xcb", "Tools", "My \"Viewer", true, 0);
        row("windows-quote-in-name", "windows", "Tools", "My \"Viewer", true, 0);
        row("windows-blank-in-name", "windows", "Tools", "My Viewer", true, 0);
        // The program itself, detached: its exit code is never seen.
        row("linux", "linux", "Tools", "Viewer", true, 0);
        row("linux-blanks-and-quote", "linux", "My Tools", "My \"Viewer", true, 0);
        row("linux-program-fails", "linux", "Tools", "Viewer", true, 7);
        row("linux-missing", "linux", "Tools", "Viewer", false, 0,
            "Application not started: \"DIR/Viewer\": no such file");
        row("linux-not-executable", "linux", "Tools", "Viewer", true, 0,
            "Application not started: \"DIR/Viewer\": not an executable file", false);
    }
    void launch()
    {
        QFETCH(QString, platform);
        QFETCH(QString, dirName);
        QFETCH(QString, name);
        QFETCH(bool, installed);
        QFETCH(int, exitCode);
        QFETCH(QString, failure);
        QFETCH(bool, executable);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString appDir = root.filePath(dirName);
        const QString marker = root.filePath(QStringLiteral("marker"));
        const bool windows = platform == QLatin1String("windows");
        const bool onLinux = platform == QLatin1String("linux");
        QVERIFY(placeUpdater(appDir, platform));
        const QString program = windows ? appDir + "/Bin/" + name + ".exe"
            : onLinux                   ? appDir + "/" + name
                                        : bundleExecutable(appDir, name);
        if (installed)
            QVERIFY(writeProgram(program, marker, name, exitCode));
        if (!executable)
            QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner));
        appName = name;

        OpenRecorder open;
        MessageLog log;
        {
            MainWindow window(nullptr);
            window.show();
            QVERIFY(window.isVisible());
            window.launchApplication();
            QVERIFY(!window.isVisible());
            if (windows && installed) {
                // The program itself ran, and had ended before the call returned.
                QCOMPARE(readText(marker), name + " started\n");
            }
        }
        QStringList failures;
        for (const MessageLog::Line &line : log.lines()) {
            if (line.text.startsWith("Application "))
                failures << line.text;
        }
        QCOMPARE(failures,
            failure.isEmpty() ? QStringList() : QStringList {failure.replace("DIR", appDir)});

        if (windows || onLinux) {
            QVERIFY(open.calls().isEmpty());
            if (!installed || !executable)
                QVERIFY(!QFile::exists(marker));
            else if (onLinux)
                QTRY_COMPARE(readText(marker), name + " started\n");
        } else {
            // One argument, blanks and all.
            QCOMPARE(open.calls(), QList<QStringList> {{appDir + "/" + name + ".app"}});
            if (installed)
                QTRY_COMPARE(readText(marker), name + " started\n");
            else
                QVERIFY(!QFile::exists(marker));
        }
    }

    // An application on trial that the updater started holds the running
    // lock as long as it runs (handed over by "open" too), and lets it go
    // when it ends.
    void runningApplication_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::newRow("bundle") << "xcb";
        // Detached: the updater is gone while the application runs.
        QTest::newRow("linux") << "linux";
    }
    void runningApplication()
    {
        QFETCH(QString, platform);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString appDir = root.filePath("Tools");
        const QString stop = root.filePath("stop");
        QVERIFY(placeUpdater(appDir, platform));
        const QString program = platform == "linux" ? appDir + "/Viewer"
                                                    : bundleExecutable(appDir, "Viewer");
        QVERIFY(QDir().mkpath(QFileInfo(program).path()));
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nwhile [ ! -e '" + stop.toUtf8() + "' ]; do sleep 0.05; done\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
        appName = "Viewer";
        // Only a release on trial is launched with the lock.
        QFile version(appDir + "/version.ver");
        QVERIFY(version.open(QIODevice::WriteOnly) && version.write("1.1\n") == 4);
        version.close();
        QString reason;
        Installation installation(appDir);
        QVERIFY(Trial::begin(installation, "1.1", "1.0", 1, &reason));
        OpenRecorder open;
        QVERIFY(!Launcher::applicationRunning(appDir));
        {
            MainWindow window(nullptr);
            window.launchApplication();
        }
        QTRY_VERIFY(Launcher::applicationRunning(appDir));
        // A launch handed over counts once it has run for the grace time.
        const UpdateState::TrialRecord trial = Installation(appDir).state().trial();
        QCOMPARE(trial.launches, 0);
        QCOMPARE(trial.started.size(), 1);
        QFile(stop).open(QIODevice::WriteOnly);
        QTRY_VERIFY(!Launcher::applicationRunning(appDir));
    }

    void unsafeName_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("name");
        for (const char *platform : {"xcb", "windows", "linux"}) {
            const QByteArray p(platform);
            QTest::newRow(p + "-empty") << platform << "";
            QTest::newRow(p + "-dot-dot") << platform << "../Other";
            QTest::newRow(p + "-dot-dot-alone") << platform << "..";
            QTest::newRow(p + "-slash") << platform << "Sub/Viewer";
            QTest::newRow(p + "-absolute") << platform << "/usr/bin/Viewer";
            QTest::newRow(p + "-backslash") << platform << "Sub\\Viewer";
            QTest::newRow(p + "-control-character") << platform << "Viewer\n";
        }
    }
    // Nothing is started, the window still closes, and the log says why.
    void unsafeName()
    {
        QFETCH(QString, platform);
        QFETCH(QString, name);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString appDir = root.filePath("Tools");
        const QString marker = root.filePath("marker");
        QVERIFY(placeUpdater(appDir, platform));
        // Whatever the name could reach exists and would run.
        QVERIFY(writeProgram(root.filePath("Other.app/Contents/MacOS/Other"), marker, "Other"));
        QVERIFY(writeProgram(root.filePath("Other.exe"), marker, "Other"));
        appName = name;

        OpenRecorder open;
        MessageLog log;
        MainWindow window(nullptr);
        window.show();
        window.launchApplication();
        QVERIFY(!window.isVisible());
        QVERIFY(open.calls().isEmpty());
        QVERIFY(!QFile::exists(marker));
        int said = 0;
        for (const MessageLog::Line &line : log.lines())
            said += line.text.startsWith("Application not started:");
        QCOMPARE(said, 1);
    }
};

QTEST_MAIN(TestLaunch)
#include "tst_launch.moc"
