#ifndef QFTP_P_H
#define QFTP_P_H

#include "qftp.h"
#include "qftppi.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>

class QIODevice;

// One queued command: its kind, the raw FTP lines it sends (or, for
// ConnectToHost and SetProxy, its host and port arguments) and, for
// transfers, the owned upload bytes or the borrowed device.
class QFtpCommand
{
public:
    QFtpCommand(QFtp::Command cmd, const QStringList &raw, const QByteArray &ba);
    QFtpCommand(QFtp::Command cmd, const QStringList &raw, QIODevice *dev = nullptr);
    ~QFtpCommand();
    QFtpCommand(const QFtpCommand &) = delete;
    QFtpCommand &operator=(const QFtpCommand &) = delete;

    QIODevice *device() const { return dataIsByteArray ? nullptr : data.dev; }
    QByteArray *byteArray() const { return dataIsByteArray ? data.ba : nullptr; }

    int id;
    QFtp::Command command;
    QStringList rawCommands;
    union {
        QByteArray *ba;
        QIODevice *dev;
    } data;
    bool dataIsByteArray;
    // A Get's first byte ("REST" sent before "RETR" when not 0).
    qint64 restartOffset = 0;

    // Set once commandStarted has been emitted: the engine starts a record
    // only once, and only a started record can be ended by a finished report.
    bool started = false;
    // Set as the end is being reported: reports that arrive meanwhile (the
    // interpreter winding down the data connection) end nothing.
    bool ended = false;
    // A ConnectToHost whose control connection has come up: only then can a
    // finished report be its greeting rather than the tail of an earlier list.
    bool connected = false;
    // abort() was called for it: it can only end as a failure.
    bool aborted = false;
    // Why one of its lines cannot be sent as written; it then fails as it
    // starts, with nothing sent.
    QString invalidArgument;

private:
    static int nextId();
};

class QFtpPrivate
{
public:
    explicit QFtpPrivate(QFtp *owner);
    ~QFtpPrivate();

    int addCommand(QFtpCommand *cmd);

    void _q_startNextCommand();
    void _q_piFinished(const QString &);
    void _q_piError(int, const QString &);
    void _q_piConnectState(int);
    void _q_piFtpReply(int, const QString &);

    QFtpPI pi;
    QList<QFtpCommand *> pending;
    bool closeWaitForStateChange = false;
    QFtp::State state = QFtp::Unconnected;
    QFtp::TransferMode transferMode = QFtp::Passive;
    QFtp::Error error = QFtp::NoError;
    QString errorString;

    QString host;
    quint16 port = 0;
    QString proxyHost;
    quint16 proxyPort = 0;

    // The running Get's first byte: added to its progress.
    qint64 restartOffset = 0;
    qint64 remoteSize = -1;
    QDateTime remoteModificationTime;

    QFtp *q;

    void failHead(QFtpCommand *cmd, int code, const QString &text);

private:
    void finishHead(QFtpCommand *cmd);
    void removeHead(QFtpCommand *cmd, bool failed);
    void sendLines(QFtpCommand *cmd);
    bool startPut(QFtpCommand *cmd);
    void releaseUploadDevice();
    void checkConnectionLost(int id);
    void restartRefused(QFtpCommand *cmd);

    // A sequential upload device whose signals feed the data connection;
    // disconnected again when its command ends.
    QPointer<QIODevice> uploadDevice;
};

#endif // QFTP_P_H
