#ifndef HTTPSSOURCE_H
#define HTTPSSOURCE_H

#include "releasesource.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSslCertificate>
#include <QTimer>
#include <QUrl>

class QSocketNotifier;

// A release folder on a web server, over HTTPS only, fetched with libcurl
// driven by the event loop (its sockets watched by socket notifiers, its
// timeouts by a timer; no thread of its own): certificates checked against
// the system's store (never switched off), redirects followed hop by hop by
// this class, each hop checked to be https, at most 5, a resumable fetch
// continued with Range and If-Range (the record holds the ETag, or else the
// Last-Modified date). Content-Length tells the size, so the caps apply
// before the body comes. The body is written straight into the file as it
// arrives. With a proxy set, every request goes through it.
class HttpsSource : public ReleaseSource
{
    Q_OBJECT

public:
    static constexpr int maxRedirects = 5;

    // `folder` ends in "/"; the file names are appended to it.
    explicit HttpsSource(const QUrl &folder, QObject *parent = nullptr);
    ~HttpsSource() override;

    QString location() const override { return folder.toString(); }

    // "http://[user:password@]host:port" (or https://, socks5://,
    // socks5h://); empty: straight to the server. The proxy's environment
    // variables are never read. Without a user the proxy may still accept
    // the system's Kerberos ticket (Negotiate).
    void setProxy(const QString &proxy) { proxyText = proxy; }

    // Tests only: certificates of the test's own CA, trusted besides the
    // system's store by every HttpsSource from now on. The store itself is
    // never bypassed; a certificate no CA vouches for is always refused.
    static void addCaCertificatesForTesting(const QList<QSslCertificate> &certificates);

protected:
    void startAttempt() override;
    void stopAttempt() override;

private:
    // What a callback decided while libcurl was running: carried out once
    // libcurl has returned, as callbacks may not touch the transfer.
    enum class Verdict { None, End, RefuseTotal, RefuseFile, Redirect };

    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    static int onSocket(void *easy, int socket, int what, void *self, void *socketData);
    static int onTimer(void *multi, long msecs, void *self);

    // Sends the attempt's request for `url` (the file, or a hop it was
    // redirected to).
    void request(const QUrl &url);
    // Judges a complete response head; false ends the transfer (the
    // verdict says how).
    bool judgeHeaders();
    void judgeRedirect();
    // Lets libcurl act on `socket` (or on its timeout), then hands out what
    // arrived and ends a transfer that is done.
    void drive(int socket, int events);
    void transferDone(int result);
    void end(Outcome outcome, const QString &reason);
    void decide(Verdict what, Outcome outcome, const QString &reason);
    QString proxyFailure(int result) const;

    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    QUrl folder;
    QString proxyText;
    void *multi = nullptr;
    void *easy = nullptr;
    void *headerList = nullptr;
    QHash<int, Watch> watched;
    QTimer curlTimer;
    QTimer watchdog;
    QUrl current;
    // The response being received: its status, reason phrase and headers
    // (names in lower case).
    int status = 0;
    QByteArray phrase;
    QHash<QByteArray, QByteArray> headers;
    bool headersChecked = false;
    // Since libcurl was last driven: something came from the server (the
    // watchdog starts over), and the body bytes written, not yet counted.
    bool heard = false;
    qint64 arrived = 0;
    int hops = 0;
    qint64 total = -1;
    Verdict verdict = Verdict::None;
    Outcome verdictOutcome = Failed;
    QString verdictReason;
    bool verdictHere = false;
    QUrl redirectTo;
    char errorText[256] = {};
};

#endif // HTTPSSOURCE_H
