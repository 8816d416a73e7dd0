#include "trial.h"

#include "installation.h"
#include "installer.h"
#include "instancelock.h"
#include "launcher.h"
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
bool changeTrial(Installation &installation, const std::function<bool(Record &)> &change,
    QString *reason, bool dropPending = false)
{
    const QString installed = installation.installedVersion();
    return installation.changeState(
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

QString previousFolder(const Installation &installation)
{
    return installation.appDir() + QLatin1Char('/') + QLatin1String(ReleaseFiles::previousVersion);
}

bool fail(QString *reason, const QString &why)
{
    *reason = why;
    return false;
}

// Ends the trial (with a revert's bad version recorded) and drops the kept
// version: true with *said = `line`; false with *reason, `line` with what
// went wrong appended.
bool endTrial(Installation &installation, const QString &line, QString *said, QString *reason,
    const QString &badVersion = QString())
{
    QString why;
    const bool saved = installation.changeState(
        [&](UpdateState &state) {
            if (!badVersion.isEmpty())
                state.addBadVersion(badVersion);
            state.setTrial(Record());
            return true;
        },
        &why);
    if (!saved)
        return fail(reason, line + QStringLiteral("; ") + why);
    if (!Installer::removeKept(installation.appDir(), &why))
        return fail(reason,
            line + QStringLiteral("; \"%1\" is left: %2").arg(previousFolder(installation), why));
    *said = line;
    return true;
}

ShownText restoredNote(const Record &trial)
{
    return ShownText("Trial",
        QT_TRANSLATE_NOOP("Trial", "Version %1 did not start properly; restored version %2"))
        .arg(trial.version)
        .arg(trial.previous);
}

// Puts the version before `trial` back and ends the trial: true with *line
// (and *note) once it is back, or once a confirmation came in first.
bool revert(Installation &installation, const Record &trial, QString *line, ShownText *note,
    QString *reason)
{
    QString why;
    // Decided under the lock: a confirmation that came in first wins, and
    // none is taken once this is set.
    bool confirmed = false;
    if (!changeTrial(
            installation,
            [&](Record &now) {
                confirmed = now.confirmed;
                now.reverting = !confirmed;
                return !confirmed;
            },
            &why))
        return fail(reason,
            QStringLiteral("Version %1 did not start properly, but it is not reverted: %2")
                .arg(trial.version, why));
    if (confirmed)
        return endTrial(installation,
            QStringLiteral("Version %1 confirmed its start; its trial has ended")
                .arg(trial.version),
            line, reason);

    bool keptUsable = true;
    const bool reverted = Installer::revert(installation.appDir(), &why, &keptUsable);
    installation.versionChanged();
    if (!reverted && !keptUsable)
        return endTrial(installation,
            QStringLiteral("Version %1 was launched %2 without a confirmation, but the "
                           "version before it cannot be put back (%3); its trial has ended")
                .arg(trial.version, launchCount(trial.launches), why),
            line, reason);
    if (!reverted) {
        // Undone: the version on trial is whole again, its kept version too,
        // and the revert stays due for the next start.
        QString unsaved;
        changeTrial(
            installation,
            [](Record &now) {
                now.reverting = false;
                return true;
            },
            &unsaved);
        *note = ShownText("Trial",
            QT_TRANSLATE_NOOP(
                "Trial", "Version %1 did not start properly; restoring version %2 failed"))
                    .arg(trial.version)
                    .arg(trial.previous);
        return fail(reason,
            note->english() + QStringLiteral(" (%1); version %2 stays").arg(why, trial.version));
    }
    *note = restoredNote(trial);
    return endTrial(installation, note->english(), line, reason, trial.version);
}

} // namespace

void Trial::advanceClockForTesting(qint64 seconds)
{
    clockOffsetMs += seconds * 1000;
}

bool Trial::judge(Installation &installation, QString *line, ShownText *note, QString *reason)
{
    const QString installed = installation.installedVersion();
    Record trial;
    QString unsaved;
    // No install runs now: a trial recorded for one that did not get to
    // its commit point goes.
    changeTrial(
        installation,
        [&](Record &now) {
            trial = now;
            return false;
        },
        &unsaved, true);
    const QString kept = previousFolder(installation);
    if (trial.version.isEmpty()) {
        if (!QFileInfo::exists(kept))
            return true;
        QString why;
        if (!Installer::removeKept(installation.appDir(), &why))
            return fail(reason,
                QStringLiteral("Cannot remove \"%1\", kept for a trial that has ended: %2")
                    .arg(kept, why));
        *line = QStringLiteral("Removed \"%1\", kept for a trial that has ended").arg(kept);
        return true;
    }
    if (trial.reverting && installed != trial.version) {
        // A revert that an earlier run began, finished by the recovery.
        *note = restoredNote(trial);
        return endTrial(installation, note->english(), line, reason, trial.version);
    }
    if (installed != trial.version)
        return endTrial(installation,
            QStringLiteral("The trial of version %1 has ended: version %2 is installed")
                .arg(trial.version, installed.isEmpty() ? QStringLiteral("none") : installed),
            line, reason);
    if (trial.confirmed)
        return endTrial(installation,
            QStringLiteral("Version %1 confirmed its start; its trial has ended")
                .arg(trial.version),
            line, reason);
    if (trial.launches < qMax(trial.confirm, 1) && !trial.reverting) {
        *line = QStringLiteral("Version %1 is on trial: launched %2 of %3 times without a "
                               "confirmation")
                    .arg(trial.version)
                    .arg(trial.launches)
                    .arg(trial.confirm);
        if (!trial.started.isEmpty())
            *line += QStringLiteral(" (%1 more not counted yet: running for less than %2 s)")
                         .arg(trial.started.size())
                         .arg(graceSeconds);
        return true;
    }
    if (!QFileInfo::exists(kept))
        return endTrial(installation,
            QStringLiteral("Version %1 was launched %2 without a confirmation, but no "
                           "version before it is kept (\"%3\" is missing); its trial has ended")
                .arg(trial.version, launchCount(trial.launches), kept),
            line, reason);
    // A launch within its grace time may still run too, seen or not.
    if (!trial.reverting
        && (Launcher::applicationRunning(installation.appDir()) || !trial.started.isEmpty())) {
        // Its files are not replaced under it; the next start tries again.
        *note = ShownText("Trial",
            QT_TRANSLATE_NOOP("Trial",
                "Version %1 did not confirm a start; version %2 is "
                "restored at a start after the application has closed"))
                    .arg(trial.version)
                    .arg(trial.previous);
        *line = note->english()
            + QStringLiteral(" (an application started by this updater still runs)");
        return true;
    }
    return revert(installation, trial, line, note, reason);
}

bool Trial::begin(Installation &installation, const QString &version, const QString &previous,
    int confirm, QString *reason)
{
    const QString installed = installation.installedVersion();
    return installation.changeState(
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

QString Trial::prepare(Installation &installation, Installer *installer, const QString &version,
    const QString &previous, int confirm)
{
    QString reason;
    if (confirm <= 0)
        return QString();
    if (!begin(installation, version, previous, confirm, &reason))
        return QStringLiteral("Installed without a trial: ") + reason;
    installer->keepPrevious();
    return QString();
}

bool Trial::countLaunch(Installation &installation, qint64 *launch, QString *line, QString *reason)
{
    const QString installed = installation.installedVersion();
    const qint64 at = nowMs();
    Record counted;
    QString why;
    const bool saved = changeTrial(
        installation,
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
        &why);
    *launch = at;
    if (counted.version.isEmpty())
        return true;
    if (!saved)
        return fail(reason,
            QStringLiteral("Version %1 is on trial; its launch is not counted: %2")
                .arg(counted.version, why));
    *line = QStringLiteral("Version %1 is on trial: launch %2 of %3")
                .arg(counted.version)
                .arg(counted.launches + counted.started.size())
                .arg(counted.confirm);
    return true;
}

void Trial::launchEnded(Installation &installation, qint64 launch)
{
    QString reason;
    changeTrial(
        installation,
        [&](Record &trial) {
            if (!trial.started.removeOne(launch))
                return false;
            ++trial.launches;
            return true;
        },
        &reason);
}

bool Trial::confirm(Installation &installation, QString *line, QString *reason)
{
    for (bool waited = false;; waited = true) {
        const QString installed = installation.installedVersion();
        Record seen;
        QString why;
        const bool saved = changeTrial(
            installation,
            [&](Record &trial) {
                seen = trial;
                if (!onTrial(trial, installed) || trial.confirmed || trial.reverting)
                    return false;
                trial.confirmed = true;
                return true;
            },
            &why);
        if (!onTrial(seen, installed)) {
            *line = QStringLiteral("Nothing to confirm: version %1 is not on trial")
                        .arg(installed.isEmpty() ? QStringLiteral("none") : installed);
            return true;
        }
        if (seen.confirmed) {
            *line = QStringLiteral("Version %1 was confirmed already").arg(installed);
            return true;
        }
        if (!seen.reverting) {
            if (!saved)
                return fail(reason,
                    QStringLiteral("Cannot confirm version %1: %2").arg(installed, why));
            *line = QStringLiteral("Confirmed the start of version %1").arg(installed);
            return true;
        }
        // Too late: an updater is reverting this version (or was killed
        // doing it, and the next start finishes it). Wait for it, so that
        // whoever runs this sees the revert's end.
        if (waited)
            return fail(reason,
                QStringLiteral("Version %1 is being reverted; not confirmed").arg(installed));
        InstanceLock lock(installation.appDir());
        QString busy;
        waitForRevert(installation, lock, &busy);
    }
}

InstanceLock::Result Trial::waitForRevert(
    Installation &installation, InstanceLock &lock, QString *problem)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const InstanceLock::Result result = lock.acquire(problem);
        // What another process's revert wrote is read again from here on.
        installation.reload();
        if (result != InstanceLock::HeldByAnother || !installation.state().trial().reverting
            || waited.elapsed() > revertWaitMs)
            return result;
        QThread::msleep(100);
    }
}

bool Trial::isBad(Installation &installation, const QString &version)
{
    return installation.state().badVersions().contains(version);
}
