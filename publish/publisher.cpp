#include "publisher.h"

#include "archivebuilder.h"
#include "deltabuilder.h"
#include "manifestwriter.h"
#include "qftp.h"
#include "releasecheck.h"
#include "releasefiles.h"
#include "releasesigner.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace {

bool writeFile(const QString &path, const QByteArray &data, QString *reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    *reason = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

QString errorOf(QFtp *ftp)
{
    return ReleaseCheck::oneLine(ftp->errorString());
}

} // namespace

QStringList Publisher::releaseFiles()
{
    // The manifest after the archive it describes, its signature before it,
    // and the version file last: whoever reads a new name finds what it
    // refers to in place already.
    return {QLatin1String(ReleaseFiles::archive), QLatin1String(ReleaseFiles::archiveSignature),
        QLatin1String(ReleaseFiles::manifestSignature), QLatin1String(ReleaseFiles::manifest),
        QLatin1String(ReleaseFiles::versionFile)};
}

QString Publisher::temporaryName(const QString &finalName)
{
    // Hidden where the server hides dot files, and unique to this process.
    return QStringLiteral(".%1.%2.part").arg(finalName).arg(QCoreApplication::applicationPid());
}

QString Publisher::asideName(const QString &finalName)
{
    return QStringLiteral(".%1.%2.old").arg(finalName).arg(QCoreApplication::applicationPid());
}

bool Publisher::prepare(const QString &sourceDir, const QString &version,
    const ReleaseManifest::Binding &binding, const ReleaseSigner &signer, const QString &outputDir,
    QString *reason, const ManifestOptions *manifestOptions)
{
    // The version is one token of the trusted comment, and the updater
    // compares the installed version file's text with it.
    // The contents are checked by ArchiveBuilder::build before it writes.
    if (!ReleaseCheck::checkVersion(version, reason)
        || !ReleaseCheck::checkProduct(binding.product, reason)
        || !ReleaseCheck::checkFolder(binding.folder, reason)
        || !ReleaseCheck::checkVersionFile(sourceDir, version, binding.folder, reason)
        || !ReleaseCheck::checkOutput(sourceDir, outputDir, reason))
        return false;
    QDir out(outputDir);
    if (!out.mkpath(QStringLiteral("."))) {
        *reason = QStringLiteral("cannot make the folder %1").arg(outputDir);
        return false;
    }
    const QString archiveName = QLatin1String(ReleaseFiles::archive);
    const QString archive = out.filePath(archiveName);
    if (!ArchiveBuilder::build(sourceDir, archive, reason))
        return false;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray comment = "timestamp:" + QByteArray::number(now) + " file:"
        + archiveName.toUtf8() + " version:" + version.toUtf8() + binding.commentTokens();
    QByteArray signature;
    ReleaseManifest manifest;
    const ManifestOptions options = manifestOptions ? *manifestOptions : ManifestOptions();
    if (!signer.sign(archive, comment, &signature, reason)
        || !writeFile(
            out.filePath(QLatin1String(ReleaseFiles::archiveSignature)), signature, reason)
        || !ManifestWriter::describe(archive, version, options, now, &manifest, reason))
        return false;
    manifest.binding = binding;
    for (const QString &previous : options.previous) {
        DeltaBuilder::Delta delta;
        if (!DeltaBuilder::build(previous, archive, version, outputDir, &delta, reason)) {
            *reason = QStringLiteral("no delta from %1: %2").arg(previous, *reason);
            return false;
        }
        qDebug().noquote() << QStringLiteral("Delta from %1: %2 patched, %3 whole, %4 unchanged")
                                  .arg(delta.offer.from)
                                  .arg(delta.patched)
                                  .arg(delta.whole)
                                  .arg(delta.unchanged);
        manifest.deltas.append(delta.offer);
    }
    return ManifestWriter::write(manifest, signer, outputDir, reason)
        && writeFile(out.filePath(QLatin1String(ReleaseFiles::versionFile)),
            version.toUtf8() + '\n', reason);
}

Publisher::Publisher(QObject *parent)
    : QObject(parent)
{
}

Publisher::~Publisher() = default;

