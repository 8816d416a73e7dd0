#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "busyindicator.h"
#include "dirmanager.h"
#include "ftpsource.h"
#include "installer.h"
#include "platform.h"
#include "qftp.h"
#include "releasefiles.h"
#include "settings.h"
#include "signatureverifier.h"
#include "sourcelist.h"
#include "version.h"

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
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {

const char *const ftpUser = FtpSource::user;
const char *const ftpPassword = FtpSource::password;

QString readAllText(QFile *file)
{
    QTextStream stream(file);
    const QString text = stream.readAll();
    file->close();
    return text;
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

    publicKey = SignatureVerifier::builtInPublicKey();
    if (publicKey.isEmpty())
        qDebug() << "Archives are not verified: the updater was built without a public key";

    ftp = new QFtp(this);
    ftp->connectToHost(serverHost, quint16(serverPort));
    ftp->login(QLatin1String(ftpUser), QLatin1String(ftpPassword));

    connect(ftp, SIGNAL(listInfo(QUrlInfo)), this, SLOT(handleListInfo(QUrlInfo)));
    connect(ftp, SIGNAL(stateChanged(int)), this, SLOT(handleStateChanged(int)));
    connect(ftp, SIGNAL(done(bool)), this, SLOT(commandFinished(bool)));

    // The signature and the archive, and the version when the primary
    // server cannot tell it, come through the sources.
    sources = new SourceList(ftp, serverHost, quint16(serverPort), serverAppDir, serverMirrors,
        DirManager::getAppDir(), this);
    connect(sources, &SourceList::sourceLeft, this,
        [](const QString &line) { qDebug().noquote() << line; });
    connect(sources, &SourceList::versionFetched, this, [this](bool ok) {
        if (ok)
            versionReceived();
        else
            finish(QStringLiteral("No update: no source answered"));
    });
    connect(sources, &SourceList::releaseFetched, this, [this](bool ok, const QString &reason) {
        if (stage != WaitArchive)
            return;
        if (!ok)
            return finish(QStringLiteral("Update not installed: ") + reason);
        qDebug().noquote() << "Downloaded:" << progressBar->format();
        archiveReceived();
    });
    connect(sources, &SourceList::progress, this, &MainWindow::showProgress);
    connect(sources, &SourceList::status, this, [this](const QString &text) {
        setStatus(text.isEmpty() ? QStringLiteral("Downloading update...") : text);
    });
}

MainWindow::~MainWindow()
{
    if (verifier) {
        verifier->wait();
        delete verifier;
    }
    // The sources' files may be the client's download targets.
    delete sources;
    delete ftp;
    delete versionFile;
    delete ui;
}

QString MainWindow::statusText() const
{
    return statusLabel->text();
}

void MainWindow::setStatus(const QString &text)
{
    // One step may set the same text twice (the signature, then the archive).
    if (text == statusLabel->text())
        return;
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
            primaryFailed();
            break;
        }
        stage = WaitList;
        ftp->list(QString());
        break;
    case WaitList:
        if (error) {
            primaryFailed();
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
            primaryFailed();
            break;
        }
        versionReceived();
        break;
    case WaitReconnect:
        if (error) {
            finish(QStringLiteral("Update not installed: reconnecting failed: ") + ftpFailure());
            break;
        }
        downloadRelease();
        break;
    default:
        break;
    }
    qDebug() << "finished";
}

void MainWindow::primaryFailed()
{
    // Without mirrors a server that is not there is left at once, as it
    // always was: the application starts without waiting.
    if (!sources->hasMirrors()) {
        finish(QStringLiteral("No update: ") + ftpFailure());
        return;
    }
    if (stage == WaitLogin && FtpSource::wasOverloaded(ftp)
        && overloadRetries++ < ReleaseSource::maxOverloadRetries) {
        // Busy, or refusing connections for now: twice more, after a pause.
        QTimer::singleShot(ReleaseSource::overloadPause(), this, [this] {
            if (stage != WaitLogin)
                return;
            ftp->connectToHost(serverHost, quint16(serverPort));
            ftp->login(QLatin1String(ftpUser), QLatin1String(ftpPassword));
        });
        return;
    }
    stage = WaitSources;
    sources->fetchVersionFromMirrors(ftpFailure());
}

