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
constexpr std::uint64_t kRingFrames = 1u << 16; // about 1.5 s of a 44.1 kHz song decoded ahead
constexpr std::uint64_t kRingMask = kRingFrames - 1;
constexpr std::uint64_t kRefillAt = kRingFrames / 2; // the decoder tops a ring up from here
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

    std::int64_t total() const { return song->total.load(std::memory_order_relaxed); }
    int lengthMs() const { return song->lengthMs(); }

    // The ring: written by the decoder, read by the audio thread.
    std::atomic<std::uint64_t> wr {0};
    std::atomic<std::uint64_t> rd {0};
    std::atomic<bool> eof {false}; // the decoder has put the last frame into the ring

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
    float gain = 1.0f;
    // At one source frame per output frame (normal speed of a 44.1 kHz song) the frames are
    // copied straight through, sparing the varispeed; the last frames so played are kept for
    // it to reach back to when the speed changes.
    bool direct = true;
    float recent[Varispeed::kBefore * 2] {};
    std::uint64_t recentCount = 0;
    std::int64_t varispeedFrom = 0; // the source frame at the varispeed's position 0
    bool flowing = false; // the ring has delivered since the last move: running dry now is an underrun

    // Forgets what was played before: after a move, a stop or at open.
    void rewind();

    bool movePending() const
    {
        return request.load(std::memory_order_acquire) != acknowledged.load(std::memory_order_acquire);
    }
    // The audio thread's (or the interface thread's) part of a move: the new place is taken.
    void acknowledge(std::uint32_t req);
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
};

// The varispeed of one stream, made at open (resampling.cpp).
bool createResampler(Stream& s);

// Output samples added into a mix at a constant gain.
void addScaled(float* out, const float* in, int samples, float gain);

struct SoundEngine::Impl {
    QString name;
    int driver = 0;
    int bufferMs = kDefaultBufferMs;
    int error = ErrNone;
    bool initialized = false;
    bool manualNext = false; // the clock chosen for the next init
    bool manual = false;     // the clock of the running engine

    // Output.
    enum class Output { None, Manual, Silent, Device } output = Output::None;
    PaStream* pa = nullptr;
    int paDevice = -1; // the PortAudio device of a Device output
    bool paHeld = false;
    // A Device output a pulse server serves: where it plays, and its stream while open.
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
    // decoder thread when it wakes.
    std::atomic<bool> stallWanted {false};
    std::atomic<bool> stalled {false};
    std::atomic<bool> decoderStallWanted {false};
    std::atomic<bool> decoderStalled {false};

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
    static bool pulseFill(void* user, float* out, int frames);
    static void pulseStarted(void* user);
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
