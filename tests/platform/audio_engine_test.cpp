// The sound engine on the manual clock: positions, the end of a song, speed, volume, the
// spectrum, handles and bad files. Minutes of playing take milliseconds and nothing here
// depends on how fast the machine is.
#include "platform/audio/decoder.h"
#include "platform/audio/soundengine.h"
#include "support/testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <mpg123.h>

#include <chrono>
#include <cmath>
#include <algorithm>
#include <mutex>
#include <set>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

using audio::SoundEngine;
using testutil::media;

namespace {

class ManualEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine.setManualClock(true);
        ASSERT_NE(engine.init(44100, 32, 2), 0);
    }
    std::uint32_t open(const QString& name)
    {
        const std::uint32_t s = engine.streamOpen(media(name), 8192, 0, 0);
        EXPECT_NE(s, 0u) << name.toStdString() << " error " << engine.getError();
        return s;
    }
    SoundEngine engine {QStringLiteral("test")};
};

} // namespace

TEST_F(ManualEngine, SongEndsExactlyAtItsLengthAndStaysThere)
{
    const auto s = open("tone10s.mp3");
    const int len = engine.streamGetLengthMs(s);
    EXPECT_NEAR(len, 10000, 30);
    const int ch = engine.streamPlay(-1, s);
    ASSERT_NE(ch, 0);
    engine.advanceMs(9000);
    EXPECT_NEAR(engine.streamGetTime(s), 9000, 20);
    EXPECT_LT(engine.streamGetTime(s), len);

    engine.advanceMs(1500);
    EXPECT_EQ(engine.streamGetTime(s), len);
    engine.advanceMs(3000);
    EXPECT_EQ(engine.streamGetTime(s), len) << "the end stays until the stream is stopped";
    EXPECT_EQ(engine.getPaused(ch), 0);
    EXPECT_FLOAT_EQ(engine.outputLevel(), 0.0f) << "an ended channel is silent";

    EXPECT_NE(engine.streamStop(s), 0);
    EXPECT_EQ(engine.streamGetTime(s), 0);
    EXPECT_EQ(engine.streamGetLengthMs(s), len) << "a stopped stream stays open";
    const int again = engine.streamPlay(-1, s);
    EXPECT_NE(again, 0);
    EXPECT_NE(again, ch) << "a new channel, never a reused handle";
    engine.advanceMs(500);
    EXPECT_NEAR(engine.streamGetTime(s), 500, 20);
    EXPECT_GT(engine.outputLevel(), 0.1f);
}

TEST_F(ManualEngine, SongEndsExactlyAtItsLengthAtAnySpeed)
{
    // Off normal speed the resampler runs to the end; after a touch of the pitch and back the
    // straight copy takes over again. Either way the position meets the length exactly.
    struct Case {
        const char* name;
        std::vector<int> speeds; // set one after the other, 100 ms apart
        const char* song = "tone10s.mp3";
    };
    const Case cases[] = {
        {"0.97x", {42777}},
        {"1.25x", {55125}},
        {"touched back to 1.00x", {45000, 44100}},
        {"1.25x on a 48 kHz song", {55125}, "rate48k.mp3"},
        // The highest rate at the fastest speed: 70 source frames per output frame, more than
        // the varispeed's kernel reaches.
        {"16x on a 192 kHz song", {705600}, "wav192k.wav"},
        {"the lowest rate at 0.75x", {33075}, "wav8k.wav"},
    };
    for (const Case& c : cases) {
        const auto s = open(c.song);
        const int len = engine.streamGetLengthMs(s);
        const int ch = engine.streamPlay(-1, s);
        for (int hz : c.speeds) {
            engine.setFrequency(ch, hz);
            engine.advanceMs(100);
        }
        const double speed = c.speeds.back() / 44100.0;
        // Up to 200 ms of the song left, then past its end.
        engine.advanceMs(int((len - engine.streamGetTime(s) - 200) / speed));
        EXPECT_LT(engine.streamGetTime(s), len) << c.name;
        EXPECT_GT(engine.streamGetTime(s), len - 400) << c.name;
        engine.advanceMs(int(400 / speed));
        EXPECT_EQ(engine.streamGetTime(s), len) << c.name;
        engine.advanceMs(1000);
        EXPECT_EQ(engine.streamGetTime(s), len) << c.name << ": the end stays";
        EXPECT_FLOAT_EQ(engine.outputLevel(), 0.0f) << c.name;
        engine.streamClose(s);
    }
}

TEST_F(ManualEngine, LengthStatedByTheFirstFrameMatchesAFullScan)
{
    // Files whose first frame counts their frames open without reading the whole file; the
    // length so taken must be the one a scan of every frame finds.
    mpg123_init();
    for (const char* name : {"tone10s.mp3", "vbr_xing.mp3", "rate22k_mono.mp3", "sr48_b320.mp3", "id3v2_100k.mp3",
                             "tagged.mp3", "cbr32.mp3", "vbr_noxing.mp3", "truncated.mp3"}) {
        mpg123_handle* h = mpg123_new(nullptr, nullptr);
        mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
        ASSERT_EQ(mpg123_open(h, QFile::encodeName(media(name)).constData()), MPG123_OK) << name;
        long rate = 0;
        int channels = 0, encoding = 0;
        mpg123_getformat(h, &rate, &channels, &encoding);
        ASSERT_EQ(mpg123_scan(h), MPG123_OK) << name;
        const int scanned = int(std::int64_t(mpg123_length(h)) * 1000 / rate);
        mpg123_delete(h);

        const auto s = open(name);
        EXPECT_EQ(engine.streamGetLengthMs(s), scanned) << name;
        engine.streamClose(s);
    }
}

TEST_F(ManualEngine, PlayingAnEndedStreamAgainStartsFromTheBeginning)
{
    const auto s = open("tone10s.mp3");
    engine.streamPlay(-1, s);
    engine.advanceMs(11000);
    ASSERT_EQ(engine.streamGetTime(s), engine.streamGetLengthMs(s));
    EXPECT_NE(engine.streamPlay(-1, s), 0);
    engine.advanceMs(1000);
    EXPECT_NEAR(engine.streamGetTime(s), 1000, 20);
}

