#ifndef DELTAUPDATE_H
#define DELTAUPDATE_H

#include "deltaindex.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class Installer;
class QThread;

// One delta between the window's downloads. The window fetches the delta's
// index into indexPath(); check() then decides, before the delta itself is
// fetched, whether it applies to this installation. The window fetches the
// delta into deltaPath() (at most offer().size bytes); stage() checks its
// size and hash and applies it into the staging folder, and installer() then
// puts the staged tree in place through the journalled swap. Any step that
// fails leaves discard() to remove what the delta left, and the full archive
// to do the update. The hashing and decoding run off the GUI thread; each
// step ends in exactly one signal of its own, with why not when not ok.
class DeltaUpdate : public QObject
{
    Q_OBJECT

public:
    DeltaUpdate(const DeltaIndex::Offer &offer, const QString &version, const QString &appDir,
        QObject *parent = nullptr);
    // Waits for a step under way, which stops soon, and removes what the
    // delta left.
    ~DeltaUpdate() override;

    const DeltaIndex::Offer &offer() const { return delta; }
    QString indexPath() const;
    QString deltaPath() const;

    void check(const QString &installedVersion); // then checked()
    void stage(); // then staged()
    // The installer of what stage() staged, owned by parent.
    Installer *installer(QObject *parent) const;
    // Removes the fetched index and delta, and anything staged.
    void discard();
    // " (delta from FROM, N KiB of M KiB)": what was fetched against the archive.
    QString summary(qint64 archiveSize) const;

signals:
    void checked(bool ok, const QString &reason);
    void staged(bool ok, const QString &reason);

private:
    void runStep(std::function<bool(QString *reason)> work,
        void (DeltaUpdate::*done)(bool ok, const QString &reason));

    const DeltaIndex::Offer delta;
    const QString version;
    const QString appDir;
    DeltaIndex index;
    QThread *worker = nullptr;
    std::atomic<bool> cancelled {false};
};

#endif // DELTAUPDATE_H
