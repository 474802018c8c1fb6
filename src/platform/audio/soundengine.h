// One sound engine: an output device, streams decoded ahead of time, channels with volume and
// playback speed, and a spectrum of what the engine is playing.
//
// The program runs two independent engines, one per deck. The interface thread calls them;
// each mixes on its own real-time audio thread. Calls from the interface thread are cheap and
// lock-free, so a 1 ms timer can poll them.
//
// Handles are 32-bit values never reused within a run; 0, stale and other engines' handles are
// harmless no-ops that return 0.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace audio {

// Error codes, as FSOUND_GetError reports them.
enum ErrorCode {
    ErrNone = 0,
    ErrBusy = 1,          // cannot call after Init
    ErrUninitialized = 2, // Init was not called
    ErrInit = 3,          // the output device failed
    ErrAllocated = 4,     // the device is in use
    ErrPlay = 5,
    ErrOutputFormat = 6,
    ErrCooperativeLevel = 7,
    ErrCreateBuffer = 8,
    ErrFileNotFound = 9,
    ErrFileFormat = 10,
    ErrFileBad = 11,
    ErrMemory = 12,
    ErrVersion = 13,
    ErrInvalidParam = 14,
    ErrNoEAX = 15,
    ErrChannelAlloc = 16,
    ErrRecord = 17,
    ErrMediaPlayer = 18,
    ErrCDDevice = 19,
};

// Why a song ended before its natural end: its file was cut short while it played, a read of it
// failed (a disk or a network share gone), or the rest of it could not be decoded (damaged, or
// written over while it played).
enum class EarlyEnd { None, CutShort, Unreadable, Undecodable };

// One device of the engines' list.
struct DeviceEntry {
    QString name; // as the device dialog shows it
    // For an output of the pulse server (PulseAudio's or PipeWire's), the server's name of that
    // sink, which stays the same from one run to the next; empty for every other device.
    QString sink;
};

// The output devices every engine can use, in a stable order: the system's devices as the
// device dialog lists them, then the outputs (sinks) of the pulse server reachable from here, by
// their descriptions, then "No sound (silent)". Driver 0 is the system default device, driver n
// is entry n-1 of this list. Waits a couple of seconds at most for a server that does not answer.
std::vector<DeviceEntry> outputDevices();
// Their names.
QStringList outputDeviceNames();

class SoundEngine {
public:
    explicit SoundEngine(const QString& name);
    ~SoundEngine();
    SoundEngine(const SoundEngine&) = delete;
    SoundEngine& operator=(const SoundEngine&) = delete;

    // --- the operations the program calls (see core/soundbindings.h for their documented names)
    int setDriver(int driver);                          // the output of the next init
    // The output of the next init by its name rather than by its place in a list: the pulse
    // server's output (sink) of that name, wherever the server lists it now. With `wait`, an init
    // that does not find it (unplugged, or no server yet) still succeeds, and the engine waits for
    // it as for a lost device: a play fails with ErrPlay until the output is there, then plays on
    // it; it is never carried onto another output. setDriver() numbers the output again.
    int setDriverSink(const QString& sink, bool wait);
    int setBufferSize(int ms);                          // buffer of the next init; close resets it to 20 ms
    // Nonzero on success. On an engine already running it starts again on the driver chosen
    // now; its streams are closed. The engine always mixes at 44100 Hz.
    int init(int mixRate, int maxSoftwareChannels, unsigned flags);
    int getError() const;
    // What more can be said of the last failed stream open than its error code, for a log line
    // (a sample rate the engine does not play); empty when nothing more.
    QString errorDetail() const;
    void close();                                       // frees everything; harmless twice
    bool isInitialized() const;

    std::uint32_t streamOpen(const QString& path, unsigned mode, int offset, int length); // 0 = cannot play
    // Channel handle, 0 on failure. A play from `paused` makes nothing heard until the channel is
    // resumed: its volume and speed are set first, so its very first sample is mixed with them
    // (a play at once starts at full volume and normal speed).
    int streamPlay(int channel, std::uint32_t stream, bool paused = false);
    int streamStop(std::uint32_t stream);               // rewinds to 0, keeps the stream open
    int streamClose(std::uint32_t stream);              // frees decoder and buffers
    int streamGetLengthMs(std::uint32_t stream) const;
    int streamGetTime(std::uint32_t stream) const;      // source ms the output has played
    int streamSetTime(std::uint32_t stream, int ms);    // clamps to 0..length
    // Whether the stream's song ends (or ended) before its natural end, and why: known from the
    // moment the decoder met it, which is before the position reaches the end; None again after
    // a move, a stop or a play from the start.
    EarlyEnd streamEarlyEnd(std::uint32_t stream) const;

    int setFrequency(int channel, int hz);              // hz/44100 of normal speed
    int getFrequency(int channel) const;                // exactly the last value set
    int getPaused(int channel) const;
    int setPaused(int channel, int paused);
    int setVolume(int channel, int volume);             // 0..255, ramped
    int getVolume(int channel) const;
    void update();                                      // nothing to do: mixing runs on its own

    // The output device stopped working while the engine ran (a USB interface unplugged, the
    // sound server gone). The engine's channels are then stopped where they were and its error
    // is ErrPlay; the next play opens the device again and fails with ErrPlay while it cannot.
    // True once per loss, for the caller to tell the user. Cheap: the decks poll it every tick.
    bool takeOutputLost();

    int dspGetFFTUnit() const;
    int dspSetActive(int unit, int active);
    const float* dspGetSpectrum();                      // 512 magnitudes 0..1

    // --- for tests and benchmarks: a manual clock in place of a device, advanced frame by frame
    // on the calling thread, so minutes of playing take milliseconds.
    void setManualClock(bool on);   // takes effect at the next init
    void advance(int frames);       // renders that many output frames at 44100 Hz
    void advanceMs(int ms);
    // Renders that many frames into out (interleaved stereo), so tests can look at the sound.
    void advanceInto(float* out, int frames);
    // Mean absolute level of the last rendered block after volume, 0..1 (the output level).
    float outputLevel() const;
    // Output buffer underruns counted since init.
    std::uint64_t underruns() const;
    // Holds the audio thread inside its next callback that mixes a channel, as a stalled
    // callback would be (a swapping machine, a suspended thread), until released; for tests
    // of what the interface thread does meanwhile. audioThreadHeld() tells it has stopped there.
    void holdAudioThread(bool hold);
    bool audioThreadHeld() const;
    // The output, whatever it is, behaves as a lost device from now on until the next play; a
    // `lasting` loss fails every play until simulateOutputBack().
    void simulateOutputLoss(bool lasting = false);
    void simulateOutputBack();
    // The output rests: nothing plays, and it makes no callbacks until something does.
    bool outputRests() const;
    // Holds the decoder thread when it next wakes to decode, as a busy machine would, until
    // released; decoderThreadHeld() tells it has stopped there.
    void holdDecoderThread(bool hold);
    bool decoderThreadHeld() const;
    // Makes the decoder thread rest this long after each piece it decodes (zero: not at all), as
    // a busy machine would slow it.
    void slowDecoderThread(std::chrono::microseconds perPiece);

    const QString& name() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace audio
