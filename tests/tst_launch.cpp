// Starting the installed application: the command for either platform
// layout, checked by what was actually started.
#include "dirmanager.h"
#include "launchfixture.h"
#include "mainwindow.h"
#include "platform.h"
#include "settings.h"

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

        const auto row = [](const char *name, const char *platform, const char *dirName,
                             const char *appName, bool installed, int exitCode) {
            QTest::newRow(name) << QString(platform) << QString(dirName) << QString(appName)
                                << installed << exitCode;
        };

        row("bundle", "xcb", "Tools", "Viewer", true, 0);
        row("bundle-blank-in-dir", "xcb", "My Tools", "Viewer", true, 0);
        row("bundle-blank-in-name", "xcb", "Tools", "My Viewer", true, 0);
        row("bundle-missing", "xcb", "Tools", "Viewer", false, 0);
        row("bundle-empty-name", "xcb", "Tools", "", false, 0);
        row("windows", "windows", "Tools", "Viewer", true, 0);
        row("windows-blank-in-dir", "windows", "My Tools", "Viewer", true, 0);
        row("windows-program-fails", "windows", "Tools", "Viewer", true, 7);
        row("windows-missing", "windows", "Tools", "Viewer", false, 0);
        row("windows-empty-name", "windows", "Tools", "", false, 0);
    }
    void launch()
    {
        QFETCH(QString, platform);
        QFETCH(QString, dirName);
        QFETCH(QString, name);
        QFETCH(bool, installed);
        QFETCH(int, exitCode);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString appDir = root.filePath(dirName);
        const QString marker = root.filePath(QStringLiteral("marker"));
        const bool windows = platform == QLatin1String("windows");
        QVERIFY(placeUpdater(appDir, platform));
        const QString program
            = windows ? appDir + "/Bin/" + name + ".exe" : bundleExecutable(appDir, name);
        if (installed)
            QVERIFY(writeProgram(program, marker, name, exitCode));
        appName = name;

        OpenRecorder open;
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

        if (windows) {
            QVERIFY(open.calls().isEmpty());
            if (!installed)
                QVERIFY(!QFile::exists(marker));
        } else {
            // One argument, blanks and all.
            QCOMPARE(open.calls(), QList<QStringList> {{appDir + "/" + name + ".app"}});
            if (installed)
                QTRY_COMPARE(readText(marker), name + " started\n");
            else
                QVERIFY(!QFile::exists(marker));
        }
    }
};

QTEST_MAIN(TestLaunch)
#include "tst_launch.moc"
