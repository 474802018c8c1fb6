// The operations the interface thread calls, and the stream control behind them: taking a
// channel away from the audio thread, moving and rewinding streams. How an engine works
// inside is told in engineimpl.h.
#include "platform/audio/engineimpl.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

namespace audio {
namespace {

std::atomic<std::uint32_t> nextHandle {1};

} // namespace

std::uint32_t newHandle() { return nextHandle.fetch_add(1, std::memory_order_relaxed); }

Stream* SoundEngine::Impl::findStream(std::uint32_t handle) const
{
    if (handle == 0)
        return nullptr;
    for (const auto& s : streams)
        if (s->handle == handle)
            return s.get();
    return nullptr;
}

// The stream whose live channel this is; a channel that played to its end is gone.
Stream* SoundEngine::Impl::findChannel(int channel) const
{
    if (channel == 0)
        return nullptr;
    for (const auto& s : streams)
        if (s->channel == std::uint32_t(channel) && s->slot >= 0) {
            follow(*s);
            return s->ended.load(std::memory_order_acquire) ? nullptr : s.get();
        }
    return nullptr;
}

std::int64_t SoundEngine::Impl::readNow() const
{
    std::int64_t frame = 0, at = 0;
    bool playing = false;
    for (;;) {
        const std::uint32_t seq = clockSeq.load(std::memory_order_acquire);
        if (seq & 1)
            continue;
        frame = readFrame.load(std::memory_order_relaxed);
        at = readAtNs.load(std::memory_order_relaxed);
        playing = reading.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (clockSeq.load(std::memory_order_relaxed) == seq)
            break;
    }
    if (playing) {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        frame += std::max<std::int64_t>(0, now - at) * kRate / 1000000000;
    }
    frame = std::min(frame, mixedTo.load(std::memory_order_acquire));
    // The server's word on its read point comes now and then, and the clock between runs a
    // little ahead or behind: a position never goes back for that.
    frame = std::max(frame, readShown.load(std::memory_order_relaxed));
    readShown.store(frame, std::memory_order_relaxed);
    return frame;
}

// On a queued output the position and the end a deck reads are those of what the server has
// read, from the stream's history; elsewhere the mixer sets them as it mixes.
void SoundEngine::Impl::follow(Stream& s) const
{
    if (!queued || s.slot < 0 || !s.heard)
        return;
    const Heard* e = s.heardAt(readNow());
    if (!e)
        return;
    const bool over = (e->flags.load(std::memory_order_relaxed) & kHeardOver) != 0;
    s.position.store(over ? s.total() : e->shown.load(std::memory_order_relaxed), std::memory_order_relaxed);
    s.ended.store(over, std::memory_order_release);
}

void SoundEngine::Impl::changed()
{
    if (!queued)
        return;
    // One poke is enough while a change waits: the output's thread looks again for changes
    // after each rewrite, so one made meanwhile is carried by the next.
    const std::uint32_t before = changeSeq.fetch_add(1, std::memory_order_acq_rel);
    if (before == changeDone.load(std::memory_order_acquire))
        poke();
}

void SoundEngine::Impl::poke() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(pokeFd, &one, sizeof one);
}

std::shared_ptr<Stream>* SoundEngine::Impl::entryOf(const Stream* s)
{
    for (auto& p : streams)
        if (p.get() == s)
            return &p;
    return nullptr;
}

// Waits until the audio thread is out of any callback it was in when a slot was cleared.
// False when it stayed in it past `until`.
bool SoundEngine::Impl::waitForCallback(std::chrono::steady_clock::time_point until)
{
    using clock = std::chrono::steady_clock;
    if (manual)
        return true;
    const std::uint64_t seq = callbackSeq.load(std::memory_order_seq_cst);
    if ((seq & 1) == 0)
        return true;
    const auto start = clock::now();
    while (callbackSeq.load(std::memory_order_seq_cst) == seq) {
        const auto now = clock::now();
        if (now >= until)
            return false;
        if (now - start < std::chrono::milliseconds(1))
            std::this_thread::yield(); // a callback ends in microseconds
        else
            std::this_thread::sleep_for(std::min<clock::duration>(std::chrono::microseconds(200), until - now));
    }
    return true;
}

