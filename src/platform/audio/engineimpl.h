// How an engine works inside.
//
// Three threads meet here. The interface thread calls the operations; a decoder thread per
// engine decodes every open stream ahead into that stream's ring buffer; the output's audio
// thread (PortAudio's callback, the silent output's pacing thread, or the caller of
// advance() on the manual clock) resamples from the rings, applies volume and mixes.
//
// - Each ring has one producer (the decoder thread) and one consumer (the audio thread), so
//   it needs nothing but two atomic counters.
// - The channel controls (speed, volume, pause) are atomics the audio thread reads per block.
// - A playing stream sits in one of the engine's channel slots (atomic pointers). The
//   interface thread takes a stream out of its slot and then waits for the audio thread to
//   leave a callback it may be in (a sequence counter, odd while mixing) before touching the
//   stream's mixing state. Callbacks are short; one that stays away longer than the interface
//   thread may wait (a swapping machine, a suspended thread) keeps its stream: the stream is
//   parked and freed only once the callback counter has moved on.
// - A move is a request that three parties finish in turn. The interface thread sets the
//   frame and raises the stream's request number and returns at once. The audio thread fades
//   out what the ring still holds, takes the new position and acknowledges. The decoder
//   thread then empties the ring, moves its decoder and marks the ring ready; only then does
//   the audio thread read it again. So only the decoder thread ever calls a decoder, and the
//   interface thread never waits for a decode or a disk.
// - A pulse output keeps a long queue on the server, so it wakes seldom, and a change at a deck
//   (volume, pause, pitch, a move, a play or a stop) is not left to play out behind it: the
//   output's thread REWRITES what the server has not yet read, from a little past its read
//   point, with the change in it. For that the mixer keeps, per stream, the state it had at
//   every kSnapFrames boundary still queued (its history), the rings keep their frames until the
//   server has read them, and the positions the decks read are those of what the server has
//   read, taken from that history. Every other output plays straight as it mixes.
// - Idle costs nothing: the decoder thread sleeps until its rings need filling (or it is
//   woken), and an output stops calling back once nothing plays (see outputGate).
// - A device that a pulse server serves is played through libpulse, its thread mixing straight
//   into the server's buffers (pulseoutput.h); every other device through PortAudio. Both are
//   a Device output to the rest of the engine.
// The audio thread never allocates, locks, waits or touches a file.
//
// The work is spread over a few files along these seams:
//   stream.cpp      a stream's ring, its length, and the decoder thread that fills it
//   mixer.cpp       the audio thread: playing each channel, volume, the mix, the spectrum
//   resampling.cpp  the one place that drives the varispeed (speeds other than a straight copy)
//   outputs.cpp     the outputs: PortAudio and pulse devices, the silent output, the manual clock
//   pulseoutput.cpp the connection and stream of a pulse device
//   soundengine.cpp the operations the interface thread calls
#pragma once

#include "platform/audio/decoder.h"
#include "platform/audio/pulseoutput.h"
#include "platform/audio/soundengine.h"
#include "platform/audio/varispeed.h"

#include <fftw3.h>
#include <portaudio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace audio {

constexpr int kRate = 44100;                    // the output rate; also "normal speed" in Hz
constexpr int kSlots = 32;                      // channels per engine
constexpr int kBlock = 1024;                    // frames mixed at a time
// About 3 s of a 44.1 kHz song: decoded ahead, and what a queued output still holds (at fast
// forward on a 48 kHz song, 2.5 source frames per output frame, a 0.31 s queue holds 37,000).
constexpr std::uint64_t kRingFrames = 1u << 17;
constexpr std::uint64_t kRingMask = kRingFrames - 1;
constexpr std::uint64_t kRefillAt = kRingFrames / 2; // the decoder tops a ring up from here
// What a ring keeps at most behind the mixer's read point for a queued output's rewrite: the
// queue's span (0.31 s) at up to some 3.3x a 48 kHz song, leaving five eighths of the ring to
// decode ahead.
constexpr std::uint64_t kKeepBehindMost = kRingFrames * 3 / 8;
// A queued output mixes and remembers its state in steps of this many frames (2.9 ms): a rewrite
// starts on such a boundary.
constexpr int kSnapFrames = 128;
constexpr int kHeardEntries = 512; // a stream's history: 1.5 s of boundaries
constexpr long kDecodeChunk = 4096;
constexpr int kFftSize = 1024;
constexpr int kBins = kFftSize / 2;
constexpr std::uint64_t kHistory = 4096; // mono output kept for the spectrum
constexpr std::uint64_t kSpectrumEvery = kRate / 50; // the display's rate: one spectrum per 20 ms
constexpr int kDefaultBufferMs = 20;
constexpr float kRampPerFrame = 1.0f / (0.005f * kRate); // a full volume swing takes 5 ms
constexpr int kMinHz = 100;
constexpr int kMaxHz = 705600;

