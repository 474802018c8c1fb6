#include "platform/audio/pulseoutput.h"

#include <alsa/asoundlib.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace audio {
namespace {

constexpr int kRate = 44100;
constexpr std::size_t kFrameBytes = 2 * sizeof(float);
// How long an open waits for the server: a server that does not answer by then is taken as not
// there, rather than holding the interface thread.
constexpr int kConnectWaitMs = 3000;
// The queue on the server: topped up once this much of it has played (a wake of the thread).
constexpr int kTopUpMs = 150;
// A rewrite starts this far past what the sink may take before the rewrite reaches the server,
// and is mixed and sent in pieces from the second figure on (12 ms), so the server has each
// before the sink reaches it. PipeWire's pulse server wants twice the margin: its graph takes the
// stream's sound (through a resampler where the graph runs at another rate) a little ahead of
// the read point it tells, and a rewrite landing in what it took is heard as a seam, now and
// again, at the 4 ms that holds on PulseAudio.
constexpr int kRewriteMarginFrames = kRate * 4 / 1000;
constexpr int kRewriteMarginPipeWireFrames = kRate * 8 / 1000;
constexpr std::size_t kRewritePieceFrames = 512;
// A top-up is mixed and sent in pieces, the first of this many frames (186 ms, so a steady top-up
// goes as one), each next one twice the last and none longer than what the server still holds:
// the server has the first in time, whatever the mixing of all of it takes (a fast song at a
// high speed), and it is sent in few pieces (each piece costs a wake more).
constexpr std::size_t kPieceFrames = 8192;
// Sound written with the start of a stream that rested, behind a little silence (see resume()):
// as long as what the sink takes at a time, and this much more.
constexpr std::size_t kStartFrames = 1024;
constexpr std::int64_t kLeadMarginFrames = 128;
// A stream that has rested this long (corked: it plays nothing) asks the sink for a long latency
// (the second figure), so the sink, and the server with it, wakes no more often than other
// programs have it wake: a stream asks for its latency even while corked, and one of 5 ms made the
// server wake 200 times a second while both decks rested. Until then it keeps its short latency,
// so a pause, a cue or a stop and a play again start at once wherever it plays. A start after a
// longer rest asks for the short latency again before anything else, and a sound card's sink
// takes back what it took ahead at the long latency, so the start is heard at once. Only a sink
// that can do so rests so (see restsLong_): a null or virtual sink kept running by another
// program (a recorder) hands its sound on as it takes it, and would hold every start after a rest
// back by up to the second figure; there the stream keeps its short latency while it rests.
constexpr pa_usec_t kRestAfterUs = 5 * PA_USEC_PER_SEC;
constexpr int kRestSinkMs = 1000;
constexpr int kRestRequestMs = 16;
// A sink that runs further ahead than this when the stream is made (an idle null sink takes up a
// new latency only at the end of the block it is in, up to 2 s) is waited for, the second figure at
// most, so the first play is heard at once too.
constexpr pa_usec_t kAheadMostUs = 30 * PA_USEC_PER_MSEC;
constexpr int kAheadWaitMostMs = 2100;
// PipeWire runs its graph at the quantum its running streams ask for, a few milliseconds for a deck,
// and under load (a busy machine, a virtual machine whose processors are taken from it) the graph
// now and then misses one: a moment of silence that its clients are not told of. While the
// machine is that busy (the share of time its threads wait for a processor, over the last ten
// seconds, is above the first figure; below the second it is no longer) a playing stream there asks
// the sink for the third figure instead, which the graph holds; a change is still heard within
// some 30 ms. Looked at once a second at most, as the stream plays.
constexpr double kBusyFrom = 40.0, kBusyUntil = 20.0;
constexpr int kBusySinkMs = 10;
constexpr pa_usec_t kBusyLookUs = PA_USEC_PER_SEC;
// How long a resume waits for the server's word on its flush: a server gone meanwhile is found
// there, not a moment after the resume said all was well.
constexpr int kResumeWaitMs = 250;
// The age of the server's word on its read point that is believed (a clock step aside).
constexpr pa_usec_t kRewriteAgeMostUs = 100000;
// The mix waits for sound being decoded (a move, a new song, a decoder catching up after a start)
// in steps of the second figure; before the server has started, this long at most, so a stuck
// decoder does not hold a start back.
constexpr pa_usec_t kHoldMostUs = 20000;
constexpr pa_usec_t kHoldStepUs = 3000;
// While the server plays, the mix waits for sound being decoded only as long as what the server
// holds ahead of its read point stays above this (20 ms) and what its sink takes at a time: below
// it the mix goes on at once, the sound not yet decoded as silence. A move mixed over the queue
// starts a few milliseconds past the read point and its new place is never decoded yet; waiting
// there ran the server dry whenever the decoder was a little late (a busy machine), an underrun
// and a click at every such change.
constexpr std::int64_t kHoldFloorFrames = kRate * 20 / 1000;

QByteArray alsaText(snd_config_t* conf, const char* key)
{
    snd_config_t* node = nullptr;
    const char* text = nullptr;
    if (snd_config_search(conf, key, &node) < 0 || snd_config_get_string(node, &text) < 0 || !text)
        return {};
    return QByteArray(text);
}

// How busy the machine is: the share of the last ten seconds (percent) in which some thread
// waited for a processor; where the kernel does not say, the load average against the processors.
double machineBusy()
{
    char text[256] {};
    if (FILE* f = std::fopen("/proc/pressure/cpu", "re")) {
        const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
        std::fclose(f);
        text[n] = 0;
        if (const char* at = std::strstr(text, "some avg10="))
            return std::atof(at + 11);
    }
    double load = 0;
    if (getloadavg(&load, 1) == 1)
        return load / std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)) * 100.0;
    return 0;
}

