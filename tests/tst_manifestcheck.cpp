// The judgement of a signed "release.json", in memory with the test's own
// key: whose release it is, which version, freshness and replay against
// the installation's state, the staged rollout; what a source without a
// manifest may still offer; and the archive against the signed size and hash.
#include "files.h"
#include "manifestcheck.h"
#include "manifestwriter.h"
#include "minisignformat.h"
#include "releasemanifest.h"
#include "releasesigner.h"
#include "tool.h"
#include "updatestate.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 day = 24 * 60 * 60;
const QString refused = QStringLiteral("No update: release information refused: ");
const QByteArray installId = "00112233445566778899aabbccddeeff";

ReleaseManifest::Binding bindingOf(const QString &text)
{
    return {text.section('/', 0, 0), text.section('/', 1)};
}

// Release 1.1 of Demo in demo_mac, signed a minute before `now`, for 30 days.
ReleaseManifest release(qint64 now)
{
    ReleaseManifest m;
    m.version = QStringLiteral("1.1");
    m.binding = bindingOf(QStringLiteral("Demo/demo_mac"));
    m.signedAt = now - 60;
    m.expires = now + 30 * day;
    m.archiveName = QStringLiteral("app.zip");
    m.archiveSize = 1000;
    m.archiveHash = QByteArray(ReleaseManifest::hashBytes, 'h');
    return m;
}

} // namespace

class TestManifestCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir keys;
    ReleaseSigner signer;
    QByteArray publicKey;
    std::unique_ptr<QTemporaryDir> app;

    // The installation's ".update-state" as earlier runs left it.
    void writeState(const QJsonObject &state)
    {
        if (!state.isEmpty())
            QVERIFY(writeFile(app->filePath(".update-state"), QJsonDocument(state).toJson()));
    }

    // Writes `manifest` as "release.json" and signs it with the test's key,
    // `comment` its trusted comment (empty: the publishing tool's own).
    QByteArray signedAs(const ReleaseManifest &manifest, const QByteArray &comment)
    {
        QByteArray signature;
        QString why;
        const bool made = comment.isEmpty()
            ? ManifestWriter::write(manifest, signer, app->path(), &why)
            : writeFile(app->filePath("release.json"), manifest.toJson())
                && signer.sign(app->filePath("release.json"), comment, &signature, &why);
        if (!made)
            qWarning("not signed: %s", qPrintable(why));
        return comment.isEmpty() ? readBytes(app->filePath("release.json.minisig")) : signature;
    }

    // What the judge answered, and what it handed back either way.
    struct Judged
    {
        bool offered = false;
        bool verified = false;
        QString reason;
        ReleaseManifest manifest;
    };

    // The judgement of the "release.json" written with `signature` by an
    // installation of 1.0 configured as `own`, whose "version.ver" says `published`.
    Judged judged(const QByteArray &signature, const QString &published, const QString &own,
        qint64 now, UpdateState *state)
    {
        ManifestCheck::Input input;
        input.publicKey = publicKey;
        input.manifest = readBytes(app->filePath("release.json"));
        input.signature = signature;
        input.publishedVersion = published;
        input.installedVersion = QStringLiteral("1.0");
        input.now = now;
        input.own = bindingOf(own);
        Judged result;
        ManifestCheck::Judgement judgement;
        result.offered = ManifestCheck::judge(input, state, &judgement, &result.reason);
        result.verified = judgement.verified;
        result.manifest = judgement.manifest;
        return result;
    }

