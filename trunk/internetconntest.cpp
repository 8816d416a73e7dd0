#include "internetconntest.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#ifndef UPDATER_PROBE_HOST
#define UPDATER_PROBE_HOST "127.0.0.1:8021"
#endif

namespace {
const int defaultRetryInterval = 60000;

// The outcome of the most recent probe, shared by every probe object.
bool lastProbeResult = false;
QString hostOverride;
int retryIntervalOverride = -1;
} // namespace

InternetConnTest::InternetConnTest(QObject *parent)
    : QObject(parent)
{
}

InternetConnTest::~InternetConnTest() = default;

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

bool InternetConnTest::isConnectedToNetwork()
{
    // A child of this object so that it can be found while a probe runs; it
    // and its reply are deleted when the probe ends, so a process that
    // probes for hours does not pile them up.
    auto *manager = new QNetworkAccessManager(this);
    const QUrl url(QLatin1String("http://") + host() + QLatin1String("/checkHasInternet.php"),
        QUrl::TolerantMode);
    QNetworkReply *reply = manager->get(QNetworkRequest(url));

    eventLoop = new QEventLoop(nullptr);
    connect(reply, SIGNAL(finished()), eventLoop, SLOT(quit()));
    if (!reply->isFinished())
        eventLoop->exec();
    if (eventLoop) {
        delete eventLoop;
        eventLoop = nullptr;
    }

    const QByteArray body = reply->readAll();
    // Like the byte-array-to-string conversion: the text ends at a zero byte.
    const int end = body.indexOf('\0');
    const QString text = QString::fromUtf8(end >= 0 ? body.left(end) : body);

    reply->deleteLater();
    manager->deleteLater();

    lastProbeResult = (text == QLatin1String("ok"));
    qDebug() << text;

    QTimer::singleShot(retryInterval(), this, SLOT(isConnectedToNetwork()));
    return lastProbeResult;
}

#include "moc_internetconntest.cpp"
