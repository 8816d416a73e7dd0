#include "qftppi.h"

#include "qftp.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QRegularExpression>
#include <QVariant>

namespace {
const char networkSessionProperty[] = "_q_networksession";
// How much is taken from the control socket at a time; also the most it
// buffers while replies are not being read.
const qint64 readChunk = 64 * 1024;

// Runs a reply handler with the re-entrancy marker set.
class HandlingReply
{
public:
    explicit HandlingReply(int &depth)
        : depth(depth)
    {
        ++depth;
    }
    ~HandlingReply() { --depth; }

private:
    int &depth;
};
} // namespace

QFtpPI::QFtpPI(QObject *parent)
    : QObject(parent)
    , dtp(this, nullptr)
    , commandSocket(nullptr)
{
    commandSocket.setObjectName(QStringLiteral("QFtpPI_socket"));
    commandSocket.setReadBufferSize(readChunk);
    connect(&commandSocket, SIGNAL(hostFound()), this, SLOT(hostFound()));
    connect(&commandSocket, SIGNAL(connected()), this, SLOT(connected()));
    connect(&commandSocket, SIGNAL(disconnected()), this, SLOT(connectionClosed()));
    // channelReadyRead, unlike readyRead, is also emitted while a slot of
    // this socket is on the stack: a handler that waits in a local event
    // loop for the reply to a command it queued gets that reply.
    connect(&commandSocket, SIGNAL(channelReadyRead(int)), this, SLOT(readyRead()));
    connect(&commandSocket, SIGNAL(error(QAbstractSocket::SocketError)), this,
        SLOT(error(QAbstractSocket::SocketError)));
    connect(&dtp, SIGNAL(connectState(int)), this, SLOT(dtpConnectState(int)));
    watchdog.setSingleShot(true);
    connect(&watchdog, SIGNAL(timeout()), this, SLOT(timedOut()));
}

QFtpPI::~QFtpPI()
{
    // The members go before the socket would report its close to them.
    commandSocket.disconnect(this);
    dtp.disconnect(this);
}

void QFtpPI::setTimeout(int msecs)
{
    timeoutMs = qMax(0, msecs);
    watch();
}

// Whether the server owes this side something: the connection, the
// greeting, a reply, the data connection or the end of a transfer.
bool QFtpPI::expectsPeer() const
{
    if (connecting)
        return true;
    if (commandSocket.state() != QAbstractSocket::ConnectedState)
        return false;
    return state == Begin || state == Waiting || waitingForDataConnect || waitingForDataClose
        || repliesToSkip > 0;
}

// Progress, or a new wait: the time limit starts again (or stops when
// nothing is owed).
void QFtpPI::watch()
{
    if (timeoutMs > 0 && expectsPeer())
        watchdog.start(timeoutMs);
    else
        watchdog.stop();
}

void QFtpPI::dataActivity()
{
    watch();
}

void QFtpPI::timedOut()
{
    if (!expectsPeer())
        return;
    const bool opening = connecting || state == Begin;
    dropConnection(opening ? QFtp::ConnectionRefused : QFtp::UnknownError,
        QCoreApplication::translate("QFtp", "Connection timed out"));
}

