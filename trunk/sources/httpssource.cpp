#include "httpssource.h"

#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <curl/curl.h>

#include <cstring>

namespace {

// libcurl is set up once per process, before its first handle; it is never
// torn down, as sources may live until the process ends.
void initialiseCurl()
{
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(result)
}

QList<QSslCertificate> &testAuthorities()
{
    static QList<QSslCertificate> certificates;
    return certificates;
}

// The system's bundle and the tests' own CAs, as one PEM text; empty
// while there are no test CAs (the system's store alone is used then).
QByteArray &testBundle()
{
    static QByteArray bundle;
    return bundle;
}

// libcurl hands the body on in pieces of at most this much, read straight
// from the connection: memory stays flat whatever the file's size.
const long receiveBufferSize = 512 * 1024;

CURL *easyOf(void *handle)
{
    return static_cast<CURL *>(handle);
}

CURLM *multiOf(void *handle)
{
    return static_cast<CURLM *>(handle);
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

} // namespace

HttpsSource::HttpsSource(const QUrl &folder, QObject *parent)
    : ReleaseSource(parent)
    , folder(folder)
{
    initialiseCurl();
    multi = curl_multi_init();
    curl_multi_setopt(multiOf(multi), CURLMOPT_SOCKETFUNCTION, &HttpsSource::onSocket);
    curl_multi_setopt(multiOf(multi), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multiOf(multi), CURLMOPT_TIMERFUNCTION, &HttpsSource::onTimer);
    curl_multi_setopt(multiOf(multi), CURLMOPT_TIMERDATA, this);
    curlTimer.setSingleShot(true);
    connect(&curlTimer, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [this] {
        if (!easy)
            return;
        end(ConnectionLost, QStringLiteral("timed out"));
    });
}

HttpsSource::~HttpsSource()
{
    stopAttempt();
    // Closes the connections kept for the next fetch; their sockets'
    // notifiers go with them.
    curl_multi_cleanup(multiOf(multi));
}

void HttpsSource::addCaCertificatesForTesting(const QList<QSslCertificate> &certificates)
{
    initialiseCurl();
    testAuthorities() += certificates;
    QByteArray &bundle = testBundle();
    if (bundle.isEmpty()) {
        // The bundle libcurl would read by itself, so that the system's CAs
        // stay trusted beside the tests' own.
        CURL *probe = curl_easy_init();
        char *systemBundle = nullptr;
        curl_easy_getinfo(probe, CURLINFO_CAINFO, &systemBundle);
        if (systemBundle) {
            QFile file(QString::fromLocal8Bit(systemBundle));
            if (file.open(QIODevice::ReadOnly))
                bundle = file.readAll() + '\n';
        }
        curl_easy_cleanup(probe);
    }
    for (const QSslCertificate &certificate : certificates)
        bundle += certificate.toPem();
}

void HttpsSource::startAttempt()
{
    headersChecked = false;
    hops = 0;
    total = -1;
    if (folder.scheme() != QLatin1String("https")) {
        end(Failed, QStringLiteral("not an https address: %1").arg(folder.toString()));
        return;
    }
    if (!proxyText.isEmpty()) {
        const QUrl proxy(proxyText, QUrl::StrictMode);
        static const QStringList schemes {QStringLiteral("http"), QStringLiteral("https"),
            QStringLiteral("socks5"), QStringLiteral("socks5h")};
        if (!proxy.isValid() || proxy.host().isEmpty() || !schemes.contains(proxy.scheme())) {
            end(Failed,
                QStringLiteral("proxy \"%1\" is not an http://, https:// or socks5:// address")
                    .arg(proxy.toString(QUrl::RemoveUserInfo)));
            return;
        }
    }
    if (offset() > 0 && recordedIdentity().section(QLatin1Char(' '), 1).isEmpty())
        startOver();
    request(folder.resolved(QUrl(fileName())));
}

void HttpsSource::request(const QUrl &url)
{
    current = url;
    status = 0;
    phrase.clear();
    headers.clear();
    verdict = Verdict::None;
    errorText[0] = '\0';
    CURL *handle = curl_easy_init();
    easy = handle;
    const QByteArray address = url.toEncoded();
    curl_easy_setopt(handle, CURLOPT_URL, address.constData());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
    // Every hop is judged here before it is asked for: libcurl's own
    // following is not used.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    if (!testBundle().isEmpty()) {
        curl_blob blob {testBundle().data(), size_t(testBundle().size()), CURL_BLOB_COPY};
        curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
        curl_easy_setopt(handle, CURLOPT_PROXY_CAINFO_BLOB, &blob);
    }
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receiveBufferSize);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &HttpsSource::onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpsSource::onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (proxyText.isEmpty()) {
        // An empty proxy: libcurl then reads no proxy from the environment.
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
    } else {
        const QUrl proxy(proxyText, QUrl::StrictMode);
        const QByteArray where = proxy.toEncoded(QUrl::RemoveUserInfo);
        curl_easy_setopt(handle, CURLOPT_PROXY, where.constData());
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
        curl_easy_setopt(handle, CURLOPT_HTTPPROXYTUNNEL, 1L);
        if (proxy.userName().isEmpty()) {
            // No credentials of its own: the user's Kerberos ticket, if any.
            curl_easy_setopt(handle, CURLOPT_PROXYAUTH, long(CURLAUTH_NEGOTIATE));
            curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":");
        } else {
            curl_easy_setopt(handle, CURLOPT_PROXYAUTH, long(CURLAUTH_ANY));
            curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME,
                proxy.userName(QUrl::FullyDecoded).toUtf8().constData());
            curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD,
                proxy.password(QUrl::FullyDecoded).toUtf8().constData());
        }
    }
    curl_slist *list = nullptr;
    // Bytes exactly as stored: a compressed body would not match the offsets.
    list = curl_slist_append(list, "Accept-Encoding: identity");
    const QString validator = recordedIdentity().section(QLatin1Char(' '), 1);
    if (offset() > 0 && !validator.isEmpty()) {
        list = curl_slist_append(
            list, QByteArray("Range: bytes=" + QByteArray::number(offset()) + '-').constData());
        // The rest of the same file, or else the whole of the new one.
        list = curl_slist_append(list, QByteArray("If-Range: " + validator.toLatin1()).constData());
    }
    headerList = list;
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);
    curl_multi_add_handle(multiOf(multi), handle);
    if (timeout() > 0)
        watchdog.start(timeout());
}

