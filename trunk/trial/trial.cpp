#include "trial.h"

#include "installer.h"
#include "instancelock.h"
#include "launcher.h"
#include "platform.h"
#include "releasefiles.h"
#include "releasemanifest.h"
#include "updatestate.h"
#include "version.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

// How long a revert under way is waited for; it takes seconds.
const int revertWaitMs = 120000;

qint64 clockOffsetMs = 0;

using Record = UpdateState::TrialRecord;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch() + clockOffsetMs;
}

bool onTrial(const Record &trial, const QString &installed)
{
    return !trial.version.isEmpty() && trial.version == installed;
}

// Brings the trial up to date: the release whose install recorded a trial
// is on trial once it is the installed one (with `dropPending`, which only
// start-up may say, an install that never got there has no trial), and
// launches that ended or ran for the grace time count. True when it
// changed anything.
bool settle(UpdateState &state, const QString &installed, bool dropPending)
{
    bool changed = false;
    const Record pending = state.pendingTrial();
    if (!pending.version.isEmpty() && (dropPending || pending.version == installed)) {
        if (pending.version == installed)
            state.setTrial(pending);
        state.setPendingTrial(Record());
        changed = true;
    }
    Record trial = state.trial();
    const qint64 now = nowMs();
    for (int i = 0; i < trial.started.size();) {
        if (qAbs(now - trial.started.at(i)) >= qint64(Trial::graceSeconds) * 1000) {
            trial.started.removeAt(i);
            ++trial.launches;
        } else {
            ++i;
        }
    }
    if (trial != state.trial()) {
        state.setTrial(trial);
        changed = true;
    }
    return changed;
}

// Changes the trial under the state's lock; `change` sees it as it is now.
bool changeTrial(const QString &appDir, const std::function<bool(Record &)> &change,
    QString *reason, bool dropPending = false)
{
    const QString installed = Trial::installedVersion(appDir);
    return UpdateState::update(
        appDir,
        [&](UpdateState &state) {
            const bool settled = settle(state, installed, dropPending);
            Record trial = state.trial();
            const bool changed = change(trial);
            state.setTrial(trial);
            return settled || changed;
        },
        reason);
}

QString launchCount(int launches)
{
    return launches == 1 ? QStringLiteral("once") : QStringLiteral("%1 times").arg(launches);
}

QString previousFolder(const QString &appDir)
{
    return appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::previousVersion);
}

// Ends the trial (with a revert's bad version recorded) and drops the kept
// version; `line` is what the log says, with what went wrong appended.
Trial::Outcome endTrial(const QString &appDir, QString line, const QString &badVersion = QString())
{
    QString reason;
    const bool saved = UpdateState::update(
        appDir,
        [&](UpdateState &state) {
            if (!badVersion.isEmpty())
                state.addBadVersion(badVersion);
            state.setTrial(Record());
            return true;
        },
        &reason);
    if (!saved)
        line += QStringLiteral("; ") + reason;
    else if (!Installer::removeKept(appDir, &reason))
        line += QStringLiteral("; \"%1\" is left: %2").arg(previousFolder(appDir), reason);
    return {line, QString()};
}

