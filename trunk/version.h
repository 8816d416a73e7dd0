#ifndef VERSION_H
#define VERSION_H

#include <QString>

// Version texts as they stand in "version.ver": compared as dotted decimal
// numbers when both are, otherwise by the old single-number rule.
namespace Version {

// The text with every line break removed and blanks trimmed at both ends.
QString clean(const QString &text);

// The old rule: every "\n", "\r" and "." removed, the rest read as a decimal
// int; 0 when that fails. Kept for texts that are not dotted decimal numbers.
int legacyNumber(QString text);

// <0, 0 or >0 as a is older than, the same as or newer than b. When both
// cleaned texts are dotted decimal numbers they are compared component by
// component, a missing component counting as 0 (2.0 > 1.10, 1.2.10 > 1.3,
// 1.0 == 1.0.0); otherwise their legacy numbers are compared.
int compare(const QString &a, const QString &b);

} // namespace Version

#endif // VERSION_H
