#include "qurlinfo.h"

#include <QUrl>
#include <QtTest>

// QUrlInfo: the validity rule, deep copies, field-by-field equality and the
// three static comparisons.
class TestQUrlInfo : public QObject
{
    Q_OBJECT

private slots:
    void invalidEntryReadsEmpty();
    void firstSetterCreatesInitialRecord_data();
    void firstSetterCreatesInitialRecord();
    void valueConstructorStoresEveryField();
    void urlConstructorTakesLastPathComponent_data();
    void urlConstructorTakesLastPathComponent();
    void copyIsIndependent();
    void assignmentTransitions();
    void equalityOnEachField_data();
    void equalityOnEachField();
    void equalityAndValidity();
    void comparisons_data();
    void comparisons();
};

namespace {
const QDateTime t1(QDate(2014, 3, 5), QTime(10, 0));
const QDateTime t2(QDate(2015, 1, 1), QTime(0, 0));

QUrlInfo fullEntry()
{
    return QUrlInfo(QStringLiteral("app.zip"), 0644, QStringLiteral("upd"), QStringLiteral("grp"),
        1048576, t1, t2, false, true, false, true, true, false);
}

using Mutator = void (*)(QUrlInfo &);
} // namespace

Q_DECLARE_METATYPE(Mutator)
// Only for the data tables; the program itself never registers the type.
Q_DECLARE_METATYPE(QUrlInfo)

void TestQUrlInfo::invalidEntryReadsEmpty()
{
    const QUrlInfo e;
    QVERIFY(!e.isValid());
    QVERIFY(e.name().isEmpty());
    QVERIFY(e.owner().isEmpty());
    QVERIFY(e.group().isEmpty());
    QCOMPARE(e.permissions(), 0);
    QCOMPARE(e.size(), qint64(0));
    QVERIFY(!e.lastModified().isValid());
    QVERIFY(!e.lastRead().isValid());
    // Unlike a fresh record, an invalid entry is neither a file nor accessible.
    QVERIFY(!e.isDir());
    QVERIFY(!e.isFile());
    QVERIFY(!e.isSymLink());
    QVERIFY(!e.isWritable());
    QVERIFY(!e.isReadable());
    QVERIFY(!e.isExecutable());
}

// Each row calls one setter on an invalid entry; the entry must then hold the
// initial record with only that one field changed.
void TestQUrlInfo::firstSetterCreatesInitialRecord_data()
{
    QTest::addColumn<Mutator>("mutate");
    QTest::addColumn<QUrlInfo>("expected");

    const auto initial = [] {
        return QUrlInfo(QString(), 0, QString(), QString(), 0, QDateTime(), QDateTime(), false,
            true, false, true, true, false);
    };
    QUrlInfo e;

    e = initial();
    e.setSize(5);
    QTest::newRow("setSize") << Mutator([](QUrlInfo &i) { i.setSize(5); }) << e;
    e = initial();
    e.setName("n");
    QTest::newRow("setName") << Mutator([](QUrlInfo &i) { i.setName("n"); }) << e;
    e = initial();
    e.setDir(true);
    QTest::newRow("setDir") << Mutator([](QUrlInfo &i) { i.setDir(true); }) << e;
    e = initial();
    e.setFile(false);
    QTest::newRow("setFile") << Mutator([](QUrlInfo &i) { i.setFile(false); }) << e;
    e = initial();
    e.setSymLink(true);
    QTest::newRow("setSymLink") << Mutator([](QUrlInfo &i) { i.setSymLink(true); }) << e;
    e = initial();
    e.setOwner("o");
    QTest::newRow("setOwner") << Mutator([](QUrlInfo &i) { i.setOwner("o"); }) << e;
    e = initial();
    e.setGroup("g");
    QTest::newRow("setGroup") << Mutator([](QUrlInfo &i) { i.setGroup("g"); }) << e;
    e = initial();
    e.setWritable(false);
    QTest::newRow("setWritable") << Mutator([](QUrlInfo &i) { i.setWritable(false); }) << e;
    e = initial();
    e.setReadable(false);
    QTest::newRow("setReadable") << Mutator([](QUrlInfo &i) { i.setReadable(false); }) << e;
    e = initial();
    e.setPermissions(0755);
    QTest::newRow("setPermissions") << Mutator([](QUrlInfo &i) { i.setPermissions(0755); }) << e;
    e = initial();
    e.setLastModified(t1);
    QTest::newRow("setLastModified") << Mutator([](QUrlInfo &i) { i.setLastModified(t1); }) << e;
    e = initial();
    e.setLastRead(t2);
    QTest::newRow("setLastRead") << Mutator([](QUrlInfo &i) { i.setLastRead(t2); }) << e;
}

