#include "platform.h"
#include "settings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void init() { Settings::reset(); }
    void cleanup() { Platform::setNameForTesting(QString()); }

    void configLines_data();
    void configLines();
    void mirrors_data();
    void mirrors();
    void proxy_data();
    void proxy();
    void fileFromDisk();
    void missingFileShowsErrorBoxAndKeepsDefaults();
};

// "smirrors": sources separated by any blanks, taken as they stand.
void TestSettings::mirrors_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("mirrors");
    QTest::newRow("none") << QByteArray("surl==h\n") << QStringList();
    QTest::newRow("two-with-blanks")
        << QByteArray("smirrors==  ftp://a.example/pub/\t https://b.example:8443/r/ \n")
        << QStringList {"ftp://a.example/pub/", "https://b.example:8443/r/"};
    QTest::newRow("last-line-wins")
        << QByteArray("smirrors==ftp://a/\nsmirrors==ftp://b/\n") << QStringList {"ftp://b/"};
}

void TestSettings::mirrors()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, mirrors);
    Settings::reset();
    QTextStream stream(content);
    Settings::read(stream);
    QCOMPARE(serverMirrors, mirrors);
    Settings::reset();
}

// "sproxy": one address, the blanks around it dropped, credentials kept.
void TestSettings::proxy_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("proxy");
    QTest::newRow("none") << QByteArray("smirrors==https://a/\n") << QString();
    QTest::newRow("with-credentials-and-blanks")
        << QByteArray("sproxy== http://u%40x:p@proxy.example:3128 \r\n")
        << "http://u%40x:p@proxy.example:3128";
    QTest::newRow("last-line-wins") << QByteArray("sproxy==http://a:1\nsproxy==\n") << QString();
}

void TestSettings::proxy()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, proxy);
    QTextStream stream(content);
    Settings::read(stream);
    QCOMPARE(serverProxy, proxy);
    Settings::reset();
    QVERIFY(serverProxy.isEmpty());
}

void TestSettings::configLines_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("name");

    const QString mac = QStringLiteral("xcb");
    const QString win = QStringLiteral("windows");

    QTest::newRow("empty-file") << QByteArray() << mac << QString() << 0 << QString() << QString();
    QTest::newRow("all-four") << QByteArray("surl==ftp.example.org\nsport==2121\nsappdir==viewer\n"
                                            "sappname==Viewer\n")
                              << mac << "ftp.example.org" << 2121 << "viewer_mac"
                              << "Viewer";
    QTest::newRow("windows-suffix")
        << QByteArray("sappdir==viewer\n") << win << QString() << 0 << "viewer_win32" << QString();
    QTest::newRow("empty-sappdir-mac")
        << QByteArray("sappdir==\n") << mac << QString() << 0 << "_mac" << QString();
    QTest::newRow("empty-sappdir-windows")
        << QByteArray("sappdir==\n") << win << QString() << 0 << "_win32" << QString();
    QTest::newRow("platform-name-case")
        << QByteArray("sappdir==v\n") << "Windows" << QString() << 0 << "v_mac" << QString();
    QTest::newRow("empty-value") << QByteArray("surl==x\nsurl==\n") << mac << "" << 0 << QString()
                                 << QString();
    QTest::newRow("value-with-separator")
        << QByteArray("sappname==Vi==ewer\n") << mac << QString() << 0 << QString() << "Vi";
    QTest::newRow("blank-before-key")
        << QByteArray(" surl==host\n") << mac << QString() << 0 << QString() << QString();
    QTest::newRow("key-in-capitals")
        << QByteArray("SURL==host\n") << mac << QString() << 0 << QString() << QString();
    QTest::newRow("blank-before-separator")
        << QByteArray("surl ==host\n") << mac << QString() << 0 << QString() << QString();
    QTest::newRow("trailing-blank-kept")
        << QByteArray("sappname==Viewer \n") << mac << QString() << 0 << QString() << "Viewer ";
    QTest::newRow("blank-after-separator-kept")
        << QByteArray("surl== host\n") << mac << " host" << 0 << QString() << QString();
    QTest::newRow("repeated-key-last-wins") << QByteArray("sport==21\nsport==2121\n") << mac
                                            << QString() << 2121 << QString() << QString();
    QTest::newRow("crlf-endings") << QByteArray(
        "surl==h\r\nsport==21\r\nsappdir==d\r\nsappname==n\r\n")
                                  << mac << "h" << 21 << "d_mac"
                                  << "n";
    QTest::newRow("no-final-newline")
        << QByteArray("sappname==n") << mac << QString() << 0 << QString() << "n";
    QTest::newRow("port-not-a-number")
        << QByteArray("sport==21a\n") << mac << QString() << 0 << QString() << QString();
    QTest::newRow("port-hex-not-read")
        << QByteArray("sport==0x15\n") << mac << QString() << 0 << QString() << QString();
    QTest::newRow("port-with-blank")
        << QByteArray("sport== 21\n") << mac << QString() << 21 << QString() << QString();
    QTest::newRow("port-beyond-16-bits")
        << QByteArray("sport==65557\n") << mac << QString() << 65557 << QString() << QString();
    QTest::newRow("port-negative")
        << QByteArray("sport==-1\n") << mac << QString() << -1 << QString() << QString();
    QTest::newRow("comment-like-line")
        << QByteArray("#surl==host\n") << mac << QString() << 0 << QString() << QString();
    QTest::newRow("no-separator") << QByteArray("surl host\nsurl=host\n") << mac << QString() << 0
                                  << QString() << QString();
    QTest::newRow("unknown-key") << QByteArray("sname==x\n") << mac << QString() << 0 << QString()
                                 << QString();
    // The Linux layout, on any platform, wherever its line stands.
    const auto layoutRow = [&](const char *name, const char *content, const QString &platform,
                               const char *appDir) {
        QTest::newRow(name) << QByteArray(content) << platform << QString() << 0 << QString(appDir)
                            << QString();
    };
    layoutRow("linux-suffix", "sappdir==viewer\nslayout==linux\n", mac, "viewer_linux");
    layoutRow("linux-before-sappdir", "slayout==linux\nsappdir==viewer\n", mac, "viewer_linux");
    layoutRow("linux-on-windows", "slayout==linux\r\nsappdir==v\r\n", win, "v_linux");
    layoutRow("linux-without-sappdir", "slayout==linux\n", mac, "");
    layoutRow("layout-unknown", "slayout==Linux\nsappdir==v\n", win, "v_win32");
    layoutRow("layout-last-line-wins", "slayout==linux\nsappdir==v\nslayout==\n", mac, "v_mac");
}

