#ifndef TRIAL_H
#define TRIAL_H

#include "instancelock.h"
#include "showntext.h"

#include <QString>

class Installation;
class Installer;

// A release on trial: one whose manifest asked for `confirm` launches, with
// the promise that its application confirms each good start by running
// `Updater --confirm`. It is installed with the version before it kept
// (Installer::keepPrevious); launched `confirm` times without a
// confirmation it is reverted to that version and remembered as bad, so
// that it is never offered again.
//
// What the trial remembers (the version on trial, its launches, its
// confirmation, the versions reverted) is kept by UpdateState, held and
// saved by the run's Installation.
class Trial
{
public:
    // At start-up, after the recovery, with the installation's lock held and
    // before anything else reads the installation: ends a confirmed trial,
    // reverts a version launched `confirm` times without a confirmation
    // (postponed while an application the updater started still runs), and
    // tidies a trial that no longer matches what is installed. *line is the
    // line to log and *note the one for the window's status line (in
    // English the same words as in the log), each
    // empty when there is nothing to say. False, with *reason the line to
    // log instead, when what it decided could not be carried out (the
    // revert, the kept version's removal, or saving the state failed).
    [[nodiscard]] static bool judge(
        Installation &installation, QString *line, ShownText *note, QString *reason);

    // Before installing `version` over `previous` with the version kept:
    // records the trial that starts, with no launch counted, once `version`
    // is the installed one (the install's commit point). Until then the
    // trial of the installed version stays as it is; a failed install
    // leaves it untouched. False with *reason when it could not be recorded
    // (the release is then installed without a trial).
    [[nodiscard]] static bool begin(Installation &installation, const QString &version,
        const QString &previous, int confirm, QString *reason);

    // begin() for an installer about to start, with the manifest's
    // `confirm` (0: no trial, nothing done): the installer keeps the
    // version before. Empty, or the line to log when the release is
    // installed without its trial.
    static QString prepare(Installation &installation, Installer *installer, const QString &version,
        const QString &previous, int confirm);

    // Just before the updater starts the application: one more launch of the
    // version on trial, counted once launchEnded() says it has ended or it
    // has run for graceSeconds. *launch names it for launchEnded(); *line
    // is the line to log, empty when nothing is on trial. False with
    // *reason (the line to log instead) when the version on trial could not
    // record its launch.
    [[nodiscard]] static bool countLaunch(
        Installation &installation, qint64 *launch, QString *line, QString *reason);
    // The application started by `launch` has ended (or never started).
    static void launchEnded(Installation &installation, qint64 launch);
    // How long a launch runs before it counts against its trial without
    // having ended: long enough for an application to confirm its start.
    static const int graceSeconds = 60;

    // `Updater --confirm`: records that the installed version started well.
    // Never waits, except while a revert of that version is under way: then
    // it waits for the updater doing it and confirms nothing. True when
    // nothing is left to confirm (confirmed now or before, or nothing on
    // trial), with *line the line to log; false with *reason when the
    // version on trial is not confirmed.
    [[nodiscard]] static bool confirm(Installation &installation, QString *line, QString *reason);

    // Tries the lock; while another updater holds it and a revert is under
    // way, waits for that revert to end (at most a couple of minutes). A
    // second updater or `--confirm` then sees the reverted installation:
    // `installation` reads its state and version again.
    static InstanceLock::Result waitForRevert(
        Installation &installation, InstanceLock &lock, QString *problem);

    // Whether `version` was reverted here once; it is never offered again.
    static bool isBad(Installation &installation, const QString &version);

    // Test seam: moves the trial's clock forward by `seconds`.
    static void advanceClockForTesting(qint64 seconds);
};

#endif // TRIAL_H
