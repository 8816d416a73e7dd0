#include "qftpdirparser_p.h"
#include "qftpdtp.h"
#include "qurlinfo.h"

#include <QFile>
#include <QtTest>

// The listing parser: Unix and DOS layouts, dates and year inference,
// permissions, and lines captured from real servers.
class TestParseDir : public QObject
{
    Q_OBJECT

private slots:
    void workedExamples_data();
    void workedExamples();
    void unixVariants_data();
    void unixVariants();
    void dosVariants_data();
    void dosVariants();
    void rejectedLines_data();
    void rejectedLines();
    void rejectedLineLeavesFilledEntryAlone();
    void yearInference_data();
    void yearInference();
    void unixDatesReadAsLocaleParserDoes();
    void dosDatesReadAsLocaleParserDoes();
    void ownerGrantsAccess_data();
    void ownerGrantsAccess();
    void setterOrder();
    void veryLongLines();
    void capturedListing_data();
    void capturedListing();
};

Q_DECLARE_METATYPE(QUrlInfo)

namespace {

const int ro = QUrlInfo::ReadOwner, wo = QUrlInfo::WriteOwner, xo = QUrlInfo::ExeOwner;
const int rg = QUrlInfo::ReadGroup, xg = QUrlInfo::ExeGroup;
const int rt = QUrlInfo::ReadOther, xt = QUrlInfo::ExeOther;

QDateTime at(int y, int mo, int d, int h = 0, int mi = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi));
}

// An entry as the parser should leave it. isExecutable is never touched.
QUrlInfo entry(const QString &name, int permissions, const QString &owner, const QString &group,
    qint64 size, const QDateTime &modified, bool dir, bool file, bool link, bool writable,
    bool readable)
{
    return QUrlInfo(name, permissions, owner, group, size, modified, QDateTime(), dir, file, link,
        writable, readable, false);
}

// Field by field, so that a failure names the field.
void compareEntry(const QUrlInfo &actual, const QUrlInfo &expected)
{
    QCOMPARE(actual.isValid(), expected.isValid());
    QCOMPARE(actual.name(), expected.name());
    QCOMPARE(QString::number(actual.permissions(), 8), QString::number(expected.permissions(), 8));
    QCOMPARE(actual.owner(), expected.owner());
    QCOMPARE(actual.group(), expected.group());
    QCOMPARE(actual.size(), expected.size());
    QCOMPARE(actual.lastModified(), expected.lastModified());
    QCOMPARE(actual.lastRead(), expected.lastRead());
    QCOMPARE(actual.isDir(), expected.isDir());
    QCOMPARE(actual.isFile(), expected.isFile());
    QCOMPARE(actual.isSymLink(), expected.isSymLink());
    QCOMPARE(actual.isWritable(), expected.isWritable());
    QCOMPARE(actual.isReadable(), expected.isReadable());
    QCOMPARE(actual.isExecutable(), expected.isExecutable());
    QVERIFY(actual == expected);
}

// A fixed "now" for the tables that need one: mid-year, so no inference
// crosses a year boundary unless a row is about that.
const QDateTime midYear = at(2026, 6, 15, 12, 0);

// Records the setter calls the parser makes, to check their order.
class RecordingInfo : public QUrlInfo
{
public:
    QStringList calls;
    void setName(const QString &n) override
    {
        calls << "name";
        QUrlInfo::setName(n);
    }
    void setDir(bool b) override
    {
        calls << "dir";
        QUrlInfo::setDir(b);
    }
    void setFile(bool b) override
    {
        calls << "file";
        QUrlInfo::setFile(b);
    }
    void setSymLink(bool b) override
    {
        calls << "symlink";
        QUrlInfo::setSymLink(b);
    }
    void setOwner(const QString &s) override
    {
        calls << "owner";
        QUrlInfo::setOwner(s);
    }
    void setGroup(const QString &s) override
    {
        calls << "group";
        QUrlInfo::setGroup(s);
    }
    void setSize(qint64 s) override
    {
        calls << "size";
        QUrlInfo::setSize(s);
    }
    void setWritable(bool b) override
    {
        calls << "writable";
        QUrlInfo::setWritable(b);
    }
    void setReadable(bool b) override
    {
        calls << "readable";
        QUrlInfo::setReadable(b);
    }
    void setPermissions(int p) override
    {
        calls << "permissions";
        QUrlInfo::setPermissions(p);
    }
    void setLastModified(const QDateTime &dt) override
    {
        calls << "lastModified";
        QUrlInfo::setLastModified(dt);
    }
};

} // namespace

