#include "qftpdtp.h"
#include "qurlinfo.h"

#include <QtTest>

// Throughput of the listing parser over 10,000 lines, the way the data
// connection calls it: one fresh entry per line.
class BenchParseDir : public QObject
{
    Q_OBJECT

private slots:
    void parseListing_data();
    void parseListing();
};

namespace {

QList<QByteArray> makeListing(const QList<QByteArray> &shapes)
{
    QList<QByteArray> lines;
    lines.reserve(10000);
    for (int i = 0; i < 10000; ++i) {
        QByteArray line = shapes.at(i % shapes.size());
        line.replace("NAME", "entry-" + QByteArray::number(i));
        lines << line;
    }
    return lines;
}

} // namespace

void BenchParseDir::parseListing_data()
{
    const QByteArray unixYear
        = "-rw-r--r--   1 upd      upd       1048576 Mar 05  2014 NAME.zip\r\n";
    const QByteArray unixTime = "drwxr-xr-x   2 upd      upd          4096 Nov 21 09:41 NAME\r\n";
    const QByteArray unixPadded = "-rw-r--r-- 1 root root 5368709243 Dec  5 04:38 NAME.iso\r\n";
    const QByteArray unixLink
        = "lrwxrwxrwx   1 upd      upd      7 Jan  7  2013 NAME -> app.zip\r\n";
    const QByteArray dosDir = "11-03-14  02:30PM       <DIR>          NAME\r\n";
    const QByteArray dosFile = "07-01-98  11:00AM                 2048 NAME.exe\r\n";

    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::newRow("mixed") << makeListing(
        {unixYear, unixTime, unixPadded, unixLink, dosDir, dosFile});
    QTest::newRow("unix-year") << makeListing({unixYear});
    QTest::newRow("unix-time") << makeListing({unixTime});
    QTest::newRow("unix-padded-day-time") << makeListing({unixPadded});
    QTest::newRow("dos") << makeListing({dosDir, dosFile});
}

void BenchParseDir::parseListing()
{
    QFETCH(QList<QByteArray>, lines);
    QCOMPARE(lines.size(), 10000);

    int parsed = 0;
    QBENCHMARK
    {
        parsed = 0;
        for (const QByteArray &line : lines) {
            QUrlInfo info;
            parsed += QFtpDTP::parseDir(line, QString(), &info);
        }
    }
    QCOMPARE(parsed, lines.size());
}

QTEST_GUILESS_MAIN(BenchParseDir)
#include "bench_parsedir.moc"
