#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "cappedfile.h"
#include "deltaplan.h"
#include "deltaupdate.h"
#include "dirmanager.h"
#include "ftpsource.h"
#include "installation.h"
#include "installer.h"
#include "keyringwalk.h"
#include "launcher.h"
#include "manifestcheck.h"
#include "qftp.h"
#include "readyupdate.h"
#include "releasedownload.h"
#include "releasefiles.h"
#include "safefiles.h"
#include "settings.h"
#include "signatureverifier.h"
#include "sourcelist.h"
#include "statusview.h"
#include "trial.h"
#include "updateoffer.h"
#include "updatequestion.h"
#include "updatestate.h"
#include "version.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QLocale>
#include <QTimer>

namespace {

const char *const ftpUser = FtpSource::user;
const char *const ftpPassword = FtpSource::password;

ShownText shown(const char *source)
{
    return ShownText("MainWindow", source);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(*new Installation(DirManager::getAppDir()), parent)
{
    ownInstallation.reset(installation);
}

MainWindow::MainWindow(Installation &installation, QWidget *parent, ReadyUpdate *ready)
    : QMainWindow(parent)
    , installation(&installation)
    , ready(ready)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    statusView = new StatusView(this);
    statusView->setText(shown(QT_TR_NOOP("Checking for updates...")));

    publicKey = SignatureVerifier::builtInPublicKey();
    if (publicKey.isEmpty())
        qDebug() << "Archives are not verified: the updater was built without a public key";

    ftp = new QFtp(this);

    connect(ftp, SIGNAL(listInfo(QUrlInfo)), this, SLOT(handleListInfo(QUrlInfo)));
    connect(ftp, SIGNAL(stateChanged(int)), this, SLOT(handleStateChanged(int)));
    connect(ftp, SIGNAL(done(bool)), this, SLOT(commandFinished(bool)));
    connect(ftp, &QFtp::dataTransferProgress, this, [this](qint64, qint64 total) {
        // The size the server announces before sending: an oversized version
        // file is not asked for. Stopped from the event loop, not from inside
        // the reply.
        if (stage == WaitVersionFile && ftp->currentDevice() == versionFile
            && !versionFile->admits(total)) {
            QTimer::singleShot(0, ftp, [this] {
                if (ftp->currentDevice() == versionFile)
                    ftp->abort();
            });
        }
    });

    // The manifest, the signature and the archive, and the version when the
    // primary server cannot tell it, come through the sources.
    sources = new SourceList(ftp, serverHost, quint16(serverPort), serverAppDir, serverMirrors,
        DirManager::getAppDir(), this);
    connect(sources, &SourceList::sourceLeft, this,
        [](const QString &line) { qDebug().noquote() << line; });
    connect(sources, &SourceList::versionFetched, this, [this](bool ok) {
        if (!ok)
            return finish(QStringLiteral("No update: no source answered"));
        remoteVersion = sources->publishedVersion();
        versionReceived();
    });
    connect(sources, &SourceList::manifestFetched, this, [this](bool ok) {
        if (ok)
            judgeManifest();
        else
            manifestMissing();
    });
    connect(sources, &SourceList::fileFetched, this, &MainWindow::deltaFileFetched);
    connect(sources, &SourceList::progress, this, &MainWindow::showProgress);
    connect(sources, &SourceList::status, this, [this](const ShownText &text) {
        statusView->setText(text.isEmpty() ? shown(QT_TR_NOOP("Downloading update...")) : text);
    });
    // The archive's end is the last end of a command, as the version
    // file's was: before the check and the install it leads to.
    connect(sources, &SourceList::releaseFetched, this, [this](bool ok) {
        if (stage == WaitArchive)
            commandFinished(!ok);
    });
    download = new ReleaseDownload(sources, publicKey, this);
    keyrings = new KeyringWalk(DirManager::getAppDir(), publicKey, {appName, serverAppDir}, this);
    connect(keyrings, &KeyringWalk::walked, sources, &SourceList::sourceLeft);
    connect(keyrings, &KeyringWalk::finished, this, [this](bool ok, const QString &reason) {
        if (!ok)
            return releaseRefused(reason);
        download->setKeyring(keyrings->newest());
        sources->fetchManifest();
    });
    connect(download, &ReleaseDownload::downloaded, this,
        [this] { qDebug().noquote() << "Downloaded:" << statusView->amount(); });
    connect(download, &ReleaseDownload::signatureVerified, this, [](const QString &version) {
        qDebug().noquote() << QStringLiteral("Signature verified: version %1").arg(version);
    });
    connect(download, &ReleaseDownload::finished, this,
        [this](bool ok, const QString &reason) {
            if (stage != WaitArchive)
                return;
            if (ok)
                installArchive(download->archivePath());
            else
                finish(QStringLiteral("Update not installed: ") + reason);
        });
    // A ready update goes in before anything is asked of the server.
    if (!ready || !ready->checkedForInstall()) {
        startSession();
        return;
    }
    stage = Installing;
    statusView->setText(
        shown(QT_TR_NOOP("Installing version %1...")).arg(ready->manifest().version));
    connect(ready, &ReadyUpdate::progress, statusView, &StatusView::showAmount);
    connect(ready, &ReadyUpdate::installed, this, [this](bool whole, const QStringList &lines) {
        for (const QString &line : lines)
            qDebug().noquote() << line;
        if (!whole || closeDeferred)
            return whole ? finish(QString()) : finishNeedingAttention();
        statusView->setText(shown(QT_TR_NOOP("Checking for updates...")));
        stage = WaitLogin;
        startSession();
    });
    ready->install(installation);
}

void MainWindow::startSession()
{
    localVersion = installation->installedVersion();
    ftp->connectToHost(serverHost, quint16(serverPort));
    ftp->login(QLatin1String(ftpUser), QLatin1String(ftpPassword));
}

MainWindow::~MainWindow()
{
    // A check under way ends first; the sources' files may be the client's
    // download targets.
    delete download;
    delete sources;
    delete ftp;
    delete versionFile;
    delete ui;
}

QString MainWindow::statusText() const
{
    return statusView->text();
}

void MainWindow::showNote(const ShownText &text)
{
    statusView->setText(text);
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
    // The archive's size for the question; the small files' to refuse an
    // oversized one before asking for it.
    if (info.isFile())
        listedSizes.insert(info.name(), info.size());
}

void MainWindow::installNothing(const QString &reason)
{
    installRefusal = reason;
}

void MainWindow::startNeedingAttention()
{
    // Nothing is asked of the server: an update could not be installed over
    // this installation anyway.
    disconnect(ftp, nullptr, this, nullptr);
    ftp->abort();
    stage = Finished;
    QTimer::singleShot(0, this, [this] { finishNeedingAttention(); });
}

void MainWindow::finishNeedingAttention()
{
    finish(QStringLiteral("The installation needs attention: an earlier update could not be "
                          "completed or undone"),
        shown(QT_TR_NOOP("The installation needs attention. Starting %1...")).arg(appName));
}

template <typename File, typename... Cap>
File *MainWindow::openTarget(const QString &localName, Cap... cap)
{
    auto *file = new File(DirManager::getAppDir() + QLatin1Char('/') + localName, cap...);
    QString why;
    if (SafeFiles::open(*file, QIODevice::WriteOnly, &why))
        return file;
    finish(QStringLiteral("Cannot write \"%1\": %2").arg(file->fileName(), why));
    delete file;
    return nullptr;
}

CappedFile *MainWindow::fetchCapped(const char *serverName, const char *localName, qint64 cap)
{
    const QString name = QLatin1String(serverName);
    const qint64 listed = listedSizes.value(name, -1);
    if (listed > cap) {
        primaryFailed(QStringLiteral("the published \"%1\" is %2 bytes, more than %3")
                          .arg(name)
                          .arg(listed)
                          .arg(cap));
        return nullptr;
    }
    auto *file = openTarget<CappedFile>(QLatin1String(localName), cap);
    if (file)
        ftp->get(name, file, QFtp::Binary);
    return file;
}

bool MainWindow::cappedFailure(CappedFile *file, bool error, const char *serverName, QString *why)
{
    file->close();
    if (file->exceeded())
        *why = QStringLiteral("the published \"%1\" %2")
                   .arg(QLatin1String(serverName), file->excess());
    else if (error)
        *why = ftpFailure();
    return file->exceeded() || error;
}

void MainWindow::commandFinished(bool error)
{
    // The sources use the session from here; its ends are theirs.
    if (stage == WaitSources || stage == WaitDeltaIndex)
        return;
    QString why;
    switch (stage) {
    case WaitLogin:
        // A refused login or folder change ends the session here: another
        // folder's "version.ver" and "app.zip" are not ours to compare or install.
        if (error) {
            primaryFailed(ftpFailure());
            break;
        }
        stage = WaitList;
        ftp->list(QString());
        break;
    case WaitList:
        if (error) {
            primaryFailed(ftpFailure());
            break;
        }
        sources->setPrimaryListing(listedSizes);
        stage = WaitVersionFile;
        versionFile = fetchCapped(ReleaseFiles::versionFile, ReleaseFiles::downloadedVersionFile,
            ReleaseFiles::maxVersionFileSize);
        break;
    case WaitVersionFile:
        if (cappedFailure(versionFile, error, ReleaseFiles::versionFile, &why)
            || !SourceList::readVersionFile(versionFile->fileName(), &remoteVersion, &why))
            primaryFailed(why);
        else
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

void MainWindow::primaryFailed(const QString &reason)
{
    // Without mirrors a server that is not there is left at once: the
    // application starts without waiting.
    if (!sources->hasMirrors()) {
        finish(QStringLiteral("No update: ") + reason);
        return;
    }
    stage = WaitSources;
    sources->fetchVersionFromNext(reason);
}

void MainWindow::versionReceived()
{
    if (publicKey.isEmpty())
        return compareVersions();
    // The keyring first: it says which keys sign. The manifest then comes
    // before its signature: a publish renames the signature into place
    // first, so after a new manifest the signature fetched is new too.
    stage = WaitSources;
    keyrings->start(sources->bytesFetcher(), QDateTime::currentSecsSinceEpoch());
}

void MainWindow::compareVersions()
{
    stage = WaitArchive;
    if (Version::compare(remoteVersion, localVersion) <= 0)
        finish(QStringLiteral("No newer version: installed \"%1\", published \"%2\"")
                   .arg(localVersion, remoteVersion));
    else
        offerUpdate();
}

void MainWindow::offerUpdate()
{
    QString skipped;
    if (Trial::isBad(*installation, remoteVersion))
        finish(QStringLiteral("No update: version %1 did not start properly here before")
                   .arg(remoteVersion));
    else if (!installRefusal.isEmpty())
        finish(QStringLiteral("Version %1 not offered: %2").arg(remoteVersion, installRefusal));
    else if (!UpdateOffer::asks(
                 installation->state(), remoteVersion, manifest && manifest->critical, &skipped))
        finish(skipped);
    else if (manifest && manifest->background && ready)
        goBackground();
    else
        askForUpdate();
}

void MainWindow::goBackground()
{
    const QString line = QStringLiteral("Version %1 is ready; it installs at a later start");
    if (ready->completeVersion() == remoteVersion)
        return finish(line.arg(remoteVersion));
    qDebug().noquote() << "Downloading in the background:" << remoteVersion;
    background = true;
    ready->goBackground();
    launchApplication();
    downloadRelease();
}

void MainWindow::manifestMissing()
{
    QString refusal;
    if (ManifestCheck::withoutManifest(installation->stateForDecision(), &refusal))
        compareVersions();
    else
        releaseRefused(refusal);
}

void MainWindow::releaseRefused(const QString &refusal)
{
    if (!sources->hasMirrors())
        return finish(refusal);
    const QString prefix = QStringLiteral("No update: ");
    stage = WaitSources;
    sources->fetchVersionFromNext(
        refusal.startsWith(prefix) ? refusal.mid(prefix.size()) : refusal);
}

void MainWindow::judgeManifest()
{
    stage = WaitArchive;
    UpdateState state = installation->stateForDecision();
    ManifestCheck::Input input;
    input.publicKey = publicKey;
    input.keyring = keyrings->newest();
    input.manifest = sources->manifest();
    input.signature = sources->manifestSignature();
    input.publishedVersion = remoteVersion;
    input.installedVersion = localVersion;
    input.now = QDateTime::currentSecsSinceEpoch();
    input.own = {appName, serverAppDir};
    ManifestCheck::Judgement judgement;
    QString reason;
    const bool asked = ManifestCheck::judge(input, &state, &judgement, &reason);
    if (judgement.verified)
        installation->stateSaved(state);
    if (!asked)
        return judgement.verified ? finish(reason) : releaseRefused(reason);
    manifest = judgement.manifest;
    const QString verified = QStringLiteral("Release information verified: version %1, %2 bytes");
    qDebug().noquote() << verified.arg(manifest->version).arg(manifest->archiveSize);
    const int offered = DeltaPlan::choose(manifest->deltas, localVersion, manifest->archiveSize);
    QString skipped;
    if (offered >= 0 && installRefusal.isEmpty()
        && UpdateOffer::asks(installation->state(), remoteVersion, manifest->critical, &skipped))
        fetchDeltaIndex(manifest->deltas.at(offered));
    else
        offerUpdate();
}

void MainWindow::fetchDeltaIndex(const DeltaIndex::Offer &offer)
{
    delta = new DeltaUpdate(offer, remoteVersion, DirManager::getAppDir(), this);
    connect(delta, &DeltaUpdate::checked, this, &MainWindow::deltaChecked);
    connect(delta, &DeltaUpdate::staged, this, &MainWindow::deltaStaged);
    stage = WaitDeltaIndex;
    sources->fetchFile(offer.indexName, delta->indexPath(), offer.indexSize);
}

// Each answer is dropped when the window has moved on (closed meanwhile).
void MainWindow::deltaFileFetched(bool ok, const QString &reason)
{
    if (stage != WaitDeltaIndex && stage != WaitDelta)
        return;
    // The delta takes the archive's place: its end is the last command's.
    if (stage == WaitDelta)
        commandFinished(!ok);
    if (!ok)
        return dropDelta(stage == WaitDelta ? QStringLiteral("download failed: ") + reason
                                            : QStringLiteral("cannot fetch its index: ") + reason);
    if (stage == WaitDeltaIndex) {
        stage = CheckingDelta;
        delta->check(localVersion);
        return;
    }
    // A delta of a few KiB may arrive before any progress is reported.
    statusView->showAmount(delta->offer().size, delta->offer().size);
    qDebug().noquote() << "Downloaded:" << statusView->amount();
    stage = ApplyingDelta;
    delta->stage();
}

void MainWindow::deltaChecked(bool ok, const QString &reason)
{
    if (stage != CheckingDelta)
        return;
    stage = WaitArchive;
    if (ok)
        offerUpdate();
    else
        dropDelta(reason);
}

void MainWindow::deltaStaged(bool ok, const QString &reason)
{
    if (stage != ApplyingDelta)
        return;
    if (ok)
        installArchive(QString());
    else
        dropDelta(reason);
}

void MainWindow::dropDelta(const QString &why)
{
    const bool asked = stage == WaitDelta || stage == ApplyingDelta;
    qDebug().noquote() << QStringLiteral("Delta from %1 not used: %2%3")
                              .arg(delta->offer().from, why,
                                  asked ? QStringLiteral("; downloading the full archive")
                                        : QString());
    delta->discard();
    delta->deleteLater();
    delta = nullptr;
    // Asked once: the archive comes in the same run.
    stage = WaitArchive;
    if (asked)
        downloadRelease();
    else
        offerUpdate();
}

void MainWindow::askForUpdate()
{
    UpdateQuestion::Facts facts;
    facts.installed = localVersion;
    facts.published = remoteVersion;
    // The signed size when there is one (the delta's when it is used), not the listing's.
    facts.size = delta ? delta->offer().size
        : manifest     ? manifest->archiveSize
                       : listedSizes.value(QLatin1String(ReleaseFiles::archive), -1);
    facts.notes = manifest ? manifest->notes : QString();
    facts.critical = manifest && manifest->critical;
    qDebug().noquote() << "Question:"
                       << UpdateQuestion::english(
                              UpdateQuestion::lines(facts), QStringLiteral("; "));
    const UpdateQuestion::Answer answer = UpdateQuestion::ask(facts);
    QString why;
    if (answer == UpdateQuestion::NoAndSkip
        && !UpdateOffer::skip(*installation, remoteVersion, &why))
        qDebug().noquote() << QStringLiteral("Version %1 not skipped: %2").arg(remoteVersion, why);
    if (answer == UpdateQuestion::NoAndSkip && why.isEmpty()) {
        finish(QStringLiteral("Update declined; version %1 is not asked about again")
                   .arg(remoteVersion));
    } else if (answer != UpdateQuestion::Yes) {
        finish(QStringLiteral("Update declined"));
    } else if (ftp->state() == QFtp::LoggedIn || !sources->answeredByPrimary()) {
        downloadRelease();
    } else {
        // The server dropped the session while the question was open (servers
        // close idle ones after a few minutes): log in again first.
        stage = WaitReconnect;
        statusView->setText(shown(QT_TR_NOOP("Downloading update...")));
        startSession();
    }
}

void MainWindow::downloadRelease()
{
    // The sources drive the session from here.
    stage = WaitArchive;
    ftp->disconnect(this);
    statusView->setText(shown(QT_TR_NOOP("Downloading update...")));
    statusView->startDownload();
    if (delta) {
        // As the archive: cut off at the signed size, its hash checked before use.
        stage = WaitDelta;
        sources->fetchFile(delta->offer().name, delta->deltaPath(), delta->offer().size);
        return;
    }
    download->start(remoteVersion, localVersion, manifest);
}

void MainWindow::showProgress(qint64 done, qint64 total)
{
    if ((stage == WaitArchive || stage == WaitDelta) && !statusView->barHidden())
        statusView->showDownloaded(done, total);
}

void MainWindow::installArchive(const QString &archivePath)
{
    if (background) {
        stage = Installing;
        connect(ready, &ReadyUpdate::prepared, this,
            [this](bool, const QString &line) { finish(line); });
        return ready->prepare(
            archivePath, delta, sources->manifest(), sources->manifestSignature(), remoteVersion);
    }
    stage = Installing;
    statusView->setText(shown(QT_TR_NOOP("Installing update...")));
    statusView->startInstall();
    // Off the GUI thread: the window keeps painting and answering while the
    // archive is unpacked, and a failure leaves the old installation whole.
    installer = delta ? delta->installer(this)
                      : new Installer(archivePath, DirManager::getAppDir(), this);
    // A release that promised to confirm its starts: the version before it
    // is kept, and put back if it never does.
    const QString untried = Trial::prepare(
        *installation, installer, remoteVersion, localVersion, manifest ? manifest->confirm : 0);
    if (!untried.isEmpty())
        qDebug().noquote() << untried;
    connect(installer, &Installer::progress, statusView, &StatusView::showAmount);
    connect(installer, &Installer::finished, this, [this](bool ok, const QString &reason) {
        // Installed, rolled back or recovered below: read again when asked.
        installation->versionChanged();
        const QString how = delta ? delta->summary(manifest->archiveSize) : QString();
        if (delta)
            delta->discard();
        if (ok) {
            finish(QStringLiteral("Update installed") + how);
            return;
        }
        // The installer refused what the delta made, or its swap failed and
        // was undone: the full archive installs the release in this run.
        if (delta && Installer::recover(DirManager::getAppDir())) {
            installer->deleteLater();
            installer = nullptr;
            stage = ApplyingDelta;
            dropDelta(QStringLiteral("the installer failed: ") + reason);
            return;
        }
        qDebug().noquote() << QStringLiteral("Update not installed") + how + QStringLiteral(": ")
                + reason;
        // A rollback that failed has left its journal: one more try before
        // the application is started on whatever is there. Without a
        // journal this only removes what the install left, if anything.
        if (!Installer::recover(DirManager::getAppDir()))
            finishNeedingAttention();
        else
            finish(QString());
    });
    installer->start();
}

void MainWindow::finish(const QString &reason, const ShownText &status)
{
    if (launching && !background)
        return;
    stage = Finished;
    if (!reason.isEmpty())
        qDebug().noquote() << reason;
    // Without the lock another updater may be downloading it.
    if (installRefusal.isEmpty())
        sources->removeUnusedPartial();
    if (background)
        return void(close()); // started when the run went to the background
    statusView->setText(
        status.isEmpty() ? shown(QT_TR_NOOP("Starting %1...")).arg(appName) : status);
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
        download->cancel();
        finish(QStringLiteral("Window closed: update cancelled"));
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::launchApplication()
{
    launching = true;
    stage = Finished;
    QString program;
    QStringList arguments;
    QString reason;
    const bool safe
        = Launcher::command(DirManager::getAppDir(), appName, &program, &arguments, &reason);

    hide();
    qint64 launch = 0;
    QString onTrial; // said only for a version on trial, counted or not
    QString notCounted;
    if (!Trial::countLaunch(*installation, &launch, &onTrial, &notCounted))
        onTrial = notCounted;
    if (!onTrial.isEmpty())
        qDebug().noquote() << onTrial;
    // Held also where a ready update waits: it is not installed under a running application.
    const bool waits = ready && (background || !ready->completeVersion().isEmpty());
    const bool started = safe
        && Launcher::run(program, arguments,
            onTrial.isEmpty() && !waits ? QString() : DirManager::getAppDir(), &reason, background);
    if (!started)
        qDebug().noquote() << reason;
    // A launch whose end is seen counts against a trial now; one handed
    // over counts once it has run for the grace time.
    if (!started || (Launcher::waitsForApplication() && !background))
        Trial::launchEnded(*installation, launch);
    if (!background)
        close();
}

#include "moc_mainwindow.cpp"
