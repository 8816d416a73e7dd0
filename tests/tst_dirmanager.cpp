#include "dirmanager.h"
#include "messagelog.h"
#include "platform.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestDirManager : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        Platform::setNameForTesting(QString());
        DirManager::setApplicationDirPathForTesting(QString());
    }

    void appDir_data();
    void appDir();
    void realExecutableDirectory();
    void linuxLayout_data();
    void linuxLayout();
};

// The config.conf beside the executable chooses the Linux layout and with
// it the executable's own directory; one three levels up is the
// application directory's in any case.
void TestDirManager::linuxLayout_data()
{
    QTest::addColumn<QString>("configIn"); // relative to the executable's directory
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("expected");
    QTest::newRow("beside-the-updater") << "." << QByteArray("surl==h\nslayout==linux\n") << ".";
    QTest::newRow("beside-another-layout") << "." << QByteArray("slayout==mac\n") << "../../..";
    QTest::newRow("beside-later-line-wins")
        << "." << QByteArray("slayout==linux\r\nslayout==\r\n") << "../../..";
    // Read on every path the updater builds: never blocks.
    QTest::newRow("beside-a-fifo") << "." << QByteArray("fifo") << "../../..";
    QTest::newRow("in-a-bundles-folder") << "../../.." << QByteArray("slayout==linux\n") << "../../..";
}

void TestDirManager::linuxLayout()
{
    QFETCH(QString, configIn);
    QFETCH(QByteArray, config);
    QFETCH(QString, expected);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString executableDir = QDir(root.path()).canonicalPath() + "/x/Tool.app/Contents/MacOS";
    QVERIFY(QDir().mkpath(executableDir));
    QFile file(QDir(executableDir).filePath(configIn + "/config.conf"));
    if (config == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(file.fileName()).constData(), 0644), 0);
    } else {
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(config) == config.size());
        file.close();
    }
    Platform::setNameForTesting(QStringLiteral("xcb"));
    DirManager::setApplicationDirPathForTesting(executableDir);
    QCOMPARE(DirManager::getAppDir(), QDir(executableDir + "/" + expected).absolutePath());
}

void TestDirManager::appDir_data()
{
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("executableDir"); // relative to a temporary root unless absolute
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const char *platform, const char *executableDir,
                         const char *expected) {
        QTest::newRow(name) << QString(platform) << QString(executableDir) << QString(expected);
    };

    row("bundle", "xcb", "x/Tool.app/Contents/MacOS", "x");
    row("bundle-cocoa", "cocoa", "Apps/My Tool.app/Contents/MacOS", "Apps");
    row("windows-own-dir", "windows", "Apps/Tool", "Apps/Tool");
    row("windows-in-bundle-layout", "windows", "x/Tool.app/Contents/MacOS",
        "x/Tool.app/Contents/MacOS");
    row("near-root", "xcb", "/bin", "/");
    row("root-itself", "offscreen", "/", "/");
    row("two-below-root", "xcb", "/usr/lib", "/");
    row("windows-near-root", "windows", "/bin", "/bin");
    row("platform-name-case", "Windows", "x/Tool.app/Contents/MacOS", "x");
}

void TestDirManager::appDir()
{
    QFETCH(QString, platform);
    QFETCH(QString, executableDir);
    QFETCH(QString, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString base = QDir(root.path()).canonicalPath();
    if (!QDir::isAbsolutePath(executableDir)) {
        QVERIFY(QDir(base).mkpath(executableDir));
        executableDir = base + QLatin1Char('/') + executableDir;
        expected = base + QLatin1Char('/') + expected;
    }

    Platform::setNameForTesting(platform);
    DirManager::setApplicationDirPathForTesting(executableDir);

    const MessageLog log;
    const QString result = DirManager::getAppDir();
    const QList<MessageLog::Line> logged = log.lines();

    QCOMPARE(result, expected);
    if (platform == QLatin1String("windows")) {
        QVERIFY(logged.isEmpty());
    } else {
        QCOMPARE(logged.size(), 1);
        const MessageLog::Line &line = logged.first();
        QCOMPARE(line.type, QtDebugMsg);
        QCOMPARE(line.category, QStringLiteral("default"));
        QCOMPARE(line.function, QStringLiteral("QString DirManager::getAppDir()"));
        QVERIFY(line.file.endsWith(QLatin1String("dirmanager.cpp")));
        QCOMPARE(line.text, QLatin1Char('"') + expected + QLatin1Char('"'));
    }
}

void TestDirManager::realExecutableDirectory()
{
    Platform::setNameForTesting(QStringLiteral("windows"));
    QCOMPARE(DirManager::getAppDir(), QCoreApplication::applicationDirPath());

    Platform::setNameForTesting(QStringLiteral("xcb"));
    QDir expected(QCoreApplication::applicationDirPath());
    expected.cdUp();
    expected.cdUp();
    expected.cdUp();
    QCOMPARE(DirManager::getAppDir(), expected.absolutePath());
}

QTEST_MAIN(TestDirManager)
#include "tst_dirmanager.moc"
