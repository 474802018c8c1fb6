// A sound server of a test's or benchmark's own: a PulseAudio daemon in user mode, or PipeWire
// with its pulse server and session manager on a private session bus; its own runtime folder,
// one null sink, reachable at socket() only. The engines reach it as the program reaches a sound
// server: as the device "pulse" that PortAudio lists (through ALSA's pulse plugin), which the
// engines then play through libpulse.
#pragma once

#include "support/childprocess.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

class PulseDaemon {
public:
    enum class Kind { PulseAudio, PipeWire };
    explicit PulseDaemon(const QString& folder, Kind kind = Kind::PulseAudio);
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    QString socket() const;
    QString clientConfig() const;
    QString log() const { return log_; }

    // Starts the server and waits until a client can play on its sink; false (with the
    // server's words in log()) when it cannot start here.
    bool start();
    // Gone at once, as a crashed or killed sound server is.
    void kill();
    // Stopped where it is (SIGSTOP), as a hung sound server is, or let go again.
    void freeze(bool frozen);
    // The server's own processes (PipeWire's three), for what they cost.
    std::vector<qint64> processes() const;
    // A module the server loads now, as `pactl load-module` would; its index, or -1.
    int loadModule(const QString& module, const QStringList& arguments = {});

    // Points this process's sound clients at the daemon (until the daemon object goes), and
    // returns the engines' driver number of the "pulse" device; 0 when PortAudio does not list it.
    int connectHere();

    // Adds an output as a sound card plugged in would: a null sink of that name and description.
    // Returns the module that made it (for unloadModule), or -1 with the reason in log().
    int addSink(const QString& name, const QString& description);
    // Takes a module away again, as a card pulled out (its sink goes with it).
    bool unloadModule(int module);
    bool setDefaultSink(const QString& name);
    // The sinks the daemon's playback streams play on now, one per stream.
    QStringList streamSinks();

private:
    bool startPipeWire();
    bool waitForSocket();
    // Runs pactl against the server; its output, or nothing (the reason in log()) when it failed.
    std::optional<QString> pactl(const QStringList& args);

    QString folder_;
    Kind kind_;
    testutil::ChildProcess process_;
    QString log_;
    bool connected_ = false;
};

// What the daemon's null sink plays, recorded from its monitor as it comes (a client of the
// daemon the process is connected to), in pieces of 64 stereo frames, each with the time it
// arrived: to tell when a change was heard and to look at the sound for clicks.
class MonitorRecording {
public:
    using Clock = std::chrono::steady_clock;
    // Records the monitor of the sink of that name (the daemon's own null sink by default). With a
    // latency, as a program recording a set does: it asks the sink for that latency, and takes its
    // sound that seldom (a sink without a shorter request then runs that far ahead).
    explicit MonitorRecording(const char* sink = "quenlow_test", std::chrono::milliseconds latency = {});
    ~MonitorRecording();
    MonitorRecording(const MonitorRecording&) = delete;
    MonitorRecording& operator=(const MonitorRecording&) = delete;

    bool recording() const { return ok_; }
    // The first piece that arrived after `since` whose mean absolute level passes `test`, waited
    // for `most` at most.
    std::optional<Clock::time_point> waitFor(const std::function<bool(float level)>& test, Clock::time_point since,
                                             std::chrono::milliseconds most);
    // Everything recorded so far, interleaved stereo; or what arrived after `since`.
    std::vector<float> sound() const;
    std::vector<float> soundSince(Clock::time_point since) const;
    // Frames recorded so far; and how often the recording lost sound the sink played (the server
    // dropped what this process did not take in time, or handed over a hole).
    std::size_t frames() const;
    int losses() const { return losses_.load(); }

private:
    struct Piece {
        Clock::time_point at;
        float level;
    };
    void take(pa_stream* s);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool ok_ = false;
    mutable std::mutex mutex_;
    std::vector<float> partial_;
    std::vector<float> sound_;
    std::vector<Piece> pieces_;
    std::atomic<int> losses_ {0};
};

// A moment where the server itself dropped the sound. Under load PipeWire's graph, at the quantum
// of a few milliseconds a deck has it run at, now and then misses one, whatever plays on it (a plain
// pacat as much as a deck), and tells the stream nothing: the sound stops dead for that quantum and
// goes on in step with the tone before it, either as if it had played on (the quantum's sound lost)
// or held back by exactly the quantum. None of a deck's faults sounds so: a deck that ran dry is
// told an underrun and goes on late by whole blocks of its mixing; a rewrite that came late is a
// seam of two sounds with no silence between; a volume change fades. A recording's steps at the
// edges of such a moment (the resampler's ringing with them) are the server's. Frames of the
// recording, `from` to `to`.
struct Dropout {
    std::size_t from = 0, to = 0;
};
std::vector<Dropout> serverDropouts(const std::vector<float>& sound);
bool inDropout(const std::vector<Dropout>& dropouts, std::size_t frame);

// How a tone of `hz` that starts from silence sounds in a recording (interleaved stereo): where it
// is first heard, the greatest change from one sample to the next over its first `startFrames`
// (a click of the start) and how far past the onset that change is, and how far into its period
// the tone is where it is first heard, in frames. Against the same look at the sound as mixed,
// the last tells how much of the start a server skipped (known unless a dropout of the server's
// came first). The server's own dropouts are counted, their edges not as steps.
struct ToneStart {
    bool heard = false;
    std::size_t onset = 0;
    float steepest = 0.0f;
    std::size_t steepestAt = 0;
    double phaseFrames = 0.0;
    bool phaseKnown = false;
    int dropouts = 0;
};
ToneStart lookAtToneStart(const std::vector<float>& sound, double hz, std::size_t startFrames = SIZE_MAX);

namespace audio {
class SoundEngine;
}

// Starts from rest of a 100 Hz tone at half scale (the test media's tone100hz_half.mp3) on an
// engine, recorded from the monitor: each round plays the tone from its beginning on an output at
// rest and pauses it after 150 ms, resumes it once the output rests again (and `restMore` later)
// and stops it 150 ms later. Counted: starts with a step within their first 50 ms (a change from
// one sample to the next over 0.02 of full scale, where the tone bends by 0.007 at most: a cut
// fade-in, or a seam where the first piece written meets the next; the greatest is kept with the
// milliseconds past the onset where it is), plays that lost more than 4 frames of the tone's
// beginning (against the same look at the sound as mixed), and how soon each start was heard (ms,
// by the sink's clock). The server's own dropouts are counted apart, their edges not as steps.
struct StartsFromRest {
    int stepped = 0, lost = 0, unheard = 0, dropouts = 0;
    float steepest = 0.0f;
    double steepestAtMs = 0.0;
    double mostLost = 0.0;
    std::vector<double> heardMs; // sorted
};
StartsFromRest startFromRest(audio::SoundEngine& engine, const QString& tone, MonitorRecording& monitor, int rounds,
                             std::chrono::milliseconds restMore = {});
