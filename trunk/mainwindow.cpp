#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "busyindicator.h"
#include "dirmanager.h"
#include "platform.h"
#include "qftp.h"
#include "settings.h"
#include "version.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QTextStream>

namespace {

const char ftpUser[] = "marvoline";
const char ftpPassword[] = "qd4739";

QString readAllText(QFile *file)
{
    QTextStream stream(file);
    const QString text = stream.readAll();
    file->close();
    return text;
}

// Where an archive entry would be written inside root (a clean absolute
// path), or a null string when it would land anywhere else.
QString entryTarget(const QString &root, QString name)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || QDir::isAbsolutePath(name)
        || (name.size() >= 2 && name.at(1) == QLatin1Char(':')))
        return QString();
    const QString target = QDir::cleanPath(root + QLatin1Char('/') + name);
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (target != root && !target.startsWith(prefix))
        return QString();
    return target;
}

struct ArchiveEntry
{
    QString target;
    bool isDir;
    QFile::Permissions permissions;
};

// Reads every entry to its end so that minizip checks its CRC; an archive
// with any unreadable, damaged, linked or escaping entry is refused whole.
bool checkArchive(QuaZip &zip, const QString &root, QList<ArchiveEntry> &entries)
{
    QuaZipFile file(&zip);
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info) || info.isSymbolicLink())
            return false;
        const QString target = entryTarget(root, info.name);
        if (target.isNull())
            return false;
        if (!file.open(QIODevice::ReadOnly))
            return false;
        qint64 got;
        while ((got = file.read(buffer.data(), buffer.size())) > 0) { }
        const bool readWhole = got == 0 && file.atEnd() && file.getZipError() == UNZ_OK;
        file.close();
        if (!readWhole || file.getZipError() != UNZ_OK)
            return false;
        const bool isDir = info.name.endsWith(QLatin1Char('/'));
        entries.append({target, isDir, info.getPermissions()});
    }
    return zip.getZipError() == UNZ_OK;
}

