#include "shell/sessionend.h"

#include "core/errorlog.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

int g_pipe[2] = {-1, -1};
std::function<void()>* g_close = nullptr;
// The close action saves the lists (false while start-up ends the program at once).
bool g_saves = false;
bool g_ending = false;
int g_status = 0;
bool g_unattended = false;

// The close action, once at a time: a signal or a lost display while it runs changes nothing.
void runClose()
{
    static bool running = false;
    if (running || !g_close || !*g_close)
        return;
    running = true;
    session::closeUnattended(*g_close);
    running = false;
}

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
        runClose();
    });
    return true;
}

// A lost display. When its connection to the X server breaks, Qt's X11 platform ends the
// process itself: it warns "The X11 connection broke" and calls exit(1), from its event
// dispatch or from Xlib's I/O error handler. No event of ours runs after that, and exit()
// already destroys the program's static objects before any exit handler of ours would run. The
// warning is the last moment at which the whole program still stands, so a message handler that
// finds Qt's connection broken closes the window there, on the interface thread, and lets the
// warning go on.
QtMessageHandler g_previousHandler = nullptr;
bool g_handlerInstalled = false;

bool displayLost()
{
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    return connection && xcb_connection_has_error(connection) != 0;
}

void onMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (g_previousHandler)
        g_previousHandler(type, context, text);
    // Once: what Qt says after this is only passed on.
    static bool closed = false;
    const QCoreApplication* app = QCoreApplication::instance();
    if (closed || !app || QThread::currentThread() != app->thread() || !g_close || !*g_close || !displayLost())
        return;
    closed = true;
    // No box of the log's own on a display that is gone.
    errorlog::setClosing(true);
    if (g_saves)
        LogError(0, QStringLiteral("The connection to the X display was lost; the lists and settings are saved before "
                                   "the program ends"),
                 QStringLiteral("CloseAll"));
    else
        LogError(0, QStringLiteral("The connection to the X display was lost during start-up; the program ends and "
                                   "leaves the song lists and settings as they were"),
                 QStringLiteral("Form_Load"));
    runClose();
}

void watchForLostDisplay()
{
    if (g_handlerInstalled)
        return;
    g_previousHandler = qInstallMessageHandler(onMessage);
    g_handlerInstalled = true;
}

} // namespace

namespace {

// Installs close as what a session end runs.
void onSessionEnd(std::function<void()> close, bool saves)
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
    g_saves = saves;
    watchForLostDisplay();
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kSignals)
        ::sigaction(sig, &sa, nullptr);
}

} // namespace

void endOnSessionEnd(std::function<void()> endAtOnce)
{
    onSessionEnd(
        [endAtOnce = std::move(endAtOnce)] {
            if (endAtOnce)
                endAtOnce();
            session::endProgram(0);
        },
        false);
}

void closeOnSessionEnd(std::function<void()> close) { onSessionEnd(std::move(close), true); }

namespace session {

void endProgram(int status)
{
    if (!g_ending) {
        g_ending = true;
        g_status = status;
    }
    QCoreApplication::exit(status);
}

bool ending() { return g_ending; }

void closeUnattended(const std::function<void()>& close)
{
    const bool was = g_unattended;
    g_unattended = true;
    close();
    g_unattended = was;
}

bool unattended() { return g_unattended; }

int exitStatus() { return g_status; }

void reset()
{
    g_ending = false;
    g_status = 0;
}

} // namespace session