void TestParseDir::workedExamples_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<QUrlInfo>("expected");

    // A time of day in place of the year: this year, unless that is more
    // than a day ahead of now.
    const QDateTime now = QDateTime::currentDateTime();
    QDateTime nov21 = at(now.date().year(), 11, 21, 9, 41);
    if (nov21.secsTo(now) < -86400)
        nov21 = at(now.date().year() - 1, 11, 21, 9, 41);

    QTest::newRow("unix-file") << QByteArray(
        "-rw-r--r--   1 upd      upd       1048576 Mar 05  2014 app.zip\r\n")
                               << true
                               << entry("app.zip", 0644, "upd", "upd", 1048576, at(2014, 3, 5),
                                      false, true, false, false, true);
    QTest::newRow("unix-dir-with-time")
        << QByteArray("drwxr-xr-x   2 upd      upd          4096 Nov 21 09:41 Bin\r\n") << true
        << entry("Bin", 0755, "upd", "upd", 4096, nov21, true, false, false, false, true);
    QTest::newRow("unix-symlink") << QByteArray(
        "lrwxrwxrwx   1 upd      upd             7 Jan  7  2013 latest -> "
        "app.zip\r\n") << true
                                  << entry("latest", 0777, "upd", "upd", 7, at(2013, 1, 7), true,
                                         false, true, true, true);
    QTest::newRow("dos-dir") << QByteArray("11-03-14  02:30PM       <DIR>          Bin\r\n") << true
                             << entry("Bin", 0666, "", "", 0, at(2014, 11, 3, 14, 30), true, false,
                                    false, false, true);
    QTest::newRow("dos-exe") << QByteArray("07-01-98  11:00AM                 2048 update.exe\r\n")
                             << true
                             << entry("update.exe", 0777, "", "", 2048, at(1998, 7, 1, 11, 0),
                                    false, true, false, true, true);
    QTest::newRow("total") << QByteArray("total 12\r\n") << false << QUrlInfo();
}

void TestParseDir::workedExamples()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, parsed);
    QFETCH(QUrlInfo, expected);

    QUrlInfo info;
    QCOMPARE(QFtpDTP::parseDir(line, QString(), &info), parsed);
    compareEntry(info, expected);
}

