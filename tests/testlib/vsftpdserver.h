#ifndef TESTLIB_VSFTPDSERVER_H
#define TESTLIB_VSFTPDSERVER_H

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Debian's vsftpd on loopback, serving a folder of the test's own on a free
// port. It logs users in through PAM, so the updater's fixed user must exist
// as a system account: ensureAccount() creates it (only as root, only when
// it is missing). The login is checked by a PAM service of the fixture's own
// (password only), not by Debian's "vsftpd" service, whose shell and
// ftpusers checks depend on how the machine's account happens to be set up.
// Stopped, and its PAM service removed, when the object is destroyed.
class VsftpdServer
{
public:
    static const char *const user; // "marvoline"
    static const char *const password; // "qd4739"
    static const char *const program; // "/usr/sbin/vsftpd"

    VsftpdServer() = default;
    ~VsftpdServer();
    VsftpdServer(const VsftpdServer &) = delete;
    VsftpdServer &operator=(const VsftpdServer &) = delete;

    // Whether vsftpd is installed and the account exists or could be
    // created; `why` says what is missing otherwise.
    static bool ensureAccount(QString *why);

    // host is "127.0.0.1" or "::1". rootDir is made writable for the
    // account. Waits until the server answers.
    bool start(const QString &rootDir, const QString &host = QStringLiteral("127.0.0.1"));
    void stop();
    // At most this many sessions at once (vsftpd's max_clients); those
    // beyond are answered 421. 0: no limit. Set before start().
    void setMaxClients(int count) { maxClients = count; }

    quint16 port() const { return serverPort; }
    QString host() const { return serverHost; }
    QString errorText() const { return lastError; }

private:
    bool startOnce(const QString &rootDir);
    QByteArray pamService();

    QProcess process;
    QTemporaryDir confDir;
    quint16 serverPort = 0;
    QString serverHost;
    QString lastError;
    int maxClients = 0;
    // The name of the fixture's PAM service, once its file is written.
    QByteArray pamServiceName;
};

#endif // TESTLIB_VSFTPDSERVER_H
