#include "qftp.h"
#include "qftp_p.h"

#include <QAtomicInt>
#include <QDebug>
#include <QIODevice>
#include <QRegularExpression>
#include <QTimer>

// ---------------------------------------------------------------------------
// QFtpCommand

int QFtpCommand::nextId()
{
    // Shared by every QFtp of the process, so that an id names one command only.
    static QAtomicInt counter(1);
    return counter.fetchAndAddRelaxed(1);
}

QFtpCommand::QFtpCommand(QFtp::Command cmd, const QStringList &raw, const QByteArray &ba)
    : id(nextId())
    , command(cmd)
    , rawCommands(raw)
    , dataIsByteArray(true)
{
    data.ba = new QByteArray(ba);
}

QFtpCommand::QFtpCommand(QFtp::Command cmd, const QStringList &raw, QIODevice *dev)
    : id(nextId())
    , command(cmd)
    , rawCommands(raw)
    , dataIsByteArray(false)
{
    data.dev = dev;
}

QFtpCommand::~QFtpCommand()
{
    if (dataIsByteArray)
        delete data.ba;
}

// ---------------------------------------------------------------------------
// QFtpPrivate

namespace {

// Kinds that run without a line on the control connection.
bool isLocal(QFtp::Command command)
{
    return command == QFtp::SetTransferMode || command == QFtp::SetProxy;
}

QString failureText(QFtp::Command command, const QString &text)
{
    const char *format = nullptr;
    switch (command) {
    case QFtp::ConnectToHost:
        format = "Connecting to host failed:\n%1";
        break;
    case QFtp::Login:
        format = "Login failed:\n%1";
        break;
    case QFtp::List:
        format = "Listing directory failed:\n%1";
        break;
    case QFtp::Cd:
        format = "Changing directory failed:\n%1";
        break;
    case QFtp::Get:
        format = "Downloading file failed:\n%1";
        break;
    case QFtp::Put:
        format = "Uploading file failed:\n%1";
        break;
    case QFtp::Remove:
        format = "Removing file failed:\n%1";
        break;
    case QFtp::Mkdir:
        format = "Creating directory failed:\n%1";
        break;
    case QFtp::Rmdir:
        format = "Removing directory failed:\n%1";
        break;
    default:
        return text;
    }
    return QString::fromLatin1(format).arg(text);
}

} // namespace

QFtpPrivate::QFtpPrivate(QFtp *owner)
    : pi(nullptr)
    , q(owner)
{
}

QFtpPrivate::~QFtpPrivate()
{
    while (!pending.isEmpty())
        delete pending.takeFirst();
}

namespace {

// Why a command line cannot go out as written, or a null string. A CR, LF
// or NUL in an argument would end the line early and send the rest as a
// command of its own; a character outside Latin-1 would go out as "?",
// which servers take for a wildcard.
QString unsendable(const QString &line)
{
    const int end = line.endsWith(QLatin1String("\r\n")) ? line.size() - 2 : line.size();
    for (int i = 0; i < end; ++i) {
        const ushort c = line.at(i).unicode();
        if (c == '\r' || c == '\n' || c == 0 || c > 0xff) {
            const QString which = c == '\r' ? QStringLiteral("CR")
                : c == '\n'                 ? QStringLiteral("LF")
                : c == 0                    ? QStringLiteral("NUL")
                         : QStringLiteral("U+%1").arg(c, 4, 16, QLatin1Char('0'));
            return QFtp::tr("Argument holds a character that cannot be sent: %1").arg(which);
        }
    }
    return QString();
}

} // namespace

int QFtpPrivate::addCommand(QFtpCommand *cmd)
{
    if (cmd->command != QFtp::ConnectToHost && cmd->command != QFtp::SetProxy) {
        for (const QString &line : qAsConst(cmd->rawCommands)) {
            cmd->invalidArgument = unsendable(line);
            if (!cmd->invalidArgument.isEmpty())
                break;
        }
    }
    pending.append(cmd);
    if (pending.size() == 1) {
        // Started from the event loop, so that the caller has the id before
        // any signal names it. The timer dies with the QFtp.
        QTimer::singleShot(0, q, SLOT(_q_startNextCommand()));
    }
    return cmd->id;
}