void TestParseDir::unixVariants_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QUrlInfo>("expected");

    const QDateTime d = at(2014, 3, 5);
    QTest::newRow("nul-ends-line")
        << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014 a.txt\0garbage after nul\r\n", 55)
        << entry("a.txt", 0644, "u", "g", 5, d, false, true, false, false, true);
    QTest::newRow("nul-inside-name") << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014 a.t\0xt",
        38) << entry("a.t", 0644, "u", "g", 5, d, false, true, false, false, true);
    QTest::newRow("surrounding-white-space")
        << QByteArray(" \t-rw-r--r-- 1 u g 5 Mar 05  2014 name ends in spaces   \r\n")
        << entry("name ends in spaces", 0644, "u", "g", 5, d, false, true, false, false, true);
    // UTF-8 names whose last byte is a Latin-1 blank (0x85, 0xA0) keep it:
    // only ASCII blanks and line ends are trimmed.
    QTest::newRow("utf8-name-ending-in-a0")
        << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014 voil\xc3\xa0\r\n")
        << entry(QString::fromLatin1("voil\xc3\xa0"), 0644, "u", "g", 5, d, false, true, false,
               false, true);
    QTest::newRow("utf8-name-ending-in-85")
        << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014 \xe2\x80\x85\r\n")
        << entry(QString::fromLatin1("\xe2\x80\x85"), 0644, "u", "g", 5, d, false, true, false,
               false, true);
    QTest::newRow("lf-only") << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014 a\n")
                             << entry("a", 0644, "u", "g", 5, d, false, true, false, false, true);
    QTest::newRow("arrow-in-plain-file")
        << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014 a -> b")
        << entry("a -> b", 0644, "u", "g", 5, d, false, true, false, false, true);
    QTest::newRow("link-without-target")
        << QByteArray("lrwxrwxrwx 1 u g 5 Mar 05  2014 dangling")
        << entry("dangling", 0777, "u", "g", 5, d, true, false, true, true, true);
    QTest::newRow("link-cut-at-first-arrow")
        << QByteArray("lrwxrwxrwx 1 u g 5 Mar 05  2014 a -> b -> c")
        << entry("a", 0777, "u", "g", 5, d, true, false, true, true, true);
    QTest::newRow("setuid-letter") << QByteArray("-rwsr-xr-x 1 u g 5 Mar 05  2014 tool")
                                   << entry("tool", ro | wo | rg | xg | rt | xt, "u", "g", 5, d,
                                          false, true, false, false, true);
    QTest::newRow("sticky-dir") << QByteArray("drwxrwxrwt 2 u g 5 Mar 05  2014 tmp")
                                << entry(
                                       "tmp", 0776, "u", "g", 5, d, true, false, false, true, true);
    QTest::newRow("upper-case-letters")
        << QByteArray("-RWXr-Sr-T 1 u g 5 Mar 05  2014 odd")
        << entry("odd", rg | rt, "u", "g", 5, d, false, true, false, false, true);
    QTest::newRow("no-access") << QByteArray("---------- 1 u g 0 Mar 05  2014 locked")
                               << entry("locked", 0, "u", "g", 0, d, false, true, false, false,
                                      false);
    QTest::newRow("owner-only-not-ours")
        << QByteArray("-rwx------ 1 u g 5 Mar 05  2014 private")
        << entry("private", ro | wo | xo, "u", "g", 5, d, false, true, false, false, false);
    QTest::newRow("group-bits-grant-nothing")
        << QByteArray("-r--rw-r-x 1 u g 5 Mar 05  2014 grp")
        << entry("grp", 0465, "u", "g", 5, d, false, true, false, false, true);
    QTest::newRow("others-write-only")
        << QByteArray("--------w- 1 u g 5 Mar 05  2014 drop")
        << entry("drop", 02, "u", "g", 5, d, false, true, false, true, false);
    QTest::newRow("size-above-4GiB")
        << QByteArray("-rw-r--r-- 1 u g 5368709243 Mar 05  2014 big.iso")
        << entry("big.iso", 0644, "u", "g", Q_INT64_C(5368709243), d, false, true, false, false,
               true);
    QTest::newRow("size-int64-max")
        << QByteArray("-rw-r--r-- 1 u g 9223372036854775807 Mar 05  2014 max")
        << entry("max", 0644, "u", "g", std::numeric_limits<qint64>::max(), d, false, true, false,
               false, true);
    QTest::newRow("size-overflow")
        << QByteArray("-rw-r--r-- 1 u g 9223372036854775808 Mar 05  2014 huge")
        << entry("huge", 0644, "u", "g", 0, d, false, true, false, false, true);
    QTest::newRow("unknown-month")
        << QByteArray("-rw-r--r-- 1 u g 5 Foo 05  2014 a")
        << entry("a", 0644, "u", "g", 5, QDateTime(), false, true, false, false, true);
    QTest::newRow("impossible-day")
        << QByteArray("-rw-r--r-- 1 u g 5 Feb 30  2014 a")
        << entry("a", 0644, "u", "g", 5, QDateTime(), false, true, false, false, true);
    QTest::newRow("name-with-spaces")
        << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014   release  notes.txt")
        << entry("release  notes.txt", 0644, "u", "g", 5, d, false, true, false, false, true);
    QTest::newRow("latin1-name") << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014 caf\xe9")
                                 << entry(QString::fromLatin1("caf\xe9"), 0644, "u", "g", 5, d,
                                        false, true, false, false, true);
    QTest::newRow("tabs") << QByteArray("-rw-r--r--\t1\tu\tg\t5\tMar 05  2014\ta")
                          << entry("a", 0644, "u", "g", 5, d, false, true, false, false, true);
    QTest::newRow("empty-owner-matches-empty-user")
        << QByteArray("-rw------- 1  g 5 Mar 05  2014 a")
        << entry("a", 0600, "", "g", 5, d, false, true, false, true, true);
}

void TestParseDir::unixVariants()
{
    QFETCH(QByteArray, line);
    QFETCH(QUrlInfo, expected);

    QUrlInfo info;
    QVERIFY(qftpParseDir(line, QString(), &info, midYear));
    compareEntry(info, expected);
}