void TestQUrlInfo::firstSetterCreatesInitialRecord()
{
    QFETCH(Mutator, mutate);
    QFETCH(QUrlInfo, expected);

    QUrlInfo e;
    mutate(e);
    QVERIFY(e.isValid());
    QVERIFY(e == expected);
}

void TestQUrlInfo::valueConstructorStoresEveryField()
{
    // setSize alone shows the initial record through the accessors.
    QUrlInfo s;
    s.setSize(5);
    QVERIFY(s.isValid());
    QVERIFY(s.isFile() && s.isReadable() && s.isWritable());
    QVERIFY(!s.isDir() && !s.isSymLink() && !s.isExecutable());
    QCOMPARE(s.permissions(), 0);
    QVERIFY(s.name().isEmpty());
    QVERIFY(!s.lastModified().isValid() && !s.lastRead().isValid());

    const QUrlInfo e(QStringLiteral("n"), 0751, QStringLiteral("o"), QStringLiteral("g"), -7, t1,
        t2, true, false, true, false, false, true);
    QCOMPARE(e.name(), QStringLiteral("n"));
    QCOMPARE(e.permissions(), 0751);
    QCOMPARE(e.owner(), QStringLiteral("o"));
    QCOMPARE(e.group(), QStringLiteral("g"));
    QCOMPARE(e.size(), qint64(-7));
    QCOMPARE(e.lastModified(), t1);
    QCOMPARE(e.lastRead(), t2);
    QVERIFY(e.isDir() && !e.isFile() && e.isSymLink());
    QVERIFY(!e.isWritable() && !e.isReadable() && e.isExecutable());
}

void TestQUrlInfo::urlConstructorTakesLastPathComponent_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("name");
    QTest::newRow("file") << QUrl("ftp://h/pub/dir/file.txt") << "file.txt";
    QTest::newRow("trailing-slash") << QUrl("ftp://h/pub/dir/") << "";
    QTest::newRow("decoded") << QUrl("ftp://h/pub/my%20file%3F.txt") << "my file?.txt";
    QTest::newRow("no-path") << QUrl("ftp://h") << "";
}

void TestQUrlInfo::urlConstructorTakesLastPathComponent()
{
    QFETCH(QUrl, url);
    QFETCH(QString, name);
    const QUrlInfo e(url, 0644, "o", "g", 3, t1, t2, false, true, false, true, true, true);
    QVERIFY(e.isValid());
    QCOMPARE(e.name(), name);
    QCOMPARE(e.permissions(), 0644);
    QVERIFY(e.isExecutable());
}

void TestQUrlInfo::copyIsIndependent()
{
    QUrlInfo a = fullEntry();
    QUrlInfo copied(a);
    copied.setName("other");
    copied.setSize(1);
    QCOMPARE(a.name(), QStringLiteral("app.zip"));
    QCOMPARE(a.size(), qint64(1048576));

    QUrlInfo assigned;
    assigned = a;
    assigned.setOwner("x");
    QCOMPARE(a.owner(), QStringLiteral("upd"));
    QVERIFY(a == fullEntry());

    // And the other way round: changing the original leaves the copies alone.
    a.setGroup("changed");
    QCOMPARE(copied.group(), QStringLiteral("grp"));
    QCOMPARE(assigned.group(), QStringLiteral("grp"));
}

void TestQUrlInfo::assignmentTransitions()
{
    QUrlInfo valid = fullEntry();
    const QUrlInfo invalid;

    QUrlInfo fromInvalid(invalid);
    QVERIFY(!fromInvalid.isValid());

    valid = invalid; // valid -> invalid
    QVERIFY(!valid.isValid());
    QVERIFY(!valid.isFile());

    valid = fullEntry(); // invalid -> valid
    QVERIFY(valid.isValid());
    QVERIFY(valid == fullEntry());

    QUrlInfo other(QStringLiteral("b"), 0, QString(), QString(), 0, QDateTime(), QDateTime(), true,
        false, false, false, false, true);
    other = valid; // valid -> valid overwrites every field
    QVERIFY(other == fullEntry());

    QUrlInfo &self = other;
    other = self;
    QVERIFY(other == fullEntry());
}