void HttpsSource::stopAttempt()
{
    watchdog.stop();
    if (!easy)
        return;
    curl_multi_remove_handle(multiOf(multi), easyOf(easy));
    curl_easy_cleanup(easyOf(easy));
    curl_slist_free_all(static_cast<curl_slist *>(headerList));
    easy = nullptr;
    headerList = nullptr;
}

void HttpsSource::end(Outcome outcome, const QString &reason)
{
    stopAttempt();
    attemptEnded(outcome, reason);
}

int HttpsSource::onTimer(void *, long msecs, void *self)
{
    QTimer &timer = static_cast<HttpsSource *>(self)->curlTimer;
    if (msecs < 0)
        timer.stop();
    else
        timer.start(int(qMin<long>(msecs, 24L * 3600 * 1000)));
    return 0;
}

int HttpsSource::onSocket(void *, int socket, int what, void *self, void *)
{
    HttpsSource *const source = static_cast<HttpsSource *>(self);
    Watch &watch = source->watched[socket];
    const auto notifier = [&](QSocketNotifier *&slot, QSocketNotifier::Type type, bool wanted) {
        if (!wanted) {
            if (slot)
                slot->setEnabled(false);
            return;
        }
        if (!slot) {
            slot = new QSocketNotifier(socket, type, source);
            const int events = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
            connect(slot, &QSocketNotifier::activated, source,
                [source, socket, events] { source->drive(socket, events); });
        }
        slot->setEnabled(true);
    };
    if (what == CURL_POLL_REMOVE) {
        // Called back from within libcurl, maybe from within this very
        // notifier's signal: deleted once the event loop is back.
        for (QSocketNotifier *slot : {watch.read, watch.write}) {
            if (slot) {
                slot->setEnabled(false);
                slot->deleteLater();
            }
        }
        source->watched.remove(socket);
        return 0;
    }
    notifier(watch.read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    notifier(watch.write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
    return 0;
}

void HttpsSource::drive(int socket, int events)
{
    QPointer<HttpsSource> alive(this);
    int running = 0;
    curl_multi_socket_action(multiOf(multi), curl_socket_t(socket), events, &running);
    if (heard && easy && timeout() > 0)
        watchdog.start(timeout());
    heard = false;
    if (arrived > 0) {
        const qint64 got = arrived;
        arrived = 0;
        noteReceived(got);
        reportProgress(offset(), total);
        if (!alive)
            return;
    }
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multiOf(multi), &left)) {
        if (message->msg != CURLMSG_DONE || message->easy_handle != easy)
            continue;
        transferDone(message->data.result);
        return;
    }
}

