// A stream's ring buffer and length, and the decoder thread that keeps the rings filled ahead
// of the output.
#include "platform/audio/engineimpl.h"

#include <algorithm>
#include <climits>

namespace audio {

int Song::lengthMs() const
{
    return int(std::min<std::int64_t>(msOf(total.load(std::memory_order_relaxed), rate), INT32_MAX));
}

Song::~Song()
{
    scan.reset(); // stops the scan before the length it writes into goes away
}

void Stream::rewind()
{
    direct = true;
    std::fill(std::begin(recent), std::end(recent), 0.0f);
    recentCount = 0;
    flowing = false;
}

void Stream::acknowledge(std::uint32_t req, std::int64_t at)
{
    const std::int64_t f = seekFrame.load(std::memory_order_relaxed);
    rewind();
    pos = double(f);
    shown = f;
    position.store(f, std::memory_order_relaxed);
    ended.store(false, std::memory_order_relaxed);
    over = false;
    gain = 0.0f; // the sound at the new place fades in
    // The decoder starts the ring afresh from the read point with the new place.
    epochRing = rd.load(std::memory_order_relaxed);
    epochFrame = f;
    keep.store(epochRing, std::memory_order_release);
    heardFrom.store(at, std::memory_order_release);
    ackFrame.store(f, std::memory_order_relaxed);
    acknowledged.store(req, std::memory_order_release);
}

bool Stream::active() const
{
    if (movePending())
        return true;
    if (over)
        return false;
    const bool held = paused.load(std::memory_order_relaxed) || stopping.load(std::memory_order_relaxed);
    return !held || gain > 0.0f;
}

bool Stream::fill()
{
    const std::uint32_t req = request.load(std::memory_order_acquire);
    if (req != ready.load(std::memory_order_relaxed)) {
        // A move: wait until the audio thread has let go of the old sound, then start the ring
        // afresh at the frame it took.
        if (acknowledged.load(std::memory_order_acquire) != req)
            return false;
        const std::int64_t frame = ackFrame.load(std::memory_order_relaxed);
        wr.store(rd.load(std::memory_order_acquire), std::memory_order_release);
        song->dec->seek(frame);
        eof.store(false, std::memory_order_relaxed);
        earlyEnd.store(EarlyEnd::None, std::memory_order_relaxed);
        ready.store(req, std::memory_order_release);
        return true;
    }
    if (eof.load(std::memory_order_relaxed))
        return false;
    const std::uint64_t w = wr.load(std::memory_order_relaxed);
    const std::uint64_t r = keep.load(std::memory_order_acquire);
    const std::uint64_t space = kRingFrames - std::min(kRingFrames, w - r);
    if (space < 1024)
        return false;
    const std::uint64_t off = w & kRingMask;
    const long want = long(std::min({space, kRingFrames - off, std::uint64_t(kDecodeChunk)}));
    const long got = song->dec->read(ring.get() + off * 2, want);
    if (got > 0)
        wr.store(w + std::uint64_t(got), std::memory_order_release);
    if (got < want) {
        earlyEnd.store(song->dec->earlyEnd(), std::memory_order_relaxed);
        eof.store(true, std::memory_order_release);
    }
    return true;
}

std::chrono::nanoseconds Stream::refillIn()
{
    using namespace std::chrono;
    const std::uint32_t req = request.load(std::memory_order_acquire);
    if (req != ready.load(std::memory_order_relaxed))
        return milliseconds(2); // a move the audio thread is still fading out of
    const int speed = std::clamp(hz.load(std::memory_order_relaxed), kMinHz, kMaxHz);
    plannedHz.store(speed, std::memory_order_relaxed);
    if (eof.load(std::memory_order_relaxed) || !playing.load(std::memory_order_relaxed)
        || paused.load(std::memory_order_relaxed))
        return nanoseconds::max(); // nothing drains the ring until someone says otherwise
    const std::uint64_t held = wr.load(std::memory_order_relaxed) - rd.load(std::memory_order_relaxed);
    if (held <= kRefillAt)
        return milliseconds(2);
    // Source frames a second at this speed.
    const double perSecond = double(speed) / kRate * rate;
    return nanoseconds(std::int64_t(double(held - kRefillAt) / perSecond * 1e9));
}

void Stream::fillAhead(int frames)
{
    const int speed = std::clamp(hz.load(std::memory_order_relaxed), kMinHz, kMaxHz);
    const std::uint64_t need = std::uint64_t(double(frames) * speed / kRate * rate / kRate) + 2 * kBlock;
    if (request.load(std::memory_order_relaxed) != ready.load(std::memory_order_relaxed))
        fill();
    while (wr.load(std::memory_order_relaxed) - rd.load(std::memory_order_relaxed) < need && fill()) {
    }
}

// Fills every ring that has room, a chunk at a time in turn so no stream waits behind
// another's, then sleeps until the first ring will be half empty or something changes. No lock
// is held while decoding: the interface thread only ever waits for the list to be copied.
void SoundEngine::Impl::decodeLoop()
{
    using namespace std::chrono;
    nameThread("decode");
    std::unique_lock lock(decodeMutex);
    while (decoding.load(std::memory_order_relaxed)) {
        decoderWork.assign(streams.begin(), streams.end());
        decodeKick = false;
        lock.unlock();
        while (decoderStallWanted.load() && decoding.load()) {
            decoderStalled.store(true); // a test holds the decoder here, as a busy machine would
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        decoderStalled.store(false);

        // A ring that was empty (a new song, a move) wakes a queued output that waits for it.
        bool starved = false;
        for (auto& s : decoderWork)
            starved = starved || s->wr.load() == s->rd.load() || s->ready.load() != s->request.load();
        for (bool worked = true; worked && decoding.load(std::memory_order_relaxed);) {
            worked = false;
            for (auto& s : decoderWork)
                worked = s->fill() || worked;
            if (const std::int64_t slow = decoderSlowUs.load(std::memory_order_relaxed); slow > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(slow)); // a test's busy machine
        }
        if (starved && queued)
            poke();
        // While no ring drains (nothing plays, every ring full) it sleeps until woken.
        nanoseconds nap = nanoseconds::max();
        for (auto& s : decoderWork)
            nap = std::min(nap, std::max<nanoseconds>(s->refillIn(), milliseconds(1)));
        decoderWork.clear(); // a stream closed meanwhile may be freed here

        lock.lock();
        const auto woken = [this] { return decodeKick || !decoding.load(); };
        if (nap == nanoseconds::max())
            decodeWake.wait(lock, woken);
        else
            decodeWake.wait_for(lock, std::min<nanoseconds>(nap, kDecoderNap), woken);
    }
}

void SoundEngine::Impl::wakeDecoder()
{
    if (!decoder.joinable())
        return;
    {
        std::lock_guard lock(decodeMutex);
        decodeKick = true;
    }
    decodeWake.notify_one();
}

} // namespace audio
