#include "support/pulsedaemon.h"

#include "platform/audio/soundengine.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QStandardPaths>

#include <pulse/simple.h>

#include <chrono>
#include <cmath>
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
                             QStringLiteral("--log-target=stderr"),
                             // The sink first: the socket is there only once a client can play.
                             QStringLiteral("-L"), QStringLiteral("module-null-sink sink_name=quenlow_test"),
                             QStringLiteral("-L"),
                             QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + socket()});
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

std::optional<QString> PulseDaemon::pactl(const QStringList& args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socket());
    env.insert(QStringLiteral("PULSE_CLIENTCONFIG"), clientConfig());
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("pactl"), args);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        log_ = QStringLiteral("pactl %1: %2").arg(args.join(QLatin1Char(' ')),
                                                  QString::fromLocal8Bit(p.readAllStandardError()));
        return std::nullopt;
    }
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

int PulseDaemon::addSink(const QString& name, const QString& description)
{
    const auto out = pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                            QStringLiteral("sink_name=") + name,
                            QStringLiteral("sink_properties='device.description=\"%1\"'").arg(description)});
    bool ok = false;
    const int module = out ? out->toInt(&ok) : -1;
    return ok ? module : -1;
}

bool PulseDaemon::unloadModule(int module)
{
    return pactl({QStringLiteral("unload-module"), QString::number(module)}).has_value();
}

bool PulseDaemon::setDefaultSink(const QString& name)
{
    return pactl({QStringLiteral("set-default-sink"), name}).has_value();
}

QStringList PulseDaemon::streamSinks()
{
    QStringList sinks;
    const auto byIndex = pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")});
    const auto streams = pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sink-inputs")});
    if (!byIndex || !streams)
        return sinks;
    // A sink line: index, name, ...; a stream line: index, the sink's index, ...
    QMap<QString, QString> names;
    for (const QString& line : byIndex->split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f.size() > 1)
            names[f[0]] = f[1];
    }
    for (const QString& line : streams->split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f.size() > 1)
            sinks << names.value(f[1], f[1]);
    }
    return sinks;
}

MonitorRecording::MonitorRecording(const char* sink)
{
    const pa_sample_spec format {PA_SAMPLE_FLOAT32NE, 44100, 2};
    pa_buffer_attr attr {};
    attr.maxlength = std::uint32_t(-1);
    attr.fragsize = 64 * 2 * sizeof(float);
    int error = 0;
    const QByteArray monitor = QByteArray(sink) + ".monitor";
    simple_ = pa_simple_new(nullptr, "Quenlow test", PA_STREAM_RECORD, monitor.constData(), "monitor", &format,
                            nullptr, &attr, &error);
    ok_ = simple_ != nullptr;
    if (ok_)
        thread_ = std::thread([this] { run(); });
}

MonitorRecording::~MonitorRecording()
{
    going_ = false;
    if (thread_.joinable())
        thread_.join();
    if (simple_)
        pa_simple_free(static_cast<pa_simple*>(simple_));
}

void MonitorRecording::run()
{
    float piece[64 * 2];
    while (going_.load()) {
        int error = 0;
        if (pa_simple_read(static_cast<pa_simple*>(simple_), piece, sizeof piece, &error) < 0)
            return;
        const auto at = Clock::now();
        float sum = 0.0f;
        for (float x : piece)
            sum += std::fabs(x);
        std::lock_guard lock(mutex_);
        sound_.insert(sound_.end(), piece, piece + 64 * 2);
        pieces_.push_back({at, sum / float(64 * 2)});
    }
}

std::optional<MonitorRecording::Clock::time_point> MonitorRecording::waitFor(const std::function<bool(float)>& test,
                                                                           Clock::time_point since,
                                                                           std::chrono::milliseconds most)
{
    const auto until = Clock::now() + most;
    std::size_t from = 0;
    while (Clock::now() < until) {
        {
            std::lock_guard lock(mutex_);
            for (; from < pieces_.size(); ++from)
                if (pieces_[from].at > since && test(pieces_[from].level))
                    return pieces_[from].at;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return std::nullopt;
}

std::vector<float> MonitorRecording::sound() const
{
    std::lock_guard lock(mutex_);
    return sound_;
}
