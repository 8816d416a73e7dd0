#ifndef VERSION_H
#define VERSION_H

#include <QByteArray>
#include <QString>

// Version texts as they stand in "version.ver": compared by their leading
// dotted decimal numbers when both have them, otherwise by the
// single-number rule.
namespace Version {

// The text with every line break removed and blanks trimmed at both ends.
QString clean(const QString &text);

// The version a published "version.ver" holds: one line of printable text
// (UTF-8, no control character), with or without one line end, cleaned,
// that isOrderable(). False, with *reason ("is empty", "is not one line of
// printable text", "is not a version ..."), for anything else; such a text
// is never shown or compared.
[[nodiscard]] bool readPublished(const QByteArray &bytes, QString *version, QString *reason);

// The single-number rule: every "\n", "\r" and "." removed, the rest read as
// a decimal int; 0 when that fails. It orders texts that are not dotted
// decimal numbers.
int legacyNumber(QString text);

// -1, 0 or 1 as a is older than, the same as or newer than b. When both
// cleaned texts start with dotted decimal numbers those are compared
// component by component, a missing component counting as 0 (2.0 > 1.10,
// 1.2.10 > 1.3, 1.0 == 1.0.0); with the same numbers a text with a suffix
// is older than one without (2.0-beta < 2.0 < 2.0.1), and two suffixes
// compare as text (2.0-beta < 2.0rc1). A text with no leading number
// makes both compare by the single-number rule.
int compare(const QString &a, const QString &b);

constexpr int maxBytes = 64;
constexpr int maxParts = 8;

// Whether a cleaned text is a version a publisher may release: 1 to
// maxParts dotted decimal numbers of at most 9 digits each, optionally
// followed by a suffix of ASCII letters, digits and "-+~_." that starts
// with a letter or one of "-+~_" ("1.2", "2.0-beta", "2.0rc1"), at most
// maxBytes in all. The updater takes no other text as a published version.
bool isOrderable(const QString &text);

} // namespace Version

#endif // VERSION_H
