// The program's bindings to its two sound engines: FMod drives engine A (deck PlayerA) and
// FMod2 engine B (deck PlayerB). Each offers the sound operations under the names the rest of
// the program calls them by; a handle from one engine is never passed to the other.
#pragma once

#include "platform/audio/soundengine.h"

#include <QString>
#include <vector>

class SoundBinding {
public:
    explicit SoundBinding(audio::SoundEngine& engine) : e(engine) {}

    int FSOUND_SetDriver(int driver) { return e.setDriver(driver); }
    int FSOUND_SetBufferSize(int ms) { return e.setBufferSize(ms); }
    int FSOUND_Init(int mixRate, int maxChannels, int flags) { return e.init(mixRate, maxChannels, unsigned(flags)); }
    int FSOUND_GetError() const { return e.getError(); }
    void FSOUND_Close() { e.close(); }
    int FSOUND_DSP_GetFFTUnit() const { return e.dspGetFFTUnit(); }
    int FSOUND_DSP_SetActive(int unit, int active) { return e.dspSetActive(unit, active); }
    const float* FSOUND_DSP_GetSpectrum() { return e.dspGetSpectrum(); }
    long FSOUND_Stream_Open(const QString& path, int mode, int offset, int length)
    {
        return long(e.streamOpen(path, unsigned(mode), offset, length));
    }
    int FSOUND_Stream_Play(int channel, long stream) { return e.streamPlay(channel, std::uint32_t(stream)); }
    // The channel starts paused when startPaused is set: set its volume and speed, then resume it.
    int FSOUND_Stream_PlayEx(int channel, long stream, bool startPaused)
    {
        return e.streamPlay(channel, std::uint32_t(stream), startPaused);
    }
    int FSOUND_Stream_Stop(long stream) { return e.streamStop(std::uint32_t(stream)); }
    int FSOUND_Stream_Close(long stream) { return e.streamClose(std::uint32_t(stream)); }
    int FSOUND_Stream_GetLengthMs(long stream) const { return e.streamGetLengthMs(std::uint32_t(stream)); }
    int FSOUND_Stream_GetTime(long stream) const { return e.streamGetTime(std::uint32_t(stream)); }
    int FSOUND_Stream_SetTime(long stream, int ms) { return e.streamSetTime(std::uint32_t(stream), ms); }
    int FSOUND_SetFrequency(int channel, int hz) { return e.setFrequency(channel, hz); }
    int FSOUND_GetFrequency(int channel) const { return e.getFrequency(channel); }
    int FSOUND_GetPaused(int channel) const { return e.getPaused(channel); }
    int FSOUND_SetPaused(int channel, int paused) { return e.setPaused(channel, paused); }
    int FSOUND_SetVolume(int channel, int volume) { return e.setVolume(channel, volume); }
    void FSOUND_Update() { e.update(); }

    audio::SoundEngine& engine() { return e; }

private:
    audio::SoundEngine& e;
};

// Mode flag of FSOUND_Stream_Open: plain 2D playback.
constexpr int FSOUND_2D = 8192;

// Engine A and engine B, created on first use and alive until the program ends.
audio::SoundEngine& EngineA();
audio::SoundEngine& EngineB();
extern SoundBinding FMod;  // engine A
extern SoundBinding FMod2; // engine B

// The error texts of the engines' error codes; "Unknown error" for any other code.
QString SoundErrorTextA(int code);
QString SoundErrorTextB(int code);

// Copies the engine's spectrum into values[0 .. min(512, size) - 1]; the rest stays as it was.
void GetSpectrumA(std::vector<float>& values);
void GetSpectrumB(std::vector<float>& values);