// How long the interface thread waits for the audio thread to leave a callback it is in.
constexpr auto kCallbackWait = std::chrono::milliseconds(15);
// A stop or a close holds the interface thread at most this long in all, whatever the buffer:
// the fade out takes what it needs of it, and the wait for the callback the rest. The few
// microseconds that follow (taking the stream out of the list) are not waits.
constexpr auto kStopWait = std::chrono::milliseconds(24);
// The part of it the wait for the callback always keeps, so a fade that does not finish in time
// (a very large buffer, whose callbacks come far apart) still leaves a callback time to end.
constexpr auto kStopCallbackShare = std::chrono::milliseconds(5);
// How long a stream open waits for the length scan of a file that does not state its length.
constexpr auto kLengthWait = std::chrono::milliseconds(20);
// The decoder thread looks round at least this often while a ring drains, whatever its plan.
constexpr auto kDecoderNap = std::chrono::milliseconds(1000);

constexpr std::uint64_t kNoSpectrum = ~std::uint64_t(0);

// Handles come from one counter for the whole process: never reused, and a handle of one
// engine is never valid in the other.
std::uint32_t newHandle();

inline std::int64_t msOf(std::int64_t frames, int rate) { return frames * 1000 / rate; }

// What a stream plays: the decoder and the song's length. A stream that had to be parked
// hands its song to the stream that takes its place.
struct Song {
    std::unique_ptr<Decoder> dec; // the decoder thread's alone once the stream is open
    int rate = kRate;
    std::atomic<std::int64_t> total {0}; // frames; settled by the length scan where needed
    std::unique_ptr<LengthScan> scan; // running until the file's exact length is known

    // The length in milliseconds, always of the frames `total` holds at the moment.
    int lengthMs() const;
    ~Song();
};

// A stream's state at the start of one boundary of a queued output, as the mixer left it there:
// enough to mix on from that frame again, and the position the decks read from there on. Each
// field is an atomic of its own, so the interface thread may read an entry while the output
// thread writes another.
struct Heard {
    std::atomic<std::int64_t> frame {0};  // output frame
    std::atomic<std::int64_t> source {0}; // source frame (whole part of the read position)
    std::atomic<std::uint32_t> fraction {0};
    std::atomic<std::int64_t> grid {0};   // source frame of the varispeed's grid (Varispeed::gridStart)
    std::atomic<float> gain {0.0f};
    std::atomic<std::uint8_t> flags {0}; // kHeardDirect, kHeardFlowing, kHeardOver
    std::atomic<std::int64_t> shown {0}; // the position the decks read
};
constexpr std::uint8_t kHeardDirect = 1, kHeardFlowing = 2, kHeardOver = 4;

// One open stream and, while it plays, its channel.
struct Stream {
    // Interface thread only.
    std::uint32_t handle = 0;
    std::uint32_t channel = 0; // 0 while the stream has no channel
    int slot = -1;             // channel slot while it has a channel

    // Fixed at open.
    std::shared_ptr<Song> song;
    int rate = kRate;
    std::unique_ptr<float[]> ring;
    std::unique_ptr<Varispeed> varispeed;
    bool queued = false; // played to a queued output: the ring keeps what a rewrite may need

    std::int64_t total() const { return song->total.load(std::memory_order_relaxed); }
    int lengthMs() const { return song->lengthMs(); }

