#include "keyringcommand.h"

#include "keyringtool.h"
#include "minisignformat.h"
#include "passwordreader.h"
#include "releasecheck.h"
#include "releasesigner.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QFile>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

int failWith(const QString &reason, ExitCode code = Failure)
{
    const QString line = ReleaseCheck::oneLine(reason);
    qDebug() << "updater-publish gave up:" << line;
    std::fprintf(stderr, "updater-publish: %s\n", qPrintable(line));
    return code;
}

// A public key from a minisign.pub, or its base64 line given as it is.
bool readPublicKey(const QString &text, Keyring::Key *key, QString *reason)
{
    QFile file(text);
    QByteArray content = text.toLatin1();
    if (file.open(QIODevice::ReadOnly))
        content = file.read(4096);
    const QByteArray decoded = Minisign::decodePublicKey(content);
    if (decoded.isNull()) {
        *reason = QStringLiteral("%1 is not a minisign public key").arg(text);
        return false;
    }
    key->publicKey = decoded.toBase64();
    return true;
}

bool readKeys(
    const QStringList &texts, QVector<Keyring::Key> *keys, qint64 expires, QString *reason)
{
    for (const QString &text : texts) {
        Keyring::Key key;
        if (!readPublicKey(text, &key, reason))
            return false;
        key.expires = expires;
        keys->append(key);
    }
    return true;
}

bool number(const QString &text, int min, int max, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= min && *value <= max;
}

} // namespace

