#ifndef QFTPDTP_H
#define QFTPDTP_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QHostAddress;
class QIODevice;
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
    enum DataState { DataConnected = 1, DataClosed, DataHostNotFound, DataConnectionRefused };

    explicit QFtpDTP(QFtpDTPOwner *owner, QObject *parent = nullptr);

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

    // Downloaded bytes kept for the user (a download without a device).
    qint64 bytesAvailable() const;
    qint64 read(char *data, qint64 maxSize);
    QByteArray readAll();

    // The upload step: writes the byte array, or the next block of at most
    // 16384 bytes of the device.
    void sendNextBlock();
    // Stops an upload and drops the data connection at once.
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
    // Private members are the implementation's to choose.
    QTcpSocket *socket = nullptr;
    QTcpServer listener;
    QFtpDTPOwner *owner;
};

#endif // QFTPDTP_H
