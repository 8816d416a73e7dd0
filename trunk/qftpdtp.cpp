#include "qftpdtp.h"

#include "qurlinfo.h"

#include <QDebug>
#include <QFileDevice>
#include <QHostAddress>
#include <QTcpSocket>
#include <QVariant>

namespace {
const char networkSessionProperty[] = "_q_networksession";
const qint64 uploadBlockSize = 16384;
// Far above any real listing line.
const qint64 maxListingLine = 64 * 1024;
} // namespace

QFtpDTP::QFtpDTP(QFtpDTPOwner *owner, QObject *parent)
    : QObject(parent)
    , listener(this)
    , owner(owner)
{
    listener.setObjectName(QStringLiteral("QFtpDTP active state server"));
    connect(&listener, SIGNAL(newConnection()), this, SLOT(setupSocket()));
}

QFtpDTP::~QFtpDTP()
{
    // A socket closing during destruction must not call back into the
    // half-destroyed object or its owner.
    if (socket)
        socket->disconnect(this);
    listener.disconnect(this);
}

void QFtpDTP::setData(QByteArray *data)
{
    uploadWaitsForSocket = false;
    uploadStarted = false;
    sourceIsByteArray = true;
    sourceData = data;
    sourceDevice = nullptr;
}

void QFtpDTP::setDevice(QIODevice *device)
{
    uploadWaitsForSocket = false;
    uploadStarted = false;
    sourceIsByteArray = false;
    sourceData = nullptr;
    sourceDevice = device;
}

void QFtpDTP::detachSource()
{
    sourceIsByteArray = false;
    sourceData = nullptr;
    sourceDevice = nullptr;
}

void QFtpDTP::setBytesTotal(qint64 total)
{
    bytesExpected = total;
    bytesTransferred = 0;
    emit dataTransferProgress(0, total);
}

void QFtpDTP::connectSocket(QTcpSocket *s)
{
    connect(s, SIGNAL(connected()), this, SLOT(socketConnected()));
    connect(s, SIGNAL(readyRead()), this, SLOT(socketReadyRead()));
    connect(s, SIGNAL(error(QAbstractSocket::SocketError)), this,
        SLOT(socketError(QAbstractSocket::SocketError)));
    connect(s, SIGNAL(disconnected()), this, SLOT(socketConnectionClosed()));
    connect(s, SIGNAL(bytesWritten(qint64)), this, SLOT(socketBytesWritten(qint64)));
}

// Lets go of the current data socket. It may be the sender of the signal
// whose handling led here, so it is silenced and deleted later, not at once.
void QFtpDTP::releaseSocket()
{
    if (!socket)
        return;
    QTcpSocket *old = socket;
    socket = nullptr;
    old->disconnect(this);
    old->abort();
    old->deleteLater();
}