    // The ring: written by the decoder, read by the audio thread.
    std::atomic<std::uint64_t> wr {0};
    std::atomic<std::uint64_t> rd {0};
    // The decoder writes no further than kRingFrames past this: the mixer's read point, or on a
    // queued output the oldest frame a rewrite may still mix from.
    std::atomic<std::uint64_t> keep {0};
    std::atomic<bool> eof {false}; // the decoder has put the last frame into the ring
    std::atomic<EarlyEnd> earlyEnd {EarlyEnd::None}; // why that came before the song's end, if it did
    // The ring holds the song from source frame epochFrame at ring index epochRing on (set by
    // the party that acknowledges a move, read by the mixer).
    std::uint64_t epochRing = 0;
    std::int64_t epochFrame = 0;
    std::uint64_t ringOf(std::int64_t source) const { return epochRing + std::uint64_t(source - epochFrame); }
    // The first ring index that mixing on from `source` reads, the varispeed reaching back
    // `before` frames (not before the place the ring starts at): at least kBefore; a rewrite
    // gives it up to Varispeed::kMostHistory, for its halvings to carry on exactly.
    std::uint64_t keepFor(std::int64_t source, int before = Varispeed::kBefore) const
    {
        return ringOf(std::max(epochFrame, source - std::int64_t(before)));
    }

    // A move (see the top of this file): the interface thread sets seekFrame and raises
    // request; the audio thread (or the interface thread for a stream without a channel)
    // takes the frame into ackFrame and sets acknowledged; the decoder thread then refills
    // the ring from there and sets ready.
    std::atomic<std::uint32_t> request {0};
    std::atomic<std::int64_t> seekFrame {0};
    std::atomic<std::uint32_t> acknowledged {0};
    std::atomic<std::int64_t> ackFrame {0};
    std::atomic<std::uint32_t> ready {0};

    // Channel controls, set by the interface thread.
    std::atomic<int> hz {kRate};
    std::atomic<int> volume {255};
    std::atomic<bool> paused {false};
    std::atomic<bool> stopping {false}; // fade out: the channel is about to be taken away
    std::atomic<bool> playing {false};  // it has a channel (for the decoder's timing)
    std::atomic<int> plannedHz {kRate}; // the speed the decoder last timed its refill for

    // Published by the audio thread.
    std::atomic<std::int64_t> position {0}; // source frames played
    std::atomic<bool> ended {false};        // played to its natural end
    std::atomic<bool> audible {false};      // its gain is above silence

    // Audio thread only (or the interface thread while the stream has no channel).
    double pos = 0;
    std::int64_t shown = 0; // the position the decks are to read once this much is heard (queued output)
    float gain = 1.0f;
    // At one source frame per output frame (normal speed of a 44.1 kHz song) the frames are
    // copied straight through, sparing the varispeed; the last frames so played are kept for
    // it to reach back to when the speed changes.
    bool direct = true;
    float recent[Varispeed::kBefore * 2] {};
    std::uint64_t recentCount = 0;
    std::int64_t varispeedFrom = 0; // the source frame at the varispeed's position 0
    bool flowing = false; // the ring has delivered since the last move: running dry now is an underrun
    bool over = false;    // mixed to its natural end (published as `ended` once heard)

    // A queued output's history of this stream (see Heard): written by the output's thread,
    // read by the interface thread for the position. `heardCount` counts entries ever written;
    // a rewrite takes it back. Entries before the output frame `heardFrom` belong to a place
    // the stream has since left.
    std::unique_ptr<Heard[]> heard;
    std::atomic<std::int64_t> heardCount {0};
    std::atomic<std::int64_t> heardFrom {0};

    // Forgets what was played before: after a move, a stop or at open.
    void rewind();

    bool movePending() const
    {
        return request.load(std::memory_order_acquire) != acknowledged.load(std::memory_order_acquire);
    }
    // The audio thread's (or the interface thread's) part of a move: the new place is taken.
    // `at` is the output frame it happens at (for a queued output's history).
    void acknowledge(std::uint32_t req, std::int64_t at = 0);
    // The ring holds sound of the stream's present place.
    bool ringReady() const
    {
        return ready.load(std::memory_order_acquire) == acknowledged.load(std::memory_order_relaxed);
    }
    // Wants mixing: playing, fading or with a move to take.
    bool active() const;

