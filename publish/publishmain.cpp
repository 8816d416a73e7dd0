#include "deltabuilder.h"
#include "passwordreader.h"
#include "progressreporter.h"
#include "publisher.h"
#include "releasecheck.h"
#include "releasesigner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>

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
        QStringLiteral("The application's folder on the server, e.g. demo_mac; for one ending in "
                       "_win32, SOURCE_DIR's Bin/version.ver must hold the version."),
        QStringLiteral("FOLDER"));
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
    else if (!local && !parser.isSet(folderOption))
        usage = QStringLiteral("--folder is needed");
    else if (!local && !parseServer(parser.value(serverOption), &host, &port))
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
    QString problem = ReleaseCheck::versionProblem(version);
    if (problem.isEmpty() && (!local || parser.isSet(folderOption)))
        problem = ReleaseCheck::folderProblem(folder);
    if (problem.isEmpty())
        problem = ReleaseCheck::lineProblem(QStringLiteral("user"), parser.value(userOption));
    if (problem.isEmpty())
        problem
            = ReleaseCheck::lineProblem(QStringLiteral("password"), parser.value(passwordOption));
    if (problem.isEmpty() && !QFileInfo(keyPath).isFile())
        problem = QStringLiteral("the key %1 is not a file").arg(keyPath);
    if (problem.isEmpty())
        problem = ReleaseCheck::sourceProblem(
            sourceDir, version, folder, local ? parser.value(outputOption) : QString());
    if (!problem.isEmpty())
        return refuse(problem);

    ReleaseSigner signer;
    QString reason;
    const auto password = [&](bool *ok) {
        return PasswordReader::read(QStringLiteral("Password for %1: ").arg(keyPath), false, ok);
    };
    if (!signer.loadSecretKey(keyPath, password, &reason))
        return failWith(reason);

    QTemporaryDir work;
    const QString outputDir = local ? parser.value(outputOption) : work.path();
    if (!local && !work.isValid())
        return failWith(QStringLiteral("no temporary folder: %1").arg(work.errorString()));
    if (!Publisher::prepare(sourceDir, version, signer, outputDir, &reason, folder))
        return failWith(reason);
    // Deltas go up first: a release must never list one that is not there yet.
    QStringList deltaFiles;
    QVector<DeltaIndex::Offer> deltas;
    for (const QString &previous : parser.values(previousOption)) {
        DeltaBuilder::Delta delta;
        if (!DeltaBuilder::build(previous, QDir(outputDir).filePath(QStringLiteral("app.zip")),
                version, outputDir, &delta, &reason))
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
        [&](const QString &text) { reporter.message(ReleaseCheck::oneLine(text)); });
    QObject::connect(&publisher, &Publisher::progress, &app,
        [&](qint64 done, qint64 total) { reporter.progress(done, total); });
    int result = Failure;
    QObject::connect(&publisher, &Publisher::finished, &app, [&](bool ok, const QString &why) {
        if (ok) {
            reporter.message(QStringLiteral("Published version %1 in %2 on %3")
                                 .arg(version, folder, parser.value(serverOption)));
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
    server.folder = folder;
    server.timeoutMs = timeoutSeconds * 1000;
    publisher.publish(server, outputDir, deltaFiles);
    app.exec();
    return result;
}
