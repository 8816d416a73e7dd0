#ifndef UPDATESTATE_H
#define UPDATESTATE_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// What this installation remembers between runs, in ".update-state" in the
// application directory: its random install id, the highest release version
// it has verified a signed manifest for (with that manifest's "signed"
// time), whether it has ever verified one, the release on trial (Trial)
// and the versions reverted here. One JSON object, always
// written whole and atomically; fields it does not know are kept as they
// are, so a later updater's additions survive an older one.
class UpdateState
{
public:
    // The state of the installation in appDir. A missing file is a fresh
    // state. A file that cannot be read or parsed leaves the strictest
    // state (a manifest counts as verified before, so no source without one
    // is trusted) with *problem set; the next save() replaces it.
    static UpdateState load(const QString &appDir, QString *problem = nullptr);

    // Writes the file whole (QSaveFile). False with *reason otherwise.
    bool save(QString *reason) const;

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
        int launches = 0;
        bool confirmed = false;
        bool reverting = false; // set before a revert starts, cleared when it has ended
    };
    TrialRecord trial() const { return trialRecord; }
    // A record with an empty version ends the trial. `Updater --confirm`
    // writes without the lock: save() never writes over a confirmation of
    // the same version that arrived since this state was read.
    void setTrial(const TrialRecord &record) { trialRecord = record; }
    // Versions reverted here once; never offered again.
    QStringList badVersions() const { return bad; }
    void addBadVersion(const QString &version);

private:
    QString path;
    QJsonObject fields; // everything read, unknown fields included
    QByteArray id;
    QString highest;
    qint64 highestSignedAt = 0;
    bool verified = false;
    TrialRecord trialRecord;
    QStringList bad;
};

#endif // UPDATESTATE_H
