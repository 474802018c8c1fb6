// Playing straight to a PulseAudio server (PipeWire's pulse server speaks the same protocol),
// for the devices such a server serves: ALSA's "pulse" device, and "default" where the ALSA
// configuration routes it there.
//
// Through ALSA's pulse plugin every period of the sound woke three threads in turn (the
// output's callback, the plugin's client thread, then the server), and an idle null sink held
// a new stream back until the end of its own 2 s block. Here one thread of libpulse's own both
// answers the server and mixes, straight into the buffer the server hands out, and the stream
// asks the server to run its sink at our latency.
//
// The queue on the server is long (about 0.3 s), so the thread wakes some seven times a second;
// a change at a deck is still heard within a few hundredths of a second, because the thread is
// poked and then REWRITES what the server has not read yet: it asks the server where it reads,
// has the mixer go back to a boundary a little past that (the sink's own latency and a margin,
// so the sink has not taken it yet) and writes from there at that absolute place in the
// stream, over what was queued. The server reads on into the new sound without a seam.
#pragma once

#include <QByteArray>
#include <QString>

#include <pulse/def.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_operation;
struct pa_mainloop_api;
struct pa_io_event;
struct pa_time_event;

namespace audio {

// Where an ALSA device plays when a pulse server serves it: the server and the sink its ALSA
// definition names (empty for the server's own defaults); or one of the server's outputs, chosen
// from its list by the sink's name. A stream on a named sink is never moved to another.
struct PulseRoute {
    QByteArray server;
    QByteArray sink;
};

// The route of the ALSA device of that name when a pulse server serves it; nothing for every
// other device (sound cards, JACK, PipeWire's own ALSA device), which PortAudio plays.
std::optional<PulseRoute> pulseRouteOf(const QString& alsaDevice);

class PulseOutput {
public:
    // The mixer behind the output. Every call is made with the output's lock held: on the output's
    // thread, or on the thread calling resume() (started(), and the mixing of a start's first piece).
    struct Client {
        virtual ~Client() = default;
        // Mixes up to `frames` stereo frames into out, from the head on; fewer (none at all)
        // where it waits for sound that is not decoded yet and `mayHold`. `rest`: the output may
        // rest now (the stream is corked until resume()).
        virtual int fill(float* out, int frames, bool mayHold, bool& rest) = 0;
        // Goes back to a boundary at or after `frame` to mix from there again; returns that frame,
        // or the head when it cannot go back.
        virtual std::int64_t rewind(std::int64_t frame) = 0;
        virtual std::int64_t head() = 0; // output frames mixed so far
        // The server reads at output frame `frame` now, and goes on reading while `playing`.
        virtual void heard(std::int64_t frame, bool playing) = 0;
        // Changes the mixer wants rewritten: a number that moves on with each.
        virtual bool changePending() = 0;
        virtual std::uint32_t change() = 0;
        virtual void changeCarried(std::uint32_t change) = 0;
        virtual void started() = 0;
    };

