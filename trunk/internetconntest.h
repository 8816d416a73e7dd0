#ifndef INTERNETCONNTEST_H
#define INTERNETCONNTEST_H

#include <QObject>

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

public slots:
    // Blocks in a nested event loop until the request has ended.
    bool isConnectedToNetwork();

private:
    QEventLoop *eventLoop = nullptr;
};

#endif // INTERNETCONNTEST_H
