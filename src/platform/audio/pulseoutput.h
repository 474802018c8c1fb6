// Playing straight to a PulseAudio server (PipeWire's pulse server speaks the same protocol),
// for the devices such a server serves: ALSA's "pulse" device, and "default" where the ALSA
// configuration routes it there.
//
// Through ALSA's pulse plugin every period of the sound woke three threads in turn (the
// output's callback, the plugin's client thread, then the server), and an idle null sink held
// a new stream back until the end of its own 2 s block. Here one thread of libpulse's own both
// answers the server and mixes, straight into the buffer the server hands out, and the stream
// asks the server to run its sink at our latency.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace audio {

// Where an ALSA device plays when a pulse server serves it: the server and the sink its ALSA
// definition names (empty for the server's own defaults).
struct PulseRoute {
    QByteArray server;
    QByteArray sink;
};

// The route of the ALSA device of that name when a pulse server serves it; nothing for every
// other device (sound cards, JACK, PipeWire's own ALSA device), which PortAudio plays.
std::optional<PulseRoute> pulseRouteOf(const QString& alsaDevice);

class PulseOutput {
public:
    // Mixes `frames` stereo frames into out on the output's thread. True when the output may now
    // rest: the stream is corked until resume().
    using Fill = bool (*)(void* user, float* out, int frames);

    // Underflows of the server's buffer (it ran out of sound to play) are counted into `underruns`.
    PulseOutput(Fill fill, void* user, std::atomic<std::uint64_t>& underruns);
    ~PulseOutput();
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    // Connects to the server and makes a stream of `bufferMs` of sound, corked: nothing is asked
    // of fill() until resume(). Waits a few seconds at most. False when the server cannot be
    // reached or refuses the stream.
    bool open(const PulseRoute& route, int bufferMs, const QString& name);
    // Ends the stream and the connection; harmless when not open.
    void close();
    // Starts the corked stream afresh (what it held before the rest is dropped); `started` runs
    // under the output's lock, before the thread can ask fill() for sound again. False when the
    // server or the stream has failed since.
    bool resume(void (*started)(void* user));
    // The connection or the stream failed on its own: the server went away or dropped us.
    bool failed() const { return failed_.load(std::memory_order_acquire); }
    // What the server buffers of ours ahead of the sink, in frames.
    std::size_t bufferFrames() const { return bufferFrames_; }

private:
    static void onContextState(pa_context* c, void* self);
    static void onStreamState(pa_stream* s, void* self);
    static void onWrite(pa_stream* s, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* s, void* self);
    void noteState(bool ended);
    bool waitUntil(bool (*done)(PulseOutput*), int ms);

    Fill fill_;
    void* user_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::atomic<bool> failed_ {false};
    std::atomic<std::uint64_t>& underruns_;
    std::size_t bufferFrames_ = 0;
    bool timedOut_ = false;
};

} // namespace audio
