#include "support/pulsedaemon.h"

#include "platform/audio/soundengine.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QStandardPaths>

#include <algorithm>

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
const QString kSink = QStringLiteral("quenlow_test");
}

PulseDaemon::PulseDaemon(const QString& folder, Kind kind) : folder_(folder), kind_(kind)
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
    if (process_.running())
        kill();
    if (connected_) {
        qunsetenv("PULSE_SERVER");
        qunsetenv("PULSE_CLIENTCONFIG");
    }
}

QString PulseDaemon::socket() const
{
    return folder_ + (kind_ == Kind::PipeWire ? QStringLiteral("/run/pulse/native") : QStringLiteral("/run/native"));
}
QString PulseDaemon::clientConfig() const { return folder_ + QStringLiteral("/client.conf"); }

// Waits for the server's socket while the server runs, 20 s at most. The server is up once its
// socket takes a connection: the file is there from the socket's bind, a moment before the server
// listens on it, and a client then is refused.
bool PulseDaemon::waitForSocket()
{
    const QByteArray path = QFile::encodeName(socket());
    const auto listening = [&] {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (std::size_t(path.size()) >= sizeof address.sun_path)
            return false;
        std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool taken = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0)
            ::close(fd);
        return taken;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!listening() && process_.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return process_.running() && listening();
}

bool PulseDaemon::start()
{
    if (kind_ == Kind::PipeWire)
        return startPipeWire();
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
    const QStringList args {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                            QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
                            QStringLiteral("--log-target=stderr"),
                            // The sink first: the socket is there only once a client can play.
                            QStringLiteral("-L"), QStringLiteral("module-null-sink sink_name=") + kSink,
                            QStringLiteral("-L"),
                            QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + socket()};
    const bool started = process_.start(program, args, env, testutil::ChildProcess::Output::Merged);
    if (started && waitForSocket())
        return true;
    process_.kill();
    log_ = QString::fromLocal8Bit(process_.output() + process_.errors());
    return false;
}

