#include "updatestate.h"

#include "installation.h"
#include "releasefiles.h"
#include "safefiles.h"
#include "version.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QLatin1String idKey("install_id");
const QLatin1String highestKey("highest_version");
const QLatin1String highestSignedKey("highest_signed");
const QLatin1String verifiedKey("manifest_verified");
const QLatin1String trialKey("trial");
const QLatin1String pendingKey("next_trial");
const QLatin1String badKey("bad_versions");
const QLatin1String skippedKey("skipped_version");

// Numbers a double holds exactly; times and counts stay far below.
constexpr qint64 maxExact = qint64(1) << 53;
// Longer texts are no versions this updater ever records.
constexpr int maxVersionLength = 1024;
// A state write takes milliseconds; a holder stuck longer is given up on.
constexpr int lockWaitMs = 10000;

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString fileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("not a regular file");
}

// The state is read again under its lock for every write; what is wrong
// with it is said once. True the first time `line` is given.
bool firstTime(const QString &line)
{
    static QMutex mutex;
    static QSet<QString> said;
    const QMutexLocker locker(&mutex);
    if (said.contains(line))
        return false;
    said.insert(line);
    return true;
}

void sayOnce(const QString &line)
{
    if (firstTime(line))
        qDebug().noquote() << line;
}

enum ReadResult { Read, Missing, Refused };

// The bytes of a file of the installation that must be a regular file of at
// most `cap` bytes. Never follows a link and never blocks (a FIFO opened
// without a writer): anything else is refused with *why.
ReadResult readRegular(const QString &path, qint64 cap, QByteArray *data, QString *why)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return Missing;
        *why = error == ELOOP ? QStringLiteral("a symbolic link") : systemReason(error);
        return Refused;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        *why = systemReason(errno);
    else if (!S_ISREG(info.st_mode))
        *why = fileKind(info.st_mode);
    else if (info.st_size > cap)
        *why = QStringLiteral("larger than %1 bytes").arg(cap);
    if (why->isEmpty()) {
        data->resize(int(info.st_size) + 1);
        qint64 got = 0;
        for (ssize_t n = 1; n > 0 && got < data->size(); got += n) {
            n = ::read(fd, data->data() + got, size_t(data->size() - got));
            if (n < 0) {
                *why = systemReason(errno);
                break;
            }
            if (n == 0)
                break;
        }
        if (got > cap)
            *why = QStringLiteral("larger than %1 bytes").arg(cap);
        data->resize(int(qMin(got, cap)));
    }
    ::close(fd);
    return why->isEmpty() ? Read : Refused;
}

// An integer field in [low, high]; a missing one is `fallback`. Checked
// before any conversion: a value like 1e300 has no integer to convert to.
bool integer(const QJsonObject &object, QLatin1String key, qint64 low, qint64 high, qint64 fallback,
    qint64 *out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined()) {
        *out = fallback;
        return true;
    }
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (!(number >= double(low) && number <= double(high)) || std::floor(number) != number)
        return false;
    *out = qint64(number);
    return true;
}

bool text(const QJsonObject &object, QLatin1String key, QString *out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return true;
    *out = value.toString();
    return value.isString() && out->size() <= maxVersionLength;
}

bool flag(const QJsonObject &object, QLatin1String key, bool *out)
{
    const QJsonValue value = object.value(key);
    *out = value.toBool();
    return value.isUndefined() || value.isBool();
}

bool parseTrial(const QJsonValue &value, UpdateState::TrialRecord *trial)
{
    if (value.isUndefined())
        return true;
    if (!value.isObject())
        return false;
    const QJsonObject object = value.toObject();
    qint64 confirm = 0;
    qint64 launches = 0;
    bool ok = text(object, QLatin1String("version"), &trial->version)
        && text(object, QLatin1String("previous"), &trial->previous)
        && integer(object, QLatin1String("confirm"), 0, 1000, 0, &confirm)
        && integer(object, QLatin1String("launches"), 0, 1000000, 0, &launches)
        && flag(object, QLatin1String("confirmed"), &trial->confirmed)
        && flag(object, QLatin1String("reverting"), &trial->reverting);
    trial->confirm = int(confirm);
    trial->launches = int(launches);
    const QJsonValue started = object.value(QLatin1String("started"));
    if (!ok || (!started.isUndefined() && !started.isArray()))
        return false;
    const QJsonArray list = started.toArray();
    if (list.size() > 1000)
        return false;
    for (const QJsonValue &at : list) {
        qint64 ms = 0;
        if (!integer(
                QJsonObject {{QLatin1String("at"), at}}, QLatin1String("at"), 0, maxExact, 0, &ms))
            return false;
        trial->started.append(ms);
    }
    // A record of no version is no trial, whatever else it holds.
    if (trial->version.isEmpty())
        *trial = UpdateState::TrialRecord();
    return true;
}