bool extractEntry(QuaZip &zip, const QString &root, const ArchiveEntry &entry)
{
    if (entry.isDir)
        return entry.target == root || QDir().mkpath(entry.target);
    if (!QDir().mkpath(QFileInfo(entry.target).path()))
        return false;
    QuaZipFile in(&zip);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    // Written beside the target and renamed over it: each file is replaced
    // whole, and a program that is running (the updater itself) can be replaced.
    QSaveFile out(entry.target);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    qint64 got;
    while ((got = in.read(buffer.data(), buffer.size())) > 0) {
        if (out.write(buffer.constData(), got) != got)
            return false;
    }
    in.close();
    if (got < 0 || in.getZipError() != UNZ_OK || !out.commit())
        return false;
    // Archives made without Unix attributes carry no permissions: keep the defaults.
    if (entry.permissions != QFile::Permissions())
        QFile::setPermissions(entry.target, entry.permissions);
    return true;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    busyIndicator = new BusyIndicator(this);
    busyIndicator->setColor(Qt::blue);
    busyIndicator->setIndicatorStyle(BusyIndicator::EllipseStyle);
    busyIndicator->move(
        width() / 2 - busyIndicator->width() / 2, height() / 2 - busyIndicator->height() / 2);
    busyIndicator->show();

    // Under the spinner: what the updater is doing, and during the archive
    // download how far it has got.
    statusLabel = new QLabel(this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setAlignment(Qt::AlignCenter);
    statusLabel->setGeometry(0, busyIndicator->geometry().bottom() + 8, width(), 24);
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setGeometry(40, statusLabel->geometry().bottom() + 6, width() - 80, 24);
    progressBar->setAlignment(Qt::AlignCenter);
    progressBar->hide();
    setStatus(QStringLiteral("Checking for updates..."));

    QString localPath;
    if (Platform::isWindows()) {
        if (QDir(DirManager::getAppDir() + QLatin1String("/Bin")).exists()
            && QFile::exists(DirManager::getAppDir() + QLatin1String("/Bin/version.ver")))
            localPath = DirManager::getAppDir() + QLatin1String("/Bin/version.ver");
    } else if (QFile::exists(DirManager::getAppDir() + QLatin1String("/version.ver"))) {
        localPath = DirManager::getAppDir() + QLatin1String("/version.ver");
    }
    if (!localPath.isEmpty()) {
        QFile local(localPath);
        if (local.open(QIODevice::ReadOnly))
            localVersion = Version::clean(readAllText(&local));
    }

    ftp = new QFtp(this);
    ftp->connectToHost(serverHost, quint16(serverPort));
    ftp->login(QLatin1String(ftpUser), QLatin1String(ftpPassword));

    connect(ftp, SIGNAL(listInfo(QUrlInfo)), this, SLOT(handleListInfo(QUrlInfo)));
    connect(ftp, SIGNAL(stateChanged(int)), this, SLOT(handleStateChanged(int)));
    connect(ftp, SIGNAL(done(bool)), this, SLOT(commandFinished(bool)));
    connect(ftp, &QFtp::dataTransferProgress, this, &MainWindow::showProgress);
}

MainWindow::~MainWindow()
{
    // The client may still hold a file as its download target.
    delete ftp;
    delete zipFile;
    delete versionFile;
    delete ui;
}

QString MainWindow::statusText() const
{
    return statusLabel->text();
}

void MainWindow::setStatus(const QString &text)
{
    // Logged too: the log then tells what the person saw, and when.
    qDebug().noquote() << "Status:" << text;
    statusLabel->setText(text);
}

QString MainWindow::ftpFailure() const
{
    // The client's texts put the server's reply on a line of its own.
    return ftp->errorString().replace(QLatin1Char('\n'), QLatin1Char(' '));
}

void MainWindow::handleStateChanged(int state)
{
    // Also after a reconnect: every login is followed by the folder change.
    if (state == QFtp::LoggedIn)
        ftp->cd(serverAppDir);
    else
        qDebug() << "Logging in";
}

void MainWindow::handleListInfo(const QUrlInfo &info)
{
    // Only the archive's size is of use: the question announces it.
    if (info.isFile() && info.name() == QLatin1String("app.zip"))
        archiveSize = info.size();
}

QFile *MainWindow::openTarget(const QString &localName)
{
    auto *file = new QFile(DirManager::getAppDir() + QLatin1Char('/') + localName);
    if (file->open(QIODevice::WriteOnly))
        return file;
    finish(QStringLiteral("Cannot write \"%1\": %2").arg(file->fileName(), file->errorString()));
    delete file;
    return nullptr;
}

void MainWindow::commandFinished(bool error)
{
    switch (stage) {
    case WaitLogin:
        // A refused login or folder change ends the session here: another
        // folder's "version.ver" and "app.zip" are not ours to compare or install.
        if (error) {
            finish(QStringLiteral("No update: ") + ftpFailure());
            break;
        }
        stage = WaitList;
        ftp->list(QString());
        break;
    case WaitList:
        if (error) {
            finish(QStringLiteral("No update: ") + ftpFailure());
            break;
        }
        stage = WaitVersionFile;
        versionFile = openTarget(QStringLiteral("new_version.ver"));
        if (versionFile)
            ftp->get(QStringLiteral("version.ver"), versionFile, QFtp::Binary);
        break;
    case WaitVersionFile:
        stage = WaitArchive;
        versionFile->close();
        if (error) {
            finish(QStringLiteral("No update: ") + ftpFailure());
            break;
        }
        if (!versionFile->open(QIODevice::ReadOnly)) {
            finish(QStringLiteral("No update: cannot read \"%1\": %2")
                       .arg(versionFile->fileName(), versionFile->errorString()));
            break;
        }
        remoteVersion = Version::clean(readAllText(versionFile));
        if (Version::compare(remoteVersion, localVersion) > 0)
            askForUpdate();
        else
            finish(QStringLiteral("No newer version: installed \"%1\", published \"%2\"")
                       .arg(localVersion, remoteVersion));
        break;
    case WaitReconnect:
        if (error) {
            finish(QStringLiteral("Update not installed: reconnecting failed: ") + ftpFailure());
            break;
        }
        downloadArchive();
        break;
    case WaitArchive:
        stage = Finished;
        if (zipFile)
            zipFile->close();
        // A failed download is never installed: the installed application is
        // started as it is rather than half replaced.
        if (error) {
            finish(QStringLiteral("Update not installed: ") + ftpFailure());
            break;
        }
        qDebug().noquote() << "Downloaded:" << progressBar->format();
        archiveReceived();
        break;
    default:
        break;
    }
    qDebug() << "finished";
}

void MainWindow::askForUpdate()
{
    QMessageBox box(nullptr);
    box.setText(QStringLiteral("New update is available. Do you want to update now?"));
    QStringList details;
    details << QStringLiteral("Installed version: %1")
                   .arg(localVersion.isEmpty() ? QStringLiteral("none") : localVersion)
            << QStringLiteral("Published version: %1").arg(remoteVersion);
    if (archiveSize >= 0)
        details
            << QStringLiteral("Download size: %1").arg(QLocale().formattedDataSize(archiveSize));
    box.setInformativeText(details.join(QLatin1Char('\n')));
    qDebug().noquote() << "Question:" << details.join(QLatin1String("; "));
    box.addButton(QMessageBox::No);
    box.addButton(QMessageBox::Yes);
    box.exec();

    // Closing the box counts as No: No is its escape button.
    const QAbstractButton *clicked = box.clickedButton();
    if (!clicked || clicked->text() == box.button(QMessageBox::No)->text()) {
        finish(QStringLiteral("Update declined"));
    } else if (clicked->text() == box.button(QMessageBox::Yes)->text()) {
        if (ftp->state() == QFtp::LoggedIn) {
            downloadArchive();
        } else {
            // The server dropped the session while the question was open (servers
            // close idle ones after a few minutes): log in again first.
            stage = WaitReconnect;
            setStatus(QStringLiteral("Downloading update..."));
            ftp->connectToHost(serverHost, quint16(serverPort));
            ftp->login(QLatin1String(ftpUser), QLatin1String(ftpPassword));
        }
    }
}

void MainWindow::downloadArchive()
{
    stage = WaitArchive;
    zipFile = openTarget(QStringLiteral("app.zip"));
    if (!zipFile)
        return;
    setStatus(QStringLiteral("Downloading update..."));
    progressBar->setRange(0, 0);
    progressBar->show();
    downloadClock.start();
    ftp->get(QStringLiteral("app.zip"), zipFile, QFtp::Binary);
}

void MainWindow::showProgress(qint64 done, qint64 total)
{
    if (stage != WaitArchive || !progressBar->isVisible())
        return;
    const QLocale locale;
    QString text = locale.formattedDataSize(done);
    if (total > 0) {
        progressBar->setRange(0, 1000);
        progressBar->setValue(int(qBound<qint64>(0, done * 1000 / total, 1000)));
        text = QStringLiteral("%1 of %2").arg(text, locale.formattedDataSize(total));
    }
    const qint64 elapsed = qMax<qint64>(downloadClock.elapsed(), 1);
    text += QStringLiteral(" (%1/s)").arg(locale.formattedDataSize(done * 1000 / elapsed));
    progressBar->setFormat(text);
}

void MainWindow::archiveReceived()
{
    const QString archive = DirManager::getAppDir() + QLatin1String("/app.zip");
    // The archive's signature is checked here, before anything is installed.
    installArchive(archive);
}

void MainWindow::installArchive(const QString &archivePath)
{
    progressBar->hide();
    setStatus(QStringLiteral("Installing update..."));
    statusLabel->repaint();
    // A damaged archive is never unpacked: the installed application is
    // started as it is rather than half replaced.
    if (unpackArchive(archivePath, DirManager::getAppDir()))
        finish(QStringLiteral("Update installed"));
    else
        finish(QStringLiteral("Update not installed: \"%1\" is damaged or holds unsafe entries")
                   .arg(archivePath));
}

void MainWindow::finish(const QString &reason)
{
    if (launching)
        return;
    stage = Finished;
    qDebug().noquote() << reason;
    setStatus(QStringLiteral("Starting %1...").arg(appName));
    launchApplication();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!launching) {
        // Whatever runs is of no use any more; stage Finished makes its end a no-op.
        stage = Finished;
        ftp->abort();
        finish(QStringLiteral("Window closed: update cancelled"));
    }
    QMainWindow::closeEvent(event);
}

