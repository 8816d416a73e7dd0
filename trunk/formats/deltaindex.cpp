#include "deltaindex.h"

#include "releasefiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <cmath>

namespace {

const int hashBytes = 64; // BLAKE2b-512
const int formatVersion = 1;

const char *const kindNames[] = {"file", "dir", "link"};
const char *const sourceNames[] = {"installed", "patch", "whole"};

template <typename E, int N>
bool parseName(const QString &text, const char *const (&names)[N], E *value)
{
    for (int i = 0; i < N; ++i) {
        if (text == QLatin1String(names[i])) {
            *value = E(i);
            return true;
        }
    }
    return false;
}

bool refuse(QString *reason, const QString &text)
{
    *reason = QStringLiteral("the delta's index is damaged: ") + text;
    return false;
}

QByteArray hashFrom(const QJsonValue &value)
{
    const QByteArray hash = QByteArray::fromHex(value.toString().toLatin1());
    // fromHex skips what is not hex: only a full-length lower-case text counts.
    if (hash.size() != hashBytes || QString::fromLatin1(hash.toHex()) != value.toString())
        return QByteArray();
    return hash;
}

// A whole JSON number from 0 to max, or -1. Range-checked before it is
// converted: a double outside qint64 (31e19, 1e300) has no defined
// conversion. Whole numbers are exact up to 2^53.
qint64 wholeNumber(const QJsonValue &value, qint64 max = qint64(1) << 53)
{
    const double d = value.toDouble(-1);
    if (!value.isDouble() || !(d >= 0 && d <= double(max)) || std::floor(d) != d)
        return -1;
    return qint64(d);
}

} // namespace

namespace {

QString versionedName(const QString &from, const char *suffix)
{
    static const QRegularExpression word(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._+~-]*$"));
    if (!word.match(from).hasMatch() || from.size() > 64)
        return QString();
    return QLatin1String(ReleaseFiles::deltaPrefix) + from + QLatin1String(suffix);
}

} // namespace

QString DeltaIndex::archiveName(const QString &from)
{
    return versionedName(from, ReleaseFiles::deltaSuffix);
}

QString DeltaIndex::indexName(const QString &from)
{
    return versionedName(from, ReleaseFiles::deltaIndexSuffix);
}

QString DeltaIndex::cleanPath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char('\\'))
        || (path.size() >= 2 && path.at(1) == QLatin1Char(':')))
        return QString();
    for (const QChar c : path) {
        if (c.category() == QChar::Other_Control)
            return QString();
    }
    for (const QString &part : path.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return QString();
    }
    return path;
}

int DeltaIndex::patchWindowLog(qint64 referenceSize, qint64 size)
{
    const qint64 span = referenceSize + size;
    int windowLog = 20;
    while (windowLog < maxPatchWindowLog && (qint64(1) << windowLog) < span)
        ++windowLog;
    return (qint64(1) << windowLog) < span ? -1 : windowLog;
}

QJsonObject DeltaIndex::offerToJson(const Offer &offer)
{
    QJsonObject index;
    index.insert(QStringLiteral("name"), offer.indexName);
    index.insert(QStringLiteral("size"), double(offer.indexSize));
    index.insert(QStringLiteral("blake2b"), QString::fromLatin1(offer.indexBlake2b.toHex()));
    QJsonObject json;
    json.insert(QStringLiteral("from"), offer.from);
    json.insert(QStringLiteral("name"), offer.name);
    json.insert(QStringLiteral("size"), double(offer.size));
    json.insert(QStringLiteral("blake2b"), QString::fromLatin1(offer.blake2b.toHex()));
    json.insert(QStringLiteral("index"), index);
    return json;
}

bool DeltaIndex::offerFromJson(const QJsonObject &json, Offer *offer)
{
    const QJsonObject index = json.value(QStringLiteral("index")).toObject();
    Offer result;
    result.from = json.value(QStringLiteral("from")).toString();
    result.name = json.value(QStringLiteral("name")).toString();
    result.size = wholeNumber(json.value(QStringLiteral("size")));
    result.blake2b = hashFrom(json.value(QStringLiteral("blake2b")));
    result.indexName = index.value(QStringLiteral("name")).toString();
    result.indexSize = wholeNumber(index.value(QStringLiteral("size")));
    result.indexBlake2b = hashFrom(index.value(QStringLiteral("blake2b")));
    // The names come from the version alone: a manifest cannot point the
    // updater at any other file.
    if (result.name.isEmpty() || result.name != archiveName(result.from)
        || result.indexName != indexName(result.from) || result.size < 0 || result.indexSize < 0
        || result.indexSize > ReleaseFiles::maxDeltaIndexSize || result.blake2b.isEmpty()
        || result.indexBlake2b.isEmpty())
        return false;
    *offer = result;
    return true;
}

