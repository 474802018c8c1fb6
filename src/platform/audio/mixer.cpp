// The audio thread's side of an engine: each channel played from its stream's ring at its
// speed and volume, the channels mixed, and the spectrum of what was mixed.
#include "platform/audio/engineimpl.h"
#include "platform/audio/vectormath.h"

#include <algorithm>
#include <cmath>

namespace audio {
namespace {

std::mutex fftwPlannerMutex; // FFTW's planner is not thread-safe

// The spectrum's 512 magnitudes, 0..1: a full-scale sine gives N/4 in its bin through the
// Hann window, which reads 1.0.
void magnitudes(const fftwf_complex* bins, float* out)
{
    static_assert(kBins % 4 == 0);
    const vec::f4 scale = vec::splat(4.0f / kFftSize);
    const vec::f4 one = vec::splat(1.0f);
    const float* in = &bins[0][0];
    for (int k = 0; k < kBins; k += 4) {
        const vec::f4 a = vec::load(in + k * 2);     // re im re im of bins k, k+1
        const vec::f4 b = vec::load(in + k * 2 + 4); // of bins k+2, k+3
        const vec::f4 re = vec::evens(a, b);
        const vec::f4 im = vec::odds(a, b);
        vec::store(out + k, vec::min(one, vec::sqrt(re * re + im * im) * scale));
    }
}

} // namespace

SoundEngine::Impl::Impl(const QString& n) : name(n)
{
    std::lock_guard lock(fftwPlannerMutex);
    fftIn = fftwf_alloc_real(kFftSize);
    fftOut = fftwf_alloc_complex(kBins + 1);
    plan = fftwf_plan_dft_r2c_1d(kFftSize, fftIn, fftOut, FFTW_ESTIMATE);
    for (int i = 0; i < kFftSize; ++i)
        hann[i] = float(0.5 - 0.5 * std::cos(2.0 * M_PI * i / kFftSize));
}

SoundEngine::Impl::~Impl()
{
    shutdown();
    std::lock_guard lock(fftwPlannerMutex);
    fftwf_destroy_plan(plan);
    fftwf_free(fftIn);
    fftwf_free(fftOut);
}

void SoundEngine::Impl::render(float* out, int frames)
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

void SoundEngine::Impl::mixBlock(float* out, int frames)
{
    std::fill(out, out + frames * 2, 0.0f);
    bool short_ = false, anyActive = false;
    for (auto& slot : channelSlots) {
        Stream* s = slot.load(std::memory_order_seq_cst);
        if (!s)
            continue;
        if (stallWanted.load(std::memory_order_relaxed)) {
            // A test holds the audio thread here, on a stream, as a stalled callback would.
            stalled.store(true);
            while (stallWanted.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            stalled.store(false);
        }
        anyActive = anyActive || s->active();
        if (!mixStream(*s, out, frames))
            short_ = true;
    }
    if (short_)
        underrunCount.fetch_add(1, std::memory_order_relaxed);
    quietFrames = anyActive ? 0 : quietFrames + std::uint64_t(frames);

    std::uint64_t h = historyCount.load(std::memory_order_relaxed);
    float sum = 0.0f;
    for (int i = 0; i < frames; ++i) {
        const float m = 0.5f * (out[i * 2] + out[i * 2 + 1]);
        history[(h + std::uint64_t(i)) & (kHistory - 1)].store(m, std::memory_order_relaxed);
        sum += std::fabs(out[i * 2]) + std::fabs(out[i * 2 + 1]);
    }
    historyCount.store(h + std::uint64_t(frames), std::memory_order_release);
    level.store(frames > 0 ? sum / float(frames * 2) : 0.0f, std::memory_order_relaxed);
}

int SoundEngine::Impl::fadeFrames(const Stream& s) { return int(std::ceil(s.gain / kRampPerFrame)); }

// Adds one stream's next frames to out. False when its ring ran dry before its end.
bool SoundEngine::Impl::mixStream(Stream& s, float* out, int frames)
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
        // The new place is taken; the decoder refills the ring from there. The sound there
        // fades in (a paused stream stays silent, its position held).
        s.acknowledge(req);
    }
    if (manual)
        s.fillAhead(frames);
    if (!s.ringReady() || s.ended.load(std::memory_order_relaxed) || frames == 0)
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
bool SoundEngine::Impl::playFrames(Stream& s, float* out, int frames, bool fadeOut)
{
    const int hz = std::clamp(s.hz.load(std::memory_order_relaxed), kMinHz, kMaxHz);
    // Source frames per output frame: hz/44100 of normal speed, whatever the file's rate.
    const std::uint64_t step = std::clamp(
        Varispeed::stepOf(std::uint64_t(hz) * std::uint64_t(s.rate), std::uint64_t(kRate) * kRate),
        Varispeed::kUnity / 256, Varispeed::kUnity * 256);

    int done = 0;
    bool finished = false, dry = false;
    if (s.direct && step == Varispeed::kUnity)
        copyDirect(s, frames, done, finished, dry);
    else
        resample(s, step, frames, done, finished, dry); // every other speed: resampling.cpp

    // Volume, ramped so a change never clicks.
    const float target =
        fadeOut ? 0.0f : float(std::clamp(s.volume.load(std::memory_order_relaxed), 0, 255)) / 255.0f;
    float g = s.gain;
    int i = 0;
    for (; i < done && g != target; ++i) {
        g = g < target ? std::min(target, g + kRampPerFrame) : std::max(target, g - kRampPerFrame);
        out[i * 2] += voiceOut[i * 2] * g;
        out[i * 2 + 1] += voiceOut[i * 2 + 1] * g;
    }
    if (i < done) // the gain holds for the rest of the block
        addScaled(out + i * 2, voiceOut + i * 2, (done - i) * 2, g);
    s.gain = g;
    s.audible.store(g > 0.0f, std::memory_order_release);

    const std::int64_t total = s.total();
    if (finished) {
        s.pos = double(total);
        s.position.store(total, std::memory_order_relaxed);
        s.ended.store(true, std::memory_order_release);
        return true;
    }
    // Until the end itself, the position stays short of the length.
    s.pos = std::min(s.pos, double(std::max<std::int64_t>(0, total - 1)));
    if (!fadeOut)
        s.position.store(std::int64_t(s.pos), std::memory_order_relaxed);
    // Right after a move the decoder has had no time to fill the ring: a short wait, not
    // an underrun.
    const bool underrun = dry && !manual && s.flowing;
    if (done > 0)
        s.flowing = true;
    return !underrun;
}

// One source frame per output frame: the frames go straight from the ring to the mix.
void SoundEngine::Impl::copyDirect(Stream& s, int frames, int& done, bool& finished, bool& dry)
{
    constexpr int kKept = Varispeed::kBefore;
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
        for (int i = std::max(0, n - kKept); i < n; ++i) {
            float* slot = s.recent + (s.recentCount++ % kKept) * 2;
            slot[0] = in[i * 2];
            slot[1] = in[i * 2 + 1];
        }
        s.rd.store(r + std::uint64_t(n), std::memory_order_release);
        s.pos += double(n);
        done += n;
    }
}