void TestSettings::configLines()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, platform);
    Platform::setNameForTesting(platform);

    QTextStream stream(&content);
    Settings::read(stream);

    QTEST(serverHost, "host");
    QTEST(serverPort, "port");
    QTEST(serverAppDir, "appDir");
    QTEST(appName, "name");
}

void TestSettings::fileFromDisk()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath("config.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("surl==127.0.0.1\r\nsport==65557\r\nsappdir==Tool\r\nsappname==My B\xc3\xbc"
               "cher\r\n");
    file.close();

    bool boxShown = false;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, [&] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            boxShown = true;
            box->close();
        }
    });
    watcher.start(10);

    Settings::load(dir.path());
    QVERIFY(!boxShown);
    QCOMPARE(serverHost, QStringLiteral("127.0.0.1"));
    QCOMPARE(serverPort, 65557);
    // The FTP client takes the port's low 16 bits.
    QCOMPARE(quint16(serverPort), quint16(21));
    QCOMPARE(serverAppDir, QStringLiteral("Tool_mac"));
    QCOMPARE(appName,
        QString::fromUtf8("My B\xc3\xbc"
                          "cher"));
}

void TestSettings::missingFileShowsErrorBoxAndKeepsDefaults()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile probe(dir.filePath("config.conf"));
    QVERIFY(!probe.open(QIODevice::ReadOnly));
    const QString systemText = probe.errorString();

    QString title, text;
    QList<QAbstractButton *> buttons;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        watcher.stop();
        title = box->windowTitle();
        text = box->text();
        buttons = box->buttons();
        box->button(QMessageBox::Ok)->click();
    });
    watcher.start(10);

    Settings::load(dir.path());

    QCOMPARE(title, QStringLiteral("error"));
    // The file, where it is, and the system's reason.
    QCOMPARE(text,
        "Cannot read the configuration file \"" + QDir::toNativeSeparators(probe.fileName())
            + "\":\n" + systemText);
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(serverHost, QString());
    QCOMPARE(serverPort, 0);
    QCOMPARE(serverAppDir, QString());
    QCOMPARE(appName, QString());
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
