#include "publisher.h"

#include "archivebuilder.h"
#include "qftp.h"
#include "releasesigner.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

namespace {

const QString archiveName = QStringLiteral("app.zip");
const QString signatureName = QStringLiteral("app.zip.minisig");
const QString versionName = QStringLiteral("version.ver");

bool writeFile(const QString &path, const QByteArray &data, QString *reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    *reason = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

} // namespace

QStringList Publisher::releaseFiles()
{
    return {archiveName, signatureName, versionName};
}

QString Publisher::temporaryName(const QString &finalName)
{
    // Hidden where the server hides dot files, and unique to this process.
    return QStringLiteral(".%1.%2.part").arg(finalName).arg(QCoreApplication::applicationPid());
}

bool Publisher::prepare(const QString &sourceDir, const QString &version,
    const ReleaseSigner &signer, const QString &outputDir, QString *reason)
{
    // The version is one token of the trusted comment, and the updater
    // compares the file's text with it.
    if (version.isEmpty() || version.contains(QRegularExpression(QStringLiteral("\\s")))) {
        *reason = QStringLiteral("the version \"%1\" must be one word").arg(version);
        return false;
    }
    // A release written into its own source would be packed by the next run.
    const QString source = QDir(sourceDir).canonicalPath();
    if (!source.isEmpty()
        && (QDir(outputDir).absolutePath() + QLatin1Char('/'))
               .startsWith(source + QLatin1Char('/'))) {
        *reason = QStringLiteral("the output folder %1 lies inside %2").arg(outputDir, sourceDir);
        return false;
    }
    QDir out(outputDir);
    if (!out.mkpath(QStringLiteral("."))) {
        *reason = QStringLiteral("cannot make the folder %1").arg(outputDir);
        return false;
    }
    const QString archive = out.filePath(archiveName);
    if (!ArchiveBuilder::build(sourceDir, archive, reason))
        return false;
    const QByteArray comment = "timestamp:" + QByteArray::number(QDateTime::currentSecsSinceEpoch())
        + " file:" + archiveName.toUtf8() + " version:" + version.toUtf8();
    QByteArray signature;
    return signer.sign(archive, comment, &signature, reason)
        && writeFile(out.filePath(signatureName), signature, reason)
        && writeFile(out.filePath(versionName), version.toUtf8() + '\n', reason);
}

Publisher::Publisher(QObject *parent)
    : QObject(parent)
{
}

Publisher::~Publisher() = default;

void Publisher::publish(const Server &target, const QString &dir, const QStringList &firstFiles)
{
    server = target;
    localDir = dir;
    files = firstFiles + releaseFiles();
    totalBytes = 0;
    for (const QString &name : qAsConst(files)) {
        const QFileInfo info(QDir(localDir).filePath(name));
        if (!info.isFile()) {
            stage = Closing;
            failure = QStringLiteral("%1 is missing").arg(info.filePath());
            QMetaObject::invokeMethod(this, &Publisher::end, Qt::QueuedConnection);
            return;
        }
        totalBytes += info.size();
    }
    stage = LoggingIn;
    index = started = 0;
    doneBytes = 0;
    failure.clear();
    emit message(QStringLiteral("Connecting to %1 port %2").arg(server.host).arg(server.port));
    connectAgain();
}

void Publisher::connectAgain()
{
    if (ftp) {
        // It may be inside one of its own signals: delete it once that is over.
        ftp->disconnect(this);
        ftp->deleteLater();
    }
    ftp = new QFtp(this);
    // A server that stops answering ends the publish with its reason instead
    // of holding the tool forever.
    ftp->setTimeout(server.timeoutMs);
    connect(ftp, &QFtp::done, this, &Publisher::ftpDone);
    connect(ftp, &QFtp::dataTransferProgress, this, [this](qint64 done, qint64) {
        if (stage == Uploading)
            emit progress(doneBytes + done, totalBytes);
    });
    connect(ftp, &QFtp::rawCommandReply, this, [this](int code, const QString &text) {
        bool ok = false;
        const qint64 size = text.trimmed().toLongLong(&ok);
        if (stage == Checking && code == 213 && ok)
            reportedSize = size;
    });
    ftp->connectToHost(server.host, server.port);
    ftp->login(server.user, server.password);
}

void Publisher::ftpDone(bool error)
{
    const QString name = files.value(index);
    switch (stage) {
    case LoggingIn:
        if (error)
            return fail(QStringLiteral("cannot log in: %1").arg(ftp->errorString()));
        stage = EnteringFolder;
        ftp->cd(server.folder);
        return;
    case EnteringFolder:
        if (error) {
            emit message(QStringLiteral("Making the folder %1").arg(server.folder));
            stage = MakingFolder;
            ftp->mkdir(server.folder);
            ftp->cd(server.folder);
            return;
        }
        return next();
    case MakingFolder:
        if (error)
            return fail(QStringLiteral("cannot make the folder %1: %2")
                            .arg(server.folder, ftp->errorString()));
        return next();
    case Uploading:
        upload.reset();
        if (error)
            return fail(QStringLiteral("uploading %1 failed: %2").arg(name, ftp->errorString()));
        stage = Checking;
        reportedSize = -1;
        ftp->rawCommand(QStringLiteral("SIZE ") + temporaryName(name));
        return;
    case Checking:
        if (error)
            return fail(
                QStringLiteral("cannot check the size of %1: %2").arg(name, ftp->errorString()));
        if (reportedSize != expectedSize)
            return fail(QStringLiteral("the server holds %1 bytes of %2, not %3")
                            .arg(reportedSize)
                            .arg(name)
                            .arg(expectedSize));
        doneBytes += expectedSize;
        emit progress(doneBytes, totalBytes);
        ++index;
        return next();
    case Renaming:
        if (error)
            return fail(
                QStringLiteral("renaming %1 into place failed: %2").arg(name, ftp->errorString()));
        emit message(QStringLiteral("%1 is in place").arg(name));
        ++index;
        return next();
    case Reconnecting:
        if (error) {
            QStringList left;
            for (int i = index; i < index + started; ++i)
                left << temporaryName(files.at(i));
            failure += QStringLiteral("; temporary files may remain: %1")
                           .arg(left.join(QStringLiteral(", ")));
            started = 0;
        }
        stage = CleaningUp;
        return cleanUpNext();
    case CleaningUp:
        return cleanUpNext();
    case Closing:
        return end();
    case Idle:
        return;
    }
}

void Publisher::next()
{
    if (stage != Renaming && index < files.size()) {
        stage = Uploading;
        const QString name = files.at(index);
        upload.reset(new QFile(QDir(localDir).filePath(name)));
        expectedSize = upload->size();
        started = index + 1;
        emit message(QStringLiteral("Uploading %1 (%2 bytes)").arg(name).arg(expectedSize));
        ftp->put(upload.get(), temporaryName(name));
        return;
    }
    if (stage != Renaming) {
        stage = Renaming;
        index = 0;
    }
    if (index < files.size()) {
        ftp->rename(temporaryName(files.at(index)), files.at(index));
        return;
    }
    stage = Closing;
    ftp->close();
}

void Publisher::fail(const QString &why)
{
    failure = why;
    if (stage == Renaming && index > 0)
        failure += QStringLiteral(" (already in place: %1)")
                       .arg(files.mid(0, index).join(QStringLiteral(", ")));
    // The files not yet renamed, the one that failed included.
    const int first = stage == Renaming ? index : 0;
    stage = CleaningUp;
    started = started - first;
    index = first;
    if (ftp->state() != QFtp::LoggedIn && started > 0) {
        // The connection is gone: a new one removes what was left behind.
        stage = Reconnecting;
        connectAgain();
        ftp->cd(server.folder);
        return;
    }
    cleanUpNext();
}

void Publisher::cleanUpNext()
{
    // One removal at a time: a refused one must not drop those behind it.
    if (started > 0) {
        --started;
        ftp->remove(temporaryName(files.at(index++)));
        return;
    }
    stage = Closing;
    if (ftp->state() == QFtp::Unconnected)
        return end();
    ftp->close();
}

void Publisher::end()
{
    if (stage == Idle)
        return;
    stage = Idle;
    upload.reset();
    if (!failure.isEmpty())
        qDebug() << "Publishing gave up:" << failure;
    emit finished(failure.isEmpty(), failure);
}
