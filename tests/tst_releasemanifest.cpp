// The release manifest's format: the rollout bucket against BLAKE2b-256
// computed elsewhere (Python's hashlib), the share it offers over many
// installations, the fields a manifest is refused for, and which notes
// render at once. Its judgement is tst_manifestcheck's.
#include "notesview.h"
#include "releasemanifest.h"

#include <QRandomGenerator>
#include <QtTest>

class TestReleaseManifest : public QObject
{
    Q_OBJECT

private slots:
    void bucket_data();
    void bucket();
    void share_data();
    void share();
    void fields_data();
    void fields();
    void notesRendered_data();
    void notesRendered();
};

void TestReleaseManifest::bucket_data()
{
    QTest::addColumn<QByteArray>("id"); // hex
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("bucket");
    const auto row = [](const char *id, const QString &version, int bucket) {
        QTest::addRow("%s-%s", id, qPrintable(version)) << QByteArray(id) << version << bucket;
    };
    row("00000000000000000000000000000000", "1.1", 39);
    row("00000000000000000000000000000000", "2.0-beta", 6);
    row("ffffffffffffffffffffffffffffffff", "1.1", 96);
    row("ffffffffffffffffffffffffffffffff", "2.0-beta", 34);
    row("000102030405060708090a0b0c0d0e0f", "1.1", 72);
    row("0123456789abcdef0123456789abcdef", "2.0-beta", 80);
    row("8f3c1a2b4d5e6f708192a3b4c5d6e7f8", "1.1", 19);
    // The version's UTF-8 bytes, not Latin-1 or UTF-16.
    row("00112233445566778899aabbccddeeff", QStringLiteral("3.0-\u00e9"), 52);
    row("00112233445566778899aabbccddeeff", "3.0", 95);
    // An id that is not 16 bytes has no bucket, and is offered nothing.
    row("0011223344556677", "1.1", -1);
}

void TestReleaseManifest::bucket()
{
    QFETCH(QByteArray, id);
    QFETCH(QString, version);
    QFETCH(int, bucket);
    QCOMPARE(ReleaseManifest::bucket(QByteArray::fromHex(id), version), bucket);
    ReleaseManifest manifest;
    manifest.version = version;
    manifest.rollout = 100;
    QCOMPARE(manifest.offeredTo(QByteArray::fromHex(id)), bucket >= 0);
    manifest.rollout = bucket;
    QCOMPARE(manifest.offeredTo(QByteArray::fromHex(id)), false);
}

void TestReleaseManifest::share_data()
{
    QTest::addColumn<int>("rollout");
    QTest::newRow("10-percent") << 10;
    QTest::newRow("50-percent") << 50;
}

void TestReleaseManifest::share()
{
    QFETCH(int, rollout);
    ReleaseManifest manifest;
    manifest.version = QStringLiteral("1.1");
    manifest.rollout = rollout;
    QRandomGenerator generator(20261207);
    const int installations = 10000;
    int offered = 0;
    for (int i = 0; i < installations; ++i) {
        QByteArray id(16, Qt::Uninitialized);
        generator.fillRange(reinterpret_cast<quint32 *>(id.data()), 4);
        offered += manifest.offeredTo(id);
    }
    const double percent = 100.0 * offered / installations;
    QVERIFY2(qAbs(percent - rollout) <= 2.0, qPrintable(QString::number(percent)));
}

