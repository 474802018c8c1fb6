// The bindings of the two engines: error texts, the spectrum copy and which engine each
// binding drives.
#include "core/soundbindings.h"
#include "support/testutil.h"

#include <gtest/gtest.h>

namespace {

const char* const kSharedTexts[] = {
    "No errors",
    nullptr,
    nullptr,
    "Error initializing output device.",
    "The output device is already in use and cannot be reused.",
    "Playing the sound failed.",
    "Soundcard does not support the features needed for this soundsystem (16bit stereo output)",
    "Error setting cooperative level for hardware.",
    "Error creating hardware sound buffer.",
    "File not found",
    "Unknown file format",
    "Error loading file",
    "Not enough memory ",
    "The version number of this file format is not supported",
    "An invalid parameter was passed to this function",
    "Tried to use an EAX command on a non EAX enabled channel or output.",
    "Failed to allocate a new channel",
    "Recording is not supported on this machine",
    "Required Mediaplayer codec is not installed",
    "An error occured trying to open the specified CD device",
};

// Runs an engine on the manual clock for one test and closes it afterwards.
struct ManualRun {
    explicit ManualRun(audio::SoundEngine& e) : engine(e)
    {
        engine.setManualClock(true);
        engine.init(44100, 32, 2);
        engine.dspSetActive(engine.dspGetFFTUnit(), 1);
    }
    ~ManualRun()
    {
        engine.close();
        engine.setManualClock(false);
    }
    audio::SoundEngine& engine;
};

} // namespace

TEST(SoundErrorText, EveryCodeByteForByteInBothWordings)
{
    for (int code = 0; code < 20; ++code) {
        if (!kSharedTexts[code])
            continue;
        EXPECT_EQ(SoundErrorTextA(code).toUtf8(), QByteArray(kSharedTexts[code])) << code;
        EXPECT_EQ(SoundErrorTextB(code).toUtf8(), QByteArray(kSharedTexts[code])) << code;
    }
    EXPECT_EQ(SoundErrorTextA(1), "Cannot call this command after FSOUND_Init.  Call FSOUND_Close first.");
    EXPECT_EQ(SoundErrorTextB(1), "Cannot call this command after FSOUND2_Init.  Call FSOUND2_Close first.");
    EXPECT_EQ(SoundErrorTextA(2), "This command failed because FSOUND_Init was not called");
    EXPECT_EQ(SoundErrorTextB(2), "This command failed because FSOUND2_Init was not called");
    for (int code : {20, -1, 255, 1 << 30}) {
        EXPECT_EQ(SoundErrorTextA(code), "Unknown error") << code;
        EXPECT_EQ(SoundErrorTextB(code), "Unknown error") << code;
    }
}

TEST(SoundBindings, FModDrivesEngineAAndFMod2EngineB)
{
    EXPECT_EQ(&FMod.engine(), &EngineA());
    EXPECT_EQ(&FMod2.engine(), &EngineB());
    EXPECT_NE(&EngineA(), &EngineB());

    ManualRun a(EngineA());
    const long stream = FMod.FSOUND_Stream_Open(testutil::media("tone10s.mp3"), FSOUND_2D, 0, 0);
    ASSERT_NE(stream, 0);
    EXPECT_EQ(FMod2.FSOUND_Stream_GetLengthMs(stream), 0) << "engine A's handle means nothing to engine B";
    EXPECT_EQ(FMod2.FSOUND_Stream_Open(testutil::media("tone10s.mp3"), FSOUND_2D, 0, 0), 0);
    EXPECT_EQ(FMod2.FSOUND_GetError(), audio::ErrUninitialized);
    EXPECT_NEAR(FMod.FSOUND_Stream_GetLengthMs(stream), 10000, 30);
}

TEST(GetSpectrum, CopiesAtMost512ValuesAndLeavesTheRest)
{
    ManualRun a(EngineA());
    ManualRun b(EngineB());
    const long stream = FMod.FSOUND_Stream_Open(testutil::media("tone86hz_full.mp3"), FSOUND_2D, 0, 0);
    FMod.FSOUND_Stream_Play(-1, stream);
    EngineA().advanceMs(300);
    const float* spectrum = EngineA().dspGetSpectrum();
    const std::vector<float> expected(spectrum, spectrum + 512);
    ASSERT_GT(expected[2], 0.5f);

    std::vector<float> small(100, -1.0f);
    GetSpectrumA(small);
    EXPECT_EQ(small, std::vector<float>(expected.begin(), expected.begin() + 100));

    std::vector<float> large(1024, -1.0f);
    GetSpectrumA(large);
    EXPECT_EQ(std::vector<float>(large.begin(), large.begin() + 512), expected);
    EXPECT_EQ(std::vector<float>(large.begin() + 512, large.end()), std::vector<float>(512, -1.0f));

    std::vector<float> empty;
    GetSpectrumA(empty);

    std::vector<float> deckB(301, -1.0f);
    GetSpectrumB(deckB);
    EXPECT_EQ(deckB, std::vector<float>(301, 0.0f)) << "engine B plays nothing";
}