void Publisher::publish(const Server &target, const QString &dir, const QStringList &names)
{
    server = target;
    localDir = dir;
    totalBytes = 0;
    files.clear();
    failure.clear();
    tidyFailure.clear();
    for (const QString &name : names) {
        const QFileInfo info(QDir(localDir).filePath(name));
        if (!info.isFile()) {
            stage = Closing;
            failure = QStringLiteral("%1 is missing").arg(info.filePath());
            QMetaObject::invokeMethod(this, &Publisher::end, Qt::QueuedConnection);
            return;
        }
        Remote file;
        file.name = name;
        file.size = info.size();
        files << file;
        totalBytes += info.size();
    }
    stage = LoggingIn;
    index = 0;
    doneBytes = 0;
    swapStarted = false;
    steps.clear();
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
    connect(ftp, &QFtp::listInfo, this, [this](const QUrlInfo &info) {
        const auto named = [&info](const Remote &file) { return file.name == info.name(); };
        if (stage == Listing && std::any_of(files.cbegin(), files.cend(), named))
            (info.isDir() ? listedFolders : listed) << info.name();
    });
    ftp->connectToHost(server.host, server.port);
    ftp->login(server.user, server.password);
}

void Publisher::ftpDone(bool error)
{
    switch (stage) {
    case LoggingIn:
        if (error)
            return fail(QStringLiteral("cannot log in: %1").arg(errorOf(ftp)));
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
        // What of an old release is there, to be moved aside before the renames.
        stage = Listing;
        listed.clear();
        listedFolders.clear();
        ftp->list();
        return;
    case MakingFolder:
        if (error)
            return fail(
                QStringLiteral("cannot make the folder %1: %2").arg(server.folder, errorOf(ftp)));
        return uploadNext();
    case Listing:
        if (error)
            return fail(
                QStringLiteral("cannot list the folder %1: %2").arg(server.folder, errorOf(ftp)));
        if (!listedFolders.isEmpty())
            return fail(QStringLiteral("the server holds a folder named %1 in %2")
                            .arg(listedFolders.first(), server.folder));
        for (Remote &file : files)
            file.oldPresent = listed.contains(file.name);
        return uploadNext();
    case Uploading:
        upload.reset();
        if (error)
            return fail(
                QStringLiteral("uploading %1 failed: %2").arg(files.at(index).name, errorOf(ftp)));
        stage = Checking;
        reportedSize = -1;
        ftp->rawCommand(QStringLiteral("SIZE ") + temporaryName(files.at(index).name));
        return;
    case Checking: {
        const Remote &file = files.at(index);
        if (error)
            return fail(
                QStringLiteral("cannot check the size of %1: %2").arg(file.name, errorOf(ftp)));
        if (reportedSize != file.size)
            return fail(QStringLiteral("the server holds %1 bytes of %2, not %3")
                            .arg(reportedSize)
                            .arg(file.name)
                            .arg(file.size));
        doneBytes += file.size;
        emit progress(doneBytes, totalBytes);
        ++index;
        return uploadNext();
    }
    case Swapping:
    case Tidying:
    case RollingBack: {
        if (steps.isEmpty())
            return;
        const Step step = steps.takeFirst();
        const QString name = files.at(step.file).name;
        if (!error) {
            apply(step);
        } else if (stage == Swapping) {
            return fail(step.effect == MoveAside
                    ? QStringLiteral("moving the old %1 aside failed: %2").arg(name, errorOf(ftp))
                    : QStringLiteral("renaming %1 into place failed: %2").arg(name, errorOf(ftp)));
        } else if (stage == Tidying) {
            tidyFailure = QStringLiteral("the old %1 stays as %2: %3")
                              .arg(name, asideName(name), errorOf(ftp));
        }
        return runSteps(stage);
    }
    case Reconnecting:
        if (error)
            return finishRollBack();
        return rollBack();
    case Closing:
        return end();
    case Idle:
        return;
    }
}

void Publisher::uploadNext()
{
    if (index < files.size()) {
        stage = Uploading;
        Remote &file = files[index];
        upload.reset(new QFile(QDir(localDir).filePath(file.name)));
        file.uploaded = true;
        emit message(QStringLiteral("Uploading %1 (%2 bytes)").arg(file.name).arg(file.size));
        ftp->put(upload.get(), temporaryName(file.name));
        return;
    }
    // The old files go aside first, so that a rename that fails later can
    // still bring the old release back; the last file is replaced last and
    // needs no copy.
    steps.clear();
    for (int i = 0; i + 1 < files.size(); ++i) {
        if (files.at(i).oldPresent)
            steps << Step {MoveAside, i};
    }
    for (int i = 0; i < files.size(); ++i)
        steps << Step {Place, i};
    swapStarted = true;
    runSteps(Swapping);
}

