#include "showntext.h"

#include <QCoreApplication>
#include <QLocale>

ShownText::ShownText(const char *context, const char *source)
    : context(context)
    , source(source)
{
}

ShownText &ShownText::arg(const QString &text)
{
    englishArgs << text;
    shownArgs << text;
    return *this;
}

ShownText &ShownText::arg(int number)
{
    return arg(QString::number(number));
}

ShownText &ShownText::size(qint64 bytes)
{
    englishArgs << QLocale::c().formattedDataSize(bytes);
    shownArgs << QLocale().formattedDataSize(bytes);
    return *this;
}

QString ShownText::english() const
{
    return source ? filled(QString::fromUtf8(source), englishArgs) : QString();
}

QString ShownText::translated() const
{
    return source ? filled(QCoreApplication::translate(context, source), shownArgs) : QString();
}

QString ShownText::filled(QString text, const QStringList &args) const
{
    // In one pass: an argument holding "%1" (a name) is not filled again.
    switch (args.size()) {
    case 0:
        return text;
    case 1:
        return text.arg(args.at(0));
    case 2:
        return text.arg(args.at(0), args.at(1));
    default:
        return text.arg(args.at(0), args.at(1), args.at(2));
    }
}
