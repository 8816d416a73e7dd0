#include "updatequestion.h"

#include "notesview.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QMessageBox>

namespace {

const char *const context = "UpdateQuestion";

ShownText text(const char *source)
{
    return ShownText(context, source);
}

} // namespace

QString UpdateQuestion::sentence()
{
    return QStringLiteral("New update is available. Do you want to update now?");
}

QList<ShownText> UpdateQuestion::lines(const Facts &facts)
{
    QList<ShownText> lines;
    if (facts.installed.isEmpty())
        lines << text(QT_TRANSLATE_NOOP("UpdateQuestion", "Installed version: none"));
    else
        lines << text(QT_TRANSLATE_NOOP("UpdateQuestion", "Installed version: %1"))
                     .arg(facts.installed);
    lines
        << text(QT_TRANSLATE_NOOP("UpdateQuestion", "Published version: %1")).arg(facts.published);
    if (facts.size >= 0)
        lines << text(QT_TRANSLATE_NOOP("UpdateQuestion", "Download size: %1")).size(facts.size);
    if (facts.critical)
        lines << text(QT_TRANSLATE_NOOP(
            "UpdateQuestion", "The publisher has marked this update as important."));
    return lines;
}

QString UpdateQuestion::english(const QList<ShownText> &lines, const QString &separator)
{
    QStringList texts;
    for (const ShownText &line : lines)
        texts << line.english();
    return texts.join(separator);
}

ShownText UpdateQuestion::checkBoxText()
{
    return text(QT_TRANSLATE_NOOP("UpdateQuestion", "Don't ask again for this version"));
}

UpdateQuestion::Answer UpdateQuestion::ask(const Facts &facts)
{
    QMessageBox box(nullptr);
    box.setText(sentence());
    QStringList shown;
    for (const ShownText &line : lines(facts))
        shown << line.translated();
    box.setInformativeText(shown.join(QLatin1Char('\n')));
    // A critical release is asked about at every start until installed:
    // nothing to tick.
    if (!facts.critical) {
        auto *skip = new QCheckBox(checkBoxText().translated(), &box);
        skip->setObjectName(QStringLiteral("skipVersion"));
        box.setCheckBox(skip);
    }
    if (!facts.notes.isEmpty())
        NotesView::addTo(&box, facts.notes);
    box.addButton(QMessageBox::No);
    box.addButton(QMessageBox::Yes);
    box.exec();

    // Closing the box counts as No: No is its escape button.
    const QAbstractButton *clicked = box.clickedButton();
    if (clicked && clicked->text() == box.button(QMessageBox::Yes)->text()
        && clicked->text() != box.button(QMessageBox::No)->text())
        return Yes;
    return box.checkBox() && box.checkBox()->isChecked() ? NoAndSkip : No;
}
