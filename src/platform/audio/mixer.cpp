// The audio thread's side of an engine: each channel played from its stream's ring at its
// speed and volume, the channels mixed, and the spectrum of what was mixed.
#include "platform/audio/engineimpl.h"
#include "platform/audio/vectormath.h"

#include <algorithm>
#include <cmath>
#include <sys/eventfd.h>
#include <unistd.h>

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

SoundEngine::Impl::Impl(const QString& n) : name(n), pokeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
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
    if (pokeFd >= 0)
        ::close(pokeFd);
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
    if (req != s.acknowledged.load(std::memory_order_relaxed) && !deferMoves) {
        // A move. What the ring still holds belongs to the old place: it fades out first,
        // so the jump does not click.
        if (s.gain > 0.0f && !s.over) {
            const int n = std::min(frames, fadeFrames(s));
            const bool ok = playFrames(s, out, n, true);
            if (s.gain > 0.0f && !s.over)
                return ok; // the fade goes on in the next block
            out += n * 2;
            frames -= n;
        }
        // The new place is taken; the decoder refills the ring from there. The sound there
        // fades in (a paused stream stays silent, its position held). A queued output never
        // mixes again from before this: the ring no longer holds the old place.
        s.acknowledge(req, mixFrame);
        if (queued)
            barrier = mixFrame + kSnapFrames;
    }
    if (manual)
        s.fillAhead(frames);
    if (!s.ringReady() || s.over || frames == 0)
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

    // The position and the end are the decks' once heard: at once where the output plays as it
    // mixes, from the stream's history on a queued output.
    const std::int64_t total = s.total();
    if (finished) {
        s.pos = double(total);
        s.shown = total;
        s.over = true;
        if (!queued) {
            s.position.store(total, std::memory_order_relaxed);
            s.ended.store(true, std::memory_order_release);
        }
        return true;
    }
    // Until the end itself, the position stays short of the length.
    s.pos = std::min(s.pos, double(std::max<std::int64_t>(0, total - 1)));
    if (!fadeOut) {
        s.shown = std::int64_t(s.pos);
        if (!queued)
            s.position.store(s.shown, std::memory_order_relaxed);
    }
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
        if (!s.queued)
            s.keep.store(r + std::uint64_t(n), std::memory_order_release);
        s.pos += double(n);
        done += n;
    }
}

// --- a queued output (see the top of engineimpl.h)

void Stream::remember(std::int64_t at)
{
    std::int64_t source = std::int64_t(pos);
    std::uint32_t fraction = 0;
    std::int64_t grid = 0;
    if (!direct) {
        const std::uint64_t p = varispeed->position();
        source = varispeedFrom + std::int64_t(p >> 32);
        fraction = std::uint32_t(p);
        grid = varispeedFrom + varispeed->gridStart();
    }
    const std::int64_t count = heardCount.load(std::memory_order_relaxed);
    Heard& e = heard[std::size_t(count % kHeardEntries)];
    e.frame.store(at, std::memory_order_relaxed);
    e.source.store(source, std::memory_order_relaxed);
    e.fraction.store(fraction, std::memory_order_relaxed);
    e.grid.store(grid, std::memory_order_relaxed);
    e.gain.store(gain, std::memory_order_relaxed);
    e.flags.store(std::uint8_t((direct ? kHeardDirect : 0) | (flowing ? kHeardFlowing : 0) | (over ? kHeardOver : 0)),
                  std::memory_order_relaxed);
    e.shown.store(shown, std::memory_order_relaxed);
    heardCount.store(count + 1, std::memory_order_release);
}

const Heard* Stream::heardAt(std::int64_t at) const
{
    const std::int64_t count = heardCount.load(std::memory_order_acquire);
    const std::int64_t from = heardFrom.load(std::memory_order_acquire);
    // The oldest entries are left alone: the output may be writing over them.
    for (std::int64_t k = count - 1; k >= 0 && k >= count - (kHeardEntries - 16); --k) {
        const Heard& e = heard[std::size_t(k % kHeardEntries)];
        const std::int64_t frame = e.frame.load(std::memory_order_relaxed);
        if (frame < from)
            return nullptr;
        if (frame <= at)
            return &e;
    }
    return nullptr;
}

