// The outputs an engine plays to: a device (through libpulse where a pulse server serves it, an
// output of that server among them; through PortAudio otherwise), the silent output paced by the
// clock, or the manual clock of tests and benchmarks; starting and stopping them with the decoder.
#include "platform/audio/engineimpl.h"
#include "platform/audio/portaudiohost.h"
#include "platform/audio/serveroutputs.h"

#include <pa_linux_alsa.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sched.h>

namespace audio {
namespace {

const char* const kSilentName = "No sound (silent)";

// Real-time scheduling for the calling thread, where the system allows it, so a busy machine
// does not make the sound late. False when refused; the thread then runs as it was.
bool askRealtime()
{
    sched_param param {};
    param.sched_priority = 10;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

// The route of PortAudio's device when it is an ALSA device a pulse server serves.
std::optional<PulseRoute> routeOfDevice(int device)
{
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    const PaHostApiInfo* api = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
    if (!api || api->type != paALSA)
        return std::nullopt;
    return pulseRouteOf(QString::fromLocal8Bit(info->name));
}

// The server's outputs as the list shows them, after the system's devices `taken`: by their
// descriptions, and where one would read like another entry (two cards of one make, a sink
// described as "pulse"), with the sink's name beside it, so no two entries look the same.
std::vector<DeviceEntry> serverEntries(const std::vector<ServerOutput>& sinks, const QStringList& taken)
{
    std::vector<DeviceEntry> entries;
    for (const ServerOutput& sink : sinks) {
        const auto same = std::count_if(sinks.begin(), sinks.end(),
                                        [&](const ServerOutput& o) { return o.description == sink.description; });
        QString name = sink.description;
        if (same > 1 || taken.contains(name) || name == QLatin1String(kSilentName))
            name += QStringLiteral(" (%1)").arg(QString::fromUtf8(sink.name));
        entries.push_back({name, QString::fromUtf8(sink.name)});
    }
    return entries;
}

// The server's outputs as the device list last showed them: a driver number past the system's
// devices means the output at that place of that list (the one the dialog or the start-up chose),
// whatever the server lists a moment later (an output added, or no answer in time, which would
// have made the number mean another output, or the silent one).
std::mutex listedMutex;
std::optional<std::vector<ServerOutput>> listedOutputs; // none before the first list

std::vector<ServerOutput> listServerOutputs()
{
    std::vector<ServerOutput> sinks = serverOutputs();
    std::lock_guard lock(listedMutex);
    listedOutputs = sinks;
    return sinks;
}

std::vector<ServerOutput> lastListedServerOutputs()
{
    {
        std::lock_guard lock(listedMutex);
        if (listedOutputs)
            return *listedOutputs;
    }
    return listServerOutputs();
}

} // namespace

std::vector<DeviceEntry> outputDevices()
{
    std::vector<DeviceEntry> list;
    QStringList names;
    if (pa::acquire()) {
        for (const auto& d : pa::outputDevices()) {
            list.push_back({d.name, {}});
            names << d.name;
        }
        pa::release();
    }
    for (DeviceEntry& e : serverEntries(listServerOutputs(), names))
        list.push_back(std::move(e));
    list.push_back({QString::fromLatin1(kSilentName), {}});
    return list;
}

QStringList outputDeviceNames()
{
    QStringList names;
    for (const DeviceEntry& e : outputDevices())
        names << e.name;
    return names;
}

// Names the calling thread after its engine, so a profiler or a debugger tells them apart.
void SoundEngine::Impl::nameThread(const char* what)
{
    const QByteArray n = (QByteArrayLiteral("qn-") + what + ' ' + name.toUtf8()).left(15);
    pthread_setname_np(pthread_self(), n.constData());
}

int SoundEngine::Impl::paCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                                  PaStreamCallbackFlags flags, void* user)
{
    auto* self = static_cast<Impl*>(user);
    if (self->realtime.load(std::memory_order_relaxed) == 0) {
        // The first callback since the stream started: did the host give it real time?
        int policy = SCHED_OTHER;
        sched_param param {};
        pthread_getschedparam(pthread_self(), &policy, &param);
        self->realtime.store(policy == SCHED_FIFO || policy == SCHED_RR ? 1 : -1, std::memory_order_relaxed);
    }
    const std::uint32_t gate = self->outputGate.load(std::memory_order_seq_cst);
    self->render(static_cast<float*>(output), int(frames));
    if (flags & paOutputUnderflow)
        self->underrunCount.fetch_add(1, std::memory_order_relaxed);
    // Nothing has played for longer than the device's buffer, so it holds only silence: the
    // stream stops at once, without playing that out, until the interface thread starts it again.
    return self->rest(gate) ? paAbort : paContinue;
}

// The silent output: mixes one period at a time, paced by the clock, and sleeps while
// nothing plays.
void SoundEngine::Impl::paceLoop(int periodFrames)
{
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(std::int64_t(periodFrames) * 1000000000 / kRate);
    const auto slack = std::chrono::milliseconds(bufferMs);
    // Like a sound card's callback, the pacing runs at real-time priority where the
    // system allows it.
    nameThread("silent");
    askRealtime();
    auto next = clock::now();
    std::vector<float> buf(size_t(periodFrames) * 2);
    while (pacing.load(std::memory_order_relaxed)) {
        const std::uint32_t gate = outputGate.load(std::memory_order_seq_cst);
        render(buf.data(), periodFrames);
        if (rest(gate)) {
            std::unique_lock lock(paceMutex);
            paceWake.wait(lock, [this] { return !outputResting() || !pacing.load(); });
            next = clock::now();
            continue;
        }
        next += period;
        const auto now = clock::now();
        if (now > next + slack) {
            // Fell further behind than the buffer holds: a device would have run dry.
            underrunCount.fetch_add(1, std::memory_order_relaxed);
            next = now;
        }
        std::this_thread::sleep_until(next);
    }
}

bool SoundEngine::Impl::rest(std::uint32_t seen)
{
    return quietFrames >= restAfter && (seen & 1) == 0
           && outputGate.compare_exchange_strong(seen, seen | 1, std::memory_order_seq_cst);
}

// Called after whatever gives the audio thread something to do (a play, a resume, a move) has
// been stored. The wake is counted first, so an audio thread that read the gate before the
// change does not stop on the strength of a block that missed it; an output already resting
// is started.
bool SoundEngine::Impl::wakeOutput()
{
    const std::uint32_t was = outputGate.fetch_add(2, std::memory_order_seq_cst);
    if ((was & 1) == 0)
        return true;
    if (pacer.joinable()) {
        {
            std::lock_guard lock(paceMutex);
            outputGate.fetch_and(~1u, std::memory_order_seq_cst);
        }
        paceWake.notify_one();
        return true;
    }
    if (output != Output::Device)
        return false;
    // A pulse stream is simply started again while its server is there.
    if (pulse && startDevice())
        return true;
    // Otherwise the device is opened afresh: a device that went away while it rested (a sound
    // server ended, an interface unplugged) then fails the open cleanly, where PortAudio's ALSA
    // host would hang in the start of the old stream, and a server started again meanwhile plays.
    closeDevice();
    if (openDevice() != ErrNone)
        return false;
    return !pulse || startDevice();
}

// Starts the device stream once it is open.
bool SoundEngine::Impl::startDevice()
{
    watchSeq = callbackSeq.load();
    watchSince = std::chrono::steady_clock::now();
    if (pulse) // the output's thread asks for sound only once the gate is open
        return pulse->resume();
    pa::QuietConsole quiet;
    realtime.store(0, std::memory_order_relaxed);
    outputGate.fetch_and(~1u, std::memory_order_seq_cst);
    PaError rc = Pa_StartStream(pa);
    if (rc != paNoError && paRealtime) {
        // Where real time is refused the ALSA host may fail the start itself rather than go on
        // without it: then it starts without, and the first callback tells it was refused.
        PaAlsa_EnableRealtimeScheduling(pa, 0);
        paRealtime = false;
        rc = Pa_StartStream(pa);
    }
    if (rc != paNoError) {
        outputGate.fetch_or(1u, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

int SoundEngine::Impl::start(unsigned /*flags*/)
{
    underrunCount.store(0);
    mixFrame = 0;
    barrier = 0;
    markCount = 0;
    mixedTo.store(0);
    readFrame.store(0);
    readShown.store(0);
    reading.store(false);
    changeDone.store(changeSeq.load());
    underrunsTold = 0;
    outputGate.store(0);
    restAfter = kFftSize;
    quietFrames = 0;
    historyCount.store(0);
    spectrumOf = kNoSpectrum;
    level.store(0.0f);
    if (manualNext) {
        manual = true;
        queued = manualQueuedNext;
        output = Output::Manual;
        initialized = true;
        error = ErrNone;
        return 1;
    }
    manual = false;

    // Choose the output: a server's output named by its sink, or by number: driver 0 the system
    // default, n the n-th device of the list (the system's devices, then the pulse server's
    // outputs), after them the silent output. The server's outputs are those the list last showed
    // (asked for when none was shown yet).
    std::vector<pa::OutputDevice> devices;
    int device = -1;
    std::optional<PulseRoute> route;
    if (!driverSink.isEmpty())
        route = PulseRoute {QByteArray(), driverSink};
    else
        paHeld = pa::acquire();
    if (paHeld)
        devices = pa::outputDevices();
    const int sinksFrom = int(devices.size()) + 1;
    bool silent = false;
    if (route) {
        // named: no list to look it up in
    } else if (driver == 0) {
        device = paHeld ? pa::defaultOutputDevice() : -1;
        silent = device < 0; // no sound card: the program still runs
    } else if (driver >= 1 && driver < sinksFrom) {
        device = devices[size_t(driver - 1)].index;
    } else if (driver >= sinksFrom) {
        const std::vector<ServerOutput> sinks = lastListedServerOutputs();
        const int silentDriver = sinksFrom + int(sinks.size());
        if (driver < silentDriver) {
            route = PulseRoute {QByteArray(), sinks[size_t(driver - sinksFrom)].name};
        } else if (driver == silentDriver) {
            silent = true;
        } else {
            releasePa();
            return fail(ErrInit);
        }
    } else {
        releasePa();
        return fail(ErrInit);
    }

    if (silent) {
        releasePa();
        output = Output::Silent;
        pacing = true;
        const int period = std::max(32, kRate * bufferMs / 2000);
        pacer = std::thread([this, period] { paceLoop(period); });
    } else {
        paDevice = device;
        pulseRoute = route ? route : routeOfDevice(device);
        queued = pulseRoute.has_value();
        if (pulseRoute)
            releasePa(); // the pulse output needs nothing of PortAudio
        if (const int code = openDevice(); code != ErrNone) {
            releasePa();
            if (!route || !waitForSink)
                return fail(code);
            // The named output is not there: the engine waits for it as for a lost device, at
            // rest, and the next play opens it when it can.
            outputGate.fetch_or(1u, std::memory_order_seq_cst);
            lost = true;
        }
        output = Output::Device;
    }

    decoding = true;
    decoder = std::thread([this] { decodeLoop(); });
    initialized = true;
    error = ErrNone;
    return 1;
}

void SoundEngine::Impl::releasePa()
{
    if (paHeld) {
        pa::release();
        paHeld = false;
    }
}

int SoundEngine::Impl::openDevice()
{
    if (pulseRoute)
        return openPulse();
    const PaDeviceInfo* info = Pa_GetDeviceInfo(paDevice);
    if (!info || info->maxOutputChannels < 2)
        return ErrOutputFormat;
    PaStreamParameters params {};
    params.device = paDevice;
    params.channelCount = 2;
    params.sampleFormat = paFloat32;
    params.suggestedLatency = bufferMs / 1000.0;
    // On ALSA the buffer is cut into two periods, the fewest it can have: each period is a
    // wakeup of the callback and, behind a sound server, of its client thread and the server,
    // and these wakeups are most of what playing costs. (Left to itself PortAudio takes four.)
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    const bool alsa = api && api->type == paALSA;
    const unsigned long period = alsa ? unsigned(std::max(64, kRate * bufferMs / 2000)) : paFramesPerBufferUnspecified;
    pa::QuietConsole quiet;
    const PaError rc = Pa_OpenStream(&pa, nullptr, &params, kRate, period, paNoFlag, &Impl::paCallback, this);
    if (rc != paNoError) {
        pa = nullptr;
        return rc == paDeviceUnavailable ? ErrAllocated : ErrInit;
    }
    paFinished = false;
    paClosing = false;
    outputGate.fetch_or(1u); // stopped until started
    Pa_SetStreamFinishedCallback(pa, &Impl::paStreamFinished);
    // The callback runs at real-time priority where the system allows it (the ALSA host asks
    // for it when the thread starts, and quietly goes without where it is refused), so a busy
    // machine does not starve the sound.
    paRealtime = alsa;
    if (alsa)
        PaAlsa_EnableRealtimeScheduling(pa, 1);
    // It rests once the device, and a sound server behind it, can hold nothing but silence:
    // the stop throws away what they have not played yet, so the last sound must be well gone.
    restAfter = kFftSize;
    if (const PaStreamInfo* stream = Pa_GetStreamInfo(pa))
        restAfter = std::max<std::uint64_t>(kFftSize, std::uint64_t(stream->outputLatency * kRate)) + kRate / 5;
    // Started at once, so a device that cannot play fails the init; it comes to rest by itself.
    if (!startDevice()) {
        closeDevice();
        return ErrInit;
    }
    return ErrNone;
}

// A device a pulse server serves: connected and its stream made, at rest until the first play.
int SoundEngine::Impl::openPulse()
{
    outputGate.fetch_or(1u, std::memory_order_seq_cst);
    realtime.store(0, std::memory_order_relaxed);
    pulse = std::make_unique<PulseOutput>(pulseHooks, underrunCount, pokeFd);
    if (!pulse->open(*pulseRoute, bufferMs, name)) {
        pulse.reset(); // a failed open has closed it, its thread gone
        return ErrInit;
    }
    // It rests once the server can hold nothing but silence of ours (the rest drops the rest).
    restAfter = std::max<std::uint64_t>(kFftSize, pulse->bufferFrames()) + kRate / 5;
    return ErrNone;
}

// The pulse output's thread asks for sound: mixed straight into the server's buffer.
int SoundEngine::Impl::PulseHooks::fill(float* out, int frames, bool mayHold, bool& rest)
{
    const std::uint32_t gate = e.outputGate.load(std::memory_order_seq_cst);
    if (gate & 1) {
        // A request that crossed the stream's rest: silence, which the next start drops.
        std::fill(out, out + frames * 2, 0.0f);
        return frames;
    }
    // Real time is asked for by the output's own thread only: the first sound of a start is
    // mixed on the thread calling play (the interface's), which must stay as it is.
    if (e.realtime.load(std::memory_order_relaxed) == 0 && e.pulse && e.pulse->onItsThread())
        e.realtime.store(askRealtime() ? 1 : -1, std::memory_order_relaxed);
    const int done = e.mixQueued(out, frames, mayHold);
    rest = done == frames && e.rest(gate);
    return done;
}

std::int64_t SoundEngine::Impl::PulseHooks::rewind(std::int64_t frame) { return e.rewindTo(frame); }

void SoundEngine::Impl::PulseHooks::heard(std::int64_t frame, bool playing)
{
    frame = std::clamp<std::int64_t>(frame, 0, e.mixFrame);
    const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
    e.clockSeq.fetch_add(1, std::memory_order_acq_rel);
    e.readFrame.store(frame, std::memory_order_relaxed);
    e.readAtNs.store(ns, std::memory_order_relaxed);
    e.reading.store(playing, std::memory_order_relaxed);
    e.clockSeq.fetch_add(1, std::memory_order_release);
    // The rings are let go of only while the output plays: once it has come to rest (the word
    // that it rests comes with the last fill), the interface thread may take a move itself and
    // set the stream's place in its ring meanwhile (see outputGate).
    if (!e.outputResting())
        e.release(frame);
}

bool SoundEngine::Impl::PulseHooks::changePending()
{
    return e.changeSeq.load(std::memory_order_acquire) != e.changeDone.load(std::memory_order_relaxed);
}

std::uint32_t SoundEngine::Impl::PulseHooks::change() { return e.changeSeq.load(std::memory_order_acquire); }

void SoundEngine::Impl::PulseHooks::changeCarried(std::uint32_t change)
{
    e.changeDone.store(change, std::memory_order_relaxed);
}

// The stream starts again afresh (under the output's lock, no mixing meanwhile): what the server
// held is gone, so nothing before this frame is rewritten, and the changes made while it rested
// are in what is mixed next.
void SoundEngine::Impl::PulseHooks::started()
{
    e.barrier = e.mixFrame;
    e.changeDone.store(e.changeSeq.load(std::memory_order_acquire), std::memory_order_relaxed);
    e.outputGate.fetch_and(~1u, std::memory_order_seq_cst);
}

bool SoundEngine::Impl::deviceEnded() const
{
    return paFinished.load(std::memory_order_relaxed) || (pulse && pulse->failed());
}

void SoundEngine::Impl::closeDevice()
{
    // The output's thread reads `pulse` (PulseHooks::fill()), and reset() clears the pointer before
    // the output it deletes stops that thread: the output is closed first, its thread with it.
    if (pulse)
        pulse->close();
    pulse.reset();
    if (!pa)
        return;
    paClosing = true; // not a loss
    pa::QuietConsole quiet;
    Pa_AbortStream(pa);
    Pa_CloseStream(pa);
    pa = nullptr;
}

// PortAudio ends a stream on its own when the device failed (unplugged, its sound server gone),
// and when the callback brought it to rest.
void SoundEngine::Impl::paStreamFinished(void* user)
{
    auto* self = static_cast<Impl*>(user);
    if (!self->paClosing.load() && !self->outputResting())
        self->paFinished.store(true);
}

// Whether the output has stopped working. Cheap enough for every tick of the decks' timers:
// PortAudio's word comes through an atomic flag, and the device is asked only when its
// callbacks have stayed away for half a second.
bool SoundEngine::Impl::outputGone()
{
    if (loseForTest.load(std::memory_order_relaxed))
        return true;
    if (output != Output::Device || (!pa && !pulse))
        return false;
    if (outputResting())
        return false; // no callbacks to miss: a loss shows when the device is started again
    if (deviceEnded())
        return true;
    const std::uint64_t seq = callbackSeq.load(std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    if (seq != watchSeq) {
        watchSeq = seq;
        watchSince = now;
        return false;
    }
    if (now - watchSince < std::chrono::milliseconds(500))
        return false;
    // A device calls many times a second: one that stopped and says it is not running has
    // failed, and so has one that says it is but has not called for two seconds (a server that
    // hangs fails no connection).
    if (pulse)
        return now - watchSince > std::chrono::seconds(2);
    return Pa_IsStreamActive(pa) != 1 || now - watchSince > std::chrono::seconds(2);
}

// The output is gone: every channel of this engine stops where it was, and the loss waits to
// be told.
void SoundEngine::Impl::noticeLoss()
{
    lost = true;
    lossUntold = true;
    error = ErrPlay;
    for (auto& s : streams)
        if (s->slot >= 0)
            detach(s.get());
}

// Before a play on a lost output: the device is opened again (the sound server may be back,
// the interface plugged in again). False when it still cannot be used.
bool SoundEngine::Impl::restoreOutput()
{
    if (goneForTest)
        return false;
    if (output == Output::Device) {
        closeDevice();
        if (openDevice() != ErrNone)
            return false;
    }
    loseForTest = false;
    lost = false;
    return true;
}

bool SoundEngine::Impl::sound()
{
    if (wakeOutput())
        return true;
    noticeLoss(); // the device went away while it rested
    return false;
}

void SoundEngine::Impl::tellTroubles()
{
    if (realtime.load(std::memory_order_relaxed) < 0 && !realtimeTold) {
        realtimeTold = true;
        qWarning("sound engine %s: the system does not allow real-time scheduling for the sound; "
                 "on a busy computer it may drop out",
                 qUtf8Printable(name));
    }
    // The first underrun is told at once; more of them at most once a minute, counted.
    const std::uint64_t underruns = underrunCount.load(std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    if (underruns > underrunsTold && (underrunsTold == 0 || now - underrunToldAt >= std::chrono::minutes(1))) {
        qWarning("sound engine %s: the sound ran dry (%llu underruns since the device was opened); "
                 "the computer was too busy to keep it going",
                 qUtf8Printable(name), static_cast<unsigned long long>(underruns));
        underrunsTold = underruns;
        underrunToldAt = now;
    }
}

// Stops the output and the decoder and frees every stream.
void SoundEngine::Impl::shutdown()
{
    closeDevice();
    if (pacer.joinable()) {
        {
            std::lock_guard lock(paceMutex);
            pacing = false;
        }
        paceWake.notify_all();
        pacer.join();
    }
    releasePa();
    if (decoder.joinable()) {
        {
            std::lock_guard lock(decodeMutex);
            decoding = false;
        }
        decodeWake.notify_all();
        decoder.join();
    }
    for (auto& slot : channelSlots)
        slot.store(nullptr);
    streams.clear();
    parked.clear(); // no audio thread is left to use them
    output = Output::None;
    paDevice = -1;
    pulseRoute.reset();
    queued = false;
    paFinished = false;
    loseForTest = false;
    goneForTest = false;
    lost = false;
    lossUntold = false;
    initialized = false;
    manual = false;
    dspActive = false;
}

} // namespace audio
