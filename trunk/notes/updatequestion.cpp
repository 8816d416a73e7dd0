#include "updatequestion.h"

#include "notesview.h"

#include <QAbstractButton>
#include <QLocale>
#include <QMessageBox>
#include <QStringList>

bool UpdateQuestion::ask(const QString &installed, const QString &published, qint64 size,
    const QString &notes, const std::function<void(const QString &details)> &shown)
{
    QMessageBox box(nullptr);
    box.setText(QStringLiteral("New update is available. Do you want to update now?"));
    QStringList details;
    details << QStringLiteral("Installed version: %1")
                   .arg(installed.isEmpty() ? QStringLiteral("none") : installed)
            << QStringLiteral("Published version: %1").arg(published);
    if (size >= 0)
        details << QStringLiteral("Download size: %1").arg(QLocale().formattedDataSize(size));
    box.setInformativeText(details.join(QLatin1Char('\n')));
    shown(details.join(QLatin1String("; ")));
    if (!notes.isEmpty())
        NotesView::addTo(&box, notes);
    box.addButton(QMessageBox::No);
    box.addButton(QMessageBox::Yes);
    box.exec();
    // The buttons told apart by their texts, as the person saw them.
    const QAbstractButton *clicked = box.clickedButton();
    return clicked && clicked->text() != box.button(QMessageBox::No)->text()
        && clicked->text() == box.button(QMessageBox::Yes)->text();
}
