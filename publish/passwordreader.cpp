#include "passwordreader.h"

#include <cstdio>
#include <termios.h>
#include <unistd.h>

const char *const PasswordReader::environmentVariable = "UPDATER_PUBLISH_PASSWORD";

namespace {

QByteArray readLine(bool *ok)
{
    QByteArray line;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n')
        line += char(c);
    if (line.endsWith('\r'))
        line.chop(1);
    *ok = c != EOF || !line.isEmpty();
    return line;
}

QByteArray readWithoutEcho(const QString &prompt, bool *ok)
{
    termios saved;
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
        std::fflush(stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const QByteArray line = readLine(ok);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    return line;
}

} // namespace

QByteArray PasswordReader::read(const QString &prompt, bool confirm, bool *ok)
{
    if (qEnvironmentVariableIsSet(environmentVariable)) {
        *ok = true;
        return qgetenv(environmentVariable);
    }
    const QByteArray first = readWithoutEcho(prompt, ok);
    if (!*ok || !confirm)
        return first;
    const QByteArray second = readWithoutEcho(QStringLiteral("Again: "), ok);
    if (*ok && second != first) {
        std::fprintf(stderr, "The passwords differ.\n");
        *ok = false;
    }
    return *ok ? first : QByteArray();
}