void TestQUrlInfo::equalityOnEachField_data()
{
    QTest::addColumn<Mutator>("mutate");
    QTest::newRow("name") << Mutator([](QUrlInfo &i) { i.setName("App.zip"); });
    QTest::newRow("permissions") << Mutator([](QUrlInfo &i) { i.setPermissions(0645); });
    QTest::newRow("owner") << Mutator([](QUrlInfo &i) { i.setOwner("Upd"); });
    QTest::newRow("group") << Mutator([](QUrlInfo &i) { i.setGroup("grp2"); });
    QTest::newRow("size") << Mutator([](QUrlInfo &i) { i.setSize(1048577); });
    QTest::newRow("lastModified") << Mutator([](QUrlInfo &i) { i.setLastModified(t1.addSecs(1)); });
    QTest::newRow("lastRead") << Mutator([](QUrlInfo &i) { i.setLastRead(QDateTime()); });
    QTest::newRow("isDir") << Mutator([](QUrlInfo &i) { i.setDir(true); });
    QTest::newRow("isFile") << Mutator([](QUrlInfo &i) { i.setFile(false); });
    QTest::newRow("isSymLink") << Mutator([](QUrlInfo &i) { i.setSymLink(true); });
    QTest::newRow("isWritable") << Mutator([](QUrlInfo &i) { i.setWritable(false); });
    QTest::newRow("isReadable") << Mutator([](QUrlInfo &i) { i.setReadable(false); });
    QTest::newRow("isExecutable") << Mutator([](QUrlInfo &i) {
        // No setter: only the value constructors and copies carry it.
        i = QUrlInfo(i.name(), i.permissions(), i.owner(), i.group(), i.size(), i.lastModified(),
            i.lastRead(), i.isDir(), i.isFile(), i.isSymLink(), i.isWritable(), i.isReadable(),
            !i.isExecutable());
    });
}

void TestQUrlInfo::equalityOnEachField()
{
    QFETCH(Mutator, mutate);
    const QUrlInfo a = fullEntry();
    QUrlInfo b = fullEntry();
    QVERIFY(a == b);
    mutate(b);
    QVERIFY(!(a == b));
    QVERIFY(!(b == a));
    QVERIFY(a != b);
}

void TestQUrlInfo::equalityAndValidity()
{
    QVERIFY(QUrlInfo() == QUrlInfo());
    QUrlInfo initialOnly;
    initialOnly.setName(QString()); // valid, but holds only initial values
    QVERIFY(initialOnly.isValid());
    QVERIFY(!(initialOnly == QUrlInfo()));
    QVERIFY(!(QUrlInfo() == initialOnly));
}

void TestQUrlInfo::comparisons_data()
{
    QTest::addColumn<QUrlInfo>("a");
    QTest::addColumn<QUrlInfo>("b");
    QTest::addColumn<int>("sortBy");
    QTest::addColumn<bool>("greater");
    QTest::addColumn<bool>("equal");

    const auto entry = [](const QString &name, qint64 size, const QDateTime &modified) {
        QUrlInfo e;
        e.setName(name);
        e.setSize(size);
        e.setLastModified(modified);
        return e;
    };
    const QUrlInfo small = entry("b", 10, t1);
    const QUrlInfo big = entry("a", 20, t2);

    QTest::newRow("name-greater") << small << big << 0 << true << false;
    QTest::newRow("name-smaller") << big << small << 0 << false << false;
    QTest::newRow("name-equal") << small << entry("b", 99, t2) << 0 << false << true;
    QTest::newRow("name-case-sensitive")
        << entry("a", 0, t1) << entry("B", 0, t1) << 0 << true << false;
    QTest::newRow("time-later") << big << small << 1 << true << false;
    QTest::newRow("time-earlier") << small << big << 1 << false << false;
    QTest::newRow("time-equal") << small << entry("z", 0, t1) << 1 << false << true;
    QTest::newRow("size-greater") << big << small << 2 << true << false;
    QTest::newRow("size-equal") << small << entry("z", 10, t2) << 2 << false << true;
    QTest::newRow("size-signed") << entry("a", 0, t1) << entry("a", -1, t1) << 2 << true << false;
    QTest::newRow("size-invalid-vs-zero") << QUrlInfo() << entry("a", 0, t1) << 2 << false << true;
    QTest::newRow("name-invalid-vs-empty") << QUrlInfo() << entry("", 0, t1) << 0 << false << true;
    QTest::newRow("sortBy-3") << big << small << 3 << false << false;
    QTest::newRow("sortBy-negative") << small << small << -1 << false << false;
}

void TestQUrlInfo::comparisons()
{
    QFETCH(QUrlInfo, a);
    QFETCH(QUrlInfo, b);
    QFETCH(int, sortBy);
    QFETCH(bool, greater);
    QFETCH(bool, equal);

    QCOMPARE(QUrlInfo::greaterThan(a, b, sortBy), greater);
    // lessThan is not a strict ordering: equal keys and unknown criteria give true.
    QCOMPARE(QUrlInfo::lessThan(a, b, sortBy), !greater);
    QCOMPARE(QUrlInfo::equal(a, b, sortBy), equal);
}

QTEST_GUILESS_MAIN(TestQUrlInfo)
#include "tst_qurlinfo.moc"