void TestParseDir::dosVariants_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QUrlInfo>("expected");

    const QDateTime d = at(2014, 11, 3, 14, 30);
    const auto file = [&](const char *name, int perms, qint64 size, bool link = false) {
        return entry(name, perms, "", "", size, d, false, true, link, true, true);
    };
    QTest::newRow("lnk-upper") << QByteArray("11-03-14  02:30PM  10 Start.LNK\r\n")
                               << file("Start.LNK", 0666, 10, true);
    QTest::newRow("lnk-mixed") << QByteArray("11-03-14  02:30PM  10 Start.Lnk")
                               << file("Start.Lnk", 0666, 10, true);
    QTest::newRow("exe-upper-not-executable")
        << QByteArray("11-03-14  02:30PM  10 SETUP.EXE") << file("SETUP.EXE", 0666, 10);
    QTest::newRow("bat") << QByteArray("11-03-14  02:30PM  10 run.bat")
                         << file("run.bat", 0777, 10);
    QTest::newRow("com") << QByteArray("11-03-14  02:30PM  10 cmd.com")
                         << file("cmd.com", 0777, 10);
    QTest::newRow("last-dot-counts")
        << QByteArray("11-03-14  02:30PM  10 app.exe.txt") << file("app.exe.txt", 0666, 10);
    QTest::newRow("no-extension") << QByteArray("11-03-14  02:30PM  10 README")
                                  << file("README", 0666, 10);
    QTest::newRow("name-with-spaces")
        << QByteArray("11-03-14  02:30PM  10 my setup.exe  \r\n") << file("my setup.exe", 0777, 10);
    QTest::newRow("size-above-4GiB") << QByteArray("11-03-14  02:30PM  5368709243 big.iso")
                                     << file("big.iso", 0666, Q_INT64_C(5368709243));
    QTest::newRow("size-overflow")
        << QByteArray("11-03-14  02:30PM  99999999999999999999 x") << file("x", 0666, 0);
    QTest::newRow("dir-named-exe")
        << QByteArray("11-03-14  02:30PM  <DIR> tools.exe")
        << entry("tools.exe", 0777, "", "", 0, d, true, false, false, false, true);

    const auto dated = [](const char *date, const QDateTime &expected) {
        QTest::newRow(date) << QByteArray(date) + "  <DIR>  x"
                            << entry(
                                   "x", 0666, "", "", 0, expected, true, false, false, false, true);
    };
    dated("07-01-98  11:00AM", at(1998, 7, 1, 11, 0));
    dated("01-01-71  12:00AM", at(1971, 1, 1, 0, 0));
    dated("12-31-70  12:00PM", at(2070, 12, 31, 12, 0));
    dated("01-01-00  11:59PM", at(2000, 1, 1, 23, 59));
    dated("02-29-00  10:00AM", at(2000, 2, 29, 10, 0)); // 2000 is a leap year, 1900 is not
    dated("02-29-04  10:00AM", at(2004, 2, 29, 10, 0));
    dated("02-29-01  10:00AM", QDateTime());
    dated("13-01-98  10:00AM", QDateTime());
    dated("07-01-98  13:00PM", QDateTime());
    dated("07-01-998  11:00AM", QDateTime()); // accepted, but no date this layout knows
    dated("07-01-1998  11:00AM", QDateTime());
}

void TestParseDir::dosVariants()
{
    QFETCH(QByteArray, line);
    QFETCH(QUrlInfo, expected);

    QUrlInfo info;
    QVERIFY(qftpParseDir(line, QStringLiteral("upd"), &info, midYear));
    compareEntry(info, expected);
}