// The thread checker cannot see libpulse's main-loop lock taken and let go (the library is not
// built for it), and that lock orders all this class does on two threads (see the header): it is
// told of the lock here, wherever the lock is taken or let go and in every callback of the loop's,
// which runs with the lock held.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
void lockTaken(const void* output) { __tsan_acquire(const_cast<void*>(output)); }
void lockLetGo(const void* output) { __tsan_release(const_cast<void*>(output)); }
#else
void lockTaken(const void*) {}
void lockLetGo(const void*) {}
#endif

struct Held {
    explicit Held(const void* output) : output(output) { lockTaken(output); }
    ~Held() { lockLetGo(output); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    const void* output;
};

bool contextUp(pa_context* c) { return c && pa_context_get_state(c) == PA_CONTEXT_READY; }
bool streamUp(pa_stream* s) { return s && pa_stream_get_state(s) == PA_STREAM_READY; }

} // namespace

std::optional<PulseRoute> pulseRouteOf(const QString& alsaDevice)
{
    const QByteArray name = alsaDevice.toLocal8Bit();
    if (name.isEmpty() || snd_config_update() < 0 || !snd_config)
        return std::nullopt;
    // The device's definition as ALSA would open it (its hooks and arguments applied): a device
    // of the pulse plugin's type plays on a pulse server.
    snd_config_t* conf = nullptr;
    if (snd_config_search_definition(snd_config, "pcm", name.constData(), &conf) < 0 || !conf)
        return std::nullopt;
    std::optional<PulseRoute> route;
    if (alsaText(conf, "type") == "pulse")
        route = PulseRoute {alsaText(conf, "server"), alsaText(conf, "device")};
    snd_config_delete(conf);
    return route;
}

PulseOutput::PulseOutput(Client& client, std::atomic<std::uint64_t>& underruns, int pokeFd)
    : client_(client), underruns_(underruns), pokeFd_(pokeFd)
{
}

PulseOutput::~PulseOutput() { close(); }

// A state change of the connection or the stream: an end the engine did not ask for is a
// failure; a wait for the state is woken either way.
void PulseOutput::noteState(bool ended)
{
    if (ended)
        failed_.store(true, std::memory_order_release);
    pa_threaded_mainloop_signal(loop_, 0);
}

void PulseOutput::onContextState(pa_context* c, void* user)
{
    const Held held(user);
    const pa_context_state_t state = pa_context_get_state(c);
    static_cast<PulseOutput*>(user)->noteState(state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED);
}

void PulseOutput::onStreamState(pa_stream* s, void* user)
{
    const Held held(user);
    const pa_stream_state_t state = pa_stream_get_state(s);
    static_cast<PulseOutput*>(user)->noteState(state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED);
}

// The server has room for more: it asked for all but its queue's length of what it holds, so it
// reads at the head less that; the mix goes straight into the buffers it hands out.
void PulseOutput::onWrite(pa_stream*, std::size_t bytes, void* user)
{
    const Held held(user);
    auto* self = static_cast<PulseOutput*>(user);
    // A resting stream is answered too (silence, which the next start drops): the server's
    // requests add up, and a start would otherwise find them all still open.
    if (!self->corked_) {
        const auto queue = std::int64_t(self->queueFrames_.load(std::memory_order_relaxed));
        self->noteRequest(self->client_.head() - queue + std::int64_t(bytes / kFrameBytes));
    }
    if (!self->starting_) // a start writes what was asked meanwhile once it begins
        self->writeRequested();
}

void PulseOutput::writeRequested()
{
    if (pipeWire_ && !corked_ && latency_ != Latency::Resting)
        lookAtLoad();
    const std::size_t bytes = pa_stream_writable_size(stream_);
    if (bytes != std::size_t(-1) && bytes > 0)
        write(bytes, -1, kPieceFrames);
}