void QFtpPrivate::_q_startNextCommand()
{
    if (pending.isEmpty())
        return;
    QFtpCommand *cmd = pending.first();
    // A second start (a timer left over from an earlier empty queue) would
    // hand the same lines over twice.
    if (cmd->started)
        return;
    cmd->started = true;

    error = QFtp::NoError;
    errorString = QStringLiteral("Unknown error");

    // No command may see bytes left over from an earlier download.
    if (pi.dtp.bytesAvailable())
        pi.dtp.readAll();

    emit q->commandStarted(cmd->id);
    if (pending.isEmpty() || pending.first() != cmd || cmd->ended)
        return;
    if (cmd->aborted) {
        // Aborted before it started: nothing of it is sent.
        failHead(cmd, QFtp::UnknownError, QFtp::tr("Aborted"));
        return;
    }
    if (!cmd->invalidArgument.isEmpty()) {
        failHead(cmd, QFtp::UnknownError, cmd->invalidArgument);
        return;
    }

    if (cmd->command == QFtp::Login && !proxyHost.isEmpty() && !cmd->rawCommands.isEmpty()) {
        QString user = cmd->rawCommands.first().trimmed() + QLatin1Char('@') + host;
        if (port != 21 && port != 0)
            user += QLatin1Char(':') + QString::number(port);
        cmd->rawCommands[0] = user + QLatin1String("\r\n");
    }

    switch (cmd->command) {
    case QFtp::SetTransferMode:
        finishHead(cmd);
        return;
    case QFtp::SetProxy:
        proxyHost = cmd->rawCommands.value(0);
        proxyPort = quint16(cmd->rawCommands.value(1).toUInt());
        finishHead(cmd);
        return;
    case QFtp::ConnectToHost: {
        pi.setProperty("_q_networksession", q->property("_q_networksession"));
        const QString target = cmd->rawCommands.value(0);
        const quint16 targetPort = quint16(cmd->rawCommands.value(1).toUInt());
        if (!proxyHost.isEmpty()) {
            host = target;
            port = targetPort;
            pi.connectToHost(proxyHost, proxyPort);
        } else {
            pi.connectToHost(target, targetPort);
        }
        return;
    }
    case QFtp::Close:
        state = QFtp::Closing;
        emit q->stateChanged(QFtp::Closing);
        if (pending.isEmpty() || pending.first() != cmd || cmd->ended)
            return;
        break;
    case QFtp::Get:
        // Without a device the bytes wait for read() and readAll(); a device
        // of an earlier download must not receive them.
        pi.dtp.setDevice(cmd->device());
        restartOffset = cmd->restartOffset;
        break;
    case QFtp::Put:
        if (!startPut(cmd))
            return;
        break;
    default:
        break;
    }
    sendLines(cmd);
}

bool QFtpPrivate::startPut(QFtpCommand *cmd)
{
    if (QByteArray *ba = cmd->byteArray()) {
        pi.dtp.setData(ba);
        pi.dtp.setBytesTotal(ba->size());
        return true;
    }
    QIODevice *dev = cmd->device();
    if (!dev || (!dev->isOpen() && !dev->open(QIODevice::ReadOnly))) {
        // Sending STOR without a source would leave the server waiting for
        // data that never comes; fail the upload instead.
        QString why = dev ? dev->errorString() : QString();
        if (why.isEmpty() || why == QLatin1String("Unknown error"))
            why = QStringLiteral("Cannot open the device for reading");
        pi.dtp.setDevice(nullptr);
        failHead(cmd, QFtp::UnknownError, why);
        return false;
    }
    pi.dtp.setDevice(dev);
    if (dev->isSequential()) {
        pi.dtp.setBytesTotal(0);
        uploadDevice = dev;
        QObject::connect(dev, SIGNAL(readyRead()), &pi.dtp, SLOT(dataReadyRead()));
        QObject::connect(dev, SIGNAL(readChannelFinished()), &pi.dtp, SLOT(dataReadyRead()));
    } else {
        pi.dtp.setBytesTotal(dev->size());
    }
    return true;
}

void QFtpPrivate::releaseUploadDevice()
{
    if (uploadDevice)
        QObject::disconnect(uploadDevice, nullptr, &pi.dtp, nullptr);
    uploadDevice = nullptr;
}

void QFtpPrivate::sendLines(QFtpCommand *cmd)
{
    // The interpreter may fail the command from inside sendCommands, which
    // deletes the record: hand over a copy and do not touch cmd afterwards.
    const QStringList lines = cmd->rawCommands;
    if (!pi.sendCommands(lines)) {
        // Lines of a list whose command has already ended are still pending
        // in the interpreter; they belong to nobody, so drop them.
        pi.clearPendingCommands();
        pi.sendCommands(lines);
    }
}

void QFtpPrivate::finishHead(QFtpCommand *cmd)
{
    cmd->ended = true;
    emit q->commandFinished(cmd->id, false);
    removeHead(cmd, false);
}

void QFtpPrivate::failHead(QFtpCommand *cmd, int code, const QString &text)
{
    cmd->ended = true;
    error = QFtp::Error(code);
    errorString = failureText(cmd->command, text);
    // The one trace of a failed command, whatever made it give up.
    qDebug() << "FTP command" << cmd->id << "failed:" << errorString;
    pi.clearPendingCommands();
    q->clearPendingCommands();
    emit q->commandFinished(cmd->id, true);
    removeHead(cmd, true);
}

void QFtpPrivate::removeHead(QFtpCommand *cmd, bool failed)
{
    pending.removeOne(cmd);
    if (cmd->command == QFtp::Put)
        releaseUploadDevice();
    delete cmd;
    if (pending.isEmpty())
        emit q->done(failed);
    else
        _q_startNextCommand();
}

void QFtpPrivate::_q_piFinished(const QString &)
{
    if (pending.isEmpty())
        return;
    QFtpCommand *cmd = pending.first();
    // A report that belongs to no running command: the tail of a list that
    // has already ended (the interpreter's idle step after a failure or after
    // the greeting), or one arriving while the head waits for its start.
    if (!cmd->started || cmd->ended || isLocal(cmd->command))
        return;
    if (cmd->command == QFtp::ConnectToHost && !cmd->connected)
        return;
    if (cmd->command == QFtp::Close && state != QFtp::Unconnected) {
        closeWaitForStateChange = true;
        return;
    }
    if (cmd->aborted) {
        failHead(cmd, QFtp::UnknownError, QFtp::tr("Aborted"));
        return;
    }
    finishHead(cmd);
}

void QFtpPrivate::_q_piError(int code, const QString &text)
{
    if (pending.isEmpty() || !pending.first()->started) {
        qDebug() << "QFtpPrivate::_q_piError was called without pending command!";
        return;
    }
    QFtpCommand *cmd = pending.first();
    if (cmd->ended)
        return;
    const QString line = pi.currentCommand();
    if (cmd->aborted) {
        failHead(cmd, code, text);
        return;
    }
    if (cmd->command == QFtp::Get && line.startsWith(QLatin1String("SIZE "))) {
        // The size is only unknown; the download goes on.
        pi.dtp.setBytesTotal(0);
        return;
    }
    if (cmd->command == QFtp::Put && line.startsWith(QLatin1String("ALLO ")))
        return;
    if (cmd->command == QFtp::Get && line.startsWith(QLatin1String("REST "))) {
        restartRefused(cmd);
        return;
    }
    if (cmd->command == QFtp::Close && code == QFtp::NotConnected) {
        // Nothing to close: the close still fails, but the client ends
        // unconnected as after any close, not in Closing for good.
        pi.closeConnection();
        state = QFtp::Unconnected;
        emit q->stateChanged(QFtp::Unconnected);
        if (pending.isEmpty() || pending.first() != cmd || cmd->ended)
            return;
    }
    failHead(cmd, code, text);
}