void TestParseDir::rejectedLines_data()
{
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("crlf-only") << QByteArray("\r\n");
    QTest::newRow("white-space-only") << QByteArray(" \t \r\n");
    QTest::newRow("nul-first") << QByteArray("\0-rw-r--r-- 1 u g 5 Mar 05  2014 a", 34);
    QTest::newRow("total") << QByteArray("total 12");
    QTest::newRow("error-text") << QByteArray("ls: /x: No such file or directory\r\n");
    QTest::newRow("acl-plus") << QByteArray("-rw-r--r--+ 1 u g 5 Mar 05  2014 a");
    QTest::newRow("xattr-at") << QByteArray("-rw-r--r--@ 1 u g 5 Mar 05  2014 a");
    QTest::newRow("char-device") << QByteArray("crw-rw-rw- 1 root root 1, 3 Mar 05  2014 null");
    QTest::newRow("block-device") << QByteArray("brw-rw---- 1 root disk 8 Mar 05  2014 sda");
    QTest::newRow("fifo") << QByteArray("prw-r--r-- 1 u g 0 Mar 05  2014 pipe");
    QTest::newRow("socket") << QByteArray("srwxrwxrwx 1 u g 0 Mar 05  2014 sock");
    QTest::newRow("upper-case-type") << QByteArray("Drwxr-xr-x 1 u g 0 Mar 05  2014 d");
    QTest::newRow("eight-permission-letters") << QByteArray("-rw-r--r- 1 u g 5 Mar 05  2014 a");
    QTest::newRow("digit-in-permissions") << QByteArray("-rw-r--r-1 1 u g 5 Mar 05  2014 a");
    QTest::newRow("no-name") << QByteArray("-rw-r--r-- 1 u g 5 Mar 05  2014");
    QTest::newRow("no-link-count") << QByteArray("-rw-r--r-- u g 5 Mar 05  2014 a");
    QTest::newRow("dos-one-year-digit") << QByteArray("07-01-9  11:00AM  5 a");
    QTest::newRow("dos-five-year-digits") << QByteArray("07-01-19989  11:00AM  5 a");
    QTest::newRow("dos-one-space") << QByteArray("07-01-98 11:00AM  5 a");
    QTest::newRow("dos-lower-case-am") << QByteArray("07-01-98  11:00am  5 a");
    QTest::newRow("dos-lower-case-dir") << QByteArray("07-01-98  11:00AM  <dir> a");
    QTest::newRow("dos-no-name") << QByteArray("07-01-98  11:00AM  5");
    QTest::newRow("dos-one-digit-month") << QByteArray("7-01-98  11:00AM  5 a");
    QTest::newRow("binary") << QByteArray("\x01\x02\xff\xfe garbage \x7f");
}

void TestParseDir::rejectedLines()
{
    QFETCH(QByteArray, line);

    QUrlInfo info;
    QVERIFY(!QFtpDTP::parseDir(line, QString(), &info));
    QVERIFY(!info.isValid()); // untouched: not even a record was created
}

void TestParseDir::rejectedLineLeavesFilledEntryAlone()
{
    const QUrlInfo before
        = entry("keep", 0640, "o", "g", 9, at(2001, 2, 3), false, true, false, false, false);
    RecordingInfo info;
    static_cast<QUrlInfo &>(info) = before;
    QVERIFY(!QFtpDTP::parseDir("-rw-r--r--+ 1 u g 5 Mar 05  2014 a", QString(), &info));
    QVERIFY(info.calls.isEmpty());
    compareEntry(info, before);
}

void TestParseDir::yearInference_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<QDateTime>("expected");

    // New Year's night: last evening's entry is dated last year.
    QTest::newRow("new-year-yesterday")
        << at(2027, 1, 1, 0, 30) << QByteArray("Dec 31 23:59") << at(2026, 12, 31, 23, 59);
    QTest::newRow("new-year-today")
        << at(2027, 1, 1, 0, 30) << QByteArray("Jan 01 00:10") << at(2027, 1, 1, 0, 10);
    QTest::newRow("new-year-eve-early-january")
        << at(2026, 12, 31, 23, 0) << QByteArray("Jan 01 00:10") << at(2026, 1, 1, 0, 10);
    // Servers in a time zone ahead of ours may list times up to a day ahead.
    QTest::newRow("new-year-eve-server-ahead")
        << at(2026, 12, 31, 23, 0) << QByteArray("Jan 01 09:00") << at(2026, 1, 1, 9, 0);
    QTest::newRow("new-year-day-ahead-tomorrow")
        << at(2027, 1, 1, 0, 0) << QByteArray("Jan 02 00:00") << at(2027, 1, 2, 0, 0);
    QTest::newRow("new-year-day-ahead-a-minute-more")
        << at(2027, 1, 1, 0, 0) << QByteArray("Jan 02 00:01") << at(2026, 1, 2, 0, 1);
    QTest::newRow("margin-exactly-one-day")
        << midYear << QByteArray("Jun 16 12:00") << at(2026, 6, 16, 12, 0);
    QTest::newRow("margin-one-day-and-a-minute")
        << midYear << QByteArray("Jun 16 12:01") << at(2025, 6, 16, 12, 1);
    QTest::newRow("margin-just-inside")
        << midYear << QByteArray("Jun 16 11:59") << at(2026, 6, 16, 11, 59);
    QTest::newRow("earlier-this-year")
        << midYear << QByteArray("Feb 03 04:05") << at(2026, 2, 3, 4, 5);
    QTest::newRow("later-this-year")
        << midYear << QByteArray("Nov 21 09:41") << at(2025, 11, 21, 9, 41);
    QTest::newRow("space-padded-day")
        << midYear << QByteArray("Jan  7 09:41") << at(2026, 1, 7, 9, 41);
    QTest::newRow("leap-day-in-leap-year")
        << at(2028, 3, 10) << QByteArray("Feb 29 10:00") << at(2028, 2, 29, 10, 0);
    // The day does not exist in the year the rule picks: no date rather than a wrong one.
    QTest::newRow("leap-day-in-common-year")
        << at(2027, 3, 10) << QByteArray("Feb 29 10:00") << QDateTime();
    QTest::newRow("leap-day-ahead-of-leap-year")
        << at(2028, 1, 10) << QByteArray("Feb 29 10:00") << QDateTime();
    QTest::newRow("year-shown-is-kept")
        << at(2027, 1, 1) << QByteArray("Dec 31  2030") << at(2030, 12, 31);
}

