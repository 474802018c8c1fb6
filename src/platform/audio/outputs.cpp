// The outputs an engine plays to: a PortAudio device, the silent output paced by the clock,
// or the manual clock of tests and benchmarks; starting and stopping them with the decoder.
#include "platform/audio/engineimpl.h"
#include "platform/audio/portaudiohost.h"

#include <algorithm>
#include <chrono>
#include <pthread.h>
#include <sched.h>

namespace audio {
namespace {

const char* const kSilentName = "No sound (silent)";

} // namespace

QStringList outputDeviceNames()
{
    QStringList names;
    if (pa::acquire()) {
        for (const auto& d : pa::outputDevices())
            names << d.name;
        pa::release();
    }
    names << QString::fromLatin1(kSilentName);
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
    self->render(static_cast<float*>(output), int(frames));
    if (flags & paOutputUnderflow)
        self->underrunCount.fetch_add(1, std::memory_order_relaxed);
    return paContinue;
}

// The silent output: mixes one period at a time, paced by the clock.
void SoundEngine::Impl::paceLoop(int periodFrames)
{
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(std::int64_t(periodFrames) * 1000000000 / kRate);
    const auto slack = std::chrono::milliseconds(bufferMs);
    // Like a sound card's callback, the pacing runs at real-time priority where the
    // system allows it, so a busy machine does not make it late; elsewhere it runs as is.
    nameThread("silent");
    sched_param param {};
    param.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    auto next = clock::now();
    std::vector<float> buf(size_t(periodFrames) * 2);
    while (pacing.load(std::memory_order_relaxed)) {
        render(buf.data(), periodFrames);
        if (resting()) {
            // Nothing plays: a period now and then keeps the callback count moving (parked
            // streams wait on it), and anything that starts sound wakes the output at once.
            std::unique_lock lock(paceMutex);
            paceWake.wait_for(lock, kIdlePeriod, [this] { return paceKick || !pacing.load(); });
            paceKick = false;
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

void SoundEngine::Impl::wakeOutput()
{
    if (!pacer.joinable())
        return;
    {
        std::lock_guard lock(paceMutex);
        paceKick = true;
    }
    paceWake.notify_one();
}

int SoundEngine::Impl::start(unsigned /*flags*/)
{
    underrunCount.store(0);
    quietFrames = 0;
    historyCount.store(0);
    spectrumOf = kNoSpectrum;
    level.store(0.0f);
    if (manualNext) {
        manual = true;
        output = Output::Manual;
        initialized = true;
        error = ErrNone;
        return 1;
    }
    manual = false;

    // Choose the output: driver 0 the system default, n the n-th device of the list,
    // after them the silent output.
    paHeld = pa::acquire();
    std::vector<pa::OutputDevice> devices;
    int device = -1;
    if (paHeld)
        devices = pa::outputDevices();
    const int silentDriver = int(devices.size()) + 1;
    bool silent = false;
    if (driver == 0) {
        device = paHeld ? pa::defaultOutputDevice() : -1;
        silent = device < 0; // no sound card: the program still runs
    } else if (driver >= 1 && driver < silentDriver) {
        device = devices[size_t(driver - 1)].index;
    } else if (driver == silentDriver) {
        silent = true;
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
        if (const int code = openDevice(); code != ErrNone) {
            releasePa();
            return fail(code);
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
    const PaDeviceInfo* info = Pa_GetDeviceInfo(paDevice);
    if (!info || info->maxOutputChannels < 2)
        return ErrOutputFormat;
    PaStreamParameters params {};
    params.device = paDevice;
    params.channelCount = 2;
    params.sampleFormat = paFloat32;
    params.suggestedLatency = bufferMs / 1000.0;
    pa::QuietConsole quiet;
    const PaError rc = Pa_OpenStream(&pa, nullptr, &params, kRate, paFramesPerBufferUnspecified, paNoFlag,
                                     &Impl::paCallback, this);
    if (rc != paNoError) {
        pa = nullptr;
        return rc == paDeviceUnavailable ? ErrAllocated : ErrInit;
    }
    paFinished = false;
    paClosing = false;
    Pa_SetStreamFinishedCallback(pa, &Impl::paStreamFinished);
    if (Pa_StartStream(pa) != paNoError) {
        closeDevice();
        return ErrInit;
    }
    watchSeq = callbackSeq.load();
    watchSince = std::chrono::steady_clock::now();
    return ErrNone;
}

void SoundEngine::Impl::closeDevice()
{
    if (!pa)
        return;
    paClosing = true; // not a loss
    pa::QuietConsole quiet;
    Pa_AbortStream(pa);
    Pa_CloseStream(pa);
    pa = nullptr;
}

// PortAudio ends a stream on its own only when the device failed: unplugged, or its sound
// server gone.
void SoundEngine::Impl::paStreamFinished(void* user)
{
    auto* self = static_cast<Impl*>(user);
    if (!self->paClosing.load())
        self->paFinished.store(true);
}

// Whether the output has stopped working. Cheap enough for every tick of the decks' timers:
// PortAudio's word comes through an atomic flag, and the device is asked only when its
// callbacks have stayed away for half a second.
bool SoundEngine::Impl::outputGone()
{
    if (loseForTest.load(std::memory_order_relaxed))
        return true;
    if (output != Output::Device || !pa)
        return false;
    if (paFinished.load(std::memory_order_relaxed))
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
    // failed, and so has one that says it is but has not called for two seconds.
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
    if (output == Output::Device) {
        closeDevice();
        if (openDevice() != ErrNone)
            return false;
    }
    loseForTest = false;
    lost = false;
    return true;
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
    paFinished = false;
    loseForTest = false;
    lost = false;
    lossUntold = false;
    initialized = false;
    manual = false;
    dspActive = false;
}

} // namespace audio
