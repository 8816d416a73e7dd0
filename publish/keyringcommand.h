#ifndef KEYRINGCOMMAND_H
#define KEYRINGCOMMAND_H

#include "publisher.h"

#include <QCoreApplication>
#include <QStringList>

#include <functional>

// "updater-publish keyring init|add-key|revoke|roots|sign|publish DIR ...":
// the command line of the keyring's commands (KeyringTool does the work).
// `upload` puts the named files of a folder on the server, all or nothing,
// and returns the exit code.
using KeyringUpload = std::function<int(const Publisher::Server &server, const QString &dir,
    const QStringList &names, const QString &done)>;
int keyringMain(const QStringList &arguments, const KeyringUpload &upload);

#endif // KEYRINGCOMMAND_H
