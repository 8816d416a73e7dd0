#include "manifestwriter.h"

#include "minisignformat.h"
#include "qftp.h"
#include "releasefiles.h"
#include "releasesigner.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSaveFile>
#include <QTextCodec>

namespace {

constexpr qint64 secondsPerDay = 24 * 60 * 60;

bool fail(QString *reason, const QString &text)
{
    *reason = text;
    return false;
}

bool writeFile(const QString &path, const QByteArray &data, QString *reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    return fail(reason, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
}

// The file's bytes when it holds at most cap of them.
bool readFile(const QString &path, qint64 cap, QByteArray *data, QString *reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(reason, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    if (file.size() > cap)
        return fail(reason, QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(cap));
    *data = file.readAll();
    return true;
}

QString manifestPath(const QString &dir)
{
    return QDir(dir).filePath(QLatin1String(ReleaseFiles::manifest));
}

QString signaturePath(const QString &dir)
{
    return QDir(dir).filePath(QLatin1String(ReleaseFiles::manifestSignature));
}

// A signature file without its untrusted comment, which anyone may change.
QList<QByteArray> signedLines(const QByteArray &signatureFile)
{
    return Minisign::lines(signatureFile).mid(1);
}

} // namespace

bool ManifestWriter::describe(const QString &archivePath, const QString &version,
    const ManifestOptions &options, qint64 now, ReleaseManifest *manifest, QString *reason)
{
    ReleaseManifest m;
    m.version = version;
    m.signedAt = now;
    m.expires = now + options.expiresDays * secondsPerDay;
    m.archiveName = QLatin1String(ReleaseFiles::archive);
    m.archiveSize = QFileInfo(archivePath).size();
    m.rollout = options.rollout;
    m.confirm = options.confirm;
    m.critical = options.critical;
    m.background = options.background;
    if (!Minisign::prehashFile(archivePath, &m.archiveHash, reason))
        return false;
    if (!options.notesPath.isEmpty()) {
        QByteArray notes;
        if (!readFile(options.notesPath, ReleaseFiles::maxNotesSize, &notes, reason))
            return false;
        QTextCodec::ConverterState state;
        m.notes
            = QTextCodec::codecForName("UTF-8")->toUnicode(notes.constData(), notes.size(), &state);
        if (state.invalidChars > 0)
            return fail(reason, QStringLiteral("%1 is not UTF-8").arg(options.notesPath));
    }
    *manifest = m;
    return true;
}

bool ManifestWriter::write(const ReleaseManifest &manifest, const ReleaseSigner &signer,
    const QString &dir, QString *reason)
{
    const QByteArray comment = "timestamp:" + QByteArray::number(manifest.signedAt)
        + " file:" + ReleaseFiles::manifest + " version:" + manifest.version.toUtf8()
        + manifest.binding.commentTokens();
    QByteArray signature;
    return writeFile(manifestPath(dir), manifest.toJson(), reason)
        && signer.sign(manifestPath(dir), comment, &signature, reason)
        && writeFile(signaturePath(dir), signature, reason);
}

bool ManifestWriter::fetch(const Publisher::Server &server, const QString &dir, QString *reason)
{
    QFile signature(signaturePath(dir));
    QFile manifest(manifestPath(dir));
    if (!signature.open(QIODevice::WriteOnly) || !manifest.open(QIODevice::WriteOnly))
        return fail(reason, QStringLiteral("cannot write into %1").arg(dir));
    QFtp ftp;
    ftp.setTimeout(server.timeoutMs);
    QString failure;
    QEventLoop loop;
    QObject::connect(&ftp, &QFtp::done, &loop, [&](bool error) {
        if (error)
            failure = ftp.errorString();
        loop.quit();
    });
    ftp.connectToHost(server.host, server.port);
    ftp.login(server.user, server.password);
    ftp.cd(server.folder);
    ftp.get(QLatin1String(ReleaseFiles::manifestSignature), &signature);
    ftp.get(QLatin1String(ReleaseFiles::manifest), &manifest);
    ftp.close();
    loop.exec();
    signature.close();
    manifest.close();
    if (!failure.isEmpty())
        return fail(reason,
            QStringLiteral("cannot fetch the release information from %1: %2")
                .arg(server.folder, failure.replace(QLatin1Char('\n'), QLatin1Char(' '))));
    return true;
}

bool ManifestWriter::resign(const QString &dir, const ReleaseSigner &signer,
    std::optional<int> rollout, std::optional<int> expiresDays, qint64 now, QString *reason)
{
    QByteArray json;
    QByteArray signature;
    if (!readFile(manifestPath(dir), ReleaseFiles::maxManifestSize, &json, reason)
        || !readFile(signaturePath(dir), ReleaseFiles::maxSignatureSize, &signature, reason))
        return false;
    // Ed25519 signs deterministically: this key's signature of these bytes
    // with this trusted comment is the one given, or the key did not make it.
    const QList<QByteArray> given = signedLines(signature);
    const QByteArray comment = given.value(1);
    QByteArray again;
    if (given.size() != 3 || !comment.startsWith(Minisign::trustedPrefix)
        || !signer.sign(
            manifestPath(dir), comment.mid(Minisign::trustedPrefix.size()), &again, reason)
        || signedLines(again) != given)
        return fail(reason,
            QStringLiteral("the release information on the server is not signed with this key"));
    ReleaseManifest manifest;
    if (!ReleaseManifest::parse(json, &manifest, reason))
        return fail(reason, QStringLiteral("the release information is malformed: ") + *reason);
    manifest.signedAt = qMax(now, manifest.signedAt + 1);
    if (rollout)
        manifest.rollout = *rollout;
    if (expiresDays)
        manifest.expires = manifest.signedAt + *expiresDays * secondsPerDay;
    return write(manifest, signer, dir, reason);
}
