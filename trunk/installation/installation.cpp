#include "installation.h"

#include "instancelock.h"
#include "platform.h"
#include "releasefiles.h"
#include "version.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

Installation::Installation(const QString &appDir)
    : dir(appDir)
{
}

QString Installation::programFolder()
{
    return Platform::layout() == Platform::Layout::Windows ? QStringLiteral("Bin") : QString();
}

QString Installation::versionFileName()
{
    const QString folder = programFolder();
    const QString name = QLatin1String(ReleaseFiles::versionFile);
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

QString Installation::versionFilePath() const
{
    return dir + QLatin1Char('/') + versionFileName();
}

QString Installation::installedVersion()
{
    if (!version)
        version = readInstalledVersion(dir);
    return *version;
}

QString Installation::readInstalledVersion(const QString &appDir)
{
    // The file belongs to the application, so a link there is followed, as
    // for config.conf; but only to a regular file (a FIFO would block the
    // start), and one short line: anything larger is no version at all.
    QFile file(appDir + QLatin1Char('/') + versionFileName());
    if (!QFileInfo(file.fileName()).isFile() || !file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray data = file.read(ReleaseFiles::maxVersionFileSize + 1);
    if (data.size() > ReleaseFiles::maxVersionFileSize)
        return QString();
    return Version::clean(QString::fromUtf8(data));
}

QStringList Installation::reservedNames()
{
    QStringList names;
    // The updater's own files: an entry there would replace what the
    // updater reads or writes next, or be removed by it.
    for (const char *name : {stagingFolder, backupFolder, journalFile, ReleaseFiles::state,
             ReleaseFiles::stateCopy, ReleaseFiles::stateLock, ReleaseFiles::applicationRunning,
             ReleaseFiles::installedFiles, ReleaseFiles::previousVersion,
             ReleaseFiles::deltaStaging, ReleaseFiles::downloadedVersionFile,
             ReleaseFiles::mirrorVersionFile, ReleaseFiles::archive, ReleaseFiles::archiveSignature,
             ReleaseFiles::partialArchive, ReleaseFiles::manifest, ReleaseFiles::manifestSignature,
             ReleaseFiles::partialDelta, ReleaseFiles::downloadedDeltaIndex,
             ReleaseFiles::keptKeyring, ReleaseFiles::keyringDownload, ReleaseFiles::readyUpdate,
             ReleaseFiles::readyLock})
        names.append(QLatin1String(name));
    names.append(QLatin1String(ReleaseFiles::partialArchive)
        + QLatin1String(ReleaseFiles::partialRecordSuffix));
    // The running updater's lock: replacing it would let a second updater in.
    names.append(QLatin1String(InstanceLock::baseName));
    return names;
}

bool Installation::isReserved(const QString &relative)
{
    static const QStringList names = reservedNames();
    return names.contains(relative.section(QLatin1Char('/'), 0, 0), Qt::CaseInsensitive);
}

QStringList Installation::keptNames(const QString &root)
{
    QStringList names {QStringLiteral("config.conf")};
    // On Linux the updater stands beside the application or, as on the
    // bundle layout, in Updater.app three levels below it.
    if (Platform::layout() == Platform::Layout::Windows)
        names.append(QStringLiteral("Updater.exe"));
    if (Platform::layout() == Platform::Layout::Linux)
        names.append(QStringLiteral("Updater"));
    if (Platform::layout() != Platform::Layout::Windows)
        names.append(QStringLiteral("Updater.app"));
    const QString program = QCoreApplication::applicationFilePath();
    if (program.startsWith(root + QLatin1Char('/')))
        names.append(program.mid(root.size() + 1).section(QLatin1Char('/'), 0, 0));
    return names;
}

const UpdateState &Installation::state()
{
    if (!held) {
        ++reads;
        lost.clear();
        held = UpdateState::load(dir, &lost);
        // Said once, however often another process's revert makes this
        // read it again.
        if (!lost.isEmpty() && lost != said)
            qDebug().noquote() << lost;
        said = lost;
    }
    return *held;
}

const UpdateState &Installation::stateForDecision()
{
    state();
    if (!lost.isEmpty())
        qDebug().noquote() << "State of earlier updates lost:" << lost;
    return *held;
}

bool Installation::changeState(const std::function<bool(UpdateState &)> &change, QString *reason)
{
    state();
    bool written = false;
    const bool ok = UpdateState::update(*held, change, reason, &written);
    if (written)
        lost.clear();
    return ok;
}

void Installation::stateSaved(const UpdateState &saved)
{
    held = saved;
    lost.clear();
}

void Installation::reload()
{
    held.reset();
    version.reset();
}
