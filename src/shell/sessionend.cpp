#include "shell/sessionend.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
std::function<void()>* g_close = nullptr;

// Only async-signal-safe work here: one byte into the pipe wakes the event loop.
void onSignal(int)
{
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &b, 1);
}

// The pipe and its reader, made once.
bool makePipe()
{
    if (g_pipe[0] >= 0)
        return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0)
        return false;
    ::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char buf[16];
        [[maybe_unused]] const ssize_t n = ::read(g_pipe[0], buf, sizeof buf);
        static bool running = false;
        if (running || !g_close || !*g_close)
            return;
        running = true;
        (*g_close)();
        running = false;
    });
    return true;
}

} // namespace

void closeOnSessionEnd(std::function<void()> close)
{
    if (!g_close)
        g_close = new std::function<void()>; // lives as long as the program
    const int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
    if (!close) {
        // Back to the signals' ordinary meaning.
        *g_close = nullptr;
        for (int sig : kSignals)
            std::signal(sig, SIG_DFL);
        return;
    }
    if (!makePipe())
        return;
    *g_close = std::move(close);
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kSignals)
        ::sigaction(sig, &sa, nullptr);
}
