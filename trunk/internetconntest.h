#ifndef INTERNETCONNTEST_H
#define INTERNETCONNTEST_H

#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;

// Asks the update service's probe page whether the network is usable,
// without ever waiting for it: a request is sent, its answer logged when it
// arrives (or when its time limit ends it), and the next one is sent a
// minute after that. Nothing acts on the answer.
class InternetConnTest : public QObject
{
    Q_OBJECT

public:
    explicit InternetConnTest(QObject *parent = nullptr);
    ~InternetConnTest() override;

    // The web host (host or host:port) the probe page is fetched from: the
    // build's UPDATER_PROBE_HOST unless a test has set another one. Empty
    // means there is no probe.
    static QString host();
    // A null string returns to the build's host. For tests.
    static void setHostForTesting(const QString &host);

    // Delay between the end of one probe and the start of the next: 60000 ms
    // unless a test has set another one (a negative value returns to it).
    static int retryInterval();
    static void setRetryIntervalForTesting(int ms);

    // How long one request may take before it is given up: 10000 ms unless a
    // test has set another one (a negative value returns to it).
    static int timeLimit();
    static void setTimeLimitForTesting(int ms);

    // True while a request is on its way.
    bool isProbing() const { return reply != nullptr; }

public slots:
    // Sends one request and returns at once with the outcome of the most
    // recent probe that has ended. Does nothing while a request is on its
    // way. Without a probe host it only logs, once, that the probe is skipped.
    bool isConnectedToNetwork();

signals:
    // A request has ended: answered "ok" or not (failed, timed out).
    void probeFinished(bool ok);

private slots:
    void requestFinished();

private:
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    QTimer limit;
    bool skipLogged = false;
    bool timedOut = false;
};

#endif // INTERNETCONNTEST_H