int keyringMain(const QStringList &arguments, const KeyringUpload &upload)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Keeps the keyring: which root keys vouch for the next keyring and which keys sign "
        "releases.\n"
        "  keyring init DIR --product P --folder F --root PUB... --threshold N --release-key "
        "PUB...\n"
        "  keyring add-key DIR --release-key PUB [--key-expires DAYS]\n"
        "  keyring revoke DIR --release-key PUB | --key-id ID\n"
        "  keyring roots DIR [--root PUB...] [--threshold N]   (neither: renewed as it is)\n"
        "  keyring sign DIR --key SECRET_KEY\n"
        "  keyring publish DIR --server HOST:PORT [--built-in-key PUB]\n"
        "Each of init, add-key, revoke and roots writes the next keyring-N.json into DIR; "
        "enough roots sign it in turn, then publish checks and uploads it."));
    parser.addHelpOption();
    const QCommandLineOption product(QStringLiteral("product"),
        QStringLiteral("The updaters' sappname."), QStringLiteral("NAME"));
    const QCommandLineOption folder(QStringLiteral("folder"),
        QStringLiteral("The folder on the server, e.g. demo_mac."), QStringLiteral("FOLDER"));
    const QCommandLineOption root(QStringLiteral("root"),
        QStringLiteral("A root public key (minisign.pub); once per root."), QStringLiteral("PUB"));
    const QCommandLineOption threshold(QStringLiteral("threshold"),
        QStringLiteral("How many roots must sign the next keyring."), QStringLiteral("N"));
    const QCommandLineOption releaseKey(QStringLiteral("release-key"),
        QStringLiteral("A public key allowed to sign releases; once per key."),
        QStringLiteral("PUB"));
    const QCommandLineOption keyId(QStringLiteral("key-id"),
        QStringLiteral("With revoke: the key id as minisign prints it."), QStringLiteral("ID"));
    const QCommandLineOption keyExpires(QStringLiteral("key-expires"),
        QStringLiteral("Days the added release key may sign (default: while listed)."),
        QStringLiteral("DAYS"));
    const QCommandLineOption expires(QStringLiteral("expires"),
        QStringLiteral("Days until updaters refuse the new keyring (default 365)."),
        QStringLiteral("DAYS"), QStringLiteral("365"));
    const QCommandLineOption key(QStringLiteral("key"),
        QStringLiteral("With sign: a root's secret key; its password from the terminal or "
                       "UPDATER_PUBLISH_PASSWORD."),
        QStringLiteral("KEY"));
    const QCommandLineOption builtIn(QStringLiteral("built-in-key"),
        QStringLiteral("With publish of keyring 1: the key updaters are built with."),
        QStringLiteral("PUB"));
    const QCommandLineOption server(
        QStringLiteral("server"), QStringLiteral("The FTP server."), QStringLiteral("HOST:PORT"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("The FTP user."),
        QStringLiteral("USER"), QStringLiteral("marvoline"));
    const QCommandLineOption password(QStringLiteral("password"),
        QStringLiteral("The FTP password."), QStringLiteral("PASSWORD"), QStringLiteral("qd4739"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
        QStringLiteral("Seconds without progress before the upload fails."),
        QStringLiteral("SECONDS"), QStringLiteral("30"));
    parser.addOptions({product, folder, root, threshold, releaseKey, keyId, keyExpires, expires,
        key, builtIn, server, user, password, timeout});
    parser.addPositionalArgument(QStringLiteral("keyring"), QString());
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QString());
    parser.addPositionalArgument(
        QStringLiteral("DIR"), QStringLiteral("The folder of the keyrings."));
    if (!parser.parse(arguments))
        return failWith(parser.errorText(), Usage);
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(Success);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 3)
        return failWith(QStringLiteral("give a command and the keyrings' folder (--help)"), Usage);
    const QString command = positional.at(1);
    const QString dir = positional.at(2);
    QString reason;
    int days = 0;
    if (!number(parser.value(expires), 1, 3650, &days))
        return failWith(QStringLiteral("--expires takes a number of days from 1 to 3650"), Usage);
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    if (command == QLatin1String("init") || command == QLatin1String("add-key")
        || command == QLatin1String("revoke") || command == QLatin1String("roots")) {
        int last = 0;
        QByteArray bytes;
        if (!KeyringTool::newest(dir, &last, &bytes, &reason))
            return failWith(reason);
        Keyring keyring;
        if (command == QLatin1String("init")) {
            if (last != 0)
                return failWith(
                    QStringLiteral("%1 holds keyring %2 already").arg(dir).arg(last), Usage);
            keyring.binding = {parser.value(product), parser.value(folder)};
            if (!ReleaseCheck::checkProduct(keyring.binding.product, &reason)
                || !ReleaseCheck::checkFolder(keyring.binding.folder, &reason))
                return failWith(reason, Usage);
        } else if (last == 0) {
            return failWith(QStringLiteral("%1 holds no keyring: start with init").arg(dir), Usage);
        } else if (!Keyring::parse(bytes, &keyring, &reason)) {
            return failWith(reason);
        }
        if (command == QLatin1String("init") || command == QLatin1String("roots")) {
            if (parser.isSet(root)) {
                keyring.roots.clear();
                if (!readKeys(parser.values(root), &keyring.roots, 0, &reason))
                    return failWith(reason, Usage);
            }
            if (parser.isSet(threshold)
                && !number(parser.value(threshold), 1, keyring.roots.size(), &keyring.threshold))
                return failWith(
                    QStringLiteral("--threshold takes 1 to the number of roots"), Usage);
        }
        if (command == QLatin1String("init") || command == QLatin1String("add-key")) {
            int keyDays = 0;
            if (parser.isSet(keyExpires) && !number(parser.value(keyExpires), 1, 3650, &keyDays))
                return failWith(QStringLiteral("--key-expires takes 1 to 3650 days"), Usage);
            QVector<Keyring::Key> added;
            if (!readKeys(parser.values(releaseKey), &added, keyDays ? now + keyDays * 86400ll : 0,
                    &reason))
                return failWith(reason, Usage);
            for (const Keyring::Key &k : qAsConst(added)) {
                keyring.revoked.removeAll(k.idText());
                if (!keyring.findReleaseKey(k.id()))
                    keyring.releaseKeys.append(k);
            }
        }
        if (command == QLatin1String("revoke")) {
            QString id = parser.value(keyId).toUpper();
            Keyring::Key k;
            if (parser.isSet(releaseKey)) {
                if (!readPublicKey(parser.value(releaseKey), &k, &reason))
                    return failWith(reason, Usage);
                id = k.idText();
            }
            const int before = keyring.releaseKeys.size();
            keyring.releaseKeys.erase(
                std::remove_if(keyring.releaseKeys.begin(), keyring.releaseKeys.end(),
                    [&](const Keyring::Key &listed) { return listed.idText() == id; }),
                keyring.releaseKeys.end());
            if (keyring.releaseKeys.size() == before)
                return failWith(
                    QStringLiteral("keyring %1 lists no release key %2").arg(last).arg(id), Usage);
            if (!keyring.revoked.contains(id))
                keyring.revoked.append(id);
        }
        if (!KeyringTool::writeNext(dir, keyring, days, &reason))
            return failWith(reason);
        QStringList ids;
        for (const Keyring::Key &k : qAsConst(keyring.releaseKeys))
            ids << k.idText();
        std::printf("Wrote %s into %s: releases signed by %s; %d of %d roots sign the next. "
                    "Sign it with enough roots of this keyring and of the one before, then "
                    "publish.\n",
            qPrintable(Keyring::fileName(last + 1)), qPrintable(dir),
            qPrintable(ids.join(QStringLiteral(", "))), keyring.threshold, keyring.roots.size());
        return Success;
    }
    if (command == QLatin1String("sign")) {
        if (!parser.isSet(key))
            return failWith(QStringLiteral("sign needs --key"), Usage);
        ReleaseSigner signer;
        const QString path = parser.value(key);
        const auto ask = [&](bool *ok) {
            return PasswordReader::read(QStringLiteral("Password for %1: ").arg(path), false, ok);
        };
        QString written;
        if (!signer.loadSecretKey(path, ask, &reason)
            || !KeyringTool::sign(dir, signer, &written, &reason))
            return failWith(reason);
        std::printf("Wrote %s\n", qPrintable(written));
        return Success;
    }
    if (command == QLatin1String("publish")) {
        int last = 0;
        QByteArray bytes;
        Keyring keyring;
        if (!KeyringTool::newest(dir, &last, &bytes, &reason))
            return failWith(reason);
        if (last == 0 || !Keyring::parse(bytes, &keyring, &reason))
            return failWith(QStringLiteral("%1 holds no keyring to publish").arg(dir), Usage);
        Publisher::Server target;
        if (!ReleaseCheck::parseServer(parser.value(server), &target.host, &target.port))
            return failWith(QStringLiteral("--server HOST:PORT is needed"), Usage);
        int timeoutSeconds = 0;
        if (!number(parser.value(timeout), 1, 86400, &timeoutSeconds))
            return failWith(QStringLiteral("--timeout takes 1 to 86400 seconds"), Usage);
        target.user = parser.value(user);
        target.password = parser.value(password);
        target.folder = keyring.binding.folder;
        target.timeoutMs = timeoutSeconds * 1000;
        int published = 0;
        QByteArray publishedBytes;
        if (!KeyringTool::fetchPublished(target, &published, &publishedBytes, &reason))
            return failWith(reason);
        Keyring previous;
        if (published > 0 && !Keyring::parse(publishedBytes, &previous, &reason))
            return failWith(reason);
        if (published == 0) {
            Keyring::Key builtInKey;
            if (!parser.isSet(builtIn)
                || !readPublicKey(parser.value(builtIn), &builtInKey, &reason))
                return failWith(
                    QStringLiteral("the server has no keyring yet: --built-in-key names "
                                   "the key updaters are built with"),
                    Usage);
            previous = Keyring::builtIn(builtInKey.publicKey);
        }
        QStringList names;
        if (!KeyringTool::checkForPublishing(dir, previous, last, &names, &reason))
            return failWith(reason);
        return upload(target, dir, names,
            QStringLiteral("Published %1 in %2 on %3")
                .arg(Keyring::fileName(last), target.folder, parser.value(server)));
    }
    return failWith(QStringLiteral("unknown keyring command \"%1\" (--help)").arg(command), Usage);
}