void Stream::restore(const Heard& e)
{
    const std::int64_t source = e.source.load(std::memory_order_relaxed);
    const std::uint8_t flags = e.flags.load(std::memory_order_relaxed);
    gain = e.gain.load(std::memory_order_relaxed);
    flowing = (flags & kHeardFlowing) != 0;
    over = (flags & kHeardOver) != 0;
    shown = e.shown.load(std::memory_order_relaxed);
    // The frames just before it, still in the ring (the ring keeps them until they are heard);
    // silence before the place the ring starts at.
    const std::uint64_t at = ringOf(source);
    if (flags & kHeardDirect) {
        constexpr int kBefore = Varispeed::kBefore;
        for (int i = 0; i < kBefore; ++i) {
            const bool there = source - kBefore + i >= epochFrame;
            const float* f = ring.get() + ((at - std::uint64_t(kBefore - i)) & kRingMask) * 2;
            recent[i * 2] = there ? f[0] : 0.0f;
            recent[i * 2 + 1] = there ? f[1] : 0.0f;
        }
        direct = true;
        pos = double(source);
        recentCount = 0;
    } else {
        // The varispeed carries on as it played on from there: its halvings reach back further
        // than its kernel, at the step it then plays at (a change may take it to another), so it
        // is given the most history it can take, beginning on the grid it halved on, as the ring
        // still holds it; silence where it had none (before it started, or before the place the
        // ring starts at).
        direct = false;
        const std::uint32_t fraction = e.fraction.load(std::memory_order_relaxed);
        const std::int64_t grid = e.grid.load(std::memory_order_relaxed);
        const std::int64_t from =
            Varispeed::historyFrom(source, grid, Varispeed::kMostHistory - (Varispeed::kGrid - 1));
        const std::int64_t kept = epochFrame + std::int64_t(keep.load(std::memory_order_relaxed) - epochRing);
        const std::int64_t held = std::min(source, std::max({grid, epochFrame, kept}));
        varispeedFrom = source;
        varispeed->resume(int(source - from), fraction);
        varispeed->pushSilence(int(std::max<std::int64_t>(0, held - from)));
        for (std::int64_t f = std::max(from, held); f < source;) {
            const std::uint64_t r = ringOf(f);
            const int n = int(std::min<std::uint64_t>(std::uint64_t(source - f), kRingFrames - (r & kRingMask)));
            varispeed->push(ring.get() + (r & kRingMask) * 2, n);
            f += n;
        }
        pos = double(source) + double(fraction) / 4294967296.0;
    }
    rd.store(at, std::memory_order_release);
}

// A playing stream lacks the sound of the next block: its move or its song is still being
// decoded, or the decoder has not caught up since. A start or a move fills the server's whole
// queue at once, much faster than a busy decoder decodes: mixed on regardless, the sound would
// run dry for a while right after it.
bool SoundEngine::Impl::waitsForRing() const
{
    for (const auto& slot : channelSlots) {
        const Stream* s = slot.load(std::memory_order_seq_cst);
        if (!s || s->over || !s->active() || s->movePending())
            continue;
        if (!s->ringReady())
            return true;
        if (s->eof.load(std::memory_order_acquire))
            continue;
        // Source frames a block takes at this speed, and the varispeed's reach past them.
        const auto hz = std::uint64_t(std::clamp(s->hz.load(std::memory_order_relaxed), kMinHz, kMaxHz));
        const std::uint64_t need = kSnapFrames * hz * std::uint64_t(s->rate) / (std::uint64_t(kRate) * kRate)
                                   + Varispeed::kTaps + 1;
        if (s->wr.load(std::memory_order_acquire) - s->rd.load(std::memory_order_relaxed) < need)
            return true;
    }
    return false;
}

int SoundEngine::Impl::mixQueued(float* out, int frames, bool mayHold)
{
    // While a rewrite is on its way a move waits for it, to be taken where the rewrite starts
    // rather than behind the whole queue.
    deferMoves = changeSeq.load(std::memory_order_acquire) != changeDone.load(std::memory_order_relaxed);
    callbackSeq.fetch_add(1, std::memory_order_seq_cst); // odd: mixing
    int done = 0;
    while (done < frames) {
        const bool boundary = mixFrame % kSnapFrames == 0;
        if ((boundary || done == 0) && mayHold && waitsForRing())
            break;
        if (boundary) {
            // A boundary: remembered, to mix from here again.
            const std::uint32_t d = detachSeq.load(std::memory_order_seq_cst);
            if (d != detachSeen) { // a stream left the mix: what was mixed with it stays
                detachSeen = d;
                barrier = std::max(barrier, mixFrame);
            }
            const std::size_t k = std::size_t(markCount % kHeardEntries);
            markFrame[k] = mixFrame;
            markQuiet[k] = quietFrames;
            ++markCount;
            for (auto& slot : channelSlots)
                if (Stream* s = slot.load(std::memory_order_seq_cst); s && s->heard)
                    s->remember(mixFrame);
        }
        const int n = std::min(kSnapFrames - int(mixFrame % kSnapFrames), frames - done);
        mixBlock(out + done * 2, n);
        done += n;
        mixFrame += n;
    }
    callbackSeq.fetch_add(1, std::memory_order_seq_cst); // even: done
    mixedTo.store(mixFrame, std::memory_order_release);
    deferMoves = false;
    return done;
}

