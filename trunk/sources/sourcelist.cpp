#include "sourcelist.h"

#include "ftpsource.h"
#include "httpssource.h"
#include "qftp.h"
#include "releasefiles.h"
#include "safefiles.h"
#include "settings.h"
#include "version.h"

#include <QDebug>
#include <QFile>
#include <QTimer>
#include <QUrl>

#include <utility>

namespace {

// A small file a source has just written, read once within its cap (one
// byte more, so that a larger file is told from one at the cap); a null
// array, and one line saying why, when it cannot be read.
QByteArray readFetched(const QString &path, qint64 cap)
{
    QFile file(path);
    QString reason;
    if (!SafeFiles::open(file, QIODevice::ReadOnly, &reason)) {
        qDebug().noquote() << QStringLiteral("Cannot read \"%1\": %2").arg(path, reason);
        return QByteArray();
    }
    const QByteArray bytes = file.read(cap + 1);
    // Read, though empty: not the null of a file that cannot be read.
    return bytes.isNull() ? QByteArray("") : bytes;
}

} // namespace

SourceList::SourceList(QFtp *primarySession, const QString &host, quint16 port,
    const QString &folder, const QStringList &mirrors, const QString &appDir, QObject *parent)
    : QObject(parent)
    , session(primarySession)
    , appDir(appDir)
{
    primary = new FtpSource(host, port, folder, this);
    sources << primary;
    for (const QString &text : mirrors) {
        QUrl url(text, QUrl::StrictMode);
        QString base = url.path();
        if (!base.endsWith(QLatin1Char('/')))
            base += QLatin1Char('/');
        base += folder;
        ReleaseSource *source = nullptr;
        if (url.isValid() && !url.host().isEmpty() && url.scheme() == QLatin1String("ftp")) {
            source = new FtpSource(url.host(), quint16(url.port(21)), base.mid(1), this);
        } else if (url.isValid() && !url.host().isEmpty()
            && url.scheme() == QLatin1String("https")) {
            url.setPath(base + QLatin1Char('/'));
            HttpsSource *const https = new HttpsSource(url, this);
            https->setProxy(serverProxy);
            source = https;
        } else {
            // Plain http among them: nothing fetched over it could be trusted
            // to be what the publisher put there, not even the version.
            invalid << QStringLiteral("Mirror \"%1\" left: not an ftp:// or https:// address")
                           .arg(text);
            continue;
        }
        sources << source;
    }
    // With another source to ask, one that is busy now is left at once
    // rather than waited for: on a release day the mirrors take the load.
    for (int i = 0; i + 1 < sources.size(); ++i)
        sources.at(i)->setOverloadRetries(0);
    if (hasMirrors()) {
        // So is a primary slow to let this side in (a full listen queue
        // leaves a connection waiting for a greeting that comes late or
        // never); once logged in, a session has its usual time limit.
        primary->setLoginTimeout(loginLimitWithMirrors);
        if (session) {
            const int usual = session->timeout();
            session->setTimeout(loginLimitWithMirrors);
            connect(session, &QFtp::stateChanged, this, [this, usual](int state) {
                if (state == QFtp::LoggedIn)
                    session->setTimeout(usual);
            });
        }
    }
    for (ReleaseSource *source : qAsConst(sources)) {
        connect(source, &ReleaseSource::finished, this, &SourceList::stepFinished);
        connect(source, &ReleaseSource::status, this, &SourceList::status);
        connect(source, &ReleaseSource::progress, this, [this](qint64 done, qint64 total) {
            if (step == Archive)
                emit progress(done, total);
        });
    }
}

SourceList::~SourceList() = default;

QString SourceList::path(const char *name) const
{
    return appDir + QLatin1Char('/') + QLatin1String(name);
}

QString SourceList::archivePath() const
{
    return path(ReleaseFiles::archive);
}

QString SourceList::signaturePath() const
{
    return path(ReleaseFiles::archiveSignature);
}

bool SourceList::readVersionFile(const QString &path, QString *version, QString *reason)
{
    QFile file(path);
    QString refusal;
    if (!SafeFiles::open(file, QIODevice::ReadOnly, &refusal)) {
        *reason = QStringLiteral("cannot read \"%1\": %2").arg(path, refusal);
        return false;
    }
    // Never shown nor compared unless it reads as a version at all.
    QString why;
    if (!Version::readPublished(file.read(ReleaseFiles::maxVersionFileSize + 1), version, &why)) {
        *reason = QStringLiteral("the published \"%1\" %2")
                      .arg(QLatin1String(ReleaseFiles::versionFile), why);
        return false;
    }
    return true;
}