TEST_F(ManualEngine, SetTimeClampsAndWorksPlayingPausedOrStopped)
{
    const auto s = open("tone10s.mp3");
    const int len = engine.streamGetLengthMs(s);
    engine.streamSetTime(s, -500);
    EXPECT_EQ(engine.streamGetTime(s), 0);
    engine.streamSetTime(s, len + 5000);
    EXPECT_EQ(engine.streamGetTime(s), len);
    engine.streamSetTime(s, 1234);
    EXPECT_EQ(engine.streamGetTime(s), 1234) << "stopped";

    const int ch = engine.streamPlay(-1, s);
    engine.advanceMs(1000);
    EXPECT_NEAR(engine.streamGetTime(s), 2234, 20) << "play starts from the stream's position";
    engine.streamSetTime(s, 5000);
    EXPECT_EQ(engine.streamGetTime(s), 5000) << "a move reads back at once";
    engine.advanceMs(1000);
    EXPECT_NEAR(engine.streamGetTime(s), 6000, 20);

    engine.setPaused(ch, 1);
    engine.streamSetTime(s, 3000);
    engine.advanceMs(1000);
    EXPECT_EQ(engine.streamGetTime(s), 3000) << "paused";
    engine.setPaused(ch, 0);
    engine.advanceMs(1000);
    EXPECT_NEAR(engine.streamGetTime(s), 4000, 20);

    engine.streamSetTime(s, len + 1);
    engine.advanceMs(100);
    EXPECT_EQ(engine.streamGetTime(s), len) << "moved past the end while playing: the song ends";
}

TEST_F(ManualEngine, PauseFreezesThePositionAndPlayOnAPlayingStreamChangesNothing)
{
    const auto s = open("tone10s.mp3");
    const int ch = engine.streamPlay(-1, s);
    engine.setFrequency(ch, 50000);
    engine.setVolume(ch, 100);
    engine.advanceMs(1000);
    EXPECT_EQ(engine.streamPlay(-1, s), ch);
    EXPECT_EQ(engine.getFrequency(ch), 50000);
    EXPECT_EQ(engine.getVolume(ch), 100);

    EXPECT_EQ(engine.getPaused(ch), 0);
    const int before = engine.streamGetTime(s);
    engine.setPaused(ch, -1);
    EXPECT_NE(engine.getPaused(ch), 0);
    engine.advanceMs(100);
    const int t = engine.streamGetTime(s);
    EXPECT_EQ(t, before) << "the position holds from the moment of the pause";
    EXPECT_FLOAT_EQ(engine.outputLevel(), 0.0f);
    engine.advanceMs(2000);
    EXPECT_EQ(engine.streamGetTime(s), t);
    EXPECT_EQ(engine.streamPlay(-1, s), ch) << "a paused stream keeps its channel";
    EXPECT_NE(engine.getPaused(ch), 0);
    engine.setPaused(ch, 0);
    engine.advanceMs(100);
    EXPECT_GT(engine.streamGetTime(s), t);
}

TEST_F(ManualEngine, FrequencyIsPlaybackSpeedWhateverTheFileRate)
{
    const auto s = open("tone10s.mp3");
    int ch = engine.streamPlay(-1, s);
    EXPECT_EQ(engine.getFrequency(ch), 44100) << "a new channel plays at normal speed";
    engine.setFrequency(ch, 88200);
    engine.advanceMs(1000);
    EXPECT_NEAR(engine.streamGetTime(s), 2000, 20);
    engine.setFrequency(ch, 22050);
    engine.advanceMs(1000);
    EXPECT_NEAR(engine.streamGetTime(s), 2500, 20);

    for (const char* name : {"rate48k.mp3", "rate32k.mp3", "rate22k_mono.mp3", "wav48k.wav"}) {
        const auto t = open(name);
        ch = engine.streamPlay(-1, t);
        engine.advanceMs(1000);
        EXPECT_NEAR(engine.streamGetTime(t), 1000, 20) << name;
        engine.streamClose(t);
    }
}

TEST_F(ManualEngine, GetFrequencyReturnsExactlyTheLastValueSet)
{
    const int ch = engine.streamPlay(-1, open("tone10s.mp3"));
    for (int hz : {33217, 55000, 99999, 100000, 44100, 1})
        EXPECT_TRUE(engine.setFrequency(ch, hz) && engine.getFrequency(ch) == hz) << hz;
    EXPECT_EQ(engine.setFrequency(ch, 0), 0);
    EXPECT_EQ(engine.getFrequency(ch), 1) << "an invalid rate changes nothing";
    engine.advanceMs(200); // a rate far below the resampler's range still plays without harm
}

TEST_F(ManualEngine, VolumeRampsToItsTargetWithoutAJump)
{
    const auto s = open("tone10s.mp3");
    const int ch = engine.streamPlay(-1, s);
    engine.advanceMs(200);
    const float full = engine.outputLevel();
    ASSERT_GT(full, 0.2f);

    engine.setVolume(ch, 0);
    EXPECT_EQ(engine.getVolume(ch), 0);
    engine.advance(64);
    EXPECT_GT(engine.outputLevel(), full * 0.5f) << "no jump within the first frames";
    engine.advanceMs(10); // the ramp ends within this block (it takes 5 ms)
    EXPECT_LT(engine.outputLevel(), full * 0.5f);
    engine.advanceMs(10);
    EXPECT_FLOAT_EQ(engine.outputLevel(), 0.0f);

    engine.setVolume(ch, 128);
    engine.advanceMs(20);
    engine.advanceMs(200);
    EXPECT_NEAR(engine.outputLevel(), full * 128 / 255, full * 0.03);
    engine.setVolume(ch, 300);
    EXPECT_EQ(engine.getVolume(ch), 255) << "clamped to 0..255";
}

TEST_F(ManualEngine, SpectrumOfAFullScaleLowTonePeaksInBinTwo)
{
    const auto s = open("tone86hz_full.mp3");
    engine.dspSetActive(engine.dspGetFFTUnit(), 1);
    engine.streamPlay(-1, s);
    engine.advanceMs(500);
    const float* sp = engine.dspGetSpectrum();
    ASSERT_NE(sp, nullptr);
    EXPECT_GE(sp[2], 0.8f);
    EXPECT_LE(sp[2], 1.0f);
    for (int k = 6; k < 512; ++k)
        ASSERT_LT(sp[k], 0.05f) << k;

    // After the volume: a silent channel has a silent spectrum.
    engine.setVolume(engine.streamPlay(-1, s), 0);
    engine.advanceMs(100);
    sp = engine.dspGetSpectrum();
    for (int k = 0; k < 512; ++k)
        ASSERT_EQ(sp[k], 0.0f) << k;
}

