#include "fuzztargets.h"
#include "releasetargets.h"

#include <QDir>
#include <QFile>
#include <QtTest>

// Replays through the fuzz targets' bodies (tests/fuzz) what the fuzzers
// start from and what once made them fail: the captured listings line by
// line, the captured dialogues in every way of arriving, and the inputs kept
// in data/fuzz/TARGET/. A finding aborts the program, as under libFuzzer.
class tst_FuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
};

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `kept`: an input as the fuzzer had it, rather than captured server output.
void addFiles(const QString &target, const QString &folder, const QString &pattern, bool kept)
{
    const QDir dir(QStringLiteral(TESTDATA_DIR) + QLatin1Char('/') + folder);
    for (const QString &name : dir.entryList({pattern}, QDir::Files, QDir::Name)) {
        QTest::newRow(qPrintable(folder + QLatin1Char('/') + name))
            << target << contents(dir.filePath(name)) << kept;
    }
}

} // namespace

void tst_FuzzRegressions::replay_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("kept");
    addFiles(
        QStringLiteral("listing"), QStringLiteral("listings"), QStringLiteral("*.list"), false);
    addFiles(
        QStringLiteral("replies"), QStringLiteral("dialogues"), QStringLiteral("*.txt"), false);
    addFiles(QStringLiteral("listing"), QStringLiteral("fuzz/listing"), QStringLiteral("*"), true);
    addFiles(QStringLiteral("replies"), QStringLiteral("fuzz/replies"), QStringLiteral("*"), true);
    addFiles(
        QStringLiteral("manifest"), QStringLiteral("fuzz/manifest"), QStringLiteral("*"), true);
    addFiles(
        QStringLiteral("deltaindex"), QStringLiteral("fuzz/deltaindex"), QStringLiteral("*"), true);
    addFiles(QStringLiteral("state"), QStringLiteral("fuzz/state"), QStringLiteral("*"), true);
    addFiles(QStringLiteral("keyring"), QStringLiteral("fuzz/keyring"), QStringLiteral("*"), true);
}

void tst_FuzzRegressions::replay()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, input);
    QFETCH(bool, kept);
    QVERIFY(!input.isEmpty());
    const auto *bytes = reinterpret_cast<const uint8_t *>(input.constData());
    if (target == QLatin1String("manifest")) {
        fuzzManifest(bytes, size_t(input.size()));
    } else if (target == QLatin1String("deltaindex")) {
        fuzzDeltaIndex(bytes, size_t(input.size()));
    } else if (target == QLatin1String("keyring")) {
        fuzzKeyring(bytes, size_t(input.size()));
    } else if (kept) {
        if (target == QLatin1String("listing"))
            fuzzListingLine(bytes, size_t(input.size()));
        else if (target == QLatin1String("state"))
            fuzzStateFile(bytes, size_t(input.size()));
        else
            fuzzServerReplies(bytes, size_t(input.size()));
    } else if (target == QLatin1String("listing")) {
        for (const QByteArray &line : input.split('\n')) {
            const QByteArray withEnd = line + '\n';
            fuzzListingLine(
                reinterpret_cast<const uint8_t *>(withEnd.constData()), size_t(withEnd.size()));
        }
    } else {
        // The first byte picks the size of the pieces the bytes arrive in.
        for (char way = 0; way < 8; ++way) {
            const QByteArray withWay = way + input;
            fuzzServerReplies(
                reinterpret_cast<const uint8_t *>(withWay.constData()), size_t(withWay.size()));
        }
    }
}

QTEST_GUILESS_MAIN(tst_FuzzRegressions)
#include "tst_fuzzregressions.moc"