void TestParseDir::yearInference()
{
    QFETCH(QDateTime, now);
    QFETCH(QByteArray, date);
    QFETCH(QDateTime, expected);

    QUrlInfo info;
    QVERIFY(qftpParseDir("-rw-r--r-- 1 u g 5 " + date + " a\r\n", QString(), &info, now));
    QCOMPARE(info.lastModified(), expected);
    QCOMPARE(info.name(), QStringLiteral("a"));
}

// The parser reads dates by hand for speed; it must accept and yield what
// QLocale::toDateTime does with the six Unix formats under the C locale,
// including that parser's quirks (any letter case in month names, a plus
// sign in a numeric field), over a corpus of near misses.
void TestParseDir::unixDatesReadAsLocaleParserDoes()
{
    const QLocale c(QLocale::C);
    const struct
    {
        const char *format;
        bool hasYear;
    } formats[] = {{"MMM dd  yyyy", true}, {"MMM dd hh:mm", false}, {"MMM  d  yyyy", true},
        {"MMM  d hh:mm", false}, {"MMM  d yyyy", true}, {"MMM dd yyyy", true}};
    const QDateTime now = at(2028, 6, 15, 12, 0); // a leap year

    const QStringList months = {"Jan", "Feb", "Dec", "jan", "dEC", "Janu", "Ja", "Sept"};
    const QStringList separators = {" ", "  ", "   ", "\t", QString(QChar(0xa0))};
    const QStringList days = {"0", "00", "1", "01", "7", "07", "+1", "-1", "+", "29", "30", "31",
        "32", "001", "1+", "+01"};
    const QStringList lasts = {"2014", "0000", "0001", "+014", "-014", "214", "12345", "+2014",
        "9999", "09:41", "+9:41", "09:+4", "23:59", "24:00", "12:60", "9:41", "09:4", "009:41",
        "09:41:00", "+:41", "-9:41"};
    int accepted = 0;
    for (const QString &month : months)
        for (const QString &sep1 : separators)
            for (const QString &day : days)
                for (const QString &sep2 : separators.mid(0, 4))
                    for (const QString &last : lasts) {
                        QString text = month + sep1 + day + sep2 + last;
                        QUrlInfo info;
                        QVERIFY(qftpParseDir(
                            "-rw-r--r-- 1 u g 5 " + text.toLatin1() + " a", QString(), &info, now));
                        text[0] = text.at(0).toUpper();
                        QDateTime expected;
                        bool hasYear = true;
                        bool leapDay = false;
                        for (const auto &f : formats) {
                            expected = c.toDateTime(text, QLatin1String(f.format));
                            hasYear = f.hasYear;
                            if (!expected.isValid() && !hasYear) {
                                // Without a year the locale parser assumes 1900, which
                                // has no 29 February; the parser here knows better.
                                expected = c.toDateTime(
                                    "2000 " + text, "yyyy " + QLatin1String(f.format));
                                leapDay = expected.isValid();
                            }
                            if (expected.isValid())
                                break;
                        }
                        const QDateTime actual = info.lastModified();
                        if (leapDay) {
                            QCOMPARE(actual, QDateTime(QDate(2028, 2, 29), expected.time()));
                            continue;
                        }
                        QVERIFY2(actual.isValid() == expected.isValid(), qPrintable(text));
                        if (!expected.isValid())
                            continue;
                        ++accepted;
                        if (hasYear) {
                            QCOMPARE(actual, expected);
                        } else {
                            QCOMPARE(actual.date().month(), expected.date().month());
                            QCOMPARE(actual.date().day(), expected.date().day());
                            QCOMPARE(actual.time(), expected.time());
                        }
                    }
    QVERIFY(accepted > 100);
}