// Starts the first of the steps, or goes on from `current` when none is left.
void Publisher::runSteps(Stage current)
{
    stage = current;
    if (!steps.isEmpty()) {
        const Step step = steps.first();
        const QString name = files.at(step.file).name;
        switch (step.effect) {
        case MoveAside:
            ftp->rename(name, asideName(name));
            break;
        case Place:
            ftp->rename(temporaryName(name), name);
            break;
        case PutBack:
            ftp->rename(asideName(name), name);
            break;
        case RemoveNew:
            ftp->remove(name);
            break;
        case RemoveTemporary:
            ftp->remove(temporaryName(name));
            break;
        case RemoveAside:
            ftp->remove(asideName(name));
            break;
        }
        return;
    }
    if (current == Swapping) {
        // A keyring goes up on its own, before the releases it lets sign.
        const bool keyring = std::all_of(files.cbegin(), files.cend(),
            [](const Remote &file) { return file.name.startsWith(QLatin1String("keyring-")); });
        emit message(keyring ? QStringLiteral("The new keyring is in place")
                             : QStringLiteral("The new release is in place"));
        for (int i = 0; i < files.size(); ++i) {
            if (files.at(i).oldAside)
                steps << Step {RemoveAside, i};
        }
        return runSteps(Tidying);
    }
    if (current == Tidying) {
        if (!tidyFailure.isEmpty())
            emit message(tidyFailure);
        return close();
    }
    finishRollBack();
}

void Publisher::apply(const Step &step)
{
    Remote &file = files[step.file];
    switch (step.effect) {
    case MoveAside:
        file.oldAside = true;
        break;
    case Place:
        file.uploaded = false;
        file.placed = true;
        emit message(QStringLiteral("%1 is in place").arg(file.name));
        break;
    case PutBack:
        file.oldAside = false;
        file.placed = false;
        break;
    case RemoveNew:
        file.placed = false;
        break;
    case RemoveTemporary:
        file.uploaded = false;
        break;
    case RemoveAside:
        file.oldAside = false;
        break;
    }
}

void Publisher::fail(const QString &why)
{
    failure = why;
    bool touched = false;
    for (const Remote &file : qAsConst(files))
        touched = touched || file.uploaded || file.placed || file.oldAside;
    if (touched && ftp->state() != QFtp::LoggedIn) {
        // The connection is gone: a new one puts things right.
        stage = Reconnecting;
        connectAgain();
        ftp->cd(server.folder);
        return;
    }
    rollBack();
}

// The old files back under their names, new files without an old one gone,
// the temporary files removed: newest first.
void Publisher::rollBack()
{
    steps.clear();
    for (int i = files.size() - 1; i >= 0; --i) {
        const Remote &file = files.at(i);
        if (file.oldAside)
            steps << Step {PutBack, i};
        else if (file.placed)
            steps << Step {RemoveNew, i};
        if (file.uploaded)
            steps << Step {RemoveTemporary, i};
    }
    if (swapStarted && !steps.isEmpty())
        emit message(QStringLiteral("Restoring the old release"));
    runSteps(RollingBack);
}

void Publisher::finishRollBack()
{
    bool restored = true;
    QStringList temporary;
    for (const Remote &file : qAsConst(files)) {
        restored = restored && !file.placed && !file.oldAside;
        if (file.uploaded)
            temporary << temporaryName(file.name);
    }
    if (!restored)
        failure += QStringLiteral("; the old release could not be restored (%1): publish the "
                                  "folder %2 again")
                       .arg(serverState(), server.folder);
    else if (swapStarted)
        failure += QStringLiteral("; the old release is restored");
    if (restored && !temporary.isEmpty())
        failure += QStringLiteral("; temporary files may remain: %1")
                       .arg(temporary.join(QStringLiteral(", ")));
    close();
}

// Where each file of the release is, for a publisher who has to clean up.
QString Publisher::serverState() const
{
    QStringList where;
    for (const Remote &file : files) {
        QString text;
        if (file.placed)
            text = QStringLiteral("%1 is the new one").arg(file.name);
        else if (file.oldAside || !file.oldPresent)
            text = QStringLiteral("%1 is missing").arg(file.name);
        else
            text = QStringLiteral("%1 is the old one").arg(file.name);
        if (file.oldAside)
            text += QStringLiteral(", the old one is %1").arg(asideName(file.name));
        if (file.uploaded)
            text += QStringLiteral(", the new one is %1").arg(temporaryName(file.name));
        where << text;
    }
    return where.join(QStringLiteral("; "));
}

void Publisher::close()
{
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
    failure = ReleaseCheck::oneLine(failure);
    if (!failure.isEmpty())
        qDebug() << "Publishing gave up:" << failure;
    emit finished(failure.isEmpty(), failure);
}
