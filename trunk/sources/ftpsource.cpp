#include "ftpsource.h"

#include "qftp.h"

#include <QRegularExpression>
#include <QTimer>

const char FtpSource::user[] = "marvoline";
const char FtpSource::password[] = "qd4739";

namespace {

// "size=N" and, when the server told it, " mtime=YYYYMMDDhhmmss".
QString identityOf(qint64 size, const QDateTime &time)
{
    QString identity = QStringLiteral("size=%1").arg(size);
    if (time.isValid())
        identity += QLatin1String(" mtime=") + time.toString(QStringLiteral("yyyyMMddHHmmss"));
    return identity;
}

QString field(const QString &identity, const QString &key)
{
    const QRegularExpression pattern(
        QStringLiteral("(?:^| )%1=(\\S+)").arg(QRegularExpression::escape(key)));
    return pattern.match(identity).captured(1);
}

// The same file: the same size and the same modification time. A size alone
// proves nothing (a file replaced by another of the same size), so a record
// or a server without the time starts over.
bool sameFile(const QString &recorded, const QString &now)
{
    const QString size = field(recorded, QStringLiteral("size"));
    const QString time = field(recorded, QStringLiteral("mtime"));
    return !size.isEmpty() && size == field(now, QStringLiteral("size")) && !time.isEmpty()
        && time == field(now, QStringLiteral("mtime"));
}

} // namespace

FtpSource::FtpSource(const QString &host, quint16 port, const QString &folder, QObject *parent)
    : ReleaseSource(parent)
    , host(host)
    , port(port)
    , folder(folder)
{
}

FtpSource::~FtpSource()
{
    // Before the file it may be writing into goes with the base class.
    if (ftp && ownsFtp)
        delete ftp;
    else if (ftp)
        ftp->disconnect(this);
}

QString FtpSource::location() const
{
    return QStringLiteral("ftp://%1:%2/%3/").arg(host).arg(port).arg(folder);
}

bool FtpSource::wasOverloaded(const QFtp *client)
{
    return client->error() == QFtp::ConnectionRefused
        && !client->errorString().contains(QLatin1String("timed out"));
}

void FtpSource::adopt(QFtp *session, const QHash<QString, qint64> &listing)
{
    // A session of its own, made when an adopted one broke, is done with.
    if (ftp && ftp != session) {
        ftp->disconnect(this);
        if (ownsFtp) {
            ftp->abort();
            ftp->deleteLater();
        }
    }
    ftp = session;
    ownsFtp = false;
    sessionFresh = true;
    listedSizes = listing;
    watch(session);
}

void FtpSource::watch(QFtp *client)
{
    // Once: the same session may be adopted for the manifest and again for
    // the archive.
    const auto once = Qt::UniqueConnection;
    connect(client, &QFtp::commandFinished, this, &FtpSource::commandFinished, once);
    connect(client, &QFtp::dataTransferProgress, this, &FtpSource::transferProgress, once);
    connect(client, &QFtp::restartRefused, this, &FtpSource::restartRefused, once);
}

void FtpSource::startAttempt()
{
    connectId = loginId = cdId = sizeId = timeId = getId = 0;
    timeBeforeFresh = false;
    total = -1;
    // Idle, or ending its last command (this may run from its end's report).
    if (ftp && ftp->state() == QFtp::LoggedIn && !ftp->hasPendingCommands()) {
        ftp->setTimeout(timeout());
        // A fresh download in the session the window has: what it always sent.
        const qint64 listed = sessionFresh ? listedSizes.value(fileName(), -1) : -1;
        bool here = false;
        QString why;
        if (maxBytes() >= 0 && listed > maxBytes()) {
            refuseFile(QStringLiteral("is %1 bytes, more than %2").arg(listed).arg(maxBytes()));
        } else if (!judgeTotal(listed, &here, &why)) {
            refuseTotal(why, here);
        } else if (sessionFresh && offset() == 0 && isResumable()) {
            // The time names the file in the record, so that a later try
            // resumes only onto the same file; then what it always sent.
            freshTime = QDateTime();
            timeBeforeFresh = true;
            timeId = ftp->modificationTime(fileName());
        } else if (sessionFresh && offset() == 0) {
            download();
        } else {
            askIdentity();
        }
        return;
    }
    sessionFresh = false;
    // A session that broke is of no further use: a new one, logged in afresh.
    if (ftp) {
        ftp->disconnect(this);
        if (ownsFtp) {
            ftp->abort();
            ftp->deleteLater();
        }
    }
    ftp = new QFtp(this);
    ownsFtp = true;
    watch(ftp);
    ftp->setTimeout(loginTimeoutMs > 0 ? loginTimeoutMs : timeout());
    connectId = ftp->connectToHost(host, port);
    loginId = ftp->login(QLatin1String(user), QLatin1String(password));
    cdId = ftp->cd(folder);
}

