#ifndef UPDATEQUESTION_H
#define UPDATEQUESTION_H

#include "showntext.h"

#include <QList>
#include <QString>

// The update question: its sentence and its Yes and No buttons, the lines
// under it (the versions, the download's size, and for a critical release
// that the publisher marked it as important), the release notes, and for
// any other release the check box "Don't ask again for this version".
// The lines and the check box are shown in the person's language; the
// sentence and the buttons stay as they are written.
class UpdateQuestion
{
public:
    struct Facts
    {
        QString installed; // empty: none
        QString published;
        qint64 size = -1; // of the download; -1 when not known
        QString notes; // Markdown; empty: none shown
        bool critical = false;
    };
    enum Answer { No, Yes, NoAndSkip };

    static QString sentence();
    // The lines under the sentence, in order.
    static QList<ShownText> lines(const Facts &facts);
    static QString english(const QList<ShownText> &lines, const QString &separator);
    static ShownText checkBoxText();

    // Asks, modally. The buttons are told apart by their texts; closing the
    // box counts as No. The check box is read only with No.
    static Answer ask(const Facts &facts);
};

#endif // UPDATEQUESTION_H
