#ifndef NOTESVIEW_H
#define NOTESVIEW_H

#include <QTextBrowser>

class QMessageBox;

// A release's notes, rendered from Markdown, read-only and scrollable. It
// fetches nothing: no image or other resource is loaded (not even a local
// file), no link is followed, and HTML in the notes is shown as text.
class NotesView : public QTextBrowser
{
public:
    NotesView(const QString &markdown, QWidget *parent = nullptr);

    // Places a view of the notes in the question box, under its texts and
    // above its buttons.
    static void addTo(QMessageBox *box, const QString &markdown);

protected:
    QVariant loadResource(int type, const QUrl &name) override;
};

#endif // NOTESVIEW_H
