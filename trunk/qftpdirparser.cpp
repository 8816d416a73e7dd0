#include "qftpdirparser_p.h"
#include "qftpdtp.h"
#include "qurlinfo.h"

#include <QDate>
#include <QLocale>
#include <QRegExp>
#include <QStringList>

#include <cstring>

namespace {

// A QRegExp keeps the state of its last match, so every thread compiles its
// own copy once instead of once per line.
QRegExp &unixPattern()
{
    thread_local QRegExp re(
        QStringLiteral("^([\\-dl])([a-zA-Z\\-]{9,9})\\s+\\d+\\s+(\\S*)\\s+(\\S*)\\s+"
                       "(\\d+)\\s+(\\S+\\s+\\S+\\s+\\S+)\\s+(\\S.*)"));
    return re;
}

QRegExp &dosPattern()
{
    thread_local QRegExp re(QStringLiteral(
        "^(\\d\\d-\\d\\d-\\d\\d\\d?\\d?\\ \\ \\d\\d:\\d\\d[AP]M)\\s+(<DIR>|\\d+)\\s+(\\S.*)$"));
    return re;
}

const QLocale &cLocale()
{
    thread_local const QLocale locale(QLocale::C);
    return locale;
}

// Unix listings show "Mon dd  yyyy" for old entries and "Mon dd hh:mm" for
// recent ones, with the day zero- or space-padded depending on the server.
// The formats are tried in this order; the first valid result wins.
struct DateFormat
{
    const char *format;
    bool hasYear;
};
constexpr DateFormat unixDateFormats[] = {
    {"MMM dd  yyyy", true},
    {"MMM dd hh:mm", false},
    {"MMM  d  yyyy", true},
    {"MMM  d hh:mm", false},
    {"MMM  d yyyy", true},
    {"MMM dd yyyy", true},
};

// A format without a year is parsed against a placeholder year. The parser's
// own placeholder (1900) is not a leap year and would reject "Feb 29 10:00",
// so a leap year is supplied instead; the year is replaced right after.
QDateTime parseUnixDate(const QString &text, const DateFormat &f)
{
    if (f.hasYear)
        return cLocale().toDateTime(text, QLatin1String(f.format));
    return cLocale().toDateTime(
        QLatin1String("2000 ") + text, QLatin1String("yyyy ") + QLatin1String(f.format));
}

QDateTime withYear(const QDateTime &dt, int year)
{
    return QDateTime(QDate(year, dt.date().month(), dt.date().day()), dt.time());
}

// A time of day instead of a year means the entry is recent: it belongs to
// the current year unless that puts it more than a day ahead of now (the
// margin absorbs servers in other time zones), in which case it is last year's.
QDateTime inferYear(const QDateTime &parsed, const QDateTime &now)
{
    QDateTime dt = withYear(parsed, now.date().year());
    if (dt.secsTo(now) < -86400)
        dt = withYear(parsed, now.date().year() - 1);
    return dt;
}

bool parseUnixLine(const QRegExp &re, const QString &userName, QUrlInfo *info, const QDateTime &now)
{
    const QChar type = re.cap(1).at(0);
    info->setDir(type == QLatin1Char('d') || type == QLatin1Char('l'));
    info->setFile(type == QLatin1Char('-'));
    info->setSymLink(type == QLatin1Char('l'));

    QString name = re.cap(7);
    if (info->isSymLink()) {
        const int arrow = name.indexOf(QLatin1String(" ->"));
        if (arrow >= 0)
            name.truncate(arrow);
    }
    info->setName(name);

    info->setOwner(re.cap(3));
    info->setGroup(re.cap(4));

    bool ok = false;
    const qint64 size = re.cap(5).toLongLong(&ok, 10);
    info->setSize(ok ? size : 0);

    QString dateText = re.cap(6);
    dateText[0] = dateText.at(0).toUpper();
    QDateTime dt;
    for (const DateFormat &f : unixDateFormats) {
        dt = parseUnixDate(dateText, f);
        if (dt.isValid()) {
            if (!f.hasYear)
                dt = inferYear(dt, now);
            break;
        }
    }
    if (dt.isValid())
        info->setLastModified(dt);

    static const int bits[9] = {QUrlInfo::ReadOwner, QUrlInfo::WriteOwner, QUrlInfo::ExeOwner,
        QUrlInfo::ReadGroup, QUrlInfo::WriteGroup, QUrlInfo::ExeGroup, QUrlInfo::ReadOther,
        QUrlInfo::WriteOther, QUrlInfo::ExeOther};
    static const char letters[] = "rwxrwxrwx";
    const QString perms = re.cap(2);
    int permissions = 0;
    for (int i = 0; i < 9; ++i) {
        if (perms.at(i) == QLatin1Char(letters[i]))
            permissions |= bits[i];
    }
    info->setPermissions(permissions);

    const bool owned = info->owner() == userName;
    info->setReadable(
        (permissions & QUrlInfo::ReadOther) || ((permissions & QUrlInfo::ReadOwner) && owned));
    info->setWritable(
        (permissions & QUrlInfo::WriteOther) || ((permissions & QUrlInfo::WriteOwner) && owned));
    return true;
}

// DOS listings print the year with two digits; 71-99 are 1971-1999 and 00-70
// are 2000-2070. The century is put in before parsing: a two-digit year read
// as 1900 would reject 29 February 2000, which 1900 lacks.
QDateTime parseDosDate(const QString &text)
{
    const int yearEnd = text.indexOf(QLatin1Char(' '));
    if (yearEnd != 8) // three or four year digits: not a date this layout knows
        return QDateTime();
    const int yy = text.midRef(6, 2).toInt();
    const QString full = text.left(6) + QLatin1String(yy <= 70 ? "20" : "19") + text.mid(6);
    return cLocale().toDateTime(full, QStringLiteral("MM-dd-yyyy  hh:mmAP"));
}

bool parseDosLine(const QRegExp &re, QUrlInfo *info)
{
    const QString name = re.cap(3);
    info->setName(name);
    info->setSymLink(name.toLower().endsWith(QLatin1String(".lnk")));

    const QString sizeText = re.cap(2);
    if (sizeText == QLatin1String("<DIR>")) {
        info->setFile(false);
        info->setDir(true);
    } else {
        info->setFile(true);
        info->setDir(false);
        bool ok = false;
        const qint64 size = sizeText.toLongLong(&ok, 10);
        info->setSize(ok ? size : 0);
    }

    // Windows servers mark nothing executable; the extension is all there is.
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString ext = dot >= 0 ? name.mid(dot + 1) : QString();
    const bool executable
        = ext == QLatin1String("exe") || ext == QLatin1String("bat") || ext == QLatin1String("com");
    info->setPermissions(executable ? 0777 : 0666);

    info->setReadable(true);
    info->setWritable(info->isFile());

    info->setLastModified(parseDosDate(re.cap(1)));
    return true;
}

} // namespace

bool qftpParseDir(
    const QByteArray &line, const QString &userName, QUrlInfo *info, const QDateTime &now)
{
    if (line.isEmpty())
        return false;

    // Latin-1, one character per byte; anything after a NUL is not listing text.
    const int length = int(qstrnlen(line.constData(), uint(line.size())));
    const QString text = QString::fromLatin1(line.constData(), length).trimmed();
    if (text.isEmpty())
        return false;

    QRegExp &unixRe = unixPattern();
    if (unixRe.indexIn(text) == 0)
        return parseUnixLine(unixRe, userName, info, now);

    QRegExp &dosRe = dosPattern();
    if (dosRe.indexIn(text) == 0)
        return parseDosLine(dosRe, info);

    return false;
}

bool QFtpDTP::parseDir(const QByteArray &line, const QString &userName, QUrlInfo *info)
{
    return qftpParseDir(line, userName, info, QDateTime::currentDateTime());
}