TEST_F(ManualEngine, SpectrumIsSilentUntilSwitchedOn)
{
    engine.streamPlay(-1, open("tone86hz_full.mp3"));
    engine.advanceMs(100);
    EXPECT_EQ(engine.dspGetSpectrum()[2], 0.0f);
    EXPECT_EQ(engine.dspSetActive(engine.dspGetFFTUnit() + 1, 1), 0) << "another unit's handle";
    EXPECT_EQ(engine.dspSetActive(engine.dspGetFFTUnit(), 1), 1);
    EXPECT_GT(engine.dspGetSpectrum()[2], 0.5f);
}

TEST_F(ManualEngine, StaleZeroAndForeignHandlesAreHarmless)
{
    SoundEngine other(QStringLiteral("other"));
    other.setManualClock(true);
    ASSERT_NE(other.init(44100, 32, 2), 0);
    const auto foreign = other.streamOpen(media("tone10s.mp3"), 8192, 0, 0);
    const int foreignCh = other.streamPlay(-1, foreign);
    other.advanceMs(1000);

    const auto s = open("tone10s.mp3");
    const int ch = engine.streamPlay(-1, s);
    engine.advanceMs(300);
    const auto closed = open("tone30s.mp3");
    const int closedCh = engine.streamPlay(-1, closed);
    engine.streamClose(closed);

    for (std::uint32_t bad : {0u, closed, foreign}) {
        EXPECT_EQ(engine.streamPlay(-1, bad), 0);
        EXPECT_EQ(engine.streamStop(bad), 0);
        EXPECT_EQ(engine.streamGetTime(bad), 0);
        EXPECT_EQ(engine.streamGetLengthMs(bad), 0);
        EXPECT_EQ(engine.streamSetTime(bad, 100), 0);
        EXPECT_EQ(engine.streamClose(bad), 0);
    }
    for (int bad : {0, -1, closedCh, foreignCh}) {
        EXPECT_EQ(engine.setFrequency(bad, 50000), 0);
        EXPECT_EQ(engine.getFrequency(bad), 0);
        EXPECT_EQ(engine.setVolume(bad, 10), 0);
        EXPECT_EQ(engine.getVolume(bad), 0);
        EXPECT_EQ(engine.setPaused(bad, 1), 0);
        EXPECT_EQ(engine.getPaused(bad), 0);
    }
    // Neither engine was disturbed.
    EXPECT_EQ(other.getFrequency(foreignCh), 44100);
    EXPECT_EQ(other.getPaused(foreignCh), 0);
    EXPECT_NEAR(other.streamGetTime(foreign), 1000, 20);
    EXPECT_EQ(engine.getVolume(ch), 255);
    EXPECT_NEAR(engine.streamGetTime(s), 300, 20);
}

TEST_F(ManualEngine, HandlesAreNeverReusedNotEvenAfterCloseAndInit)
{
    std::set<std::uint32_t> seen;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 3; ++i) {
            const auto s = open("cbr32.mp3");
            EXPECT_TRUE(seen.insert(s).second);
            EXPECT_TRUE(seen.insert(std::uint32_t(engine.streamPlay(-1, s))).second);
            engine.streamStop(s);
            EXPECT_TRUE(seen.insert(std::uint32_t(engine.streamPlay(-1, s))).second);
            if (i == 1)
                engine.streamClose(s);
        }
        const auto kept = *seen.rbegin();
        engine.close();
        engine.close(); // closing twice is harmless
        EXPECT_FALSE(engine.isInitialized());
        EXPECT_EQ(engine.streamGetTime(kept), 0);
        ASSERT_NE(engine.init(44100, 32, 2), 0);
    }
}

TEST_F(ManualEngine, BadFilesFailWithTheirCodes)
{
    QTemporaryDir dir;
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath("pipe.mp3")).constData(), 0600), 0);
    const std::pair<QString, int> cases[] = {
        {dir.filePath("missing.mp3"), audio::ErrFileNotFound},
        {dir.filePath("pipe.mp3"), audio::ErrFileNotFound}, // and no wait for a writer
        {QStringLiteral("/dev/zero"), audio::ErrFileNotFound},
        {dir.path(), audio::ErrFileNotFound},
        {QString(), audio::ErrFileNotFound},
        {media("empty.mp3"), audio::ErrFileFormat},
        {media("junk.mp3"), audio::ErrFileFormat},
        {media("text.mp3"), audio::ErrFileFormat},
        {media("short127.mp3"), audio::ErrFileFormat},
        {media("wav_header_only.wav"), audio::ErrFileFormat},
    };
    for (const auto& [path, code] : cases) {
        EXPECT_EQ(engine.streamOpen(path, 8192, 0, 0), 0u) << path.toStdString();
        EXPECT_EQ(engine.getError(), code) << path.toStdString();
    }
    // Headers that claim a sample rate outside what the engine plays, over good sound: refused
    // at open, whatever the file is called, and the engine can say which rate it was.
    const std::pair<const char*, const char*> rates[] = {
        {"rate16785216.wav", "16785216 Hz"},       {"rate16785216_wav.mp3", "16785216 Hz"},
        {"rate1.wav", "of 1 Hz"},                  {"rate4000000000.wav", "4000000000 Hz"},
        {"rate4000000000_wav.mp3", "4000000000 Hz"},
    };
    for (const auto& [name, rate] : rates) {
        EXPECT_EQ(engine.streamOpen(media(name), 8192, 0, 0), 0u) << name;
        EXPECT_EQ(engine.getError(), audio::ErrFileFormat) << name;
        EXPECT_TRUE(engine.errorDetail().contains(QLatin1String(rate)))
            << name << ": " << engine.errorDetail().toStdString();
    }
    EXPECT_NE(engine.streamOpen(media("wav8k.wav"), 8192, 0, 0), 0u);
    EXPECT_TRUE(engine.errorDetail().isEmpty());

    // ID3v2 tags before the sound: 16 of them, one holding 20 MB (cover art), play; more tags or
    // more megabytes of them than any song file has (a million empty ones would hold the open
    // for seconds) are refused, and the engine says why.
    QTemporaryDir tagged;
    const QByteArray song = testutil::readAll(media("tone10s.mp3"));
    const QByteArray emptyTag("ID3\x03\0\0\0\0\0\0", 10);
    auto bigTag = [](qint64 n) {
        QByteArray tag("ID3\x03\0\0", 6);
        for (int shift : {21, 14, 7, 0})
            tag += char(n >> shift & 0x7f);
        return tag + QByteArray(int(n), '\0');
    };
    const std::pair<QByteArray, bool> leads[] = {
        {emptyTag.repeated(15) + bigTag(20 << 20), true},
        {emptyTag.repeated(17), false},
        {bigTag(33 << 20), false},
    };
    for (const auto& [lead, plays] : leads) {
        const QString path = tagged.filePath(QStringLiteral("tagged.mp3"));
        ASSERT_TRUE(testutil::writeAll(path, lead + song));
        const auto s = engine.streamOpen(path, 8192, 0, 0);
        EXPECT_EQ(s != 0, plays) << lead.size();
        if (plays) {
            EXPECT_EQ(engine.streamGetLengthMs(s), 10000);
            engine.streamClose(s);
        } else {
            EXPECT_EQ(engine.getError(), audio::ErrFileFormat);
            EXPECT_TRUE(engine.errorDetail().contains(QLatin1String("ID3v2 tags before its sound")))
                << engine.errorDetail().toStdString();
        }
    }
    SoundEngine idle(QStringLiteral("idle"));
    EXPECT_EQ(idle.streamOpen(media("tone10s.mp3"), 8192, 0, 0), 0u);
    EXPECT_EQ(idle.getError(), audio::ErrUninitialized);
}