std::int64_t SoundEngine::Impl::rewindTo(std::int64_t frame)
{
    frame = std::max(frame, barrier);
    frame = (frame + kSnapFrames - 1) / kSnapFrames * kSnapFrames;
    if (frame >= mixFrame)
        return mixFrame;
    std::int64_t mark = markCount - 1;
    while (mark >= 0 && mark >= markCount - kHeardEntries && markFrame[mark % kHeardEntries] > frame)
        --mark;
    if (mark < 0 || mark < markCount - kHeardEntries || markFrame[mark % kHeardEntries] != frame)
        return mixFrame;
    callbackSeq.fetch_add(1, std::memory_order_seq_cst); // odd: the streams are being changed
    std::int64_t back = frame;
    if (detachSeq.load(std::memory_order_seq_cst) != detachSeen) {
        back = mixFrame; // a stream left since the last boundary: nothing before now is mixed again
    } else {
        // Each stream's entry at that boundary, or its first (it started later).
        std::int64_t entry[kSlots];
        for (int i = 0; i < kSlots && back == frame; ++i) {
            entry[i] = -1;
            Stream* s = channelSlots[i].load(std::memory_order_seq_cst);
            if (!s || !s->heard)
                continue;
            const std::int64_t count = s->heardCount.load(std::memory_order_relaxed);
            std::int64_t k = count - 1;
            while (k > 0 && k > count - kHeardEntries && s->heard[k % kHeardEntries].frame.load() > frame)
                --k;
            if (k < 0)
                continue; // not mixed yet
            const Heard& e = s->heard[k % kHeardEntries];
            const std::int64_t at = e.frame.load();
            // The ring must still hold what it mixes from there (it keeps no more than
            // kKeepBehindMost behind the read point).
            const bool held = s->keepFor(e.source.load()) >= s->keep.load(std::memory_order_relaxed);
            if (held && (at == frame || (k == 0 && at > frame)))
                entry[i] = k;
            else
                back = mixFrame; // its history does not reach back there
        }
        for (int i = 0; i < kSlots && back == frame; ++i) {
            Stream* s = channelSlots[i].load(std::memory_order_seq_cst);
            if (!s || entry[i] < 0)
                continue;
            s->restore(s->heard[entry[i] % kHeardEntries]);
            s->heardCount.store(entry[i], std::memory_order_release); // remembered again from there
        }
        if (back == frame) {
            quietFrames = markQuiet[mark % kHeardEntries];
            markCount = mark;
            mixFrame = frame;
        }
    }
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
    return back;
}

// The server reads at `read`: each ring may let go of what lies before the frames a rewrite
// from there on would mix from (and the varispeed's reach back before them).
void SoundEngine::Impl::release(std::int64_t read)
{
    // Odd while the streams are looked at: a stream taken away meanwhile is freed only after.
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
    for (auto& slot : channelSlots) {
        Stream* s = slot.load(std::memory_order_seq_cst);
        if (!s || !s->heard || s->heardCount.load(std::memory_order_relaxed) == 0)
            continue;
        const Heard* e = s->heardAt(read);
        if (!e)
            continue;
        const std::uint64_t rd = s->rd.load(std::memory_order_relaxed);
        // Far beyond normal speed the queue spans more of the song than the ring may keep
        // behind the read point and still decode ahead: the decoder is given its room, and a
        // rewrite that needs what it wrote over takes the change behind the queue instead.
        const std::uint64_t keep =
            std::max(s->keepFor(e->source.load(std::memory_order_relaxed), Varispeed::kMostHistory),
                     rd > kKeepBehindMost ? rd - kKeepBehindMost : 0);
        s->keep.store(std::max(s->keep.load(std::memory_order_relaxed), std::min(keep, rd)),
                      std::memory_order_release);
    }
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
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
