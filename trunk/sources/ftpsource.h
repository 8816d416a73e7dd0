#ifndef FTPSOURCE_H
#define FTPSOURCE_H

#include "releasesource.h"

#include <QDateTime>
#include <QHash>
#include <QPointer>

class QFtp;

// A release folder on an FTP server. Each attempt logs in and changes into
// the folder (or goes on in a session it was handed that is still logged
// in there); a resumable fetch asks the file's size and modification time
// (SIZE, MDTM) and continues with REST only when both match the record.
class FtpSource : public ReleaseSource
{
    Q_OBJECT

public:
    // The updater's fixed login.
    static const char user[];
    static const char password[];

    FtpSource(const QString &host, quint16 port, const QString &folder, QObject *parent = nullptr);
    ~FtpSource() override;

    // The first attempt runs in `session`, logged in and in the folder (the
    // window's own), so a download that goes well sends what it always has:
    // "TYPE I", "SIZE", the data line, "RETR", a resumable one after "MDTM"
    // for its record. Borrowed.
    // `listing`: the sizes its listing of the folder gave, by name; a file
    // listed larger than its cap is refused without a command sent.
    void adopt(QFtp *session, const QHash<QString, qint64> &listing = {});

    // The connect of `client` failed because the server would not take the
    // session now (refused, or 421 at the greeting), rather than being gone
    // or out of time: worth another try after a pause.
    static bool wasOverloaded(const QFtp *client);

    // The longest wait for each answer until a fresh session is logged in
    // (0: timeout()); after the login, timeout() holds.
    void setLoginTimeout(int msecs) { loginTimeoutMs = msecs; }

    QString location() const override;

protected:
    void startAttempt() override;
    void stopAttempt() override;

private slots:
    void commandFinished(int id, bool error);
    void transferProgress(qint64 done, qint64 total);
    void restartRefused(int id);

private:
    void watch(QFtp *client);
    void askIdentity();
    void download();
    void fail(Outcome outcome, const QString &what);

    QString host;
    quint16 port;
    QString folder;
    QPointer<QFtp> ftp;
    bool ownsFtp = false;
    // The adopted session, as long as nothing in it has failed.
    bool sessionFresh = false;
    QHash<QString, qint64> listedSizes;
    int connectId = 0;
    int loginId = 0;
    int cdId = 0;
    int sizeId = 0;
    int timeId = 0;
    int getId = 0;
    qint64 total = -1;
    qint64 lastDone = 0;
    int loginTimeoutMs = 0;
    // The file's time, asked before a fresh download in an adopted session.
    QDateTime freshTime;
    bool timeBeforeFresh = false;
};

#endif // FTPSOURCE_H
