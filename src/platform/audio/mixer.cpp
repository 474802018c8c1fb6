// The audio thread's side of an engine: each channel played from its stream's ring at its
// speed and volume, the channels mixed, and the spectrum of what was mixed.
#include "platform/audio/engineimpl.h"

#include <algorithm>
#include <cmath>

namespace audio {
namespace {

std::mutex fftwPlannerMutex; // FFTW's planner is not thread-safe

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
bool SoundEngine::Impl::playFrames(Stream& s, float* out, int frames, bool fadeOut)
{
    if (manual)
        s.fillAhead(frames);

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
    s.pos = std::min(s.pos, double(std::max<std::int64_t>(0, s.total - 1)));
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

const float* SoundEngine::Impl::computeSpectrum()
{
    float* out = spectrum;
    if (!initialized || !dspActive) {
        std::fill(out, out + kBins, 0.0f);
        spectrumOf = kNoSpectrum;
        return out;
    }
    // The decks poll faster than the output mixes: nothing new, nothing to compute.
    const std::uint64_t end = historyCount.load(std::memory_order_acquire);
    if (end == spectrumOf)
        return out;
    spectrumOf = end;
    // The last 1024 frames the output mixed, windowed (silence before the first).
    const int missing = end < std::uint64_t(kFftSize) ? kFftSize - int(end) : 0;
    std::fill(fftIn, fftIn + missing, 0.0f);
    std::uint64_t at = (end + kHistory - std::uint64_t(kFftSize - missing)) % kHistory;
    for (int i = missing; i < kFftSize; ++i) {
        fftIn[i] = history[at].load(std::memory_order_relaxed) * hann[i];
        at = (at + 1) & (kHistory - 1);
    }
    fftwf_execute(plan);
    magnitudes(fftOut, out);
    return out;
}

} // namespace audio
