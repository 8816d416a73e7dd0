#include "internetconntest.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#ifndef UPDATER_PROBE_HOST
#define UPDATER_PROBE_HOST ""
#endif

namespace {
const int defaultRetryInterval = 60000;
const int defaultTimeLimit = 10000;

// The outcome of the most recent probe, shared by every probe object.
bool lastProbeResult = false;
QString hostOverride;
int retryIntervalOverride = -1;
int timeLimitOverride = -1;
} // namespace

InternetConnTest::InternetConnTest(QObject *parent)
    : QObject(parent)
{
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, this, [this] {
        if (reply) {
            timedOut = true;
            reply->abort(); // ends the request through requestFinished()
        }
    });
}

InternetConnTest::~InternetConnTest()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
    }
}

QString InternetConnTest::host()
{
    if (!hostOverride.isNull())
        return hostOverride;
    return QStringLiteral(UPDATER_PROBE_HOST);
}

void InternetConnTest::setHostForTesting(const QString &host)
{
    hostOverride = host;
}

int InternetConnTest::retryInterval()
{
    return retryIntervalOverride >= 0 ? retryIntervalOverride : defaultRetryInterval;
}

void InternetConnTest::setRetryIntervalForTesting(int ms)
{
    retryIntervalOverride = ms;
}

int InternetConnTest::timeLimit()
{
    return timeLimitOverride >= 0 ? timeLimitOverride : defaultTimeLimit;
}

void InternetConnTest::setTimeLimitForTesting(int ms)
{
    timeLimitOverride = ms;
}

bool InternetConnTest::isConnectedToNetwork()
{
    if (reply)
        return lastProbeResult;
    const QString webHost = host();
    if (webHost.isEmpty()) {
        // No probe host in this build: there is nothing to ask, now or later.
        if (!skipLogged)
            qDebug() << "Reachability probe skipped: no probe host";
        skipLogged = true;
        return lastProbeResult;
    }
    if (!manager)
        manager = new QNetworkAccessManager(this);
    const QUrl url(QLatin1String("http://") + webHost + QLatin1String("/checkHasInternet.php"),
        QUrl::TolerantMode);
    reply = manager->get(QNetworkRequest(url));
    connect(reply, SIGNAL(finished()), this, SLOT(requestFinished()));
    timedOut = false;
    limit.start(timeLimit());
    return lastProbeResult;
}

void InternetConnTest::requestFinished()
{
    if (!reply || sender() != reply)
        return;
    limit.stop();
    QNetworkReply *ended = reply;
    reply = nullptr;

    // An aborted reply (the time limit) is closed and has nothing to read.
    const QByteArray body = ended->isOpen() ? ended->readAll() : QByteArray();
    // Like the byte-array-to-string conversion: the text ends at a zero byte.
    const int end = body.indexOf('\0');
    const QString text = QString::fromUtf8(end >= 0 ? body.left(end) : body);
    ended->deleteLater();

    lastProbeResult = (text == QLatin1String("ok"));
    if (timedOut)
        qDebug() << text << "- no answer within" << timeLimit() << "ms";
    else
        qDebug() << text;

    // The next probe follows the end of this one, so probes never overlap.
    QTimer::singleShot(retryInterval(), this, SLOT(isConnectedToNetwork()));
    emit probeFinished(lastProbeResult);
}

#include "moc_internetconntest.cpp"
