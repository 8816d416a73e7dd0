#include "translations.h"

#include <QCoreApplication>
#include <QTranslator>

#include <memory>

namespace {

const QString folder = QStringLiteral(":/translations");

std::unique_ptr<QTranslator> &installed()
{
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

} // namespace

bool Translations::install(const QLocale &locale)
{
    // A static library's resources are registered by hand.
    Q_INIT_RESOURCE(translations);
    if (installed()) {
        QCoreApplication::removeTranslator(installed().get());
        installed().reset();
    }
    auto translator = std::make_unique<QTranslator>();
    // QTranslator tries de_DE, then de, for each of the locale's languages;
    // English has no file and so stays as written.
    if (locale.language() == QLocale::C || locale.language() == QLocale::English
        || !translator->load(locale, QStringLiteral("updater"), QStringLiteral("_"), folder))
        return false;
    QCoreApplication::installTranslator(translator.get());
    installed() = std::move(translator);
    return true;
}