std::size_t PulseOutput::write(std::size_t bytes, std::int64_t seekTo, std::size_t pieceFrames)
{
    std::size_t written = 0;
    while (bytes - written >= kFrameBytes) {
        void* data = nullptr;
        std::size_t n = std::min(bytes - written, pieceFrames * kFrameBytes);
        if (pa_stream_begin_write(stream_, &data, &n) < 0 || !data)
            break;
        n = std::min({n, bytes - written, pieceFrames * kFrameBytes}) / kFrameBytes * kFrameBytes;
        if (n == 0) {
            pa_stream_cancel_write(stream_);
            break;
        }
        const pa_usec_t now = pa_rtclock_now();
        const std::int64_t ahead = aheadBy(now);
        const std::int64_t floor = kHoldFloorFrames + sinkFrames();
        // The first piece of a rewrite is always mixed: its place in the stream is set with it.
        const bool seek = written == 0 && seekTo >= 0;
        const bool mayHold = !seek
                             && (playing_ ? ahead >= floor
                                          : holdSince_ < 0 || now - pa_usec_t(holdSince_) < kHoldMostUs);
        if (playing_) {
            if (ahead < floor) // up to the floor at once, the rest as the sound comes
                n = std::min(n, std::size_t(std::max<std::int64_t>(floor - ahead, 128)) * kFrameBytes);
            // No piece longer than what the server still holds: it is sent before the server has
            // played that, the mixing being faster than real time even on a busy machine.
            n = std::min(n, std::size_t(std::max<std::int64_t>(ahead, 256)) * kFrameBytes);
        }
        bool rest = false;
        const int got = client_.fill(static_cast<float*>(data), int(n / kFrameBytes), mayHold, rest);
        if (got <= 0) {
            pa_stream_cancel_write(stream_);
            if (mayHold)
                holdForSound(now);
            return written;
        }
        if (pa_stream_write(stream_, data, std::size_t(got) * kFrameBytes, nullptr, seek ? seekTo : 0,
                            seek ? PA_SEEK_ABSOLUTE : PA_SEEK_RELATIVE)
            < 0)
            break;
        written += std::size_t(got) * kFrameBytes;
        pieceFrames *= 2; // what is queued ahead grows faster than the mixing of the next piece takes
        if (rest) { // nothing to play: the server stops asking until resume()
            if (pa_operation* op = pa_stream_cork(stream_, 1, nullptr, nullptr))
                pa_operation_unref(op);
            corked_ = true;
            restSoon();
            playing_ = false;
            noteRead(client_.head(), false);
            holdSince_ = -1;
            return written;
        }
        if (std::size_t(got) * kFrameBytes < n) {
            holdForSound(now);
            return written;
        }
    }
    holdSince_ = -1;
    return written;
}

// The latency a playing stream asks for now: on PipeWire the longer quantum while the machine is
// busy (see kBusyFrom). Chosen as a start begins, so the graph does not change its quantum under
// the start's first sound, and looked at again once a second while the stream plays.
PulseOutput::Latency PulseOutput::playLatency()
{
    if (!pipeWire_)
        return Latency::Playing;
    busyLookedAt_ = pa_rtclock_now();
    const double busy = machineBusy();
    if (busy >= kBusyFrom || (latency_ == Latency::Busy && busy > kBusyUntil))
        return Latency::Busy;
    return Latency::Playing;
}

void PulseOutput::lookAtLoad()
{
    const pa_usec_t now = pa_rtclock_now();
    if (now - std::min(now, busyLookedAt_) < kBusyLookUs)
        return;
    if (const Latency want = playLatency(); want != latency_)
        setLatency(want);
}

// The mix waits for sound being decoded: the decoder's poke or a short timer goes on.
void PulseOutput::holdForSound(pa_usec_t now)
{
    if (holdSince_ < 0)
        holdSince_ = std::int64_t(now);
    if (!holdTimer_)
        holdTimer_ = pa_context_rttime_new(context_, now + kHoldStepUs, &PulseOutput::onHoldOver, this);
}

// The server starts (or starts again after it ran dry) once a start's worth of sound is queued:
// from now on its read point moves on.
void PulseOutput::onStarted(pa_stream*, void* user)
{
    const Held held(user);
    auto* self = static_cast<PulseOutput*>(user);
    self->playing_ = true;
    self->noteRead(self->readAt_);
}

