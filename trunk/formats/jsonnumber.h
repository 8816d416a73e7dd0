#ifndef JSONNUMBER_H
#define JSONNUMBER_H

#include <QJsonValue>

#include <cmath>

// Whole numbers in the JSON formats (versions, times, counts).
namespace JsonNumber {

// JSON numbers are doubles: whole numbers are exact up to 2^53.
constexpr double largestExact = 9007199254740992.0;

// `value` when it is a whole number from `min` to `max`: true with *out.
inline bool whole(const QJsonValue &value, double min, double max, qint64 *out)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    // In range before the conversion: a double outside qint64 has none defined.
    if (!(d >= min && d <= max) || std::floor(d) != d)
        return false;
    *out = qint64(d);
    return true;
}

} // namespace JsonNumber

#endif // JSONNUMBER_H