TEST_F(ManualEngine, OddButPlayableFilesPlayToTheirExactEnd)
{
    // Those whose frames end in damage (a frame cut off, bytes of no tag after the last frame)
    // end there as at any natural end: nothing to tell.
    const std::pair<const char*, int> cases[] = {
        {"vbr_noxing.mp3", 30000}, {"vbr_xing.mp3", 30000},    {"rate22k_mono.mp3", 10000},
        {"id3v2_100k.mp3", 10000}, {"truncated.mp3", 1250},    {"junk_after.mp3", 10000},
        {"wav22k_mono.wav", 2000}, {"testdevice.wav", 1500},
    };
    for (const auto& [name, approx] : cases) {
        const auto s = open(name);
        const int len = engine.streamGetLengthMs(s);
        EXPECT_NEAR(len, approx, approx / 10 + 30) << name;
        engine.streamPlay(-1, s);
        engine.advanceMs(len + 500);
        EXPECT_EQ(engine.streamGetTime(s), len) << name;
        EXPECT_EQ(engine.streamEarlyEnd(s), audio::EarlyEnd::None) << name;
        engine.streamClose(s);
    }
}

namespace {

// Times (in output frames, interpolated) at which the left channel of interleaved stereo output
// crosses zero rising.
std::vector<double> risingCrossings(const std::vector<float>& out)
{
    std::vector<double> at;
    for (std::size_t i = 1; i < out.size() / 2; ++i) {
        const float a = out[(i - 1) * 2], b = out[i * 2];
        if (a < 0.0f && b >= 0.0f)
            at.push_back(double(i - 1) + double(a / (a - b)));
    }
    return at;
}

// The pitch of the output between two times (seconds), from its rising zero crossings.
double pitchBetween(const std::vector<double>& crossings, double from, double to)
{
    auto first = std::lower_bound(crossings.begin(), crossings.end(), from * 44100.0);
    auto last = std::lower_bound(crossings.begin(), crossings.end(), to * 44100.0);
    if (last - first < 2)
        return 0.0;
    --last;
    return double(last - first) * 44100.0 / (*last - *first);
}

// The first time (seconds) from `from` on at which a tone gives way to one at least a third lower:
// the gap between two crossings grows past what the first tone's period allows.
double stepDownAfter(const std::vector<double>& crossings, double from)
{
    auto it = std::lower_bound(crossings.begin(), crossings.end(), from * 44100.0);
    if (it == crossings.end() || it + 1 == crossings.end())
        return -1.0;
    const double period = *(it + 1) - *it;
    for (; it + 1 != crossings.end(); ++it)
        if (*(it + 1) - *it > period * 1.2)
            return *it / 44100.0;
    return -1.0;
}

// Milliseconds of sound libmpg123 decodes from a file, each stretch counted at its own rate.
double decodedMs(const QString& path)
{
    mpg123_init();
    mpg123_handle* h = mpg123_new(nullptr, nullptr);
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    mpg123_format_none(h);
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i)
        mpg123_format(h, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);
    double ms = 0.0;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_open(h, QFile::encodeName(path).constData()) == MPG123_OK
        && mpg123_getformat(h, &rate, &channels, &encoding) == MPG123_OK) {
        std::vector<float> buf(8192);
        for (;;) {
            size_t bytes = 0;
            const int rc =
                mpg123_read(h, reinterpret_cast<unsigned char*>(buf.data()), buf.size() * sizeof(float), &bytes);
            ms += double(bytes / (2 * sizeof(float))) * 1000.0 / double(rate);
            if (rc == MPG123_NEW_FORMAT)
                mpg123_getformat(h, &rate, &channels, &encoding);
            else if (rc != MPG123_OK)
                break;
        }
    }
    mpg123_delete(h);
    return ms;
}

// A playing stream's output, 10 ms at a time, until its position meets the length (or a minute
// has passed).
std::vector<float> playToTheEnd(SoundEngine& engine, std::uint32_t s, int len)
{
    std::vector<float> out;
    std::vector<float> step(441 * 2);
    while (engine.streamGetTime(s) < len && out.size() < 60 * 44100 * 2) {
        engine.advanceInto(step.data(), 441);
        out.insert(out.end(), step.begin(), step.end());
    }
    return out;
}

} // namespace

