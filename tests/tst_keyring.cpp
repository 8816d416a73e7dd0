// Keyrings on their unit, in memory: what the reader takes, and the walk
// from an installation's kept keyring through a published folder, ending in
// whether a release signed by a given key is offered and the reason logged.
// Every signature made here is also checked with Debian's minisign.
#include "files.h"
#include "keyring.h"
#include "keyringwalk.h"
#include "manifestcheck.h"
#include "manifestwriter.h"
#include "minisignformat.h"
#include "releasesigner.h"
#include "tool.h"
#include "updatestate.h"

#include <QDateTime>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <memory>

namespace {

constexpr qint64 day = 24 * 60 * 60;
const ReleaseManifest::Binding demoMac {QStringLiteral("Demo"), QStringLiteral("demo_mac")};

// One keyring of a row: "v=2 roots=R1,R2,R3 t=2 rel=B sign=R1,R2" with,
// optionally, "exp=DAYS" (from now; 30 when absent), "relexp=DAYS" (every
// release key's own expiry), "for=Product/folder", "revoked=A", "name=N"
// (published as keyring N whatever it says), "sigs=N" (its signature files
// are keyring N's), "forge=R1" (R1's signature file holds another key's
// signature under R1's key id).
using Spec = QMap<QString, QString>;

Spec spec(const QString &text)
{
    Spec s;
    for (const QString &part : text.split(' ', Qt::SkipEmptyParts))
        s.insert(part.section('=', 0, 0), part.section('=', 1));
    return s;
}

QStringList names(const Spec &s, const char *key)
{
    return s.value(key).split(',', Qt::SkipEmptyParts);
}

} // namespace

class TestKeyring : public QObject
{
    Q_OBJECT

    QTemporaryDir keys;
    std::map<QString, std::unique_ptr<ReleaseSigner>> signers;
    QMap<QString, QByteArray> publicKeys;
    QString minisign;
    qint64 now = 0;

    Keyring::Key key(const QString &name, qint64 expires = 0)
    {
        return {publicKeys.value(name), expires};
    }

    QByteArray sign(const QString &signer, const QByteArray &content, bool checkWithTool = true)
    {
        const QString path = keys.filePath("signed");
        QByteArray signature;
        QString why;
        if (!writeFile(path, content)
            || !signers.at(signer)->sign(path, "keyring", &signature, &why))
            qWarning("not signed: %s", qPrintable(why));
        if (checkWithTool && !minisign.isEmpty()) {
            Tool tool;
            Tool::write(path + ".minisig", signature);
            if (!tool.run(minisign, {"-V", "-q", "-p", keys.filePath(signer + ".pub"), "-m", path}))
                qWarning("minisign refused a signature of %s: %s", qPrintable(signer),
                    tool.output.constData());
        }
        return signature;
    }

    Keyring keyringOf(const Spec &s)
    {
        Keyring k;
        k.version = s.value("v").toInt();
        k.binding = s.contains("for") ? ReleaseManifest::Binding {s.value("for").section('/', 0, 0),
                        s.value("for").section('/', 1)}
                                      : demoMac;
        k.expires = now + (s.contains("exp") ? s.value("exp").toLongLong() : 30) * day;
        k.threshold = s.value("t", "1").toInt();
        for (const QString &name : names(s, "roots"))
            k.roots.append(key(name));
        const qint64 keyExpires
            = s.contains("relexp") ? now + s.value("relexp").toLongLong() * day : 0;
        for (const QString &name : names(s, "rel"))
            k.releaseKeys.append(key(name, keyExpires));
        for (const QString &name : names(s, "revoked"))
            k.revoked.append(key(name).idText());
        return k;
    }