    // The decoder thread's work: carries out a move once acknowledged, or decodes one chunk
    // into the ring. False when there was nothing to do.
    bool fill();
    // How long the ring can go before it needs the decoder again.
    std::chrono::nanoseconds refillIn();
    // On the manual clock decoding runs inline, just ahead of the block being mixed.
    void fillAhead(int frames);

    // A queued output's history (mixer.cpp): the state now, as the entry for output frame `at`;
    // the entry of the last boundary at or before `at` that belongs to the present place (null
    // when there is none); the state of an entry taken back, so the mixer goes on from there.
    void remember(std::int64_t at);
    const Heard* heardAt(std::int64_t at) const;
    void restore(const Heard& e);
};

// The varispeed of one stream, made at open (resampling.cpp).
bool createResampler(Stream& s);

// Output samples added into a mix at a constant gain.
void addScaled(float* out, const float* in, int samples, float gain);

struct SoundEngine::Impl {
    QString name;
    int driver = 0;
    // Or a pulse server's output by its sink's name (see setDriverSink), and whether an init that
    // does not find it waits for it.
    QByteArray driverSink;
    bool waitForSink = false;
    int bufferMs = kDefaultBufferMs;
    int error = ErrNone;
    QString errorDetail; // of the last failed stream open
    bool initialized = false;
    bool manualNext = false; // the clock chosen for the next init
    bool manualQueuedNext = false; // and whether it mixes as a queued output (tests)
    bool manual = false;     // the clock of the running engine

    // Output.
    enum class Output { None, Manual, Silent, Device } output = Output::None;
    PaStream* pa = nullptr;
    int paDevice = -1; // the PortAudio device of a Device output
    bool paHeld = false;
    // A Device output a pulse server serves: where it plays, and its stream while open. `pulse`
    // is set and cleared only while the output's thread does not run (before open(), after
    // close()), so that thread may read it.
    std::optional<PulseRoute> pulseRoute;
    std::unique_ptr<PulseOutput> pulse;
    // An output rests while nothing plays: the device stream is stopped, the silent output's
    // pacing thread sleeps. Bit 0 is set by the audio thread when it stops (after a block in
    // which nothing played, and long enough after the last sound that the device holds only
    // silence) and cleared by the interface thread when it starts the output again; the other
    // bits count the interface thread's wakes, so the audio thread never stops on a block that
    // missed a play, a resume or a move that came in while it mixed. While bit 0 is set no
    // audio thread runs, and the interface thread may do its part of a move itself.
    std::atomic<std::uint32_t> outputGate {0};
    std::uint64_t restAfter = kFftSize; // quiet frames before the output may rest
    // A queued output (a pulse device; see the top of this file). The output thread's frame
    // count and the boundaries it may go back to; published: the frames mixed, and where the
    // server reads (a frame at a time on the steady clock while it plays).
    bool queued = false;
    std::int64_t mixFrame = 0;          // output thread
    std::int64_t barrier = 0;           // output thread: no rewrite goes back before this frame
    std::uint64_t markQuiet[kHeardEntries] {}; // quietFrames at each boundary
    std::int64_t markFrame[kHeardEntries] {};
    std::int64_t markCount = 0;
    bool deferMoves = false;            // a rewrite is on its way and takes the moves
    std::atomic<std::int64_t> mixedTo {0};
    std::atomic<std::uint32_t> clockSeq {0}; // odd while the read clock below is being set
    std::atomic<std::int64_t> readFrame {0};
    std::atomic<std::int64_t> readAtNs {0};
    std::atomic<bool> reading {false};
    mutable std::atomic<std::int64_t> readShown {0}; // the latest read point given out (interface thread)
    // A channel was taken away (interface thread) / seen so by the output thread.
    std::atomic<std::uint32_t> detachSeq {0};
    std::uint32_t detachSeen = 0;
    // Changes a rewrite is to carry (interface thread), and the last one carried (output thread).
    std::atomic<std::uint32_t> changeSeq {0};
    std::atomic<std::uint32_t> changeDone {0};
    int pokeFd = -1; // the engine's poke of a queued output's thread (an eventfd, any thread writes it)
    // Real-time scheduling of the device's callback thread: what its first callback after a
    // start found (0 not yet known, 1 granted, -1 refused), and whether a refusal was logged.
    std::atomic<int> realtime {0};
    bool realtimeTold = false;
    bool paRealtime = false; // the device stream asks its host for real time
    // Underruns already logged, and when the last line was written.
    std::uint64_t underrunsTold = 0;
    std::chrono::steady_clock::time_point underrunToldAt;
    // A lost output (see takeOutputLost): PortAudio ended the stream on its own, the pulse
    // server or stream failed, or the callbacks stopped coming; noticed on the interface thread,
    // which then stops the channels (lost) and tells it once (lossUntold).
    std::atomic<bool> paFinished {false};
    std::atomic<bool> paClosing {false}; // the engine stops the stream itself
    std::atomic<bool> loseForTest {false};
    bool goneForTest = false; // a lost output that does not come back at the next play
    bool lost = false;
    bool lossUntold = false;
    std::uint64_t watchSeq = 0;
    std::chrono::steady_clock::time_point watchSince;
    std::thread pacer;
    std::atomic<bool> pacing {false};
    std::mutex paceMutex; // the silent output's rest
    std::condition_variable paceWake;

