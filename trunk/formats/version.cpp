#include "version.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTextCodec>

namespace {

// The leading dotted decimal numbers of a text ("2.0" of "2.0-beta"), and
// what follows them; empty numbers when the text starts with no digit.
struct Parts
{
    QStringList numbers;
    QString suffix;
};

Parts split(const QString &text)
{
    static const QRegularExpression leading(QStringLiteral("^[0-9]+(\\.[0-9]+)*"));
    const QRegularExpressionMatch match = leading.match(text);
    if (!match.hasMatch())
        return {};
    return {match.captured(0).split(QLatin1Char('.')), text.mid(match.capturedLength(0))};
}

// Compares two runs of decimal digits of any length without converting them,
// so that no component is too long to compare.
int compareNumbers(QString a, QString b)
{
    while (a.size() > 1 && a.startsWith(QLatin1Char('0')))
        a.remove(0, 1);
    while (b.size() > 1 && b.startsWith(QLatin1Char('0')))
        b.remove(0, 1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

} // namespace

QString Version::clean(const QString &text)
{
    QString cleaned = text;
    cleaned.remove(QLatin1Char('\n'));
    cleaned.remove(QLatin1Char('\r'));
    return cleaned.trimmed();
}

int Version::legacyNumber(QString text)
{
    text.replace(QLatin1String("\n"), QString());
    text.replace(QLatin1String("\r"), QString());
    text.replace(QLatin1String("."), QString());
    return text.toInt(nullptr, 10);
}

int Version::compare(const QString &a, const QString &b)
{
    const Parts left = split(clean(a));
    const Parts right = split(clean(b));
    if (left.numbers.isEmpty() || right.numbers.isEmpty()) {
        const int x = legacyNumber(clean(a));
        const int y = legacyNumber(clean(b));
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    for (int i = 0; i < qMax(left.numbers.size(), right.numbers.size()); ++i) {
        const int order = compareNumbers(left.numbers.value(i, QStringLiteral("0")),
            right.numbers.value(i, QStringLiteral("0")));
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    // The same numbers: a pre-release suffix comes before the release itself.
    if (left.suffix.isEmpty() != right.suffix.isEmpty())
        return left.suffix.isEmpty() ? 1 : -1;
    const int order = left.suffix.compare(right.suffix);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

bool Version::isOrderable(const QString &text)
{
    // Bounded, so that whatever one signed text says, a publisher can still
    // release a version above it, and no comparison or record grows with it.
    static const QRegularExpression form(
        QStringLiteral("^[0-9]{1,9}(\\.[0-9]{1,9}){0,7}([-+~_A-Za-z][-+~_.A-Za-z0-9]*)?$"));
    return text.size() <= maxBytes && form.match(text).hasMatch();
}

bool Version::readPublished(const QByteArray &bytes, QString *version, QString *reason)
{
    QByteArray line = bytes;
    if (line.endsWith('\n'))
        line.chop(line.endsWith("\r\n") ? 2 : 1);
    QTextCodec::ConverterState state;
    const QString text
        = QTextCodec::codecForName("UTF-8")->toUnicode(line.constData(), line.size(), &state);
    bool printable = state.invalidChars == 0 && state.remainingChars == 0;
    for (const uint c : text.toUcs4())
        printable = printable && QChar::isPrint(c);
    if (!printable) {
        *reason = QStringLiteral("is not one line of printable text");
        return false;
    }
    const QString cleaned = clean(text);
    if (cleaned.isEmpty()) {
        *reason = QStringLiteral("is empty");
        return false;
    }
    if (!isOrderable(cleaned)) {
        *reason = QStringLiteral("is not a version (at most %1 parts of at most 9 digits and a "
                                 "suffix, %2 bytes in all)")
                      .arg(maxParts)
                      .arg(maxBytes);
        return false;
    }
    *version = cleaned;
    return true;
}
