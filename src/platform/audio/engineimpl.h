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
//   stream's mixing state; callbacks are short, so that wait is a fraction of a millisecond.
// - A move while playing is a request: the interface thread repositions the decoder (under
//   the decoder's mutex, which the audio thread never takes) and raises the stream's request
//   number; the audio thread throws away what the ring still holds, rewinds its varispeed
//   and acknowledges, and only then does the decoder fill the ring again.
// The audio thread never allocates, locks, waits or touches a file.
//
// The work is spread over a few files along these seams:
//   stream.cpp      a stream's ring and the decoder thread that fills it
//   mixer.cpp       the audio thread: playing each channel, volume, the mix, the spectrum
//   resampling.cpp  the one place that drives the varispeed (speeds other than a straight copy)
//   outputs.cpp     the outputs: PortAudio devices, the silent output, the manual clock
//   soundengine.cpp the operations the interface thread calls
#pragma once

#include "platform/audio/decoder.h"
#include "platform/audio/soundengine.h"
#include "platform/audio/varispeed.h"

#include <fftw3.h>
#include <portaudio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace audio {

constexpr int kRate = 44100;                    // the output rate; also "normal speed" in Hz
constexpr int kSlots = 32;                      // channels per engine
constexpr int kBlock = 1024;                    // frames mixed at a time
constexpr std::uint64_t kRingFrames = 1u << 16; // about 1.5 s of a 44.1 kHz song decoded ahead
constexpr std::uint64_t kRingMask = kRingFrames - 1;
constexpr long kDecodeChunk = 4096;
constexpr int kFftSize = 1024;
constexpr int kBins = kFftSize / 2;
constexpr std::uint64_t kHistory = 4096; // mono output kept for the spectrum
constexpr int kDefaultBufferMs = 20;
constexpr float kRampPerFrame = 1.0f / (0.005f * kRate); // a full volume swing takes 5 ms
constexpr int kMinHz = 100;
constexpr int kMaxHz = 705600;

constexpr std::uint64_t kNoSpectrum = ~std::uint64_t(0);

// Handles come from one counter for the whole process: never reused, and a handle of one
// engine is never valid in the other.
std::uint32_t newHandle();

inline std::int64_t msOf(std::int64_t frames, int rate) { return frames * 1000 / rate; }

// One open stream and, while it plays, its channel.
struct Stream {
    // Interface thread only.
    std::uint32_t handle = 0;
    std::uint32_t channel = 0; // 0 while the stream has no channel
    int slot = -1;             // channel slot while it has a channel

    // Fixed at open.
    std::unique_ptr<Decoder> dec;
    int rate = kRate;
    std::int64_t total = 0; // frames
    int lengthMs = 0;
    std::unique_ptr<float[]> ring;
    std::unique_ptr<Varispeed> varispeed;

    // The ring: written by the decoder, read by the audio thread.
    std::atomic<std::uint64_t> wr {0};
    std::atomic<std::uint64_t> rd {0};
    std::atomic<bool> eof {false}; // the decoder has put the last frame into the ring

    // A move while playing (see the top of this file).
    std::atomic<std::uint32_t> request {0};
    std::atomic<std::uint32_t> acknowledged {0};
    std::atomic<std::int64_t> seekFrame {0};

    // Channel controls, set by the interface thread.
    std::atomic<int> hz {kRate};
    std::atomic<int> volume {255};
    std::atomic<bool> paused {false};
    std::atomic<bool> stopping {false}; // fade out: the channel is about to be taken away

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

    // Decodes one chunk into the ring; false when there was nothing to do.
    bool fill();
    // On the manual clock decoding runs inline, just ahead of the block being mixed.
    void fillAhead(int frames);
};

// The varispeed of one stream, made at open (resampling.cpp).
bool createResampler(Stream& s);

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
    bool paHeld = false;
    std::thread pacer;
    std::atomic<bool> pacing {false};

    // Decoding ahead.
    std::thread decoder;
    std::mutex decodeMutex; // guards `streams` against the decoder thread, and every decoder
    std::condition_variable decodeWake;
    bool decoding = false; // guarded by decodeMutex

    std::vector<std::unique_ptr<Stream>> streams;
    std::atomic<Stream*> channelSlots[kSlots] {};
    std::atomic<std::uint64_t> callbackSeq {0};
    std::atomic<std::uint64_t> underrunCount {0};

    // Mixing scratch (audio thread).
    float voiceOut[kBlock * 2] {};
    float discard[kBlock * 2] {};

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

    // --- the audio thread (mixer.cpp)
    void render(float* out, int frames);
    void mixBlock(float* out, int frames);
    // Frames a fade from the stream's present gain down to silence takes.
    static int fadeFrames(const Stream& s);
    // Adds one stream's next frames to out. False when its ring ran dry before its end.
    bool mixStream(Stream& s, float* out, int frames);
    // Plays frames of the stream into out at its volume, or fading out to silence. A fade
    // leaves the published position alone.
    bool playFrames(Stream& s, float* out, int frames, bool fadeOut);
    // One source frame per output frame: the frames go straight from the ring to the mix.
    void copyDirect(Stream& s, int frames, int& done, bool& finished, bool& dry);
    // The last 1024 frames mixed, as 512 magnitudes (interface thread).
    const float* computeSpectrum();

    // --- other speeds (resampling.cpp)
    void resample(Stream& s, std::uint64_t step, int frames, int& done, bool& finished, bool& dry);

    // --- decoding ahead (stream.cpp)
    void decodeLoop();
    void wakeDecoder();

    // --- outputs (outputs.cpp)
    // Names the calling thread after its engine, so a profiler or a debugger tells them apart.
    void nameThread(const char* what);
    static int paCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                          PaStreamCallbackFlags flags, void* user);
    void paceLoop(int periodFrames);
    int start(unsigned flags);
    void releasePa();
    // Stops the output and the decoder and frees every stream.
    void shutdown();

    // --- stream control from the interface thread (soundengine.cpp)
    void waitForCallback();
    void detach(Stream& s);
    void fadeBeforeStop(Stream& s);
    void reap(Stream& s);
    void place(Stream& s, std::int64_t frame);
    void move(Stream& s, std::int64_t frame);
    int freeSlot();
};

} // namespace audio