    // Underflows of the server's buffer (it ran out of sound to play) are counted into `underruns`.
    // `pokeFd` is an eventfd the caller keeps open longer than the output: a write to it wakes
    // the output's thread to rewrite what the server holds with the client's changes, or to go on
    // writing after a wait for sound (any thread, no lock).
    PulseOutput(Client& client, std::atomic<std::uint64_t>& underruns, int pokeFd);
    ~PulseOutput();
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    // Connects to the server and makes a stream of `bufferMs` of sound, corked: nothing is asked
    // of fill() until resume(). Waits a few seconds at most. False when the server cannot be
    // reached or refuses the stream.
    bool open(const PulseRoute& route, int bufferMs, const QString& name);
    // Ends the stream and the connection; harmless when not open.
    void close();
    // Starts the corked stream afresh (what it held before the rest is dropped); the client's
    // started() runs under the output's lock, before the thread can ask fill() for sound again.
    // False when the server or the stream has failed since.
    bool resume();
    // The connection or the stream failed on its own: the server went away or dropped us.
    bool failed() const { return failed_.load(std::memory_order_acquire); }
    // The calling thread is the output's own (the one that answers the server).
    bool onItsThread() const;
    // What the server buffers of ours ahead of the sink, in frames.
    std::size_t bufferFrames() const { return queueFrames_.load(std::memory_order_relaxed); }

private:
    static void onContextState(pa_context* c, void* self);
    static void signalLoop(pa_stream* s, int success, void* self);
    static void onStreamState(pa_stream* s, void* self);
    static void onWrite(pa_stream* s, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* s, void* self);
    static void onStarted(pa_stream* s, void* self);
    static void onBufferAttr(pa_stream* s, void* self);
    static void onTiming(pa_stream* s, int success, void* self);
    static void onMoved(pa_stream* s, void* self);
    static void onHoldOver(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    void noteState(bool ended);
    bool waitUntil(bool (*done)(PulseOutput*), int ms);
    // Writes up to `bytes` of the mix at the stream's write index (`seekTo` >= 0: at that
    // absolute index first), mixed and sent in pieces, the first of `pieceFrames` at most, each
    // next one twice the last; returns the bytes written.
    std::size_t write(std::size_t bytes, std::int64_t seekTo, std::size_t pieceFrames);
    void writeRequested();
    void holdForSound(std::uint64_t now);
    void poked(int fd);
    // The server told (or a write showed) that it reads at `frame` now, and reads on unless it
    // stopped (`reading` false: corked or run dry).
    void noteRead(std::int64_t frame, bool reading = true);
    void noteRequest(std::int64_t frame);
    std::int64_t aheadBy(std::uint64_t now) const;
    void askWhereItReads();
    void rewrite();
    void restSoon();
    void lookAtLoad();
    pa_operation* askSinkKind();
    bool learnSink();
    void dropTimers();
    bool settle(pa_operation* op);
    bool begin();
    enum class Latency { Playing, Busy, Resting };
    void setLatency(Latency latency);
    Latency playLatency();
    void measureBlock(const pa_timing_info* info);
    void restartMeasure();
    std::int64_t sinkFrames() const;

    // Which thread touches what. The output's thread is libpulse's main loop; it runs every
    // callback with the loop's lock held. Any other thread (the engine's: open(), close(),
    // resume()) takes that lock before it touches the connection or the stream. So:
    // - set at construction and never changed: client_, underruns_ (an atomic), pokeFd_;
    // - loop_ is written only while no loop thread runs (in open() before it starts, in close()
    //   after it has stopped), so any thread may read it (onItsThread());
    // - failed_ and queueFrames_ are atomics: any thread reads them without the lock (failed(),
    //   bufferFrames()), and they are written under it;
    // - everything else is touched only with the lock held, by whichever thread holds it.
    // The Client's calls are made with the lock held as well (from the output's thread, and from
    // resume() on the caller's), so what the mixer keeps for them is under the same rule.
    Client& client_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::atomic<bool> failed_ {false};
    std::atomic<std::uint64_t>& underruns_;
    std::atomic<std::size_t> queueFrames_ {0};
    bool timedOut_ = false;
    // The poke, a question about the read index in flight, a wait for sound.
    const int pokeFd_;
    pa_io_event* pokeEvent_ = nullptr;
    bool asking_ = false;
    bool corked_ = true;
    pa_time_event* holdTimer_ = nullptr;
    std::int64_t holdSince_ = -1; // the steady clock (us) when the wait began
    std::int64_t readAt_ = 0;     // the server's read point, last told
    std::uint64_t readWhen_ = 0;  // and since when it reads on from there (the steady clock, us)
    bool playing_ = false;        // the server reads on: started, not run dry, not corked
    bool doubted_ = false;        // the last request put the read point far back (noteRequest())
    // The stream's latency and queue while it plays, while it plays on a busy machine, and while it
    // rests (see kRestSinkMs).
    Latency latency_ = Latency::Resting;
    pa_buffer_attr playAttr_ {};
    pa_buffer_attr restAttr_ {};
    pa_buffer_attr busyAttr_ {};         // on PipeWire, while the machine is busy (see kBusyFrom)
    std::int64_t busySinkFrames_ = 0;    // what the sink takes at a time at the busy latency
    std::uint64_t busyLookedAt_ = 0;     // the steady clock (us) of the last look at the load
    pa_operation* pending_ = nullptr; // a resume's flush, waited for
    bool starting_ = false;           // a resume under way: the server's requests wait for it
    bool started_ = false;            // and what the server asked for meanwhile, to be written
    pa_time_event* restTimer_ = nullptr;  // the long latency of a stream that rested a while
    bool restsLong_ = false;              // its sink takes back what it took ahead (askSinkKind())
    bool pipeWire_ = false;               // the server is PipeWire's pulse server
    pa_time_event* startTimer_ = nullptr; // a start after one, once the sink has played out
    // What the sink takes at a time: what the stream asked for while it plays (busySinkFrames_
    // on a busy machine), and what the server's read point was seen to do (see measureBlock()).
    std::int64_t askedSinkFrames_ = 0;
    bool spanOpen_ = false;
    double spanFrom_ = 0, spanLow_ = 0, spanHigh_ = 0, spanLast_ = 0;
};

} // namespace audio
