#ifndef HTTPSSOURCE_H
#define HTTPSSOURCE_H

#include "releasesource.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSslCertificate>
#include <QTimer>
#include <QUrl>

class QNetworkReply;

// A release folder on a web server, over HTTPS only: certificates checked
// against the system's store (never switched off), redirects followed hop
// by hop by this class, each hop checked to be https, at most 5, a resumable fetch continued with Range and
// If-Range (the record holds the ETag, or else the Last-Modified date).
// Content-Length tells the size, so the caps apply before the body comes.
class HttpsSource : public ReleaseSource
{
    Q_OBJECT

public:
    static constexpr int maxRedirects = 5;

    // `folder` ends in "/"; the file names are appended to it.
    explicit HttpsSource(const QUrl &folder, QObject *parent = nullptr);
    ~HttpsSource() override;

    QString location() const override { return folder.toString(); }

    // Tests only: certificates of the test's own CA, trusted besides the
    // system's store by every HttpsSource from now on. The store itself is
    // never bypassed; a certificate no CA vouches for is always refused.
    static void addCaCertificatesForTesting(const QList<QSslCertificate> &certificates);

protected:
    void startAttempt() override;
    void stopAttempt() override;

private:
    // Sends the attempt's request for `url` (the file, or a hop it was
    // redirected to).
    void request(const QUrl &url);
    // Follows the redirect the reply answers with, or ends the attempt when
    // it may not be followed.
    void redirect(int status);
    bool checkHeaders();
    void readBody();
    void replyFinished();
    void end(Outcome outcome, const QString &reason);

    QUrl folder;
    QNetworkAccessManager manager;
    QPointer<QNetworkReply> reply;
    QTimer watchdog;
    bool headersChecked = false;
    int hops = 0;
    bool timedOut = false;
    qint64 total = -1;
    QByteArray buffer;
};

#endif // HTTPSSOURCE_H