// PipeWire as a desktop runs it: the server, its session manager and its pulse server, on a
// session bus of their own, all in one process group; the null sink is made through the pulse
// server once it answers, and start() returns once the sink is there.
bool PulseDaemon::startPipeWire()
{
    for (const char* program : {"pipewire", "pipewire-pulse", "wireplumber", "dbus-run-session", "pactl"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
            log_ = QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program));
            return false;
        }
    QFile::remove(socket());
    QFile::remove(folder_ + QStringLiteral("/pids"));
    QDir(folder_).mkpath(QStringLiteral("config"));
    QFile script(folder_ + QStringLiteral("/pipewire.sh"));
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    script.write("pipewire & echo $! >>\"$QN_PIDS\"\n"
                 "for _ in $(seq 400); do [ -S \"$XDG_RUNTIME_DIR/pipewire-0\" ] && break; sleep 0.05; done\n"
                 "wireplumber & echo $! >>\"$QN_PIDS\"\n"
                 "pipewire-pulse & echo $! >>\"$QN_PIDS\"\n"
                 "wait\n");
    script.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder_ + QStringLiteral("/run"));
    env.insert(QStringLiteral("PIPEWIRE_RUNTIME_DIR"), folder_ + QStringLiteral("/run"));
    env.insert(QStringLiteral("HOME"), folder_ + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder_ + QStringLiteral("/config"));
    env.insert(QStringLiteral("QN_PIDS"), folder_ + QStringLiteral("/pids"));
    for (const char* variable : {"DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER", "PIPEWIRE_REMOTE", "DISPLAY"})
        env.remove(QString::fromLatin1(variable));
    bool up = process_.start(QStringLiteral("dbus-run-session"),
                             {QStringLiteral("--"), QStringLiteral("bash"), script.fileName()}, env,
                             testutil::ChildProcess::Output::Merged, true)
              && waitForSocket();
    if (up) {
        // The pulse server answers a moment after its socket is there.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (addSink(kSink, QStringLiteral("Quenlow test")) < 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // The sink is there once the pulse server lists it; then it is made the default, which the
        // pulse server does only once the session manager is up (before, it says "Not supported";
        // on a busy machine the manager comes up after the pulse server).
        const auto ready = [&] {
            return pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")})
                       .value_or(QString())
                       .contains(kSink)
                   && setDefaultSink(kSink);
        };
        while (!(up = ready()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (up)
        return true;
    const QString why = log_;
    kill();
    log_ = why + QStringLiteral("\n") + QString::fromLocal8Bit(process_.output() + process_.errors());
    return false;
}

int PulseDaemon::loadModule(const QString& module, const QStringList& arguments)
{
    bool ok = false;
    const int index = pactl(QStringList {QStringLiteral("load-module"), module} + arguments).value_or(QString()).toInt(&ok);
    return ok ? index : -1;
}

std::vector<qint64> PulseDaemon::processes() const
{
    std::vector<qint64> pids;
    if (!process_.running())
        return pids;
    if (kind_ == Kind::PulseAudio) {
        pids.push_back(process_.pid());
        return pids;
    }
    QFile list(folder_ + QStringLiteral("/pids"));
    if (list.open(QIODevice::ReadOnly))
        for (const QByteArray& line : list.readAll().split('\n'))
            if (const qint64 pid = line.trimmed().toLongLong(); pid > 0)
                pids.push_back(pid);
    return pids;
}

void PulseDaemon::kill()
{
    process_.kill(); // with PipeWire its whole group: bus, server and helpers
}

void PulseDaemon::freeze(bool frozen)
{
    process_.signal(frozen ? SIGSTOP : SIGCONT); // with PipeWire its whole group
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
    testutil::ChildProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socket());
    env.insert(QStringLiteral("PULSE_CLIENTCONFIG"), clientConfig());
    if (!p.start(QStringLiteral("pactl"), args, env) || !p.waitForFinished(std::chrono::seconds(20))
        || !p.exitedWith(0)) {
        log_ = QStringLiteral("pactl %1: %2").arg(args.join(QLatin1Char(' ')), QString::fromLocal8Bit(p.errors()));
        return std::nullopt;
    }
    return QString::fromLocal8Bit(p.output()).trimmed();
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

// The recording asks nothing of the sink's timing (no latency of its own), so the sink runs as the
// engines alone have it run: a monitor that asked for a short latency would make the sink take its
// sound in pieces that short, and hide what the sink does with a start or a rewrite at its own.
// PipeWire's pulse server takes the fragment for the recording's latency all the same: it is that
// of a deck (5 ms), so its graph runs as with a deck alone, neither faster nor slower.
MonitorRecording::MonitorRecording(const char* sink, std::chrono::milliseconds latency)
{
    loop_ = pa_threaded_mainloop_new();
    context_ = loop_ ? pa_context_new(pa_threaded_mainloop_get_api(loop_), "Quenlow test") : nullptr;
    if (!context_ || pa_threaded_mainloop_start(loop_) < 0)
        return;
    pa_threaded_mainloop_lock(loop_);
    const auto signal = [](pa_context*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    };
    pa_context_set_state_callback(context_, signal, loop_);
    bool ok = pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    while (ok && pa_context_get_state(context_) != PA_CONTEXT_READY)
        if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
            pa_threaded_mainloop_wait(loop_);
        else
            ok = false;
    const pa_sample_spec format {PA_SAMPLE_FLOAT32NE, 44100, 2};
    if (ok)
        stream_ = pa_stream_new(context_, "monitor", &format, nullptr);
    if (stream_) {
        pa_stream_set_state_callback(
            stream_, [](pa_stream*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
            loop_);
        pa_stream_set_read_callback(
            stream_, [](pa_stream* s, std::size_t, void* self) { static_cast<MonitorRecording*>(self)->take(s); }, this);
        pa_stream_set_overflow_callback(
            stream_, [](pa_stream*, void* self) { ++static_cast<MonitorRecording*>(self)->losses_; }, this);
        pa_buffer_attr attr {};
        attr.maxlength = std::uint32_t(-1);
        const auto frames = std::uint32_t(latency.count() > 0 ? 44100 * latency.count() / 1000 : 256);
        attr.fragsize = frames * 2 * sizeof(float);
        ok = pa_stream_connect_record(stream_, (QByteArray(sink) + ".monitor").constData(), &attr,
                                      latency.count() > 0 ? PA_STREAM_ADJUST_LATENCY : PA_STREAM_NOFLAGS)
             >= 0;
        while (ok && pa_stream_get_state(stream_) != PA_STREAM_READY)
            if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
                pa_threaded_mainloop_wait(loop_);
            else
                ok = false;
        ok_ = ok;
    }
    pa_threaded_mainloop_unlock(loop_);
}

MonitorRecording::~MonitorRecording()
{
    if (!loop_)
        return;
    pa_threaded_mainloop_stop(loop_);
    if (stream_) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
}

// The sink's sound as it comes, in pieces of 64 frames, each with the time it came.
void MonitorRecording::take(pa_stream* s)
{
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0) {
        if (bytes == 0)
            break;
        const auto at = Clock::now();
        std::lock_guard lock(mutex_);
        const float* in = static_cast<const float*>(data);
        std::size_t samples = bytes / sizeof(float);
        if (!data) { // a hole: silence
            partial_.insert(partial_.end(), samples, 0.0f);
            ++losses_;
        }
        else
            partial_.insert(partial_.end(), in, in + samples);
        pa_stream_drop(s);
        std::size_t used = 0;
        for (; partial_.size() - used >= 64 * 2; used += 64 * 2) {
            float sum = 0.0f;
            for (std::size_t i = 0; i < 64 * 2; ++i)
                sum += std::fabs(partial_[used + i]);
            sound_.insert(sound_.end(), partial_.begin() + std::ptrdiff_t(used),
                          partial_.begin() + std::ptrdiff_t(used + 64 * 2));
            pieces_.push_back({at, sum / float(64 * 2)});
        }
        partial_.erase(partial_.begin(), partial_.begin() + std::ptrdiff_t(used));
    }
}

std::optional<MonitorRecording::Clock::time_point> MonitorRecording::waitFor(const std::function<bool(float)>& test,
                                                                           Clock::time_point since,
                                                                           std::chrono::milliseconds most)
{
    const auto until = Clock::now() + most;
    std::size_t from = 0;
    std::optional<std::size_t> found;
    while (!found && Clock::now() < until) {
        {
            std::lock_guard lock(mutex_);
            for (; from < pieces_.size() && !found; ++from)
                if (pieces_[from].at > since && test(pieces_[from].level))
                    found = from;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (!found)
        return std::nullopt;
    // When the piece played by the sink's clock: the sink hands its sound to the monitor no sooner
    // than it plays, in blocks, so the earliest any piece since came, for its place in the
    // recording, sets the clock. A little more is recorded first, for more pieces to set it.
    const auto more = Clock::now() + std::chrono::milliseconds(120);
    while (Clock::now() < more)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::lock_guard lock(mutex_);
    const std::size_t hit = *found;
    std::size_t first = hit;
    while (first > 0 && pieces_[first - 1].at > since)
        --first;
    const auto framesAsTime = [](std::size_t frames) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(frames) / 44100));
    };
    Clock::time_point zero = pieces_[first].at - framesAsTime((first + 1) * 64);
    for (std::size_t p = first; p < pieces_.size(); ++p)
        zero = std::min(zero, pieces_[p].at - framesAsTime((p + 1) * 64));
    return zero + framesAsTime(hit * 64);
}

std::vector<float> MonitorRecording::sound() const
{
    std::lock_guard lock(mutex_);
    return sound_;
}

std::size_t MonitorRecording::frames() const
{
    std::lock_guard lock(mutex_);
    return sound_.size() / 2;
}

std::vector<float> MonitorRecording::soundSince(Clock::time_point since) const
{
    std::lock_guard lock(mutex_);
    std::size_t piece = 0;
    while (piece < pieces_.size() && pieces_[piece].at <= since)
        ++piece;
    return std::vector<float>(sound_.begin() + std::ptrdiff_t(piece * 64 * 2), sound_.end());
}

std::vector<Dropout> serverDropouts(const std::vector<float>& sound)
{
    // PipeWire runs its graph at 256 frames of 48 kHz at the least for a pulse client, and at that
    // while a deck plays: a quantum of the recording's. The ringing of the server's resampler at a
    // dead stop and a dead start eats into the silence and stands beside it.
    constexpr double kQuantum = 256.0 * 44100 / 48000;
    constexpr float kQuiet = 0.002f, kLoud = 0.01f;
    constexpr std::size_t kShortest = std::size_t(kQuantum) - 64, kLongest = std::size_t(kQuantum) + 8;
    constexpr std::size_t kRinging = 24, kFurthest = 2205;
    const std::size_t frames = sound.size() / 2;
    const auto x = [&](std::size_t f) { return double(sound[f * 2]); };
    const auto crossesAt = [&](std::size_t f, int way) {
        return way > 0 ? x(f) < 0.0 && x(f + 1) >= 0.0 : x(f) >= 0.0 && x(f + 1) < 0.0;
    };
    const auto crossing = [&](std::size_t f) { return double(f) + x(f) / (x(f) - x(f + 1)); };
    const auto loudest = [&](std::size_t from, std::size_t to) {
        double most = 0.0;
        for (std::size_t f = from; f < to; ++f)
            most = std::max(most, std::fabs(x(f)));
        return most;
    };
    std::vector<Dropout> found;
    for (std::size_t f = kRinging + 1; f + kRinging + 2 < frames;) {
        if (std::fabs(x(f)) >= kQuiet) {
            ++f;
            continue;
        }
        const std::size_t from = f;
        while (f + kRinging + 2 < frames && std::fabs(x(f)) < kQuiet)
            ++f;
        const std::size_t to = f;
        // Sound right up to it and right from it again.
        if (to - from < kShortest || to - from > kLongest || loudest(from - kRinging, from) < kLoud
            || loudest(to, to + kRinging) < kLoud)
            continue;
        // The last crossing before, and the first two the same way after: the tone after it is a
        // whole number of its periods on from the tone before it, or that and a quantum.
        const std::size_t first = from > kFurthest ? from - kFurthest : 0;
        const std::size_t last = std::min(frames - 1, to + kFurthest);
        std::size_t before = from - kRinging;
        while (before > first && !crossesAt(before, +1) && !crossesAt(before, -1))
            --before;
        const int way = crossesAt(before, +1) ? +1 : -1;
        std::size_t after = to + kRinging;
        while (after < last && !crossesAt(after, way))
            ++after;
        std::size_t next = after + 2;
        while (next < last && !crossesAt(next, way))
            ++next;
        if (before == first || next >= last)
            continue;
        const double period = crossing(next) - crossing(after);
        const double apart = crossing(after) - crossing(before);
        if (std::fabs(std::remainder(apart, period)) <= 3.0 || std::fabs(std::remainder(apart - kQuantum, period)) <= 3.0)
            found.push_back({from - kRinging, to + kRinging});
    }
    return found;
}

bool inDropout(const std::vector<Dropout>& dropouts, std::size_t frame)
{
    return std::any_of(dropouts.begin(), dropouts.end(), [&](const Dropout& d) { return frame >= d.from && frame < d.to; });
}

ToneStart lookAtToneStart(const std::vector<float>& sound, double hz, std::size_t startFrames)
{
    ToneStart look;
    const std::size_t frames = sound.size() / 2;
    const double period = 44100.0 / hz;
    while (look.onset < frames && std::fabs(sound[look.onset * 2]) < 0.002f)
        ++look.onset;
    // The first upward zero crossing a period on (past any fade-in), between two samples.
    std::size_t i = look.onset + std::size_t(period);
    while (i + 1 < frames && !(sound[i * 2] < 0.0f && sound[(i + 1) * 2] >= 0.0f))
        ++i;
    if (look.onset >= frames || i + 1 >= frames)
        return look;
    look.heard = true;
    const double a = sound[i * 2], b = sound[(i + 1) * 2];
    const double crossing = double(i) + a / (a - b);
    // There the tone is a whole number of periods in: at the onset, that less the way between.
    look.phaseFrames = std::fmod(period - std::fmod(crossing - double(look.onset), period), period);
    // A dropout of the server's before there may have held the tone back: its phase tells nothing.
    const std::vector<Dropout> dropouts = serverDropouts(sound);
    look.phaseKnown = std::none_of(dropouts.begin(), dropouts.end(), [&](const Dropout& d) { return d.from <= i + 1; });
    const std::size_t end = frames - look.onset > startFrames ? look.onset + startFrames : frames;
    look.dropouts = int(std::count_if(dropouts.begin(), dropouts.end(), [&](const Dropout& d) { return d.from < end; }));
    for (std::size_t f = std::max<std::size_t>(look.onset, 1); f < end; ++f)
        for (int c = 0; c < 2 && !inDropout(dropouts, f); ++c)
            if (const float step = std::fabs(sound[f * 2 + c] - sound[(f - 1) * 2 + c]); step > look.steepest) {
                look.steepest = step;
                look.steepestAt = f - look.onset;
            }
    return look;
}

StartsFromRest startFromRest(audio::SoundEngine& e, const QString& tone, MonitorRecording& monitor, int rounds,
                             std::chrono::milliseconds restMore)
{
    using Clock = std::chrono::steady_clock;
    StartsFromRest r;
    // Where the look first hears the tone in the sound as mixed, before any server.
    double mixedPhase = 0;
    {
        audio::SoundEngine m(QStringLiteral("mixed"));
        m.setManualClock(true);
        m.init(44100, 32, 2);
        m.streamPlay(-1, m.streamOpen(tone, 8192, 0, 0));
        std::vector<float> out(8820 * 2);
        m.advanceInto(out.data(), 8820);
        mixedPhase = lookAtToneStart(out, 100).phaseFrames;
    }
    const auto s = e.streamOpen(tone, 8192, 0, 0);
    const auto rested = [&] {
        const auto t0 = Clock::now();
        while (!e.outputRests() && Clock::now() - t0 < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Somewhere else in the sink's own period each time, whatever its length.
        const auto more = restMore > std::chrono::milliseconds(0) ? std::chrono::microseconds(37000) : std::chrono::microseconds(1733);
        std::this_thread::sleep_for(restMore + std::chrono::microseconds(100) + more * (r.heardMs.size() % 7));
    };
    const auto start = [&](const std::function<void()>& call, bool fromTheBeginning) {
        rested();
        const auto t0 = Clock::now();
        call();
        const auto at = monitor.waitFor([](float level) { return level > 0.01f; }, t0, std::chrono::milliseconds(2000));
        r.heardMs.push_back(at ? std::chrono::duration<double, std::milli>(*at - t0).count() : 2000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        const ToneStart look = lookAtToneStart(monitor.soundSince(t0), 100, 44100 / 20);
        if (!look.heard) {
            ++r.unheard;
            return;
        }
        if (look.steepest > r.steepest) {
            r.steepest = look.steepest;
            r.steepestAtMs = double(look.steepestAt) * 1000.0 / 44100.0;
        }
        r.stepped += look.steepest > 0.02f;
        r.dropouts += look.dropouts;
        if (fromTheBeginning && look.phaseKnown) {
            const double skipped = std::remainder(look.phaseFrames - mixedPhase, 441.0);
            r.mostLost = std::max(r.mostLost, skipped);
            r.lost += skipped > 4;
        }
    };
    int channel = 0;
    for (int round = 0; round < rounds; ++round) {
        start([&] { channel = e.streamPlay(-1, s); }, true);
        e.setPaused(channel, 1);
        start([&] { e.setPaused(channel, 0); }, false);
        e.streamStop(s);
    }
    e.streamClose(s);
    std::sort(r.heardMs.begin(), r.heardMs.end());
    return r;
}