    // Decoding ahead.
    std::thread decoder;
    std::mutex decodeMutex; // guards `streams` against the decoder thread's look at it
    std::condition_variable decodeWake;
    std::atomic<bool> decoding {false};
    bool decodeKick = false; // guarded by decodeMutex
    std::vector<std::shared_ptr<Stream>> decoderWork; // decoder thread only

    // Written by the interface thread only (under decodeMutex); the decoder thread copies
    // the list under the same mutex and works on the copies.
    std::vector<std::shared_ptr<Stream>> streams;
    std::atomic<Stream*> channelSlots[kSlots] {};
    std::atomic<std::uint64_t> callbackSeq {0};
    std::atomic<std::uint64_t> underrunCount {0};

    // Streams the audio thread may still be using after a callback outlasted the wait for
    // it, with the callback count seen then; freed once the count has moved on.
    struct Parked {
        std::shared_ptr<Stream> stream;
        std::uint64_t seq;
    };
    std::vector<Parked> parked;

    // Mixing scratch (audio thread).
    float voiceOut[kBlock * 2] {};
    float discard[kBlock * 2] {};
    std::uint64_t quietFrames = 0; // frames mixed since the last one that anything played in

    // For tests: holds the audio thread inside a callback, on a stream it is mixing, and the
    // decoder thread when it wakes; slows the decoder thread.
    std::atomic<bool> stallWanted {false};
    std::atomic<bool> stalled {false};
    std::atomic<bool> decoderStallWanted {false};
    std::atomic<bool> decoderStalled {false};
    std::atomic<std::int64_t> decoderSlowUs {0};

    // Spectrum.
    std::uint32_t fftUnit = newHandle();
    bool dspActive = false;
    std::atomic<float> history[kHistory] {};
    std::atomic<std::uint64_t> historyCount {0};
    float* fftIn = nullptr;
    fftwf_complex* fftOut = nullptr;
    fftwf_plan plan = nullptr;
    float hann[kFftSize] {};
    float spectrum[kBins] {};
    std::uint64_t spectrumOf = kNoSpectrum; // the output count the spectrum was computed at
    std::atomic<float> level {0.0f};

    explicit Impl(const QString& n);
    ~Impl();

    int fail(int code)
    {
        error = code;
        return 0;
    }

    Stream* findStream(std::uint32_t handle) const;
    // The stream whose live channel this is; a channel that played to its end is gone.
    Stream* findChannel(int channel) const;
    std::shared_ptr<Stream>* entryOf(const Stream* s);

    // --- the audio thread (mixer.cpp)
    void render(float* out, int frames);
    void mixBlock(float* out, int frames);
    static int fadeFrames(const Stream& s);
    bool mixStream(Stream& s, float* out, int frames);
    bool playFrames(Stream& s, float* out, int frames, bool fadeOut);
    // One source frame per output frame: the frames go straight from the ring to the mix.
    void copyDirect(Stream& s, int frames, int& done, bool& finished, bool& dry);
    // Called by the audio thread after a callback that read the gate as `seen` before it
    // mixed: true when the output now rests (see outputGate).
    bool rest(std::uint32_t seen);
    // The output rests: no audio thread runs until wakeOutput (interface thread).
    bool outputResting() const { return (outputGate.load(std::memory_order_seq_cst) & 1) != 0; }
    // The last 1024 frames mixed, as 512 magnitudes (interface thread).
    const float* computeSpectrum();

    // --- other speeds (resampling.cpp)
    void resample(Stream& s, std::uint64_t step, int frames, int& done, bool& finished, bool& dry);

    // --- decoding ahead (stream.cpp)
    void decodeLoop();
    void wakeDecoder();

    // --- outputs (outputs.cpp)
    void nameThread(const char* what);
    static int paCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                          PaStreamCallbackFlags flags, void* user);
    static void paStreamFinished(void* user);
    // The pulse output's side (outputs.cpp): see PulseOutput::Client.
    struct PulseHooks final : PulseOutput::Client {
        Impl& e;
        explicit PulseHooks(Impl& engine) : e(engine) {}
        int fill(float* out, int frames, bool mayHold, bool& rest) override;
        std::int64_t rewind(std::int64_t frame) override;
        std::int64_t head() override { return e.mixFrame; }
        void heard(std::int64_t frame, bool playing) override;
        bool changePending() override;
        void changeCarried(std::uint32_t change) override;
        std::uint32_t change() override;
        void started() override;
    } pulseHooks {*this};
    // A queued output's mixing (mixer.cpp): frames from the present boundary on, stopping short
    // (fewer returned, or none) where a playing stream waits for its ring and the output may
    // wait; going back to a boundary still queued.
    int mixQueued(float* out, int frames, bool mayHold);
    std::int64_t rewindTo(std::int64_t frame);
    bool waitsForRing() const;
    // The frame the server reads now (interface thread), and the stream's position and end as
    // heard there, taken from its history.
    std::int64_t readNow() const;
    void follow(Stream& s) const;
    // The output's read point moved: the rings may let go of what no rewrite needs any more.
    void release(std::int64_t read);
    // A change at a channel: a queued output rewrites what it holds.
    void changed();
    void poke() const;
    int openPulse();
    // The device ended on its own (PortAudio finished the stream, the pulse server failed).
    bool deviceEnded() const;
    void paceLoop(int periodFrames);
    // Starts a resting output again, after something was given to play. False when the device
    // would not open (it went away while it rested).
    bool wakeOutput();
    bool startDevice();
    int start(unsigned flags);
    int openDevice(); // opens and starts the stream on paDevice: an error code, or ErrNone
    void closeDevice();
    bool outputGone();
    void noticeLoss();
    bool restoreOutput();
    // After a channel was given something to play: the output is woken (a resting device is
    // opened afresh); when the device cannot be, it went away while it rested and its loss is
    // noticed.
    bool sound();
    // Logs, once and not per buffer, what the audio thread met: underruns, and real-time
    // scheduling refused (interface thread; the decks' tick calls it).
    void tellTroubles();
    void releasePa();
    void shutdown();

    // --- stream control from the interface thread (soundengine.cpp)
    bool waitForCallback(std::chrono::steady_clock::time_point until);
    Stream* detach(Stream* s);
    Stream* detach(Stream* s, std::chrono::steady_clock::time_point until);
    Stream* replaceParked(Stream* s);
    void freeParked();
    // Fades a playing stream out and takes its channel away, within kStopWait in all.
    Stream* stopChannel(Stream* s);
    Stream* reap(Stream* s);
    void place(Stream& s, std::int64_t frame);
    void move(Stream& s, std::int64_t frame);
    int freeSlot();
};

} // namespace audio
