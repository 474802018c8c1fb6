// What the sound engines cost.
//
// - Two decks rendered on the manual clock (deck B at 1.25x, or both at 1.00x; volumes and
//   spectra every 10 ms) against libmpg123 decoding the same source audio alone: the ratio of
//   CPU times, the song opens measured apart and left out (goals: 1.4 at 1.25x, 1.3 at 1.00x).
// - Two engines with songs loaded and paused, on the silent output and on a real sound server
//   (a PulseAudio daemon of the benchmark's own with a null sink, its "pulse" device, which the
//   engines play through libpulse): CPU share of one core and wakeups a second of the whole
//   process, over 20 s (goals: 0.05 % and 20). QUENLOW_IDLE_SECONDS sets the length.
// - Two decks playing in real time on that sound server, deck B at 1.25x, for 20 s: the whole
//   process's CPU time against libmpg123 decoding the same source seconds (goal: 3x), at the
//   engines' own 20 ms buffer and at 100 ms; and a play that starts a resting output again: how
//   long it holds the interface thread, how soon the output takes the first frames and how soon
//   the server has taken 100 ms of sound (on a server playing the other deck, and on an idle null
//   sink). QUENLOW_LIVE_SECONDS sets the length.
//   Then how soon a change at a deck (volume, pause, resume) is heard in the null sink's monitor
//   (goal: about 30 ms; the server's queue is far longer, the engine rewrites it).
// - Opening a 1 GB MP3 (made here from the test media, in a temporary folder): how long the
//   interface thread is held, how long until the exact length is known, and a close while the
//   length is still being found (goal: each under 50 ms); open_over_scan is the open against
//   libmpg123 scanning the same file on the calling thread.
// - Opening a song led by a million empty ID3v2 tags, or by one of 100 MB or 20 MB: how long
//   the interface thread is held and the memory the open takes (goal: under 100 ms, no memory
//   for the tags), against opening the song alone.
// - Stop, close and move of a playing stream from the interface thread with a 250 ms buffer, on
//   the silent output and on the sound server: the longest each took (goal: stop and close 25 ms, the fade and the wait for the callback
//   together; move 50 ms).
// - One position query and one volume call from the interface thread while the engine's
//   audio and decoder threads run (goal: under 1 us).
// - Underruns of both engines on the paced silent output (10 ms period) while the interface
//   thread blocks for 2 s at a time (goal: none). QUENLOW_UNDERRUN_SECONDS sets the length
//   of that run (default 10 s).
#include "platform/audio/soundengine.h"
#include "support/pulsedaemon.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <mpg123.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

const QString songA = QStringLiteral(QUENLOW_MEDIA_DIR "/tone200_4s.mp3");
const QString songB = QStringLiteral(QUENLOW_MEDIA_DIR "/noise120s.mp3");
constexpr int kSeconds = 60; // output seconds rendered per deck

// Without its media every figure here would be zero or not a number: stop at once and say why.
const bool mediaPresent = [] {
    for (const QString& f : {songA, songB}) {
        if (!QFileInfo(f).isFile()) {
            std::fprintf(stderr,
                         "bench_audio: the test media are missing (%s).\n"
                         "Make them first: tests/fixtures/make-media %s\n",
                         qPrintable(f), QUENLOW_MEDIA_DIR);
            std::exit(2);
        }
    }
    return true;
}();

double threadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double processCpuSeconds()
{
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// Context switches of every thread of the process so far, those that have ended included (the
// sum of voluntary_ctxt_switches and nonvoluntary_ctxt_switches over /proc/self/task/*/status,
// which forgets a thread once it has ended): each is a thread going to sleep or being put off
// the processor, so their growth counts the wakeups.
std::int64_t processContextSwitches()
{
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return std::int64_t(ru.ru_nvcsw) + std::int64_t(ru.ru_nivcsw);
}

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

int silentDriver() { return int(audio::outputDeviceNames().size()); }

// The baseline: libmpg123 alone decoding `seconds` of a file to stereo float.
double decodeAlone(const QString& path, double seconds)
{
    mpg123_init();
    mpg123_handle* h = mpg123_new(nullptr, nullptr);
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    mpg123_format_none(h);
    mpg123_format(h, 44100, MPG123_STEREO, MPG123_ENC_FLOAT_32);
    if (mpg123_open(h, QFile::encodeName(path).constData()) != MPG123_OK) {
        mpg123_delete(h);
        return 0;
    }
    std::vector<float> buf(4096 * 2);
    std::int64_t want = std::int64_t(seconds * 44100), got = 0;
    while (got < want) {
        size_t bytes = 0;
        const int rc = mpg123_read(h, reinterpret_cast<unsigned char*>(buf.data()), buf.size() * sizeof(float), &bytes);
        got += std::int64_t(bytes / 8);
        if (rc != MPG123_OK && rc != MPG123_NEW_FORMAT)
            break;
    }
    benchmark::DoNotOptimize(buf.data());
    mpg123_close(h);
    mpg123_delete(h);
    return double(got) / 44100.0;
}

struct DeckRun {
    double openCpu = 0; // both opens
    double playCpu = 0; // playing, with the volume and spectrum calls
    double audio = 0;   // source seconds played
};

// Two decks on the manual clock, as the program drives them.
DeckRun twoDecks(int seconds, double speedB)
{
    DeckRun run;
    audio::SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
    a.setManualClock(true);
    b.setManualClock(true);
    a.init(44100, 32, 2);
    b.init(44100, 32, 2);
    a.dspSetActive(a.dspGetFFTUnit(), 1);
    b.dspSetActive(b.dspGetFFTUnit(), 1);
    const double t0 = threadCpuSeconds();
    const auto sa = a.streamOpen(songA, 8192, 0, 0);
    const auto sb = b.streamOpen(songB, 8192, 0, 0);
    const double t1 = threadCpuSeconds();
    const int ca = a.streamPlay(-1, sa);
    const int cb = b.streamPlay(-1, sb);
    b.setFrequency(cb, int(44100 * speedB));
    float sink = 0;
    for (int tick = 0; tick < seconds * 100; ++tick) {
        a.setVolume(ca, 200 + tick % 56);
        b.setVolume(cb, 255 - tick % 56);
        sink += a.dspGetSpectrum()[2] + b.dspGetSpectrum()[2];
        a.advanceMs(10);
        b.advanceMs(10);
    }
    benchmark::DoNotOptimize(sink);
    run.playCpu = threadCpuSeconds() - t1;
    run.openCpu = t1 - t0;
    run.audio = double(a.streamGetTime(sa) + b.streamGetTime(sb)) / 1000.0;
    return run;
}

void BM_TwoDecksAgainstDecodeAlone(benchmark::State& state)
{
    // Deck B's speed in percent: 125 for one deck off normal speed, 100 for both at normal speed.
    const double speedB = double(state.range(0)) / 100.0;
    double deckCpu = 0, openCpu = 0, decodeCpu = 0, deckAudio = 0, decodeAudio = 0;
    int runs = 0;
    for (auto _ : state) {
        const DeckRun run = twoDecks(kSeconds, speedB);
        const double t1 = threadCpuSeconds();
        decodeAudio += decodeAlone(songA, kSeconds) + decodeAlone(songB, kSeconds * speedB);
        decodeCpu += threadCpuSeconds() - t1;
        deckCpu += run.playCpu;
        openCpu += run.openCpu;
        deckAudio += run.audio;
        ++runs;
    }
    state.counters["decks_audio_s_per_cpu_s"] = deckAudio / deckCpu;
    state.counters["decode_audio_s_per_cpu_s"] = decodeAudio / decodeCpu;
    state.counters["opens_ms"] = openCpu * 1000 / runs;
    // Same source audio both ways: the CPU time ratio, opens left out.
    state.counters["ratio_decks_to_decode"] = (deckCpu / deckAudio) / (decodeCpu / decodeAudio);
}
BENCHMARK(BM_TwoDecksAgainstDecodeAlone)->Arg(125)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(3);

// What runs while the benchmark measures the process: the sound engines' threads, and with a
// sound server its client thread in this process. The server itself is another process.
struct ProcessUse {
    double cpu = 0;
    std::int64_t switches = 0;
    Clock::time_point at = Clock::now();
    static ProcessUse now() { return {processCpuSeconds(), processContextSwitches(), Clock::now()}; }
};

// The outputs the engines are measured on: the silent output (0), or the "pulse" device on a
// sound server of the benchmark's own with a null sink: a PulseAudio daemon (1), or PipeWire with
// its pulse server (2) (a real sound server with its own timing; the engines' output threads in
// this process speak to it).
enum Server { Silent = 0, PulseAudio = 1, PipeWire = 2 };

class Output {
public:
    explicit Output(std::int64_t server)
    {
        if (server == Silent) {
            driver_ = silentDriver();
            return;
        }
        daemon_ = std::make_unique<PulseDaemon>(
            dir_.path(), server == PipeWire ? PulseDaemon::Kind::PipeWire : PulseDaemon::Kind::PulseAudio);
        if (!daemon_->start())
            why_ = "the sound server cannot start here: " + daemon_->log().toStdString();
        else if ((driver_ = daemon_->connectHere()) == 0)
            why_ = "PortAudio does not list ALSA's pulse device";
    }
    int driver() const { return driver_; }
    PulseDaemon* daemon() const { return daemon_.get(); }
    // Empty when the output is there.
    const std::string& missing() const { return why_; }

private:
    QTemporaryDir dir_;
    std::unique_ptr<PulseDaemon> daemon_;
    int driver_ = 0;
    std::string why_;
};

int secondsFrom(const char* variable, int otherwise)
{
    const char* env = std::getenv(variable);
    return env ? std::max(1, std::atoi(env)) : otherwise;
}

// Two engines, each with a song loaded, played and paused, and a second song loaded and never
// played, as two decks wait between songs: on the silent output (0) or a sound server (1).
void BM_IdleTwoEnginesPaused(benchmark::State& state)
{
    const int seconds = secondsFrom("QUENLOW_IDLE_SECONDS", 20);
    const Output output(state.range(0));
    if (!output.missing().empty()) {
        state.SkipWithError(output.missing().c_str());
        return;
    }
    double cpuShare = 0, wakeups = 0;
    for (auto _ : state) {
        audio::SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
        for (audio::SoundEngine* e : {&a, &b}) {
            e->setDriver(output.driver());
            e->init(44100, 32, 2);
            e->dspSetActive(e->dspGetFFTUnit(), 1);
            const auto s = e->streamOpen(songA, 8192, 0, 0);
            const int ch = e->streamPlay(-1, s);
            e->streamOpen(songB, 8192, 0, 0);
            const auto played = Clock::now();
            while (e->streamGetTime(s) < 300 && msSince(played) < 5000)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            e->setPaused(ch, 1);
        }
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the pause fades and the outputs come to rest
        const ProcessUse from = ProcessUse::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const ProcessUse to = ProcessUse::now();
        const double wall = std::chrono::duration<double>(to.at - from.at).count();
        cpuShare = (to.cpu - from.cpu) / wall * 100;
        wakeups = double(to.switches - from.switches) / wall;
    }
    state.counters["cpu_percent_of_a_core"] = cpuShare;
    state.counters["wakeups_per_s"] = wakeups;
    state.counters["seconds"] = seconds;
}
BENCHMARK(BM_IdleTwoEnginesPaused)->ArgName("sound_server")->Arg(Silent)->Arg(PulseAudio)->Arg(PipeWire)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// A play that starts a resting output again, timed on the interface thread: how long the call
// holds it, how soon the output takes the first frames (the server asks for its whole queue at
// once), and when the first sound was heard: the server asks for more only as it plays, so
// 100 ms of sound taken beyond that first queue mark 100 ms of playing.
struct PlayFromRest {
    double callMs = 0, firstMs = 0, heardMs = 0;
    int channel = 0;
};

PlayFromRest playFromRest(audio::SoundEngine& e, std::uint32_t stream, int hz)
{
    PlayFromRest r;
    const auto played = Clock::now();
    const int channel = r.channel = e.streamPlay(-1, stream);
    if (hz != 44100)
        e.setFrequency(channel, hz);
    r.callMs = msSince(played);
    while (e.streamGetTime(stream) == 0 && msSince(played) < 5000)
        std::this_thread::yield();
    r.firstMs = msSince(played);
    std::this_thread::sleep_for(std::chrono::milliseconds(2)); // the first queue is mixed whole
    const int beyond = e.streamGetTime(stream) + 100 * hz / 44100; // song ms of 100 ms of sound
    while (e.streamGetTime(stream) < beyond && msSince(played) < 5000)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    r.heardMs = msSince(played) - 100;
    return r;
}

// How soon a change at a playing deck is heard: the volume set to 0 and back, the deck paused
// and resumed, each from the call to the first piece of the null sink's monitor with the change
// in it (silent, or loud again). The other deck is paused meanwhile. The longest and the middle.
struct ChangeHeard {
    double medianMs = 0, mostMs = 0;
};

ChangeHeard changeHeard(audio::SoundEngine& e, int channel)
{
    MonitorRecording monitor;
    if (!monitor.recording())
        return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto silent = [](float level) { return level < 0.005f; };
    const auto loud = [](float level) { return level > 0.15f; };
    std::vector<double> heard;
    const auto time = [&](auto change, const std::function<bool(float)>& test) {
        const auto t0 = Clock::now();
        change();
        const auto at = monitor.waitFor(test, t0, std::chrono::milliseconds(2000));
        heard.push_back(at ? std::chrono::duration<double, std::milli>(*at - t0).count() : 2000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(120 + 37 * (heard.size() % 3)));
    };
    for (int round = 0; round < 8; ++round) {
        time([&] { e.setVolume(channel, 0); }, silent);
        time([&] { e.setVolume(channel, 255); }, loud);
        time([&] { e.setPaused(channel, 1); }, silent);
        time([&] { e.setPaused(channel, 0); }, loud);
    }
    std::sort(heard.begin(), heard.end());
    return {heard[heard.size() / 2], heard.back()};
}

// Two decks playing in real time on a sound server, deck B at 1.25x, the interface thread
// asleep: the whole process's CPU time against libmpg123 decoding the same source seconds
// alone (goal: 3x). The argument is the engines' buffer in milliseconds. Then how soon a change
// is heard (goal: about 30 ms).
void BM_LivePlayOnASoundServer(benchmark::State& state)
{
    const int seconds = secondsFrom("QUENLOW_LIVE_SECONDS", 20);
    const Output output(state.range(1));
    if (!output.missing().empty()) {
        state.SkipWithError(output.missing().c_str());
        return;
    }
    double ratio = 0, cpuShare = 0, wakeups = 0, decodeCpu = 0;
    PlayFromRest idleServer, busyServer;
    ChangeHeard change;
    std::uint64_t underruns = 0;
    for (auto _ : state) {
        audio::SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
        for (audio::SoundEngine* e : {&a, &b}) {
            e->setDriver(output.driver());
            e->setBufferSize(int(state.range(0)));
            e->init(44100, 32, 2);
        }
        const auto sa = a.streamOpen(songA, 8192, 0, 0);
        const auto sb = b.streamOpen(songB, 8192, 0, 0);
        // The outputs rest. Their streams asked the sink for their latency when they were opened;
        // an idle null sink takes that up at the end of the 2 s block it had begun by then, so the
        // play comes later than that, as in the program, where the engines open at start-up.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        // Deck A starts while the sound server has nothing to play, deck B while it plays deck A.
        idleServer = playFromRest(a, sa, 44100);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        busyServer = playFromRest(b, sb, 55125);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const int fromA = a.streamGetTime(sa), fromB = b.streamGetTime(sb);
        const ProcessUse from = ProcessUse::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const ProcessUse to = ProcessUse::now();
        const double playedA = (a.streamGetTime(sa) - fromA) / 1000.0;
        const double playedB = (b.streamGetTime(sb) - fromB) / 1000.0;
        const double wall = std::chrono::duration<double>(to.at - from.at).count();
        underruns = a.underruns() + b.underruns();
        b.setPaused(busyServer.channel, 1);
        change = changeHeard(a, idleServer.channel);
        a.close();
        b.close();
        const double t0 = threadCpuSeconds();
        const double decoded = decodeAlone(songA, playedA) + decodeAlone(songB, playedB);
        decodeCpu = threadCpuSeconds() - t0;
        ratio = ((to.cpu - from.cpu) / (playedA + playedB)) / (decodeCpu / decoded);
        cpuShare = (to.cpu - from.cpu) / wall * 100;
        wakeups = double(to.switches - from.switches) / wall;
    }
    state.counters["ratio_live_to_decode"] = ratio;
    state.counters["cpu_percent_of_a_core"] = cpuShare;
    state.counters["decode_alone_percent_of_a_core"] = decodeCpu / seconds * 100;
    state.counters["wakeups_per_s"] = wakeups;
    state.counters["underruns"] = double(underruns);
    state.counters["seconds"] = seconds;
    state.counters["play_from_rest_ms"] = busyServer.callMs;
    state.counters["first_frames_after_ms"] = busyServer.firstMs;
    state.counters["heard_after_ms"] = busyServer.heardMs;
    state.counters["idle_server_play_ms"] = idleServer.callMs;
    state.counters["idle_server_heard_after_ms"] = idleServer.heardMs;
    state.counters["change_heard_ms_median"] = change.medianMs;
    state.counters["change_heard_ms_max"] = change.mostMs;
}
BENCHMARK(BM_LivePlayOnASoundServer)
    ->ArgNames({"buffer_ms", "sound_server"})
    ->ArgsProduct({{20, 100}, {PulseAudio, PipeWire}})
    ->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Starts from rest of a 100 Hz tone at half scale, recorded from the sink's monitor (see
// startFromRest(): 30 rounds of a play and a resume): starts with a step (a cut fade-in), plays
// that lost sound of the tone's beginning, the most lost, and how soon a start is heard (median and
// longest, by the sink's clock). Alone on the sink, or with the other deck playing (unheard); each
// start as soon as the output rests (0), or once it has rested 6 s (its stream no longer holds the
// sink to its short latency). Goal: no step and nothing lost; heard within 25 ms.
void BM_StartsFromRest(benchmark::State& state)
{
    const Output output(state.range(0));
    if (!output.missing().empty()) {
        state.SkipWithError(output.missing().c_str());
        return;
    }
    const int rounds = state.range(2) ? 6 : 30;
    StartsFromRest r;
    for (auto _ : state) {
        audio::SoundEngine e(QStringLiteral("A")), other(QStringLiteral("B"));
        e.setDriver(output.driver());
        e.init(44100, 32, 2);
        if (state.range(1) != 0) { // the other deck plays on the same sink meanwhile, unheard
            other.setDriver(output.driver());
            other.init(44100, 32, 2);
            other.setVolume(other.streamPlay(-1, other.streamOpen(songB, 8192, 0, 0)), 0);
        }
        MonitorRecording monitor;
        if (!monitor.recording()) {
            state.SkipWithError("the sink's monitor cannot be recorded");
            return;
        }
        // As in the program, where the engines open at start-up: an idle null sink takes up the
        // stream's latency at the end of the 2 s block it had begun.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        r = startFromRest(e, QStringLiteral(QUENLOW_MEDIA_DIR "/tone100hz_half.mp3"), monitor, rounds,
                          std::chrono::seconds(state.range(2)));
        e.close();
        other.close();
    }
    state.counters["starts"] = double(r.heardMs.size());
    state.counters["starts_with_a_step"] = r.stepped;
    state.counters["steepest_step"] = r.steepest;
    state.counters["plays_that_lost_sound"] = r.lost;
    state.counters["most_frames_lost"] = r.mostLost;
    state.counters["starts_unheard"] = r.unheard;
    state.counters["heard_after_ms_median"] = r.heardMs.empty() ? 0 : r.heardMs[r.heardMs.size() / 2];
    state.counters["heard_after_ms_max"] = r.heardMs.empty() ? 0 : r.heardMs.back();
}
BENCHMARK(BM_StartsFromRest)
    ->ArgNames({"sound_server", "other_deck_plays", "rest_s"})
    ->ArgsProduct({{PulseAudio, PipeWire}, {0, 1}, {0, 6}})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// The processor time (ns) and context switches of every thread of these processes so far.
