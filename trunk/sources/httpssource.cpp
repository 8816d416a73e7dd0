#include "httpssource.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslConfiguration>

namespace {

QList<QSslCertificate> &testAuthorities()
{
    static QList<QSslCertificate> certificates;
    return certificates;
}

// A reply holds at most this much before the body is written out: memory
// stays flat whatever the file's size.
const qint64 replyBufferSize = 256 * 1024;

} // namespace

HttpsSource::HttpsSource(const QUrl &folder, QObject *parent)
    : ReleaseSource(parent)
    , folder(folder)
{
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [this] {
        if (!reply)
            return;
        timedOut = true;
        reply->abort();
    });
}

HttpsSource::~HttpsSource()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
    }
}

void HttpsSource::addCaCertificatesForTesting(const QList<QSslCertificate> &certificates)
{
    testAuthorities() += certificates;
}

void HttpsSource::startAttempt()
{
    headersChecked = false;
    timedOut = false;
    hops = 0;
    total = -1;
    if (folder.scheme() != QLatin1String("https")) {
        end(Failed, QStringLiteral("not an https address: %1").arg(folder.toString()));
        return;
    }
    if (offset() > 0 && recordedIdentity().section(QLatin1Char(' '), 1).isEmpty())
        startOver();
    request(folder.resolved(QUrl(fileName())));
    if (timeout() > 0)
        watchdog.start(timeout());
}

void HttpsSource::request(const QUrl &url)
{
    QNetworkRequest request(url);
    // Every hop is judged here before it is asked for: the network access
    // manager's own following is not used.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    if (!testAuthorities().isEmpty())
        ssl.setCaCertificates(ssl.caCertificates() + testAuthorities());
    request.setSslConfiguration(ssl);
    // Bytes exactly as stored: a compressed body would not match the offsets.
    request.setRawHeader("Accept-Encoding", "identity");
    const QString validator = recordedIdentity().section(QLatin1Char(' '), 1);
    if (offset() > 0 && !validator.isEmpty()) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset()) + '-');
        // The rest of the same file, or else the whole of the new one.
        request.setRawHeader("If-Range", validator.toLatin1());
    }
    reply = manager.get(request);
    reply->setReadBufferSize(replyBufferSize);
    connect(reply, &QNetworkReply::readyRead, this, &HttpsSource::readBody);
    connect(reply, &QNetworkReply::finished, this, &HttpsSource::replyFinished);
    connect(reply, &QNetworkReply::encrypted, this, [this] { watchdog.start(timeout()); });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] { watchdog.start(timeout()); });
}

void HttpsSource::stopAttempt()
{
    watchdog.stop();
    if (!reply)
        return;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void HttpsSource::end(Outcome outcome, const QString &reason)
{
    stopAttempt();
    attemptEnded(outcome, reason);
}

void HttpsSource::redirect(int status)
{
    const QUrl here = reply->url();
    const QByteArray location = reply->rawHeader("Location");
    const QUrl next = here.resolved(QUrl::fromEncoded(location, QUrl::StrictMode));
    QString why;
    if (location.isEmpty() || !next.isValid())
        why = QStringLiteral("HTTP %1 without a usable Location").arg(status);
    else if (next.scheme() != QLatin1String("https") || next.host().isEmpty())
        why = QStringLiteral("redirect to a non-https address refused: %1").arg(next.toString());
    else if (++hops > maxRedirects)
        why = QStringLiteral("more than %1 redirects: %2").arg(maxRedirects).arg(next.toString());
    if (!why.isEmpty())
        return end(Failed, why);
    // The hop's body is of no interest; the next one gets the same request.
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    request(next);
    if (timeout() > 0)
        watchdog.start(timeout());
}

bool HttpsSource::checkHeaders()
{
    if (headersChecked)
        return true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0)
        return false; // no answer yet
    if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
        redirect(status);
        return false;
    }
    headersChecked = true;
    const QString statusLine
        = QStringLiteral("HTTP %1 %2")
              .arg(status)
              .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    if (status == 429 || status == 503) {
        end(Overloaded, statusLine);
        return false;
    }
    if (status == 416) {
        // The partial reaches past the file: it is not this file's start.
        startOver();
        end(ConnectionLost, statusLine);
        return false;
    }
    if (status != 200 && status != 206) {
        end(Failed, statusLine);
        return false;
    }
    if (status == 206) {
        static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
        const QRegularExpressionMatch match
            = range.match(QString::fromLatin1(reply->rawHeader("Content-Range")).trimmed());
        bool first = false;
        bool whole = false;
        const qint64 from = match.captured(1).toLongLong(&first);
        total = match.captured(3).toLongLong(&whole);
        if (!match.hasMatch() || !first || !whole || from != offset()) {
            startOver();
            end(ConnectionLost, QStringLiteral("range not as asked: ") + statusLine);
            return false;
        }
    } else {
        // The whole file: it changed since the partial began, or the server
        // does not do ranges.
        if (offset() > 0)
            startOver();
        bool known = false;
        total = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (!known)
            total = -1;
    }
    if (total >= 0 && !checkTotal(total))
        return false;
    const QByteArray etag = reply->rawHeader("ETag");
    const QByteArray modified = reply->rawHeader("Last-Modified");
    if (!etag.isEmpty() && !etag.startsWith("W/"))
        recordIdentity(QStringLiteral("etag ") + QString::fromLatin1(etag), total);
    else if (!modified.isEmpty())
        recordIdentity(QStringLiteral("last-modified ") + QString::fromLatin1(modified), total);
    return true;
}

void HttpsSource::readBody()
{
    if (!reply || !checkHeaders())
        return;
    if (timeout() > 0)
        watchdog.start(timeout());
    // Through one buffer, reused: no allocation per piece of the body.
    buffer.resize(int(replyBufferSize));
    qint64 got = 0;
    while (reply->bytesAvailable() > 0) {
        const qint64 count = reply->read(buffer.data(), buffer.size());
        if (count <= 0)
            break;
        if (file()->write(buffer.constData(), count) != count) {
            if (file()->exceeded()) {
                stopAttempt();
                refuseFile(file()->excess());
                return;
            }
            end(Failed,
                QStringLiteral("cannot write \"%1\": %2")
                    .arg(file()->fileName(), file()->errorString()));
            return;
        }
        got += count;
    }
    if (got == 0)
        return;
    noteReceived(got);
    reportProgress(offset(), total);
}

void HttpsSource::replyFinished()
{
    if (!reply)
        return;
    QNetworkReply *const finishing = reply;
    readBody();
    if (reply != finishing)
        return; // ended, or redirected, on its headers or while reading
    const QNetworkReply::NetworkError error = reply->error();
    const QString text = reply->errorString();
    stopAttempt();
    if (timedOut)
        return attemptEnded(ConnectionLost, QStringLiteral("timed out"));
    switch (error) {
    case QNetworkReply::NoError:
        if (total >= 0 && offset() != total)
            return attemptEnded(
                ConnectionLost, QStringLiteral("received %1 of %2 bytes").arg(offset()).arg(total));
        return attemptEnded(Done, QString());
    case QNetworkReply::ConnectionRefusedError:
        return attemptEnded(Overloaded, text);
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
        return attemptEnded(ConnectionLost, text);
    default:
        // Certificates, host names, too many redirects, refusals: for good.
        return attemptEnded(Failed, text);
    }
}
