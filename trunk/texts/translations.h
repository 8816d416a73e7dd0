#ifndef TRANSLATIONS_H
#define TRANSLATIONS_H

#include <QLocale>

// The window's texts in the languages the updater ships, built into it.
class Translations
{
public:
    // Installs the translation that suits `locale` (its UI languages in
    // order, e.g. de_AT then de), before any window exists; none for
    // English, C or a language not shipped, whose texts stay English.
    // True when one was installed. Calling it again replaces the last one.
    static bool install(const QLocale &locale);
};

#endif // TRANSLATIONS_H
