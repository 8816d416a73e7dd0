#ifndef NOTESVIEW_H
#define NOTESVIEW_H

#include <QTextBrowser>

class QMessageBox;

// A release's notes, rendered from Markdown, read-only and scrollable. It
// fetches nothing: no image or other resource is loaded (not even a local
// file), no link is followed, and HTML in the notes is shown as text.
// Notes with too much markup to render at once are shown as plain text.
class NotesView : public QTextBrowser
{
public:
    NotesView(const QString &markdown, QWidget *parent = nullptr);

    // Places a view of the notes in the question box, under its texts and
    // above its check box and buttons.
    static void addTo(QMessageBox *box, const QString &markdown);

    // Whether Markdown renders in well under a second: at most maxLines
    // lines, and the sum over its paragraphs of the square of their
    // punctuation characters and lines at most maxMarkupWeight. Other notes are shown
    // as plain text, so that no notes delay the question.
    static bool quickToRender(const QString &markdown);
    static constexpr qint64 maxMarkupWeight = 100000;
    static constexpr int maxLines = 2000;

protected:
    QVariant loadResource(int type, const QUrl &name) override;
};

#endif // NOTESVIEW_H