    // The folder's files for each keyring of `published`, by name.
    QMap<QString, QByteArray> publish(const QStringList &published)
    {
        QMap<QString, QByteArray> folder;
        QMap<int, QMap<QString, QByteArray>> signaturesOf;
        for (const QString &text : published) {
            const Spec s = spec(text);
            const QByteArray bytes = keyringOf(s).toJson();
            const int number = s.value("name", s.value("v")).toInt();
            folder.insert(Keyring::fileName(number), bytes);
            for (const QString &signer : names(s, "sign")) {
                const QString id = key(signer).idText();
                QByteArray signature = sign(signer, bytes);
                if (s.value("forge") == signer) {
                    // Another key's genuine signature, relabelled as this one's.
                    const QString other = signer == "R1" ? "R2" : "R1";
                    QList<QByteArray> lines = sign(other, bytes).split('\n');
                    QByteArray line = Minisign::decodeBase64(lines[1]);
                    line.replace(2, Minisign::keyIdBytes, key(signer).id());
                    lines[1] = line.toBase64();
                    signature = lines.join('\n');
                }
                signaturesOf[number].insert(id, signature);
            }
        }
        for (const QString &text : published) {
            const Spec s = spec(text);
            const int number = s.value("name", s.value("v")).toInt();
            const auto &from = signaturesOf.value(s.value("sigs", QString::number(number)).toInt());
            for (auto it = from.cbegin(); it != from.cend(); ++it)
                folder.insert(Keyring::signatureName(number, it.key()), it.value());
        }
        return folder;
    }

private slots:
    void initTestCase()
    {
        minisign = QStandardPaths::findExecutable("minisign");
        now = QDateTime::currentSecsSinceEpoch();
        for (const char *text : {"A", "B", "C", "R1", "R2", "R3", "R4", "R5"}) {
            const QString name = QLatin1String(text);
            QTemporaryDir dir;
            QByteArray line;
            QString why;
            QVERIFY2(ReleaseSigner::generateKeyPair(dir.path(), {}, &line, &why), qPrintable(why));
            QVERIFY(QFile::copy(dir.filePath("minisign.pub"), keys.filePath(name + ".pub")));
            signers[name] = std::make_unique<ReleaseSigner>();
            QVERIFY2(signers[name]->loadSecretKey(dir.filePath("minisign.key"), {}, &why),
                qPrintable(why));
            publicKeys.insert(name, line);
        }
    }

