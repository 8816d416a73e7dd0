#ifndef QFTPPI_H
#define QFTPPI_H

#include "qftpdtp.h"
#include "qftpreplyreader.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

// The FTP control connection: sends the lines of one command at a time,
// reads single- and multi-line replies, runs the reply state machine and
// sets up data connections (PORT/EPRT/PASV/EPSV) through its QFtpDTP.
// Owned by QFtp's private part; reports back through four signals, whose
// handlers may call back into it.
class QFtpPI : public QObject, public QFtpDTPOwner
{
    Q_OBJECT

public:
    enum State { Begin, Idle, Waiting, Success, Failure };
    enum AbortState { NotAborting, AbortSent, AbortFinishing };

    explicit QFtpPI(QObject *parent = nullptr);
    ~QFtpPI() override;

    void connectToHost(const QString &host, quint16 port);

    // Takes the lines of one command, each ending in "\r\n". False when a
    // list is still pending; true when taken, or refused with
    // error(NotConnected, "Not connected") already emitted.
    bool sendCommands(const QStringList &lines);
    // Drops unsent lines, aborts the data transfer, becomes idle.
    void clearPendingCommands();
    // Ends the command in progress with an error: "ABOR\r\n" when a line
    // is outstanding (its reply is then reported as a failure, "Aborted"
    // when it was a success, and ABOR's own reply is dropped); the control
    // connection is closed while connecting, awaiting the greeting or
    // closing; otherwise error("Aborted") at once.
    void abort();
    // Closes the control connection at once, reporting nothing.
    void closeConnection();

    // The line in progress, as sent (after rewriting), with "\r\n"; null
    // when the list is worked off or discarded.
    QString currentCommand() const override;
    bool isAbortSent() const override;
    void dataWriteFailed(const QString &text) override;
    void dataActivity() override;
    QHostAddress controlPeerAddress() const override;

    // The longest wait without progress while the server owes something
    // (the connection, the greeting, a reply, the data connection or its
    // bytes); 0 waits for ever. When it runs out the control connection is
    // closed and "Connection timed out" is reported.
    void setTimeout(int msecs);
    int timeout() const { return timeoutMs; }

    // Set by the owner while it handles rawFtpReply for a raw command: the
    // interpreter then skips its own actions on that reply, and clears it.
    bool rawCommand = false;
    // Allows EPRT/EPSV on an IPv6 control connection; cleared when the
    // server rejects them, set again by the owner on connect and mode change.
    bool extendedTransfer = true;

    QFtpDTP dtp;

signals:
    // A QFtp::State value (never Closing).
    void connectState(int);
    // The list was worked off, or the greeting was accepted.
    void finished(const QString &);
    // A QFtp::Error value and its text. A control connection lost while a
    // line is outstanding, the greeting is awaited or a transfer runs is
    // reported as connectState(Unconnected) followed by error(UnknownError,
    // "Connection closed by host %1"), %1 the host name -- except when the
    // outstanding line is "QUIT\r\n", whose answer may be the close itself.
    void error(int, const QString &);
    void rawFtpReply(int, const QString &);

private slots:
    void hostFound();
    void connected();
    void connectionClosed();
    void delayedCloseFinished();
    void readyRead();
    void error(QAbstractSocket::SocketError);
    void dtpConnectState(int);
    void timedOut();

private:
    bool expectsPeer() const;
    bool overIPv4() const;
    void watch();
    static quint16 passivePort(int code, const QString &text);
    bool sendNextCommand();
    bool handleReply();
    void failCommand(int code, const QString &text);
    void dropConnection(int code, const QString &text);
    void resetAfterClose();

    QTcpSocket commandSocket;
    // The host name given to connectToHost, for the messages.
    QString hostName;
    // connectToHost has been called and the connection is not up yet.
    bool connecting = false;
    // The replies as they come in, and the text of the one being handled
    // (or held until the data connection closes).
    QFtpReplyReader reader;
    QString replyText;
    // The control connection is being closed from this side: its signals
    // are not the server's doing.
    bool dropping = false;
    int replyCode = 0;
    State state = Begin;
    AbortState abortState = NotAborting;
    // Whether a reply to a line other than ABOR was due when ABOR went out.
    bool abortLineOutstanding = false;
    // Final replies still to come for a transfer stopped after a write
    // failure (the aborted line's and ABOR's); they are dropped, and no line
    // is sent until they are in.
    int repliesToSkip = 0;
    // Set while a reply is being handled: data-connection events raised by
    // the handlers then leave the reading of further replies to the reading
    // loop (or to a local event loop a handler runs).
    int handlingReply = 0;
    // Counts lines sent and replies handled.
    quint64 generation = 0;
    QStringList pendingCommands;
    // The size a 213 reply announced for this list's download (-1: none),
    // and whether its TYPE line asked for binary, where sizes must match.
    qint64 announcedSize = -1;
    // The offset a 350 accepted for this list's RETR: so many bytes fewer come.
    qint64 restartOffset = 0;
    bool binaryType = false;
    QString currentLine;
    bool waitingForDataConnect = false;
    bool waitingForDataClose = false;
    // Over IPv4, the passive command this session's server takes: PASV
    // until it refuses PASV as unknown (500, 502), then EPSV on trial once;
    // what worked is kept until the connection closes.
    enum PassiveChoice { PassiveUntried, PassivePasv, PassiveEpsvTrial, PassiveEpsv };
    PassiveChoice passiveChoice = PassiveUntried;
    // Restarted by every sign of progress while the server owes something.
    QTimer watchdog;
    int timeoutMs = 30000;
};

#endif // QFTPPI_H
