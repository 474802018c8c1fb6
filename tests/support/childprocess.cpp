#include "support/childprocess.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testutil {

namespace {

QByteArray readWhole(int fd)
{
    QByteArray all;
    if (fd < 0)
        return all;
    char buffer[65536];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return all;
        all.append(buffer, qsizetype(n));
        at += n;
    }
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

ChildProcess::~ChildProcess()
{
    if (running())
        kill();
    closeFd(out_);
    closeFd(err_);
}

bool ChildProcess::start(const QString& program, const QStringList& args, const QProcessEnvironment& env, Output output,
                         bool ownSession)
{
    if (running())
        kill();
    closeFd(out_);
    closeFd(err_);
    pid_ = -1;
    group_ = -1;
    exited_ = false;
    exitCode_ = -1;
    spawnError_.clear();

    // The child's ends of its output: files in memory, which the child writes through its own copy
    // of the descriptor while this process reads them by offset.
    out_ = ::memfd_create("child-output", MFD_CLOEXEC);
    if (output == Output::Apart)
        err_ = ::memfd_create("child-errors", MFD_CLOEXEC);
    if (out_ < 0 || (output == Output::Apart && err_ < 0)) {
        spawnError_ = QByteArray("no memory file for the output: ") + std::strerror(errno);
        return false;
    }

    std::vector<std::string> strings;
    strings.push_back(QFile::encodeName(program).toStdString());
    for (const QString& a : args)
        strings.push_back(a.toLocal8Bit().toStdString());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    std::vector<char*> envp;
    if (!env.isEmpty()) {
        for (const QString& v : env.toStringList())
            variables.push_back(v.toLocal8Bit().toStdString());
        for (std::string& s : variables)
            envp.push_back(s.data());
        envp.push_back(nullptr);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output == Output::Merged ? out_ : err_, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Signals this process blocks or ignores are the program's own business again.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownSession)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);

    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(),
                                      env.isEmpty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        spawnError_ = QFile::encodeName(program) + ": " + std::strerror(failed);
        return false;
    }
    pid_ = pid;
    group_ = ownSession ? pid : -1;
    return true;
}

void ChildProcess::reap(int options) const
{
    if (pid_ <= 0)
        return;
    int status = 0;
    pid_t got;
    do
        got = ::waitpid(pid_, &status, options);
    while (got < 0 && errno == EINTR);
    if (got == pid_) {
        exited_ = WIFEXITED(status);
        exitCode_ = exited_ ? WEXITSTATUS(status) : -1;
        pid_ = -1;
    } else if (got < 0) {
        pid_ = -1; // not ours to wait for any more
    }
}

bool ChildProcess::running() const
{
    reap(WNOHANG);
    return pid_ > 0;
}

void ChildProcess::signal(int sig) const
{
    if (!running())
        return;
    ::kill(group_ > 0 ? -group_ : pid_, sig);
}

bool ChildProcess::waitForFinished(std::chrono::milliseconds most) const
{
    const auto until = std::chrono::steady_clock::now() + most;
    while (running() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return !running();
}

void ChildProcess::kill()
{
    if (group_ > 0 && running())
        ::kill(-group_, SIGKILL); // the whole group: the program and whatever it started
    if (running())
        ::kill(pid_, SIGKILL);
    waitForFinished(std::chrono::milliseconds(5000));
}

QByteArray ChildProcess::output() const { return readWhole(out_); }
QByteArray ChildProcess::errors() const { return spawnError_ + readWhole(err_); }

} // namespace testutil