QByteArray DeltaIndex::toJson() const
{
    QJsonArray list;
    for (const Entry &e : entries) {
        QJsonObject o;
        o.insert(QStringLiteral("path"), e.path);
        o.insert(QStringLiteral("kind"), QLatin1String(kindNames[int(e.kind)]));
        o.insert(QStringLiteral("mode"), e.mode);
        if (e.kind == Kind::File) {
            o.insert(QStringLiteral("source"), QLatin1String(sourceNames[int(e.source)]));
            o.insert(QStringLiteral("size"), double(e.size));
            o.insert(QStringLiteral("blake2b"), QString::fromLatin1(e.hash.toHex()));
            // An installed file kept as it is has the result's hash already.
            if (e.source == Source::Patch)
                o.insert(QStringLiteral("old"), QString::fromLatin1(e.oldHash.toHex()));
        } else if (e.kind == Kind::Link) {
            o.insert(QStringLiteral("target"), e.target);
        }
        list.append(o);
    }
    QJsonObject root;
    root.insert(QStringLiteral("format"), formatVersion);
    root.insert(QStringLiteral("from"), from);
    root.insert(QStringLiteral("to"), to);
    root.insert(QStringLiteral("entries"), list);
    root.insert(QStringLiteral("removed"), QJsonArray::fromStringList(removed));
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool DeltaIndex::fromJson(const QByteArray &json, DeltaIndex *index, QString *reason)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return refuse(reason, QStringLiteral("not a JSON object"));
    const QJsonObject root = doc.object();
    if (wholeNumber(root.value(QStringLiteral("format"))) != formatVersion)
        return refuse(reason, QStringLiteral("unknown format"));
    DeltaIndex result;
    result.from = root.value(QStringLiteral("from")).toString();
    result.to = root.value(QStringLiteral("to")).toString();
    if (result.from.isEmpty() || result.to.isEmpty())
        return refuse(reason, QStringLiteral("no versions"));
    // Case folded: two paths that differ only in case are one path where the
    // file system ignores case, and the second would overwrite the first.
    QSet<QString> folded;
    QSet<QString> folders;
    for (const QJsonValue &value : root.value(QStringLiteral("entries")).toArray()) {
        const QJsonObject o = value.toObject();
        Entry e;
        e.path = cleanPath(o.value(QStringLiteral("path")).toString());
        if (e.path.isNull() || folded.contains(e.path.toCaseFolded()))
            return refuse(reason, QStringLiteral("a path is unsafe or twice"));
        // Nothing is ever written through a link or below a file.
        const int slash = e.path.lastIndexOf(QLatin1Char('/'));
        if (slash >= 0 && !folders.contains(e.path.left(slash)))
            return refuse(reason, QStringLiteral("%1 is not in a folder of its own").arg(e.path));
        folded.insert(e.path.toCaseFolded());
        if (!parseName(o.value(QStringLiteral("kind")).toString(), kindNames, &e.kind))
            return refuse(reason, QStringLiteral("unknown kind of %1").arg(e.path));
        e.mode = int(wholeNumber(o.value(QStringLiteral("mode")), 07777));
        if (e.mode < 0)
            return refuse(reason, QStringLiteral("bad mode of %1").arg(e.path));
        if (e.kind == Kind::File) {
            e.size = wholeNumber(o.value(QStringLiteral("size")));
            e.hash = hashFrom(o.value(QStringLiteral("blake2b")));
            if (!parseName(o.value(QStringLiteral("source")).toString(), sourceNames, &e.source)
                || e.size < 0 || e.hash.isEmpty())
                return refuse(reason, QStringLiteral("bad file entry %1").arg(e.path));
            e.oldHash
                = e.source == Source::Installed ? e.hash : hashFrom(o.value(QStringLiteral("old")));
            if (e.source == Source::Patch && e.oldHash.isEmpty())
                return refuse(reason, QStringLiteral("no old hash for %1").arg(e.path));
            if (e.source == Source::Whole)
                e.oldHash.clear();
        } else if (e.kind == Kind::Link) {
            e.target = o.value(QStringLiteral("target")).toString();
            if (e.target.isEmpty() || e.target.contains(QChar(0)))
                return refuse(reason, QStringLiteral("no target for %1").arg(e.path));
        }
        if (e.kind == Kind::Dir)
            folders.insert(e.path);
        result.entries.append(e);
    }
    for (const QJsonValue &value : root.value(QStringLiteral("removed")).toArray()) {
        const QString path = cleanPath(value.toString());
        if (path.isNull() || folded.contains(path.toCaseFolded()))
            return refuse(reason, QStringLiteral("a removed path is unsafe, kept or twice"));
        folded.insert(path.toCaseFolded());
        result.removed.append(path);
    }
    *index = result;
    return true;
}