// Takes the stream's channel away; the stream itself stays where it was. Returns the stream
// to go on with: a new one in its place when the audio thread may still be using the old.
Stream* SoundEngine::Impl::detach(Stream* s) { return detach(s, std::chrono::steady_clock::now() + kCallbackWait); }

Stream* SoundEngine::Impl::detach(Stream* s, std::chrono::steady_clock::time_point until)
{
    if (s->slot < 0)
        return s;
    follow(*s);
    channelSlots[s->slot].store(nullptr, std::memory_order_seq_cst);
    detachSeq.fetch_add(1, std::memory_order_seq_cst);
    s->slot = -1;
    s->channel = 0;
    s->playing.store(false, std::memory_order_relaxed);
    if (!waitForCallback(until))
        s = replaceParked(s);
    s->stopping.store(false);
    s->audible.store(false);
    if (s->movePending())
        s->acknowledge(s->request.load()); // a move the audio thread never got to
    return s;
}

// The audio thread is stuck in a callback that may be using the stream: the stream is parked
// until the callback count moves on, and a new stream with the same handle and song, at the
// place the old one was at or heading for, takes its place.
Stream* SoundEngine::Impl::replaceParked(Stream* old)
{
    std::shared_ptr<Stream>* entry = entryOf(old);
    auto fresh = std::make_shared<Stream>();
    fresh->handle = old->handle;
    fresh->song = old->song;
    fresh->rate = old->rate;
    fresh->ring.reset(new (std::nothrow) float[kRingFrames * 2]);
    fresh->queued = queued;
    if (queued)
        fresh->heard.reset(new (std::nothrow) Heard[kHeardEntries]);
    if (!entry || !fresh->ring || (queued && !fresh->heard) || !createResampler(*fresh)) {
        // No memory for a new one: nothing for it but to wait for the callback.
        const std::uint64_t seq = callbackSeq.load();
        while (callbackSeq.load() == seq && (seq & 1))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return old;
    }
    fresh->seekFrame.store(old->movePending() ? old->seekFrame.load() : old->position.load());
    fresh->request.store(1);
    fresh->acknowledge(1); // the ring is made ready by the decoder, which moves there first
    {
        std::lock_guard lock(decodeMutex);
        parked.push_back({std::move(*entry), callbackSeq.load()});
        *entry = fresh;
    }
    wakeDecoder();
    return fresh.get();
}

void SoundEngine::Impl::freeParked()
{
    if (parked.empty())
        return;
    const std::uint64_t seq = callbackSeq.load();
    std::erase_if(parked, [seq](const Parked& p) { return p.seq != seq; });
}

// Before a playing stream is stopped or closed its sound fades out, so the stop does not
// click: a wait of a callback or two. The fade and the wait for the callback after it hold the
// interface thread kStopWait at most together, whatever the buffer; a very large output
// buffer, whose callbacks come too far apart for that, is cut instead. On the manual clock it
// is cut at once.
Stream* SoundEngine::Impl::stopChannel(Stream* s)
{
    using clock = std::chrono::steady_clock;
    const auto begin = clock::now();
    if (s->slot >= 0 && !manual && !lost && !deviceEnded() && s->audible.load(std::memory_order_acquire)) {
        s->stopping.store(true, std::memory_order_release);
        changed();
        const auto fadeUntil = begin + (kStopWait - kStopCallbackShare);
        for (auto now = begin; s->audible.load(std::memory_order_acquire) && !s->ended.load(std::memory_order_acquire)
                               && now < fadeUntil;
             now = clock::now())
            std::this_thread::sleep_for(std::min<clock::duration>(std::chrono::milliseconds(1), fadeUntil - now));
    }
    return detach(s, begin + kStopWait);
}

// A channel that played to its natural end is over: free its slot.
Stream* SoundEngine::Impl::reap(Stream* s)
{
    follow(*s);
    if (s->slot >= 0 && s->ended.load(std::memory_order_acquire))
        return detach(s);
    return s;
}