// Likewise for the DOS format, with its century rule applied to the result.
void TestParseDir::dosDatesReadAsLocaleParserDoes()
{
    const QLocale c(QLocale::C);
    int accepted = 0;
    for (const char *month : {"00", "01", "02", "12", "13"})
        for (const char *day : {"00", "01", "28", "29", "30", "31", "32"})
            for (const char *year : {"00", "01", "04", "70", "71", "99"})
                for (int hour = 0; hour <= 13; ++hour)
                    for (const char *minute : {"00", "59", "60"})
                        for (const char *ap : {"AM", "PM"}) {
                            const QString text = QString::asprintf(
                                "%s-%s-%s  %02d:%s%s", month, day, year, hour, minute, ap);
                            QUrlInfo info;
                            QVERIFY(
                                qftpParseDir(text.toLatin1() + "  5 a", QString(), &info, midYear));
                            QDateTime expected = c.toDateTime(text, "MM-dd-yy  hh:mmAP");
                            if (expected.isValid() && expected.date().year() <= 1970)
                                expected = expected.addYears(100);
                            if (text.startsWith("02-29-00")) {
                                // 1900 has no 29 February, but 2000 has.
                                expected = c.toDateTime(
                                    "02-29-2000" + text.mid(8), "MM-dd-yyyy  hh:mmAP");
                            }
                            QCOMPARE(info.lastModified(), expected);
                            accepted += expected.isValid();
                        }
    QVERIFY(accepted > 100);
}

void TestParseDir::ownerGrantsAccess_data()
{
    QTest::addColumn<QString>("userName");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<bool>("writable");

    QTest::newRow("owner") << "upd" << true << true;
    QTest::newRow("case-differs") << "Upd" << false << false;
    QTest::newRow("empty-user") << "" << false << false;
    QTest::newRow("other-user") << "root" << false << false;
}

void TestParseDir::ownerGrantsAccess()
{
    QFETCH(QString, userName);
    QFETCH(bool, readable);
    QFETCH(bool, writable);

    QUrlInfo info;
    QVERIFY(qftpParseDir("-rw-rw---- 1 upd upd 5 Mar 05  2014 a", userName, &info, midYear));
    QCOMPARE(info.isReadable(), readable);
    QCOMPARE(info.isWritable(), writable);
}

void TestParseDir::setterOrder()
{
    RecordingInfo unixInfo;
    QVERIFY(QFtpDTP::parseDir(
        "lrwxrwxrwx 1 u g 7 Jan 07  2013 latest -> app.zip", QString(), &unixInfo));
    QCOMPARE(unixInfo.calls,
        QStringList({"dir", "file", "symlink", "name", "owner", "group", "size", "lastModified",
            "permissions", "readable", "writable"}));

    RecordingInfo noDate;
    QVERIFY(QFtpDTP::parseDir("-rw-r--r-- 1 u g 7 Foo 07  2013 a", QString(), &noDate));
    QVERIFY(!noDate.calls.contains("lastModified"));

    RecordingInfo dosFile;
    QVERIFY(QFtpDTP::parseDir("07-01-98  11:00AM  2048 update.exe", QString(), &dosFile));
    QCOMPARE(dosFile.calls,
        QStringList({"name", "symlink", "file", "dir", "size", "permissions", "readable",
            "writable", "lastModified"}));

    // The date is stored even when it is invalid.
    RecordingInfo dosDir;
    QVERIFY(QFtpDTP::parseDir("07-01-1998  11:00AM  <DIR> Bin", QString(), &dosDir));
    QCOMPARE(dosDir.calls,
        QStringList({"name", "symlink", "file", "dir", "permissions", "readable", "writable",
            "lastModified"}));
}