// Whether the stream's sink takes back what it took ahead of its clock when a stream starts (see
// kRestSinkMs): a sound card's sink on a PulseAudio server does, rendering at its stream's latency
// again at once; a null or virtual sink hands what it took on to its recorders as it takes it, and
// plays it out first. PipeWire's graph runs at what its running streams ask, whatever a corked one
// asked, so a rest costs it nothing either way. Asked at the open (waited for) and again when the
// stream moves to another sink; until the answer the stream does not rest long.
pa_operation* PulseOutput::askSinkKind()
{
    const auto server = [](pa_context*, const pa_server_info* info, void* user) {
        const Held held(user);
        auto* self = static_cast<PulseOutput*>(user);
        self->pipeWire_ = info && info->server_name && std::strstr(info->server_name, "PipeWire");
        pa_threaded_mainloop_signal(self->loop_, 0);
    };
    const auto sink = [](pa_context*, const pa_sink_info* info, int eol, void* user) {
        const Held held(user);
        auto* self = static_cast<PulseOutput*>(user);
        if (!eol && info) {
            constexpr auto kTakesBack = pa_sink_flags_t(PA_SINK_HARDWARE | PA_SINK_DYNAMIC_LATENCY);
            self->restsLong_ = self->pipeWire_ || (info->flags & kTakesBack) == kTakesBack;
            // Moved from a sound card's sink onto a null sink while resting long: short again.
            if (!self->restsLong_ && self->latency_ == Latency::Resting && streamUp(self->stream_))
                self->setLatency(Latency::Playing);
        }
        pa_threaded_mainloop_signal(self->loop_, 0);
    };
    restsLong_ = false;
    if (pa_operation* op = pa_context_get_server_info(context_, server, this))
        pa_operation_unref(op);
    return pa_context_get_sink_info_by_index(context_, pa_stream_get_device_index(stream_), sink, this);
}

void PulseOutput::onMoved(pa_stream*, void* user)
{
    const Held held(user);
    if (pa_operation* op = static_cast<PulseOutput*>(user)->askSinkKind())
        pa_operation_unref(op);
}

// An operation's answer that a wait under the lock looks for.
void PulseOutput::signalLoop(pa_stream*, int, void* user)
{
    const Held held(user);
    pa_threaded_mainloop_signal(static_cast<PulseOutput*>(user)->loop_, 0);
}

// At the open (the lock held): the sink's kind, and a sink that cannot take back what it took
// ahead and runs far ahead now (an idle null sink in the long block it began before the stream
// asked for its latency) played out, so the first play is heard at once. False when the server
// or the stream failed meanwhile.
bool PulseOutput::learnSink()
{
    if (!settle(askSinkKind()) || restsLong_)
        return !failed_.load() && streamUp(stream_);
    if (!settle(pa_stream_update_timing_info(stream_, &PulseOutput::signalLoop, this)))
        return false;
    const pa_timing_info* info = pa_stream_get_timing_info(stream_);
    if (info && info->sink_usec > kAheadMostUs)
        waitUntil([](PulseOutput*) { return false; },
                  int(std::min<pa_usec_t>(info->sink_usec / PA_USEC_PER_MSEC + 1, kAheadWaitMostMs)));
    return !failed_.load() && streamUp(stream_);
}

// The stream came to rest: after a while it asks for a long latency (see kRestAfterUs).
void PulseOutput::restSoon()
{
    if (restTimer_ || latency_ == Latency::Resting || !restsLong_)
        return;
    restTimer_ = pa_context_rttime_new(
        context_, pa_rtclock_now() + kRestAfterUs,
        [](pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* user) {
            const Held held(user);
            auto* self = static_cast<PulseOutput*>(user);
            api->time_free(e);
            self->restTimer_ = nullptr;
            if (self->corked_ && streamUp(self->stream_))
                self->setLatency(Latency::Resting);
        },
        this);
}

// The rest's and a waiting start's timers are let go: the stream starts now, or closes.
void PulseOutput::dropTimers()
{
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    for (pa_time_event** timer : {&restTimer_, &startTimer_})
        if (*timer) {
            api->time_free(*timer);
            *timer = nullptr;
        }
}

// The stream's latency and queue, as the server is to keep them (see kRestSinkMs); the queue's
// length, on which the read point of a request is reckoned, is taken once the server has set it.
void PulseOutput::setLatency(Latency latency)
{
    latency_ = latency;
    const pa_buffer_attr& attr = latency == Latency::Resting ? restAttr_
                                 : latency == Latency::Busy  ? busyAttr_
                                                             : playAttr_;
    const auto set = [](pa_stream* s, int success, void* user) {
        const Held held(user);
        if (const pa_buffer_attr* now = success ? pa_stream_get_buffer_attr(s) : nullptr)
            static_cast<PulseOutput*>(user)->queueFrames_.store(now->tlength / kFrameBytes, std::memory_order_relaxed);
    };
    if (pa_operation* op = pa_stream_set_buffer_attr(stream_, &attr, set, this))
        pa_operation_unref(op);
}

