#ifndef SHOWNTEXT_H
#define SHOWNTEXT_H

#include <QString>
#include <QStringList>

// A text the person sees, kept as its English source and its arguments, so
// that the window shows it in the person's language while the log says it
// in English (the log is read by publishers and support). The source is
// marked for lupdate where it is written (QT_TRANSLATE_NOOP with the same
// context).
class ShownText
{
public:
    ShownText() = default;
    ShownText(const char *context, const char *source);

    // The next %N: a text the same in both forms (a version, a name).
    ShownText &arg(const QString &text);
    ShownText &arg(int number);
    // The next %N: a size in bytes, in the C locale's form in English, in
    // the default locale's where shown.
    ShownText &size(qint64 bytes);

    bool isEmpty() const { return !source; }
    QString english() const;
    QString translated() const;

private:
    QString filled(QString text, const QStringList &args) const;

    const char *context = nullptr;
    const char *source = nullptr;
    QStringList englishArgs;
    QStringList shownArgs;
};

#endif // SHOWNTEXT_H