QJsonObject trialObject(const UpdateState::TrialRecord &trial)
{
    QJsonArray started;
    for (const qint64 at : trial.started)
        started.append(double(at));
    return QJsonObject {{QLatin1String("version"), trial.version},
        {QLatin1String("previous"), trial.previous}, {QLatin1String("confirm"), trial.confirm},
        {QLatin1String("launches"), trial.launches}, {QLatin1String("started"), started},
        {QLatin1String("confirmed"), trial.confirmed},
        {QLatin1String("reverting"), trial.reverting}};
}

// What this writer changed in a trial since reading it, put over the trial
// as it is on disk now; the whole record when it is another release's.
UpdateState::TrialRecord mergeTrial(const UpdateState::TrialRecord &read,
    const UpdateState::TrialRecord &mine, const UpdateState::TrialRecord &disk)
{
    if (mine == read)
        return disk;
    if (mine.version.isEmpty() || mine.version != read.version || disk.version != mine.version)
        return mine;
    UpdateState::TrialRecord merged = disk;
    if (mine.previous != read.previous)
        merged.previous = mine.previous;
    if (mine.confirm != read.confirm)
        merged.confirm = mine.confirm;
    if (mine.launches != read.launches || mine.started != read.started) {
        merged.launches = mine.launches;
        merged.started = mine.started;
    }
    if (mine.confirmed != read.confirmed)
        merged.confirmed = mine.confirmed;
    if (mine.reverting != read.reverting)
        merged.reverting = mine.reverting;
    return merged;
}

// The state's lock, held from construction until destruction. The file is
// never followed through a link and never replaced, so that two writers
// always lock the same file.
class StateLock
{
public:
    explicit StateLock(const QString &appDir)
    {
        const QString path = appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::stateLock);
        const QByteArray name = QFile::encodeName(path);
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) {
            problem
                = QStringLiteral("cannot open the lock \"%1\": %2")
                      .arg(path,
                          errno == ELOOP ? QStringLiteral("a symbolic link") : systemReason(errno));
            return;
        }
        struct stat info = {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            problem = QStringLiteral("cannot use the lock \"%1\": %2")
                          .arg(path, fileKind(info.st_mode));
            release();
            return;
        }
        for (int waited = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; waited += 5) {
            if (errno != EWOULDBLOCK || waited > lockWaitMs) {
                problem = errno == EWOULDBLOCK
                    ? QStringLiteral("\"%1\" stayed locked for %2 s")
                          .arg(path)
                          .arg(lockWaitMs / 1000)
                    : QStringLiteral("cannot lock \"%1\": %2").arg(path, systemReason(errno));
                release();
                return;
            }
            QThread::msleep(5);
        }
    }
    ~StateLock() { release(); }
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;

    bool held() const { return fd >= 0; }
    QString problem;

private:
    void release()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int fd = -1;
};

// Replaces `path` whole: a new file beside it, renamed over it. A link or a
// FIFO standing at `path` is replaced itself, never written through.
bool replaceFile(const QString &path, const QByteArray &data, QString *reason)
{
    QString why;
    if (SafeFiles::writeWhole(path, data, &why))
        return true;
    *reason = QStringLiteral("cannot write \"%1\": %2").arg(path, why);
    return false;
}

// From a damaged file, the one field `key` when it still reads whole as
// JSON and as a field of a state: a flat string, array or object.
QJsonValue salvage(const QByteArray &data, QLatin1String key)
{
    const QRegularExpression field(
        QLatin1Char('"') + key + QLatin1String(R"("\s*:\s*("[^"\\]*"|\[[^\[\]{}]*\]|\{[^{}]*\}))"));
    const QRegularExpressionMatch match = field.match(QString::fromUtf8(data));
    if (!match.hasMatch())
        return QJsonValue(QJsonValue::Undefined);
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray("{\"") + key.data() + "\":" + match.captured(1).toUtf8() + '}');
    UpdateState probe;
    QString why;
    if (!document.isObject() || !UpdateState::parse(document.toJson(), &probe, &why))
        return QJsonValue(QJsonValue::Undefined);
    return document.object().value(key);
}

} // namespace

