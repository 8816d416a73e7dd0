#ifndef INTERNETCONNTEST_H
#define INTERNETCONNTEST_H

#include <QObject>
#include <QString>

class QEventLoop;

// Asks the update service's probe page whether the network is usable, once
// when called and then again a minute after each probe has ended. Nothing
// acts on the answer; it is logged and returned.
class InternetConnTest : public QObject
{
    Q_OBJECT

public:
    explicit InternetConnTest(QObject *parent = nullptr);
    ~InternetConnTest() override;

    // The web host (host or host:port) the probe page is fetched from: the
    // build's UPDATER_PROBE_HOST unless a test has set another one.
    static QString host();
    // A null string returns to the build's host. For tests.
    static void setHostForTesting(const QString &host);

    // Delay between the end of one probe and the start of the next: 60000 ms
    // unless a test has set another one (a negative value returns to it).
    static int retryInterval();
    static void setRetryIntervalForTesting(int ms);

public slots:
    // Blocks in a nested event loop until the request has ended.
    bool isConnectedToNetwork();

private:
    QEventLoop *eventLoop = nullptr;
};

#endif // INTERNETCONNTEST_H
