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
//   number; the audio thread throws away what the ring still holds, rewinds its resampler
//   and acknowledges, and only then does the decoder fill the ring again.
// The audio thread never allocates, locks, waits or touches a file.
#include "platform/audio/soundengine.h"
#include "platform/audio/decoder.h"
#include "platform/audio/portaudiohost.h"

#include <fftw3.h>
#include <portaudio.h>
#include <samplerate.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

namespace audio {
namespace {

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
constexpr int kPrimeFrames = 128; // longer than the resampler's reach back at any usual speed
constexpr int kMaxHz = 705600;

const char* const kSilentName = "No sound (silent)";

// Handles come from one counter for the whole process: never reused, and a handle of one
// engine is never valid in the other.
std::atomic<std::uint32_t> nextHandle {1};
std::uint32_t newHandle() { return nextHandle.fetch_add(1, std::memory_order_relaxed); }

std::mutex fftwPlannerMutex; // FFTW's planner is not thread-safe

std::int64_t msOf(std::int64_t frames, int rate) { return frames * 1000 / rate; }

constexpr std::uint64_t kNoSpectrum = ~std::uint64_t(0);

// The spectrum's 512 magnitudes, 0..1: a full-scale sine gives N/4 in its bin through the
// Hann window, which reads 1.0.
void magnitudes(const fftwf_complex* bins, float* out)
{
    constexpr float scale = 4.0f / kFftSize;
    for (int k = 0; k < kBins; ++k) {
        const float re = bins[k][0], im = bins[k][1];
        out[k] = std::min(1.0f, std::sqrt(re * re + im * im) * scale);
    }
}

} // namespace

QStringList outputDeviceNames()
{
    QStringList names;
    if (pa::acquire()) {
        for (const auto& d : pa::outputDevices())
            names << d.name;
        pa::release();
    }
    names << QString::fromLatin1(kSilentName);
    return names;
}

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
    SRC_STATE* src = nullptr;

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
    // At normal speed a 44.1 kHz song is copied straight through, sparing the resampler; the
    // last frames so played are kept to prime the resampler when the speed changes.
    bool direct = false;
    float recent[kPrimeFrames * 2] {};
    std::uint64_t recentCount = 0;
    long skip = 0; // resampler output still to drop after priming
    bool flowing = false; // the ring has delivered since the last move: running dry now is an underrun

    // Forgets what was played before: after a move, a stop or at open.
    void rewind()
    {
        src_reset(src);
        direct = rate == kRate;
        std::fill(std::begin(recent), std::end(recent), 0.0f);
        recentCount = 0;
        skip = 0;
        flowing = false;
    }