void QFtpPrivate::_q_piConnectState(int s)
{
    state = QFtp::State(s);
    if (!pending.isEmpty()) {
        QFtpCommand *head = pending.first();
        if (s == QFtp::Connected && head->command == QFtp::ConnectToHost && head->started)
            head->connected = true;
    }
    emit q->stateChanged(s);

    if (closeWaitForStateChange) {
        closeWaitForStateChange = false;
        _q_piFinished(QStringLiteral("Connection closed"));
        return;
    }
    if (s != QFtp::Unconnected || pending.isEmpty())
        return;
    QFtpCommand *head = pending.first();
    if (!head->started || head->ended || isLocal(head->command))
        return;
    if (head->command == QFtp::Close) {
        // The server closed without answering QUIT: the close is done all the same.
        if (head->aborted)
            failHead(head, QFtp::UnknownError, QFtp::tr("Aborted"));
        else
            finishHead(head);
        return;
    }
    if (head->command == QFtp::ConnectToHost && !head->connected)
        return; // a failed attempt is reported by the error that follows
    // The interpreter reports a lost connection with an error right after
    // this; should none come, the command must not wait for a server that
    // has gone.
    const int id = head->id;
    QTimer::singleShot(0, q, [this, id] { checkConnectionLost(id); });
}

void QFtpPrivate::checkConnectionLost(int id)
{
    if (pending.isEmpty() || state != QFtp::Unconnected)
        return;
    QFtpCommand *head = pending.first();
    if (head->id != id || !head->started || head->ended)
        return;
    failHead(head, QFtp::NotConnected, QFtp::tr("Connection closed"));
}

void QFtpPrivate::restartRefused(QFtpCommand *cmd)
{
    // The interpreter goes on with RETR, which now sends the whole file:
    // its first byte must land at the start of the device, not at the end
    // of what the caller already has.
    restartOffset = 0;
    QIODevice *dev = cmd->device();
    if (dev && !dev->isSequential())
        dev->seek(0);
    emit q->restartRefused(cmd->id);
}

void QFtpPrivate::_q_piFtpReply(int code, const QString &text)
{
    if (pending.isEmpty())
        return;
    QFtpCommand *head = pending.first();
    if (code == 213 && head->started && !head->ended) {
        const QString answer = text.trimmed();
        if (head->command == QFtp::Size && pi.currentCommand().startsWith(QLatin1String("SIZE "))) {
            bool ok = false;
            const qint64 size = answer.toLongLong(&ok);
            remoteSize = ok && size >= 0 ? size : -1;
        } else if (head->command == QFtp::ModificationTime) {
            // "YYYYMMDDhhmmss", perhaps with fractions of a second, in UTC.
            static const QRegularExpression stamp(QStringLiteral("^(\\d{14})(\\.\\d+)?$"));
            const QRegularExpressionMatch match = stamp.match(answer);
            QDateTime time;
            if (match.hasMatch()) {
                time = QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMddHHmmss"));
                time.setTimeSpec(Qt::UTC);
            }
            remoteModificationTime = time;
        }
    }
    if (head->command != QFtp::RawCommand || !head->started || head->ended)
        return;
    pi.rawCommand = true;
    emit q->rawCommandReply(code, text);
}

// ---------------------------------------------------------------------------
// QFtp

QFtp::QFtp(QObject *parent)
    : QObject(parent)
    , d(new QFtpPrivate(this))
{
    d->errorString = tr("Unknown error");

    connect(&d->pi, SIGNAL(connectState(int)), this, SLOT(_q_piConnectState(int)));
    connect(&d->pi, SIGNAL(finished(QString)), this, SLOT(_q_piFinished(QString)));
    connect(&d->pi, SIGNAL(error(int, QString)), this, SLOT(_q_piError(int, QString)));
    connect(&d->pi, SIGNAL(rawFtpReply(int, QString)), this, SLOT(_q_piFtpReply(int, QString)));

    connect(&d->pi.dtp, SIGNAL(readyRead()), this, SIGNAL(readyRead()));
    // A download from an offset counts the bytes before it as done.
    connect(&d->pi.dtp, &QFtpDTP::dataTransferProgress, this, [this](qint64 done, qint64 total) {
        const QFtpCommand *head = d->pending.isEmpty() ? nullptr : d->pending.first();
        const qint64 offset = head && head->command == Get ? d->restartOffset : 0;
        emit dataTransferProgress(done + offset, total);
    });
    connect(&d->pi.dtp, SIGNAL(listInfo(QUrlInfo)), this, SIGNAL(listInfo(QUrlInfo)));
}