size_t HttpsSource::onHeader(char *data, size_t size, size_t count, void *self)
{
    HttpsSource *const source = static_cast<HttpsSource *>(self);
    const size_t length = size * count;
    source->heard = true;
    const QByteArray line = QByteArray::fromRawData(data, int(length)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new response: an interim one (100 Continue) is forgotten.
        const QList<QByteArray> parts = line.split(' ');
        source->status = parts.value(1).toInt();
        source->phrase = line.mid(line.indexOf(' ', line.indexOf(' ') + 1) + 1);
        if (parts.size() < 3)
            source->phrase.clear();
        source->headers.clear();
        return length;
    }
    if (!line.isEmpty()) {
        const int colon = line.indexOf(':');
        if (colon > 0)
            source->headers.insert(
                line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        return length;
    }
    if (source->status >= 100 && source->status < 200)
        return length;
    return source->judgeHeaders() ? length : 0;
}

size_t HttpsSource::onBody(char *data, size_t size, size_t count, void *self)
{
    HttpsSource *const source = static_cast<HttpsSource *>(self);
    const qint64 length = qint64(size * count);
    source->heard = true;
    if (!source->headersChecked || source->verdict != Verdict::None)
        return 0;
    CappedFile *const file = source->file();
    if (file->write(data, length) != length) {
        if (file->exceeded())
            source->decide(Verdict::RefuseFile, Failed, file->excess());
        else
            source->decide(Verdict::End, Failed,
                QStringLiteral("cannot write \"%1\": %2")
                    .arg(file->fileName(), file->errorString()));
        return 0;
    }
    source->arrived += length;
    return size_t(length);
}

void HttpsSource::decide(Verdict what, Outcome outcome, const QString &reason)
{
    verdict = what;
    verdictOutcome = outcome;
    verdictReason = reason;
}

void HttpsSource::judgeRedirect()
{
    const QByteArray location = headers.value("location");
    const QUrl next = current.resolved(QUrl::fromEncoded(location, QUrl::StrictMode));
    QString why;
    if (location.isEmpty() || !next.isValid())
        why = QStringLiteral("HTTP %1 without a usable Location").arg(status);
    else if (next.scheme() != QLatin1String("https") || next.host().isEmpty())
        why = QStringLiteral("redirect to a non-https address refused: %1").arg(next.toString());
    else if (hops + 1 > maxRedirects)
        why = QStringLiteral("more than %1 redirects: %2").arg(maxRedirects).arg(next.toString());
    if (!why.isEmpty())
        return decide(Verdict::End, Failed, why);
    redirectTo = next;
    decide(Verdict::Redirect, Failed, QString());
}

bool HttpsSource::judgeHeaders()
{
    // The hop's body is of no interest; the next one gets the same request.
    if (isRedirect(status)) {
        judgeRedirect();
        return false;
    }
    headersChecked = true;
    const QString statusLine
        = QStringLiteral("HTTP %1 %2").arg(status).arg(QString::fromLatin1(phrase));
    if (status == 429 || status == 503) {
        decide(Verdict::End, Overloaded, statusLine);
        return false;
    }
    if (status == 416) {
        // The partial reaches past the file: it is not this file's start.
        startOver();
        decide(Verdict::End, ConnectionLost, statusLine);
        return false;
    }
    if (status != 200 && status != 206) {
        decide(Verdict::End, Failed, statusLine);
        return false;
    }
    if (status == 206) {
        static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
        const QRegularExpressionMatch match
            = range.match(QString::fromLatin1(headers.value("content-range")));
        bool first = false;
        bool whole = false;
        const qint64 from = match.captured(1).toLongLong(&first);
        total = match.captured(3).toLongLong(&whole);
        if (!match.hasMatch() || !first || !whole || from != offset()) {
            startOver();
            decide(
                Verdict::End, ConnectionLost, QStringLiteral("range not as asked: ") + statusLine);
            return false;
        }
    } else {
        // The whole file: it changed since the partial began, or the server
        // does not do ranges.
        if (offset() > 0)
            startOver();
        bool known = false;
        total = headers.value("content-length").toLongLong(&known);
        if (!known || total < 0)
            total = -1;
    }
    if (total >= 0) {
        bool here = false;
        QString why;
        if (!judgeTotal(total, &here, &why)) {
            decide(Verdict::RefuseTotal, Failed, why);
            verdictHere = here;
            return false;
        }
    }
    const QByteArray etag = headers.value("etag");
    const QByteArray modified = headers.value("last-modified");
    if (!etag.isEmpty() && !etag.startsWith("W/"))
        recordIdentity(QStringLiteral("etag ") + QString::fromLatin1(etag), total);
    else if (!modified.isEmpty())
        recordIdentity(QStringLiteral("last-modified ") + QString::fromLatin1(modified), total);
    return true;
}

QString HttpsSource::proxyFailure(int result) const
{
    if (proxyText.isEmpty())
        return QString();
    const QString proxy = QUrl(proxyText).toString(QUrl::RemoveUserInfo);
    long code = 0;
    curl_easy_getinfo(easyOf(easy), CURLINFO_HTTP_CONNECTCODE, &code);
    // 407 as the standard has it; some proxies answer wrong credentials
    // with 401.
    if (code == 407 || code == 401)
        return QUrl(proxyText).userName().isEmpty()
            ? QStringLiteral("proxy %1 needs credentials the updater does not have (HTTP %2)")
                  .arg(proxy)
                  .arg(code)
            : QStringLiteral("proxy %1 refused the updater's credentials (HTTP %2)")
                  .arg(proxy)
                  .arg(code);
    if (code != 0 && (code < 200 || code > 299))
        return QStringLiteral("proxy %1 refused the connection (HTTP %2)").arg(proxy).arg(code);
    if (result == CURLE_COULDNT_RESOLVE_PROXY)
        return QStringLiteral("proxy %1 not found: %2")
            .arg(proxy, QString::fromLocal8Bit(errorText));
    return QString();
}

void HttpsSource::transferDone(int result)
{
    // Bytes the last callbacks wrote count before the attempt's end.
    if (arrived > 0) {
        noteReceived(arrived);
        arrived = 0;
    }
    const QString viaProxy = proxyFailure(result);
    if (!viaProxy.isEmpty())
        return end(Failed, viaProxy);
    switch (verdict) {
    case Verdict::Redirect: {
        stopAttempt();
        ++hops;
        request(redirectTo);
        return;
    }
    case Verdict::RefuseTotal:
        stopAttempt();
        return refuseTotal(verdictReason, verdictHere);
    case Verdict::RefuseFile:
        stopAttempt();
        return refuseFile(verdictReason);
    case Verdict::End:
        return end(verdictOutcome, verdictReason);
    case Verdict::None:
        break;
    }
    const QString detail
        = QString::fromLocal8Bit(errorText[0] ? errorText : curl_easy_strerror(CURLcode(result)));
    long osError = 0;
    curl_easy_getinfo(easyOf(easy), CURLINFO_OS_ERRNO, &osError);
    switch (result) {
    case CURLE_OK:
        if (!headersChecked)
            return end(ConnectionLost, QStringLiteral("Connection closed before an answer"));
        reportProgress(offset(), total);
        if (total >= 0 && offset() != total)
            return end(
                ConnectionLost, QStringLiteral("received %1 of %2 bytes").arg(offset()).arg(total));
        return end(Done, QString());
    case CURLE_COULDNT_CONNECT:
        // Refused, or no route: the server is down or turning clients away.
        return end(Overloaded,
            QStringLiteral("%1 (%2)").arg(osError ? QString::fromLocal8Bit(strerror(int(osError)))
                                                  : QStringLiteral("Connection refused"),
                detail));
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return end(ConnectionLost, QStringLiteral("Connection closed: %1").arg(detail));
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        // Certificates and host names: for good.
        return end(Failed, QStringLiteral("SSL handshake failed: %1").arg(detail));
    default:
        // Unknown hosts, refusals: for good.
        return end(Failed, detail);
    }
}
