#include "passwordreader.h"

#include <sodium.h>

#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

const char *const PasswordReader::environmentVariable = "UPDATER_PUBLISH_PASSWORD";

namespace {

// The longest password line read; the buffer is never grown, so no copy of
// a password is left behind in freed memory.
const int maxLine = 4096;

// The terminal's settings while echo is off, for the signal handler.
termios savedTerminal;
volatile std::sig_atomic_t echoOff = 0;

// Ctrl-C or a kill at the prompt must not leave the terminal without echo:
// restore it, then die of the signal as without the handler.
extern "C" void restoreEchoAndDie(int signal)
{
    if (echoOff)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

QByteArray readLine(bool *ok)
{
    QByteArray line;
    line.reserve(maxLine + 1);
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
        if (line.size() < maxLine)
            line.append(char(c));
    }
    if (line.endsWith('\r'))
        line.chop(1);
    *ok = c != EOF || !line.isEmpty();
    return line;
}

QByteArray readWithoutEcho(const QString &prompt, bool *ok)
{
    termios saved;
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    struct sigaction oldInt, oldTerm;
    if (terminal) {
        std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
        std::fflush(stderr);
        savedTerminal = saved;
        struct sigaction restore = {};
        restore.sa_handler = restoreEchoAndDie;
        sigemptyset(&restore.sa_mask);
        sigaction(SIGINT, &restore, &oldInt);
        sigaction(SIGTERM, &restore, &oldTerm);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        echoOff = 1;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const QByteArray line = readLine(ok);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        echoOff = 0;
        sigaction(SIGINT, &oldInt, nullptr);
        sigaction(SIGTERM, &oldTerm, nullptr);
        std::fprintf(stderr, "\n");
    }
    return line;
}

} // namespace

void PasswordReader::wipe(QByteArray &secret)
{
    if (!secret.isEmpty())
        sodium_memzero(secret.data(), size_t(secret.size()));
    secret.clear();
}

QByteArray PasswordReader::read(const QString &prompt, bool confirm, bool *ok)
{
    if (qEnvironmentVariableIsSet(environmentVariable)) {
        *ok = true;
        return qgetenv(environmentVariable);
    }
    QByteArray first = readWithoutEcho(prompt, ok);
    if (!*ok || !confirm)
        return first;
    QByteArray second = readWithoutEcho(QStringLiteral("Again: "), ok);
    if (*ok && second != first) {
        std::fprintf(stderr, "The passwords differ.\n");
        *ok = false;
    }
    wipe(second);
    if (!*ok)
        wipe(first);
    return first;
}