void PulseOutput::noteRead(std::int64_t frame, bool reading)
{
    readAt_ = frame;
    readWhen_ = pa_rtclock_now();
    client_.heard(frame, reading);
}

// A request's word on the read point is as old as its way here (a busy server's thread, this
// thread's wake), and PipeWire's first request after a rewrite asks less by what the rewrite wrote:
// either puts the read point behind where the server reads, and the decks' positions would stand
// still until the next word. A request that puts it back by more than the sink takes at a time
// is doubted once; a second one in a row is the server that read slower (it stood), and is taken.
void PulseOutput::noteRequest(std::int64_t frame)
{
    if (playing_) {
        const std::int64_t reckoned = client_.head() - aheadBy(pa_rtclock_now());
        const bool behind = frame < reckoned - sinkFrames();
        if (behind && !doubted_)
            frame = reckoned;
        doubted_ = behind && !doubted_;
    }
    noteRead(frame);
}

// What the server holds ahead of where it reads by `now`: from what it last told, as if it has
// played on since (it cannot read faster; its word is older than this only by its way here, well
// under the floor). Before it starts it reads nothing, and it starts only on a full start, so a
// wait there cannot run it dry.
std::int64_t PulseOutput::aheadBy(pa_usec_t now) const
{
    if (!playing_)
        return std::numeric_limits<std::int64_t>::max();
    return client_.head() - readAt_ - std::int64_t((now - std::min(now, readWhen_)) * kRate / PA_USEC_PER_SEC);
}

void PulseOutput::onHoldOver(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* user)
{
    const Held held(user);
    auto* self = static_cast<PulseOutput*>(user);
    api->time_free(e);
    self->holdTimer_ = nullptr;
    if (!self->corked_ && streamUp(self->stream_))
        self->writeRequested();
}

// Poked: a change to rewrite, sound the mix waited for is there, or a start wrote its first piece
// and leaves the rest of what the server asked for to this thread.
void PulseOutput::poked(int fd)
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
    if (corked_ || !streamUp(stream_))
        return;
    if (started_) {
        started_ = false;
        writeRequested();
    }
    if (client_.changePending())
        askWhereItReads();
    else if (holdSince_ >= 0)
        writeRequested();
}

void PulseOutput::askWhereItReads()
{
    if (asking_)
        return; // the answer on its way carries this change too
    if (pa_operation* op = pa_stream_update_timing_info(stream_, &PulseOutput::onTiming, this)) {
        asking_ = true;
        pa_operation_unref(op);
    } else {
        client_.changeCarried(client_.change()); // taken at the head instead
    }
}

void PulseOutput::onTiming(pa_stream*, int success, void* user)
{
    const Held held(user);
    auto* self = static_cast<PulseOutput*>(user);
    self->asking_ = false;
    if (self->corked_ || !streamUp(self->stream_))
        return;
    if (!success) {
        self->client_.changeCarried(self->client_.change());
        return;
    }
    self->rewrite();
    if (self->client_.changePending())
        self->askWhereItReads();
    else if (self->holdSince_ >= 0)
        self->writeRequested();
}

// The server has told where it reads and writes: what it holds from a little past its read
// point on is mixed again, the changes in it, and written over the old at the same place.
void PulseOutput::rewrite()
{
    const std::uint32_t change = client_.change();
    client_.changeCarried(change);
    const pa_timing_info* info = pa_stream_get_timing_info(stream_);
    if (!info || info->write_index_corrupt || info->read_index_corrupt)
        return; // a flush on its way: the next start plays the change anyway
    const std::int64_t head = client_.head();
    std::int64_t read = head - (info->write_index - info->read_index) / std::int64_t(kFrameBytes);
    // The sink has read on since the server told its read point (it renders a block of its
    // latency at a time), and reads on while this mixes: what it took meanwhile cannot be
    // written over, and a rewrite that landed there would start in the middle of its change.
    const pa_usec_t age = std::min<pa_usec_t>(pa_timeval_age(&info->timestamp), kRewriteAgeMostUs);
    read += std::int64_t(age * kRate / PA_USEC_PER_SEC);
    playing_ = info->playing != 0; // in case the server's start notice never came
    noteRead(read);
    measureBlock(info);
    const std::int64_t from = client_.rewind(read + sinkFrames() + (pipeWire_ ? kRewriteMarginPipeWireFrames : kRewriteMarginFrames));
    if (from >= head)
        return;
    // Written at that place in small pieces, each sent as soon as it is mixed: the server's
    // queue now ends where the rewrite has got to, and the sink must not catch up with it.
    const std::int64_t seek = info->write_index - (head - from) * std::int64_t(kFrameBytes);
    write(std::size_t(head - from) * kFrameBytes, seek, kRewritePieceFrames);
}