void SourceList::fetchVersionFromNext(const QString &reason)
{
    for (const QString &line : qAsConst(invalid))
        emit sourceLeft(line);
    invalid.clear();
    wantRelease = false;
    leave(reason);
}

void SourceList::fetchManifest()
{
    manifestBytes.clear();
    manifestSignatureBytes.clear();
    if (current == 0)
        primary->adopt(session, primaryListing);
    start(Manifest);
}

void SourceList::fetchRelease(const QString &releaseVersion, bool signature, qint64 cap)
{
    version = releaseVersion;
    withSignature = signature;
    archiveCap = cap;
    wantRelease = true;
    fetchedWholeAgain = false;
    // The session that told the version goes on with the files.
    if (current == 0)
        primary->adopt(session, primaryListing);
    start(withSignature ? Signature : Archive);
}

void SourceList::fetchFile(const QString &name, const QString &filePath, qint64 cap)
{
    // Whatever a cancel left of an earlier fetchBytes() is forgotten.
    bytesDone = nullptr;
    startFile(name, filePath, cap);
}

void SourceList::startFile(const QString &name, const QString &filePath, qint64 cap)
{
    otherName = name;
    otherPath = filePath;
    otherCap = cap;
    if (current == 0)
        primary->adopt(session, primaryListing);
    start(File);
}

void SourceList::fetchBytes(
    const QString &name, qint64 cap, const std::function<void(const QByteArray &)> &done)
{
    if (current == 0 && !primaryListing.isEmpty() && !primaryListing.contains(name)) {
        QTimer::singleShot(0, this, [done] { done(QByteArray()); });
        return;
    }
    // Before the source starts: it may end at once.
    bytesDone = done;
    startFile(name, path(ReleaseFiles::keyringDownload), cap);
}

std::function<void(const QString &, qint64, const std::function<void(const QByteArray &)> &)>
SourceList::bytesFetcher()
{
    return
        [this](const QString &name, qint64 cap,
            const std::function<void(const QByteArray &)> &done) { fetchBytes(name, cap, done); };
}

void SourceList::start(Step next)
{
    step = next;
    ReleaseSource *source = sources.at(current);
    switch (step) {
    case Version:
        source->fetch(QLatin1String(ReleaseFiles::versionFile),
            path(ReleaseFiles::downloadedVersionFile), ReleaseFiles::maxVersionFileSize, false);
        break;
    case CheckVersion:
        source->fetch(QLatin1String(ReleaseFiles::versionFile),
            path(ReleaseFiles::mirrorVersionFile), ReleaseFiles::maxVersionFileSize, false);
        break;
    case Manifest:
        source->fetch(QLatin1String(ReleaseFiles::manifest), path(ReleaseFiles::manifest),
            ReleaseFiles::maxManifestSize, false);
        break;
    case ManifestSignature:
        source->fetch(QLatin1String(ReleaseFiles::manifestSignature),
            path(ReleaseFiles::manifestSignature), ReleaseFiles::maxSignatureSize, false);
        break;
    case Signature:
        source->fetch(QLatin1String(ReleaseFiles::archiveSignature), signaturePath(),
            ReleaseFiles::maxSignatureSize, false);
        break;
    case Archive: {
        const QString part = path(ReleaseFiles::partialArchive);
        resumed = QFile(part).size() > 0;
        archiveFetched = true;
        source->fetch(QLatin1String(ReleaseFiles::archive), part, archiveCap, true);
        break;
    }
    case File:
        source->fetch(otherName, otherPath, otherCap, false);
        break;
    case Idle:
        break;
    }
}

