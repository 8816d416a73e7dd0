#include "releasesource.h"

#include "releasefiles.h"
#include "safefiles.h"

#include <QDebug>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <QStringList>

#include <limits>

namespace {

int &pauseDivisor()
{
    static int divisor = 1;
    return divisor;
}

qint64 &timeLimitOverride()
{
    static qint64 msecs = 0;
    return msecs;
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
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] {
        if (!busy)
            return;
        // Whatever the tries were doing: a source this slow is left, and
        // the bytes kept stay for a later run.
        if (!pause.isActive())
            stopAttempt();
        pause.stop();
        target.flush();
        target.close();
        end(false,
            QStringLiteral("gave up after %1 s, the most a download of \"%2\" may take")
                .arg(clock.elapsed() / 1000)
                .arg(name));
    });
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

void ReleaseSource::setTimeLimitForTesting(qint64 msecs)
{
    timeLimitOverride() = msecs;
}

qint64 ReleaseSource::timeLimit(qint64 size)
{
    if (timeLimitOverride() > 0)
        return timeLimitOverride();
    // Slower than 16 KiB/s on average, a download is better left for
    // another source or a later run than waited for.
    return 120 * 1000 + qMax<qint64>(size, 0) / (16 * 1024) * 1000;
}

qint64 ReleaseSource::expectedSize() const
{
    return total > 0 ? total : cap;
}

void ReleaseSource::armDeadline()
{
    const qint64 left = qMax<qint64>(timeLimit(expectedSize()) - clock.elapsed(), 0);
    deadline.start(int(qMin<qint64>(left, std::numeric_limits<int>::max())));
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
    localFailure = false;
    total = -1;
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
        const qint64 recordedSize = lines.value(2).toLongLong(&ok);
        // Another source's bytes, or more bytes than the file has: of no use.
        if (lines.value(0) == currentLocation && ok && target.size() <= recordedSize)
            recorded = lines.value(1);
    }
    // A partial larger than the file may be is not its start either.
    if (recorded.isEmpty() || (cap >= 0 && target.size() > cap))
        startOver();
    keptMost = target.size();
    clock.start();
    armDeadline();
    beginAttempt();
}

void ReleaseSource::beginAttempt()
{
    target.seek(target.size());
    discarded = false;
    startAttempt();
}

void ReleaseSource::cancel()
{
    if (!busy)
        return;
    busy = false;
    pause.stop();
    deadline.stop();
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
    // An empty file is left as it is: on ext4 a truncation marks the file
    // for its blocks to be allocated and written out when it is closed,
    // which for a whole download costs a pause at its end.
    if (target.size() > 0) {
        discarded = true;
        target.resize(0);
    }
    target.seek(0);
    QFile::remove(recordPath());
    recorded.clear();
}

bool ReleaseSource::judgeTotal(qint64 announced, bool *here, QString *reason)
{
    *here = false;
    // Each try's announcement is held to the fetch's own cap: a file that
    // changed since an earlier try may have another size.
    target.setCap(cap < 0 ? std::numeric_limits<qint64>::max() : cap);
    if (!target.admits(announced)) {
        *reason = target.excess();
        return false;
    }
    if (announced <= 0)
        return true;
    const QStorageInfo disk(QFileInfo(target.fileName()).absolutePath());
    const qint64 needed = announced - qMin(target.size(), announced);
    if (disk.isValid() && disk.bytesAvailable() >= 0 && needed > disk.bytesAvailable()) {
        *here = true;
        *reason = QStringLiteral("needs %1 bytes more on the disk, %2 are free")
                      .arg(needed)
                      .arg(disk.bytesAvailable());
        return false;
    }
    // Nothing beyond what the source said is of use: the file is held to it.
    if (announced < target.cap())
        target.setCap(announced);
    if (total != announced) {
        total = announced;
        armDeadline();
    }
    return true;
}

void ReleaseSource::refuseTotal(const QString &why, bool here)
{
    if (!here)
        return refuseFile(why);
    localFailure = true;
    attemptEnded(Failed, QStringLiteral("\"%1\" %2").arg(name, why));
}

bool ReleaseSource::checkTotal(qint64 announced)
{
    bool here = false;
    QString why;
    if (judgeTotal(announced, &here, &why))
        return true;
    stopAttempt();
    refuseTotal(why, here);
    return false;
}

bool ReleaseSource::withinBounds(QString *reason) const
{
    const qint64 size = expectedSize();
    if (size < 0)
        return true;
    // Even a try that brought the rest whole must stay within the budget.
    const qint64 rest = qMax<qint64>(size - target.size(), 0);
    const qint64 most = std::numeric_limits<qint64>::max() / maxTransferFactor;
    const qint64 budget = size > most ? std::numeric_limits<qint64>::max()
                                      : maxTransferFactor * qMax<qint64>(size, 1);
    if (received <= budget && rest <= budget - received)
        return true;
    *reason = QStringLiteral("%1 bytes transferred for a file of %2; another try could pass %3 "
                             "times its size")
                  .arg(received)
                  .arg(size)
                  .arg(maxTransferFactor);
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
        emit status(ShownText());
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
    // A try that left the file holding more than it ever did in this fetch
    // was worth it: the count starts again, so a network that keeps cutting
    // but keeps giving gets the file in the end. Bytes thrown away (no
    // restart offered, the file changed) and fetched again are no progress,
    // wherever the cuts fall: a source that cannot keep them gets 5 tries.
    if (!discarded && target.size() > keptMost)
        tries = 0;
    keptMost = qMax(keptMost, target.size());
    QString bounds;
    int wait = 0;
    if (outcome == ConnectionLost && !withinBounds(&bounds)) {
        target.flush();
        target.close();
        end(false, reason + QLatin1String("; given up: ") + bounds);
        return;
    }
    if (outcome == ConnectionLost && ++tries < maxTries) {
        // 1, 2, 4, 8 s, each with up to half a second more, so that many
        // updaters cut off together do not come back together.
        wait = (1000 << (tries - 1)) + int(QRandomGenerator::global()->bounded(500));
        resuming = true;
        emit status(ShownText("ReleaseSource",
            QT_TRANSLATE_NOOP("ReleaseSource", "Connection lost; resuming (%1 of %2)..."))
                        .arg(tries + 1)
                        .arg(maxTries));
    } else if (outcome == Overloaded && overloadRetries++ < overloadRetriesAllowed) {
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
    beginAttempt();
}

void ReleaseSource::end(bool ok, const QString &reason)
{
    busy = false;
    deadline.stop();
    emit finished(ok, reason);
}
