#include "releasesource.h"

#include "releasefiles.h"
#include "safefiles.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStringList>

#include <limits>

namespace {

int &pauseDivisor()
{
    static int divisor = 1;
    return divisor;
}

// A record is three lines: where the file came from, its identity there,
// its size. It is never more than a few hundred bytes.
const qint64 maxRecordSize = 4096;

} // namespace

ReleaseSource::ReleaseSource(QObject *parent)
    : QObject(parent)
{
    pause.setSingleShot(true);
    connect(&pause, &QTimer::timeout, this, &ReleaseSource::nextTry);
}

ReleaseSource::~ReleaseSource() = default;

int ReleaseSource::overloadPause()
{
    return (1000 + int(QRandomGenerator::global()->bounded(2000))) / pauseDivisor();
}

void ReleaseSource::setPauseDivisorForTesting(int divisor)
{
    pauseDivisor() = qMax(1, divisor);
}

QString ReleaseSource::recordPath() const
{
    return target.fileName() + QLatin1String(ReleaseFiles::partialRecordSuffix);
}

void ReleaseSource::fetch(
    const QString &fileName, const QString &path, qint64 maxBytes, bool canResume)
{
    if (busy)
        cancel();
    name = fileName;
    cap = maxBytes;
    resumable = canResume;
    received = 0;
    resuming = false;
    shown = 0;
    tries = 0;
    overloadRetries = 0;
    overloaded = false;
    refused = false;
    recorded.clear();
    currentLocation = location() + name;
    target.setFileName(path);
    target.setCap(cap < 0 ? std::numeric_limits<qint64>::max() : cap);
    // Every download lands in the updater's own file: a link planted at its
    // name is removed, never written through.
    QString why;
    if (!SafeFiles::open(target, QIODevice::ReadWrite, &why)) {
        busy = true;
        end(false, QStringLiteral("cannot write \"%1\": %2").arg(path, why));
        return;
    }
    busy = true;
    QFile record(recordPath());
    if (resumable && record.size() <= maxRecordSize
        && SafeFiles::open(record, QIODevice::ReadOnly, nullptr)) {
        const QStringList lines = QString::fromUtf8(record.readAll()).split(QLatin1Char('\n'));
        bool ok = false;
        const qint64 total = lines.value(2).toLongLong(&ok);
        // Another source's bytes, or more bytes than the file has: of no use.
        if (lines.value(0) == currentLocation && ok && target.size() <= total)
            recorded = lines.value(1);
    }
    // A partial larger than the file may be is not its start either.
    if (recorded.isEmpty() || (cap >= 0 && target.size() > cap))
        startOver();
    target.seek(target.size());
    receivedBefore = received;
    startAttempt();
}

void ReleaseSource::cancel()
{
    if (!busy)
        return;
    busy = false;
    pause.stop();
    stopAttempt();
    target.close();
}

void ReleaseSource::recordIdentity(const QString &identity, qint64 total)
{
    recorded = identity;
    if (!resumable)
        return;
    QString why;
    const QByteArray record = QStringLiteral("%1\n%2\n%3\n")
                                  .arg(currentLocation, identity, QString::number(total))
                                  .toUtf8();
    if (!SafeFiles::writeWhole(recordPath(), record, &why))
        qDebug().noquote() << "Cannot record where the download comes from:" << why;
}

void ReleaseSource::startOver()
{
    target.resize(0);
    target.seek(0);
    QFile::remove(recordPath());
    recorded.clear();
}

bool ReleaseSource::checkTotal(qint64 total)
{
    if (target.admits(total))
        return true;
    stopAttempt();
    refuseFile(target.excess());
    return false;
}

void ReleaseSource::refuseFile(const QString &why)
{
    refused = true;
    attemptEnded(Failed, QStringLiteral("the published \"%1\" %2").arg(name, why));
}

void ReleaseSource::reportProgress(qint64 done, qint64 total)
{
    // A try that starts over (the file changed, no resume offered) does not
    // take back what the bar has shown: it catches up first.
    if (resuming && done > shown) {
        resuming = false;
        emit status(QString());
    }
    if (done < shown)
        return;
    shown = done;
    emit progress(done, total);
}

void ReleaseSource::attemptEnded(Outcome outcome, const QString &reason)
{
    if (!busy)
        return;
    if (outcome == Done) {
        target.flush();
        target.close();
        if (resumable)
            QFile::remove(recordPath());
        end(true, QString());
        return;
    }
    // A try that brought bytes was worth it: the count starts again, so a
    // network that keeps cutting but keeps giving gets the file in the end.
    if (received > receivedBefore)
        tries = 0;
    int wait = 0;
    if (outcome == ConnectionLost && ++tries < maxTries) {
        // 1, 2, 4, 8 s, each with up to half a second more, so that many
        // updaters cut off together do not come back together.
        wait = (1000 << (tries - 1)) + int(QRandomGenerator::global()->bounded(500));
        resuming = true;
        emit status(
            QStringLiteral("Connection lost; resuming (%1 of %2)...").arg(tries + 1).arg(maxTries));
    } else if (outcome == Overloaded && overloadRetries++ < maxOverloadRetries) {
        pause.start(overloadPause());
        return;
    } else {
        overloaded = outcome == Overloaded;
        target.flush();
        target.close();
        end(false, reason);
        return;
    }
    pause.start(wait / pauseDivisor());
}

void ReleaseSource::nextTry()
{
    if (!busy)
        return;
    target.seek(target.size());
    receivedBefore = received;
    startAttempt();
}

void ReleaseSource::end(bool ok, const QString &reason)
{
    busy = false;
    emit finished(ok, reason);
}