void QFtpPI::connectToHost(const QString &host, quint16 port)
{
    emit connectState(QFtp::HostLookup);
    hostName = host;
    resetAfterClose();
    connecting = true;
    watch();
    commandSocket.setProperty(networkSessionProperty, property(networkSessionProperty));
    dtp.setProperty(networkSessionProperty, property(networkSessionProperty));
    commandSocket.connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

bool QFtpPI::sendCommands(const QStringList &lines)
{
    if (!pendingCommands.isEmpty())
        return false;
    if (commandSocket.state() != QAbstractSocket::ConnectedState || state != Idle) {
        emit error(QFtp::NotConnected, QCoreApplication::translate("QFtp", "Not connected"));
        return true;
    }
    pendingCommands = lines;
    announcedSize = -1;
    restartOffset = 0;
    binaryType = false;
    sendNextCommand();
    return true;
}

void QFtpPI::clearPendingCommands()
{
    pendingCommands.clear();
    currentLine = QString();
    state = Idle;
    // A refused data connection never reports DataConnected; the next
    // command must not wait for it.
    waitingForDataConnect = false;
    dtp.abortTransfer();
}

void QFtpPI::abort()
{
    const bool hadLines = !pendingCommands.isEmpty();
    pendingCommands.clear();
    const QString aborted = QCoreApplication::translate("QFtp", "Aborted");
    if (commandSocket.state() != QAbstractSocket::ConnectedState || state == Begin
        || currentLine == QLatin1String("QUIT\r\n")) {
        // Connecting, greeting awaited or closing: no ABOR can be sent.
        if (connecting || commandSocket.state() != QAbstractSocket::UnconnectedState)
            dropConnection(QFtp::UnknownError, aborted);
        return;
    }
    if (abortState != NotAborting)
        return; // ABOR is on its way; its line's reply ends the command
    if (state == Waiting && !waitingForDataClose) {
        // A server answers the outstanding line first (426 for a transfer
        // cut short), then ABOR; the line's reply ends the command as a
        // failure and ABOR's own reply is dropped, so a later line never
        // loses its reply.
        abortLineOutstanding = true;
        abortState = AbortSent;
        commandSocket.write("ABOR\r\n", 6);
        watch();
        if (currentLine.startsWith(QLatin1String("STOR ")))
            dtp.abortTransfer();
        return;
    }
    // No line outstanding (a data connection being opened, a completion
    // held until the data connection closes, lines held back): nothing for
    // ABOR to stop, and the connection stays in step without it.
    const bool inProgress
        = hadLines || !currentLine.isNull() || waitingForDataConnect || waitingForDataClose;
    waitingForDataConnect = false;
    const bool readAgain = waitingForDataClose;
    waitingForDataClose = false;
    replyText.clear();
    currentLine = QString();
    state = Idle;
    dtp.abortTransfer();
    if (inProgress)
        emit error(QFtp::UnknownError, aborted);
    if (readAgain) // replies behind the dropped completion
        QMetaObject::invokeMethod(this, "readyRead", Qt::QueuedConnection);
}

QString QFtpPI::currentCommand() const
{
    return currentLine;
}

QHostAddress QFtpPI::controlPeerAddress() const
{
    return commandSocket.peerAddress();
}

bool QFtpPI::isAbortSent() const
{
    return abortState == AbortSent;
}

void QFtpPI::dataWriteFailed(const QString &text)
{
    if (abortState != NotAborting || repliesToSkip > 0) {
        // The command is already being ended by an abort.
        dtp.abortTransfer();
        return;
    }
    // The server still answers the transfer line (unless it has already
    // been), and then ABOR. Both replies are dropped and no line goes out
    // before they are in, so neither can pass for the reply to a later line.
    if (commandSocket.state() == QAbstractSocket::ConnectedState) {
        repliesToSkip = state == Waiting ? 2 : 1;
        commandSocket.write("ABOR\r\n", 6);
    }
    pendingCommands.clear();
    currentLine = QString();
    state = Idle;
    dtp.abortTransfer();
    emit error(QFtp::UnknownError, text);
}

void QFtpPI::hostFound()
{
    emit connectState(QFtp::Connecting);
}

void QFtpPI::connected()
{
    state = Begin;
    connecting = false;
    commandSocket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    watch();
    emit connectState(QFtp::Connected);
}

void QFtpPI::resetAfterClose()
{
    pendingCommands.clear();
    currentLine = QString();
    replyText.clear();
    reader.clear();
    waitingForDataConnect = false;
    waitingForDataClose = false;
    abortState = NotAborting;
    repliesToSkip = 0;
    passiveChoice = PassiveUntried;
    state = Begin;
    dtp.abortTransfer();
}

// Closes the control connection from this side and fails whatever was in
// progress with `text`: the connection cannot be trusted to stay in step.
void QFtpPI::dropConnection(int code, const QString &text)
{
    closeConnection();
    emit connectState(QFtp::Unconnected);
    emit error(code, text);
}

void QFtpPI::closeConnection()
{
    dropping = true;
    commandSocket.abort();
    dropping = false;
    connecting = false;
    resetAfterClose();
}

void QFtpPI::connectionClosed()
{
    if (dropping)
        return;
    // A server that goes away in the middle of a command never answers it:
    // the command fails rather than waiting for ever. QUIT is answered by the
    // close itself.
    const bool quitting = currentLine == QLatin1String("QUIT\r\n");
    const bool busy = state == Begin || state == Waiting || waitingForDataConnect
        || waitingForDataClose || dtp.connectionState() != QAbstractSocket::UnconnectedState;
    const bool fail = busy && !quitting;
    // Whatever the server wrote before it went is not read any more: a
    // completion held until the data connection closes must not end the
    // command once the reset below has closed that connection.
    commandSocket.close();
    resetAfterClose();
    emit connectState(QFtp::Unconnected);
    if (fail) {
        emit error(QFtp::UnknownError,
            QCoreApplication::translate("QFtp", "Connection closed by host %1").arg(hostName));
    }
}

void QFtpPI::delayedCloseFinished()
{
    emit connectState(QFtp::Unconnected);
}

void QFtpPI::error(QAbstractSocket::SocketError e)
{
    if (dropping)
        return;
    const bool wasConnecting = connecting;
    connecting = false;
    switch (e) {
    case QAbstractSocket::HostNotFoundError:
        emit connectState(QFtp::Unconnected);
        emit error(QFtp::HostNotFound,
            QCoreApplication::translate("QFtp", "Host %1 not found").arg(hostName));
        break;
    case QAbstractSocket::ConnectionRefusedError:
        emit connectState(QFtp::Unconnected);
        emit error(QFtp::ConnectionRefused,
            QCoreApplication::translate("QFtp", "Connection refused to host %1").arg(hostName));
        break;
    case QAbstractSocket::SocketTimeoutError:
        emit connectState(QFtp::Unconnected);
        emit error(QFtp::ConnectionRefused,
            QCoreApplication::translate("QFtp", "Connection timed out to host %1").arg(hostName));
        break;
    default:
        // A connection that was up reports its loss through
        // connectionClosed(). One that never came up (network unreachable,
        // permission denied...) emits no disconnected(): it fails here, or
        // the connect would wait for ever.
        if (wasConnecting && commandSocket.state() == QAbstractSocket::UnconnectedState) {
            emit connectState(QFtp::Unconnected);
            emit error(QFtp::ConnectionRefused,
                QCoreApplication::translate("QFtp", "Connection to host %1 failed: %2")
                    .arg(hostName, commandSocket.errorString()));
        } else {
            connecting = wasConnecting;
        }
        break;
    }
}

// Ends the line being composed as a failure of its command: the rest of the
// list cannot run without it, and no reply is due.
void QFtpPI::failCommand(int code, const QString &text)
{
    pendingCommands.clear();
    currentLine = QString();
    state = Idle;
    emit error(code, text);
}

// Whether the control connection runs over IPv4 (also an IPv4 address
// mapped into IPv6).
bool QFtpPI::overIPv4() const
{
    bool isIPv4 = false;
    commandSocket.localAddress().toIPv4Address(&isIPv4);
    return isIPv4;
}

bool QFtpPI::sendNextCommand()
{
    if (waitingForDataConnect || repliesToSkip > 0)
        return true;
    if (pendingCommands.isEmpty()) {
        currentLine = QString();
        emit finished(replyText);
        return false;
    }
    currentLine = pendingCommands.first();
    QHostAddress address = commandSocket.localAddress();
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        address = QHostAddress(ipv4); // also an IPv4 address mapped into IPv6
    const bool isIPv6 = !isIPv4 && address.protocol() == QAbstractSocket::IPv6Protocol;

    if (currentLine.startsWith(QLatin1String("PORT"))) {
        if (!isIPv4 && !(isIPv6 && extendedTransfer)) {
            failCommand(QFtp::UnknownError,
                QCoreApplication::translate("QFtp",
                    "Active mode is not available for the local "
                    "address %1")
                    .arg(address.toString()));
            return false;
        }
        const int port = dtp.startListening(address);
        if (port < 0) {
            failCommand(QFtp::UnknownError,
                QCoreApplication::translate("QFtp", "Cannot listen for the data connection"));
            return false;
        }
        if (isIPv6) {
            QHostAddress plain = address;
            plain.setScopeId(QString());
            currentLine = QStringLiteral("EPRT |2|%1|%2|").arg(plain.toString()).arg(port);
        } else {
            currentLine = QStringLiteral("PORT %1,%2,%3,%4,%5,%6")
                              .arg(ipv4 >> 24)
                              .arg((ipv4 >> 16) & 0xff)
                              .arg((ipv4 >> 8) & 0xff)
                              .arg(ipv4 & 0xff)
                              .arg((port >> 8) & 0xff)
                              .arg(port & 0xff);
        }
        currentLine += QLatin1String("\r\n");
    } else if (currentLine.startsWith(QLatin1String("PASV"))
        && ((isIPv6 && extendedTransfer) || (isIPv4 && passiveChoice == PassiveEpsv))) {
        currentLine = QStringLiteral("EPSV\r\n");
    }
    pendingCommands.removeFirst();
    if (currentLine.startsWith(QLatin1String("TYPE ")))
        binaryType = currentLine.startsWith(QLatin1String("TYPE I"));
    state = Waiting;
    commandSocket.write(currentLine.toLatin1());
    ++generation;
    watch();
    return true;
}

void QFtpPI::readyRead()
{
    if (commandSocket.bytesAvailable() > 0)
        watch();
    while (!waitingForDataClose && commandSocket.state() == QAbstractSocket::ConnectedState) {
        const QFtpReplyReader::Status status = reader.next();
        if (status == QFtpReplyReader::TooLong) {
            dropConnection(
                QFtp::UnknownError, QCoreApplication::translate("QFtp", "Server reply too long"));
            return;
        }
        if (status == QFtpReplyReader::NeedMore) {
            if (commandSocket.bytesAvailable() <= 0)
                return;
            reader.feed(commandSocket.read(readChunk));
            continue;
        }
        replyCode = reader.code();
        replyText = reader.text();
        bool done;
        {
            HandlingReply marker(handlingReply);
            done = handleReply();
        }
        if (!done)
            return; // held until the data connection closes
        replyText.clear();
    }
}

// The port a 227 ("h1,h2,h3,h4,p1,p2") or 229 ("(|||port|)") reply names;
// 0 when it names none. A number out of range makes the reply malformed:
// reducing it would connect to a port the server never named.
quint16 QFtpPI::passivePort(int code, const QString &text)
{
    if (code == 227) {
        static const QRegularExpression numbers(
            QStringLiteral("(\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)"));
        const QRegularExpressionMatch match = numbers.match(text);
        if (!match.hasMatch())
            return 0;
        uint value[6];
        for (int i = 0; i < 6; ++i) {
            bool ok = false;
            value[i] = match.captured(i + 1).toUInt(&ok);
            if (!ok || value[i] > 255)
                return 0;
        }
        return quint16(value[4] * 256 + value[5]);
    }
    if (code == 229) {
        const int open = text.indexOf(QLatin1Char('('));
        if (open < 0 || open + 1 >= text.size())
            return 0;
        const QChar delimiter = text.at(open + 1);
        const QStringList parts = text.mid(open + 1).split(delimiter, Qt::KeepEmptyParts);
        bool ok = false;
        const uint port = parts.size() >= 4 ? parts.at(3).toUInt(&ok) : 0;
        return ok && port <= 65535 ? quint16(port) : 0;
    }
    return 0;
}

bool QFtpPI::handleReply()
{
    const int code = replyCode;
    const int first = code / 100;
    // Handlers of the signals below may run a local event loop, in which
    // further lines are sent and their replies handled; this reply's own
    // actions then stop, as the state machine has moved on.
    const quint64 mine = ++generation;

    const bool preliminary = first == 1;
    const bool completion
        = code == 226 || (code == 250 && currentLine.startsWith(QLatin1String("RETR")));
    // In active mode the server's data connection may still wait in the
    // listener's backlog when its replies are read: take it first, so that
    // its data is read and a completion is held until it has closed. A
    // server connects before it answers, so nothing that is not there yet
    // is still to come.
    if (preliminary || completion)
        dtp.acceptPendingConnection();
    if (completion && dtp.connectionState() != QAbstractSocket::UnconnectedState) {
        waitingForDataClose = true;
        return false;
    }

    if (repliesToSkip > 0) {
        if (!preliminary)
            --repliesToSkip;
        if (repliesToSkip == 0 && state == Idle && !pendingCommands.isEmpty())
            sendNextCommand();
        return true;
    }

    bool abortedLine = false;
    if (abortState == AbortSent) {
        if (!preliminary) {
            if (abortLineOutstanding) {
                // The aborted line's own answer: it ends the command as a
                // failure, whatever it says.
                abortState = AbortFinishing;
                abortedLine = true;
            } else {
                abortState = NotAborting;
                return true;
            }
        }
    } else if (abortState == AbortFinishing) {
        // ABOR's reply.
        if (!preliminary)
            abortState = NotAborting;
        return true;
    }

    switch (state) {
    case Begin:
        if (first == 1)
            return true; // "ready in a moment"; the greeting follows
        if (first != 2) {
            // 421 and its like: the server will not serve this session
            // (too many users, shutting down). Said plainly, so that the
            // caller can tell a busy server from one that is gone.
            dropConnection(QFtp::ConnectionRefused,
                QCoreApplication::translate("QFtp", "Connection refused by host %1: %2 %3")
                    .arg(hostName)
                    .arg(code)
                    .arg(replyText));
            return true;
        }
        state = Idle;
        emit finished(QCoreApplication::translate("QFtp", "Connected to host %1").arg(hostName));
        if (generation != mine)
            return true;
        break;
    case Waiting:
        if (first < 1 || first > 5 || code == 202) {
            state = Failure;
        } else {
            static const State byFirstDigit[6]
                = {Failure, Waiting, Success, Idle, Failure, Failure};
            state = byFirstDigit[first];
        }
        break;
    default:
        // Nothing was asked for.
        return true;
    }

    emit rawFtpReply(code, replyText);
    if (generation != mine)
        return true;

    const bool passiveLine = currentLine.startsWith(QLatin1String("PASV"))
        || currentLine.startsWith(QLatin1String("EPSV"));
    const bool quitAnswered = !preliminary && currentLine == QLatin1String("QUIT\r\n");
    const bool ownLine = !rawCommand && !abortedLine;
    if (abortedLine) {
        rawCommand = false;
        if (state != Failure) {
            state = Failure;
            replyText = QCoreApplication::translate("QFtp", "Aborted");
        }
    } else if (rawCommand) {
        rawCommand = false;
    } else if (passiveLine && first == 2) {
        // Only the port is taken from the reply; the data connection goes
        // to the server of the control connection, whatever address the
        // reply names (which may be private, 0.0.0.0 or someone else's).
        const quint16 port = passivePort(code, replyText);
        if (!port) {
            failCommand(QFtp::UnknownError,
                QCoreApplication::translate("QFtp", "No usable port in the passive mode reply: %1")
                    .arg(replyText));
            return true;
        }
        if (overIPv4())
            passiveChoice = code == 229 ? PassiveEpsv : PassivePasv;
        waitingForDataConnect = true;
        dtp.openDataConnection(commandSocket.peerAddress().toString(), port);
    } else if (code == 230) {
        if (currentLine.startsWith(QLatin1String("USER ")) && !pendingCommands.isEmpty()
            && pendingCommands.first().startsWith(QLatin1String("PASS "))) {
            pendingCommands.removeFirst();
        }
        emit connectState(QFtp::LoggedIn);
        if (generation != mine)
            return true;
    } else if (code == 213) {
        if (currentLine.startsWith(QLatin1String("SIZE "))) {
            bool ok = false;
            const qint64 size = replyText.simplified().toLongLong(&ok);
            announcedSize = ok && size >= 0 ? size : -1;
            dtp.setBytesTotal(size);
        }
    } else if (first == 2 && currentLine.startsWith(QLatin1String("RETR ")) && binaryType
        && announcedSize >= 0 && dtp.bytesReceived() != announcedSize - restartOffset) {
        // A download cut short (or overlong) is not a success, whatever the
        // server says; in ASCII mode line ends may change the count.
        state = Failure;
        replyText = QCoreApplication::translate(
            "QFtp", "Received %1 bytes of the %2 the server announced")
                        .arg(dtp.bytesReceived())
                        .arg(announcedSize - restartOffset);
    } else if (code == 350 && currentLine.startsWith(QLatin1String("REST "))) {
        restartOffset = qMax<qint64>(0, currentLine.mid(5).trimmed().toLongLong());
    } else if (preliminary && currentLine.startsWith(QLatin1String("STOR "))) {
        dtp.acceptPendingConnection();
        dtp.sendNextBlock();
    }

    // The handlers of the signals above may have sent the next list already.
    switch (state) {
    case Success:
        state = Idle;
        Q_FALLTHROUGH();
    case Idle:
        if (dtp.hasErrorText()) {
            const QString text = dtp.errorText();
            dtp.clearErrorText();
            emit error(QFtp::UnknownError, text);
            if (state == Waiting || generation != mine)
                break;
        }
        sendNextCommand();
        break;
    case Failure:
        if (abortedLine) {
            emit error(QFtp::UnknownError, replyText);
        } else if (ownLine && currentLine.startsWith(QLatin1String("PASV"))
            && (code == 500 || code == 502) && passiveChoice == PassiveUntried && overIPv4()) {
            // A server may know only the extended command, also over IPv4.
            passiveChoice = PassiveEpsvTrial;
            pendingCommands.prepend(QStringLiteral("EPSV\r\n"));
        } else if (currentLine.startsWith(QLatin1String("EPSV"))
            && passiveChoice == PassiveEpsvTrial) {
            // Neither is taken: the command fails, and later ones send PASV.
            passiveChoice = PassivePasv;
            emit error(QFtp::UnknownError, replyText);
        } else if (currentLine.startsWith(QLatin1String("EPSV"))) {
            extendedTransfer = false;
            if (passiveChoice == PassiveEpsv)
                passiveChoice = PassivePasv;
            pendingCommands.prepend(QStringLiteral("PASV\r\n"));
        } else if (currentLine.startsWith(QLatin1String("EPRT"))) {
            extendedTransfer = false;
            pendingCommands.prepend(QStringLiteral("PORT\r\n"));
        } else {
            emit error(QFtp::UnknownError, replyText);
        }
        if (state != Waiting && generation == mine) {
            state = Idle;
            sendNextCommand();
        }
        break;
    case Waiting:
    case Begin:
        break;
    }
    // QUIT has been answered: the session is over, whether or not the
    // server closes its end, so a close never waits on a server that lingers.
    if (quitAnswered && commandSocket.state() == QAbstractSocket::ConnectedState)
        commandSocket.disconnectFromHost();
    return true;
}

void QFtpPI::dtpConnectState(int s)
{
    watch();
    switch (s) {
    case QFtpDTP::DataClosed:
        if (waitingForDataClose) {
            waitingForDataClose = false;
            bool done;
            {
                HandlingReply marker(handlingReply);
                done = handleReply();
            }
            if (!done)
                return;
            replyText.clear();
        }
        // Replies that came in meanwhile. A data-connection event raised by
        // a reply handler (one that drops the transfer) leaves them to the
        // reading loop, which goes on once the handler has returned.
        if (handlingReply > 0)
            QMetaObject::invokeMethod(this, "readyRead", Qt::QueuedConnection);
        else
            readyRead();
        break;
    case QFtpDTP::DataConnected:
        waitingForDataConnect = false;
        if (state == Idle)
            sendNextCommand();
        break;
    case QFtpDTP::DataHostNotFound:
    case QFtpDTP::DataConnectionRefused:
    case QFtpDTP::DataConnectionFailed:
        // The transfer line must not go out without its data connection.
        if (!waitingForDataConnect)
            break;
        waitingForDataConnect = false;
        failCommand(QFtp::ConnectionRefused,
            s == QFtpDTP::DataConnectionFailed
                ? QCoreApplication::translate("QFtp", "Data connection failed: %1")
                      .arg(dtp.connectionErrorString())
                : QCoreApplication::translate("QFtp", "Connection refused for data connection"));
        break;
    default:
        break;
    }
}