void addScaled(float* out, const float* in, int samples, float gain)
{
    const vec::f4 g = vec::splat(gain);
    int i = 0;
    for (; i + 4 <= samples; i += 4)
        vec::store(out + i, vec::load(out + i) + vec::load(in + i) * g);
    for (; i < samples; ++i)
        out[i] += in[i] * gain;
}

const float* SoundEngine::Impl::computeSpectrum()
{
    float* out = spectrum;
    if (!initialized || !dspActive) {
        std::fill(out, out + kBins, 0.0f);
        spectrumOf = kNoSpectrum;
        return out;
    }
    // The decks poll far faster than they show: a new spectrum once the output has moved on by
    // a frame of the display (20 ms), the last one until then.
    const std::uint64_t end = historyCount.load(std::memory_order_acquire);
    if (spectrumOf != kNoSpectrum && end >= spectrumOf && end - spectrumOf < kSpectrumEvery)
        return out;
    spectrumOf = end;
    // The last 1024 frames the output mixed (silence before the first), then windowed.
    const int missing = end < std::uint64_t(kFftSize) ? kFftSize - int(end) : 0;
    std::fill(fftIn, fftIn + missing, 0.0f);
    std::uint64_t at = (end + kHistory - std::uint64_t(kFftSize - missing)) & (kHistory - 1);
    for (int i = missing; i < kFftSize; ++i) {
        fftIn[i] = history[at].load(std::memory_order_relaxed);
        at = (at + 1) & (kHistory - 1);
    }
    static_assert(kFftSize % 4 == 0);
    for (int i = 0; i < kFftSize; i += 4)
        vec::store(fftIn + i, vec::load(fftIn + i) * vec::load(hann + i));
    fftwf_execute(plan);
    magnitudes(fftOut, out);
    return out;
}

} // namespace audio
