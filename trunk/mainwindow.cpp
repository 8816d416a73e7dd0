#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "busyindicator.h"
#include "dirmanager.h"
#include "platform.h"
#include "qftp.h"
#include "settings.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
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

    QString localText;
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
            localText = readAllText(&local);
    }
    localVersion = versionNumber(localText);

    ftp = new QFtp(this);
    ftp->connectToHost(serverHost, quint16(serverPort));
    ftp->login(QLatin1String(ftpUser), QLatin1String(ftpPassword));

    connect(ftp, SIGNAL(listInfo(QUrlInfo)), this, SLOT(handleListInfo(QUrlInfo)));
    connect(ftp, SIGNAL(stateChanged(int)), this, SLOT(handleStateChanged(int)));
    connect(ftp, SIGNAL(done(bool)), this, SLOT(commandFinished(bool)));
}

MainWindow::~MainWindow()
{
    // The client may still hold a file as its download target.
    delete ftp;
    delete zipFile;
    delete versionFile;
    delete ui;
}

int MainWindow::versionNumber(QString text)
{
    text.replace(QLatin1String("\n"), QString());
    text.replace(QLatin1String("\r"), QString());
    text.replace(QLatin1String("."), QString());
    return text.toInt(nullptr, 10);
}

void MainWindow::handleStateChanged(int state)
{
    if (state == QFtp::LoggedIn)
        ftp->cd(serverAppDir);
    else
        qDebug() << "Logging in";
}

void MainWindow::handleListInfo(const QUrlInfo &)
{
    // The procedure does not look at the folder's entries.
}

void MainWindow::commandFinished(bool error)
{
    switch (stage) {
    case WaitLogin:
        stage = WaitList;
        ftp->list(QString());
        break;
    case WaitList:
        stage = WaitVersionFile;
        versionFile = new QFile(DirManager::getAppDir() + QLatin1String("/new_version.ver"));
        // Without a file to write into, nothing is queued and the window stays.
        if (versionFile->open(QIODevice::WriteOnly))
            ftp->get(QStringLiteral("version.ver"), versionFile, QFtp::Binary);
        break;
    case WaitVersionFile: {
        stage = WaitArchive;
        versionFile->close();
        delete versionFile;
        versionFile = new QFile(DirManager::getAppDir() + QLatin1String("/new_version.ver"));
        if (versionFile->open(QIODevice::ReadOnly))
            remoteVersion = versionNumber(readAllText(versionFile));
        if (remoteVersion > localVersion)
            askForUpdate();
        else
            launchApplication();
        break;
    }
    case WaitArchive:
        stage = Finished;
        if (zipFile)
            zipFile->close();
        // A failed or damaged download is never unpacked: the installed
        // application is started as it is rather than half replaced.
        if (!error)
            unpackArchive(
                DirManager::getAppDir() + QLatin1String("/app.zip"), DirManager::getAppDir());
        launchApplication();
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
    box.addButton(QMessageBox::No);
    box.addButton(QMessageBox::Yes);
    box.exec();

    // Closing the box counts as No: No is its escape button.
    const QAbstractButton *clicked = box.clickedButton();
    if (!clicked || clicked->text() == box.button(QMessageBox::No)->text()) {
        launchApplication();
    } else if (clicked->text() == box.button(QMessageBox::Yes)->text()) {
        zipFile = new QFile(DirManager::getAppDir() + QLatin1String("/app.zip"));
        if (zipFile->open(QIODevice::WriteOnly))
            ftp->get(QStringLiteral("app.zip"), zipFile, QFtp::Binary);
    }
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

void MainWindow::launchApplication()
{
    const QString appDir = DirManager::getAppDir();
    // Both forms keep the path one argument, blanks and all.
    QString command;
    if (Platform::isWindows())
        command = QLatin1Char('"') + appDir + QLatin1String("/Bin/") + appName
            + QLatin1String(".exe\"");
    else
        command = QLatin1String("open \"") + appDir + QLatin1Char('/') + appName
            + QLatin1String(".app\"");

    hide();
    QStringList arguments = QProcess::splitCommand(command);
    if (!arguments.isEmpty()) {
        const QString program = arguments.takeFirst();
        QProcess::execute(program, arguments);
    }
    close();
}

#include "moc_mainwindow.cpp"
