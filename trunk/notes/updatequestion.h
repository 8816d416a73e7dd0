#ifndef UPDATEQUESTION_H
#define UPDATEQUESTION_H

#include <QString>

#include <functional>

// The one question of a run: "New update is available. Do you want to
// update now?", with the installed and the published version, the download
// size (when known, size >= 0) and the release notes under them.
namespace UpdateQuestion {

// Asks, modally; `shown` gets the details as one line just before the box
// opens. True on Yes; No and closing the box (No is its escape button) are false.
bool ask(const QString &installed, const QString &published, qint64 size, const QString &notes,
    const std::function<void(const QString &details)> &shown);

} // namespace UpdateQuestion

#endif // UPDATEQUESTION_H
