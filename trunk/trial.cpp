#include "trial.h"

#include "installer.h"
#include "instancelock.h"
#include "platform.h"
#include "releasefiles.h"
#include "releasemanifest.h"
#include "updatestate.h"
#include "version.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

// How long a revert under way is waited for; it takes seconds.
const int revertWaitMs = 120000;

using Record = UpdateState::TrialRecord;

bool onTrial(const Record &trial, const QString &installed)
{
    return !trial.version.isEmpty() && trial.version == installed;
}

// The installation's state with its trial at hand; save() writes `trial` back.
struct TrialState
{
    static TrialState load(const QString &appDir)
    {
        TrialState loaded {UpdateState::load(appDir), Record()};
        loaded.trial = loaded.state.trial();
        return loaded;
    }
    bool save(QString *reason)
    {
        state.setTrial(trial);
        return state.save(reason);
    }

    UpdateState state;
    Record trial;
};

QString launchCount(int launches)
{
    return launches == 1 ? QStringLiteral("once") : QStringLiteral("%1 times").arg(launches);
}

QString previousFolder(const QString &appDir)
{
    return appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::previousVersion);
}

// Ends the trial (a revert's bad version recorded) and drops the kept
// version; `line` is what the log says, with what went wrong appended.
Trial::Outcome endTrial(const QString &appDir, TrialState &state, QString line)
{
    state.trial = Record();
    QString reason;
    if (!state.save(&reason))
        line += QStringLiteral("; ") + reason;
    else if (!Installer::removeKept(appDir, &reason))
        line += QStringLiteral("; \"%1\" is left: %2").arg(previousFolder(appDir), reason);
    return {line, QString()};
}

Trial::Outcome revert(const QString &appDir, TrialState &state)
{
    const Record trial = state.trial;
    QString reason;
    state.trial.reverting = true;
    if (!state.save(&reason))
        return {QStringLiteral("Version %1 did not start properly, but it is not reverted: %2")
                    .arg(trial.version, reason),
            QString()};
    // A confirmation may have come in while this was decided.
    if (TrialState::load(appDir).trial.confirmed)
        return endTrial(appDir, state,
            QStringLiteral("Version %1 confirmed its start; its trial has ended")
                .arg(trial.version));

    const Installer::RevertResult result = Installer::revert(appDir, &reason);
    if (result == Installer::NothingKept)
        return endTrial(appDir, state,
            QStringLiteral("Version %1 was launched %2 without a confirmation, but the "
                           "version before it cannot be put back (%3); its trial has ended")
                .arg(trial.version, launchCount(trial.launches), reason));
    if (result == Installer::Undone) {
        // Undone: the version on trial is whole again, its kept version too,
        // and the revert stays due for the next start.
        state.trial.reverting = false;
        QString unsaved;
        state.save(&unsaved);
        const QString status
            = QStringLiteral("Version %1 did not start properly; restoring version %2 failed")
                  .arg(trial.version, trial.previous);
        return {
            status + QStringLiteral(" (%1); version %2 stays").arg(reason, trial.version), status};
    }
    return Trial::Outcome();
}

} // namespace

QString Trial::installedVersion(const QString &appDir)
{
    QFile file(appDir
        + (Platform::isWindows() ? QLatin1String("/Bin/version.ver")
                                 : QLatin1String("/version.ver")));
    if (file.size() > ReleaseFiles::maxVersionFileSize || !file.open(QIODevice::ReadOnly))
        return QString();
    return Version::clean(QString::fromUtf8(file.readAll()));
}

