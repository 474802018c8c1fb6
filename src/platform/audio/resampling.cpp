// The one place that drives the resampler: a stream played at any speed other than the
// straight copy of a 44.1 kHz song at normal speed goes through here. The rest of the engine
// knows only these functions (declared in engineimpl.h) and the state pointer Stream::src.
#include "platform/audio/engineimpl.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>

namespace audio {

bool createResampler(Stream& s)
{
    int srcError = 0;
    s.src = src_new(SRC_SINC_FASTEST, 2, &srcError);
    return s.src != nullptr;
}

void resetResampler(Stream& s) { src_reset(s.src); }

void destroyResampler(Stream& s)
{
    if (s.src)
        src_delete(s.src);
}

// Leaving the straight copy: the resampler is fed the frames just played, so its output
// carries on from them without a click, and what it makes of them is dropped.
void SoundEngine::Impl::primeResampler(Stream& s, double ratio)
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

void SoundEngine::Impl::resample(Stream& s, double ratio, int frames, int& done, bool& finished, bool& dry)
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

} // namespace audio