// How far the server's read point runs ahead of its clock, over the timing answers of a stretch of
// playing: it moves on by a block of the sink's at a time and then stands while the clock goes on,
// so the spread of the two is what the sink takes at a time. Measured in stretches of two seconds
// (the sink's clock may run a little apart from ours), each new one beside the last.
void PulseOutput::measureBlock(const pa_timing_info* info)
{
    if (!info->playing)
        return;
    const double at = double(pa_timeval_load(&info->timestamp)) * kRate / PA_USEC_PER_SEC;
    const double ahead = double(info->read_index / std::int64_t(kFrameBytes)) - at;
    if (!spanOpen_ || at - spanFrom_ > 2.0 * kRate) {
        if (spanOpen_)
            spanLast_ = spanHigh_ - spanLow_;
        spanOpen_ = true;
        spanFrom_ = at;
        spanLow_ = spanHigh_ = ahead;
    }
    spanLow_ = std::min(spanLow_, ahead);
    spanHigh_ = std::max(spanHigh_, ahead);
}

// What the sink takes at a time, as far as it can be trusted: what the stream asked for, or more
// where the sink was seen to take more (it could not go that low). The server's own figure is not
// taken: PipeWire's pulse server gives ten times what its graph runs at.
std::int64_t PulseOutput::sinkFrames() const
{
    const double seen = std::max(spanLast_, spanOpen_ ? spanHigh_ - spanLow_ : 0.0);
    const std::int64_t asked = latency_ == Latency::Busy ? busySinkFrames_ : askedSinkFrames_;
    return std::max(asked, std::int64_t(std::min(seen, double(kRate) / 4)));
}

// The stream starts again, or ran dry: the server's read point and clock are compared afresh.
void PulseOutput::restartMeasure()
{
    if (spanOpen_)
        spanLast_ = std::max(spanLast_, spanHigh_ - spanLow_);
    spanOpen_ = false;
}

// The server set the queue's length: at the connection, and again when the stream moves to
// another sink.
void PulseOutput::onBufferAttr(pa_stream* s, void* user)
{
    const Held held(user);
    if (const pa_buffer_attr* attr = pa_stream_get_buffer_attr(s))
        static_cast<PulseOutput*>(user)->queueFrames_.store(attr->tlength / kFrameBytes, std::memory_order_relaxed);
}

void PulseOutput::onUnderflow(pa_stream*, void* user)
{
    const Held held(user);
    auto* self = static_cast<PulseOutput*>(user);
    self->underruns_.fetch_add(1, std::memory_order_relaxed);
    // The server has played all it had and waits for a start's worth of sound again; the decks'
    // positions hold meanwhile.
    self->playing_ = false;
    self->restartMeasure();
    self->noteRead(self->client_.head(), false);
}

// Waits (the lock held) until done() or a failure, `ms` at most.
bool PulseOutput::waitUntil(bool (*done)(PulseOutput*), int ms)
{
    timedOut_ = false;
    const auto timeout = [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
        const Held held(user);
        auto* self = static_cast<PulseOutput*>(user);
        self->timedOut_ = true;
        pa_threaded_mainloop_signal(self->loop_, 0);
    };
    pa_time_event* timer = pa_context_rttime_new(context_, pa_rtclock_now() + pa_usec_t(ms) * PA_USEC_PER_MSEC,
                                                 timeout, this);
    while (!done(this) && !failed_.load() && !timedOut_ && timer) {
        lockLetGo(this);
        pa_threaded_mainloop_wait(loop_);
        lockTaken(this);
    }
    if (timer)
        pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    return done(this) && !failed_.load();
}