    // What the reader refuses, each with its reason.
    void reader_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("refusal"); // empty: read
        const QByteArray ok = R"({"keyring":1,"product":"Demo","folder":"demo_mac","expires":9,
            "threshold":1,"roots":["K"],"release_keys":[{"key":"K","expires":5}]})";
        QTest::newRow("whole") << ok << "";
        QTest::newRow("version-zero") << QByteArray(ok).replace("\"keyring\":1", "\"keyring\":0")
                                      << "\"keyring\" is not a whole number";
        QTest::newRow("threshold-above-roots")
            << QByteArray(ok).replace("\"threshold\":1", "\"threshold\":2") << "\"threshold\"";
        QTest::newRow("root-twice")
            << QByteArray(ok).replace("[\"K\"]", "[\"K\",\"K\"]") << "lists key";
        QTest::newRow("no-folder")
            << QByteArray(ok).replace("\"folder\"", "\"f\"") << "no \"product\" and \"folder\"";
        QTest::newRow("key-not-a-key")
            << QByteArray(ok).replace("[\"K\"]", "[\"RWQx\"]") << "not a minisign public key";
        QTest::newRow("revoked-not-an-id")
            << QByteArray(ok).replace("}", ",\"revoked\":[\"zz\"]}") << "\"revoked\"";
        QTest::newRow("not-json") << QByteArray("{") << "not JSON";
    }
    void reader()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, refusal);
        json.replace("\"K\"", '"' + publicKeys.value("A") + '"');
        Keyring keyring;
        QString why;
        QCOMPARE(Keyring::parse(json, &keyring, &why), refusal.isEmpty());
        QVERIFY2(why.contains(refusal), qPrintable(why));
        if (refusal.isEmpty()) {
            Keyring again;
            QVERIFY(Keyring::parse(keyring.toJson(), &again, &why));
            QCOMPARE(again.toJson(), keyring.toJson());
            QCOMPARE(again.releaseKeys.at(0).expires, 5);
        }
    }

    // An installation built with key A, its kept keyring `kept`, walks the
    // published keyrings and then judges a release.json signed by `signer`.
    void walk_data()
    {
        QTest::addColumn<QString>("kept"); // empty: none kept
        QTest::addColumn<QStringList>("published");
        QTest::addColumn<QString>("signer");
        QTest::addColumn<int>("newest");
        QTest::addColumn<QString>("logged"); // in the walk's lines; empty: none
        QTest::addColumn<QString>("verdict"); // in the reason; empty: offered

        const QString roots3 = "roots=R1,R2,R3 t=2";
        const QString kept1 = "v=1 " + roots3 + " rel=B";
        const QString notListed = "which keyring %1 does not list as a release key";
        QTest::newRow("none-published") << "" << QStringList() << "A" << 0 << ""
                                        << "";
        QTest::newRow("release-key-rotated")
            << "" << QStringList {"v=1 " + roots3 + " rel=B sign=A,R1,R2"} << "B" << 1
            << "Keyring 1 verified"
            << "";
        QTest::newRow("old-release-key-after-rotation")
            << "" << QStringList {"v=1 " + roots3 + " rel=B sign=A,R1,R2"} << "A" << 1 << ""
            << notListed.arg(1);
        QTest::newRow("roots-rotated-2-of-3")
            << kept1 << QStringList {"v=2 roots=R2,R3,R4 t=2 rel=C sign=R1,R2,R4"} << "C" << 2
            << "Keyring 2 verified"
            << "";
        QTest::newRow("walked-two-steps") << ""
                                          << QStringList {"v=1 " + roots3 + " rel=B sign=A,R1,R2",
                                                 "v=2 roots=R3,R4,R5 t=2 rel=C sign=R1,R3,R4,R5"}
                                          << "C" << 2 << "Keyring 2 verified"
                                          << "";
        QTest::newRow("only-old-roots")
            << kept1 << QStringList {"v=2 roots=R3,R4,R5 t=2 rel=C sign=R1,R2"} << "C" << 1
            << "Keyring 2 refused: signed by 0 of its own roots, 2 needed" << notListed.arg(1);
        QTest::newRow("only-new-roots")
            << kept1 << QStringList {"v=2 roots=R3,R4,R5 t=2 rel=C sign=R4,R5"} << "C" << 1
            << "Keyring 2 refused: signed by 0 of the roots of keyring 1, 2 needed"
            << notListed.arg(1);
        QTest::newRow("too-few-roots")
            << kept1 << QStringList {"v=2 " + roots3 + " rel=C sign=R1"} << "C" << 1
            << "signed by 1 of the roots of keyring 1, 2 needed" << notListed.arg(1);
        QTest::newRow("older-than-kept")
            << "v=2 " + roots3 + " rel=B revoked=A" << QStringList {"v=1 roots=A rel=A sign=A"}
            << "A" << 2 << ""
            << "revoked by keyring 2";
        QTest::newRow("older-served-as-next")
            << kept1 << QStringList {"v=1 " + roots3 + " rel=A name=2 sign=R1,R2"} << "A" << 1
            << "Keyring 2 refused: it says it is keyring 1, not 2" << notListed.arg(1);
        QTest::newRow("gap") << kept1 << QStringList {"v=3 " + roots3 + " rel=C sign=R1,R2"} << "C"
                             << 1 << "" << notListed.arg(1);
        QTest::newRow("next-expired")
            << kept1 << QStringList {"v=2 " + roots3 + " rel=C exp=-1 sign=R1,R2"} << "B" << 1
            << "Keyring 2 refused: it expired on"
            << "";
        QTest::newRow("kept-expired")
            << "v=1 " + roots3 + " rel=B exp=-1" << QStringList() << "B" << 1 << ""
            << "No update: keyring 1 expired on";
        QTest::newRow("revoked-key-signs")
            << "v=1 " + roots3 + " rel=A,B"
            << QStringList {"v=2 " + roots3 + " rel=B revoked=A sign=R1,R2"} << "A" << 2 << ""
            << "signed with key " + key("A").idText() + ", revoked by keyring 2";
        QTest::newRow("release-key-expired")
            << "" << QStringList {"v=1 " + roots3 + " rel=B relexp=-1 sign=A,R1,R2"} << "B" << 1
            << ""
            << "which keyring 1 allowed to sign until";
        QTest::newRow("other-product")
            << "" << QStringList {"v=1 " + roots3 + " rel=B for=Editor/demo_mac sign=A,R1,R2"}
            << "B" << 0 << "it is for \"Editor\" in \"demo_mac\""
            << "signed with another key";
        QTest::newRow("other-folder")
            << "" << QStringList {"v=1 " + roots3 + " rel=B for=Demo/demo_win32 sign=A,R1,R2"}
            << "B" << 0 << "it is for \"Demo\" in \"demo_win32\""
            << "signed with another key";
        QTest::newRow("signatures-swapped")
            << ""
            << QStringList {"v=1 " + roots3 + " rel=B sign=A,R1,R2 sigs=2",
                   "v=2 " + roots3 + " rel=C sign=R1,R2 sigs=1"}
            << "B" << 0 << "the keyring does not match its signature"
            << "signed with another key";
        QTest::newRow("key-id-matches-signature-not")
            << kept1 << QStringList {"v=2 " + roots3 + " rel=C sign=R1,R2 forge=R2"} << "C" << 1
            << "the signature of " + key("R2").idText()
                + " is refused: the keyring does not match its signature"
            << notListed.arg(1);
    }
    void walk()
    {
        QFETCH(QString, kept);
        QFETCH(QStringList, published);
        QFETCH(QString, signer);
        QFETCH(int, newest);
        QFETCH(QString, logged);
        QFETCH(QString, verdict);

        QTemporaryDir app;
        if (!kept.isEmpty())
            QVERIFY(writeFile(app.filePath(".update-keyring"), keyringOf(spec(kept)).toJson()));
        const QMap<QString, QByteArray> folder = publish(published);
        KeyringWalk walk(app.path(), publicKeys.value("A"), demoMac);
        QStringList lines;
        QString refusal;
        bool ended = false;
        connect(&walk, &KeyringWalk::walked, [&](const QString &line) { lines << line; });
        connect(&walk, &KeyringWalk::finished, [&](bool ok, const QString &reason) {
            ended = true;
            refusal = ok ? QString() : reason;
        });
        walk.start(
            [&](const QString &name, qint64, const auto &done) { done(folder.value(name)); }, now);
        QVERIFY(ended);
        QCOMPARE(walk.newest().version, newest);
        QVERIFY2(
            logged.isEmpty() ? lines.filter("refused").isEmpty() : !lines.filter(logged).isEmpty(),
            qPrintable(lines.join('\n')));
        // What the walk kept is what the next run starts from.
        Keyring again;
        QString why;
        QVERIFY(KeyringWalk::readKept(app.path(), publicKeys.value("A"), demoMac, &again, &why));
        QCOMPARE(again.version, newest);

        if (refusal.isEmpty()) {
            ReleaseManifest m;
            m.version = "1.1";
            m.binding = demoMac;
            m.signedAt = now - 60;
            m.expires = now + day;
            m.archiveName = "app.zip";
            m.archiveHash = QByteArray(ReleaseManifest::hashBytes, 'h');
            QVERIFY(ManifestWriter::write(m, *signers.at(signer), app.path(), &why));
            ManifestCheck::Input input;
            input.publicKey = publicKeys.value("A");
            input.keyring = walk.newest();
            input.manifest = readBytes(app.filePath("release.json"));
            input.signature = readBytes(app.filePath("release.json.minisig"));
            input.publishedVersion = "1.1";
            input.installedVersion = "1.0";
            input.now = now;
            input.own = demoMac;
            UpdateState state = UpdateState::load(app.path());
            ManifestCheck::Judgement judgement;
            QCOMPARE(ManifestCheck::judge(input, &state, &judgement, &refusal), verdict.isEmpty());
        }
        QVERIFY2(
            verdict.isEmpty() ? refusal.isEmpty() : refusal.contains(verdict), qPrintable(refusal));
    }
};

QTEST_GUILESS_MAIN(TestKeyring)
#include "tst_keyring.moc"
