// The reachability probe against a small HTTP server inside the test.
#include "closedport.h"
#include "internetconntest.h"
#include "messagelog.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// Answers every GET with a fixed body, optionally after a delay, and notes
// when each request arrived and when its answer went out.
class ProbePage : public QObject
{
public:
    struct Request
    {
        QByteArray requestLine;
        qint64 arrivedMs = -1;
        qint64 answeredMs = -1;
    };

    QByteArray body = "ok";
    int delayMs = 0; // negative: never answers, keeps the connection open
    QList<Request> requests;
    QElapsedTimer clock;
    // Called when a request has arrived, before it is answered.
    std::function<void()> onRequest;

    // Listens on a free port and points the probe at it.
    bool listen()
    {
        clock.start();
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                serve(socket);
        });
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        InternetConnTest::setHostForTesting(
            QStringLiteral("127.0.0.1:%1").arg(server.serverPort()));
        return true;
    }

private:
    void serve(QTcpSocket *socket)
    {
        auto *buffer = new QByteArray;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [buffer] { delete buffer; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            if (!buffer->contains("\r\n\r\n"))
                return;
            const int index = requests.size();
            requests.append({buffer->left(buffer->indexOf("\r\n")), clock.elapsed(), -1});
            buffer->clear();
            if (onRequest)
                onRequest();
            if (delayMs < 0)
                return;
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(delayMs, this, [this, guard, index] {
                if (!guard)
                    return;
                guard->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                guard->flush();
                requests[index].answeredMs = clock.elapsed();
                guard->disconnectFromHost();
            });
        });
    }

    QTcpServer server;
};

} // namespace

// Runs one probe to its end and returns its outcome.
bool probeOnce(InternetConnTest &probe)
{
    QSignalSpy finished(&probe, &InternetConnTest::probeFinished);
    probe.isConnectedToNetwork();
    if (!finished.wait(20000))
        return false;
    return finished.at(0).at(0).toBool();
}

class TestInternetConnTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MessageLog> log;

private slots:
    void init() { log.reset(new MessageLog); }
    void cleanup()
    {
        log.reset();
        InternetConnTest::setHostForTesting(QString());
        InternetConnTest::setRetryIntervalForTesting(-1);
        InternetConnTest::setTimeLimitForTesting(-1);
    }

    void defaults()
    {
        QCOMPARE(InternetConnTest::retryInterval(), 60000);
        QCOMPARE(InternetConnTest::timeLimit(), 10000);
    }

    void answer_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("delay");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QString>("logged");

        QTest::newRow("ok") << QByteArray("ok") << 0 << true << QStringLiteral("\"ok\"");
        QTest::newRow("capitals") << QByteArray("OK") << 0 << false << QStringLiteral("\"OK\"");
        QTest::newRow("line-break")
            << QByteArray("ok\n") << 0 << false << QStringLiteral("\"ok\\n\"");
        QTest::newRow("blank-after")
            << QByteArray("ok ") << 0 << false << QStringLiteral("\"ok \"");
        QTest::newRow("empty") << QByteArray() << 0 << false << QStringLiteral("\"\"");
        QTest::newRow("text-ends-at-zero-byte")
            << QByteArray("ok\0rest", 7) << 0 << true << QStringLiteral("\"ok\"");
        // Accepts the connection and never answers: ended by the time limit.
        QTest::newRow("silent-host")
            << QByteArray("ok") << -1 << false << QStringLiteral("\"\" - no answer within 500 ms");
    }
    // The request runs in the background: the call returns before the
    // answer, which is logged when it arrives.
    void answer()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, delay);
        QFETCH(bool, expected);
        QFETCH(QString, logged);

        ProbePage page;
        page.body = body;
        page.delayMs = delay;
        QVERIFY(page.listen());
        InternetConnTest::setTimeLimitForTesting(500);

        InternetConnTest probe(nullptr);
        QSignalSpy finished(&probe, &InternetConnTest::probeFinished);
        probe.isConnectedToNetwork();
        QVERIFY(probe.isProbing());
        QVERIFY(log->lines().isEmpty());
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.at(0).at(0).toBool(), expected);

        QCOMPARE(page.requests.size(), 1);
        QCOMPARE(page.requests.at(0).requestLine, QByteArray("GET /checkHasInternet.php HTTP/1.1"));
        const QList<MessageLog::Line> lines = log->lines();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.at(0).type, QtDebugMsg);
        QCOMPARE(lines.at(0).text, logged);
    }

    void noServer()
    {
        InternetConnTest::setHostForTesting(QStringLiteral("127.0.0.1:%1").arg(closedPort()));
        InternetConnTest probe(nullptr);
        QCOMPARE(probeOnce(probe), false);
        QCOMPARE(log->count("\"\""), 1);
    }

    // Without a probe host nothing is sent, now or later, and that is said once.
    void noProbeHost()
    {
        InternetConnTest::setHostForTesting(QStringLiteral(""));
        InternetConnTest::setRetryIntervalForTesting(0);
        InternetConnTest probe(nullptr);
        QSignalSpy finished(&probe, &InternetConnTest::probeFinished);
        QCOMPARE(probe.isConnectedToNetwork(), false);
        QVERIFY(!probe.isProbing());
        probe.isConnectedToNetwork();
        QVERIFY(!finished.wait(300));
        QCOMPARE(log->lines().size(), 1);
        QCOMPARE(log->count("Reachability probe skipped: no probe host"), 1);
    }

    void resultIsTheLatestProbe()
    {
        ProbePage page;
        QVERIFY(page.listen());
        InternetConnTest first(nullptr);
        QVERIFY(probeOnce(first));
        QVERIFY(first.isConnectedToNetwork());
        page.body = "no";
        InternetConnTest second(nullptr);
        QVERIFY(!probeOnce(second));
        QVERIFY(!second.isConnectedToNetwork());
    }

    // Each probe's reply is gone once it has ended.
    void releasesNetworkObjects()
    {
        ProbePage page;
        QVERIFY(page.listen());
        InternetConnTest probe(nullptr);
        for (int i = 0; i < 20; ++i)
            QVERIFY(probeOnce(probe));
        QTRY_VERIFY(probe.findChildren<QNetworkReply *>().isEmpty());
        QVERIFY(probe.findChildren<QNetworkAccessManager *>().size() <= 1);
    }

    // The next probe starts one interval after the previous one has ended,
    // not after it started; probes never overlap.
    void rearmsAfterTheEnd()
    {
        const int interval = 300;
        ProbePage page;
        page.delayMs = 400;
        QVERIFY(page.listen());
        InternetConnTest::setRetryIntervalForTesting(interval);

        InternetConnTest probe(nullptr);
        probe.isConnectedToNetwork();
        // A call while a request is on its way sends nothing more.
        probe.isConnectedToNetwork();
        QTRY_VERIFY_WITH_TIMEOUT(
            page.requests.size() >= 3 && page.requests.at(2).answeredMs >= 0, 10000);

        for (int i = 1; i < 3; ++i) {
            const auto &previous = page.requests.at(i - 1);
            const auto &next = page.requests.at(i);
            QVERIFY2(next.arrivedMs - previous.answeredMs >= interval - 5,
                qPrintable(QStringLiteral("probe %1 came %2 ms after the end of the one before")
                               .arg(i + 1)
                               .arg(next.arrivedMs - previous.answeredMs)));
            QVERIFY(next.arrivedMs - previous.arrivedMs >= page.delayMs + interval - 5);
        }
    }
};

QTEST_MAIN(TestInternetConnTest)
#include "tst_internetconntest.moc"
