#include "deltabuilder.h"
#include "passwordreader.h"
#include "progressreporter.h"
#include "publisher.h"
#include "releasesigner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>

// updater-publish: builds a release from a folder, signs it and puts it on
// the update server (or into a local folder), or makes a signing key.
namespace {

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

// `logged`: the reason has had its debug line already (the Publisher's).
int failWith(const QString &reason, bool logged = false)
{
    if (!logged)
        qDebug() << "updater-publish gave up:" << reason;
    std::fprintf(stderr, "updater-publish: %s\n", qPrintable(reason));
    return Failure;
}

// "host:port", "[v6]:port" or a bare host (port 21).
bool parseServer(const QString &text, QString *host, quint16 *port)
{
    QString h = text;
    QString p = QStringLiteral("21");
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        h = text.mid(1, close - 1);
        if (close + 1 < text.size()) {
            if (text.at(close + 1) != QLatin1Char(':'))
                return false;
            p = text.mid(close + 2);
        }
    } else if (colon >= 0 && text.indexOf(QLatin1Char(':')) == colon) {
        h = text.left(colon);
        p = text.mid(colon + 1);
    }
    bool ok = false;
    const uint value = p.toUInt(&ok);
    if (!ok || value == 0 || value > 65535 || h.isEmpty())
        return false;
    *host = h;
    *port = quint16(value);
    return true;
}

int keygen(const QString &dir)
{
    bool ok = false;
    const QByteArray password = PasswordReader::read(
        QStringLiteral("Password for the new key (empty: not encrypted): "), true, &ok);
    if (!ok)
        return failWith(QStringLiteral("no password given"));
    QByteArray publicKey;
    QString reason;
    if (!ReleaseSigner::generateKeyPair(dir, password, &publicKey, &reason))
        return failWith(reason);
    std::printf("The key pair is in %s (minisign.pub, minisign.key).\n"
                "Build the updater with:\n  -DUPDATER_PUBLIC_KEY=%s\n",
        qPrintable(dir), publicKey.constData());
    return Success;
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

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Builds app.zip from SOURCE_DIR, signs it, writes version.ver and publishes "
                       "the three files.\n"
                       "  updater-publish keygen DIR   makes a signing key pair in DIR."));
    parser.addHelpOption();
    const QCommandLineOption serverOption(
        QStringLiteral("server"), QStringLiteral("The FTP server."), QStringLiteral("HOST:PORT"));
    const QCommandLineOption folderOption(QStringLiteral("folder"),
        QStringLiteral("The application's folder on the server, e.g. demo_mac."),
        QStringLiteral("FOLDER"));
    const QCommandLineOption versionOption(QStringLiteral("version"),
        QStringLiteral("The version published."), QStringLiteral("VERSION"));
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
        QStringLiteral("Write the three files into DIR instead of uploading them."),
        QStringLiteral("DIR"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
        QStringLiteral("Seconds the upload may go without progress before it fails (default 30)."),
        QStringLiteral("SECONDS"), QStringLiteral("30"));
    const QCommandLineOption previousOption(QStringLiteral("previous"),
        QStringLiteral("An earlier release (its folder or its app.zip) to write a delta from; "
                       "may be given more than once."),
        QStringLiteral("PATH"));
    parser.addOptions({serverOption, folderOption, versionOption, keyOption, userOption,
        passwordOption, outputOption, timeoutOption, previousOption});
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

    const bool local = parser.isSet(outputOption);
    QString host;
    quint16 port = 0;
    QString usage;
    if (positional.size() != 1)
        usage = QStringLiteral("give exactly one SOURCE_DIR");
    else if (!parser.isSet(versionOption) || !parser.isSet(keyOption))
        usage = QStringLiteral("--version and --key are needed");
    else if (!local && (!parser.isSet(folderOption) || parser.value(folderOption).isEmpty()))
        usage = QStringLiteral("--folder is needed");
    else if (!local && !parseServer(parser.value(serverOption), &host, &port))
        usage = QStringLiteral("--server HOST:PORT is needed");
    bool timeoutOk = false;
    const int timeoutSeconds = parser.value(timeoutOption).toInt(&timeoutOk);
    if (usage.isEmpty() && (!timeoutOk || timeoutSeconds < 1 || timeoutSeconds > 86400))
        usage = QStringLiteral("--timeout takes a number of seconds from 1 to 86400");
    if (!usage.isEmpty()) {
        std::fprintf(
            stderr, "updater-publish: %s\n%s", qPrintable(usage), qPrintable(parser.helpText()));
        return Usage;
    }

    ReleaseSigner signer;
    QString reason;
    const QString keyPath = parser.value(keyOption);
    const auto password = [&](bool *ok) {
        return PasswordReader::read(QStringLiteral("Password for %1: ").arg(keyPath), false, ok);
    };
    if (!signer.loadSecretKey(keyPath, password, &reason))
        return failWith(reason);

    QTemporaryDir work;
    const QString outputDir = local ? parser.value(outputOption) : work.path();
    if (!local && !work.isValid())
        return failWith(QStringLiteral("no temporary folder: %1").arg(work.errorString()));
    if (!Publisher::prepare(
            positional.first(), parser.value(versionOption), signer, outputDir, &reason))
        return failWith(reason);
    // Deltas go up first: a release must never list one that is not there yet.
    QStringList deltaFiles;
    QVector<DeltaIndex::Offer> deltas;
    for (const QString &previous : parser.values(previousOption)) {
        DeltaBuilder::Delta delta;
        if (!DeltaBuilder::build(previous, QDir(outputDir).filePath(QStringLiteral("app.zip")),
                parser.value(versionOption), outputDir, &delta, &reason))
            return failWith(QStringLiteral("no delta from %1: %2").arg(previous, reason));
        std::printf("Delta from %s: %s, %lld bytes (%d patched, %d whole, %d unchanged)\n",
            qPrintable(delta.offer.from), qPrintable(delta.offer.name), delta.offer.size,
            delta.patched, delta.whole, delta.unchanged);
        deltaFiles << delta.offer.name << delta.offer.indexName;
        deltas.append(delta.offer);
    }
    if (local) {
        std::printf(
            "Wrote app.zip, app.zip.minisig and version.ver into %s\n", qPrintable(outputDir));
        return Success;
    }

    ProgressReporter reporter(stdout, ProgressReporter::isTerminal(stdout));
    Publisher publisher;
    QObject::connect(&publisher, &Publisher::message, &app,
        [&](const QString &text) { reporter.message(text); });
    QObject::connect(&publisher, &Publisher::progress, &app,
        [&](qint64 done, qint64 total) { reporter.progress(done, total); });
    int result = Failure;
    QObject::connect(&publisher, &Publisher::finished, &app, [&](bool ok, const QString &why) {
        if (ok) {
            reporter.message(QStringLiteral("Published version %1 in %2 on %3")
                                 .arg(parser.value(versionOption), parser.value(folderOption),
                                     parser.value(serverOption)));
            result = Success;
        } else {
            reporter.endBar();
            result = failWith(why, true);
        }
        app.quit();
    });
    Publisher::Server server;
    server.host = host;
    server.port = port;
    server.user = parser.value(userOption);
    server.password = parser.value(passwordOption);
    server.folder = parser.value(folderOption);
    server.timeoutMs = timeoutSeconds * 1000;
    publisher.publish(server, outputDir, deltaFiles);
    app.exec();
    return result;
}