TEST_F(ManualEngine, SongsOfTwoRatesJoinedInOneFilePlayEachAtItsOwnPitchAndSpeedToTheEnd)
{
    // Two MP3 files joined: 5 s at 48 kHz and 5 s at 8 kHz, 5 s at 8 kHz and 5 s at 48 kHz (the
    // second part halved twice on its way to the song's rate), or 5 s at 44.1 kHz and 5 s at
    // 22.05 kHz; each song steps its pitch down at 3 s (1000 Hz to 750 Hz, then 500 Hz to 250 Hz).
    // The length counts every part, each part plays at its own pitch and speed, the position
    // meets the length exactly when the sound ends, and a move lands on the same sound in
    // either part as playing there did (of the 8 kHz song, in its converted part: a move within
    // its first part lands some 180 ms late, as it does in any song whose later part has twice its
    // rate or more, whatever the conversion).
    const std::pair<const char*, bool> songs[] = {
        {"joined_48k_8k.mp3", true}, {"joined_8k_48k.mp3", false}, {"joined_44k_22k.mp3", true}};
    for (const auto& [name, movesInFirstPart] : songs) {
        SCOPED_TRACE(name);
        const auto s = open(name);
        const int len = engine.streamGetLengthMs(s);
        EXPECT_NEAR(len, decodedMs(media(name)), 2.0);
        EXPECT_GT(len, 10000);
        engine.streamPlay(-1, s);

        // The whole song, 10 ms at a time, until the position meets the length.
        const std::vector<float> out = playToTheEnd(engine, s, len);
        EXPECT_NEAR(out.size() / 2 / 44.1, len, 20) << "the song takes as long to play as its length says";
        engine.advanceMs(100);
        EXPECT_EQ(engine.streamGetTime(s), len);

        const std::vector<double> crossings = risingCrossings(out);
        EXPECT_NEAR(pitchBetween(crossings, 0.3, 2.8), 1000.0, 2.0);
        EXPECT_NEAR(pitchBetween(crossings, 3.2, 4.8), 750.0, 2.0);
        EXPECT_NEAR(pitchBetween(crossings, 5.5, 7.9), 500.0, 2.0);
        EXPECT_NEAR(pitchBetween(crossings, 8.6, 9.9), 250.0, 2.0);
        const double first = stepDownAfter(crossings, 1.0), second = stepDownAfter(crossings, 6.0);
        EXPECT_NEAR(first, 3.0, 0.01);
        EXPECT_NEAR(second - first, 5.0, 0.25) << "the second song's mark, 5 s on (and the encoder's delay)";

        // Moves to 200 ms before each mark: the mark comes 200 ms later, as it did in playing.
        // (A stopped stream is moved: a playing one fades out where it was first.)
        for (const double mark : {first, second}) {
            if (mark == first && !movesInFirstPart)
                continue;
            const int to = int(std::lround(mark * 1000.0)) - 200;
            engine.streamStop(s);
            engine.streamSetTime(s, to);
            EXPECT_EQ(engine.streamGetTime(s), to);
            engine.streamPlay(-1, s);
            std::vector<float> after(44100 / 2 * 2);
            engine.advanceInto(after.data(), 44100 / 2);
            EXPECT_NEAR(stepDownAfter(risingCrossings(after), 0.02), 0.2, 0.003) << "a move to " << to;
            EXPECT_NEAR(engine.streamGetTime(s), to + 500, 2);
        }
        engine.streamClose(s);
    }
}

namespace {

// The root mean square of the left channel of interleaved stereo output between two times (s).
double levelBetween(const std::vector<float>& out, double from, double to)
{
    const std::size_t a = std::size_t(from * 44100.0), b = std::min(std::size_t(to * 44100.0), out.size() / 2);
    double sum = 0.0;
    for (std::size_t i = a; i < b; ++i)
        sum += double(out[i * 2]) * out[i * 2];
    return b > a ? std::sqrt(sum / double(b - a)) : 0.0;
}

// How many frames from `at` in `heard` the sound `got` lies (left channels of interleaved stereo;
// the lag within +-`most` frames whose stretch matches best).
long lagIn(const std::vector<float>& heard, long at, const std::vector<float>& got, long most)
{
    constexpr long kFrom = 512, kLength = 4096; // past a start's fade-in
    long best = 0;
    double bestMatch = -2.0;
    for (long lag = -most; lag <= most; ++lag) {
        double xy = 0.0, xx = 0.0, yy = 0.0;
        for (long i = kFrom; i < kFrom + kLength; ++i) {
            const long j = at + lag + i;
            const double x = got[std::size_t(i) * 2];
            const double y = j >= 0 && std::size_t(j) < heard.size() / 2 ? heard[std::size_t(j) * 2] : 0.0;
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        const double match = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : -1.0;
        if (match > bestMatch) {
            bestMatch = match;
            best = lag;
        }
    }
    return best;
}

} // namespace

TEST_F(ManualEngine, EveryFrameOfAFileIsCountedAndHeardSongsJoinedOrFramesOfAnotherRateEach)
{
    // A short song (a 300 Hz tone) joined after a 30 s one whose Info frame counts 30 s and so
    // misses under a percent of the file's bytes (of the same rate, or of 8 kHz), and a 10 s song
    // (at 44.1 or 48 kHz) followed by 30 s of noise whose rate changes on every frame: the length
    // is every frame's, the sound goes on until the position meets it, and a move into the noise
    // lands on the sound that playing there gave.
    struct Case {
        const char* name;
        bool noise;       // ends in noise (else in the 300 Hz tone)
        double tolerance; // ms the length may lie from the frames at their own rates (a converted
                          // run ends on a whole output frame)
    };
    const Case cases[] = {
        {"joined_30s_2s.mp3", false, 2.0},
        {"joined_30s_8k.mp3", false, 2.0},
        {"rates_every_frame.mp3", true, 30.0},
        {"rates_every_frame_48k.mp3", true, 30.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto s = open(c.name);
        const int len = engine.streamGetLengthMs(s);
        EXPECT_NEAR(len, decodedMs(media(c.name)), c.tolerance);
        engine.streamPlay(-1, s);
        const std::vector<float> heard = playToTheEnd(engine, s, len);
        EXPECT_NEAR(heard.size() / 2 / 44.1, len, 20) << "the song takes as long to play as its length says";
        const double end = len / 1000.0;
        EXPECT_GT(levelBetween(heard, end - 1.0, end - 0.05), 0.05) << "heard to its end";
        if (!c.noise) {
            EXPECT_NEAR(pitchBetween(risingCrossings(heard), end - 1.0, end - 0.05), 300.0, 2.0);
            engine.streamClose(s);
            continue;
        }
        for (const int to : {len / 3 + 17, len / 2 + 3, len * 4 / 5 + 29, len - 500}) {
            engine.streamStop(s);
            engine.streamSetTime(s, to);
            EXPECT_EQ(engine.streamGetTime(s), to);
            engine.streamPlay(-1, s);
            std::vector<float> after(5000 * 2);
            engine.advanceInto(after.data(), 5000);
            EXPECT_LE(std::abs(lagIn(heard, long(std::lround(to * 44.1)), after, 500)), 1) << "a move to " << to;
        }
        engine.streamClose(s);
    }
}

TEST_F(ManualEngine, FileCutShortUnreadableOrDeletedWhilePlayingReachesTheEndAndTellsWhy)
{
    // Cut short (an MP3 and a WAV), made unreadable (its descriptors now read a folder, so every
    // read fails as on a disk gone), deleted (still readable through the open file), or written
    // over in place with random bytes: each plays what it can read and the position meets the
    // length; the engine tells which ended early and why, and nothing once a move has left the
    // place.
    QTemporaryDir dir;
    const QString cut = testutil::copyMedia("tone30s.mp3", dir.path(), "cut.mp3");
    const QString cutWav = testutil::copyMedia("wav48k_10s.wav", dir.path(), "cut.wav");
    const QString unreadable = testutil::copyMedia("tone30s.mp3", dir.path(), "unreadable.mp3");
    const QString gone = testutil::copyMedia("tone10s.mp3", dir.path(), "gone.mp3");
    const QString overwritten = testutil::copyMedia("tone30s.mp3", dir.path(), "overwritten.mp3");
    std::vector<std::uint32_t> streams;
    for (const QString& path : {cut, cutWav, unreadable, gone, overwritten}) {
        streams.push_back(engine.streamOpen(path, 8192, 0, 0));
        ASSERT_NE(streams.back(), 0u) << path.toStdString();
        engine.streamPlay(-1, streams.back());
    }
    engine.advanceMs(500);
    for (auto s : streams)
        EXPECT_EQ(engine.streamEarlyEnd(s), audio::EarlyEnd::None);

    ASSERT_TRUE(QFile::resize(cut, 40000));
    ASSERT_TRUE(QFile::resize(cutWav, 48000 * 5));
    const int folder = ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    int replaced = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + fd) == QFileInfo(unreadable).canonicalFilePath())
            replaced += ::dup2(folder, fd.toInt()) >= 0;
    ::close(folder);
    ASSERT_GE(replaced, 1);
    ASSERT_TRUE(QFile::remove(gone));
    {
        QFile f(overwritten);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite)); // in place: the open file sees the new bytes
        const qint64 size = f.size();
        ASSERT_TRUE(f.write(testutil::readAll(media("junk.mp3")).repeated(int(size / 65536 + 1)).left(int(size)))
                    == size);
    }

    engine.advanceMs(31000);
    for (auto s : streams)
        EXPECT_EQ(engine.streamGetTime(s), engine.streamGetLengthMs(s));
    EXPECT_EQ(engine.streamEarlyEnd(streams[0]), audio::EarlyEnd::CutShort);
    EXPECT_EQ(engine.streamEarlyEnd(streams[1]), audio::EarlyEnd::CutShort);
    EXPECT_EQ(engine.streamEarlyEnd(streams[2]), audio::EarlyEnd::Unreadable);
    EXPECT_EQ(engine.streamEarlyEnd(streams[3]), audio::EarlyEnd::None) << "a deleted file plays to its natural end";
    EXPECT_EQ(engine.streamEarlyEnd(streams[4]), audio::EarlyEnd::Undecodable);

    engine.streamSetTime(streams[0], 0);
    EXPECT_EQ(engine.streamEarlyEnd(streams[0]), audio::EarlyEnd::None);
    engine.streamPlay(-1, streams[0]);
    engine.advanceMs(100);
    EXPECT_EQ(engine.streamEarlyEnd(streams[0]), audio::EarlyEnd::None) << "its start is still there";
}

