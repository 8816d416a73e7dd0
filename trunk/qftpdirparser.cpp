#include "qftpdirparser_p.h"
#include "qftpdtp.h"
#include "qurlinfo.h"

#include <QDate>
#include <QRegExp>

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

// Dates are read by hand rather than with QLocale::toDateTime: that parser
// costs several microseconds per attempt (and several local-time
// conversions), and a Unix line may need all six formats. The rules below
// reproduce what it accepts under the C locale for the formats of the two
// layouts, quirks included, so that a line reads the same either way.

// A numeric field of `width` characters; like the toolkit's parser, the first
// of two or more may be a plus sign. Returns -1 when the text is not such a field.
int fixedField(const QStringRef &text, int width)
{
    if (text.size() != width)
        return -1;
    int value = 0;
    for (int i = 0; i < width; ++i) {
        const QChar c = text.at(i);
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            value = value * 10 + (c.unicode() - '0');
        else if (i > 0 || c != QLatin1Char('+') || width == 1)
            return -1;
    }
    return value;
}

// English month abbreviation, any letter case; 0 when it is none.
int monthNumber(const QStringRef &text)
{
    static const char names[] = "janfebmaraprmayjunjulaugsepoctnovdec";
    if (text.size() != 3)
        return 0;
    for (int m = 0; m < 12; ++m) {
        if (text.compare(QLatin1String(names + 3 * m, 3), Qt::CaseInsensitive) == 0)
            return m + 1;
    }
    return 0;
}

// Length of a separator made of one or two spaces; 0 for anything else.
int spaces(const QStringRef &text)
{
    for (const QChar c : text) {
        if (c != QLatin1Char(' '))
            return 0;
    }
    return text.size() <= 2 ? text.size() : 0;
}

// Unix listings show "Mon dd  yyyy" for old entries and "Mon dd hh:mm" for
// recent ones, with the day zero- or space-padded depending on the server.
// The formats, in the order they are tried:
//   "MMM dd  yyyy", "MMM dd hh:mm", "MMM  d  yyyy", "MMM  d hh:mm",
//   "MMM  d yyyy", "MMM dd yyyy".
// Each combination of separators and year-or-time selects at most one of
// them, so the order cannot change the result. `text` holds three words with
// white space between them. A date without a year gets the leap year 2000 as
// a placeholder (so that "Feb 29" is a date) and *hasYear false; no QDateTime
// is built for it, as the year is replaced at once.
bool parseUnixDate(const QString &text, QDate *date, QTime *time, bool *hasYear)
{
    *hasYear = true;
    int pos = 0;
    QStringRef parts[5]; // word, separator, word, separator, word
    for (int part = 0; part < 5; ++part) {
        const bool space = part % 2 == 1;
        const int begin = pos;
        while (pos < text.size() && text.at(pos).isSpace() == space)
            ++pos;
        parts[part] = text.midRef(begin, pos - begin);
    }
    const int month = monthNumber(parts[0]);
    const int sep1 = spaces(parts[1]);
    const int sep2 = spaces(parts[3]);
    if (month == 0 || sep1 == 0 || sep2 == 0 || pos != text.size())
        return false;

    // "dd" after one space, "d" (one digit, or two) after two.
    const QStringRef &dayText = parts[2];
    const int day
        = sep1 == 2 && dayText.size() == 1 ? fixedField(dayText, 1) : fixedField(dayText, 2);
    if (day < 0)
        return false;

    const QStringRef &last = parts[4];
    if (last.contains(QLatin1Char(':'))) {
        if (sep2 != 1 || last.size() != 5 || last.at(2) != QLatin1Char(':'))
            return false;
        const int hour = fixedField(last.left(2), 2);
        const int minute = fixedField(last.mid(3), 2);
        if (hour < 0 || minute < 0 || !QTime::isValid(hour, minute, 0))
            return false;
        *time = QTime(hour, minute);
        *date = QDate(2000, month, day);
        *hasYear = false;
    } else {
        const int year = fixedField(last, 4);
        if (year < 0)
            return false;
        *time = QTime(0, 0);
        *date = QDate(year, month, day);
    }
    return date->isValid();
}

// A time of day instead of a year means the entry is recent: it belongs to
// the current year unless that puts it more than a day ahead of now (the
// margin absorbs servers in other time zones), in which case it is last year's.
// A day the chosen year lacks (29 February) gives an invalid date-time.
QDateTime inferYear(const QDate &date, const QTime &time, const QDateTime &now)
{
    const int year = now.date().year();
    QDateTime dt(QDate(year, date.month(), date.day()), time);
    if (dt.secsTo(now) < -86400)
        dt = QDateTime(QDate(year - 1, date.month(), date.day()), time);
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

    // Month names are matched in any letter case, so a lower-case first
    // letter needs no fixing up.
    const QString dateText = re.cap(6);
    QDate date;
    QTime time;
    bool hasYear = true;
    if (parseUnixDate(dateText, &date, &time, &hasYear)) {
        const QDateTime dt = hasYear ? QDateTime(date, time) : inferYear(date, time, now);
        if (dt.isValid())
            info->setLastModified(dt);
    }

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

// DOS listings print "MM-dd-yy  hh:mmAP" (the layout's pattern has already
// checked every digit). Two-digit years 71-99 are 1971-1999 and 00-70 are
// 2000-2070; the century is applied before the date is checked, so that
// 29 February 2000 is a date (a year read as 1900 first would reject it).
// Longer years are not a date this layout knows.
QDateTime parseDosDate(const QString &text)
{
    if (text.size() != 17)
        return QDateTime();
    const auto number = [&](int pos) { return text.midRef(pos, 2).toInt(); };
    const int yy = number(6);
    const int hour12 = number(10);
    const int minute = number(13);
    if (hour12 > 12)
        return QDateTime();
    const bool pm = text.at(15) == QLatin1Char('P');
    const int hour = hour12 % 12 + (pm ? 12 : 0);
    const QDate date(yy <= 70 ? 2000 + yy : 1900 + yy, number(0), number(3));
    if (!date.isValid() || !QTime::isValid(hour, minute, 0))
        return QDateTime();
    return QDateTime(date, QTime(hour, minute));
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

    // Latin-1, one character per byte; anything after a NUL is not listing
    // text. Only ASCII blanks and line ends are trimmed, on the bytes: a
    // UTF-8 name may end in a byte that Latin-1 reads as a blank (0x85, 0xA0).
    const int length = int(qstrnlen(line.constData(), uint(line.size())));
    const QString text = QString::fromLatin1(QByteArray(line.constData(), length).trimmed());
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
