// The one place that drives the varispeed: a stream played at any speed other than one source
// frame per output frame goes through here, and comes back to the straight copy when the
// speed returns to it. The rest of the engine knows only these functions (declared in
// engineimpl.h) and Stream::varispeed.
#include "platform/audio/engineimpl.h"

#include <algorithm>
#include <new>

namespace audio {

bool createResampler(Stream& s)
{
    s.varispeed.reset(new (std::nothrow) Varispeed(2));
    return s.varispeed != nullptr;
}

void SoundEngine::Impl::resample(Stream& s, std::uint64_t step, int frames, int& done, bool& finished, bool& dry)
{
    Varispeed& vs = *s.varispeed;
    if (s.direct) {
        // Leaving the straight copy: the varispeed starts at the next frame and reaches back
        // to the frames just played, so its output carries on from them without a seam.
        float history[Varispeed::kBefore * 2];
        for (int i = 0; i < Varispeed::kBefore; ++i) {
            const float* from = s.recent + ((s.recentCount + std::uint64_t(i)) % Varispeed::kBefore) * 2;
            history[i * 2] = from[0];
            history[i * 2 + 1] = from[1];
        }
        s.direct = false;
        vs.setStep(step);
        vs.reset(history, Varispeed::kBefore);
        s.varispeedFrom = std::int64_t(s.pos);
    }
    vs.setStep(step);
    // The song's end as a varispeed position: no frame is made at or past it.
    const std::uint64_t end = std::uint64_t(std::max<std::int64_t>(0, s.total() - s.varispeedFrom)) << 32;
    while (done < frames) {
        if (vs.straight()) {
            // Back at one frame per frame on a whole frame: what the varispeed holds is played
            // as it is, and then the ring is copied straight again.
            done += vs.render(voiceOut + done * 2, frames - done, end);
            if (vs.position() >= end)
                break;
            if (vs.pending() == 0 && vs.caughtUp()) {
                vs.history(s.recent);
                s.recentCount = 0;
                s.direct = true;
                s.pos = double(s.varispeedFrom + std::int64_t(vs.position() >> 32));
                copyDirect(s, frames, done, finished, dry);
                return;
            }
        }
        // Feed it what it asks for: from the ring, or silence past the song's last frame.
        const int want = vs.wanted(frames - done);
        int fed = 0;
        if (want > 0) {
            const bool eof = s.eof.load(std::memory_order_acquire);
            const std::uint64_t w = s.wr.load(std::memory_order_acquire);
            const std::uint64_t r = s.rd.load(std::memory_order_relaxed);
            const std::uint64_t avail = w - r;
            if (avail > 0) {
                fed = int(std::min({avail, kRingFrames - (r & kRingMask), std::uint64_t(want)}));
                vs.push(s.ring.get() + (r & kRingMask) * 2, fed);
                s.rd.store(r + std::uint64_t(fed), std::memory_order_release);
                if (!s.queued)
                    s.keep.store(r + std::uint64_t(fed), std::memory_order_release);
            } else if (eof) {
                fed = want;
                vs.pushSilence(fed);
            }
        }
        const int n = vs.render(voiceOut + done * 2, frames - done, end);
        done += n;
        if (vs.position() >= end)
            break;
        if (n == 0 && fed == 0) {
            dry = true;
            break;
        }
    }
    s.pos = double(s.varispeedFrom + std::int64_t(vs.position() >> 32));
    finished = vs.position() >= end;
}

} // namespace audio