QFtp::~QFtp()
{
    // The abort below may end the running command at once; a caller must
    // not hear from an object that is going away.
    blockSignals(true);
    abort();
    close();
    // The interpreter's sockets may still report while they are torn down;
    // nothing of that may reach a QFtp that is going away.
    QObject::disconnect(&d->pi, nullptr, this, nullptr);
    QObject::disconnect(&d->pi.dtp, nullptr, this, nullptr);
    delete d;
    d = nullptr;
}

int QFtp::setProxy(const QString &host, quint16 port)
{
    const QStringList args {host, QString::number(port)};
    return d->addCommand(new QFtpCommand(SetProxy, args));
}

int QFtp::connectToHost(const QString &host, quint16 port)
{
    const QStringList args {host, QString::number(port)};
    const int id = d->addCommand(new QFtpCommand(ConnectToHost, args));
    d->pi.extendedTransfer = true;
    return id;
}

int QFtp::login(const QString &user, const QString &password)
{
    const QString u = user.isNull() ? QStringLiteral("anonymous") : user;
    const QString p = password.isNull() ? QStringLiteral("anonymous@") : password;
    const QStringList lines {QLatin1String("USER ") + u + QLatin1String("\r\n"),
        QLatin1String("PASS ") + p + QLatin1String("\r\n")};
    return d->addCommand(new QFtpCommand(Login, lines));
}

int QFtp::close()
{
    return d->addCommand(new QFtpCommand(Close, QStringList(QStringLiteral("QUIT\r\n"))));
}

int QFtp::setTransferMode(TransferMode mode)
{
    const int id = d->addCommand(new QFtpCommand(SetTransferMode, QStringList()));
    d->pi.extendedTransfer = true;
    d->transferMode = mode;
    return id;
}

namespace {

QString typeLine(QFtp::TransferType type)
{
    return type == QFtp::Binary ? QStringLiteral("TYPE I\r\n") : QStringLiteral("TYPE A\r\n");
}

QString dataLine(QFtp::TransferMode mode)
{
    return mode == QFtp::Passive ? QStringLiteral("PASV\r\n") : QStringLiteral("PORT\r\n");
}

QString line(const char *verb, const QString &argument)
{
    return QLatin1String(verb) + argument + QLatin1String("\r\n");
}

} // namespace

int QFtp::list(const QString &dir)
{
    const QStringList lines {QStringLiteral("TYPE A\r\n"), dataLine(d->transferMode),
        dir.isEmpty() ? QStringLiteral("LIST\r\n") : line("LIST ", dir)};
    return d->addCommand(new QFtpCommand(List, lines));
}

int QFtp::cd(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Cd, QStringList(line("CWD ", dir))));
}

int QFtp::get(const QString &file, QIODevice *dev, TransferType type)
{
    const QStringList lines {
        typeLine(type), line("SIZE ", file), dataLine(d->transferMode), line("RETR ", file)};
    return d->addCommand(new QFtpCommand(Get, lines, dev));
}

int QFtp::get(const QString &file, QIODevice *dev, TransferType type, qint64 offset)
{
    if (offset <= 0)
        return get(file, dev, type);
    // REST right before RETR: servers forget the offset at any other command.
    const QStringList lines {typeLine(type), line("SIZE ", file), dataLine(d->transferMode),
        line("REST ", QString::number(offset)), line("RETR ", file)};
    auto *cmd = new QFtpCommand(Get, lines, dev);
    cmd->restartOffset = offset;
    return d->addCommand(cmd);
}

int QFtp::size(const QString &file)
{
    const QStringList lines {typeLine(Binary), line("SIZE ", file)};
    return d->addCommand(new QFtpCommand(Size, lines));
}

