#include "startup.h"

#include "dirmanager.h"
#include "installation.h"
#include "installer.h"
#include "installpaths.h"
#include "instancelock.h"
#include "internetconntest.h"
#include "keyringwalk.h"
#include "launcher.h"
#include "mainwindow.h"
#include "platform.h"
#include "readyupdate.h"
#include "settings.h"
#include "signatureverifier.h"
#include "translations.h"
#include "trial.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>

qint64 Startup::clockShift = 0;

bool Startup::recover(const QString &appDir)
{
    // What failed once (a file still busy, a moment of a full disk) may
    // well succeed at once; only then is the application started as it is.
    return Installer::recover(appDir) || Installer::recover(appDir);
}

bool Startup::checkReady(Installation &installation, ReadyUpdate &ready, const QByteArray &key)
{
    const QString version = ready.completeVersion();
    QString reason;
    if (version.isEmpty()) {
        // What a background run left unfinished (killed, failed) is never installed.
        if (InstallPaths::existsOnDisk(ready.folder()))
            qDebug().noquote() << (ready.discard(&reason)
                    ? QStringLiteral("An unfinished ready update was removed")
                    : QStringLiteral("Cannot remove an unfinished ready update: ") + reason);
        return false;
    }
    if (Launcher::applicationRunning(installation.appDir())) {
        qDebug().noquote() << QStringLiteral("Version %1 is ready and waits: an application "
                                             "started from this installation still runs")
                                  .arg(version);
        return false;
    }
    ManifestCheck::Input input;
    input.publicKey = key;
    input.now = QDateTime::currentSecsSinceEpoch() + clockShift;
    input.own = {appName, serverAppDir};
    // The release keys that may sign are the kept keyring's, as when the
    // release was made ready; one that has expired since vouches for none.
    QString untrusted;
    if (!KeyringWalk::readKept(installation.appDir(), key, input.own, &input.keyring, &untrusted))
        reason = QStringLiteral("No update: ") + untrusted;
    else if (!input.keyring.isBuiltIn() && input.keyring.expires <= input.now)
        reason = QStringLiteral("No update: keyring %1 has expired").arg(input.keyring.version);
    else if (ready.check(installation, input, &reason))
        return true;
    const QString prefix = QStringLiteral("No update: ");
    qDebug().noquote() << QStringLiteral("Ready update of version %1 discarded: %2")
                              .arg(version,
                                  reason.startsWith(prefix) ? reason.mid(prefix.size()) : reason);
    if (!ready.discard(&reason))
        qDebug().noquote() << "Cannot remove the ready update:" << reason;
    return false;
}

int Startup::run()
{
    const QString appDir = DirManager::getAppDir();
    // The layout says where the version file is, which recovery and the
    // trial read before the settings are loaded.
    Platform::chooseLayout(Settings::layoutIn(appDir));
    // What every part of this run asks of the installation; its state is
    // read once, here, and saved where it changes.
    Installation installation(appDir);

    // Before anything touches the installation: a second updater leaves it
    // to the one already at work. Without the lock (a folder this user may
    // not write, a full disk) another updater could be installing right
    // now: this one neither recovers nor installs, it only checks and starts
    // the application.
    InstanceLock lock(appDir);
    QString lockProblem;
    // One that is reverting a release is waited for: this run then starts
    // from the reverted installation.
    InstanceLock::Result locked = Trial::waitForRevert(installation, lock, &lockProblem);
    if (locked == InstanceLock::HeldByAnother) {
        qDebug().noquote() << lockProblem + QLatin1String("; exiting");
        return 0;
    }
    // A background run holds the ready update's lock: its files are its own.
    ReadyUpdate ready(appDir);
    ready.setInstallationLock(&lock);
    const bool readyHeld
        = locked == InstanceLock::Acquired && ready.lock(&lockProblem) != InstanceLock::Acquired;
    if (readyHeld)
        locked = InstanceLock::Failed;
    if (locked != InstanceLock::Acquired)
        qDebug().noquote() << QStringLiteral("Nothing is installed in this run: ") + lockProblem;

    // An install the last run could not finish (killed, power lost) is
    // completed or rolled back before anything reads the installation.
    const bool whole = locked != InstanceLock::Acquired || recover(appDir);

    // Then, as long as it is whole and this run holds the lock, a release on
    // trial that never confirmed a start is reverted, before anything reads
    // the installation.
    QString judged;
    ShownText note;
    QString reason;
    if (locked == InstanceLock::Acquired && whole
        && !Trial::judge(installation, &judged, &note, &reason))
        judged = reason;
    if (!judged.isEmpty())
        qDebug().noquote() << judged;

    Settings::load(appDir);
    if (locked == InstanceLock::Acquired && whole)
        checkReady(installation, ready, SignatureVerifier::builtInPublicKey());

    // Never waited for: its answer is only logged, and a host that does not
    // answer must not keep the window away.
    InternetConnTest probe(nullptr);
    probe.isConnectedToNetwork();

    // Before the window: its title is translated as it is built. The log
    // stays English whatever the language.
    Translations::install(QLocale());
    MainWindow window(installation, nullptr, locked == InstanceLock::Acquired ? &ready : nullptr);
    if (readyHeld)
        window.installNothing(lockProblem);
    else if (locked != InstanceLock::Acquired)
        window.installNothing(QStringLiteral("this updater holds no lock on the installation"));
    else if (!whole)
        window.startNeedingAttention();
    if (!note.isEmpty())
        window.showNote(note);
    window.show();
    return QApplication::exec();
}

int Startup::confirm()
{
    const QString appDir = DirManager::getAppDir();
    Platform::chooseLayout(Settings::layoutIn(appDir));
    Installation installation(appDir);
    QString line;
    QString reason;
    qDebug().noquote() << (Trial::confirm(installation, &line, &reason) ? line : reason);
    return 0;
}