bool PulseOutput::open(const PulseRoute& route, int bufferMs, const QString& name)
{
    close();
    failed_ = false;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_)
        return false;
    pa_threaded_mainloop_set_name(loop_, QByteArray("qn-pulse " + name.toUtf8()).left(15).constData());
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Quenlow");
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Quenlow", props);
    if (!context_ || pa_threaded_mainloop_start(loop_) < 0) {
        pa_proplist_free(props);
        close();
        return false;
    }
    pa_threaded_mainloop_lock(loop_);
    lockTaken(this);
    pa_context_set_state_callback(context_, &PulseOutput::onContextState, this);
    // Never starts a server of its own: a device whose server is gone is a lost device.
    bool ok = pa_context_connect(context_, route.server.isEmpty() ? nullptr : route.server.constData(),
                                 PA_CONTEXT_NOAUTOSPAWN, nullptr)
                  >= 0
              && waitUntil([](PulseOutput* self) { return contextUp(self->context_); }, kConnectWaitMs);
    if (ok) {
        const pa_sample_spec format {PA_SAMPLE_FLOAT32NE, kRate, 2};
        stream_ = pa_stream_new_with_proplist(context_, QByteArray("Player " + name.toUtf8()).constData(), &format,
                                              nullptr, props);
        ok = stream_ != nullptr;
    }
    pa_proplist_free(props);
    if (ok) {
        pa_stream_set_state_callback(stream_, &PulseOutput::onStreamState, this);
        pa_stream_set_write_callback(stream_, &PulseOutput::onWrite, this);
        pa_stream_set_underflow_callback(stream_, &PulseOutput::onUnderflow, this);
        pa_stream_set_started_callback(stream_, &PulseOutput::onStarted, this);
        pa_stream_set_buffer_attr_callback(stream_, &PulseOutput::onBufferAttr, this);
        pa_stream_set_moved_callback(stream_, &PulseOutput::onMoved, this);
        // While it plays, the sink runs at a quarter buffer (5 ms at the usual 20 ms), the stream's
        // queue on the server is topped up each time 150 ms of it (or three quarters of a buffer)
        // has played: the server splits a latency of twice both between them. A wake of this
        // thread costs several times the mixing it does (the server's protocol, the switch into
        // this thread and the wake of the server's), so it wakes some seven times a second; a
        // change is heard at once all the same, rewritten (see the header). The sink's part keeps
        // a sound card's sink out of its smallest latency, where it is most easily starved. The
        // server starts the stream (and starts it again after it ran dry) once what a start writes
        // is queued: a start that waits for its song to be decoded does not play a few frames and
        // run dry. At rest the stream asks for a long latency instead (see kRestSinkMs); it is
        // made at rest.
        const auto bytesOf = [](int ms) { return std::uint32_t(std::max(1, kRate * ms / 1000) * kFrameBytes); };
        const int sinkMs = std::max(1, bufferMs / 4);
        askedSinkFrames_ = std::int64_t(kRate) * sinkMs / 1000;
        spanOpen_ = false;
        spanLast_ = 0;
        const int topUpMs = std::max(kTopUpMs, bufferMs * 3 / 4);
        playAttr_ = pa_buffer_attr {};
        playAttr_.maxlength = std::uint32_t(-1);
        playAttr_.tlength = bytesOf(2 * sinkMs + 2 * topUpMs);
        playAttr_.prebuf = std::uint32_t((askedSinkFrames_ + kLeadMarginFrames + kStartFrames) * kFrameBytes);
        playAttr_.minreq = bytesOf(topUpMs);
        playAttr_.fragsize = std::uint32_t(-1);
        busySinkFrames_ = std::max(askedSinkFrames_, std::int64_t(kRate) * kBusySinkMs / 1000);
        busyAttr_ = playAttr_;
        busyAttr_.tlength = bytesOf(2 * std::max(kBusySinkMs, sinkMs) + 2 * topUpMs);
        busyLookedAt_ = 0;
        restAttr_ = playAttr_;
        restAttr_.tlength = bytesOf(2 * std::max(kRestSinkMs, sinkMs) + 2 * kRestRequestMs);
        restAttr_.minreq = bytesOf(kRestRequestMs);
        latency_ = Latency::Playing;
        auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        // A deck on a named output stays on it: when that output goes (a USB card pulled), the
        // server must not carry the deck onto another one (the pre-listen into the main output),
        // so the stream ends with it and the engine takes it for a lost device. A deck on the
        // server's default output follows the default wherever the server sets it.
        if (!route.sink.isEmpty())
            flags = pa_stream_flags_t(flags | PA_STREAM_DONT_MOVE);
        ok = pa_stream_connect_playback(stream_, route.sink.isEmpty() ? nullptr : route.sink.constData(), &playAttr_,
                                        flags, nullptr, nullptr)
                 >= 0
             && waitUntil([](PulseOutput* self) { return streamUp(self->stream_); }, kConnectWaitMs);
    }
    if (ok) {
        onBufferAttr(stream_, this);
        ok = learnSink();
    }
    if (ok) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        pokeEvent_ = pokeFd_ >= 0 ? api->io_new(
                                   api, pokeFd_, PA_IO_EVENT_INPUT,
                                   [](pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
                                       const Held held(self);
                                       static_cast<PulseOutput*>(self)->poked(fd);
                                   },
                                   this) : nullptr;
        ok = pokeEvent_ != nullptr;
        corked_ = true;
        restSoon();
        playing_ = false;
        asking_ = false;
        holdSince_ = -1;
    }
    lockLetGo(this);
    pa_threaded_mainloop_unlock(loop_);
    if (!ok)
        close();
    return ok;
}

