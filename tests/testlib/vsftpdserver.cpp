#include "vsftpdserver.h"

#include "serverprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <pwd.h>
#include <unistd.h>

const char *const VsftpdServer::user = "marvoline";
const char *const VsftpdServer::password = "qd4739";
const char *const VsftpdServer::program = "/usr/sbin/vsftpd";

namespace {

bool run(const QString &program, const QStringList &args, const QByteArray &input, QString *why)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000)) {
        *why = program + QLatin1String(": ") + p.errorString();
        return false;
    }
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(20000);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *why = program + QLatin1String(": ") + QString::fromLocal8Bit(p.readAll());
        return false;
    }
    return true;
}

const QFile::Permissions everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
    | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
    | QFile::ExeOther;
const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
    | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

} // namespace

VsftpdServer::~VsftpdServer()
{
    stop();
    if (!pamServiceName.isEmpty())
        QFile::remove(QLatin1String("/etc/pam.d/") + QString::fromLatin1(pamServiceName));
}

// Writes a PAM service that checks the password and the account's expiry
// only: no pam_shells (an account whose shell is not in /etc/shells still
// logs in) and no ftpusers list. One per server object, as test programs run
// in parallel. Falls back to Debian's service when /etc/pam.d is not ours
// to write.
QByteArray VsftpdServer::pamService()
{
    if (!pamServiceName.isEmpty())
        return pamServiceName;
    static int serial = 0;
    const QByteArray name = "updater-tests-vsftpd-" + QByteArray::number(getpid()) + '-'
        + QByteArray::number(++serial);
    QFile file(QLatin1String("/etc/pam.d/") + QString::fromLatin1(name));
    const QByteArray service
        = "# The updater's tests: one vsftpd they run; removed when it stops.\n"
          "auth     required pam_unix.so\n"
          "account  required pam_unix.so\n"
          "session  required pam_permit.so\n";
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(service) != service.size()) {
        file.remove();
        return QByteArrayLiteral("vsftpd");
    }
    pamServiceName = name;
    return pamServiceName;
}

bool VsftpdServer::ensureAccount(QString *why)
{
    if (!QFileInfo(QString::fromLatin1(program)).isExecutable()) {
        *why = QStringLiteral("vsftpd is not installed");
        return false;
    }
    if (getpwnam(user))
        return true;
    if (geteuid() != 0) {
        *why = QStringLiteral("the account \"marvoline\" is missing and only root may create it");
        return false;
    }
    // A shell listed in /etc/shells, so that Debian's own vsftpd service
    // would take the account too.
    if (!run(QStringLiteral("/usr/sbin/useradd"),
            {QStringLiteral("-M"), QStringLiteral("-d"), QStringLiteral("/"), QStringLiteral("-s"),
                QStringLiteral("/bin/sh"), QString::fromLatin1(user)},
            QByteArray(), why))
        return false;
    return run(QStringLiteral("/usr/sbin/chpasswd"), {},
        QByteArray(user) + ':' + QByteArray(password) + '\n', why);
}

bool VsftpdServer::start(const QString &rootDir, const QString &host)
{
    stop();
    serverHost = host;
    if (!confDir.isValid()) {
        lastError = QStringLiteral("no temporary folder for the configuration");
        return false;
    }
    // vsftpd chroots its unprivileged helper into an empty folder that root owns.
    QFile::setPermissions(confDir.path(), readable);
    QDir(confDir.path()).mkpath(QStringLiteral("empty"));
    QFile::setPermissions(confDir.filePath(QStringLiteral("empty")), readable);
    // The session runs as the account, which must be able to write there.
    QFile::setPermissions(rootDir, everyone);
    // The port is chosen by binding port 0 and releasing it, so another
    // process may take it in between: try a few times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOnce(rootDir))
            return true;
        stop();
    }
    return false;
}

bool VsftpdServer::startOnce(const QString &rootDir)
{
    const QHostAddress address(serverHost);
    {
        QTcpServer probe;
        if (!probe.listen(address, 0)) {
            lastError = probe.errorString();
            return false;
        }
        serverPort = probe.serverPort();
    }
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    QByteArray conf;
    conf += "background=NO\n";
    conf += v6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=" + serverHost.toLatin1() + "\n"
               : "listen=YES\nlisten_ipv6=NO\nlisten_address=" + serverHost.toLatin1() + "\n";
    conf += "listen_port=" + QByteArray::number(serverPort) + "\n";
    conf += "anonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\n";
    conf += "local_root=" + QFile::encodeName(rootDir) + "\n";
    conf += "chroot_local_user=NO\nseccomp_sandbox=NO\n";
    // Passive ports: any free one the system hands out.
    conf += "pasv_enable=YES\npasv_min_port=0\npasv_max_port=0\n";
    conf += "port_enable=YES\nconnect_from_port_20=NO\n";
    conf += "pam_service_name=" + pamService() + "\n";
    conf += "secure_chroot_dir=" + QFile::encodeName(confDir.filePath(QStringLiteral("empty")))
        + "\n";
    conf += "xferlog_enable=NO\nuse_localtime=YES\nssl_enable=NO\n";
    conf += "max_clients=" + QByteArray::number(maxClients) + "\nmax_per_ip=0\n";
    const QString confPath = confDir.filePath(QStringLiteral("vsftpd.conf"));
    QFile file(confPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(conf) != conf.size()) {
        lastError = file.errorString();
        return false;
    }
    file.close();

    if (!ServerProcess::start(process, QString::fromLatin1(program), {confPath},
            QProcess::MergedChannels, &lastError))
        return false;
    // vsftpd prints nothing when it is ready: wait for its greeting.
    QTcpSocket probe;
    if (!ServerProcess::waitForPort(process, address, serverPort, 10000, &probe)) {
        lastError = process.state() == QProcess::NotRunning
            ? QString::fromLocal8Bit(process.readAll())
            : QStringLiteral("vsftpd did not answer on port %1").arg(serverPort);
        return false;
    }
    QByteArray greeting;
    while (!greeting.contains('\n') && probe.waitForReadyRead(2000))
        greeting += probe.readAll();
    probe.abort();
    if (greeting.startsWith("220"))
        return true;
    lastError = QString::fromLatin1(greeting);
    return false;
}

void VsftpdServer::stop()
{
    ServerProcess::stop(process);
    serverPort = 0;
}