void SourceList::stepFinished(bool ok, const QString &reason)
{
    auto *source = qobject_cast<ReleaseSource *>(sender());
    if (source != sources.value(current) || step == Idle)
        return;
    if (step == File && bytesDone) {
        step = Idle;
        const auto done = std::exchange(bytesDone, nullptr);
        const QString scratch = path(ReleaseFiles::keyringDownload);
        const QByteArray bytes = ok ? readFetched(scratch, otherCap) : QByteArray();
        QFile::remove(scratch);
        done(bytes.size() > otherCap ? QByteArray() : bytes);
        return;
    }
    if (step == File) {
        step = Idle;
        emit fileFetched(ok, reason);
        return;
    }
    if (!ok && (step == Manifest || step == ManifestSignature)) {
        step = Idle;
        emit manifestFetched(false, reason);
        return;
    }
    if (!ok && step == Archive && source->failedHere()) {
        step = Idle;
        emit releaseFetched(false, reason);
        return;
    }
    if (!ok) {
        // A file refused for its size names itself.
        if (source->refusedFile())
            leave(reason);
        else if (step == Signature)
            leave(QStringLiteral("no signature \"%1\": %2")
                      .arg(QLatin1String(ReleaseFiles::archiveSignature), reason));
        else
            leave(QStringLiteral("no \"%1\": %2")
                      .arg(QLatin1String(
                               step == Archive ? ReleaseFiles::archive : ReleaseFiles::versionFile),
                          reason));
        return;
    }
    QString why;
    switch (step) {
    case Version:
        if (!readVersionFile(path(ReleaseFiles::downloadedVersionFile), &version, &why)) {
            leave(why);
            return;
        }
        step = Idle;
        emit versionFetched(true, QString());
        return;
    case Manifest:
        start(ManifestSignature);
        return;
    case ManifestSignature:
        step = Idle;
        // Taken once: what is judged is what arrived, whatever happens to
        // the files afterwards.
        manifestBytes = readFetched(path(ReleaseFiles::manifest), ReleaseFiles::maxManifestSize);
        manifestSignatureBytes
            = readFetched(path(ReleaseFiles::manifestSignature), ReleaseFiles::maxSignatureSize);
        emit manifestFetched(true, QString());
        return;
    case CheckVersion: {
        QString published;
        const bool read = readVersionFile(path(ReleaseFiles::mirrorVersionFile), &published, &why);
        QFile::remove(path(ReleaseFiles::mirrorVersionFile));
        if (!read) {
            leave(why);
            return;
        }
        if (published != version) {
            leave(QStringLiteral("publishes version \"%1\", not \"%2\"").arg(published, version));
            return;
        }
        start(withSignature ? Signature : Archive);
        return;
    }
    case Signature:
        start(Archive);
        return;
    case Archive:
        step = Idle;
        // Only a whole file takes the final name.
        QFile::remove(archivePath());
        if (!QFile::rename(path(ReleaseFiles::partialArchive), archivePath())) {
            // This side's fault, not the source's: no other source would do better.
            emit releaseFetched(false,
                QStringLiteral("cannot rename \"%1\" to \"%2\"")
                    .arg(path(ReleaseFiles::partialArchive), archivePath()));
            return;
        }
        emit releaseFetched(true, QString());
        return;
    case File:
    case Idle:
        return;
    }
}

void SourceList::refuseRelease(const QString &reason)
{
    QFile::remove(archivePath());
    if (resumed && !fetchedWholeAgain) {
        // Bytes of two different files may have met in a resumed archive:
        // the whole file once more, from the same source.
        emit sourceLeft(QStringLiteral("Resumed archive from %1 refused (%2): fetching it whole")
                            .arg(sources.at(current)->location(), reason));
        fetchedWholeAgain = true;
        start(Archive);
        return;
    }
    leave(reason);
}

void SourceList::leave(const QString &reason)
{
    // With one source its reason is the run's, logged once by the window.
    if (hasMirrors())
        emit sourceLeft(
            QStringLiteral("Source %1 left: %2").arg(sources.at(current)->location(), reason));
    lastReason = reason;
    nextSource();
}

void SourceList::nextSource()
{
    step = Idle;
    fetchedWholeAgain = false;
    if (++current >= sources.size()) {
        if (wantRelease)
            emit releaseFetched(false, lastReason);
        else
            emit versionFetched(false, lastReason);
        return;
    }
    start(wantRelease ? CheckVersion : Version);
}

void SourceList::cancel()
{
    step = Idle;
    for (ReleaseSource *source : qAsConst(sources))
        source->cancel();
}

void SourceList::removeUnusedPartial()
{
    if (archiveFetched)
        return;
    const QString part = path(ReleaseFiles::partialArchive);
    if (!QFile::exists(part))
        return;
    const bool removed = QFile::remove(part);
    QFile::remove(part + QLatin1String(ReleaseFiles::partialRecordSuffix));
    qDebug().noquote() << (removed ? QStringLiteral("Partial download \"%1\" removed: not "
                                                    "continued by this run")
                                   : QStringLiteral("Partial download \"%1\" not removed"))
                              .arg(part);
}
