#ifndef UPDATESTATE_H
#define UPDATESTATE_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// What this installation remembers between runs, in ".update-state" in the
// application directory: its random install id, the highest release version
// it has verified a signed manifest for (with that manifest's "signed"
// time), whether it has ever verified one, the release on trial (Trial)
// and the versions reverted here. One JSON object, always
// written whole and atomically, and then once more as ".update-state.copy",
// so that one damaged file is read from the other; fields it does not know
// are kept as they are, so a later updater's additions survive an older one.
//
// Every write holds the lock ".update-state.lock": save() reads the file
// again under it and keeps whatever others changed since this state was read
// (versions reverted, a confirmation, a higher verified version), and
// update() is the read-modify-write for a decision that must see the latest
// state. Neither file is ever followed through a link or opened when it is
// not a regular file of at most 1 MiB: such a file is refused at once, with
// one log line, as damaged.
class UpdateState
{
public:
    // The state of the installation in appDir. Missing files are a fresh
    // state. A damaged file (unreadable, not JSON, a number out of range,
    // not a regular file) is read from the other one, with one log line.
    // When both are damaged the state is the strictest one (a manifest
    // counts as verified before, and none older than the installed version
    // is taken), keeping from the damaged bytes what still reads whole: the
    // install id, the versions reverted and the trial; *problem then says
    // why (logged here when problem is null; either way a later read of the
    // same damage, as every write makes under the lock, says nothing).
    static UpdateState load(const QString &appDir, QString *problem = nullptr);

    // The state the bytes of one state file hold; false with *why when they
    // are not one (not a JSON object, a field of the wrong type, a number
    // out of range).
    static bool parse(const QByteArray &data, UpdateState *state, QString *why);

    // The bytes of the state file this state is written as.
    QByteArray toJson() const;

    // Writes the state under the lock, keeping what others changed since it
    // was read; this state is then the one written. False with *reason
    // otherwise.
    [[nodiscard]] bool save(QString *reason);

    // The read-modify-write for a decision that must see the latest state:
    // `change` is first tried on `state` (as the caller holds it), and when
    // it changes anything, once more under the lock on the state as it is on
    // disk then, which is written when `change` returns true; what `change`
    // reports outside is from its last call. `state` is then the state
    // written (*written set), or the one read under the lock. False with
    // *reason when it could not be written (the lock not taken: `state` is
    // left as it was, and `change` has still seen it). It must not save.
    [[nodiscard]] static bool update(UpdateState &state,
        const std::function<bool(UpdateState &)> &change, QString *reason,
        bool *written = nullptr);

    // 16 bytes, made at random the first time it is asked for (the caller
    // saves); the file keeps it as 32 lower-case hex digits.
    QByteArray installId();

    QString highestVersion() const { return highest; }
    qint64 highestSigned() const { return highestSignedAt; }
    bool manifestVerified() const { return verified; }

    // Records a verified manifest: the highest version moves up to it (a
    // newer "signed" time for the same version too), and the flag is set.
    void recordVerified(const QString &version, qint64 signedAt);

    // A release on trial: installed with the version before it kept, it
    // must confirm a start within `confirm` launches.
    struct TrialRecord
    {
        QString version; // empty: nothing is on trial
        QString previous; // what a revert restores
        int confirm = 0;
        int launches = 0; // launches that count: ended, or run for the grace time
        // Launches not counted yet, by their start (milliseconds since the epoch).
        QList<qint64> started;
        bool confirmed = false;
        bool reverting = false; // set before a revert starts, cleared when it has ended
        bool operator==(const TrialRecord &other) const;
        bool operator!=(const TrialRecord &other) const { return !(*this == other); }
    };
    TrialRecord trial() const { return trialRecord; }
    // A record with an empty version ends the trial.
    void setTrial(const TrialRecord &record) { trialRecord = record; }
    // The trial of a release being installed: it becomes the trial once that
    // release is the installed one, and never touches the current trial before.
    TrialRecord pendingTrial() const { return pending; }
    void setPendingTrial(const TrialRecord &record) { pending = record; }
    // Versions reverted here once; never offered again.
    QStringList badVersions() const { return bad; }
    void addBadVersion(const QString &version);
    // The version the person chose not to be asked about again, as its
    // signed (or published) text; empty when none. One at a time: a later
    // choice replaces it.
    QString skippedVersion() const { return skipped; }
    void setSkippedVersion(const QString &version) { skipped = version; }

    // The largest state file read.
    static constexpr qint64 maxSize = 1024 * 1024;

private:
    static UpdateState read(const QString &appDir, QString *problem);
    bool write(QString *reason) const;
    void written();

    QString dir;
    QJsonObject fields; // everything read, unknown fields included
    QByteArray id;
    QString highest;
    qint64 highestSignedAt = 0;
    bool verified = false;
    TrialRecord trialRecord;
    TrialRecord pending;
    QStringList bad;
    QString skipped;
    QString readSkipped;
    // As read: what save() compares with to tell its own changes.
    TrialRecord readTrial;
    TrialRecord readPending;
};

#endif // UPDATESTATE_H
