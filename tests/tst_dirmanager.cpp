#include "dirmanager.h"
#include "platform.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {
struct LoggedLine
{
    QtMsgType type;
    QString category;
    QString function;
    QString file;
    QString text;
};
QList<LoggedLine> logged;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    logged.append({type, QString::fromLatin1(context.category),
        QString::fromLatin1(context.function), QString::fromLatin1(context.file), text});
}
} // namespace

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
};

void TestDirManager::appDir_data()
{
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("executableDir"); // relative to a temporary root unless absolute
    QTest::addColumn<QString>("expected");

    QTest::newRow("bundle") << "xcb"
                            << "x/Tool.app/Contents/MacOS"
                            << "x";
    QTest::newRow("bundle-cocoa") << "cocoa"
                                  << "Apps/My Tool.app/Contents/MacOS"
                                  << "Apps";
    QTest::newRow("windows-own-dir") << "windows"
                                     << "Apps/Tool"
                                     << "Apps/Tool";
    QTest::newRow("windows-in-bundle-layout") << "windows"
                                              << "x/Tool.app/Contents/MacOS"
                                              << "x/Tool.app/Contents/MacOS";
    QTest::newRow("near-root") << "xcb"
                               << "/bin"
                               << "/";
    QTest::newRow("root-itself") << "offscreen"
                                 << "/"
                                 << "/";
    QTest::newRow("two-below-root") << "xcb"
                                    << "/usr/lib"
                                    << "/";
    QTest::newRow("windows-near-root") << "windows"
                                       << "/bin"
                                       << "/bin";
    QTest::newRow("platform-name-case") << "Windows"
                                        << "x/Tool.app/Contents/MacOS"
                                        << "x";
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

    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    const QString result = DirManager::getAppDir();
    qInstallMessageHandler(previous);

    QCOMPARE(result, expected);
    if (platform == QLatin1String("windows")) {
        QVERIFY(logged.isEmpty());
    } else {
        QCOMPARE(logged.size(), 1);
        const LoggedLine &line = logged.first();
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