private slots:
    void initTestCase()
    {
        QString reason;
        QVERIFY2(ReleaseSigner::generateKeyPair(keys.path(), QByteArray(), &publicKey, &reason),
            qPrintable(reason));
        QVERIFY2(
            signer.loadSecretKey(keys.filePath("minisign.key"), {}, &reason), qPrintable(reason));
    }
    void init()
    {
        app.reset(new QTemporaryDir);
        QVERIFY(app->isValid());
    }

    // One key signs every product and platform of a publisher: a release
    // of another folder or product is not this installation's, whichever
    // signed statement (the manifest, its trusted comment) says so.
    void binding_data()
    {
        QTest::addColumn<QString>("manifestFor"); // "product/folder" in release.json
        QTest::addColumn<QString>("commentFor"); // ... in its trusted comment; "-": no tokens
        QTest::addColumn<QString>("own");
        QTest::addColumn<QString>("version");
        QTest::addColumn<qint64>("signedAhead"); // seconds after the judge's clock
        QTest::addColumn<QJsonObject>("state"); // recorded before; empty: none
        QTest::addColumn<QString>("refusal"); // in the reason; empty: offered and recorded

        const QJsonObject none;
        const QString demoMac = "Demo/demo_mac";
        const QString demoWin = "Demo/demo_win32";
        const QString editorMac = "Editor/demo_mac";
        const QString comment = "signature refused: the trusted comment says ";
        QTest::newRow("own") << demoMac << demoMac << demoMac << "1.1" << -60ll << none << "";
        QTest::newRow("win32-release-onto-mac")
            << demoWin << demoWin << demoMac << "1.1" << -60ll << none
            << comment
                + "it is for \"Demo\" in \"demo_win32\", this installation is \"Demo\" in "
                  "\"demo_mac\"";
        QTest::newRow("mac-release-onto-win32")
            << demoMac << demoMac << demoWin << "1.1" << -60ll << none
            << "it is for \"Demo\" in \"demo_mac\", this installation is \"Demo\" in "
               "\"demo_win32\"";
        QTest::newRow("editor-onto-demo")
            << editorMac << editorMac << demoMac << "1.1" << -60ll << none
            << comment + "it is for \"Editor\" in \"demo_mac\", this installation is \"Demo\"";
        QTest::newRow("demo-onto-editor")
            << demoMac << demoMac << editorMac << "1.1" << -60ll << none
            << "it is for \"Demo\" in \"demo_mac\", this installation is \"Editor\"";
        QTest::newRow("manifest-for-another-folder")
            << demoWin << demoMac << demoMac << "1.1" << -60ll << none << "in \"demo_win32\"";
        QTest::newRow("comment-for-another-folder")
            << demoMac << demoWin << demoMac << "1.1" << -60ll << none << "in \"demo_win32\"";
        QTest::newRow("published-before-binding")
            << "/"
            << "-" << demoMac << "1.1" << -60ll << none << "names no product and folder";
        QTest::newRow("version-of-1024-nines")
            << demoMac << demoMac << demoMac << QString(1024, '9') << -60ll << none
            << "is not a version";
        QTest::newRow("signed-two-days-ahead")
            << demoMac << demoMac << demoMac << "1.1" << 2 * day << none
            << "more than a day after this computer's clock";
        QTest::newRow("signed-an-hour-ahead")
            << demoMac << demoMac << demoMac << "1.1" << 3600ll << none << "";
        // What an updater without these bounds recorded holds nothing back.
        QTest::newRow("recorded-time-a-year-ahead")
            << demoMac << demoMac << demoMac << "1.1" << -60ll
            << QJsonObject {{"highest_version", "1.1"}, {"manifest_verified", true},
                   {"highest_signed", double(QDateTime::currentSecsSinceEpoch() + 365 * day)}}
            << "";
        QTest::newRow("recorded-1024-nines")
            << demoMac << demoMac << demoMac << "1.1" << -60ll
            << QJsonObject {{"highest_version", QString(1024, '9')}, {"manifest_verified", true},
                   {"highest_signed", 1.0}}
            << "";
    }
    void binding()
    {
        QFETCH(QString, manifestFor);
        QFETCH(QString, commentFor);
        QFETCH(QString, own);
        QFETCH(QString, version);
        QFETCH(qint64, signedAhead);
        QFETCH(QJsonObject, state);
        QFETCH(QString, refusal);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        ReleaseManifest m = release(now);
        m.version = version;
        m.binding = bindingOf(manifestFor);
        m.signedAt = now + signedAhead;
        QByteArray comment = "timestamp:1 file:release.json version:" + version.toUtf8();
        if (commentFor != "-")
            comment += bindingOf(commentFor).commentTokens();
        writeState(state);
        UpdateState loaded = UpdateState::load(app->path());
        const Judged verdict
            = judged(signedAs(m, comment), version, own, now, &loaded);
        QCOMPARE(verdict.offered, refusal.isEmpty());
        QVERIFY2(verdict.reason.contains(refusal), qPrintable(verdict.reason));
        if (!refusal.isEmpty())
            QVERIFY2(verdict.reason.size() < 200, qPrintable(verdict.reason));
        // Recorded only when it was judged this installation's and in bounds.
        const UpdateState after = UpdateState::load(app->path());
        if (refusal.isEmpty() && state.isEmpty())
            QCOMPARE(after.highestVersion(), version);
        if (!refusal.isEmpty())
            QVERIFY(!after.manifestVerified());
        if (refusal.isEmpty())
            QCOMPARE(verdict.manifest.binding.folder, bindingOf(own).folder);
    }

    // The versions a release names, what the installation verified before,
    // and the rollout, for installation 0011...eeff of 1.0.
    void versions_data()
    {
        QTest::addColumn<QString>("published"); // in "version.ver"
        QTest::addColumn<QString>("commentVersion"); // in the trusted comment
        QTest::addColumn<int>("rollout");
        QTest::addColumn<QString>("highest"); // verified before; empty: nothing
        QTest::addColumn<QString>("reason"); // at its start; empty: offered
        QTest::addColumn<bool>("recorded"); // 1.1 is the highest verified after

        const QString none;
        QTest::newRow("offered") << "1.1"
                                 << "1.1" << 100 << none << "" << true;
        QTest::newRow("version-file-for-another-version")
            << "1.2"
            << "1.1" << 100 << none
            << refused + "it is for version \"1.1\", \"version.ver\" is for \"1.2\"" << false;
        QTest::newRow("comment-for-another-version")
            << "1.1"
            << "1.2" << 100 << none
            << refused + "it is for version \"1.1\", its signature for \"1.2\"" << false;
        QTest::newRow("lower-than-highest-verified")
            << "1.1"
            << "1.1" << 100 << "1.2"
            << refused + "a replay: version \"1.1\" is older than \"1.2\", verified before"
            << false;
        // Verified, and recorded, but not yet offered here.
        QTest::newRow("rollout-0") << "1.1"
                                   << "1.1" << 0 << "1.0"
                                   << "Version 1.1 is offered to 0% of installations; not yet "
                                      "this one"
                                   << true;
        // This installation's bucket for 1.1 is 83 (its hash's first four
        // bytes read big-endian; little-endian it would be 33).
        QTest::newRow("rollout-83") << "1.1"
                                    << "1.1" << 83 << none
                                    << "Version 1.1 is offered to 83% of installations; not yet "
                                       "this one"
                                    << true;
        QTest::newRow("rollout-84") << "1.1"
                                    << "1.1" << 84 << none << "" << true;
        QTest::newRow("rollout-100") << "1.1"
                                     << "1.1" << 100 << "1.0"
                                     << "" << true;
    }
    void versions()
    {
        QFETCH(QString, published);
        QFETCH(QString, commentVersion);
        QFETCH(int, rollout);
        QFETCH(QString, highest);
        QFETCH(QString, reason);
        QFETCH(bool, recorded);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        ReleaseManifest m = release(now);
        m.rollout = rollout;
        QJsonObject state {{"install_id", QString(installId)}, {"later", "kept"}};
        if (!highest.isEmpty()) {
            state.insert("manifest_verified", true);
            state.insert("highest_version", highest);
            state.insert("highest_signed", double(now - day));
        }
        writeState(state);
        UpdateState loaded = UpdateState::load(app->path());
        const QByteArray comment = "timestamp:1 file:release.json version:"
            + commentVersion.toUtf8() + m.binding.commentTokens();
        const Judged verdict
            = judged(signedAs(m, comment), published, "Demo/demo_mac", now, &loaded);
        QCOMPARE(verdict.offered, reason.isEmpty());
        QCOMPARE(verdict.verified, recorded);
        QVERIFY2(reason.isEmpty() || verdict.reason.startsWith(reason), qPrintable(verdict.reason));
        if (verdict.offered)
            QCOMPARE(verdict.manifest.archiveSize, m.archiveSize);
        // Saved with the verified version; what a later updater wrote stays.
        const QJsonObject saved
            = QJsonDocument::fromJson(readBytes(app->filePath(".update-state"))).object();
        QCOMPARE(saved.value("highest_version").toString(), recorded ? "1.1" : highest);
        QCOMPARE(saved.value("install_id").toString(), QString(installId));
        QCOMPARE(saved.value("later").toString(), QStringLiteral("kept"));
        if (recorded)
            QCOMPARE(qint64(saved.value("highest_signed").toDouble()), m.signedAt);
    }

    void freshness_data()
    {
        QTest::addColumn<qint64>("expiresAfterNow");
        // The installation verified version 1.1 signed at this many seconds
        // after the manifest's own time (none: nothing verified before).
        QTest::addColumn<QVariant>("recordedAfterSigned");
        QTest::addColumn<QString>("refusal"); // empty: offered
        const QString replay = refused + "a replay: signed at ";
        QTest::newRow("expires-this-second")
            << qint64(0) << QVariant() << "No update: release information expired on ";
        QTest::newRow("expires-next-second") << qint64(1) << QVariant() << "";
        QTest::newRow("signed-at-the-recorded-time") << qint64(3600) << QVariant(0) << "";
        QTest::newRow("signed-a-second-before-the-recorded-time")
            << qint64(3600) << QVariant(1) << replay;
    }
    void freshness()
    {
        QFETCH(qint64, expiresAfterNow);
        QFETCH(QVariant, recordedAfterSigned);
        QFETCH(QString, refusal);
        const qint64 signedAt = 1800000000;
        const qint64 now = signedAt + 86400;
        ReleaseManifest manifest = release(now);
        manifest.signedAt = signedAt;
        manifest.expires = now + expiresAfterNow;
        if (recordedAfterSigned.isValid())
            writeState({{"install_id", QString(installId)}, {"manifest_verified", true},
                {"highest_version", "1.1"},
                {"highest_signed", double(signedAt + recordedAfterSigned.toInt())}});
        UpdateState state = UpdateState::load(app->path());
        const Judged verdict
            = judged(signedAs(manifest, QByteArray()), "1.1", "Demo/demo_mac", now, &state);
        QVERIFY2(verdict.offered == refusal.isEmpty(), qPrintable(verdict.reason));
        if (!refusal.isEmpty())
            QVERIFY2(verdict.reason.startsWith(refusal), qPrintable(verdict.reason));
    }

    // A manifest signed by Debian's minisign with the same key verifies.
    void signedByMinisign()
    {
        const QString minisign = QStandardPaths::findExecutable("minisign");
        if (minisign.isEmpty())
            QSKIP("minisign is not installed");
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const ReleaseManifest m = release(now);
        const QString path = app->filePath("release.json");
        QVERIFY(writeFile(path, m.toJson()));
        Tool tool;
        QVERIFY2(
            tool.run(minisign,
                {"-S", "-s", keys.filePath("minisign.key"), "-m", path, "-t",
                    QStringLiteral("timestamp:%1 file:release.json version:1.1").arg(m.signedAt)
                        + m.binding.commentTokens()},
                "\n"),
            tool.output);
        UpdateState state = UpdateState::load(app->path());
        const Judged verdict
            = judged(readBytes(path + ".minisig"), "1.1", "Demo/demo_mac", now, &state);
        QVERIFY2(verdict.offered, qPrintable(verdict.reason));
    }

    // A source without "release.json": the archive's own signature decides
    // only for an installation that never verified a manifest. A state that
    // cannot be read tells nothing, and is as strict as a verified one.
    void withoutManifest_data()
    {
        QTest::addColumn<QByteArray>("state"); // ".update-state"; empty: none
        QTest::addColumn<bool>("refused");
        QTest::newRow("nothing-recorded") << QByteArray() << false;
        QTest::newRow("never-verified")
            << QByteArray("{\"install_id\": \"" + installId + "\"}") << false;
        QTest::newRow("verified-before")
            << QByteArray("{\"install_id\": \"" + installId + "\", \"manifest_verified\": true}")
            << true;
        QTest::newRow("state-unreadable") << QByteArray("{\"install_id\": ") << true;
    }
    void withoutManifest()
    {
        QFETCH(QByteArray, state);
        QFETCH(bool, refused);
        if (!state.isEmpty())
            QVERIFY(writeFile(app->filePath(".update-state"), state));
        QString reason;
        QCOMPARE(ManifestCheck::withoutManifest(UpdateState::load(app->path()), &reason), !refused);
        QCOMPARE(reason,
            refused ? QStringLiteral("No update: the server has no signed release information "
                                     "(\"release.json\"), though this installation has verified "
                                     "it before")
                    : QString());
    }

    // The downloaded archive against the signed size and BLAKE2b-512.
    void checkArchive_data()
    {
        QTest::addColumn<QByteArray>("change");
        QTest::addColumn<QString>("reason"); // at its start; empty: accepted
        const QString hash = "the archive's BLAKE2b-512 is not the one in the release information";
        QTest::newRow("as-signed") << QByteArray() << "";
        QTest::newRow("shorter") << QByteArray(
            "chop") << "the archive holds 924 bytes, the release information says 1024";
        QTest::newRow("one-byte-longer") << QByteArray(
            "append") << "the archive holds 1025 bytes, the release information says 1024";
        // Of the signed size, only not the bytes signed.
        QTest::newRow("same-size-other-bytes") << QByteArray("flip") << hash;
        QTest::newRow("missing") << QByteArray("remove") << "cannot read the archive: ";
    }
    void checkArchive()
    {
        QFETCH(QByteArray, change);
        QFETCH(QString, reason);
        QByteArray archive(1024, Qt::Uninitialized);
        for (int i = 0; i < archive.size(); ++i)
            archive[i] = char(i * 31 + 7);
        const QString path = app->filePath("app.zip");
        QVERIFY(writeFile(path, archive));
        ReleaseManifest m = release(0);
        m.archiveSize = archive.size();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString why;
        QVERIFY(Minisign::initSodium());
        QVERIFY2(Minisign::prehashFile(file, &m.archiveHash, &why), qPrintable(why));
        file.close();
        if (change == "chop")
            archive.chop(100);
        if (change == "append")
            archive += 'x';
        if (change == "flip")
            archive[500] = char(archive.at(500) ^ 1);
        QVERIFY(writeFile(path, archive));
        if (change == "remove")
            QVERIFY(QFile::remove(path));
        const bool accepted = ManifestCheck::checkArchive(m, path, &why);
        QCOMPARE(accepted, reason.isEmpty());
        if (!accepted)
            QVERIFY2(why.startsWith(reason), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(TestManifestCheck)
#include "tst_manifestcheck.moc"