bool UpdateState::TrialRecord::operator==(const TrialRecord &other) const
{
    return version == other.version && previous == other.previous && confirm == other.confirm
        && launches == other.launches && started == other.started && confirmed == other.confirmed
        && reverting == other.reverting;
}

bool UpdateState::parse(const QByteArray &data, UpdateState *state, QString *why)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (!document.isObject()) {
        *why = QStringLiteral("not a JSON object");
        return false;
    }
    UpdateState parsed;
    parsed.fields = document.object();
    const QJsonObject &fields = parsed.fields;
    QString id;
    QJsonValue badList = fields.value(badKey);
    bool ok = text(fields, idKey, &id) && text(fields, highestKey, &parsed.highest)
        && integer(fields, highestSignedKey, 0, maxExact, 0, &parsed.highestSignedAt)
        && flag(fields, verifiedKey, &parsed.verified)
        && parseTrial(fields.value(trialKey), &parsed.trialRecord)
        && parseTrial(fields.value(pendingKey), &parsed.pending)
        && text(fields, skippedKey, &parsed.skipped)
        && (badList.isUndefined() || badList.isArray());
    for (const QJsonValue &version : badList.toArray()) {
        ok = ok && version.isString() && version.toString().size() <= maxVersionLength;
        parsed.bad.append(version.toString());
    }
    if (!ok) {
        *why = QStringLiteral("a field of the wrong type or out of range");
        return false;
    }
    bool hex = id.size() == 32;
    for (const QChar c : id)
        hex = hex
            && ((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                || (c >= QLatin1Char('a') && c <= QLatin1Char('f')));
    if (hex)
        parsed.id = QByteArray::fromHex(id.toLatin1());
    parsed.dir = state->dir;
    parsed.readTrial = parsed.trialRecord;
    parsed.readPending = parsed.pending;
    parsed.readSkipped = parsed.skipped;
    *state = parsed;
    return true;
}

UpdateState UpdateState::load(const QString &appDir, QString *problem)
{
    return read(appDir, problem);
}

UpdateState UpdateState::read(const QString &appDir, QString *problem)
{
    UpdateState state;
    state.dir = appDir;
    const QString base = appDir + QLatin1Char('/');
    const QString paths[2] = {
        base + QLatin1String(ReleaseFiles::state), base + QLatin1String(ReleaseFiles::stateCopy)};
    QByteArray bytes[2];
    QString why[2];
    bool missing[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        const ReadResult result = readRegular(paths[i], maxSize, &bytes[i], &why[i]);
        missing[i] = result == Missing;
        if (result == Read && parse(bytes[i], &state, &why[i])) {
            if (!why[0].isEmpty())
                sayOnce(QStringLiteral("\"%1\" is damaged (%2); read its copy \"%3\"")
                            .arg(paths[0], why[0], paths[1]));
            return state;
        }
    }
    if (missing[0] && missing[1])
        return state;

    // Nothing it said can be relied on as a whole: refuse a source without
    // a manifest and any manifest older than what is installed, and keep
    // what still reads whole (the rollout's bucket, the versions reverted,
    // the trial and its kept version).
    QJsonObject kept;
    for (const QLatin1String key : {idKey, badKey, trialKey, pendingKey}) {
        for (int i = 0; i < 2 && !kept.contains(key); ++i) {
            const QJsonValue value = salvage(bytes[i], key);
            if (!value.isUndefined())
                kept.insert(key, value);
        }
    }
    QString unused;
    parse(QJsonDocument(kept).toJson(), &state, &unused);
    // What the lost file said is the floor of the new one, not its content.
    state.fields = QJsonObject();
    state.verified = true;
    state.highest = Installation::readInstalledVersion(appDir);
    state.highestSignedAt = 0;
    QString text = QStringLiteral("\"%1\" is damaged (%2)")
                       .arg(paths[0], missing[0] ? QStringLiteral("missing") : why[0]);
    text += QStringLiteral(" and so is its copy (%1); kept: %2")
                .arg(missing[1] ? QStringLiteral("missing") : why[1],
                    kept.isEmpty() ? QStringLiteral("nothing")
                                   : kept.keys().join(QLatin1String(", ")));
    if (problem) {
        // Said by the caller: the reads under the lock that follow stay quiet.
        *problem = text;
        firstTime(text);
    } else {
        sayOnce(text);
    }
    return state;
}