void TestReleaseManifest::fields_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    const QByteArray hash(128, 'a');
    const QByteArray archive
        = "\"archive\":{\"name\":\"app.zip\",\"size\":1000,\"blake2b\":\"" + hash + "\"}";
    const QByteArray base = "\"version\":\"1.1\",\"product\":\"My Demo\",\"folder\":\"demo_mac\","
                            "\"signed\":1000,\"expires\":2000,"
        + archive;
    QTest::newRow("complete") << "{" + base + ",\"rollout\":10,\"notes\":\"# New\",\"more\":1}"
                              << "";
    QTest::newRow("rollout-defaults-to-all") << "{" + base + "}"
                                             << "";
    QTest::newRow("not-json") << QByteArray("{\"version\":") << "not JSON";
    QTest::newRow("array") << QByteArray("[]") << "not a JSON object";
    QTest::newRow("no-version") << "{\"signed\":1000,\"expires\":2000," + archive + "}"
                                << "no \"version\"";
    QTest::newRow("version-of-1024-nines") << "{\"version\":\"" + QByteArray(1024, '9')
            + "\",\"signed\":1000,\"expires\":2000," + archive + "}"
                                           << "\"version\" is not a version";
    QTest::newRow("unbound") << "{\"version\":\"1.1\",\"signed\":1000,\"expires\":2000," + archive
            + "}"
                             << "no \"product\" and \"folder\"";
    QTest::newRow("huge-size")
        << QByteArray(base).replace("\"size\":1000", "\"size\":31e19").prepend('{') + "}"
        << "no whole number \"archive\" \"size\"";
    QTest::newRow("fractional-signed") << "{\"version\":\"1.1\",\"product\":\"P\",\"folder\":\"f\","
                                          "\"signed\":1000.5,\"expires\":2000,"
            + archive + "}"
                                       << "no whole number \"signed\"";
    QTest::newRow("upper-case-hash") << "{\"version\":\"1.1\",\"product\":\"P\",\"folder\":\"f\","
                                        "\"signed\":1000,\"expires\":2000,"
                                        "\"archive\":{\"name\":"
                                        "\"app.zip\",\"size\":1000,\"blake2b\":\""
            + QByteArray(128, 'A') + "\"}}"
                                     << "\"archive\" \"blake2b\" is not 128 lower-case hex digits";
    QTest::newRow("negative-size") << "{\"version\":\"1.1\",\"product\":\"P\",\"folder\":\"f\","
                                      "\"signed\":1000,\"expires\":2000,"
                                      "\"archive\":{\"name\":"
                                      "\"app.zip\",\"size\":-1,\"blake2b\":\""
            + hash + "\"}}"
                                   << "no whole number \"archive\" \"size\"";
    QTest::newRow("rollout-above-100") << "{" + base + ",\"rollout\":101}"
                                       << "\"rollout\" is not a whole number from 0 to 100";
    // A release on trial: its application confirms a start within N launches.
    QTest::newRow("on-trial") << "{" + base + ",\"confirm\":10}"
                              << "";
    QTest::newRow("confirm-above-10") << "{" + base + ",\"confirm\":11}"
                                      << "\"confirm\" is not a whole number from 0 to 10";
    QTest::newRow("confirm-not-a-number") << "{" + base + ",\"confirm\":\"3\"}"
                                          << "\"confirm\" is not a whole number from 0 to 10";
    // Critical: kept through a re-signing, which writes the parsed manifest.
    QTest::newRow("critical") << "{" + base + ",\"critical\":true}"
                              << "";
    QTest::newRow("critical-not-a-flag") << "{" + base + ",\"critical\":\"yes\"}"
                                         << "\"critical\" is not true or false";
    // Downloaded behind the application; a delivery not known here asks.
    QTest::newRow("background") << "{" + base + ",\"delivery\":\"background\"}"
                                << "";
    QTest::newRow("delivery-ask") << "{" + base + ",\"delivery\":\"ask\"}"
                                  << "";
    QTest::newRow("delivery-unknown-asks") << "{" + base + ",\"delivery\":\"silent\"}"
                                           << "";
    QTest::newRow("delivery-not-a-string") << "{" + base + ",\"delivery\":1}"
                                           << "\"delivery\" is not a string";
    QTest::newRow("notes-too-long")
        << "{" + base + ",\"notes\":\"" + QByteArray(64 * 1024 + 1, 'x') + "\"}"
        << "the notes are longer than 65536 bytes";
}

void TestReleaseManifest::fields()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, refusal);
    ReleaseManifest manifest;
    QString reason;
    QCOMPARE(ReleaseManifest::parse(json, &manifest, &reason), refusal.isEmpty());
    if (!refusal.isEmpty()) {
        QVERIFY2(reason.startsWith(refusal), qPrintable(reason));
        return;
    }
    // What is written reads back the same.
    ReleaseManifest again;
    QVERIFY(ReleaseManifest::parse(manifest.toJson(), &again, &reason));
    QCOMPARE(again.toJson(), manifest.toJson());
    QCOMPARE(again.archiveHash, QByteArray::fromHex(QByteArray(128, 'a')));
    QCOMPARE(again.archiveSize, qint64(1000));
    QCOMPARE(again.expires, qint64(2000));
    QCOMPARE(again.confirm, json.contains("\"confirm\"") ? 10 : 0);
    QCOMPARE(again.critical, json.contains("\"critical\":true"));
    QCOMPARE(again.background, json.contains("\"background\""));
    QCOMPARE(again.binding.product, QStringLiteral("My Demo"));
    QCOMPARE(again.binding.folder, QStringLiteral("demo_mac"));
}

void TestReleaseManifest::notesRendered_data()
{
    // Notes of up to 64 KiB: rendered as Markdown only when Qt renders them
    // at once (measured: a one-column table of 64 KiB took 17.9 s, a list or
    // a paragraph of links of 64 KiB minutes), else shown as plain text.
    QTest::addColumn<QString>("unit"); // repeated to just under 64 KiB
    QTest::addColumn<bool>("rendered");
    QTest::newRow("one-column-table") << "| x |\n" << false;
    QTest::newRow("one-list") << "- item\n" << false;
    QTest::newRow("paragraph-of-emphasis") << "*a* " << false;
    QTest::newRow("paragraph-of-web-addresses") << "www.a.b " << false;
    QTest::newRow("short-paragraphs-of-prose")
        << "Opens **twice** as fast, and saves [files](x) on its own.\n\n"
        << false;
    QTest::newRow("ordinary-notes") << QString() << true;
}

void TestReleaseManifest::notesRendered()
{
    QFETCH(QString, unit);
    QFETCH(bool, rendered);
    QString notes = "# Viewer 1.1\n\n| Change | Where |\n|---|---|\n| Faster | Everywhere |\n\n"
                    "- Opens **twice** as fast\n- Saves [on its own](https://example.org/)\n\n";
    while (!unit.isEmpty() && notes.toUtf8().size() + unit.toUtf8().size() <= 64 * 1024)
        notes += unit;
    QCOMPARE(NotesView::quickToRender(notes), rendered);
}

QTEST_GUILESS_MAIN(TestReleaseManifest)
#include "tst_releasemanifest.moc"
