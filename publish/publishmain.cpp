#include "keyringcommand.h"
#include "keyringtool.h"
#include "manifestwriter.h"
#include "passwordreader.h"
#include "progressreporter.h"
#include "publisher.h"
#include "releasecheck.h"
#include "releasefiles.h"
#include "releasesigner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>

// updater-publish: builds a release from a folder, signs it and puts it on
// the update server (or into a local folder), or makes a signing key.
namespace {

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

// `logged`: the reason has had its debug line already (the Publisher's).
int failWith(const QString &reason, bool logged = false, ExitCode code = Failure)
{
    const QString line = ReleaseCheck::oneLine(reason);
    if (!logged)
        qDebug() << "updater-publish gave up:" << line;
    std::fprintf(stderr, "updater-publish: %s\n", qPrintable(line));
    return code;
}

// A command line or folder that cannot make a release: nothing was built,
// asked or sent.
int refuse(const QString &reason)
{
    return failWith(reason, false, Usage);
}

int keygen(const QString &dir)
{
    bool ok = false;
    QByteArray password = PasswordReader::read(
        QStringLiteral("Password for the new key (empty: not encrypted): "), true, &ok);
    if (!ok)
        return failWith(QStringLiteral("no password given"));
    QByteArray publicKey;
    QString reason;
    const bool made = ReleaseSigner::generateKeyPair(dir, password, &publicKey, &reason);
    PasswordReader::wipe(password);
    if (!made)
        return failWith(reason);
    std::printf("The key pair is in %s (minisign.pub, minisign.key).\n"
                "Build the updater with:\n  -DUPDATER_PUBLIC_KEY=%s\n",
        qPrintable(dir), publicKey.constData());
    return Success;
}

// A whole number from min to max in the option's value.
bool numberOption(const QString &text, int min, int max, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= min && *value <= max;
}

// Uploads the named files of dir; `done` is printed when all are in place.
int upload(QCoreApplication &app, const Publisher::Server &server, const QString &dir,
    const QStringList &names, const QString &done)
{
    ProgressReporter reporter(stdout, ProgressReporter::isTerminal(stdout));
    Publisher publisher;
    QObject::connect(&publisher, &Publisher::message, &app,
        [&](const QString &text) { reporter.message(ReleaseCheck::oneLine(text)); });
    QObject::connect(&publisher, &Publisher::progress, &app,
        [&](qint64 done, qint64 total) { reporter.progress(done, total); });
    int result = Failure;
    QObject::connect(&publisher, &Publisher::finished, &app, [&](bool ok, const QString &why) {
        if (ok) {
            reporter.message(done);
            result = Success;
        } else {
            reporter.endBar();
            result = failWith(why, true);
        }
        app.quit();
    });
    publisher.publish(server, dir, names);
    app.exec();
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("updater-publish"));
    // The reason of a failure is printed for the user; the debug lines
    // behind it are there for QT_LOGGING_RULES="default.debug=true".
    if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    if (QCoreApplication::arguments().value(1) == QLatin1String("keyring"))
        return keyringMain(QCoreApplication::arguments(),
            [&app](const Publisher::Server &server, const QString &dir, const QStringList &names,
                const QString &done) { return upload(app, server, dir, names, done); });

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Builds app.zip from SOURCE_DIR, signs it, writes version.ver and publishes "
                       "the files of the release with its signed release information.\n"
                       "  updater-publish keygen DIR   makes a signing key pair in DIR.\n"
                       "  updater-publish rollout --percent N ...   re-signs the release "
                       "information on the server, offering the release to N% of installations.\n"
                       "  updater-publish refresh --expires DAYS ...   re-signs it to expire DAYS "
                       "days from now.\n"
                       "  updater-publish keyring --help   the keyring: root and release keys."));
    parser.addHelpOption();
    const QCommandLineOption serverOption(
        QStringLiteral("server"), QStringLiteral("The FTP server."), QStringLiteral("HOST:PORT"));
    const QCommandLineOption folderOption(QStringLiteral("folder"),
        QStringLiteral("The application's folder on the server, e.g. demo_mac or demo_linux; for "
                       "one ending in _win32, SOURCE_DIR's Bin/version.ver must hold the version."),
        QStringLiteral("FOLDER"));
    const QCommandLineOption productOption(QStringLiteral("product"),
        QStringLiteral("The application's name, the updaters' sappname (e.g. Demo); the release "
                       "is signed for this product and --folder alone."),
        QStringLiteral("NAME"));
    const QCommandLineOption versionOption(QStringLiteral("version"),
        QStringLiteral("The version published (1.2, 2.0-beta, 2.0rc1); SOURCE_DIR's version.ver "
                       "must hold it."),
        QStringLiteral("VERSION"));
    const QCommandLineOption keyOption(QStringLiteral("key"),
        QStringLiteral("The secret key (minisign's format). Its password is read from the terminal "
                       "or from UPDATER_PUBLISH_PASSWORD."),
        QStringLiteral("KEY"));
    const QCommandLineOption userOption(QStringLiteral("user"),
        QStringLiteral("The FTP user (default: the updater's)."), QStringLiteral("USER"),
        QStringLiteral("marvoline"));
    const QCommandLineOption passwordOption(QStringLiteral("password"),
        QStringLiteral("The FTP password (default: the updater's)."), QStringLiteral("PASSWORD"),
        QStringLiteral("qd4739"));
    const QCommandLineOption outputOption(QStringLiteral("output"),
        QStringLiteral("Write the release's files into DIR instead of uploading them."),
        QStringLiteral("DIR"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
        QStringLiteral("Seconds the upload may go without progress before it fails (default 30)."),
        QStringLiteral("SECONDS"), QStringLiteral("30"));
    const QCommandLineOption expiresOption(QStringLiteral("expires"),
        QStringLiteral(
            "Days until updaters no longer accept the release information (default 30)."),
        QStringLiteral("DAYS"));
    const QCommandLineOption rolloutOption(QStringLiteral("rollout"),
        QStringLiteral("Percent of installations offered the release (default 100)."),
        QStringLiteral("N"), QStringLiteral("100"));
    const QCommandLineOption percentOption(QStringLiteral("percent"),
        QStringLiteral("With rollout: the new percent (0 halts the release)."),
        QStringLiteral("N"));
    const QCommandLineOption notesOption(QStringLiteral("notes"),
        QStringLiteral("Release notes in Markdown (at most 64 KiB), shown with the question."),
        QStringLiteral("FILE"));
    const QCommandLineOption confirmOption(QStringLiteral("confirm-launches"),
        QStringLiteral("Put the release on trial: its application confirms each good start "
                       "(Updater --confirm), and one launched N times (1 to 10) without a "
                       "confirmation is reverted."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption previousOption(QStringLiteral("previous"),
        QStringLiteral("An earlier release (its folder or its app.zip) to write a delta from; "
                       "may be given more than once."),
        QStringLiteral("PATH"));
    const QCommandLineOption criticalOption(QStringLiteral("critical"),
        QStringLiteral("Mark the release as critical: offered to every installation at once, "
                       "whatever --rollout says, and asked about even where it was skipped."));
    const QCommandLineOption deliveryOption(QStringLiteral("delivery"),
        QStringLiteral("ask (the default: updaters ask before downloading) or background "
                       "(downloaded while the application runs, installed at its next start)."),
        QStringLiteral("MODE"), QStringLiteral("ask"));
    parser.addOptions({serverOption, folderOption, productOption, versionOption, keyOption,
        userOption, passwordOption, outputOption, timeoutOption, expiresOption, rolloutOption,
        percentOption, notesOption, confirmOption, previousOption, criticalOption});
    parser.addOption(deliveryOption);
    parser.addPositionalArgument(QStringLiteral("SOURCE_DIR"),
        QStringLiteral("The folder whose contents become the archive."));
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "updater-publish: %s\n", qPrintable(parser.errorText()));
        return Usage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(Success);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() == 2 && positional.first() == QLatin1String("keygen"))
        return keygen(positional.at(1));

    // rollout and refresh re-sign the manifest on the server alone.
    const QString command = positional.size() == 1 ? positional.first() : QString();
    const bool resign = command == QLatin1String("rollout") || command == QLatin1String("refresh");
    const bool local = parser.isSet(outputOption);
    QString host;
    quint16 port = 0;
    QString usage;
    ManifestOptions manifestOptions;
    int percent = -1;
    if (positional.size() != 1)
        usage = QStringLiteral("give exactly one SOURCE_DIR");
    else if (resign
        && (local || parser.isSet(versionOption) || parser.isSet(notesOption)
            || parser.isSet(confirmOption) || parser.isSet(previousOption)
            || parser.isSet(productOption) || parser.isSet(criticalOption)))
        usage = QStringLiteral("%1 takes neither --output, --version, --product, --notes, "
                               "--confirm-launches, --critical nor --previous")
                    .arg(command);
    else if (resign && parser.isSet(deliveryOption))
        usage = QStringLiteral("%1 keeps the release's delivery: it takes no --delivery")
                    .arg(command);
    else if (parser.value(deliveryOption) != QLatin1String("ask")
        && parser.value(deliveryOption) != QLatin1String("background"))
        usage = QStringLiteral("--delivery takes ask or background");
    else if (command == QLatin1String("rollout")
        && !numberOption(parser.value(percentOption), 0, 100, &percent))
        usage = QStringLiteral("rollout needs --percent N, N from 0 to 100");
    else if (command == QLatin1String("refresh") && !parser.isSet(expiresOption))
        usage = QStringLiteral("refresh needs --expires DAYS");
    else if (parser.isSet(expiresOption)
        && !numberOption(parser.value(expiresOption), 1, 3650, &manifestOptions.expiresDays))
        usage = QStringLiteral("--expires takes a number of days from 1 to 3650");
    else if (!numberOption(parser.value(rolloutOption), 0, 100, &manifestOptions.rollout))
        usage = QStringLiteral("--rollout takes a percent from 0 to 100");
    else if (parser.isSet(confirmOption)
        && !numberOption(
            parser.value(confirmOption), 1, ReleaseManifest::maxConfirm, &manifestOptions.confirm))
        usage = QStringLiteral("--confirm-launches takes a number of launches from 1 to %1")
                    .arg(ReleaseManifest::maxConfirm);
    else if (!resign && (!parser.isSet(versionOption) || !parser.isSet(keyOption)))
        usage = QStringLiteral("--version and --key are needed");
    else if (resign && !parser.isSet(keyOption))
        usage = QStringLiteral("--key is needed");
    else if (!parser.isSet(folderOption))
        usage = QStringLiteral("--folder is needed");
    else if (!resign && !parser.isSet(productOption))
        usage = QStringLiteral("--product is needed");
    else if (!local && !ReleaseCheck::parseServer(parser.value(serverOption), &host, &port))
        usage = QStringLiteral("--server HOST:PORT is needed");
    bool timeoutOk = false;
    const int timeoutSeconds = parser.value(timeoutOption).toInt(&timeoutOk);
    if (usage.isEmpty() && (!timeoutOk || timeoutSeconds < 1 || timeoutSeconds > 86400))
        usage = QStringLiteral("--timeout takes a number of seconds from 1 to 86400");
    if (!usage.isEmpty())
        return refuse(usage + QStringLiteral(" (--help lists the options)"));

    // Everything that can be refused is refused here, before the key's
    // password is asked for, anything is built or a connection is made.
    const QString sourceDir = positional.first();
    const QString version = parser.value(versionOption);
    const QString folder = parser.value(folderOption);
    const QString keyPath = parser.value(keyOption);
    // Re-signing touches the manifest alone: no version or folder to build.
    const ReleaseManifest::Binding binding {parser.value(productOption), folder};
    QString problem;
    if (!resign
        && (!ReleaseCheck::checkVersion(version, &problem)
            || !ReleaseCheck::checkProduct(binding.product, &problem)))
        return refuse(problem);
    if (!ReleaseCheck::checkFolder(folder, &problem)
        || !ReleaseCheck::checkLine(QStringLiteral("user"), parser.value(userOption), &problem)
        || !ReleaseCheck::checkLine(
            QStringLiteral("password"), parser.value(passwordOption), &problem))
        return refuse(problem);
    if (!QFileInfo(keyPath).isFile())
        return refuse(QStringLiteral("the key %1 is not a file").arg(keyPath));
    if (!resign
        && !ReleaseCheck::checkSource(
            sourceDir, version, folder, local ? parser.value(outputOption) : QString(), &problem))
        return refuse(problem);

    ReleaseSigner signer;
    QString reason;
    const auto password = [&](bool *ok) {
        return PasswordReader::read(QStringLiteral("Password for %1: ").arg(keyPath), false, ok);
    };
    if (!signer.loadSecretKey(keyPath, password, &reason))
        return failWith(reason);
    manifestOptions.notesPath = parser.value(notesOption);
    manifestOptions.critical = parser.isSet(criticalOption);
    manifestOptions.background = parser.value(deliveryOption) == QLatin1String("background");

    Publisher::Server server;
    server.host = host;
    server.port = port;
    server.user = parser.value(userOption);
    server.password = parser.value(passwordOption);
    server.folder = folder;
    server.timeoutMs = timeoutSeconds * 1000;

    // Once a keyring is published, only a release key it lists may sign.
    int keyring = 0;
    QByteArray keyringBytes;
    Keyring published;
    if (!local
        && (!KeyringTool::fetchPublished(server, &keyring, &keyringBytes, &reason)
            || (keyring > 0
                && (!Keyring::parse(keyringBytes, &published, &reason)
                    || !KeyringTool::checkReleaseKey(
                        published, signer.keyId(), QDateTime::currentSecsSinceEpoch(), &reason)))))
        return failWith(reason);

    QTemporaryDir work;
    const QString outputDir = local ? parser.value(outputOption) : work.path();
    if (!local && !work.isValid())
        return failWith(QStringLiteral("no temporary folder: %1").arg(work.errorString()));
    if (resign) {
        std::optional<int> expires;
        if (parser.isSet(expiresOption))
            expires = manifestOptions.expiresDays;
        if (!ManifestWriter::fetch(server, outputDir, &reason)
            || !ManifestWriter::resign(outputDir, signer,
                percent >= 0 ? std::optional<int>(percent) : std::nullopt, expires,
                QDateTime::currentSecsSinceEpoch(), &reason))
            return failWith(reason);
        return upload(app, server, outputDir,
            {QLatin1String(ReleaseFiles::manifestSignature), QLatin1String(ReleaseFiles::manifest)},
            QStringLiteral("Re-signed the release information in %1 on %2")
                .arg(server.folder, parser.value(serverOption)));
    }
    manifestOptions.previous = parser.values(previousOption);
    if (!Publisher::prepare(
            sourceDir, version, binding, signer, outputDir, &reason, &manifestOptions))
        return failWith(reason);
    // The deltas the manifest lists go up first: a release must never list
    // one that is not there yet.
    QStringList names;
    QFile written(QDir(outputDir).filePath(QLatin1String(ReleaseFiles::manifest)));
    ReleaseManifest manifest;
    if (!written.open(QIODevice::ReadOnly)
        || !ReleaseManifest::parse(written.readAll(), &manifest, &reason))
        return failWith(QStringLiteral("cannot read back %1: %2").arg(written.fileName(), reason));
    for (const DeltaIndex::Offer &delta : qAsConst(manifest.deltas)) {
        std::printf("Delta from %s: %s, %lld bytes, of the archive's %lld\n",
            qPrintable(delta.from), qPrintable(delta.name), delta.size, manifest.archiveSize);
        names << delta.name << delta.indexName;
    }
    names += Publisher::releaseFiles();
    if (local) {
        std::printf("Wrote %s into %s\n", qPrintable(names.join(QStringLiteral(", "))),
            qPrintable(outputDir));
        return Success;
    }
    return upload(app, server, outputDir, names,
        QStringLiteral("Published version %1 in %2 on %3")
            .arg(parser.value(versionOption), server.folder, parser.value(serverOption)));
}
