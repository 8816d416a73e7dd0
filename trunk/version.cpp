#include "version.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

bool isDottedDecimal(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return pattern.match(text).hasMatch();
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
    const QString left = clean(a);
    const QString right = clean(b);
    if (!isDottedDecimal(left) || !isDottedDecimal(right)) {
        const int x = legacyNumber(left);
        const int y = legacyNumber(right);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    const QStringList x = left.split(QLatin1Char('.'));
    const QStringList y = right.split(QLatin1Char('.'));
    for (int i = 0; i < qMax(x.size(), y.size()); ++i) {
        const int order
            = compareNumbers(x.value(i, QStringLiteral("0")), y.value(i, QStringLiteral("0")));
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}
