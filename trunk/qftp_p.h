#ifndef QFTP_P_H
#define QFTP_P_H

#include "qftp.h"

// Placeholder until the command queue lands.
class QFtpPrivate
{
public:
    void _q_startNextCommand() {}
    void _q_piFinished(const QString &) {}
    void _q_piError(int, const QString &) {}
    void _q_piConnectState(int) {}
    void _q_piFtpReply(int, const QString &) {}
};

#endif // QFTP_P_H
