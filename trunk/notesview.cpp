#include "notesview.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>

NotesView::NotesView(const QString &markdown, QWidget *parent)
    : QTextBrowser(parent)
{
    setObjectName(QStringLiteral("releaseNotes"));
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setReadOnly(true);
    document()->setMarkdown(markdown,
        QTextDocument::MarkdownFeatures(
            QTextDocument::MarkdownDialectGitHub | QTextDocument::MarkdownNoHTML));
    setMinimumSize(360, 160);
}

QVariant NotesView::loadResource(int, const QUrl &)
{
    return QVariant();
}

void NotesView::addTo(QMessageBox *box, const QString &markdown)
{
    auto *grid = qobject_cast<QGridLayout *>(box->layout());
    auto *buttons = box->findChild<QDialogButtonBox *>();
    if (!grid || !buttons)
        return;
    // The buttons move down one row to make room above them; the notes line
    // up with the texts.
    int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(grid->indexOf(buttons), &row, &column, &rowSpan, &columnSpan);
    int textColumn = column;
    if (auto *text = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
        int r = 0, s = 0, t = 0;
        grid->getItemPosition(grid->indexOf(text), &r, &textColumn, &s, &t);
    }
    grid->removeWidget(buttons);
    grid->addWidget(
        new NotesView(markdown, box), row, textColumn, 1, column + columnSpan - textColumn);
    grid->addWidget(buttons, row + 1, column, rowSpan, columnSpan);
}
