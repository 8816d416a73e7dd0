#include "notesview.h"

#include <QCheckBox>
#include <QDebug>
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
    if (quickToRender(markdown)) {
        document()->setMarkdown(markdown,
            QTextDocument::MarkdownFeatures(
                QTextDocument::MarkdownDialectGitHub | QTextDocument::MarkdownNoHTML));
    } else {
        qDebug().noquote() << "Release notes shown as plain text: too much markup in one "
                              "paragraph or table to render without delaying the question";
        setPlainText(markdown);
    }
    setMinimumSize(360, 160);
}

bool NotesView::quickToRender(const QString &markdown)
{
    // Qt's Markdown import takes time growing with the square of the inline
    // markup and of the lines in one paragraph (a table, a list or a quote
    // without blank lines counts as one): 64 KiB of one table, one list or
    // one paragraph of emphasis or links took from seconds to minutes. The
    // sum of those squares is bounded, and the lines, which cost each
    // their own, rather than the notes' size.
    qint64 weight = 0;
    qint64 inParagraph = 0;
    int lines = 0;
    bool blankLine = true;
    for (const QChar c : markdown) {
        if (c == QLatin1Char('\n')) {
            ++lines;
            if (blankLine) {
                weight += inParagraph * inParagraph;
                inParagraph = 0;
            } else {
                ++inParagraph;
            }
            blankLine = true;
            continue;
        }
        // Every piece of Markdown syntax, links found in text included, is
        // made of punctuation.
        if (c.isPunct() || c.isSymbol())
            ++inParagraph;
        if (!c.isSpace())
            blankLine = false;
    }
    weight += inParagraph * inParagraph;
    return weight <= maxMarkupWeight && lines <= maxLines;
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
    // The check box (when there is one) and the buttons move down one row
    // to make room above them; the notes line up with the texts.
    int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(grid->indexOf(buttons), &row, &column, &rowSpan, &columnSpan);
    int textColumn = column;
    if (auto *text = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
        int r = 0, s = 0, t = 0;
        grid->getItemPosition(grid->indexOf(text), &r, &textColumn, &s, &t);
    }
    int at = row;
    if (box->checkBox() && grid->indexOf(box->checkBox()) >= 0) {
        int c = 0, s = 0, t = 0;
        grid->getItemPosition(grid->indexOf(box->checkBox()), &at, &c, &s, &t);
    }
    struct Moved
    {
        QLayoutItem *item;
        int row, column, rowSpan, columnSpan;
    };
    QVector<Moved> moved;
    for (int i = grid->count() - 1; i >= 0; --i) {
        Moved m {nullptr, 0, 0, 0, 0};
        grid->getItemPosition(i, &m.row, &m.column, &m.rowSpan, &m.columnSpan);
        if (m.row < at)
            continue;
        m.item = grid->takeAt(i);
        moved.append(m);
    }
    grid->addWidget(
        new NotesView(markdown, box), at, textColumn, 1, column + columnSpan - textColumn);
    for (const Moved &m : moved)
        grid->addItem(m.item, m.row + 1, m.column, m.rowSpan, m.columnSpan, m.item->alignment());
}
