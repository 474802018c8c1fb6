#include "platform/audio/pulseoutput.h"

#include <alsa/asoundlib.h>
#include <pulse/pulseaudio.h>

#include <algorithm>

namespace audio {
namespace {

constexpr int kRate = 44100;
constexpr std::size_t kFrameBytes = 2 * sizeof(float);
// How long an open waits for the server: a server that does not answer by then is taken as not
// there, rather than holding the interface thread.
constexpr int kConnectWaitMs = 3000;

QByteArray alsaText(snd_config_t* conf, const char* key)
{
    snd_config_t* node = nullptr;
    const char* text = nullptr;
    if (snd_config_search(conf, key, &node) < 0 || snd_config_get_string(node, &text) < 0 || !text)
        return {};
    return QByteArray(text);
}

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

PulseOutput::PulseOutput(Fill fill, void* user, std::atomic<std::uint64_t>& underruns)
    : fill_(fill), user_(user), underruns_(underruns)
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
    const pa_context_state_t state = pa_context_get_state(c);
    static_cast<PulseOutput*>(user)->noteState(state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED);
}

void PulseOutput::onStreamState(pa_stream* s, void* user)
{
    const pa_stream_state_t state = pa_stream_get_state(s);
    static_cast<PulseOutput*>(user)->noteState(state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED);
}

// The server has room for `bytes` more: the mix goes straight into the buffers it hands out, and
// every byte asked for is written (silence while resting), so the stream never holds more than
// its length.
void PulseOutput::onWrite(pa_stream* s, std::size_t bytes, void* user)
{
    auto* self = static_cast<PulseOutput*>(user);
    while (bytes >= kFrameBytes) {
        void* data = nullptr;
        std::size_t n = bytes;
        if (pa_stream_begin_write(s, &data, &n) < 0 || !data)
            return;
        n = std::min(n, bytes) / kFrameBytes * kFrameBytes;
        if (n == 0) {
            pa_stream_cancel_write(s);
            return;
        }
        const bool rest = self->fill_(self->user_, static_cast<float*>(data), int(n / kFrameBytes));
        if (pa_stream_write(s, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        bytes -= n;
        if (rest) // nothing to play: the server stops asking until resume()
            if (pa_operation* op = pa_stream_cork(s, 1, nullptr, nullptr))
                pa_operation_unref(op);
    }
}

void PulseOutput::onUnderflow(pa_stream*, void* user)
{
    static_cast<PulseOutput*>(user)->underruns_.fetch_add(1, std::memory_order_relaxed);
}

// Waits (the lock held) until done() or a failure, `ms` at most.
bool PulseOutput::waitUntil(bool (*done)(PulseOutput*), int ms)
{
    timedOut_ = false;
    const auto timeout = [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
        auto* self = static_cast<PulseOutput*>(user);
        self->timedOut_ = true;
        pa_threaded_mainloop_signal(self->loop_, 0);
    };
    pa_time_event* timer = pa_context_rttime_new(context_, pa_rtclock_now() + pa_usec_t(ms) * PA_USEC_PER_MSEC,
                                                 timeout, this);
    while (!done(this) && !failed_.load() && !timedOut_ && timer)
        pa_threaded_mainloop_wait(loop_);
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
        // Asked for a latency of two buffers in all, the server splits it: a quarter buffer in
        // its sink, the rest queued from us, topped up each time three quarters of a buffer of it
        // has played. At the usual 20 ms buffer a change (volume, crossfader, pitch, pause) is
        // heard 20 to 40 ms after it is made, as it was through ALSA's pulse plugin, and the
        // thread wakes about 67 times a second. A wake costs several times the mixing it does
        // (the server's protocol, the switch into this thread and the wake of the server's), so
        // a shorter top-up costs more than it gives; the sink's part keeps a sound card's sink out
        // of its smallest latency, where it is most easily starved. The sink runs at that latency
        // even while the stream rests (corked), so an idle one (a null sink's 2 s blocks) plays
        // the first sound of the next play at once.
        const auto bytesOf = [](int ms) { return std::uint32_t(std::max(1, kRate * ms / 1000) * kFrameBytes); };
        pa_buffer_attr attr {};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = bytesOf(2 * bufferMs);
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = bytesOf(bufferMs * 3 / 4);
        attr.fragsize = std::uint32_t(-1);
        const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        ok = pa_stream_connect_playback(stream_, route.sink.isEmpty() ? nullptr : route.sink.constData(), &attr, flags,
                                        nullptr, nullptr)
                 >= 0
             && waitUntil([](PulseOutput* self) { return streamUp(self->stream_); }, kConnectWaitMs);
    }
    if (ok) {
        const pa_buffer_attr* got = pa_stream_get_buffer_attr(stream_);
        bufferFrames_ = got ? got->tlength / kFrameBytes : std::size_t(kRate * bufferMs / 1000);
    }
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
    if (stream_) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
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
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

bool PulseOutput::resume(void (*started)(void* user))
{
    if (!loop_)
        return false;
    pa_threaded_mainloop_lock(loop_);
    bool ok = !failed_.load() && contextUp(context_) && streamUp(stream_);
    if (ok) {
        // What the stream held when it came to rest is silence: dropped, so the new sound is
        // not held back behind it.
        pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr);
        pa_operation* uncork = pa_stream_cork(stream_, 0, nullptr, nullptr);
        ok = flush && uncork;
        for (pa_operation* op : {flush, uncork})
            if (op)
                pa_operation_unref(op);
        if (ok && started)
            started(user_);
    }
    pa_threaded_mainloop_unlock(loop_);
    return ok;
}

} // namespace audio