// Puts a stream without a channel at a frame; the decoder refills its ring from there.
void SoundEngine::Impl::place(Stream& s, std::int64_t frame)
{
    s.seekFrame.store(frame, std::memory_order_relaxed);
    s.acknowledge(s.request.fetch_add(1, std::memory_order_release) + 1, mixedTo.load(std::memory_order_acquire));
    wakeDecoder();
}

// Moves a playing stream: the audio thread takes the move at its next block, then the decoder.
// On a resting output (a paused stream) no audio thread runs, and the move is taken here.
void SoundEngine::Impl::move(Stream& s, std::int64_t frame)
{
    if (outputResting()) {
        place(s, frame);
        return;
    }
    s.seekFrame.store(frame, std::memory_order_relaxed);
    s.request.fetch_add(1, std::memory_order_release);
    wakeDecoder();
    changed();
    sound(); // the output may have come to rest meanwhile
}

int SoundEngine::Impl::freeSlot()
{
    for (int i = 0; i < kSlots; ++i)
        if (!channelSlots[i].load(std::memory_order_relaxed))
            return i;
    for (auto& s : streams)
        reap(s.get());
    for (int i = 0; i < kSlots; ++i)
        if (!channelSlots[i].load(std::memory_order_relaxed))
            return i;
    return -1;
}

SoundEngine::SoundEngine(const QString& name) : d(std::make_unique<Impl>(name)) {}

SoundEngine::~SoundEngine() = default;

const QString& SoundEngine::name() const { return d->name; }

int SoundEngine::setDriver(int driver)
{
    d->driver = driver;
    d->driverSink.clear();
    d->waitForSink = false;
    if (driver < 0)
        return d->fail(ErrInvalidParam);
    return 1;
}