void FtpSource::stopAttempt()
{
    connectId = loginId = cdId = sizeId = timeId = getId = 0;
    if (ftp && ftp->currentId())
        ftp->abort();
}

void FtpSource::askIdentity()
{
    if (!isResumable()) {
        download();
        return;
    }
    sizeId = ftp->size(fileName());
}

void FtpSource::download()
{
    lastDone = offset();
    getId = ftp->get(fileName(), file(), QFtp::Binary, offset());
}

void FtpSource::fail(Outcome outcome, const QString &what)
{
    sessionFresh = false;
    connectId = loginId = cdId = sizeId = timeId = getId = 0;
    // The client's texts put the server's reply on a line of its own.
    attemptEnded(outcome,
        what + QLatin1String(": ")
            + ftp->errorString().replace(QLatin1Char('\n'), QLatin1Char(' ')));
}

void FtpSource::commandFinished(int id, bool error)
{
    if (!id || !isBusy())
        return;
    if (id == connectId && error)
        return fail(wasOverloaded(ftp) ? Overloaded : Failed, QStringLiteral("cannot connect"));
    const bool lost = error && ftp->state() == QFtp::Unconnected;
    if (id == loginId && error)
        return fail(lost ? ConnectionLost : Failed, QStringLiteral("login refused"));
    if (id == loginId)
        ftp->setTimeout(timeout());
    if (id == cdId) {
        if (error)
            return fail(lost ? ConnectionLost : Failed, QStringLiteral("folder refused"));
        cdId = 0;
        askIdentity();
    } else if (id == sizeId) {
        if (error)
            return fail(
                lost ? ConnectionLost : Failed, QStringLiteral("no \"%1\"").arg(fileName()));
        sizeId = 0;
        total = ftp->remoteSize();
        if (checkTotal(total))
            timeId = ftp->modificationTime(fileName());
    } else if (id == timeId) {
        // A server without MDTM: nothing proves a later try's file the same.
        if (lost)
            return fail(ConnectionLost, QStringLiteral("connection lost"));
        timeId = 0;
        if (timeBeforeFresh) {
            // Asked before a fresh download, whose transfer tells the size.
            freshTime = error ? QDateTime() : ftp->remoteModificationTime();
            download();
            return;
        }
        const QString now = identityOf(total, error ? QDateTime() : ftp->remoteModificationTime());
        if (!sameFile(recordedIdentity(), now) || offset() > total)
            startOver();
        recordIdentity(now, total);
        download();
    } else if (id == getId) {
        getId = 0;
        if (!error) {
            attemptEnded(Done, QString());
            return;
        }
        // Written past its cap: the file refused it, not the network.
        if (file()->exceeded()) {
            sessionFresh = false;
            refuseFile(file()->excess());
            return;
        }
        // Cut off (the connection, or the data connection, went): worth
        // resuming; the server's plain refusal is not.
        const bool cut
            = lost || file()->size() > lastDone || ftp->error() == QFtp::ConnectionRefused;
        fail(cut ? ConnectionLost : Failed, QStringLiteral("download failed"));
    }
}

void FtpSource::transferProgress(qint64 done, qint64 size)
{
    if (!getId || ftp->currentId() != getId)
        return;
    if (size > 0 && total < 0) {
        // The first size heard of in this attempt (a fresh download asks no
        // SIZE of its own): the record names the file by it.
        total = size;
        bool here = false;
        QString why;
        if (!judgeTotal(size, &here, &why)) {
            // Refused on SIZE's word, before the data is asked for; stopped
            // from the event loop, not from inside the client's reply.
            QTimer::singleShot(0, this, [this, id = getId, why, here] {
                if (isBusy() && getId == id) {
                    stopAttempt();
                    refuseTotal(why, here);
                }
            });
            return;
        }
        if (isResumable() && recordedIdentity().isEmpty())
            recordIdentity(identityOf(size, freshTime), size);
    }
    if (done > lastDone) {
        noteReceived(done - lastDone);
        lastDone = done;
    }
    reportProgress(done, total > 0 ? total : size);
}

void FtpSource::restartRefused(int id)
{
    if (id != getId)
        return;
    // The whole file comes again: what was kept goes, the identity stays.
    const QString identity = recordedIdentity();
    startOver();
    if (!identity.isEmpty())
        recordIdentity(identity, total);
    lastDone = 0;
}
