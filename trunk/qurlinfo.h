#ifndef QURLINFO_H
#define QURLINFO_H

#include <QDateTime>
#include <QString>

class QUrl;
class QUrlInfoPrivate;

// One entry of a remote directory listing: name, POSIX permission bits,
// owner, group, size, two time stamps and six kind/access flags.
// A value class: copies never share their record. An entry without a record
// is invalid; any setter gives it one (with the initial values) first.
class QUrlInfo
{
public:
    enum PermissionSpec {
        ReadOwner = 00400,
        WriteOwner = 00200,
        ExeOwner = 00100,
        ReadGroup = 00040,
        WriteGroup = 00020,
        ExeGroup = 00010,
        ReadOther = 00004,
        WriteOther = 00002,
        ExeOther = 00001
    };

    QUrlInfo();
    QUrlInfo(const QUrlInfo &ui);
    QUrlInfo(const QString &name, int permissions, const QString &owner, const QString &group,
        qint64 size, const QDateTime &lastModified, const QDateTime &lastRead, bool isDir,
        bool isFile, bool isSymLink, bool isWritable, bool isReadable, bool isExecutable);
    // The name is the last component of the URL's decoded path.
    QUrlInfo(const QUrl &url, int permissions, const QString &owner, const QString &group,
        qint64 size, const QDateTime &lastModified, const QDateTime &lastRead, bool isDir,
        bool isFile, bool isSymLink, bool isWritable, bool isReadable, bool isExecutable);
    QUrlInfo &operator=(const QUrlInfo &ui);
    virtual ~QUrlInfo();

    virtual void setName(const QString &name);
    virtual void setDir(bool b);
    virtual void setFile(bool b);
    virtual void setSymLink(bool b);
    virtual void setOwner(const QString &s);
    virtual void setGroup(const QString &s);
    virtual void setSize(qint64 size);
    virtual void setWritable(bool b);
    virtual void setReadable(bool b);
    virtual void setPermissions(int p);
    virtual void setLastModified(const QDateTime &dt);
    void setLastRead(const QDateTime &dt);

    bool isValid() const;

    QString name() const;
    int permissions() const;
    QString owner() const;
    QString group() const;
    qint64 size() const;
    QDateTime lastModified() const;
    QDateTime lastRead() const;
    bool isDir() const;
    bool isFile() const;
    bool isSymLink() const;
    bool isWritable() const;
    bool isReadable() const;
    bool isExecutable() const;

    // sortBy: 0 name, 1 last-modified time, 2 size; any other value selects
    // no key. lessThan is the negation of greaterThan, so it holds for equal
    // keys and for an unknown sortBy.
    static bool greaterThan(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy);
    static bool lessThan(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy);
    static bool equal(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy);

    bool operator==(const QUrlInfo &i) const;
    bool operator!=(const QUrlInfo &i) const { return !operator==(i); }

private:
    QUrlInfoPrivate *d;
};

#endif // QURLINFO_H