int QFtp::modificationTime(const QString &file)
{
    return d->addCommand(new QFtpCommand(ModificationTime, QStringList(line("MDTM ", file))));
}

int QFtp::put(const QByteArray &data, const QString &file, TransferType type)
{
    const QStringList lines {typeLine(type), dataLine(d->transferMode),
        line("ALLO ", QString::number(data.size())), line("STOR ", file)};
    return d->addCommand(new QFtpCommand(Put, lines, data));
}

int QFtp::put(QIODevice *dev, const QString &file, TransferType type)
{
    QStringList lines {typeLine(type), dataLine(d->transferMode)};
    if (dev && !dev->isSequential())
        lines << line("ALLO ", QString::number(dev->size()));
    lines << line("STOR ", file);
    return d->addCommand(new QFtpCommand(Put, lines, dev));
}

int QFtp::remove(const QString &file)
{
    return d->addCommand(new QFtpCommand(Remove, QStringList(line("DELE ", file))));
}

int QFtp::mkdir(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Mkdir, QStringList(line("MKD ", dir))));
}

int QFtp::rmdir(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Rmdir, QStringList(line("RMD ", dir))));
}

int QFtp::rename(const QString &oldname, const QString &newname)
{
    const QStringList lines {line("RNFR ", oldname), line("RNTO ", newname)};
    return d->addCommand(new QFtpCommand(Rename, lines));
}

int QFtp::rawCommand(const QString &command)
{
    return d->addCommand(
        new QFtpCommand(RawCommand, QStringList(command.trimmed() + QLatin1String("\r\n"))));
}

qint64 QFtp::bytesAvailable() const
{
    return d->pi.dtp.bytesAvailable();
}

qint64 QFtp::read(char *data, qint64 maxlen)
{
    return d->pi.dtp.read(data, maxlen);
}

QByteArray QFtp::readAll()
{
    return d->pi.dtp.readAll();
}

int QFtp::currentId() const
{
    return d->pending.isEmpty() ? 0 : d->pending.first()->id;
}

QIODevice *QFtp::currentDevice() const
{
    return d->pending.isEmpty() ? nullptr : d->pending.first()->device();
}

QFtp::Command QFtp::currentCommand() const
{
    return d->pending.isEmpty() ? None : d->pending.first()->command;
}

bool QFtp::hasPendingCommands() const
{
    return d->pending.size() > 1;
}

void QFtp::clearPendingCommands()
{
    while (d->pending.size() > 1)
        delete d->pending.takeLast();
}

QFtp::State QFtp::state() const
{
    return d->state;
}

void QFtp::setTimeout(int msecs)
{
    d->pi.setTimeout(msecs);
}

int QFtp::timeout() const
{
    return d->pi.timeout();
}

qint64 QFtp::remoteSize() const
{
    return d->remoteSize;
}

QDateTime QFtp::remoteModificationTime() const
{
    return d->remoteModificationTime;
}

QFtp::Error QFtp::error() const
{
    return d->error;
}

QString QFtp::errorString() const
{
    return d->errorString;
}

void QFtp::abort()
{
    if (d->pending.isEmpty())
        return;
    clearPendingCommands();
    QFtpCommand *head = d->pending.first();
    if (head->ended || head->aborted)
        return;
    head->aborted = true;
    // A command that has not started fails as it starts; a local one has
    // nothing to stop.
    if (!head->started || isLocal(head->command))
        return;
    if (head->command == ConnectToHost || head->command == Close || d->closeWaitForStateChange) {
        // Connecting or closing: no ABOR can be sent, so the connection goes.
        d->closeWaitForStateChange = false;
        d->pi.closeConnection();
        d->state = Unconnected;
        emit stateChanged(Unconnected);
        if (!d->pending.isEmpty() && d->pending.first() == head && !head->ended)
            d->failHead(head, UnknownError, tr("Aborted"));
        return;
    }
    // ABOR for a line on the wire; otherwise the interpreter ends the
    // command at once. Either way it ends as a failure.
    d->pi.abort();
}

#include "moc_qftp.cpp"