void PulseOutput::close()
{
    if (!loop_)
        return;
    pa_threaded_mainloop_lock(loop_);
    lockTaken(this);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    if (pokeEvent_)
        api->io_free(pokeEvent_);
    pokeEvent_ = nullptr;
    if (holdTimer_)
        api->time_free(holdTimer_);
    holdTimer_ = nullptr;
    dropTimers();
    starting_ = false;
    if (stream_) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
        pa_stream_set_started_callback(stream_, nullptr, nullptr);
        pa_stream_set_buffer_attr_callback(stream_, nullptr, nullptr);
        pa_stream_set_moved_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    lockLetGo(this);
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

bool PulseOutput::onItsThread() const { return loop_ && pa_threaded_mainloop_in_thread(loop_); }

// Waits (the lock held) for an operation of the server's, a short while: false when the server or
// the stream failed meanwhile.
bool PulseOutput::settle(pa_operation* op)
{
    if (!op)
        return false;
    pending_ = op;
    waitUntil([](PulseOutput* self) { return pa_operation_get_state(self->pending_) != PA_OPERATION_RUNNING; },
              kResumeWaitMs);
    pending_ = nullptr;
    pa_operation_unref(op);
    return !failed_.load() && contextUp(context_) && streamUp(stream_);
}

bool PulseOutput::resume()
{
    if (!loop_)
        return false;
    pa_threaded_mainloop_lock(loop_);
    lockTaken(this);
    bool ok = !failed_.load() && contextUp(context_) && streamUp(stream_);
    pa_usec_t waitUs = 0;
    starting_ = ok;
    if (ok) {
        dropTimers();
        // A playing stream's latency first (see playLatency()): the server takes it before the start
        // that follows, and what it asks for after the flush is the queue of a playing stream.
        const bool rested = latency_ == Latency::Resting;
        if (const Latency want = playLatency(); want != latency_)
            setLatency(want);
        // What the stream held when it came to rest is silence: dropped, so the new sound is
        // not held back behind it. Waited for, a short while: a server that went away meanwhile
        // fails the resume here, every time, rather than a moment after it said all was well.
        ok = settle(pa_stream_flush(stream_, &PulseOutput::signalLoop, this));
        // A sink that cannot take back what it took ahead at the long latency (a null sink) plays
        // that out first, and a start sent meanwhile would meet it part way (a click, the song's
        // first frames lost): the start waits that long (see kRestSinkMs).
        if (ok && rested && settle(pa_stream_update_timing_info(stream_, &PulseOutput::signalLoop, this)))
            if (const pa_timing_info* info = pa_stream_get_timing_info(stream_))
                waitUs = std::min<pa_usec_t>(info->sink_usec, pa_usec_t(kRestSinkMs) * PA_USEC_PER_MSEC);
    }
    if (ok) {
        corked_ = true;
        playing_ = false;
        holdSince_ = -1;
        restartMeasure();
        client_.started();
        if (waitUs > pa_usec_t(kLeadMarginFrames) * PA_USEC_PER_SEC / kRate)
            startTimer_ = pa_context_rttime_new(
                context_, pa_rtclock_now() + waitUs,
                [](pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* user) {
                    const Held held(user);
                    auto* self = static_cast<PulseOutput*>(user);
                    api->time_free(e);
                    self->startTimer_ = nullptr;
                    if (streamUp(self->stream_) && !self->begin())
                        self->failed_.store(true, std::memory_order_release);
                },
                this);
        else
            ok = begin();
    }
    starting_ = starting_ && ok;
    lockLetGo(this);
    pa_threaded_mainloop_unlock(loop_);
    return ok;
}

// The first sound goes with the start, behind silence as long as the sink takes at a time and a
// little more: the server starts a stream on a running sink up to a block of the sink's past its
// first frames (the sink rewinds to take it in at once), and without the silence those would be
// the start of the fade-in, a click.
bool PulseOutput::begin()
{
    starting_ = false;
    const std::int64_t lead = sinkFrames() + kLeadMarginFrames;
    noteRead(client_.head() - lead);
    static const float silence[1024 * 2] {};
    bool ok = true;
    for (std::int64_t left = lead; ok && left > 0; left -= 1024)
        ok = pa_stream_write(stream_, silence, std::size_t(std::min<std::int64_t>(left, 1024)) * kFrameBytes, nullptr, 0,
                             PA_SEEK_RELATIVE)
             == 0;
    corked_ = false;
    write(kStartFrames * kFrameBytes, -1, kStartFrames);
    if (corked_)
        return ok; // the first piece found nothing to play: at rest again
    pa_operation* uncork = pa_stream_cork(stream_, 0, nullptr, nullptr);
    ok = ok && uncork != nullptr;
    if (uncork)
        pa_operation_unref(uncork);
    corked_ = !ok;
    // The server asked for the rest of its queue before the start: this thread writes it.
    started_ = ok;
    const std::uint64_t one = 1;
    if (ok && pokeFd_ >= 0)
        [[maybe_unused]] const ssize_t n = ::write(pokeFd_, &one, sizeof one);
    return ok;
}

} // namespace audio