struct ServerUse {
    double cpu = 0;
    std::int64_t switches = 0;
    Clock::time_point at = Clock::now();
    static ServerUse of(const std::vector<qint64>& pids)
    {
        ServerUse use;
        for (const qint64 pid : pids) {
            const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
            for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile stat(tasks.filePath(tid + QStringLiteral("/schedstat")));
                if (stat.open(QIODevice::ReadOnly))
                    use.cpu += stat.readAll().split(' ').value(0).toDouble() * 1e-9;
                QFile status(tasks.filePath(tid + QStringLiteral("/status")));
                if (status.open(QIODevice::ReadOnly))
                    for (const QByteArray& line : status.readAll().split('\n'))
                        if (line.contains("ctxt_switches:"))
                            use.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
        }
        return use;
    }
};

// What the sound server's processes cost over `seconds`: share of a core, wakeups a second.
std::pair<double, double> serverCost(const PulseDaemon& daemon, int seconds)
{
    const ServerUse from = ServerUse::of(daemon.processes());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const ServerUse to = ServerUse::of(daemon.processes());
    const double wall = std::chrono::duration<double>(to.at - from.at).count();
    return {(to.cpu - from.cpu) / wall * 100, double(to.switches - from.switches) / wall};
}

// What the sound server costs while both engines rest (a song loaded, played and paused on each,
// as two decks wait between songs), against what it costs without them in the same run: its
// processes' share of a core and their wakeups a second over QUENLOW_IDLE_SECONDS (20 s); with
// the sink to itself, or beside another program playing on it (pacat, as a media player would).
// Then a play from rest, heard how soon. The servers: PulseAudio, PulseAudio with its
// suspend-when-idle module (3), PipeWire. Goal: within 0.05 % of a core and 20 wakeups a second
// of the server without the engines; a play heard within 25 ms.
void BM_ServerBesideRestingEngines(benchmark::State& state)
{
    const int seconds = secondsFrom("QUENLOW_IDLE_SECONDS", 20);
    const bool suspend = state.range(0) == 3;
    const Output output(suspend ? std::int64_t(PulseAudio) : state.range(0));
    if (!output.missing().empty()) {
        state.SkipWithError(output.missing().c_str());
        return;
    }
    if (suspend && output.daemon()->loadModule(QStringLiteral("module-suspend-on-idle")) < 0) {
        state.SkipWithError("the suspend-when-idle module does not load");
        return;
    }
    std::pair<double, double> without, with;
    std::vector<double> heard;
    for (auto _ : state) {
        QProcess other;
        if (state.range(1) != 0) {
            other.setStandardInputFile(QStringLiteral("/dev/zero"));
            other.start(QStringLiteral("pacat"), {QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                                                  QStringLiteral("--rate=44100"), QStringLiteral("--channels=2")});
            if (!other.waitForStarted(5000)) {
                state.SkipWithError("pacat does not start");
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        without = serverCost(*output.daemon(), seconds);
        audio::SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
        std::uint32_t streams[2];
        int channels[2];
        audio::SoundEngine* engines[2] = {&a, &b};
        for (int i = 0; i < 2; ++i) {
            engines[i]->setDriver(output.driver());
            engines[i]->init(44100, 32, 2);
            engines[i]->dspSetActive(engines[i]->dspGetFFTUnit(), 1);
            streams[i] = engines[i]->streamOpen(songA, 8192, 0, 0);
            channels[i] = engines[i]->streamPlay(-1, streams[i]);
            const auto played = Clock::now();
            while (engines[i]->streamGetTime(streams[i]) < 300 && msSince(played) < 5000)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            engines[i]->setPaused(channels[i], 1);
        }
        // The pauses fade, the outputs come to rest, and after a few seconds more their streams no
        // longer hold the sink to their short latency.
        std::this_thread::sleep_for(std::chrono::seconds(7));
        with = serverCost(*output.daemon(), seconds);
        MonitorRecording monitor;
        for (int round = 0; round < 5 && monitor.recording(); ++round) {
            const auto t0 = Clock::now();
            a.setPaused(channels[0], 0);
            const auto at = monitor.waitFor([](float level) { return level > 0.01f; }, t0,
                                            std::chrono::milliseconds(2000));
            heard.push_back(at ? std::chrono::duration<double, std::milli>(*at - t0).count() : 2000.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            a.setPaused(channels[0], 1);
            while (!a.outputRests() && msSince(t0) < 5000)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(500 + 311 * round));
        }
        a.close();
        b.close();
        other.kill();
        other.waitForFinished(5000);
    }
    std::sort(heard.begin(), heard.end());
    state.counters["server_cpu_percent_without"] = without.first;
    state.counters["server_cpu_percent_with"] = with.first;
    state.counters["server_wakeups_per_s_without"] = without.second;
    state.counters["server_wakeups_per_s_with"] = with.second;
    state.counters["play_heard_after_ms_median"] = heard.empty() ? 0 : heard[heard.size() / 2];
    state.counters["play_heard_after_ms_max"] = heard.empty() ? 0 : heard.back();
    state.counters["seconds"] = seconds;
}
BENCHMARK(BM_ServerBesideRestingEngines)
    ->ArgNames({"sound_server", "other_program"})
    ->ArgsProduct({{PulseAudio, 3, PipeWire}, {0, 1}})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// A 1 GB MP3 made of copies of a test song (its first frame's header then speaks of one copy
// only, so the exact length has to be found by reading the whole file).
QString makeBigMp3(const QString& folder, qint64 bytes)
{
    QFile source(songB);
    if (!source.open(QIODevice::ReadOnly))
        return {};
    const QByteArray one = source.readAll();
    const QString path = folder + QStringLiteral("/big.mp3");
    QFile big(path);
    if (one.isEmpty() || !big.open(QIODevice::WriteOnly))
        return {};
    for (qint64 written = 0; written < bytes; written += one.size())
        if (big.write(one) != one.size())
            return {};
    return path;
}

void BM_OpenOneGigabyteSong(benchmark::State& state)
{
    QTemporaryDir dir; // removed with everything in it at the end
    const QString path = makeBigMp3(dir.path(), qint64(1) << 30);
    if (path.isEmpty()) {
        state.SkipWithError("could not write a 1 GB file into the temporary folder");
        return;
    }
    audio::SoundEngine e(QStringLiteral("big"));
    e.setDriver(silentDriver());
    e.init(44100, 32, 2);
    double openMs = 0, settleS = 0, closeMs = 0, wholeScanS = 0;
    int lengthMin = 0;
    for (auto _ : state) {
        // Opened, then closed while its length is still being found.
        auto t0 = Clock::now();
        auto s = e.streamOpen(path, 8192, 0, 0);
        openMs = std::max(openMs, msSince(t0));
        t0 = Clock::now();
        e.streamClose(s);
        closeMs = std::max(closeMs, msSince(t0));

        // Opened and left to settle its length.
        t0 = Clock::now();
        s = e.streamOpen(path, 8192, 0, 0);
        openMs = std::max(openMs, msSince(t0));
        const int estimate = e.streamGetLengthMs(s);
        while (e.streamGetLengthMs(s) == estimate && msSince(t0) < 60000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        settleS = msSince(t0) / 1000;
        lengthMin = e.streamGetLengthMs(s) / 60000;
        t0 = Clock::now();
        e.streamClose(s);
        closeMs = std::max(closeMs, msSince(t0));
    }
    // The baseline: the same file opened by libmpg123 and scanned whole on the calling thread,
    // as an open that insists on the exact length would.
    {
        const auto t0 = Clock::now();
        mpg123_handle* h = mpg123_new(nullptr, nullptr);
        mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
        if (mpg123_open(h, QFile::encodeName(path).constData()) == MPG123_OK)
            mpg123_scan(h);
        mpg123_delete(h);
        wholeScanS = msSince(t0) / 1000;
    }
    e.close();
    state.counters["open_ms_max"] = openMs;
    state.counters["close_ms_max"] = closeMs;
    state.counters["length_settled_s"] = settleS;
    state.counters["length_min"] = lengthMin;
    state.counters["scan_on_caller_s"] = wholeScanS;
    // The longest open against the whole-file scan it no longer waits for, in the same run.
    if (wholeScanS > 0)
        state.counters["open_over_scan"] = openMs / (wholeScanS * 1000);
}
BENCHMARK(BM_OpenOneGigabyteSong)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The peak of the process's resident memory since the last reset, and the reset (Linux keeps
// the peak in /proc/self/status; writing 5 to clear_refs sets it back to the memory in use now).
long statusKb(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLong();
    return 0;
}
void resetPeakMemory()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// A song led by ID3v2 tags a player has to pass before its first frame: a million empty tags
// (10 MB) (0), one tag of 100 MB (1) or one of 20 MB (2, large cover art), in a temporary folder.
// The longest open on the calling (interface) thread and the memory it took at its peak, against
// opening the same song without the tags in the same run; refused is 1 where the open refused
// the file.
void BM_OpenSongLedByTags(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain.mp3")), tagged = dir.filePath(QStringLiteral("tagged.mp3"));
    {
        QFile song(QStringLiteral(QUENLOW_MEDIA_DIR "/tone10s.mp3"));
        QFile a(plain), b(tagged);
        if (!song.open(QIODevice::ReadOnly) || !a.open(QIODevice::WriteOnly) || !b.open(QIODevice::WriteOnly)) {
            state.SkipWithError("could not write the files into the temporary folder");
            return;
        }
        const QByteArray audio = song.readAll();
        a.write(audio);
        if (state.range(0) == 0) {
            const QByteArray empty("ID3\x03\0\0\0\0\0\0", 10);
            b.write(empty.repeated(1000000));
        } else {
            const qint64 n = qint64(state.range(0) == 1 ? 100 : 20) << 20;
            const char head[10] = {'I', 'D', '3', 3, 0, 0, char(n >> 21 & 0x7f), char(n >> 14 & 0x7f),
                                   char(n >> 7 & 0x7f), char(n & 0x7f)};
            b.write(head, 10);
            b.resize(10 + n); // a hole reads as zeros
            b.seek(10 + n);
        }
        if (b.write(audio) != audio.size()) {
            state.SkipWithError("could not write the files into the temporary folder");
            return;
        }
    }
    audio::SoundEngine e(QStringLiteral("tags"));
    e.setManualClock(true);
    e.init(44100, 32, 2);
    double openMs = 0, plainMs = 0;
    long peakKb = 0;
    bool refused = false;
    for (auto _ : state) {
        auto t0 = Clock::now();
        e.streamClose(e.streamOpen(plain, 8192, 0, 0));
        plainMs = std::max(plainMs, msSince(t0));
        resetPeakMemory();
        const long before = statusKb("VmRSS:");
        t0 = Clock::now();
        const auto s = e.streamOpen(tagged, 8192, 0, 0);
        openMs = std::max(openMs, msSince(t0));
        peakKb = std::max(peakKb, statusKb("VmHWM:") - before);
        refused = s == 0;
        e.streamClose(s);
    }
    e.close();
    state.counters["open_ms_max"] = openMs;
    state.counters["plain_open_ms_max"] = plainMs;
    state.counters["open_over_plain"] = plainMs > 0 ? openMs / plainMs : 0;
    state.counters["memory_peak_mb"] = double(peakKb) / 1024;
    state.counters["refused"] = refused;
}
BENCHMARK(BM_OpenSongLedByTags)->ArgName("huge_tag")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Stop, close and move of a playing stream, timed on the calling (interface) thread while two
// engines play with a large buffer, on the silent output (0) or a sound server (1): the longest
// of each.
void BM_StopCloseAndMoveWhilePlaying(benchmark::State& state)
{
    const Output output(state.range(0));
    if (!output.missing().empty()) {
        state.SkipWithError(output.missing().c_str());
        return;
    }
    double stopMs = 0, closeMs = 0, moveMs = 0, playMs = 0;
    for (auto _ : state) {
        audio::SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
        for (audio::SoundEngine* e : {&a, &b}) {
            e->setDriver(output.driver());
            e->setBufferSize(250); // a fade in such a buffer once took 1 s to wait out
            e->init(44100, 32, 2);
        }
        b.streamPlay(-1, b.streamOpen(songB, 8192, 0, 0));
        for (int round = 0; round < 20; ++round) {
            const auto s = a.streamOpen(round % 2 ? songA : songB, 8192, 0, 0);
            auto t0 = Clock::now();
            a.streamPlay(-1, s);
            playMs = std::max(playMs, msSince(t0));
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            for (int k = 0; k < 5; ++k) {
                t0 = Clock::now();
                a.streamSetTime(s, 10000 * k + 5000);
                moveMs = std::max(moveMs, msSince(t0));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            t0 = Clock::now();
            a.streamStop(s);
            stopMs = std::max(stopMs, msSince(t0));
            a.streamPlay(-1, s);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            t0 = Clock::now();
            a.streamClose(s);
            closeMs = std::max(closeMs, msSince(t0));
        }
    }
    state.counters["stop_ms_max"] = stopMs;
    state.counters["close_ms_max"] = closeMs;
    state.counters["move_ms_max"] = moveMs;
    state.counters["play_ms_max"] = playMs;
}
BENCHMARK(BM_StopCloseAndMoveWhilePlaying)
    ->ArgName("sound_server")
    ->Arg(Silent)
    ->Arg(PulseAudio)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

// An engine playing on the silent output, its threads running.
struct LiveEngine {
    audio::SoundEngine engine {QStringLiteral("live")};
    std::uint32_t stream = 0;
    int channel = 0;
    LiveEngine()
    {
        engine.setDriver(silentDriver());
        engine.init(44100, 32, 2);
        stream = engine.streamOpen(songA, 8192, 0, 0);
        channel = engine.streamPlay(-1, stream);
    }
};

void BM_GetTime(benchmark::State& state)
{
    LiveEngine live;
    for (auto _ : state)
        benchmark::DoNotOptimize(live.engine.streamGetTime(live.stream));
}
BENCHMARK(BM_GetTime);

void BM_SetVolume(benchmark::State& state)
{
    LiveEngine live;
    int v = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(live.engine.setVolume(live.channel, (v++) & 255));
}
BENCHMARK(BM_SetVolume);

// The decks' poll of the spectrum on the running engine (mostly nothing new since the last).
void BM_SpectrumPoll(benchmark::State& state)
{
    LiveEngine live;
    live.engine.dspSetActive(live.engine.dspGetFFTUnit(), 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(live.engine.dspGetSpectrum()[2]);
}
BENCHMARK(BM_SpectrumPoll);

// A spectrum of new sound each time: 20 ms mixed in between on the manual clock, the least
// that makes the engine compute a new one.
void BM_SpectrumFresh(benchmark::State& state)
{
    audio::SoundEngine e(QStringLiteral("fresh"));
    e.setManualClock(true);
    e.init(44100, 32, 2);
    e.dspSetActive(e.dspGetFFTUnit(), 1);
    e.streamPlay(-1, e.streamOpen(songA, 8192, 0, 0));
    for (auto _ : state) {
        state.PauseTiming();
        e.advance(882);
        state.ResumeTiming();
        benchmark::DoNotOptimize(e.dspGetSpectrum()[2]);
    }
}
BENCHMARK(BM_SpectrumFresh);

// Opening a song (a 200 s MP3 whose first frame states its length) and closing it.
void BM_OpenAndClose(benchmark::State& state)
{
    audio::SoundEngine e(QStringLiteral("open"));
    e.setManualClock(true);
    e.init(44100, 32, 2);
    for (auto _ : state)
        e.streamClose(e.streamOpen(songA, 8192, 0, 0));
    // Against decoding the same song alone: opening costs this fraction of a full decode.
    const double t0 = threadCpuSeconds();
    decodeAlone(songA, 200.4);
    state.counters["decode_whole_song_ms"] = (threadCpuSeconds() - t0) * 1000;
}
BENCHMARK(BM_OpenAndClose)->Unit(benchmark::kMillisecond);

void BM_UnderrunsWhileTheInterfaceBlocks(benchmark::State& state)
{
    const char* env = std::getenv("QUENLOW_UNDERRUN_SECONDS");
    const int seconds = env ? std::max(1, std::atoi(env)) : 10;
    std::uint64_t underruns = 0;
    int playedMs = 0;
    for (auto _ : state) {
        audio::SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
        std::uint32_t streams[2];
        int channels[2];
        audio::SoundEngine* engines[2] = {&a, &b};
        for (int i = 0; i < 2; ++i) {
            engines[i]->setDriver(silentDriver());
            engines[i]->setBufferSize(20); // a 10 ms period
            engines[i]->init(44100, 32, 2);
            engines[i]->dspSetActive(engines[i]->dspGetFFTUnit(), 1);
            streams[i] = engines[i]->streamOpen(i ? songB : songA, 8192, 0, 0);
            channels[i] = engines[i]->streamPlay(-1, streams[i]);
        }
        b.setFrequency(channels[1], 55125);
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            // The interface thread is busy elsewhere for 2 s ...
            std::this_thread::sleep_for(std::chrono::seconds(2));
            // ... then polls as the deck timers do for a moment.
            for (int i = 0; i < 50; ++i) {
                for (int k = 0; k < 2; ++k) {
                    engines[k]->setVolume(channels[k], 255 - i);
                    benchmark::DoNotOptimize(engines[k]->streamGetTime(streams[k]));
                    benchmark::DoNotOptimize(engines[k]->dspGetSpectrum()[2]);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        underruns += a.underruns() + b.underruns();
        playedMs += a.streamGetTime(streams[0]);
        a.close();
        b.close();
    }
    state.counters["underruns"] = double(underruns);
    state.counters["seconds"] = seconds;
    state.counters["deck_a_played_s"] = playedMs / 1000.0;
}
BENCHMARK(BM_UnderrunsWhileTheInterfaceBlocks)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace
