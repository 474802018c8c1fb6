#include "support/pulsedaemon.h"

#include "platform/audio/soundengine.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <chrono>
#include <csignal>
#include <thread>

PulseDaemon::PulseDaemon(const QString& folder) : folder_(folder)
{
    QDir(folder_).mkpath(QStringLiteral("run"));
    QDir(folder_).mkpath(QStringLiteral("home"));
    QFile::setPermissions(folder_ + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Clients of this daemon never start one of their own.
    QFile config(clientConfig());
    if (config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        config.write("autospawn = no\n");
}

PulseDaemon::~PulseDaemon()
{
    if (process_.state() != QProcess::NotRunning)
        kill();
    if (connected_) {
        qunsetenv("PULSE_SERVER");
        qunsetenv("PULSE_CLIENTCONFIG");
    }
}

QString PulseDaemon::socket() const { return folder_ + QStringLiteral("/run/native"); }
QString PulseDaemon::clientConfig() const { return folder_ + QStringLiteral("/client.conf"); }

bool PulseDaemon::start()
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    if (program.isEmpty()) {
        log_ = QStringLiteral("pulseaudio is not installed (scripts/setup installs it)");
        return false;
    }
    QFile::remove(socket());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder_ + QStringLiteral("/run"));
    env.insert(QStringLiteral("HOME"), folder_ + QStringLiteral("/home"));
    env.insert(QStringLiteral("PULSE_CLIENTCONFIG"), clientConfig());
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.remove(QStringLiteral("PULSE_SERVER"));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program, {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                             QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
                             QStringLiteral("--log-target=stderr"), QStringLiteral("-L"),
                             QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + socket(),
                             QStringLiteral("-L"), QStringLiteral("module-null-sink sink_name=quenlow_test")});
    bool up = process_.waitForStarted(10000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (up && !QFile::exists(socket()) && process_.state() == QProcess::Running
           && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (up && process_.state() == QProcess::Running && QFile::exists(socket()))
        return true;
    process_.kill();
    process_.waitForFinished(5000);
    log_ = QString::fromLocal8Bit(process_.readAll());
    return false;
}

void PulseDaemon::kill()
{
    process_.kill();
    process_.waitForFinished(5000);
}

void PulseDaemon::freeze(bool frozen)
{
    if (process_.state() == QProcess::Running)
        ::kill(pid_t(process_.processId()), frozen ? SIGSTOP : SIGCONT);
}

int PulseDaemon::connectHere()
{
    qputenv("PULSE_SERVER", ("unix:" + socket()).toLocal8Bit());
    qputenv("PULSE_CLIENTCONFIG", clientConfig().toLocal8Bit());
    connected_ = true;
    return int(audio::outputDeviceNames().indexOf(QStringLiteral("pulse"))) + 1;
}