TEST(SoundEngineOutputs, DeviceListEndsWithTheSilentOutput)
{
    const QStringList names = audio::outputDeviceNames();
    ASSERT_FALSE(names.isEmpty());
    EXPECT_EQ(names.last(), "No sound (silent)");
    EXPECT_EQ(audio::outputDeviceNames(), names) << "a stable order";

    SoundEngine e(QStringLiteral("e"));
    e.setDriver(int(names.size()) + 1);
    EXPECT_EQ(e.init(44100, 32, 2), 0);
    EXPECT_EQ(e.getError(), audio::ErrInit);
    EXPECT_FALSE(e.isInitialized());
}

TEST(SoundEngineOutputs, BothEnginesPlayOnTheSameSilentDevice)
{
    const int silent = int(audio::outputDeviceNames().size());
    SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
    std::uint32_t streams[2];
    SoundEngine* engines[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        engines[i]->setDriver(silent);
        ASSERT_NE(engines[i]->init(44100, 32, 2), 0) << engines[i]->getError();
        streams[i] = engines[i]->streamOpen(media(i ? "tone30s.mp3" : "tone10s.mp3"), 8192, 0, 0);
        ASSERT_NE(streams[i], 0u);
        ASSERT_NE(engines[i]->streamPlay(-1, streams[i]), 0);
    }
    // Both move on their own; this waits for progress, never for a given speed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((a.streamGetTime(streams[0]) < 100 || b.streamGetTime(streams[1]) < 100)
           && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(a.streamGetTime(streams[0]), 100);
    EXPECT_GE(b.streamGetTime(streams[1]), 100);

    // Moves, stops and closes while the audio threads run.
    for (int i = 0; i < 50; ++i) {
        a.streamSetTime(streams[0], i * 100);
        b.streamStop(streams[1]);
        b.streamPlay(-1, streams[1]);
    }
    a.streamClose(streams[0]);
    EXPECT_EQ(a.streamGetTime(streams[0]), 0);
    a.close();
    b.close();
}

TEST_F(ManualEngine, SpeedChangesAndVolumeMovesDoNotClick)
{
    // A 440 Hz tone at half scale moves at most about 0.02 from one sample to the next; a
    // click is a jump far beyond that.
    const auto s = open("tone10s.mp3");
    const int ch = engine.streamPlay(-1, s);
    std::vector<float> out(4410 * 2);
    float last = 0;
    auto maxJump = [&] {
        engine.advanceInto(out.data(), 4410);
        float worst = std::fabs(out[0] - last);
        for (size_t i = 2; i < out.size(); i += 2)
            worst = std::max(worst, std::fabs(out[i] - out[i - 2]));
        last = out[out.size() - 2];
        return worst;
    };
    engine.advanceMs(100);
    EXPECT_LT(maxJump(), 0.03f);
    int before = 44100;
    for (int hz : {44101, 52000, 44100, 36000, 100000, 44100}) {
        engine.setFrequency(ch, hz);
        EXPECT_LT(maxJump(), 0.03f * float(std::max(hz, before)) / 44100) << hz;
        before = hz;
    }
    engine.setVolume(ch, 0);
    EXPECT_LT(maxJump(), 0.03f);
    engine.setVolume(ch, 255);
    EXPECT_LT(maxJump(), 0.03f);
    engine.setPaused(ch, 1);
    EXPECT_LT(maxJump(), 0.03f);
    engine.setPaused(ch, 0);
    EXPECT_LT(maxJump(), 0.03f);
    engine.streamSetTime(s, 4321); // a jump fades out and in again
    EXPECT_LT(maxJump(), 0.03f);
    engine.streamStop(s);
    engine.streamSetTime(s, 7777);
    last = 0;
    EXPECT_NE(engine.streamPlay(-1, s), 0); // a start in the middle of the song fades in
    EXPECT_LT(maxJump(), 0.03f);
}