bool MainWindow::unpackArchive(const QString &archivePath, const QString &targetDir)
{
    QuaZip zip(archivePath);
    if (!zip.open(QuaZip::mdUnzip))
        return false;
    const QString root = QDir::cleanPath(QDir(targetDir).absolutePath());
    QList<ArchiveEntry> entries;
    if (!checkArchive(zip, root, entries))
        return false;

    int index = 0;
    for (bool more = zip.goToFirstFile(); more && index < entries.size();
         more = zip.goToNextFile(), ++index) {
        if (!extractEntry(zip, root, entries.at(index)))
            return false;
    }
    return index == entries.size();
}

bool MainWindow::launchCommand(const QString &appDir, const QString &name, QString *program,
    QStringList *arguments, QString *reason)
{
    bool safe = !name.isEmpty() && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1String(".."));
    for (const QChar c : name)
        safe = safe && c.category() != QChar::Other_Control;
    if (!safe) {
        *reason = name.isEmpty()
            ? QStringLiteral("Application not started: no \"sappname\" in the configuration")
            : QStringLiteral("Application not started: the name \"%1\" could point outside \"%2\"")
                  .arg(name, appDir);
        return false;
    }
    // Program and arguments as a list: nothing in the name is ever split or
    // read as quoting.
    if (Platform::isWindows()) {
        *program = appDir + QLatin1String("/Bin/") + name + QLatin1String(".exe");
        *arguments = QStringList();
    } else {
        *program = QStringLiteral("open");
        *arguments = QStringList {appDir + QLatin1Char('/') + name + QLatin1String(".app")};
    }
    return true;
}

void MainWindow::launchApplication()
{
    launching = true;
    stage = Finished;
    QString program;
    QStringList arguments;
    QString reason;
    const bool safe
        = launchCommand(DirManager::getAppDir(), appName, &program, &arguments, &reason);

    hide();
    if (safe)
        QProcess::execute(program, arguments);
    else
        qDebug().noquote() << reason;
    close();
}

#include "moc_mainwindow.cpp"