    ~Stream()
    {
        if (src)
            src_delete(src);
    }
    bool movePending() const
    {
        return request.load(std::memory_order_acquire) != acknowledged.load(std::memory_order_acquire);
    }
};

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

    explicit Impl(const QString& n) : name(n)
    {
        std::lock_guard lock(fftwPlannerMutex);
        fftIn = fftwf_alloc_real(kFftSize);
        fftOut = fftwf_alloc_complex(kBins + 1);
        plan = fftwf_plan_dft_r2c_1d(kFftSize, fftIn, fftOut, FFTW_ESTIMATE);
        for (int i = 0; i < kFftSize; ++i)
            hann[i] = float(0.5 - 0.5 * std::cos(2.0 * M_PI * i / kFftSize));
    }
    ~Impl()
    {
        shutdown();
        std::lock_guard lock(fftwPlannerMutex);
        fftwf_destroy_plan(plan);
        fftwf_free(fftIn);
        fftwf_free(fftOut);
    }

    int fail(int code)
    {
        error = code;
        return 0;
    }

    Stream* findStream(std::uint32_t handle) const
    {
        if (handle == 0)
            return nullptr;
        for (const auto& s : streams)
            if (s->handle == handle)
                return s.get();
        return nullptr;
    }
    // The stream whose live channel this is; a channel that played to its end is gone.
    Stream* findChannel(int channel) const
    {
        if (channel == 0)
            return nullptr;
        for (const auto& s : streams)
            if (s->channel == std::uint32_t(channel) && s->slot >= 0)
                return s->ended.load(std::memory_order_acquire) ? nullptr : s.get();
        return nullptr;
    }

    // --- the audio thread

    void render(float* out, int frames)
    {
        callbackSeq.fetch_add(1, std::memory_order_seq_cst); // odd: mixing
        while (frames > 0) {
            const int n = std::min(frames, kBlock);
            mixBlock(out, n);
            out += n * 2;
            frames -= n;
        }
        callbackSeq.fetch_add(1, std::memory_order_seq_cst); // even: done
    }

    void mixBlock(float* out, int frames)
    {
        std::fill(out, out + frames * 2, 0.0f);
        bool short_ = false;
        for (auto& slot : channelSlots) {
            Stream* s = slot.load(std::memory_order_seq_cst);
            if (s && !mixStream(*s, out, frames))
                short_ = true;
        }
        if (short_)
            underrunCount.fetch_add(1, std::memory_order_relaxed);

        std::uint64_t h = historyCount.load(std::memory_order_relaxed);
        float sum = 0.0f;
        for (int i = 0; i < frames; ++i) {
            const float m = 0.5f * (out[i * 2] + out[i * 2 + 1]);
            history[(h + std::uint64_t(i)) % kHistory].store(m, std::memory_order_relaxed);
            sum += std::fabs(out[i * 2]) + std::fabs(out[i * 2 + 1]);
        }
        historyCount.store(h + std::uint64_t(frames), std::memory_order_release);
        level.store(frames > 0 ? sum / float(frames * 2) : 0.0f, std::memory_order_relaxed);
    }

    // Frames a fade from the stream's present gain down to silence takes.
    static int fadeFrames(const Stream& s) { return int(std::ceil(s.gain / kRampPerFrame)); }

    // Adds one stream's next frames to out. False when its ring ran dry before its end.
    bool mixStream(Stream& s, float* out, int frames)
    {
        const std::uint32_t req = s.request.load(std::memory_order_acquire);
        if (req != s.acknowledged.load(std::memory_order_relaxed)) {
            // A move. What the ring still holds belongs to the old place: it fades out first,
            // so the jump does not click.
            if (s.gain > 0.0f && !s.ended.load(std::memory_order_relaxed)) {
                const int n = std::min(frames, fadeFrames(s));
                const bool ok = playFrames(s, out, n, true);
                if (s.gain > 0.0f && !s.ended.load(std::memory_order_relaxed))
                    return ok; // the fade goes on in the next block
                out += n * 2;
                frames -= n;
            }
            s.rd.store(s.wr.load(std::memory_order_acquire), std::memory_order_release);
            s.rewind();
            s.pos = double(s.seekFrame.load(std::memory_order_relaxed));
            s.position.store(std::int64_t(s.pos), std::memory_order_relaxed);
            s.ended.store(false, std::memory_order_relaxed);
            // The sound at the new place fades in (a paused stream stays silent, its
            // position held).
            s.gain = 0.0f;
            s.acknowledged.store(req, std::memory_order_release);
        }
        if (s.ended.load(std::memory_order_relaxed) || frames == 0)
            return true;
        // A pause fades out over a few milliseconds and then holds the position; the resume
        // fades in again from there.
        const bool paused = s.paused.load(std::memory_order_relaxed) || s.stopping.load(std::memory_order_relaxed);
        if (paused) {
            if (s.gain <= 0.0f)
                return true;
            frames = std::min(frames, fadeFrames(s));
        }
        return playFrames(s, out, frames, paused);
    }

    // Plays frames of the stream into out at its volume, or fading out to silence. A fade
    // leaves the published position alone.
    bool playFrames(Stream& s, float* out, int frames, bool fadeOut)
    {
        if (manual)
            fillAhead(s, frames);

        const int hz = std::clamp(s.hz.load(std::memory_order_relaxed), kMinHz, kMaxHz);
        // Output frames per source frame: hz/44100 of normal speed, whatever the file's rate.
        const double ratio = std::clamp(double(kRate) * kRate / (double(hz) * s.rate), 1.0 / 256, 256.0);

        int done = 0;
        bool finished = false, dry = false;
        if (s.direct && hz == kRate)
            copyDirect(s, frames, done, finished, dry);
        else
            resample(s, ratio, frames, done, finished, dry);

        // Volume, ramped so a change never clicks.
        const float target =
            fadeOut ? 0.0f : float(std::clamp(s.volume.load(std::memory_order_relaxed), 0, 255)) / 255.0f;
        float g = s.gain;
        for (int i = 0; i < done; ++i) {
            if (g != target)
                g = g < target ? std::min(target, g + kRampPerFrame) : std::max(target, g - kRampPerFrame);
            out[i * 2] += voiceOut[i * 2] * g;
            out[i * 2 + 1] += voiceOut[i * 2 + 1] * g;
        }
        s.gain = g;
        s.audible.store(g > 0.0f, std::memory_order_release);

        if (finished) {
            s.pos = double(s.total);
            s.position.store(s.total, std::memory_order_relaxed);
            s.ended.store(true, std::memory_order_release);
            return true;
        }
        // Until the end itself, the position stays short of the length.
        s.pos = std::min(s.pos + double(done) / ratio, double(std::max<std::int64_t>(0, s.total - 1)));
        if (!fadeOut)
            s.position.store(std::int64_t(s.pos), std::memory_order_relaxed);
        // Right after a move the decoder has had no time to fill the ring: a short wait, not
        // an underrun.
        const bool underrun = dry && !manual && s.flowing;
        if (done > 0)
            s.flowing = true;
        return !underrun;
    }

    // Normal speed of a 44.1 kHz song: the frames go straight from the ring to the mix.
    void copyDirect(Stream& s, int frames, int& done, bool& finished, bool& dry)
    {
        while (done < frames) {
            const bool eof = s.eof.load(std::memory_order_acquire);
            const std::uint64_t w = s.wr.load(std::memory_order_acquire);
            const std::uint64_t r = s.rd.load(std::memory_order_relaxed);
            const std::uint64_t avail = w - r;
            if (avail == 0) {
                (eof ? finished : dry) = true;
                break;
            }
            const int n = int(std::min({avail, kRingFrames - (r & kRingMask), std::uint64_t(frames - done)}));
            const float* in = s.ring.get() + (r & kRingMask) * 2;
            std::copy(in, in + n * 2, voiceOut + done * 2);
            for (int i = std::max(0, n - kPrimeFrames); i < n; ++i) {
                float* slot = s.recent + (s.recentCount++ % kPrimeFrames) * 2;
                slot[0] = in[i * 2];
                slot[1] = in[i * 2 + 1];
            }
            s.rd.store(r + std::uint64_t(n), std::memory_order_release);
            done += n;
        }
    }

    // Leaving the straight copy: the resampler is fed the frames just played, so its output
    // carries on from them without a click, and what it makes of them is dropped.
    void primeResampler(Stream& s, double ratio)
    {
        s.direct = false;
        if (ratio * kPrimeFrames > kBlock)
            return; // so slow that there is no room to prime; the resampler starts afresh
        float history[kPrimeFrames * 2];
        for (int i = 0; i < kPrimeFrames; ++i) {
            const float* from = s.recent + ((s.recentCount + std::uint64_t(i)) % kPrimeFrames) * 2;
            history[i * 2] = from[0];
            history[i * 2 + 1] = from[1];
        }
        SRC_DATA d {};
        d.data_in = history;
        d.input_frames = kPrimeFrames;
        d.data_out = voiceOut;
        d.output_frames = kBlock;
        d.src_ratio = ratio;
        if (src_process(s.src, &d) == 0)
            s.skip = std::max(0L, std::lround(kPrimeFrames * ratio) - d.output_frames_gen);
    }

    void resample(Stream& s, double ratio, int frames, int& done, bool& finished, bool& dry)
    {
        if (s.direct)
            primeResampler(s, ratio);
        while (done < frames) {
            const bool eof = s.eof.load(std::memory_order_acquire);
            const std::uint64_t w = s.wr.load(std::memory_order_acquire);
            const std::uint64_t r = s.rd.load(std::memory_order_relaxed);
            const std::uint64_t avail = w - r;
            const std::uint64_t contiguous = std::min(avail, kRingFrames - (r & kRingMask));
            SRC_DATA d {};
            d.data_in = s.ring.get() + (r & kRingMask) * 2;
            d.input_frames = long(contiguous);
            d.data_out = voiceOut + done * 2;
            d.output_frames = frames - done;
            d.src_ratio = ratio;
            d.end_of_input = eof && contiguous == avail ? 1 : 0;
            if (src_process(s.src, &d) != 0) {
                finished = true; // cannot resample this: end the song rather than spin
                break;
            }
            s.rd.store(r + std::uint64_t(d.input_frames_used), std::memory_order_release);
            long gen = d.output_frames_gen;
            if (s.skip > 0 && gen > 0) {
                const long drop = std::min(s.skip, gen);
                std::copy(voiceOut + (done + drop) * 2, voiceOut + (done + gen) * 2, voiceOut + done * 2);
                s.skip -= drop;
                gen -= drop;
            }
            done += int(gen);
            if (d.input_frames_used == 0 && d.output_frames_gen == 0) {
                (d.end_of_input ? finished : dry) = true;
                break;
            }
        }
    }

    // --- decoding ahead

    // Decodes one chunk into the stream's ring; false when there was nothing to do.
    bool fill(Stream& s)
    {
        if (s.eof.load(std::memory_order_relaxed) || s.movePending())
            return false;
        const std::uint64_t w = s.wr.load(std::memory_order_relaxed);
        const std::uint64_t r = s.rd.load(std::memory_order_acquire);
        const std::uint64_t space = kRingFrames - (w - r);
        if (space < 1024)
            return false;
        const std::uint64_t off = w & kRingMask;
        const long want = long(std::min({space, kRingFrames - off, std::uint64_t(kDecodeChunk)}));
        const long got = s.dec->read(s.ring.get() + off * 2, want);
        if (got > 0)
            s.wr.store(w + std::uint64_t(got), std::memory_order_release);
        if (got < want)
            s.eof.store(true, std::memory_order_release);
        return true;
    }

    // On the manual clock decoding runs inline, just ahead of the block being mixed.
    void fillAhead(Stream& s, int frames)
    {
        const int hz = std::clamp(s.hz.load(std::memory_order_relaxed), kMinHz, kMaxHz);
        const std::uint64_t need = std::uint64_t(double(frames) * hz / kRate * s.rate / kRate) + 2 * kBlock;
        while (s.wr.load(std::memory_order_relaxed) - s.rd.load(std::memory_order_relaxed) < need && fill(s)) {
        }
    }

    // Names the calling thread after its engine, so a profiler or a debugger tells them apart.
    void nameThread(const char* what)
    {
        const QByteArray n = (QByteArrayLiteral("qn-") + what + ' ' + name.toUtf8()).left(15);
        pthread_setname_np(pthread_self(), n.constData());
    }

    void decodeLoop()
    {
        nameThread("decode");
        std::unique_lock lock(decodeMutex);
        while (decoding) {
            bool worked = false;
            for (auto& s : streams)
                for (int k = 0; k < 4 && fill(*s); ++k)
                    worked = true;
            if (worked) {
                // Let the interface thread in between chunks.
                lock.unlock();
                std::this_thread::yield();
                lock.lock();
            } else {
                decodeWake.wait_for(lock, std::chrono::milliseconds(5));
            }
        }
    }

    void wakeDecoder()
    {
        if (decoder.joinable())
            decodeWake.notify_one();
    }

    // --- outputs

    static int paCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                          PaStreamCallbackFlags flags, void* user)
    {
        auto* self = static_cast<Impl*>(user);
        self->render(static_cast<float*>(output), int(frames));
        if (flags & paOutputUnderflow)
            self->underrunCount.fetch_add(1, std::memory_order_relaxed);
        return paContinue;
    }

    // The silent output: mixes one period at a time, paced by the clock.
    void paceLoop(int periodFrames)
    {
        using clock = std::chrono::steady_clock;
        const auto period = std::chrono::nanoseconds(std::int64_t(periodFrames) * 1000000000 / kRate);
        const auto slack = std::chrono::milliseconds(bufferMs);
        // Like a sound card's callback, the pacing runs at real-time priority where the
        // system allows it, so a busy machine does not make it late; elsewhere it runs as is.
        nameThread("silent");
        sched_param param {};
        param.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        auto next = clock::now();
        std::vector<float> buf(size_t(periodFrames) * 2);
        while (pacing.load(std::memory_order_relaxed)) {
            render(buf.data(), periodFrames);
            next += period;
            const auto now = clock::now();
            if (now > next + slack) {
                // Fell further behind than the buffer holds: a device would have run dry.
                underrunCount.fetch_add(1, std::memory_order_relaxed);
                next = now;
            }
            std::this_thread::sleep_until(next);
        }
    }

    int start(unsigned /*flags*/)
    {
        underrunCount.store(0);
        historyCount.store(0);
        spectrumOf = kNoSpectrum;
        level.store(0.0f);
        if (manualNext) {
            manual = true;
            output = Output::Manual;
            initialized = true;
            error = ErrNone;
            return 1;
        }
        manual = false;

        // Choose the output: driver 0 the system default, n the n-th device of the list,
        // after them the silent output.
        paHeld = pa::acquire();
        std::vector<pa::OutputDevice> devices;
        int device = -1;
        if (paHeld)
            devices = pa::outputDevices();
        const int silentDriver = int(devices.size()) + 1;
        bool silent = false;
        if (driver == 0) {
            device = paHeld ? pa::defaultOutputDevice() : -1;
            silent = device < 0; // no sound card: the program still runs
        } else if (driver >= 1 && driver < silentDriver) {
            device = devices[size_t(driver - 1)].index;
        } else if (driver == silentDriver) {
            silent = true;
        } else {
            releasePa();
            return fail(ErrInit);
        }

        if (silent) {
            releasePa();
            output = Output::Silent;
            pacing = true;
            const int period = std::max(32, kRate * bufferMs / 2000);
            pacer = std::thread([this, period] { paceLoop(period); });
        } else {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
            if (!info || info->maxOutputChannels < 2) {
                releasePa();
                return fail(ErrOutputFormat);
            }
            PaStreamParameters params {};
            params.device = device;
            params.channelCount = 2;
            params.sampleFormat = paFloat32;
            params.suggestedLatency = bufferMs / 1000.0;
            pa::QuietConsole quiet;
            PaError rc = Pa_OpenStream(&pa, nullptr, &params, kRate, paFramesPerBufferUnspecified, paNoFlag,
                                       &Impl::paCallback, this);
            if (rc != paNoError) {
                pa = nullptr;
                releasePa();
                return fail(rc == paDeviceUnavailable ? ErrAllocated : ErrInit);
            }
            if (Pa_StartStream(pa) != paNoError) {
                Pa_CloseStream(pa);
                pa = nullptr;
                releasePa();
                return fail(ErrInit);
            }
            output = Output::Device;
        }

        {
            std::lock_guard lock(decodeMutex);
            decoding = true;
        }
        decoder = std::thread([this] { decodeLoop(); });
        initialized = true;
        error = ErrNone;
        return 1;
    }

    void releasePa()
    {
        if (paHeld) {
            pa::release();
            paHeld = false;
        }
    }

    // Stops the output and the decoder and frees every stream.
    void shutdown()
    {
        if (pa) {
            pa::QuietConsole quiet;
            Pa_AbortStream(pa);
            Pa_CloseStream(pa);
            pa = nullptr;
        }
        if (pacer.joinable()) {
            pacing = false;
            pacer.join();
        }
        releasePa();
        if (decoder.joinable()) {
            {
                std::lock_guard lock(decodeMutex);
                decoding = false;
            }
            decodeWake.notify_all();
            decoder.join();
        }
        for (auto& slot : channelSlots)
            slot.store(nullptr);
        streams.clear();
        output = Output::None;
        initialized = false;
        manual = false;
        dspActive = false;
    }

    // --- stream control from the interface thread

    // Waits until the audio thread is out of any callback it was in when a slot was cleared.
    void waitForCallback()
    {
        if (manual)
            return;
        const std::uint64_t seq = callbackSeq.load(std::memory_order_seq_cst);
        if ((seq & 1) == 0)
            return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (callbackSeq.load(std::memory_order_seq_cst) == seq && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }

    // Takes the stream's channel away; the stream itself stays where it was.
    void detach(Stream& s)
    {
        if (s.slot < 0)
            return;
        channelSlots[s.slot].store(nullptr, std::memory_order_seq_cst);
        s.slot = -1;
        s.channel = 0;
        waitForCallback();
        s.stopping.store(false);
        s.audible.store(false);
        if (s.movePending()) {
            // A move the audio thread never got to: carry it out here.
            const std::int64_t f = s.seekFrame.load();
            s.rd.store(s.wr.load(std::memory_order_acquire));
            s.rewind();
            s.pos = double(f);
            s.position.store(f);
            s.ended.store(false);
            s.acknowledged.store(s.request.load());
        }
    }

    // Before a playing stream is stopped or closed its sound fades out, so the stop does not
    // click: a wait of a callback or two. On the manual clock, or when the output has stopped
    // calling, it is cut at once.
    void fadeBeforeStop(Stream& s)
    {
        if (s.slot < 0 || manual || !s.audible.load(std::memory_order_acquire))
            return;
        s.stopping.store(true, std::memory_order_release);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(4 * bufferMs);
        while (s.audible.load(std::memory_order_acquire) && !s.ended.load(std::memory_order_acquire)
               && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // A channel that played to its natural end is over: free its slot.
    void reap(Stream& s)
    {
        if (s.slot >= 0 && s.ended.load(std::memory_order_acquire))
            detach(s);
    }

    // Puts a stream without a channel at a frame.
    void place(Stream& s, std::int64_t frame)
    {
        std::unique_lock lock(decodeMutex, std::defer_lock);
        if (!manual)
            lock.lock();
        s.dec->seek(frame);
        s.eof.store(false, std::memory_order_relaxed);
        s.rd.store(s.wr.load(std::memory_order_acquire), std::memory_order_release);
        s.rewind();
        s.pos = double(frame);
        s.seekFrame.store(frame);
        s.position.store(frame);
        s.ended.store(false);
        s.acknowledged.store(s.request.load());
        if (lock.owns_lock()) {
            lock.unlock();
            wakeDecoder();
        }
    }

    // Moves a playing stream: the audio thread carries the move out at its next block.
    void move(Stream& s, std::int64_t frame)
    {
        std::unique_lock lock(decodeMutex, std::defer_lock);
        if (!manual)
            lock.lock();
        s.dec->seek(frame);
        s.eof.store(false, std::memory_order_release);
        s.seekFrame.store(frame, std::memory_order_relaxed);
        s.request.fetch_add(1, std::memory_order_release);
        if (lock.owns_lock()) {
            lock.unlock();
            wakeDecoder();
        }
    }

    int freeSlot()
    {
        for (int i = 0; i < kSlots; ++i)
            if (!channelSlots[i].load(std::memory_order_relaxed))
                return i;
        for (auto& s : streams)
            reap(*s);
        for (int i = 0; i < kSlots; ++i)
            if (!channelSlots[i].load(std::memory_order_relaxed))
                return i;
        return -1;
    }
};

SoundEngine::SoundEngine(const QString& name) : d(std::make_unique<Impl>(name)) {}

SoundEngine::~SoundEngine() = default;

const QString& SoundEngine::name() const { return d->name; }

int SoundEngine::setDriver(int driver)
{
    d->driver = driver;
    if (driver < 0)
        return d->fail(ErrInvalidParam);
    return 1;
}

int SoundEngine::setBufferSize(int ms)
{
    if (ms < 1 || ms > 1000)
        return d->fail(ErrInvalidParam);
    d->bufferMs = ms;
    return 1;
}

int SoundEngine::init(int /*mixRate*/, int /*maxSoftwareChannels*/, unsigned flags)
{
    // Started again when already running, on the driver chosen now.
    if (d->initialized)
        d->shutdown();
    return d->start(flags);
}

int SoundEngine::getError() const { return d->error; }

void SoundEngine::close()
{
    d->shutdown();
    d->bufferMs = kDefaultBufferMs; // a buffer size holds for the one init it was set for
}

bool SoundEngine::isInitialized() const { return d->initialized; }

std::uint32_t SoundEngine::streamOpen(const QString& path, unsigned /*mode*/, int /*offset*/, int /*length*/)
{
    if (!d->initialized)
        return std::uint32_t(d->fail(ErrUninitialized));
    int code = ErrNone;
    auto dec = openDecoder(path, &code);
    if (!dec)
        return std::uint32_t(d->fail(code));
    auto s = std::make_unique<Stream>();
    int srcError = 0;
    s->src = src_new(SRC_SINC_FASTEST, 2, &srcError);
    s->ring.reset(new (std::nothrow) float[kRingFrames * 2]);
    if (!s->src || !s->ring)
        return std::uint32_t(d->fail(ErrMemory));
    s->rate = dec->rate();
    s->total = dec->length();
    s->lengthMs = int(std::min<std::int64_t>(msOf(s->total, s->rate), INT32_MAX));
    s->rewind();
    s->dec = std::move(dec);
    s->handle = newHandle();
    const std::uint32_t handle = s->handle;
    {
        std::unique_lock lock(d->decodeMutex, std::defer_lock);
        if (!d->manual)
            lock.lock();
        d->streams.push_back(std::move(s));
    }
    d->wakeDecoder();
    d->error = ErrNone;
    return handle;
}

int SoundEngine::streamPlay(int /*channel*/, std::uint32_t stream)
{
    Stream* s = d->findStream(stream);
    if (!s)
        return d->fail(ErrInvalidParam);
    d->reap(*s);
    if (s->slot >= 0)
        return int(s->channel); // already playing or paused: nothing changes
    // A song played to its end starts again from the beginning.
    if (s->ended.load() || s->position.load() >= s->total)
        d->place(*s, 0);
    const int slot = d->freeSlot();
    if (slot < 0)
        return d->fail(ErrChannelAlloc);
    s->hz.store(kRate);
    s->volume.store(255);
    s->gain = 0.0f; // fades in, so a start in the middle of a song does not click
    s->paused.store(false);
    s->channel = newHandle();
    s->slot = slot;
    d->channelSlots[slot].store(s, std::memory_order_seq_cst);
    d->wakeDecoder();
    return int(s->channel);
}

int SoundEngine::streamStop(std::uint32_t stream)
{
    Stream* s = d->findStream(stream);
    if (!s)
        return d->fail(ErrInvalidParam);
    d->fadeBeforeStop(*s);
    d->detach(*s);
    d->place(*s, 0);
    return 1;
}

int SoundEngine::streamClose(std::uint32_t stream)
{
    Stream* s = d->findStream(stream);
    if (!s)
        return d->fail(ErrInvalidParam);
    d->fadeBeforeStop(*s);
    d->detach(*s);
    std::unique_lock lock(d->decodeMutex, std::defer_lock);
    if (!d->manual)
        lock.lock();
    auto it = std::find_if(d->streams.begin(), d->streams.end(), [&](const auto& p) { return p.get() == s; });
    d->streams.erase(it);
    return 1;
}

int SoundEngine::streamGetLengthMs(std::uint32_t stream) const
{
    const Stream* s = d->findStream(stream);
    return s ? s->lengthMs : 0;
}

int SoundEngine::streamGetTime(std::uint32_t stream) const
{
    const Stream* s = d->findStream(stream);
    if (!s)
        return 0;
    std::int64_t frame;
    if (s->movePending()) {
        frame = s->seekFrame.load(std::memory_order_relaxed);
    } else {
        if (s->ended.load(std::memory_order_acquire))
            return s->lengthMs;
        frame = s->position.load(std::memory_order_relaxed);
    }
    // The length exactly only at the end itself.
    if (frame >= s->total)
        return s->lengthMs;
    return int(std::min<std::int64_t>(msOf(frame, s->rate), std::max(0, s->lengthMs - 1)));
}

int SoundEngine::streamSetTime(std::uint32_t stream, int ms)
{
    Stream* s = d->findStream(stream);
    if (!s)
        return d->fail(ErrInvalidParam);
    d->reap(*s);
    ms = std::clamp(ms, 0, s->lengthMs);
    // The first frame at or after ms, so the position reads back as ms.
    const std::int64_t frame = std::min(s->total, (std::int64_t(ms) * s->rate + 999) / 1000);
    if (s->slot >= 0)
        d->move(*s, frame);
    else
        d->place(*s, frame);
    return 1;
}

int SoundEngine::setFrequency(int channel, int hz)
{
    Stream* s = d->findChannel(channel);
    if (!s || hz <= 0)
        return d->fail(ErrInvalidParam);
    s->hz.store(hz, std::memory_order_relaxed);
    return 1;
}

int SoundEngine::getFrequency(int channel) const
{
    const Stream* s = d->findChannel(channel);
    return s ? s->hz.load(std::memory_order_relaxed) : 0;
}

int SoundEngine::getPaused(int channel) const
{
    const Stream* s = d->findChannel(channel);
    return s && s->paused.load(std::memory_order_relaxed) ? 1 : 0;
}

int SoundEngine::setPaused(int channel, int paused)
{
    Stream* s = d->findChannel(channel);
    if (!s)
        return d->fail(ErrInvalidParam);
    s->paused.store(paused != 0, std::memory_order_relaxed);
    return 1;
}

int SoundEngine::setVolume(int channel, int volume)
{
    Stream* s = d->findChannel(channel);
    if (!s)
        return d->fail(ErrInvalidParam);
    s->volume.store(std::clamp(volume, 0, 255), std::memory_order_relaxed);
    return 1;
}

int SoundEngine::getVolume(int channel) const
{
    const Stream* s = d->findChannel(channel);
    return s ? s->volume.load(std::memory_order_relaxed) : 0;
}

void SoundEngine::update() {}

int SoundEngine::dspGetFFTUnit() const { return int(d->fftUnit); }

int SoundEngine::dspSetActive(int unit, int active)
{
    if (unit == 0 || std::uint32_t(unit) != d->fftUnit)
        return d->fail(ErrInvalidParam);
    d->dspActive = active != 0;
    return 1;
}

const float* SoundEngine::dspGetSpectrum()
{
    float* out = d->spectrum;
    if (!d->initialized || !d->dspActive) {
        std::fill(out, out + kBins, 0.0f);
        d->spectrumOf = kNoSpectrum;
        return out;
    }
    // The decks poll faster than the output mixes: nothing new, nothing to compute.
    const std::uint64_t end = d->historyCount.load(std::memory_order_acquire);
    if (end == d->spectrumOf)
        return out;
    d->spectrumOf = end;
    // The last 1024 frames the output mixed, windowed (silence before the first).
    const int missing = end < std::uint64_t(kFftSize) ? kFftSize - int(end) : 0;
    std::fill(d->fftIn, d->fftIn + missing, 0.0f);
    std::uint64_t at = (end + kHistory - std::uint64_t(kFftSize - missing)) % kHistory;
    for (int i = missing; i < kFftSize; ++i) {
        d->fftIn[i] = d->history[at].load(std::memory_order_relaxed) * d->hann[i];
        at = (at + 1) & (kHistory - 1);
    }
    fftwf_execute(d->plan);
    magnitudes(d->fftOut, out);
    return out;
}

void SoundEngine::setManualClock(bool on) { d->manualNext = on; }

void SoundEngine::advance(int frames)
{
    if (!d->initialized || !d->manual)
        return;
    while (frames > 0) {
        const int n = std::min(frames, kBlock);
        d->render(d->discard, n);
        frames -= n;
    }
}

void SoundEngine::advanceInto(float* out, int frames)
{
    if (!d->initialized || !d->manual)
        return;
    d->render(out, frames);
}

void SoundEngine::advanceMs(int ms)
{
    advance(int(std::int64_t(ms) * kRate / 1000));
}

float SoundEngine::outputLevel() const { return d->level.load(std::memory_order_relaxed); }

std::uint64_t SoundEngine::underruns() const { return d->underrunCount.load(std::memory_order_relaxed); }

} // namespace audio
