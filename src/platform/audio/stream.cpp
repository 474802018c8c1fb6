// A stream's ring buffer and the decoder thread that keeps it filled ahead of the output.
#include "platform/audio/engineimpl.h"

#include <algorithm>

namespace audio {

void Stream::rewind()
{
    direct = true;
    std::fill(std::begin(recent), std::end(recent), 0.0f);
    recentCount = 0;
    flowing = false;
}

bool Stream::fill()
{
    if (eof.load(std::memory_order_relaxed) || movePending())
        return false;
    const std::uint64_t w = wr.load(std::memory_order_relaxed);
    const std::uint64_t r = rd.load(std::memory_order_acquire);
    const std::uint64_t space = kRingFrames - (w - r);
    if (space < 1024)
        return false;
    const std::uint64_t off = w & kRingMask;
    const long want = long(std::min({space, kRingFrames - off, std::uint64_t(kDecodeChunk)}));
    const long got = dec->read(ring.get() + off * 2, want);
    if (got > 0)
        wr.store(w + std::uint64_t(got), std::memory_order_release);
    if (got < want)
        eof.store(true, std::memory_order_release);
    return true;
}

void Stream::fillAhead(int frames)
{
    const int speed = std::clamp(hz.load(std::memory_order_relaxed), kMinHz, kMaxHz);
    const std::uint64_t need = std::uint64_t(double(frames) * speed / kRate * rate / kRate) + 2 * kBlock;
    while (wr.load(std::memory_order_relaxed) - rd.load(std::memory_order_relaxed) < need && fill()) {
    }
}

void SoundEngine::Impl::decodeLoop()
{
    nameThread("decode");
    std::unique_lock lock(decodeMutex);
    while (decoding) {
        bool worked = false;
        for (auto& s : streams)
            for (int k = 0; k < 4 && s->fill(); ++k)
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

void SoundEngine::Impl::wakeDecoder()
{
    if (decoder.joinable())
        decodeWake.notify_one();
}

} // namespace audio
