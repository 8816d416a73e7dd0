#ifndef QFTPDTP_H
#define QFTPDTP_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>

class QTcpSocket;
class QUrlInfo;

// The two things the data connection reads from the control connection that
// owns it. QFtpPI implements it; tests can stand in for it.
class QFtpDTPOwner
{
public:
    virtual ~QFtpDTPOwner() = default;
    // The command line last sent, with its "\r\n"; empty when none is in progress.
    virtual QString currentCommand() const = 0;
    // True from the moment "ABOR\r\n" was written until the first reply
    // after it has been handled; incoming data is discarded meanwhile.
    virtual bool isAbortSent() const = 0;
    // The transfer failed on this side: a download's bytes could not all be
    // written to its device (disk full, device closed), or an upload's
    // source could not be read; `text` says why. The owner stops the
    // transfer and reports the failure. Called from inside the data socket's
    // handlers, which read no more data afterwards.
    virtual void dataWriteFailed(const QString &text) { Q_UNUSED(text) }
    // Bytes came in or went out on the data connection, or it came up:
    // the transfer is making progress.
    virtual void dataActivity() { }
    // The server's address on the control connection: an active-mode data
    // connection from anywhere else is refused. Null accepts any peer.
    virtual QHostAddress controlPeerAddress() const { return QHostAddress(); }
};

// The FTP data connection: at most one at a time, opened to the server
// (passive) or accepted from it (active). Receives listings (as QUrlInfo
// entries) and downloads, sends uploads, and reports progress and
// connection events. Owned by QFtpPI; owns its listener and data sockets.
// Devices given to it are borrowed, never closed or deleted.
class QFtpDTP : public QObject
{
    Q_OBJECT

public:
    // DataConnectionFailed: any other error while a passive connection was
    // being opened (unreachable, reset, ...); connectionErrorString() says which.
    enum DataState {
        DataConnected = 1,
        DataClosed,
        DataHostNotFound,
        DataConnectionRefused,
        DataConnectionFailed
    };

    explicit QFtpDTP(QFtpDTPOwner *owner, QObject *parent = nullptr);
    ~QFtpDTP() override;

    // Upload source from memory (borrowed from the command record).
    void setData(QByteArray *data);
    // Download sink or upload source.
    void setDevice(QIODevice *device);
    // Restarts the transfer count and reports progress 0 of `total`.
    void setBytesTotal(qint64 total);

    void openDataConnection(const QString &host, quint16 port);
    // Returns the listening port, or -1 when the listener cannot listen.
    int startListening(const QHostAddress &address);
    // Accepts an active-mode connection that is already waiting; never blocks.
    void acceptPendingConnection();

    QAbstractSocket::SocketState connectionState() const;
    // The socket's text for the error that ended the last connection attempt.
    QString connectionErrorString() const { return connectError; }

    // Bytes of the current download received so far, read or not.
    qint64 bytesReceived() const;

    // Downloaded bytes kept for the user (a download without a device).
    qint64 bytesAvailable() const;
    qint64 read(char *data, qint64 maxSize);
    QByteArray readAll();

    // The upload step: writes the byte array, or the next block of at most
    // 16384 bytes of the device.
    void sendNextBlock();
    // Stops an upload and drops the data connection at once; an active-mode
    // listener stops listening.
    void abortTransfer();

    // A listing line that reported "No such file or directory".
    bool hasErrorText() const;
    QString errorText() const;
    void clearErrorText();

    // Parses one Unix or DOS listing line into `info`; false when the line
    // matches neither layout (the entry is then untouched).
    static bool parseDir(const QByteArray &line, const QString &userName, QUrlInfo *info);

signals:
    void listInfo(const QUrlInfo &);
    void readyRead();
    void dataTransferProgress(qint64, qint64);
    void connectState(int);

private slots:
    void socketConnected();
    void socketReadyRead();
    void socketError(QAbstractSocket::SocketError);
    void socketConnectionClosed();
    void socketBytesWritten(qint64);
    void setupSocket();
    void dataReadyRead();

private:
    void connectSocket(QTcpSocket *s);
    void releaseSocket();
    void detachSource();
    bool sourceIsDevice() const { return !sourceIsByteArray && sourceDevice; }
    void reportWriteFailure(const QString &text);
    bool drainIntoDevice();

    QTcpSocket *socket = nullptr;
    QTcpServer listener;
    QFtpDTPOwner *owner;
    // A listing line that reported a missing file or directory; null when none.
    QString listingError;
    qint64 bytesTransferred = 0;
    qint64 bytesExpected = 0;
    bool continueUpload = false;
    // The upload array or the download/upload device; never owned.
    QByteArray *sourceData = nullptr;
    QPointer<QIODevice> sourceDevice;
    bool sourceIsByteArray = false;
    // An upload step was asked for before the active connection arrived.
    bool uploadWaitsForSocket = false;
    // The upload step has been started by the owner: device data is taken.
    bool uploadStarted = false;
    // Bytes still unread in the data socket when it disconnected.
    QByteArray leftover;
    // A passive connection is being opened: every error fails it.
    bool opening = false;
    QString connectError;
};

#endif // QFTPDTP_H
