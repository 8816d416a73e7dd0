#ifndef TESTLIB_FTPSERVER_H
#define TESTLIB_FTPSERVER_H

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// A real FTP server (Debian's python3-pyftpdlib) on loopback, serving a
// folder of the test's own on a free port with the updater's fixed user.
// Stopped when the object is destroyed.
class FtpServer
{
public:
    static const char *const user; // "marvoline"
    static const char *const password; // "qd4739"

    FtpServer() = default;
    ~FtpServer();
    FtpServer(const FtpServer &) = delete;
    FtpServer &operator=(const FtpServer &) = delete;

    // host is "127.0.0.1" or "::1". Waits until the server listens.
    bool start(const QString &rootDir, const QString &host = QStringLiteral("127.0.0.1"));
    void stop();
    // Serves rootDir to the sessions that log in once it has returned, and
    // begins receivedLines() afresh: one running server for many rows, each
    // with a folder of its own. False when the server does not answer.
    bool setRoot(const QString &rootDir);
    // Times every open session out at once, as an idle timeout would ("421"
    // and the connection closed), when the test chooses rather than after
    // a time; false when the server does not answer.
    bool timeOutSessions();

    // Failure cases, for the next start(): the server expects another
    // password (so the fixed login is refused) ...
    void setPassword(const QString &password) { serverPassword = password; }
    // ... or dies, dropping every connection at once, when it has sent
    // `bytes` bytes of the file named fileName.
    void setDropAfter(const QString &fileName, qint64 bytes)
    {
        dropFile = fileName;
        dropAfter = bytes;
    }

    // ... or sends file contents at no more than `bytesPerSecond`.
    void setRate(int bytesPerSecond) { rate = bytesPerSecond; }
    // ... or cuts off the session uploading a file whose name ends with
    // fileName once it has received `bytes` bytes, and serves on.
    void setCutAfter(const QString &fileName, qint64 bytes)
    {
        cutFile = fileName;
        cutAfter = bytes;
    }

    // ... or cuts off the session downloading fileName whenever the bytes
    // of it sent, counted over all sessions, reach the next of `points`,
    // and serves on ...
    void setDownloadCuts(const QString &fileName, const QList<qint64> &points)
    {
        cutRetr = fileName;
        cutPoints = points;
    }
    // ... or refuses REST ...
    void setRestRefused(bool refused) { noRest = refused; }
    // ... or refuses SIZE, so that a file's bytes arrive unannounced ...
    void setSizeRefused(bool refused) { noSize = refused; }
    // ... or refuses (550) every rename whose new name is fileName.
    void setRefuseRenameTo(const QString &fileName) { refuseRenameTo = fileName; }

    quint16 port() const { return serverPort; }
    QString host() const { return serverHost; }
    // The command lines the server received so far, in order, without CR LF.
    QStringList receivedLines() const;
    QString errorText() const { return lastError; }

private:
    // Writes a command line to the server's input and waits for its answer.
    bool command(const QByteArray &line, const QByteArray &answer);

    QProcess process;
    quint16 serverPort = 0;
    QString serverHost;
    QString logPath;
    QString lastError;
    QString serverPassword;
    QString dropFile;
    qint64 dropAfter = 0;
    int rate = 0;
    QString cutFile;
    qint64 cutAfter = 0;
    QString cutRetr;
    QList<qint64> cutPoints;
    bool noRest = false;
    bool noSize = false;
    QString refuseRenameTo;
};

#endif // TESTLIB_FTPSERVER_H
