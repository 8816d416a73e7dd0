#ifndef RELEASESOURCE_H
#define RELEASESOURCE_H

#include "cappedfile.h"

#include <QObject>
#include <QString>
#include <QTimer>

// One place a release's files can be fetched from (an FTP folder, an HTTPS
// folder). fetch() brings one named file into a local file, at most a given
// number of bytes; a resumable fetch continues after the bytes the local
// file already holds when the small record beside it ("<file>.source")
// still names the same file on the same source, and starts over otherwise.
// A connection lost or timed out is reconnected and resumed up to 5 tries
// (about 1, 2, 4, 8 s apart); an overloaded source is tried at most twice
// more after 1 to 3 s. The end is one finished(ok, reason).
class ReleaseSource : public QObject
{
    Q_OBJECT

public:
    // How an attempt ended: for good, or worth another try.
    enum Outcome { Done, Failed, ConnectionLost, Overloaded };

    static constexpr int maxTries = 5;
    static constexpr int maxOverloadRetries = 2;

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

    // The pause before another try of an overloaded source: 1 to 3 s.
    static int overloadPause();

    // Divides every pause between tries; tests set it high.
    static void setPauseDivisorForTesting(int divisor);

signals:
    // Bytes of the whole file held so far, never fewer than reported before.
    void progress(qint64 done, qint64 total);
    // "Connection lost; resuming (2 of 5)..." while a try is pending; an
    // empty text once bytes flow again.
    void status(const QString &text);
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
    // False (after attemptEnded) when a file of `total` bytes is over the cap.
    bool checkTotal(qint64 total);
    // Ends the fetch: the file is refused for its size (`why`: "is N bytes,
    // more than M", or the file's own excess()). The attempt must be stopped.
    void refuseFile(const QString &why);
    void reportProgress(qint64 done, qint64 total);

private:
    void nextTry();
    QString recordPath() const;
    void end(bool ok, const QString &reason);

    QString name;
    CappedFile target {QString(), -1};
    qint64 cap = -1;
    bool resumable = false;
    bool busy = false;
    bool overloaded = false;
    bool refused = false;
    QString recorded;
    QString currentLocation;
    qint64 received = 0;
    qint64 receivedBefore = 0; // when the attempt began
    qint64 shown = 0;
    int tries = 0;
    bool resuming = false;
    int overloadRetries = 0;
    int timeoutMs = 30000;
    QTimer pause;
};

#endif // RELEASESOURCE_H
