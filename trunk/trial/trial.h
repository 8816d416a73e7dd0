#ifndef TRIAL_H
#define TRIAL_H

#include "instancelock.h"

#include <QString>

// A release on trial: one whose manifest asked for `confirm` launches, with
// the promise that its application confirms each good start by running
// `Updater --confirm`. It is installed with the version before it kept
// (Installer::keepPrevious); launched `confirm` times without a
// confirmation it is reverted to that version and remembered as bad, so
// that it is never offered again.
//
// What the trial remembers (the version on trial, its launches, its
// confirmation, the versions reverted) is kept by UpdateState.
class Trial
{
public:
    // What start-up decided. Both texts are empty when there was nothing to do.
    struct Outcome
    {
        QString log; // one line for the log
        QString status; // for the window's status line
    };

    // At start-up, after the recovery, with the installation's lock held and
    // before anything else reads the installation: ends a confirmed trial,
    // reverts a version launched `confirm` times without a confirmation
    // (postponed while an application the updater started still runs), and
    // tidies a trial that no longer matches what is installed.
    static Outcome judge(const QString &appDir);

    // Before installing `version` over `previous` with the version kept:
    // records the trial that starts, with no launch counted, once `version`
    // is the installed one (the install's commit point). Until then the
    // trial of the installed version stays as it is; a failed install
    // leaves it untouched. False with *reason when it could not be recorded
    // (the release is then installed without a trial).
    static bool begin(const QString &appDir, const QString &version, const QString &previous,
        int confirm, QString *reason);

    // Just before the updater starts the application: one more launch of the
    // version on trial, counted once launchEnded() says it has ended or it
    // has run for graceSeconds. *launch (when given) names it for
    // launchEnded(). Returns the line to log, empty when nothing is on trial.
    static QString countLaunch(const QString &appDir, qint64 *launch = nullptr);
    // The application started by `launch` has ended (or never started).
    static void launchEnded(const QString &appDir, qint64 launch);
    // How long a launch runs before it counts against its trial without
    // having ended: long enough for an application to confirm its start.
    static const int graceSeconds = 60;

    // `Updater --confirm`: records that the installed version started well.
    // Never waits, except while a revert of that version is under way: then
    // it waits for the updater doing it and confirms nothing. Returns the
    // line to log.
    static QString confirm(const QString &appDir);

    // Tries the lock; while another updater holds it and a revert is under
    // way, waits for that revert to end (at most a couple of minutes). A
    // second updater or `--confirm` then sees the reverted installation.
    static InstanceLock::Result waitForRevert(
        const QString &appDir, InstanceLock &lock, QString *problem);

    // Whether `version` was reverted here once; it is never offered again.
    static bool isBad(const QString &appDir, const QString &version);

    // The cleaned text of the installed version file, empty when there is none.
    static QString installedVersion(const QString &appDir);

    // Test seam: moves the trial's clock forward by `seconds`.
    static void advanceClockForTesting(qint64 seconds);
};

#endif // TRIAL_H
