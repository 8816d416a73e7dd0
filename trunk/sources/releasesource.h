#ifndef RELEASESOURCE_H
#define RELEASESOURCE_H

#include "cappedfile.h"
#include "showntext.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// One place a release's files can be fetched from (an FTP folder, an HTTPS
// folder). fetch() brings one named file into a local file, at most a given
// number of bytes; a resumable fetch continues after the bytes the local
// file already holds when the small record beside it ("<file>.source")
// still names the same file on the same source, and starts over otherwise.
// A connection lost or timed out is reconnected and resumed up to 5 tries
// (about 1, 2, 4, 8 s apart); a try counts as progress, and the count starts
// again, only when the bytes kept grew without any being thrown away. An
// overloaded source is tried at most twice more after 1 to 3 s (fewer when
// set: see setOverloadRetries()). All tries
// together transfer at most maxTransferFactor times the file's size and
// take at most timeLimit(); the file is held to the size its source
// announces, and there must be room for it on the disk. The end is one
// finished(ok, reason).
class ReleaseSource : public QObject
{
    Q_OBJECT

public:
    // How an attempt ended: for good, or worth another try.
    enum Outcome { Done, Failed, ConnectionLost, Overloaded };

    static constexpr int maxTries = 5;
    static constexpr int maxOverloadRetries = 2;
    // Bytes transferred by all tries of one fetch, as a multiple of the
    // file's size (its announced size, else its cap).
    static constexpr int maxTransferFactor = 3;
    // The longest one fetch, all tries together, may take for a file of
    // `size` bytes: 2 minutes, and one more second for every 16 KiB.
    static qint64 timeLimit(qint64 size);

    explicit ReleaseSource(QObject *parent = nullptr);
    ~ReleaseSource() override;

    // Where the files come from, for log lines: "ftp://host:port/folder/".
    virtual QString location() const = 0;

    // Fetches `name` into the file at `path`, which never holds more than
    // maxBytes (< 0: no cap). Without `resumable` the file is written afresh
    // and no record is kept.
    void fetch(const QString &name, const QString &path, qint64 maxBytes, bool resumable);
    // Stops without a finished(); the bytes and the record stay for a later run.
    void cancel();
    bool isBusy() const { return busy; }

    // How many more tries an overloaded source gets (maxOverloadRetries
    // unless set): none where another source can take the load at once.
    void setOverloadRetries(int retries) { overloadRetriesAllowed = retries; }
    // The longest wait without progress before an attempt counts as lost.
    void setTimeout(int msecs) { timeoutMs = msecs; }
    int timeout() const { return timeoutMs; }
    // Bytes of the file received over the network by the last fetch, all
    // attempts together.
    qint64 bytesReceived() const { return received; }
    // The last fetch ended because the source was overloaded.
    bool wasOverloaded() const { return overloaded; }
    // The last fetch ended because the file is larger than its cap: the
    // reason names the file ("the published \"NAME\" ...").
    bool refusedFile() const { return refused; }
    // The last fetch ended for a reason on this side (no room on the disk):
    // another source would not do better.
    bool failedHere() const { return localFailure; }

    // The pause before another try of an overloaded source: 1 to 3 s.
    static int overloadPause();

    // Divides every pause between tries; tests set it high.
    static void setPauseDivisorForTesting(int divisor);
    // Overrides timeLimit() (0: back to it); tests set it low.
    static void setTimeLimitForTesting(qint64 msecs);

signals:
    // Bytes of the whole file held so far, never fewer than reported before.
    void progress(qint64 done, qint64 total);
    // "Connection lost; resuming (2 of 5)..." while a try is pending; an
    // empty text once bytes flow again.
    void status(const ShownText &text);
    void finished(bool ok, const QString &reason);

protected:
    // Begins one attempt; the file is open and positioned at its end
    // (offset()). Ends with attemptEnded().
    virtual void startAttempt() = 0;
    // Stops the attempt under way; no attemptEnded() follows.
    virtual void stopAttempt() = 0;
    void attemptEnded(Outcome outcome, const QString &reason);

    const QString &fileName() const { return name; }
    CappedFile *file() { return &target; }
    qint64 maxBytes() const { return cap; }
    bool isResumable() const { return resumable; }
    qint64 offset() { return target.size(); }
    // The identity of the source's file recorded with the partial file;
    // empty when there is none (or the partial is not this source's).
    QString recordedIdentity() const { return recorded; }
    // The source's file as it is now; written as the record.
    void recordIdentity(const QString &identity, qint64 total);
    // Throws the partial bytes away: the next byte is the file's first.
    void startOver();
    // An attempt's bytes, once written: counted. The file itself refuses a
    // write past the cap.
    void noteReceived(qint64 bytes) { received += bytes; }
    // False (after attemptEnded) when a file of `total` bytes is over the
    // cap, or does not fit on the disk. Else the file is held to `total`.
    [[nodiscard]] bool checkTotal(qint64 total);
    // The same judgement without ending anything: true when a file of
    // `total` bytes (<= 0: not told) may come, and the file is then held to
    // it; else false with why not in *reason, for refuseTotal(). *here: the
    // disk is too full.
    [[nodiscard]] bool judgeTotal(qint64 total, bool *here, QString *reason);
    // Ends the fetch for judgeTotal()'s reason. The attempt must be stopped.
    void refuseTotal(const QString &why, bool here);
    // Ends the fetch: the file is refused for its size (`why`: "is N bytes,
    // more than M", or the file's own excess()). The attempt must be stopped.
    void refuseFile(const QString &why);
    void reportProgress(qint64 done, qint64 total);

private:
    void nextTry();
    void beginAttempt();
    QString recordPath() const;
    void end(bool ok, const QString &reason);
    // Whether another try stays within the bounds of the whole fetch; else
    // false with why not.
    [[nodiscard]] bool withinBounds(QString *reason) const;
    qint64 expectedSize() const;
    void armDeadline();

    QString name;
    CappedFile target {QString(), -1};
    qint64 cap = -1;
    bool resumable = false;
    bool busy = false;
    bool overloaded = false;
    int overloadRetriesAllowed = maxOverloadRetries;
    bool refused = false;
    bool localFailure = false;
    QString recorded;
    QString currentLocation;
    qint64 received = 0;
    qint64 keptMost = 0; // the most the file has held at the end of a try of this fetch
    bool discarded = false; // the attempt threw kept bytes away
    qint64 total = -1; // announced by the source
    qint64 shown = 0;
    int tries = 0;
    bool resuming = false;
    int overloadRetries = 0;
    int timeoutMs = 30000;
    QTimer pause;
    QTimer deadline;
    QElapsedTimer clock;
};

#endif // RELEASESOURCE_H
