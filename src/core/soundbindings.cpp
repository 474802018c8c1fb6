#include "core/soundbindings.h"

#include <algorithm>

audio::SoundEngine& EngineA()
{
    static audio::SoundEngine engine(QStringLiteral("A"));
    return engine;
}

audio::SoundEngine& EngineB()
{
    static audio::SoundEngine engine(QStringLiteral("B"));
    return engine;
}

SoundBinding FMod(EngineA());
SoundBinding FMod2(EngineB());

namespace {

// The texts of codes 1 and 2 name the engine's own functions; the rest are shared.
QString soundErrorText(int code, bool engineB)
{
    switch (code) {
    case 0: return QStringLiteral("No errors");
    case 1:
        return engineB ? QStringLiteral("Cannot call this command after FSOUND2_Init.  Call FSOUND2_Close first.")
                       : QStringLiteral("Cannot call this command after FSOUND_Init.  Call FSOUND_Close first.");
    case 2:
        return engineB ? QStringLiteral("This command failed because FSOUND2_Init was not called")
                       : QStringLiteral("This command failed because FSOUND_Init was not called");
    case 3: return QStringLiteral("Error initializing output device.");
    case 4: return QStringLiteral("The output device is already in use and cannot be reused.");
    case 5: return QStringLiteral("Playing the sound failed.");
    case 6:
        return QStringLiteral("Soundcard does not support the features needed for this soundsystem (16bit stereo output)");
    case 7: return QStringLiteral("Error setting cooperative level for hardware.");
    case 8: return QStringLiteral("Error creating hardware sound buffer.");
    case 9: return QStringLiteral("File not found");
    case 10: return QStringLiteral("Unknown file format");
    case 11: return QStringLiteral("Error loading file");
    case 12: return QStringLiteral("Not enough memory ");
    case 13: return QStringLiteral("The version number of this file format is not supported");
    case 14: return QStringLiteral("An invalid parameter was passed to this function");
    case 15: return QStringLiteral("Tried to use an EAX command on a non EAX enabled channel or output.");
    case 16: return QStringLiteral("Failed to allocate a new channel");
    case 17: return QStringLiteral("Recording is not supported on this machine");
    case 18: return QStringLiteral("Required Mediaplayer codec is not installed");
    case 19: return QStringLiteral("An error occured trying to open the specified CD device");
    default: return QStringLiteral("Unknown error");
    }
}

void copySpectrum(audio::SoundEngine& engine, std::vector<float>& values)
{
    const size_t n = std::min<size_t>(512, values.size());
    const float* spectrum = engine.dspGetSpectrum();
    if (spectrum)
        std::copy(spectrum, spectrum + n, values.begin());
}

} // namespace

QString SoundErrorTextA(int code) { return soundErrorText(code, false); }

QString SoundErrorTextB(int code) { return soundErrorText(code, true); }

void GetSpectrumA(std::vector<float>& values) { copySpectrum(EngineA(), values); }

void GetSpectrumB(std::vector<float>& values) { copySpectrum(EngineB(), values); }
