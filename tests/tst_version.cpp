// Version texts: dotted decimal numbers compared component by component,
// everything else by the single-number rule.
#include "version.h"

#include <QTest>

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void compare_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");

        QTest::newRow("two-zero-newer-than-one-ten") << "2.0"
                                                     << "1.10" << 1;
        QTest::newRow("one-two-ten-older-than-one-three") << "1.2.10"
                                                          << "1.3" << -1;
        QTest::newRow("missing-component-is-zero") << "1.0"
                                                   << "1.0.0" << 0;
        QTest::newRow("one-ten-newer-than-one-nine") << "1.10"
                                                     << "1.9" << 1;
        QTest::newRow("line-breaks-and-blanks") << " 1.3\r\n"
                                                << "1.2\n"
                                                << 1;
        QTest::newRow("leading-zeros") << "1.02"
                                       << "1.2" << 0;
        QTest::newRow("longer-than-any-int") << "1.99999999999999999999"
                                             << "1.99999999999999999998" << 1;
        QTest::newRow("equal") << "1.5"
                               << "1.5" << 0;
        // Not both dotted decimal: the single-number rule, dots dropped.
        QTest::newRow("one-component-is-dotted-too") << "15"
                                                     << "1.5" << 1;
        QTest::newRow("fallback-empty-is-zero") << "1.0"
                                                << "" << 1;
        QTest::newRow("fallback-letters-are-zero") << "v2.0"
                                                   << "1.0" << -1;
        QTest::newRow("fallback-blank-inside") << "1 .1"
                                               << "1.0" << -1;
        QTest::newRow("fallback-trailing-dot") << "1.2."
                                               << "1.3" << -1;
        // A suffix after the numbers marks a pre-release of those numbers.
        QTest::newRow("beta-older-than-release") << "2.0-beta"
                                                 << "2.0" << -1;
        QTest::newRow("beta-newer-than-older-release") << "2.0-beta"
                                                       << "1.1" << 1;
        QTest::newRow("beta-older-than-next-point") << "2.0-beta"
                                                    << "2.0.1" << -1;
        QTest::newRow("suffixes-as-text") << "2.0-beta"
                                          << "2.0rc1" << -1;
        QTest::newRow("same-suffix-missing-zero") << "2.0rc1"
                                                  << "2rc1" << 0;
    }
    void compare()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(Version::compare(a, b), order);
        QCOMPARE(Version::compare(b, a), -order);
    }

    void isOrderable_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("orderable");
        QTest::newRow("dotted") << "1.2" << true;
        QTest::newRow("dash-suffix") << "2.0-beta" << true;
        QTest::newRow("letter-suffix") << "2.0rc1" << true;
        QTest::newRow("no-number") << "beta" << false;
        QTest::newRow("leading-v") << "v2.0" << false;
        QTest::newRow("trailing-dot") << "1.2." << false;
        QTest::newRow("blank") << "1 .1" << false;
        QTest::newRow("slash") << "1.0/x" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("eight-parts-of-nine-digits")
            << "999999999.1.2.3.4.5.6.999999999-rc.1" << true;
        QTest::newRow("nine-parts") << "1.2.3.4.5.6.7.8.9" << false;
        QTest::newRow("ten-digits") << "1.1234567890" << false;
        QTest::newRow("1024-nines") << QString(1024, QLatin1Char('9')) << false;
        QTest::newRow("64-bytes") << "1.0-" + QString(60, QLatin1Char('x')) << true;
        QTest::newRow("65-bytes") << "1.0-" + QString(61, QLatin1Char('x')) << false;
        QTest::newRow("non-ascii-suffix") << "1.1-\u00e9t\u00e9" << false;
    }
    void isOrderable()
    {
        QFETCH(QString, text);
        QFETCH(bool, orderable);
        QCOMPARE(Version::isOrderable(text), orderable);
    }

    // A published version is one line of printable text, or it is refused.
    void readPublished_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("version"); // null: refused
        QTest::newRow("plain") << QByteArray("1.1") << "1.1";
        QTest::newRow("line-feed") << QByteArray("1.1\n") << "1.1";
        QTest::newRow("cr-lf-and-blanks") << QByteArray(" 2.0-beta \r\n") << "2.0-beta";
        QTest::newRow("utf-8-letters") << QByteArray("1.1-\xc3\xa9t\xc3\xa9") << QString();
        QTest::newRow("1024-nines") << QByteArray(1024, '9') << QString();
        QTest::newRow("blank-inside") << QByteArray("1 .1") << QString();
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("only-a-line-end") << QByteArray("\n") << QString();
        QTest::newRow("two-lines") << QByteArray("1.1\n2.0\n") << QString();
        QTest::newRow("two-line-ends") << QByteArray("1.1\n\n") << QString();
        QTest::newRow("control-character") << QByteArray("1.\x01"
                                                         "1")
                                           << QString();
        QTest::newRow("tab") << QByteArray("1.1\t") << QString();
        QTest::newRow("not-utf-8") << QByteArray("1.1\xff") << QString();
        QTest::newRow("zero-byte") << QByteArray("1.1\0", 4) << QString();
    }
    void readPublished()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, version);
        QString read = QStringLiteral("untouched"), reason;
        const bool ok = Version::readPublished(bytes, &read, &reason);
        QCOMPARE(ok, !version.isNull());
        if (ok)
            QCOMPARE(read, version);
        else
            QVERIFY(!reason.isEmpty());
    }

    void legacyNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("number");
        QTest::newRow("dotted") << "1.2.3" << 123;
        QTest::newRow("dots-dropped-not-separators") << "1.10" << 110;
        QTest::newRow("two-zero") << "2.0" << 20;
        QTest::newRow("crlf") << "1.5\r\n" << 15;
        QTest::newRow("blank-between-digits") << "1 .5" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("letters") << "v1.5" << 0;
        QTest::newRow("beyond-int") << "99999999999" << 0;
    }
    void legacyNumber()
    {
        QFETCH(QString, text);
        QFETCH(int, number);
        QCOMPARE(Version::legacyNumber(text), number);
    }
};

QTEST_APPLESS_MAIN(TestVersion)
#include "tst_version.moc"