void QFtpDTP::openDataConnection(const QString &host, quint16 port)
{
    leftover.clear();
    releaseSocket();
    uploadWaitsForSocket = false;
    uploadStarted = false;
    socket = new QTcpSocket(this);
    socket->setProperty(networkSessionProperty, property(networkSessionProperty));
    socket->setObjectName(QStringLiteral("QFtpDTP Passive state socket"));
    connectSocket(socket);
    opening = true;
    connectError.clear();
    socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

int QFtpDTP::startListening(const QHostAddress &address)
{
    listener.setProperty(networkSessionProperty, property(networkSessionProperty));
    uploadWaitsForSocket = false;
    uploadStarted = false;
    if (listener.isListening())
        return listener.serverPort();
    if (!listener.listen(address, 0))
        return -1;
    return listener.serverPort();
}

void QFtpDTP::acceptPendingConnection()
{
    if (listener.isListening())
        listener.waitForNewConnection(0);
}

QAbstractSocket::SocketState QFtpDTP::connectionState() const
{
    return socket ? socket->state() : QAbstractSocket::UnconnectedState;
}

namespace {

// A sequential device (a pipe, a process) reports its end with -1 from
// read(), as it does an error; only an error sets an error text.
bool endOfStream(const QIODevice *device)
{
    const QString why = device->errorString();
    return device->isSequential() && (why.isEmpty() || why == QLatin1String("Unknown error"));
}

} // namespace

qint64 QFtpDTP::bytesReceived() const
{
    // Bytes of a download kept for the user are counted once read.
    return bytesTransferred + leftover.size()
        + (socket && socket->state() == QAbstractSocket::ConnectedState ? socket->bytesAvailable()
                                                                        : 0);
}

qint64 QFtpDTP::bytesAvailable() const
{
    if (socket && socket->state() == QAbstractSocket::ConnectedState)
        return socket->bytesAvailable();
    return leftover.size();
}

qint64 QFtpDTP::read(char *data, qint64 maxSize)
{
    qint64 count;
    if (socket && socket->state() == QAbstractSocket::ConnectedState) {
        count = socket->read(data, maxSize);
        if (count > 0)
            bytesTransferred += count;
    } else {
        count = qMin(maxSize, qint64(leftover.size()));
        if (count > 0) {
            memcpy(data, leftover.constData(), size_t(count));
            leftover.remove(0, int(count));
        }
    }
    return count;
}

QByteArray QFtpDTP::readAll()
{
    QByteArray all;
    if (socket && socket->state() == QAbstractSocket::ConnectedState) {
        all = socket->readAll();
        bytesTransferred += all.size();
    } else {
        all = leftover;
        leftover.clear();
    }
    return all;
}

void QFtpDTP::sendNextBlock()
{
    uploadStarted = true;
    if (!socket || socket->state() == QAbstractSocket::UnconnectedState) {
        // In active mode the server's connection may not have been accepted
        // yet (only the previous transfer's closed socket is at hand): the
        // upload starts once it has been.
        uploadWaitsForSocket = sourceIsByteArray || sourceDevice;
        return;
    }
    uploadWaitsForSocket = false;
    if (sourceIsByteArray) {
        if (sourceData->isEmpty())
            emit dataTransferProgress(0, bytesExpected);
        else
            socket->write(*sourceData);
        // Unsent bytes are still delivered before the connection closes.
        if (socket)
            socket->close();
        detachSource();
        return;
    }
    if (!sourceDevice)
        return;
    continueUpload = false;
    char buffer[uploadBlockSize];
    const qint64 count = sourceDevice->read(buffer, uploadBlockSize);
    if (count > 0) {
        continueUpload = true;
        socket->write(buffer, count);
    } else if (count < 0 && !endOfStream(sourceDevice)) {
        // Closing the connection now would hand the server a truncated
        // file as if it were complete.
        reportWriteFailure(
            tr("Cannot read the file to upload: %1").arg(sourceDevice->errorString()));
    } else if (count < 0 || (!sourceDevice->isSequential() && sourceDevice->atEnd())) {
        if (bytesTransferred == 0 && socket->bytesToWrite() == 0)
            emit dataTransferProgress(0, bytesExpected);
        if (socket)
            socket->close();
        detachSource();
    } else {
        // Nothing yet from a sequential device: its readyRead or
        // readChannelFinished brings the next step.
        continueUpload = true;
    }
}

void QFtpDTP::dataReadyRead()
{
    // A sequential device may have data before the server has accepted the
    // upload; it is read only once the transfer has been started.
    if (uploadStarted)
        sendNextBlock();
}

void QFtpDTP::abortTransfer()
{
    opening = false;
    continueUpload = false;
    uploadWaitsForSocket = false;
    uploadStarted = false;
    detachSource();
    // An active connection that has not come yet is not wanted any more.
    listener.close();
    if (socket)
        socket->abort();
}

bool QFtpDTP::hasErrorText() const
{
    return !listingError.isNull();
}

QString QFtpDTP::errorText() const
{
    return listingError;
}

void QFtpDTP::clearErrorText()
{
    listingError = QString();
}

void QFtpDTP::socketConnected()
{
    opening = false;
    owner->dataActivity();
    bytesTransferred = 0;
    emit connectState(DataConnected);
}

void QFtpDTP::reportWriteFailure(const QString &text)
{
    // The owner stops the transfer: the source is detached and the socket
    // aborted before this returns.
    owner->dataWriteFailed(text);
}

// Moves everything the socket holds into the download device. False when
// the transfer has ended here: a failed read, or a failed write, which has
// been handed to the owner.
bool QFtpDTP::drainIntoDevice()
{
    while (socket && socket->bytesAvailable() > 0) {
        QByteArray buffer(int(socket->bytesAvailable()), Qt::Uninitialized);
        const qint64 count = socket->read(buffer.data(), buffer.size());
        if (count < 0)
            return false;
        buffer.resize(int(count));
        bytesTransferred += count;
        if (sourceDevice) {
            if (sourceDevice->write(buffer) != count) {
                reportWriteFailure(sourceDevice->errorString());
                return false;
            }
        }
        emit dataTransferProgress(bytesTransferred, bytesExpected);
    }
    return true;
}

void QFtpDTP::socketReadyRead()
{
    if (!socket)
        return;
    owner->dataActivity();
    const QString command = owner->currentCommand();
    if (command.isEmpty()) {
        socket->close();
        emit connectState(DataClosed);
        return;
    }
    if (owner->isAbortSent()) {
        socket->readAll();
        return;
    }
    if (command.startsWith(QLatin1String("LIST"))) {
        while (socket && socket->canReadLine()) {
            QUrlInfo entry;
            const QByteArray line = socket->readLine();
            if (parseDir(line, QString(), &entry)) {
                emit listInfo(entry);
            } else if (line.endsWith("No such file or directory\r\n")) {
                listingError = QString::fromLatin1(line.constData());
            }
        }
        // A line that never ends would grow without bound (and a socket
        // whose buffer is full without a line end would stall).
        qint64 limit = maxListingLine;
        if (socket && socket->readBufferSize() > 0)
            limit = qMin(limit, socket->readBufferSize());
        if (socket && !socket->canReadLine() && socket->bytesAvailable() >= limit)
            reportWriteFailure(tr("Listing line too long"));
        return;
    }
    if (sourceIsDevice()) {
        drainIntoDevice();
        return;
    }
    emit dataTransferProgress(bytesTransferred + socket->bytesAvailable(), bytesExpected);
    emit readyRead();
}

void QFtpDTP::socketError(QAbstractSocket::SocketError e)
{
    // Errors of a connection that was up end in a disconnect, reported as such.
    if (!opening || !socket)
        return;
    opening = false;
    connectError = socket->errorString();
    if (e == QAbstractSocket::HostNotFoundError)
        emit connectState(DataHostNotFound);
    else if (e == QAbstractSocket::ConnectionRefusedError)
        emit connectState(DataConnectionRefused);
    else
        emit connectState(DataConnectionFailed);
}

void QFtpDTP::socketConnectionClosed()
{
    if (sourceIsDevice()) {
        bool complete = true;
        // Bytes that came in with the close still belong to the download.
        if (socket && socket->bytesAvailable() > 0 && !owner->currentCommand().isEmpty()
            && !owner->isAbortSent()) {
            complete = drainIntoDevice();
        }
        // A file keeps the last bytes in its buffer; the download is only
        // complete once they have been written out.
        auto *file = qobject_cast<QFileDevice *>(sourceDevice.data());
        if (complete && file && (file->openMode() & QIODevice::WriteOnly) && !file->flush())
            reportWriteFailure(file->errorString());
        detachSource();
    }
    // A socket closed from this side has nothing left to read.
    leftover = socket && socket->isReadable() ? socket->readAll() : QByteArray();
    emit connectState(DataClosed);
}

void QFtpDTP::socketBytesWritten(qint64 count)
{
    owner->dataActivity();
    bytesTransferred += count;
    emit dataTransferProgress(bytesTransferred, bytesExpected);
    if (continueUpload)
        sendNextBlock();
}

void QFtpDTP::setupSocket()
{
    QTcpSocket *accepted = nullptr;
    while ((accepted = listener.nextPendingConnection())) {
        // Only the server may deliver the data; anyone else who finds the
        // port is turned away and the wait goes on.
        const QHostAddress expected = owner->controlPeerAddress();
        if (expected.isNull()
            || accepted->peerAddress().isEqual(expected, QHostAddress::TolerantConversion))
            break;
        qDebug() << "Refused a data connection from" << accepted->peerAddress().toString()
                 << "instead of" << expected.toString();
        accepted->abort();
        accepted->deleteLater();
    }
    if (!accepted)
        return;
    // The previous transfer's socket is done with; it must not linger.
    releaseSocket();
    socket = accepted;
    socket->setObjectName(QStringLiteral("QFtpDTP Active state socket"));
    connectSocket(socket);
    listener.close();
    if (uploadWaitsForSocket)
        sendNextBlock();
}
