// A program a test starts (a sound server, pactl, an X server, a tool): posix_spawn, waitpid and
// kill, nothing more. Not QProcess: the thread checker cannot follow how QProcess forks, and from
// then on no longer sees the test's locks, so it reports races that are none; over posix_spawn it
// sees everything as it is.
//
// What the program writes is kept (in memory files of its own, never a pipe the program could fill
// and block on): its standard output and its errors apart, or both in one (Merged), as a server's
// log is read when it fails.
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <sys/types.h>

namespace testutil {

class ChildProcess {
public:
    enum class Output { Apart, Merged };
    ChildProcess() = default;
    // Killed and reaped if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program (looked up in PATH when it names no folder) with these arguments, in that
    // environment (this process's own when empty); with `ownSession`, in a session and process group
    // of its own, which signal() then reaches as a whole. False when it cannot start (the reason in
    // errors()). A program that still ran from before is killed first.
    bool start(const QString& program, const QStringList& args, const QProcessEnvironment& env = {},
               Output output = Output::Apart, bool ownSession = false);

    bool running() const;
    pid_t pid() const { return pid_; }
    // Sends a signal to the program, or to its whole group when it has a session of its own.
    void signal(int sig) const;
    // Waits for the program to end, `most` at most; true once it has ended.
    bool waitForFinished(std::chrono::milliseconds most) const;
    // SIGKILL (the whole group with a session of its own), then waits for it, 5 s at most.
    void kill();
    // True when the program ended by itself with that exit code.
    bool exitedWith(int code) const { return !running() && exited_ && exitCode_ == code; }
    // The exit code, or -1 while it runs or when a signal ended it.
    int exitCode() const { return !running() && exited_ ? exitCode_ : -1; }

    // What it has written so far: its standard output (both with Merged), and its errors.
    QByteArray output() const;
    QByteArray errors() const;

private:
    void reap(int options) const;

    mutable pid_t pid_ = -1; // -1 once reaped, or never started
    pid_t group_ = -1;
    mutable bool exited_ = false;
    mutable int exitCode_ = -1;
    int out_ = -1, err_ = -1;
    QByteArray spawnError_;
};

} // namespace testutil
