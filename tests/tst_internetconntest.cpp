// The reachability probe against a small HTTP server inside the test.
#include "internetconntest.h"
#include "messagelog.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
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
    int delayMs = 0;
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
    }

    void buildDefaults()
    {
        QCOMPARE(InternetConnTest::host(), QStringLiteral("127.0.0.1:8021"));
        QCOMPARE(InternetConnTest::retryInterval(), 60000);
    }

    void answer_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QString>("logged");

        QTest::newRow("ok") << QByteArray("ok") << true << QStringLiteral("\"ok\"");
        QTest::newRow("capitals") << QByteArray("OK") << false << QStringLiteral("\"OK\"");
        QTest::newRow("line-break") << QByteArray("ok\n") << false << QStringLiteral("\"ok\\n\"");
        QTest::newRow("blank-after") << QByteArray("ok ") << false << QStringLiteral("\"ok \"");
        QTest::newRow("empty") << QByteArray() << false << QStringLiteral("\"\"");
        QTest::newRow("text-ends-at-zero-byte")
            << QByteArray("ok\0rest", 7) << true << QStringLiteral("\"ok\"");
    }
    void answer()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, expected);
        QFETCH(QString, logged);

        ProbePage page;
        page.body = body;
        QVERIFY(page.listen());

        InternetConnTest probe(nullptr);
        QCOMPARE(probe.isConnectedToNetwork(), expected);

        QCOMPARE(page.requests.size(), 1);
        QCOMPARE(page.requests.at(0).requestLine, QByteArray("GET /checkHasInternet.php HTTP/1.1"));
        const QList<MessageLog::Line> lines = log->lines();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.at(0).type, QtDebugMsg);
        QCOMPARE(
            lines.at(0).function, QStringLiteral("bool InternetConnTest::isConnectedToNetwork()"));
        QCOMPARE(lines.at(0).text, logged);
    }

    void noServer()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        InternetConnTest::setHostForTesting(QStringLiteral("127.0.0.1:%1").arg(port));

        InternetConnTest probe(nullptr);
        QCOMPARE(probe.isConnectedToNetwork(), false);
        const QList<MessageLog::Line> lines = log->lines();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.at(0).text, QStringLiteral("\"\""));
    }

    void resultIsTheLatestProbe()
    {
        ProbePage page;
        QVERIFY(page.listen());
        InternetConnTest first(nullptr);
        QVERIFY(first.isConnectedToNetwork());
        page.body = "no";
        InternetConnTest second(nullptr);
        QVERIFY(!second.isConnectedToNetwork());
    }

    // Each probe's network manager and reply are gone once it has ended.
    void releasesNetworkObjects()
    {
        ProbePage page;
        QVERIFY(page.listen());
        InternetConnTest probe(nullptr);

        QList<int> managersDuringRequest;
        page.onRequest = [&] {
            managersDuringRequest.append(probe.findChildren<QNetworkAccessManager *>().size());
        };
        for (int i = 0; i < 20; ++i)
            QVERIFY(probe.isConnectedToNetwork());
        QCOMPARE(managersDuringRequest.size(), 20);
        QVERIFY(managersDuringRequest.last() >= 1);
        QTRY_VERIFY(probe.findChildren<QNetworkAccessManager *>().isEmpty());
        QVERIFY(probe.findChildren<QNetworkReply *>().isEmpty());
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
        QVERIFY(probe.isConnectedToNetwork());
        QCOMPARE(page.requests.size(), 1);
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
        QCOMPARE(log->lines().size(), page.requests.size());
    }
};

QTEST_MAIN(TestInternetConnTest)
#include "tst_internetconntest.moc"
