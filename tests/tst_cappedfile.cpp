// The capped download target: what a size announced ahead admits, what
// writes past the cap leave on disk, and the one line that says why.
#include "bytepattern.h"
#include "cappedfile.h"
#include "files.h"

#include <QTemporaryDir>
#include <QTest>

class TestCappedFile : public QObject
{
    Q_OBJECT

private slots:
    void capped_data()
    {
        QTest::addColumn<int>("already"); // bytes there before, written on (a resume)
        QTest::addColumn<qint64>("announced"); // negative: nothing announced
        QTest::addColumn<QList<int>>("writes"); // piece sizes, in order
        QTest::addColumn<int>("kept"); // bytes on disk at the end
        QTest::addColumn<QString>("excess"); // empty: not exceeded
        const qint64 unknown = -1;
        QTest::newRow("nothing-announced-to-the-cap")
            << 0 << unknown << QList<int> {60, 40} << 100 << "";
        QTest::newRow("announced-exactly-the-cap") << 0 << 100ll << QList<int> {100} << 100 << "";
        QTest::newRow("announced-zero") << 0 << 0ll << QList<int> {10} << 10 << "";
        QTest::newRow("announced-one-byte-over")
            << 0 << 101ll << QList<int> {} << 0 << "announces 101 bytes, more than 100";
        // The piece that would pass the cap is not written at all, nor any after it.
        QTest::newRow("arrives-one-byte-over")
            << 0 << unknown << QList<int> {60, 41, 1} << 60 << "holds more than 100 bytes";
        QTest::newRow("first-piece-over")
            << 0 << 50ll << QList<int> {101} << 0 << "holds more than 100 bytes";
        // The bytes already there count: the cap is from the file's start.
        QTest::newRow("resumed-to-the-cap") << 70 << 30ll << QList<int> {30} << 100 << "";
        QTest::newRow("resumed-past-the-cap")
            << 70 << unknown << QList<int> {20, 11} << 90 << "holds more than 100 bytes";
    }
    void capped()
    {
        QFETCH(int, already);
        QFETCH(qint64, announced);
        QFETCH(QList<int>, writes);
        QFETCH(int, kept);
        QFETCH(QString, excess);
        const qint64 cap = 100;
        QTemporaryDir dir;
        const QString path = dir.filePath("version.ver");
        QVERIFY(writeFile(path, pattern(already)));
        CappedFile file(path, cap);
        QCOMPARE(file.cap(), cap);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
        const bool admitted = file.admits(announced);
        QCOMPARE(admitted, announced <= cap);
        int seed = 1;
        for (const int size : writes) {
            const bool written = file.write(pattern(size, seed++)) == size && file.flush();
            if (!written)
                QCOMPARE(file.errorString(), excess);
        }
        file.close();
        QCOMPARE(file.exceeded(), !excess.isEmpty());
        QCOMPARE(file.excess(), excess);
        QCOMPARE(QFileInfo(path).size(), qint64(kept));
        // Once exceeded, nothing more is admitted, not even a small size.
        QCOMPARE(file.admits(1), excess.isEmpty());
        QCOMPARE(file.excess(), excess);
    }

    // One file for one download after another: a new cap starts clean.
    void setCap()
    {
        QTemporaryDir dir;
        CappedFile file(dir.filePath("release.json"), 10);
        QVERIFY(!file.admits(11));
        QVERIFY(file.exceeded());
        file.setCap(20);
        QCOMPARE(file.cap(), qint64(20));
        QVERIFY(!file.exceeded());
        QVERIFY(file.excess().isEmpty());
        QVERIFY(file.admits(11));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(pattern(20)), qint64(20));
        QVERIFY(file.flush());
        QVERIFY(!file.exceeded());
    }
};

QTEST_GUILESS_MAIN(TestCappedFile)
#include "tst_cappedfile.moc"