TEST(SoundEngineOutputs, InitOnARunningEngineStartsItAgainOnTheNewDriver)
{
    const int silent = int(audio::outputDeviceNames().size());
    SoundEngine e(QStringLiteral("e"));
    EXPECT_EQ(e.setBufferSize(0), 0);
    EXPECT_EQ(e.setBufferSize(50), 1);
    e.setDriver(silent);
    ASSERT_NE(e.init(44100, 32, 2), 0);
    const auto s = e.streamOpen(media("tone10s.mp3"), 8192, 0, 0);
    ASSERT_NE(e.streamPlay(-1, s), 0);

    e.setDriver(silent + 5);
    EXPECT_EQ(e.init(44100, 32, 2), 0) << "no such device";
    EXPECT_FALSE(e.isInitialized());
    EXPECT_EQ(e.streamGetLengthMs(s), 0) << "the old engine's streams are gone";

    e.setDriver(silent);
    ASSERT_NE(e.init(44100, 32, 2), 0);
    ASSERT_NE(e.init(44100, 32, 2), 0);
    EXPECT_TRUE(e.isInitialized());
    e.close();
}

TEST(SoundEngineOutputs, ManyOperationsWhileTheAudioThreadsRun)
{
    // Opens, plays, moves, pauses, stops and closes in a fixed pseudo-random order on both
    // engines while their outputs mix: nothing may crash, hang or report a position outside
    // the song.
    const int silent = int(audio::outputDeviceNames().size());
    SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
    SoundEngine* engines[2] = {&a, &b};
    for (auto* e : engines) {
        e->setDriver(silent);
        e->setBufferSize(4);
        ASSERT_NE(e->init(44100, 32, 2), 0);
        e->dspSetActive(e->dspGetFFTUnit(), 1);
    }
    const char* songs[] = {"cbr32.mp3", "rate48k.mp3", "wav22k_mono.wav", "truncated.mp3", "vbr_noxing.mp3"};
    std::vector<std::uint32_t> streams[2];
    std::vector<int> channels[2];
    std::uint32_t seed = 12345;
    auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    for (int step = 0; step < 1500; ++step) {
        const int k = int(next() % 2);
        SoundEngine& e = *engines[k];
        auto& ss = streams[k];
        auto& cs = channels[k];
        const std::uint32_t s = ss.empty() ? 0 : ss[next() % ss.size()];
        const int ch = cs.empty() ? 0 : cs[next() % cs.size()];
        switch (next() % 9) {
        case 0:
            if (ss.size() < 6)
                ss.push_back(e.streamOpen(media(songs[next() % 5]), 8192, 0, 0));
            break;
        case 1: cs.push_back(e.streamPlay(-1, s)); break;
        case 2: e.streamSetTime(s, int(next() % 40000) - 5000); break;
        case 3: e.setPaused(ch, int(next() % 2)); break;
        case 4: e.setFrequency(ch, 20000 + int(next() % 90000)); break;
        case 5: e.setVolume(ch, int(next() % 256)); break;
        case 6: e.streamStop(s); break;
        case 7:
            if (s && next() % 4 == 0) {
                e.streamClose(s);
                ss.erase(std::find(ss.begin(), ss.end(), s));
            }
            break;
        default: std::this_thread::sleep_for(std::chrono::microseconds(300)); break;
        }
        for (std::uint32_t t : ss) {
            const int time = e.streamGetTime(t);
            ASSERT_TRUE(time >= 0 && time <= e.streamGetLengthMs(t)) << time;
        }
        e.dspGetSpectrum();
    }
    a.close();
    b.close();
}

TEST(Mp3HeaderFrame, TellsAStatedLengthFromAStaleOne)
{
    struct Case {
        const char* name;
        bool found;
        bool agrees;
        std::int64_t frames; // 0: not checked
    };
    const Case cases[] = {
        {"tone10s.mp3", true, true, 384},    // LAME's Info frame of a constant bit rate
        {"vbr_xing.mp3", true, true, 1150},  // Xing of a variable bit rate
        {"id3v2_100k.mp3", true, true, 384}, // behind a large ID3v2 tag
        {"tagged.mp3", true, true, 0},       // with an ID3v1 tag at the end
        {"rate22k_mono.mp3", true, true, 0}, // MPEG 2, mono
        {"vbr_noxing.mp3", false, false, 0},
        {"cbr32.mp3", false, false, 0},      // frames too small for the header
        {"truncated.mp3", true, false, 0},   // cut short: the header counts 30 s
        // Another song joined after it, its bytes under a percent of the first one's.
        {"joined_30s_2s.mp3", true, false, 1150},
        {"joined_30s_8k.mp3", true, false, 1150},
        {"junk.mp3", false, false, 0},
        {"empty.mp3", false, false, 0},
    };
    for (const Case& c : cases) {
        const int fd = ::open(QFile::encodeName(media(c.name)).constData(), O_RDONLY);
        ASSERT_GE(fd, 0) << c.name;
        const audio::Mp3HeaderFrame h = audio::readMp3HeaderFrame(fd);
        ::close(fd);
        EXPECT_EQ(h.found, c.found) << c.name;
        EXPECT_EQ(h.sizeAgrees, c.agrees) << c.name;
        if (c.frames) {
            EXPECT_EQ(h.frames, c.frames) << c.name;
        }
    }

    // A file grown since its header was written (songs appended to it) is not taken at its word.
    QTemporaryDir dir;
    const QByteArray one = testutil::readAll(media("tone10s.mp3"));
    const QString twice = dir.filePath("twice.mp3");
    ASSERT_TRUE(testutil::writeAll(twice, one + one));
    const int fd = ::open(QFile::encodeName(twice).constData(), O_RDONLY);
    const audio::Mp3HeaderFrame h = audio::readMp3HeaderFrame(fd);
    ::close(fd);
    EXPECT_TRUE(h.found);
    EXPECT_FALSE(h.sizeAgrees);

    // Behind 16 ID3v2 tags the frames are found; behind 17 (more than a song file has) neither
    // reader looks for them.
    const QByteArray emptyTag("ID3\x03\0\0\0\0\0\0", 10);
    for (const int tags : {16, 17}) {
        const QString path = dir.filePath(QStringLiteral("tags%1.mp3").arg(tags));
        ASSERT_TRUE(testutil::writeAll(path, emptyTag.repeated(tags) + one));
        const int tagged = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        EXPECT_EQ(audio::readMp3HeaderFrame(tagged).found, tags == 16) << tags;
        EXPECT_EQ(audio::readMp3Frames(tagged).frames, tags == 16 ? 384 : 0) << tags;
        ::close(tagged);
    }
}