int SoundEngine::setDriverSink(const QString& sink, bool wait)
{
    if (sink.isEmpty())
        return d->fail(ErrInvalidParam);
    d->driverSink = sink.toUtf8();
    d->waitForSink = wait;
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

QString SoundEngine::errorDetail() const { return d->errorDetail; }

void SoundEngine::close()
{
    d->shutdown();
    d->bufferMs = kDefaultBufferMs; // a buffer size holds for the one init it was set for
}

bool SoundEngine::isInitialized() const { return d->initialized; }

std::uint32_t SoundEngine::streamOpen(const QString& path, unsigned /*mode*/, int /*offset*/, int /*length*/)
{
    d->errorDetail.clear();
    if (!d->initialized)
        return std::uint32_t(d->fail(ErrUninitialized));
    d->freeParked();
    int code = ErrNone;
    auto dec = openDecoder(path, &code, &d->errorDetail);
    if (!dec)
        return std::uint32_t(d->fail(code));
    auto s = std::make_shared<Stream>();
    const bool resampler = createResampler(*s);
    s->ring.reset(new (std::nothrow) float[kRingFrames * 2]);
    s->queued = d->queued;
    if (d->queued)
        s->heard.reset(new (std::nothrow) Heard[kHeardEntries]);
    if (!resampler || !s->ring || (d->queued && !s->heard))
        return std::uint32_t(d->fail(ErrMemory));
    auto song = std::make_shared<Song>();
    song->rate = dec->rate();
    song->total.store(dec->length(), std::memory_order_relaxed);
    song->dec = std::move(dec);
    // A file that does not state its length has it settled by a scan of its own. A short song
    // is scanned before the open returns; a long one (a recorded set of a gigabyte) plays at
    // once with an estimate, and the exact length takes over when the scan has it.
    song->scan = song->dec->scanLength([target = song.get()](std::int64_t frames) {
        if (frames > 0)
            target->total.store(frames, std::memory_order_relaxed);
    });
    if (song->scan)
        song->scan->wait(d->manual ? std::chrono::milliseconds(std::chrono::hours(1)) : kLengthWait);
    s->song = std::move(song);
    s->rate = s->song->rate;
    s->rewind();
    s->handle = newHandle();
    const std::uint32_t handle = s->handle;
    {
        std::lock_guard lock(d->decodeMutex);
        d->streams.push_back(std::move(s));
    }
    d->wakeDecoder();
    d->error = ErrNone;
    return handle;
}

int SoundEngine::streamPlay(int /*channel*/, std::uint32_t stream, bool paused)
{
    Stream* s = d->findStream(stream);
    if (!s)
        return d->fail(ErrInvalidParam);
    d->freeParked();
    s = d->reap(s);
    if (s->slot >= 0)
        return int(s->channel); // already playing or paused: nothing changes
    if (!d->lost && d->outputGone())
        d->noticeLoss();
    if (d->lost && !d->restoreOutput())
        return d->fail(ErrPlay);
    // A song played to its end starts again from the beginning.
    if (s->ended.load() || s->position.load() >= s->total())
        d->place(*s, 0);
    const int slot = d->freeSlot();
    if (slot < 0)
        return d->fail(ErrChannelAlloc);
    s->hz.store(kRate);
    s->volume.store(255);
    s->gain = 0.0f; // fades in, so a start in the middle of a song does not click
    s->paused.store(paused);
    s->playing.store(true);
    s->channel = newHandle();
    s->slot = slot;
    // Its history starts here (no output thread sees the stream before the store below).
    s->heardCount.store(0, std::memory_order_relaxed);
    s->heardFrom.store(0, std::memory_order_relaxed);
    const bool live = !d->outputResting();
    d->channelSlots[slot].store(s, std::memory_order_seq_cst);
    d->wakeDecoder();
    // Started paused, it is heard from the resume on, at the volume and speed set meanwhile.
    if (paused)
        return int(s->channel);
    if (!d->sound())
        return d->fail(ErrPlay);
    if (live)
        d->changed(); // mixed from where the server reads, not behind its queue
    return int(s->channel);
}

int SoundEngine::streamStop(std::uint32_t stream)
{
    Stream* s = d->findStream(stream);
    if (!s)
        return d->fail(ErrInvalidParam);
    d->freeParked();
    s = d->stopChannel(s);
    d->place(*s, 0);
    return 1;
}

int SoundEngine::streamClose(std::uint32_t stream)
{
    Stream* s = d->findStream(stream);
    if (!s)
        return d->fail(ErrInvalidParam);
    d->freeParked();
    s = d->stopChannel(s);
    std::shared_ptr<Stream> closing; // freed outside the lock (or later by the decoder thread)
    {
        std::lock_guard lock(d->decodeMutex);
        auto it = std::find_if(d->streams.begin(), d->streams.end(), [&](const auto& p) { return p.get() == s; });
        closing = std::move(*it);
        d->streams.erase(it);
    }
    return 1;
}

int SoundEngine::streamGetLengthMs(std::uint32_t stream) const
{
    const Stream* s = d->findStream(stream);
    return s ? s->lengthMs() : 0;
}

int SoundEngine::streamGetTime(std::uint32_t stream) const
{
    const Stream* s = d->findStream(stream);
    if (!s)
        return 0;
    const int lengthMs = s->lengthMs();
    d->follow(*const_cast<Stream*>(s));
    std::int64_t frame;
    if (s->movePending()) {
        frame = s->seekFrame.load(std::memory_order_relaxed);
    } else {
        if (s->ended.load(std::memory_order_acquire))
            return lengthMs;
        frame = s->position.load(std::memory_order_relaxed);
    }
    // The length exactly only at the end itself.
    if (frame >= s->total())
        return lengthMs;
    return int(std::min<std::int64_t>(msOf(frame, s->rate), std::max(0, lengthMs - 1)));
}

int SoundEngine::streamSetTime(std::uint32_t stream, int ms)
{
    Stream* s = d->findStream(stream);
    if (!s)
        return d->fail(ErrInvalidParam);
    d->freeParked();
    s = d->reap(s);
    ms = std::clamp(ms, 0, s->lengthMs());
    // The first frame at or after ms, so the position reads back as ms.
    const std::int64_t frame = std::min(s->total(), (std::int64_t(ms) * s->rate + 999) / 1000);
    if (s->slot >= 0)
        d->move(*s, frame);
    else
        d->place(*s, frame);
    return 1;
}

EarlyEnd SoundEngine::streamEarlyEnd(std::uint32_t stream) const
{
    const Stream* s = d->findStream(stream);
    // Not while a move waits for the decoder: what it met belongs to the place left.
    if (!s || s->request.load(std::memory_order_acquire) != s->ready.load(std::memory_order_acquire)
        || !s->eof.load(std::memory_order_acquire))
        return EarlyEnd::None;
    return s->earlyEnd.load(std::memory_order_relaxed);
}

int SoundEngine::setFrequency(int channel, int hz)
{
    Stream* s = d->findChannel(channel);
    if (!s || hz <= 0)
        return d->fail(ErrInvalidParam);
    if (s->hz.exchange(hz, std::memory_order_relaxed) != hz)
        d->changed();
    // Faster than the decoder planned its next refill for: it plans again.
    if (hz > s->plannedHz.load(std::memory_order_relaxed))
        d->wakeDecoder();
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
    const bool was = s->paused.exchange(paused != 0, std::memory_order_relaxed);
    if (was && !paused) {
        d->wakeDecoder();
        const bool live = !d->outputResting();
        if (!d->sound())
            return d->fail(ErrPlay);
        if (live)
            d->changed();
    } else if (was != (paused != 0)) {
        d->changed();
    }
    return 1;
}

int SoundEngine::setVolume(int channel, int volume)
{
    Stream* s = d->findChannel(channel);
    if (!s)
        return d->fail(ErrInvalidParam);
    const int v = std::clamp(volume, 0, 255);
    if (s->volume.exchange(v, std::memory_order_relaxed) != v)
        d->changed();
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

const float* SoundEngine::dspGetSpectrum() { return d->computeSpectrum(); }

void SoundEngine::setManualClock(bool on, bool queued)
{
    d->manualNext = on;
    d->manualQueuedNext = on && queued;
}

void SoundEngine::advance(int frames)
{
    while (frames > 0) {
        const int n = std::min(frames, kBlock);
        advanceInto(d->discard, n);
        frames -= n;
    }
}

void SoundEngine::advanceInto(float* out, int frames)
{
    if (!d->initialized || !d->manual)
        return;
    if (!d->queued) {
        d->render(out, frames);
        return;
    }
    // A queued manual clock: every change is carried at once, and the "server" reads 0.3 s
    // behind what was mixed.
    d->changeDone.store(d->changeSeq.load());
    d->mixQueued(out, frames, false);
    d->release(d->mixFrame - kRate * 3 / 10);
}

int SoundEngine::rewrite(int frames)
{
    if (!d->initialized || !d->manual || !d->queued)
        return 0;
    const std::int64_t from = d->mixFrame;
    return int(from - d->rewindTo(from - frames));
}

void SoundEngine::advanceMs(int ms)
{
    advance(int(std::int64_t(ms) * kRate / 1000));
}

float SoundEngine::outputLevel() const { return d->level.load(std::memory_order_relaxed); }

std::uint64_t SoundEngine::underruns() const { return d->underrunCount.load(std::memory_order_relaxed); }

bool SoundEngine::takeOutputLost()
{
    if (!d->initialized)
        return false;
    if (!d->lost && d->outputGone())
        d->noticeLoss();
    d->tellTroubles();
    return std::exchange(d->lossUntold, false);
}

void SoundEngine::simulateOutputLoss(bool lasting)
{
    d->loseForTest = true;
    d->goneForTest = lasting;
}

void SoundEngine::simulateOutputBack() { d->goneForTest = false; }

void SoundEngine::holdAudioThread(bool hold) { d->stallWanted.store(hold); }

bool SoundEngine::audioThreadHeld() const { return d->stalled.load(); }

bool SoundEngine::outputRests() const { return d->initialized && d->outputResting(); }

void SoundEngine::holdDecoderThread(bool hold) { d->decoderStallWanted.store(hold); }

bool SoundEngine::decoderThreadHeld() const { return d->decoderStalled.load(); }

void SoundEngine::slowDecoderThread(std::chrono::microseconds perPiece) { d->decoderSlowUs.store(perPiece.count()); }

} // namespace audio