void MainWindow::versionReceived()
{
    stage = WaitArchive;
    QFile file(DirManager::getAppDir() + QLatin1Char('/')
        + QLatin1String(ReleaseFiles::downloadedVersionFile));
    if (!file.open(QIODevice::ReadOnly)) {
        finish(QStringLiteral("No update: cannot read \"%1\": %2")
                   .arg(file.fileName(), file.errorString()));
        return;
    }
    remoteVersion = Version::clean(readAllText(&file));
    if (Version::compare(remoteVersion, localVersion) > 0)
        askForUpdate();
    else
        finish(QStringLiteral("No newer version: installed \"%1\", published \"%2\"")
                   .arg(localVersion, remoteVersion));
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
        if (ftp->state() == QFtp::LoggedIn || !sources->answeredByPrimary()) {
            downloadRelease();
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

void MainWindow::downloadRelease()
{
    // The signature first (it is small, and without it the archive is of no
    // use), then the archive; the sources drive the session from here.
    stage = WaitArchive;
    ftp->disconnect(this);
    setStatus(QStringLiteral("Downloading update..."));
    progressBar->setRange(0, 0);
    progressBar->show();
    downloadClock.start();
    sources->fetchRelease(remoteVersion, !publicKey.isEmpty());
}

void MainWindow::showProgress(qint64 done, qint64 total)
{
    if (stage != WaitArchive || !progressBar->isVisible())
        return;
    const qint64 elapsed = qMax<qint64>(downloadClock.elapsed(), 1);
    showAmount(done, total,
        QStringLiteral(" (%1/s)").arg(QLocale().formattedDataSize(done * 1000 / elapsed)));
}

void MainWindow::showInstallProgress(qint64 done, qint64 total)
{
    showAmount(done, total, QString());
}

void MainWindow::showAmount(qint64 done, qint64 total, const QString &suffix)
{
    const QLocale locale;
    QString text = locale.formattedDataSize(done);
    if (total > 0)
        text = QStringLiteral("%1 of %2").arg(text, locale.formattedDataSize(total));
    progressBar->setFormat(text + suffix);
    if (total > 0) {
        progressBar->setRange(0, 1000);
        progressBar->setValue(int(qBound<qint64>(0, done * 1000 / total, 1000)));
    }
}

void MainWindow::archiveReceived()
{
    const QString archive = sources->archivePath();
    if (publicKey.isEmpty()) {
        installArchive(archive);
        return;
    }
    QFile signature(sources->signaturePath());
    if (signature.size() > ReleaseFiles::maxSignatureSize) {
        finish(QStringLiteral("Update not installed: the signature \"%1\" is too large to be one")
                   .arg(signature.fileName()));
        return;
    }
    if (!signature.open(QIODevice::ReadOnly)) {
        finish(QStringLiteral("Update not installed: cannot read the signature \"%1\": %2")
                   .arg(signature.fileName(), signature.errorString()));
        return;
    }
    // Hashing a large archive takes a while: off the GUI thread, so that the
    // window keeps answering. A close meanwhile ends the run as any other
    // cancel does; the verdict then finds the stage moved on and is dropped.
    stage = Verifying;
    struct Verdict
    {
        bool ok = false;
        QString version;
        QString why;
    };
    auto verdict = std::make_shared<Verdict>();
    verifier = QThread::create([verdict, key = publicKey, archive, bytes = signature.readAll()] {
        verdict->ok
            = SignatureVerifier::verify(key, archive, bytes, &verdict->version, &verdict->why);
    });
    connect(verifier, &QThread::finished, this, [this, verdict, archive] {
        if (stage != Verifying)
            return;
        QString refusal;
        if (!verdict->ok)
            refusal = QStringLiteral("signature refused: ") + verdict->why;
        else
            refusal = checkTrustedVersion(Version::clean(verdict->version));
        if (refusal.isEmpty()) {
            installArchive(archive);
        } else {
            // Another source, or the same file whole, may yet serve.
            stage = WaitArchive;
            sources->refuseRelease(refusal);
        }
    });
    verifier->start();
}

QString MainWindow::checkTrustedVersion(const QString &trustedVersion) const
{
    // A genuine older release served under a newer "version.ver" (a replay)
    // carries its own version in the signed comment.
    if (trustedVersion != remoteVersion)
        return QStringLiteral("the signed version \"%1\" is not the published version \"%2\"")
            .arg(trustedVersion, remoteVersion);
    if (Version::compare(trustedVersion, localVersion) <= 0)
        return QStringLiteral(
            "the signed version \"%1\" is not newer than the installed version \"%2\"")
            .arg(trustedVersion, localVersion);
    qDebug().noquote() << QStringLiteral("Signature verified: version %1").arg(trustedVersion);
    return QString();
}

void MainWindow::installArchive(const QString &archivePath)
{
    stage = Installing;
    setStatus(QStringLiteral("Installing update..."));
    progressBar->setRange(0, 0);
    progressBar->setFormat(QString());
    progressBar->show();
    // Off the GUI thread: the window keeps painting and answering while the
    // archive is unpacked, and a failure leaves the old installation whole.
    installer = new Installer(archivePath, DirManager::getAppDir(), this);
    connect(installer, &Installer::progress, this, &MainWindow::showInstallProgress);
    connect(installer, &Installer::finished, this, [this](bool ok, const QString &reason) {
        if (ok)
            finish(QStringLiteral("Update installed"));
        else
            finish(QStringLiteral("Update not installed: ") + reason);
    });
    installer->start();
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
    if (stage == Installing) {
        // Stopping the swap half way would leave neither version: the
        // install completes (or rolls back), and its end starts the application.
        event->ignore();
        if (!closeDeferred)
            qDebug() << "Window closed during the install: the application starts when it ends";
        closeDeferred = true;
        return;
    }
    if (!launching) {
        // Whatever runs is of no use any more; stage Finished makes its end a no-op.
        stage = Finished;
        ftp->abort();
        // The archive's bytes so far stay for the next run.
        sources->cancel();
        finish(QStringLiteral("Window closed: update cancelled"));
    }
    QMainWindow::closeEvent(event);
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