QByteArray UpdateState::toJson() const
{
    QJsonObject object = fields;
    if (!id.isEmpty())
        object.insert(idKey, QString::fromLatin1(id.toHex()));
    if (!highest.isEmpty()) {
        object.insert(highestKey, highest);
        object.insert(highestSignedKey, double(highestSignedAt));
    }
    object.insert(verifiedKey, verified);
    if (!trialRecord.version.isEmpty())
        object.insert(trialKey, trialObject(trialRecord));
    else
        object.remove(trialKey);
    if (!pending.version.isEmpty())
        object.insert(pendingKey, trialObject(pending));
    else
        object.remove(pendingKey);
    if (!bad.isEmpty())
        object.insert(badKey, QJsonArray::fromStringList(bad));
    if (!skipped.isEmpty())
        object.insert(skippedKey, skipped);
    else
        object.remove(skippedKey);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

bool UpdateState::write(QString *reason) const
{
    const QByteArray data = toJson();
    // The first file whole before the copy: at every moment one of them is
    // a whole state, the first never older than the copy.
    const QString base = dir + QLatin1Char('/');
    QString copyReason;
    const bool first = replaceFile(base + QLatin1String(ReleaseFiles::state), data, reason);
    const bool copy = replaceFile(base + QLatin1String(ReleaseFiles::stateCopy), data, &copyReason);
    if (first && !copy)
        qDebug().noquote() << copyReason;
    if (!first && copy)
        qDebug().noquote() << *reason + QStringLiteral("; its copy holds the state");
    if (!first && !copy)
        return false;
    return true;
}

bool UpdateState::save(QString *reason)
{
    const StateLock lock(dir);
    if (!lock.held()) {
        *reason = lock.problem;
        return false;
    }
    // What others wrote since this state was read stays; what this one
    // changed goes over it.
    UpdateState merged = read(dir, nullptr);
    if (merged.id.isEmpty())
        merged.id = id;
    if (verified)
        merged.verified = true;
    if (!highest.isEmpty())
        merged.recordVerified(highest, highestSignedAt);
    merged.verified = merged.verified || verified;
    for (const QString &version : bad)
        merged.addBadVersion(version);
    merged.trialRecord = mergeTrial(readTrial, trialRecord, merged.trialRecord);
    merged.pending = mergeTrial(readPending, pending, merged.pending);
    if (skipped != readSkipped)
        merged.skipped = skipped;
    if (!merged.write(reason))
        return false;
    merged.written();
    *this = merged;
    return true;
}

bool UpdateState::update(UpdateState &state, const std::function<bool(UpdateState &)> &change,
    QString *reason, bool *written)
{
    // Most calls change nothing (no trial, nothing to confirm): those
    // neither wait for the lock nor create it.
    UpdateState tried = state;
    if (!change(tried))
        return true;
    const StateLock lock(state.dir);
    if (!lock.held()) {
        // Without the lock nothing is written; the change has seen the state.
        *reason = lock.problem;
        return false;
    }
    const UpdateState now = read(state.dir, nullptr);
    UpdateState changed = now;
    if (!change(changed)) {
        state = now;
        return true;
    }
    if (!changed.write(reason)) {
        state = now;
        return false;
    }
    changed.written();
    state = changed;
    if (written)
        *written = true;
    return true;
}

void UpdateState::written()
{
    // What is on disk now: later saves tell their changes from this.
    readTrial = trialRecord;
    readPending = pending;
    readSkipped = skipped;
}

QByteArray UpdateState::installId()
{
    if (id.isEmpty()) {
        id.resize(16);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(id.data()), 4);
    }
    return id;
}

void UpdateState::addBadVersion(const QString &version)
{
    if (!bad.contains(version))
        bad.append(version);
}

void UpdateState::recordVerified(const QString &version, qint64 signedAt)
{
    verified = true;
    const int order = highest.isEmpty() ? 1 : Version::compare(version, highest);
    if (order > 0 || (order == 0 && signedAt > highestSignedAt)) {
        highest = version;
        highestSignedAt = signedAt;
    }
}
