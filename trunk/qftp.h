#ifndef QFTP_H
#define QFTP_H

#include "qurlinfo.h"

#include <QDateTime>
#include <QObject>
#include <QString>

class QIODevice;
class QFtpPrivate;

// An asynchronous FTP client. Every operation queues a command and returns
// its id at once; commands run one at a time in queue order, reported by
// commandStarted(), commandFinished() and, when the queue runs empty, done().
// Devices given to get() and put() are borrowed, never closed or deleted.
class QFtp : public QObject
{
    Q_OBJECT

public:
    enum State { Unconnected, HostLookup, Connecting, Connected, LoggedIn, Closing };
    enum Error { NoError, UnknownError, HostNotFound, ConnectionRefused, NotConnected };
    enum Command {
        None,
        SetTransferMode,
        SetProxy,
        ConnectToHost,
        Login,
        Close,
        List,
        Cd,
        Get,
        Put,
        Remove,
        Mkdir,
        Rmdir,
        Rename,
        RawCommand,
        Size,
        ModificationTime
    };
    enum TransferMode { Active, Passive };
    enum TransferType { Binary, Ascii };

    explicit QFtp(QObject *parent = nullptr);
    ~QFtp() override;

    int setProxy(const QString &host, quint16 port);
    int connectToHost(const QString &host, quint16 port = 21);
    // A null user is sent as "anonymous", a null password as "anonymous@".
    int login(const QString &user = QString(), const QString &password = QString());
    int close();
    int setTransferMode(TransferMode mode);
    int list(const QString &dir = QString());
    int cd(const QString &dir);
    // `dev` must already be open for writing; without one, the bytes are
    // announced by readyRead() and read with read() or readAll().
    int get(const QString &file, QIODevice *dev = nullptr, TransferType type = Binary);
    // Downloads `file` from byte `offset` on ("REST offset" right before
    // "RETR"): the bytes go to `dev` at its current position, which the
    // caller has set where byte `offset` belongs (for a partial file, its
    // end). Progress counts from `offset` against the whole file's size. A
    // server that refuses REST sends the whole file: then restartRefused(id)
    // is emitted before any byte arrives, a random-access `dev` is sought
    // back to 0, and the caller truncates what it holds; the download never
    // goes on from a wrong offset. An offset of 0 sends no REST.
    int get(const QString &file, QIODevice *dev, TransferType type, qint64 offset);
    // "TYPE I", "SIZE file": when it has finished, remoteSize() holds the
    // file's size in bytes.
    int size(const QString &file);
    // "MDTM file": when it has finished, remoteModificationTime() holds the
    // file's modification time (UTC).
    int modificationTime(const QString &file);
    int put(const QByteArray &data, const QString &file, TransferType type = Binary);
    int put(QIODevice *dev, const QString &file, TransferType type = Binary);
    int remove(const QString &file);
    int mkdir(const QString &dir);
    int rmdir(const QString &dir);
    int rename(const QString &oldname, const QString &newname);
    int rawCommand(const QString &command);

    qint64 bytesAvailable() const;
    qint64 read(char *data, qint64 maxlen);
    QByteArray readAll();

    int currentId() const;
    QIODevice *currentDevice() const;
    Command currentCommand() const;
    bool hasPendingCommands() const;
    void clearPendingCommands();

    State state() const;
    // The longest the client waits without progress: no byte on the control
    // connection while a reply is due, no byte on the data connection while
    // a transfer runs, a connection that does not come up. When it runs out
    // the command fails, the connection is closed and pending commands are
    // dropped. 30000 by default; 0 waits for ever.
    void setTimeout(int msecs);
    int timeout() const;

    // The answers of the last size() and modificationTime() that succeeded:
    // -1 and an invalid time until then.
    qint64 remoteSize() const;
    QDateTime remoteModificationTime() const;

    // Valid after commandFinished(id, true) until the next command starts.
    Error error() const;
    QString errorString() const;

public slots:
    void abort();

signals:
    void stateChanged(int);
    void listInfo(const QUrlInfo &);
    void readyRead();
    void dataTransferProgress(qint64, qint64);
    void rawCommandReply(int, const QString &);
    void commandStarted(int);
    void commandFinished(int, bool);
    void done(bool);
    // A get() from an offset that the server would not restart: it goes on
    // from byte 0.
    void restartRefused(int id);

private:
    QFtpPrivate *d;
    friend class QFtpPrivate;

    Q_PRIVATE_SLOT(d, void _q_startNextCommand())
    Q_PRIVATE_SLOT(d, void _q_piFinished(const QString &))
    Q_PRIVATE_SLOT(d, void _q_piError(int, const QString &))
    Q_PRIVATE_SLOT(d, void _q_piConnectState(int))
    Q_PRIVATE_SLOT(d, void _q_piFtpReply(int, const QString &))
};

#endif // QFTP_H