void TestParseDir::veryLongLines()
{
    const QByteArray longName(1 << 20, 'x');
    QUrlInfo info;
    QVERIFY(QFtpDTP::parseDir(
        "-rw-r--r-- 1 u g 5 Mar 05  2014 " + longName + "\r\n", QString(), &info));
    QCOMPARE(info.name().size(), longName.size());

    QUrlInfo dos;
    QVERIFY(QFtpDTP::parseDir("07-01-98  11:00AM  5 " + longName, QString(), &dos));
    QCOMPARE(dos.name().size(), longName.size());

    // Long runs that almost match must not make the matcher blow up.
    QByteArray words("-rwxrwxrwx 1 ");
    for (int i = 0; i < 100000; ++i)
        words += "a ";
    QUrlInfo rejected;
    QVERIFY(!QFtpDTP::parseDir(words, QString(), &rejected));
    QVERIFY(!QFtpDTP::parseDir(QByteArray(1 << 20, ' ') + "x", QString(), &rejected));
    QVERIFY(!QFtpDTP::parseDir(QByteArray(1 << 20, '1'), QString(), &rejected));
    QVERIFY(!rejected.isValid());
}

void TestParseDir::capturedListing_data()
{
    QTest::addColumn<QString>("listing");
    QTest::addColumn<bool>("numericIds"); // owner and group shown as numbers
    QTest::newRow("pyftpdlib") << "pyftpdlib.list" << false;
    QTest::newRow("vsftpd") << "vsftpd.list" << true;
    QTest::newRow("gnu-ls") << "ls.list" << false;
}

// Listings captured by tests/data/listings/capture.py from a folder whose
// entries are described in files.tsv; every line must parse to the entry
// the file on disk was.
void TestParseDir::capturedListing()
{
    QFETCH(QString, listing);
    QFETCH(bool, numericIds);
    const QString dir = QStringLiteral(TESTDATA_DIR "/listings/");

    QFile table(dir + "files.tsv");
    QVERIFY(table.open(QIODevice::ReadOnly | QIODevice::Text));
    QDateTime captured;
    QHash<QString, QUrlInfo> expected;
    QSet<QString> notListable;
    while (!table.atEnd()) {
        const QStringList f = QString::fromUtf8(table.readLine()).chopped(1).split('\t');
        if (f.at(0) == "# captured")
            captured = QDateTime::fromString(f.at(1), Qt::ISODate);
        if (f.at(0).startsWith('#'))
            continue;
        QCOMPARE(f.size(), 10);
        const QString &name = f[0], &kind = f[1];
        if (kind == "other") {
            notListable << name;
            continue;
        }
        const int bits = f[2].toInt(nullptr, 8);
        QDateTime mtime = QDateTime::fromString(f[4], Qt::ISODate);
        // Entries older than about half a year are shown with their year, not the time.
        if (mtime.daysTo(captured) > 180)
            mtime = QDateTime(mtime.date(), QTime(0, 0));
        // The set-user-id, set-group-id and sticky letters (s, t) replace an x.
        int perms = bits & 0777;
        if (bits & 04000)
            perms &= ~QUrlInfo::ExeOwner;
        if (bits & 02000)
            perms &= ~QUrlInfo::ExeGroup;
        if (bits & 01000)
            perms &= ~QUrlInfo::ExeOther;
        expected.insert(name,
            entry(name, perms, f[numericIds ? 8 : 5], f[numericIds ? 9 : 6], f[3].toLongLong(),
                mtime, kind != "file", kind == "file", kind == "link", perms & QUrlInfo::WriteOther,
                perms & QUrlInfo::ReadOther));
    }
    QVERIFY(captured.isValid());
    QVERIFY(expected.size() >= 10);

    QFile file(dir + listing);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QSet<QString> seen;
    int rejected = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(); // as received, with its end of line
        QUrlInfo info;
        if (!qftpParseDir(line, QString(), &info, captured)) {
            ++rejected;
            // Only the total header and the FIFO, which is neither file nor directory.
            QVERIFY2(line.startsWith("total ") || line.startsWith('p'), line.constData());
            continue;
        }
        QVERIFY2(expected.contains(info.name()), qPrintable(info.name()));
        compareEntry(info, expected.value(info.name()));
        seen << info.name();
    }
    QCOMPARE(seen.size(), expected.size());
    QVERIFY(rejected >= notListable.size());
}

QTEST_GUILESS_MAIN(TestParseDir)
#include "tst_parsedir.moc"