Trial::Outcome revert(const QString &appDir, const Record &trial)
{
    QString reason;
    // Decided under the lock: a confirmation that came in first wins, and
    // none is taken once this is set.
    bool confirmed = false;
    if (!changeTrial(
            appDir,
            [&](Record &now) {
                confirmed = now.confirmed;
                now.reverting = !confirmed;
                return !confirmed;
            },
            &reason))
        return {QStringLiteral("Version %1 did not start properly, but it is not reverted: %2")
                    .arg(trial.version, reason),
            QString()};
    if (confirmed)
        return endTrial(appDir,
            QStringLiteral("Version %1 confirmed its start; its trial has ended")
                .arg(trial.version));

    const Installer::RevertResult result = Installer::revert(appDir, &reason);
    if (result == Installer::NothingKept)
        return endTrial(appDir,
            QStringLiteral("Version %1 was launched %2 without a confirmation, but the "
                           "version before it cannot be put back (%3); its trial has ended")
                .arg(trial.version, launchCount(trial.launches), reason));
    if (result == Installer::Undone) {
        // Undone: the version on trial is whole again, its kept version too,
        // and the revert stays due for the next start.
        QString unsaved;
        changeTrial(
            appDir,
            [](Record &now) {
                now.reverting = false;
                return true;
            },
            &unsaved);
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
    return UpdateState::installedVersion(appDir);
}

void Trial::advanceClockForTesting(qint64 seconds)
{
    clockOffsetMs += seconds * 1000;
}

Trial::Outcome Trial::judge(const QString &appDir)
{
    const QString installed = installedVersion(appDir);
    Record trial;
    QString unsaved;
    // No install runs now: a trial recorded for one that did not get to
    // its commit point goes.
    changeTrial(
        appDir,
        [&](Record &now) {
            trial = now;
            return false;
        },
        &unsaved, true);
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
        Outcome outcome = endTrial(appDir, status, trial.version);
        outcome.status = status;
        return outcome;
    }
    if (installed != trial.version)
        return endTrial(appDir,
            QStringLiteral("The trial of version %1 has ended: version %2 is installed")
                .arg(trial.version, installed.isEmpty() ? QStringLiteral("none") : installed));
    if (trial.confirmed)
        return endTrial(appDir,
            QStringLiteral("Version %1 confirmed its start; its trial has ended")
                .arg(trial.version));
    if (trial.launches < qMax(trial.confirm, 1) && !trial.reverting) {
        QString line = QStringLiteral("Version %1 is on trial: launched %2 of %3 times without a "
                                      "confirmation")
                           .arg(trial.version)
                           .arg(trial.launches)
                           .arg(trial.confirm);
        if (!trial.started.isEmpty())
            line += QStringLiteral(" (%1 more not counted yet: running for less than %2 s)")
                        .arg(trial.started.size())
                        .arg(graceSeconds);
        return {line, QString()};
    }
    if (!QFileInfo::exists(previousFolder(appDir)))
        return endTrial(appDir,
            QStringLiteral("Version %1 was launched %2 without a confirmation, but no "
                           "version before it is kept (\"%3\" is missing); its trial has ended")
                .arg(trial.version, launchCount(trial.launches), previousFolder(appDir)));
    // A launch within its grace time may still run too, seen or not.
    if (!trial.reverting && (Launcher::applicationRunning(appDir) || !trial.started.isEmpty())) {
        // Its files are not replaced under it; the next start tries again.
        const QString waits = QStringLiteral("Version %1 did not confirm a start; version %2 is "
                                             "restored at a start after the application has closed")
                                  .arg(trial.version, trial.previous);
        return {
            waits + QStringLiteral(" (an application started by this updater still runs)"), waits};
    }

    const Outcome failed = revert(appDir, trial);
    if (!failed.log.isEmpty())
        return failed;
    Outcome outcome = endTrial(appDir, status, trial.version);
    outcome.status = status;
    return outcome;
}

bool Trial::begin(const QString &appDir, const QString &version, const QString &previous,
    int confirm, QString *reason)
{
    const QString installed = installedVersion(appDir);
    return UpdateState::update(
        appDir,
        [&](UpdateState &state) {
            // A trial the last install recorded is the installed version's now.
            settle(state, installed, false);
            Record pending;
            pending.version = version;
            pending.previous = previous;
            pending.confirm = qBound(1, confirm, ReleaseManifest::maxConfirm);
            state.setPendingTrial(pending);
            return true;
        },
        reason);
}

QString Trial::countLaunch(const QString &appDir, qint64 *launch)
{
    const QString installed = installedVersion(appDir);
    const qint64 at = nowMs();
    Record counted;
    QString reason;
    const bool saved = changeTrial(
        appDir,
        [&](Record &trial) {
            counted = Record();
            if (!onTrial(trial, installed) || trial.confirmed)
                return false;
            // However often it is started within the grace time, the
            // record stays small: the oldest launches count first.
            for (; trial.started.size() >= 100; ++trial.launches)
                trial.started.removeFirst();
            trial.started.append(at);
            counted = trial;
            return true;
        },
        &reason);
    if (launch)
        *launch = at;
    if (counted.version.isEmpty())
        return QString();
    if (!saved)
        return QStringLiteral("Version %1 is on trial; its launch is not counted: %2")
            .arg(counted.version, reason);
    return QStringLiteral("Version %1 is on trial: launch %2 of %3")
        .arg(counted.version)
        .arg(counted.launches + counted.started.size())
        .arg(counted.confirm);
}

void Trial::launchEnded(const QString &appDir, qint64 launch)
{
    QString reason;
    changeTrial(
        appDir,
        [&](Record &trial) {
            if (!trial.started.removeOne(launch))
                return false;
            ++trial.launches;
            return true;
        },
        &reason);
}

QString Trial::confirm(const QString &appDir)
{
    for (bool waited = false;; waited = true) {
        const QString installed = installedVersion(appDir);
        Record seen;
        QString reason;
        const bool saved = changeTrial(
            appDir,
            [&](Record &trial) {
                seen = trial;
                if (!onTrial(trial, installed) || trial.confirmed || trial.reverting)
                    return false;
                trial.confirmed = true;
                return true;
            },
            &reason);
        if (!onTrial(seen, installed))
            return QStringLiteral("Nothing to confirm: version %1 is not on trial")
                .arg(installed.isEmpty() ? QStringLiteral("none") : installed);
        if (seen.confirmed)
            return QStringLiteral("Version %1 was confirmed already").arg(installed);
        if (!seen.reverting) {
            if (!saved)
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
        if (result != InstanceLock::HeldByAnother || !UpdateState::load(appDir).trial().reverting
            || waited.elapsed() > revertWaitMs)
            return result;
        QThread::msleep(100);
    }
}

bool Trial::isBad(const QString &appDir, const QString &version)
{
    return UpdateState::load(appDir).badVersions().contains(version);
}