namespace {

// An engine on the silent output, its own audio and decoder threads running.
class LiveEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine.setDriver(int(audio::outputDeviceNames().size()));
        ASSERT_NE(engine.init(44100, 32, 2), 0);
    }
    // Waits for a condition the engine's own threads bring about; never for a given speed.
    template <typename F>
    static bool eventually(F done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    SoundEngine engine {QStringLiteral("live")};
};

} // namespace

TEST_F(LiveEngine, StalledAudioThreadNeverFindsItsStreamFreedOrRewoundUnderIt)
{
    // The audio thread is held inside a callback, on the streams it mixes; close, stop, move
    // and play go on meanwhile and return without waiting for it. When it is let go it goes on
    // mixing what it held (AddressSanitizer would report any of it freed), and the engine
    // carries on with the new state.
    const auto closed = engine.streamOpen(media("tone30s.mp3"), 8192, 0, 0);
    const auto stopped = engine.streamOpen(media("tone10s.mp3"), 8192, 0, 0);
    const auto moved = engine.streamOpen(media("noise120s.mp3"), 8192, 0, 0);
    for (auto s : {closed, stopped, moved})
        ASSERT_NE(engine.streamPlay(-1, s), 0);
    ASSERT_TRUE(eventually([&] { return engine.streamGetTime(moved) >= 200; }));

    engine.holdAudioThread(true);
    ASSERT_TRUE(eventually([&] { return engine.audioThreadHeld(); }));
    EXPECT_EQ(engine.streamClose(closed), 1);
    EXPECT_EQ(engine.streamStop(stopped), 1);
    EXPECT_EQ(engine.streamGetTime(stopped), 0);
    EXPECT_EQ(engine.streamSetTime(moved, 60000), 1);
    EXPECT_EQ(engine.streamGetTime(moved), 60000);
    const int again = engine.streamPlay(-1, stopped);
    EXPECT_NE(again, 0);
    EXPECT_TRUE(engine.audioThreadHeld()) << "every call returned while the audio thread was still held";

    engine.holdAudioThread(false);
    ASSERT_TRUE(eventually([&] { return engine.streamGetTime(stopped) >= 300 && engine.streamGetTime(moved) >= 60300; }));
    EXPECT_EQ(engine.streamGetLengthMs(closed), 0) << "closed for good";
    // The parked streams are freed on the next calls once the audio thread has moved on.
    const auto next = engine.streamOpen(media("tone10s.mp3"), 8192, 0, 0);
    EXPECT_NE(next, 0u);
    EXPECT_EQ(engine.streamClose(stopped), 1);
    EXPECT_EQ(engine.streamClose(moved), 1);
    engine.close();
}

TEST_F(LiveEngine, LengthOfAFileThatDoesNotStateItSettlesAndTheSongStillEndsExactly)
{
    // No header frame: the open does not read the whole file on the calling thread; the exact
    // length comes from a scan of its own and the end of the song meets it.
    const auto s = engine.streamOpen(media("vbr_noxing.mp3"), 8192, 0, 0);
    ASSERT_NE(s, 0u);
    ASSERT_TRUE(eventually([&] { return std::abs(engine.streamGetLengthMs(s) - 30000) < 100; }))
        << engine.streamGetLengthMs(s);
    const int len = engine.streamGetLengthMs(s);
    const int ch = engine.streamPlay(-1, s);
    engine.setFrequency(ch, 44100 * 8); // a fast run to the end
    engine.streamSetTime(s, len - 1500);
    ASSERT_TRUE(eventually([&] { return engine.streamGetTime(s) == len; }));
    EXPECT_EQ(engine.getFrequency(ch), 0) << "the channel is over";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(engine.streamGetTime(s), len);
}

namespace {

// The engine's log lines (qWarning) while alive.
class LogCapture {
public:
    LogCapture() { previous_ = qInstallMessageHandler(&LogCapture::handle); }
    ~LogCapture() { qInstallMessageHandler(previous_); }
    QStringList take()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        std::lock_guard lock(mutex_);
        lines_ << text;
    }
    static inline std::mutex mutex_;
    static inline QStringList lines_;
    QtMessageHandler previous_ = nullptr;
};

} // namespace

TEST_F(LiveEngine, AStalledOutputIsLoggedOnceNotPerBufferAndAStalledDecoderEmptiesNoRing)
{
    // A song at the fastest speed the decks reach (fast forward up to 100000 Hz) on a 48 kHz file
    // takes 2.5 source frames per output frame. The decoder thread is held for 200 ms each time
    // it wakes to top a ring up, as a loaded machine would hold it: the ring never runs dry.
    const auto s = engine.streamOpen(media("rate48k.mp3"), 8192, 0, 0);
    const int ch = engine.streamPlay(-1, s);
    ASSERT_NE(ch, 0);
    engine.setFrequency(ch, 100000);
    ASSERT_TRUE(eventually([&] { return engine.streamGetTime(s) >= 300; }));
    for (int round = 0; round < 4; ++round) {
        engine.holdDecoderThread(true);
        ASSERT_TRUE(eventually([&] { return engine.decoderThreadHeld(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        engine.holdDecoderThread(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(engine.underruns(), 0u);

    // The output itself held up for longer than its buffer, over and over: told once, not
    // once a buffer, when the decks next poll the engine.
    LogCapture log;
    for (int round = 0; round < 5; ++round) {
        engine.holdAudioThread(true);
        ASSERT_TRUE(eventually([&] { return engine.audioThreadHeld(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        engine.holdAudioThread(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        for (int tick = 0; tick < 5; ++tick)
            EXPECT_FALSE(engine.takeOutputLost());
    }
    EXPECT_GE(engine.underruns(), 5u);
    const QStringList lines = log.take();
    EXPECT_EQ(lines.filter(QLatin1String("ran dry")).size(), 1) << lines.join('\n').toStdString();
}
