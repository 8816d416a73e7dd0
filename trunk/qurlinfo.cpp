#include "qurlinfo.h"

#include <QFileInfo>
#include <QUrl>

// The record an entry owns exclusively; the member initialisers are the
// values a setter finds when it creates the record of an invalid entry.
class QUrlInfoPrivate
{
public:
    QString name;
    int permissions = 0;
    QString owner;
    QString group;
    qint64 size = 0;
    QDateTime lastModified;
    QDateTime lastRead;
    bool isDir = false;
    bool isFile = true;
    bool isSymLink = false;
    bool isWritable = true;
    bool isReadable = true;
    bool isExecutable = false;
};

QUrlInfo::QUrlInfo()
    : d(nullptr)
{
}

QUrlInfo::QUrlInfo(const QUrlInfo &ui)
    : d(ui.d ? new QUrlInfoPrivate(*ui.d) : nullptr)
{
}

QUrlInfo::QUrlInfo(const QString &name, int permissions, const QString &owner, const QString &group,
    qint64 size, const QDateTime &lastModified, const QDateTime &lastRead, bool isDir, bool isFile,
    bool isSymLink, bool isWritable, bool isReadable, bool isExecutable)
    : d(new QUrlInfoPrivate)
{
    d->name = name;
    d->permissions = permissions;
    d->owner = owner;
    d->group = group;
    d->size = size;
    d->lastModified = lastModified;
    d->lastRead = lastRead;
    d->isDir = isDir;
    d->isFile = isFile;
    d->isSymLink = isSymLink;
    d->isWritable = isWritable;
    d->isReadable = isReadable;
    d->isExecutable = isExecutable;
}

QUrlInfo::QUrlInfo(const QUrl &url, int permissions, const QString &owner, const QString &group,
    qint64 size, const QDateTime &lastModified, const QDateTime &lastRead, bool isDir, bool isFile,
    bool isSymLink, bool isWritable, bool isReadable, bool isExecutable)
    : QUrlInfo(QFileInfo(url.path(QUrl::FullyDecoded)).fileName(), permissions, owner, group, size,
        lastModified, lastRead, isDir, isFile, isSymLink, isWritable, isReadable, isExecutable)
{
}

QUrlInfo &QUrlInfo::operator=(const QUrlInfo &ui)
{
    if (this == &ui)
        return *this;
    if (ui.d) {
        if (d)
            *d = *ui.d;
        else
            d = new QUrlInfoPrivate(*ui.d);
    } else {
        delete d;
        d = nullptr;
    }
    return *this;
}

QUrlInfo::~QUrlInfo()
{
    delete d;
}

// Every setter goes through here: an invalid entry gets its record first.
static inline QUrlInfoPrivate *ensure(QUrlInfoPrivate *&d)
{
    if (!d)
        d = new QUrlInfoPrivate;
    return d;
}

void QUrlInfo::setName(const QString &name)
{
    ensure(d)->name = name;
}

void QUrlInfo::setDir(bool b)
{
    ensure(d)->isDir = b;
}

void QUrlInfo::setFile(bool b)
{
    ensure(d)->isFile = b;
}

void QUrlInfo::setSymLink(bool b)
{
    ensure(d)->isSymLink = b;
}

void QUrlInfo::setOwner(const QString &s)
{
    ensure(d)->owner = s;
}

void QUrlInfo::setGroup(const QString &s)
{
    ensure(d)->group = s;
}

void QUrlInfo::setSize(qint64 size)
{
    ensure(d)->size = size;
}

void QUrlInfo::setWritable(bool b)
{
    ensure(d)->isWritable = b;
}

void QUrlInfo::setReadable(bool b)
{
    ensure(d)->isReadable = b;
}

void QUrlInfo::setPermissions(int p)
{
    ensure(d)->permissions = p;
}

void QUrlInfo::setLastModified(const QDateTime &dt)
{
    ensure(d)->lastModified = dt;
}

void QUrlInfo::setLastRead(const QDateTime &dt)
{
    ensure(d)->lastRead = dt;
}

bool QUrlInfo::isValid() const
{
    return d != nullptr;
}

QString QUrlInfo::name() const
{
    return d ? d->name : QString();
}

int QUrlInfo::permissions() const
{
    return d ? d->permissions : 0;
}

QString QUrlInfo::owner() const
{
    return d ? d->owner : QString();
}

QString QUrlInfo::group() const
{
    return d ? d->group : QString();
}

qint64 QUrlInfo::size() const
{
    return d ? d->size : 0;
}

QDateTime QUrlInfo::lastModified() const
{
    return d ? d->lastModified : QDateTime();
}

QDateTime QUrlInfo::lastRead() const
{
    return d ? d->lastRead : QDateTime();
}

bool QUrlInfo::isDir() const
{
    return d && d->isDir;
}

bool QUrlInfo::isFile() const
{
    return d && d->isFile;
}

bool QUrlInfo::isSymLink() const
{
    return d && d->isSymLink;
}

bool QUrlInfo::isWritable() const
{
    return d && d->isWritable;
}

bool QUrlInfo::isReadable() const
{
    return d && d->isReadable;
}

bool QUrlInfo::isExecutable() const
{
    return d && d->isExecutable;
}

bool QUrlInfo::greaterThan(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy)
{
    switch (sortBy) {
    case 0:
        return i1.name() > i2.name();
    case 1:
        return i1.lastModified() > i2.lastModified();
    case 2:
        return i1.size() > i2.size();
    default:
        return false;
    }
}

bool QUrlInfo::lessThan(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy)
{
    // Deliberately the plain negation: equal keys and unknown criteria give true.
    return !greaterThan(i1, i2, sortBy);
}

bool QUrlInfo::equal(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy)
{
    switch (sortBy) {
    case 0:
        return i1.name() == i2.name();
    case 1:
        return i1.lastModified() == i2.lastModified();
    case 2:
        return i1.size() == i2.size();
    default:
        return false;
    }
}

bool QUrlInfo::operator==(const QUrlInfo &i) const
{
    if (!d)
        return !i.d;
    if (!i.d)
        return false;
    const QUrlInfoPrivate &a = *d;
    const QUrlInfoPrivate &b = *i.d;
    return a.name == b.name && a.permissions == b.permissions && a.owner == b.owner
        && a.group == b.group && a.size == b.size && a.lastModified == b.lastModified
        && a.lastRead == b.lastRead && a.isDir == b.isDir && a.isFile == b.isFile
        && a.isSymLink == b.isSymLink && a.isWritable == b.isWritable
        && a.isReadable == b.isReadable && a.isExecutable == b.isExecutable;
}