Trial::Outcome Trial::judge(const QString &appDir)
{
    TrialState state = TrialState::load(appDir);
    const Record trial = state.trial;
    const QString installed = installedVersion(appDir);
    if (trial.version.isEmpty()) {
        if (!QFileInfo::exists(previousFolder(appDir)))
            return Outcome();
        QString reason;
        if (!Installer::removeKept(appDir, &reason))
            return {QStringLiteral("Cannot remove \"%1\", kept for a trial that has ended: %2")
                        .arg(previousFolder(appDir), reason),
                QString()};
        return {QStringLiteral("Removed \"%1\", kept for a trial that has ended")
                    .arg(previousFolder(appDir)),
            QString()};
    }
    const QString status = QStringLiteral("Version %1 did not start properly; restored version %2")
                               .arg(trial.version, trial.previous);
    if (trial.reverting && installed != trial.version) {
        // A revert that an earlier run began, finished by the recovery.
        state.state.addBadVersion(trial.version);
        Outcome outcome = endTrial(appDir, state, status);
        outcome.status = status;
        return outcome;
    }
    if (installed != trial.version)
        return endTrial(appDir, state,
            QStringLiteral("The trial of version %1 has ended: version %2 is installed")
                .arg(trial.version, installed.isEmpty() ? QStringLiteral("none") : installed));
    if (trial.confirmed)
        return endTrial(appDir, state,
            QStringLiteral("Version %1 confirmed its start; its trial has ended")
                .arg(trial.version));
    if (trial.launches < qMax(trial.confirm, 1) && !trial.reverting)
        return {QStringLiteral("Version %1 is on trial: launched %2 of %3 times without a "
                               "confirmation")
                    .arg(trial.version)
                    .arg(trial.launches)
                    .arg(trial.confirm),
            QString()};
    if (!QFileInfo::exists(previousFolder(appDir)))
        return endTrial(appDir, state,
            QStringLiteral("Version %1 was launched %2 without a confirmation, but no "
                           "version before it is kept (\"%3\" is missing); its trial has ended")
                .arg(trial.version, launchCount(trial.launches), previousFolder(appDir)));

    const Outcome failed = revert(appDir, state);
    if (!failed.log.isEmpty())
        return failed;
    state.state.addBadVersion(trial.version);
    Outcome outcome = endTrial(appDir, state, status);
    outcome.status = status;
    return outcome;
}

bool Trial::begin(const QString &appDir, const QString &version, const QString &previous,
    int confirm, QString *reason)
{
    TrialState state = TrialState::load(appDir);
    state.trial = Record();
    state.trial.version = version;
    state.trial.previous = previous;
    state.trial.confirm = qBound(1, confirm, ReleaseManifest::maxConfirm);
    return state.save(reason);
}

QString Trial::countLaunch(const QString &appDir)
{
    TrialState state = TrialState::load(appDir);
    if (!onTrial(state.trial, installedVersion(appDir)) || state.trial.confirmed)
        return QString();
    ++state.trial.launches;
    QString reason;
    if (!state.save(&reason))
        return QStringLiteral("Version %1 is on trial; its launch is not counted: %2")
            .arg(state.trial.version, reason);
    return QStringLiteral("Version %1 is on trial: launch %2 of %3")
        .arg(state.trial.version)
        .arg(state.trial.launches)
        .arg(state.trial.confirm);
}

QString Trial::confirm(const QString &appDir)
{
    for (bool waited = false;; waited = true) {
        TrialState state = TrialState::load(appDir);
        const QString installed = installedVersion(appDir);
        if (!onTrial(state.trial, installed))
            return QStringLiteral("Nothing to confirm: version %1 is not on trial")
                .arg(installed.isEmpty() ? QStringLiteral("none") : installed);
        if (state.trial.confirmed)
            return QStringLiteral("Version %1 was confirmed already").arg(installed);
        if (!state.trial.reverting) {
            state.trial.confirmed = true;
            QString reason;
            if (!state.save(&reason))
                return QStringLiteral("Cannot confirm version %1: %2").arg(installed, reason);
            return QStringLiteral("Confirmed the start of version %1").arg(installed);
        }
        // Too late: an updater is reverting this version (or was killed
        // doing it, and the next start finishes it). Wait for it, so that
        // whoever runs this sees the revert's end.
        if (waited)
            return QStringLiteral("Version %1 is being reverted; not confirmed").arg(installed);
        InstanceLock lock(appDir);
        QString busy;
        waitForRevert(appDir, lock, &busy);
    }
}

InstanceLock::Result Trial::waitForRevert(
    const QString &appDir, InstanceLock &lock, QString *problem)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const InstanceLock::Result result = lock.acquire(problem);
        if (result != InstanceLock::HeldByAnother || !TrialState::load(appDir).trial.reverting
            || waited.elapsed() > revertWaitMs)
            return result;
        QThread::msleep(100);
    }
}

bool Trial::isBad(const QString &appDir, const QString &version)
{
    return UpdateState::load(appDir).badVersions().contains(version);
}
