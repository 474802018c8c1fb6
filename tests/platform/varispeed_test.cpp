// The varispeed measured: distortion and noise of a two-tone, the response, images and aliases of a
// stepped sweep, clicks while the speed moves, and the exact return to one frame per frame, on
// its own and in a playing engine. Spectra come from FFTW through a Kaiser window whose
// sidelobes lie far below what is measured.
#include "platform/audio/varispeed.h"
#include "platform/audio/decoder.h"
#include "platform/audio/soundengine.h"
#include "support/testutil.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <utility>
#include <vector>

using audio::Varispeed;

namespace {

constexpr double kRate = 44100.0;
constexpr int kFft = 16384;
constexpr int kSettle = 2048; // output frames left out before measuring

std::uint64_t stepFor(double speed) { return std::uint64_t(std::llround(speed * double(Varispeed::kUnity))); }

// Plays `frames` output frames of a source through a varispeed the way the engine feeds it:
// blocks of 1024 (or `blockFrames`), pushing what the varispeed asks for. `source(i)` is source
// frame i (both channels alike); `speedAt(n)` the speed for the block starting at output frame n.
std::vector<float> play(const std::function<double(std::int64_t)>& source,
                        const std::function<double(int)>& speedAt, int frames, int blockFrames = 1024)
{
    constexpr int channels = 2;
    Varispeed vs(channels);
    std::vector<float> out(std::size_t(frames) * std::size_t(channels));
    std::vector<float> in(std::size_t(1 << 15) * channels); // more than the varispeed ever holds
    std::int64_t next = 0;
    int done = 0;
    while (done < frames) {
        const int block = std::min(blockFrames, frames - done);
        vs.setStep(stepFor(speedAt(done)));
        int made = 0;
        while (made < block) {
            const int want = vs.wanted(block - made);
            for (int i = 0; i < want; ++i)
                for (int c = 0; c < channels; ++c)
                    in[std::size_t(i * channels + c)] = float(source(next + i));
            vs.push(in.data(), want);
            next += want;
            const int n = vs.render(out.data() + std::size_t(done + made) * std::size_t(channels), block - made);
            EXPECT_GT(n, 0) << "the varispeed makes frames from what it asked for";
            if (n == 0)
                return out;
            made += n;
        }
        done += block;
    }
    return out;
}

// Power spectrum (kFft/2 bins) of the left channel of out from frame `from`, through a Kaiser
// window (beta 20: sidelobes more than 150 dB down, main lobe +-7 bins).
std::vector<double> powerSpectrum(const std::vector<float>& out, int from)
{
    static std::vector<double> window = [] {
        std::vector<double> w(kFft);
        const double beta = 20.0, i0 = std::cyl_bessel_i(0.0, beta);
        for (int i = 0; i < kFft; ++i) {
            const double r = 2.0 * i / (kFft - 1) - 1.0;
            w[std::size_t(i)] = std::cyl_bessel_i(0.0, beta * std::sqrt(1.0 - r * r)) / i0;
        }
        return w;
    }();
    float* in = fftwf_alloc_real(kFft);
    fftwf_complex* bins = fftwf_alloc_complex(kFft / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(kFft, in, bins, FFTW_ESTIMATE);
    for (int i = 0; i < kFft; ++i)
        in[i] = float(out[std::size_t(from + i) * 2] * window[std::size_t(i)]);
    fftwf_execute(plan);
    std::vector<double> p(kFft / 2);
    for (int k = 0; k < kFft / 2; ++k)
        p[std::size_t(k)] = double(bins[k][0]) * bins[k][0] + double(bins[k][1]) * bins[k][1];
    fftwf_destroy_plan(plan);
    fftwf_free(bins);
    fftwf_free(in);
    return p;
}

int binOf(double hz) { return int(std::lround(hz * kFft / kRate)); }
constexpr int kLobe = 10; // bins either side of a tone that belong to it

// Power of the bins within a tone's main lobe.
double tonePower(const std::vector<double>& p, double hz)
{
    double sum = 0;
    const int b = binOf(hz);
    for (int k = std::max(0, b - kLobe); k <= std::min(kFft / 2 - 1, b + kLobe); ++k)
        sum += p[std::size_t(k)];
    return sum;
}

// Power in 20 Hz .. 20 kHz of the output outside the given tones' main lobes.
double restPower(const std::vector<double>& p, const std::vector<double>& tones)
{
    double sum = 0;
    for (int k = binOf(20.0); k <= binOf(20000.0); ++k) {
        const bool tone = std::any_of(tones.begin(), tones.end(), [&](double hz) { return std::abs(k - binOf(hz)) <= kLobe; });
        if (!tone)
            sum += p[std::size_t(k)];
    }
    return sum;
}

// The strongest tone-like part of 20 Hz .. 20 kHz outside the given tones' main lobes: the
// power of the loudest main lobe's width there, and its frequency.
std::pair<double, double> strongestRest(const std::vector<double>& p, const std::vector<double>& tones)
{
    double top = 0, at = 0;
    for (int k = binOf(20.0); k <= binOf(20000.0); ++k) {
        const double hz = k * kRate / kFft;
        const bool tone = std::any_of(tones.begin(), tones.end(), [&](double t) { return std::abs(k - binOf(t)) <= 2 * kLobe; });
        if (!tone && tonePower(p, hz) > top) {
            top = tonePower(p, hz);
            at = hz;
        }
    }
    return {top, at};
}

double dB(double powerRatio) { return 10.0 * std::log10(std::max(powerRatio, 1e-30)); }

const double kSpeeds[] = {0.75, 0.97, 1.25};

} // namespace

TEST(Varispeed, TwoToneKeepsItsLevelsWithDistortionAndNoiseBelowMinus85dB)
{
    // 1 kHz and 15 kHz, each at half scale.
    auto twoTone = [](std::int64_t i) {
        const double t = double(i) / kRate;
        return 0.45 * std::sin(2 * M_PI * 1000.0 * t) + 0.45 * std::sin(2 * M_PI * 15000.0 * t);
    };
    for (double speed : kSpeeds) {
        SCOPED_TRACE(testing::Message() << "speed " << speed);
        const auto out = play(twoTone, [&](int) { return speed; }, kSettle + kFft);
        const auto p = powerSpectrum(out, kSettle);
        const double low = tonePower(p, 1000.0 * speed), high = tonePower(p, 15000.0 * speed);
        const double thdn = dB(restPower(p, {1000.0 * speed, 15000.0 * speed}) / (low + high));
        const double tilt = dB(high / low);
        RecordProperty("thdn_" + std::to_string(int(speed * 100)), std::to_string(thdn));
        std::printf("two-tone at %.2fx: THD+N %.1f dB, 15 kHz tone %+.2f dB\n", speed, thdn, tilt);
        EXPECT_LE(thdn, -85.0);
        EXPECT_NEAR(tilt, 0.0, 1.5) << "the 15 kHz tone keeps its level";
    }
}

TEST(Varispeed, SteppedSweepIsFlatAndLeavesNoImageOrAliasWithinHearing)
{
    // Tones from 100 Hz to 22 kHz, one at a time. A tone in the passband comes out at its level:
    // within 1 dB up to 18 kHz at and below normal speed, 1.5 dB up to 15 kHz at 1.25x and
    // 5 kHz at the fast-forward speed, and past the last table (the input halved first) up to
    // where it plays at 16 kHz or so. Whatever else a tone leaves between 20 Hz and 20 kHz is
    // its spurs: for a tone up to 20 kHz that plays within hearing, more than 85 dB below it;
    // for any tone, its images and its aliases (all of it when it would play above the output's
    // Nyquist frequency), more than 60 dB below it. 0.9x is the fastest speed whose images the
    // slowest table must stop from the song's Nyquist frequency on; 2.47x is a 48 kHz song at the
    // top of fast forward (halved once), 4.35x a 192 kHz song at normal speed and 6x a 48 kHz part
    // of an 8 kHz song (both halved twice).
    const struct {
        double speed, flatTo;
    } rows[] = {{0.75, 18000.0}, {0.9, 18000.0}, {0.97, 18000.0}, {1.0, 18000.0}, {1.25, 15000.0},
                {2.22, 5000.0},  {2.47, 7400.0},  {4.35, 3700.0},  {6.0, 2600.0}};
    for (const auto& [speed, flatTo] : rows) {
        const double flatWithin = speed > 1 ? 1.5 : 1.0;
        SCOPED_TRACE(testing::Message() << "speed " << speed);
        double worstSpur = -300, worstOther = -300, worstDroop = 0;
        // The reference: a tone of the same level straight through the same window.
        std::vector<float> ref(std::size_t(kFft) * 2);
        for (int i = 0; i < kFft; ++i)
            ref[std::size_t(i) * 2] = float(0.9 * std::sin(2 * M_PI * 1000.0 * i / kRate));
        const double full = tonePower(powerSpectrum(ref, 0), 1000.0);
        for (double hz = 100.0; hz <= 22000.0; hz += 300.0) {
            auto tone = [hz](std::int64_t i) { return 0.9 * std::sin(2 * M_PI * hz * double(i) / kRate); };
            const auto out = play(tone, [&](int) { return speed; }, kSettle + kFft);
            const auto p = powerSpectrum(out, kSettle);
            const double played = hz * speed;
            if (hz <= flatTo) {
                const double level = dB(tonePower(p, played) / full);
                worstDroop = std::min(worstDroop, level);
                EXPECT_NEAR(level, 0.0, flatWithin) << hz << " Hz";
            }
            // Past the Nyquist frequency no bin is the tone's own.
            const double spur = dB(restPower(p, {played}) / full);
            if (hz <= 20000.0 && played < 20000.0) {
                worstSpur = std::max(worstSpur, spur);
                EXPECT_LE(spur, -85.0) << hz << " Hz";
            } else {
                worstOther = std::max(worstOther, spur);
                EXPECT_LE(spur, -60.0) << hz << " Hz";
            }
        }
        RecordProperty("spurs_" + std::to_string(int(speed * 100)), std::to_string(worstSpur));
        RecordProperty("images_aliases_" + std::to_string(int(speed * 100)), std::to_string(worstOther));
        std::printf("sweep at %.2fx: flat to %.0f kHz within %.2f dB, spurs of tones to 20 kHz %.1f dB, images and "
                    "aliases of the rest %.1f dB\n",
                    speed, flatTo / 1000, worstDroop, worstSpur, worstOther);
    }
}

TEST(Varispeed, SpeedMovingEveryTenMillisecondsNeverClicks)
{
    // A tone while the speed jumps every 10 ms: between 0.75x and 1.25x, now and then to exactly
    // 1.00x (across every table change and every return to the straight copy), and between 2x
    // and 10x (across every number of halvings to three, each started as the speed gets there):
    // no sample-to-sample step is larger than the fastest tone's own.
    const struct {
        double from, to, hz;
        bool touchesNormal;
    } rows[] = {{0.75, 1.25, 1000.0, true}, {2.0, 10.0, 200.0, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.to);
        std::mt19937 random(7);
        std::vector<double> speeds;
        for (int i = 0; i < 400; ++i) {
            const double pick = std::uniform_real_distribution<double>(row.from, row.to)(random);
            speeds.push_back(row.touchesNormal && i % 5 == 0 ? 1.0 : pick);
        }
        constexpr int kTen = 441;
        auto tone = [&](std::int64_t i) { return 0.9 * std::sin(2 * M_PI * row.hz * double(i) / kRate); };
        const auto out =
            play(tone, [&](int n) { return speeds[std::size_t(n / kTen)]; }, kTen * int(speeds.size()), kTen);
        const double ownStep = 0.9 * 2 * M_PI * row.hz * row.to / kRate;
        double worst = 0;
        for (std::size_t i = kSettle * 2; i + 2 < out.size(); i += 2)
            worst = std::max(worst, double(std::fabs(out[i + 2] - out[i])));
        EXPECT_LE(worst, ownStep * 1.01) << "the largest step " << worst << " against the tone's own " << ownStep;
    }
}

TEST(Varispeed, ReturnsToTheInputItselfAtOneFramePerFrameAndCountsPositionExactly)
{
    // Source frames numbered by value, so the straight output can be checked frame for frame.
    auto ramp = [](std::int64_t i) { return double(i % 100000) / 100000.0; };
    Varispeed vs(1);
    vs.setStep(Varispeed::kUnity);
    std::vector<float> in(4096), out(1024);
    std::int64_t next = 0;
    std::uint64_t expect = 0;
    auto feed = [&](int frames) {
        const int want = vs.wanted(frames);
        for (int i = 0; i < want; ++i)
            in[std::size_t(i)] = float(ramp(next + i));
        vs.push(in.data(), want);
        next += want;
    };
    // Straight from the start: the input itself, and whole frames.
    feed(1000);
    ASSERT_TRUE(vs.straight());
    ASSERT_EQ(vs.render(out.data(), 1000), 1000);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(out[std::size_t(i)], float(ramp(i))) << i;
    expect += 1000 * Varispeed::kUnity;
    EXPECT_EQ(vs.position(), expect);

    // A pitch touch: the position moves by exactly the steps played.
    const std::uint64_t odd = Varispeed::stepOf(44100ull * 44300, 44100ull * 44100);
    vs.setStep(odd);
    EXPECT_FALSE(vs.straight());
    for (int k = 0; k < 3; ++k) {
        feed(777);
        ASSERT_EQ(vs.render(out.data(), 777), 777);
        expect += 777 * odd;
        EXPECT_EQ(vs.position(), expect);
    }
    // Back to one frame per frame: within 1024 frames the position lands on a whole frame and
    // from then on the output is the input itself.
    vs.setStep(Varispeed::kUnity);
    feed(1024);
    ASSERT_EQ(vs.render(out.data(), 1024), 1024);
    EXPECT_TRUE(vs.straight());
    EXPECT_EQ(vs.position() % Varispeed::kUnity, 0u);
    const std::int64_t at = std::int64_t(vs.position() >> 32);
    EXPECT_GT(at, std::int64_t(expect >> 32) + 1024) << "it moved on, a little faster";
    EXPECT_LE(at, std::int64_t(expect >> 32) + 1026);
    feed(500);
    ASSERT_EQ(vs.render(out.data(), 500), 500);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(out[std::size_t(i)], float(ramp(at + i))) << i;

    // The end: no frame at or past it.
    vs.setStep(odd);
    const std::uint64_t end = vs.position() + 100 * Varispeed::kUnity;
    feed(1024);
    const int n = vs.render(out.data(), 1024, end);
    EXPECT_EQ(n, int((100 * Varispeed::kUnity + odd - 1) / odd));
    EXPECT_GE(vs.position(), end);
    EXPECT_EQ(vs.render(out.data(), 1024, end), 0);

    // Reset with history: the next frames pushed are position 0 again.
    vs.reset(in.data(), 16);
    EXPECT_EQ(vs.position(), 0u);
}

TEST(Varispeed, EngineReturnsToTheStraightCopyAfterAPitchTouch)
{
    // A song of noise, so that only the right frames match. At normal speed, and again a moment
    // after the pitch went up and came back, the output is the song itself, bit for bit, and the
    // position carries on from where the touch left it.
    const QString song = testutil::media(QStringLiteral("noise120s.mp3"));
    int error = 0;
    auto decoder = audio::openDecoder(song, &error);
    ASSERT_TRUE(decoder) << error;
    ASSERT_EQ(decoder->rate(), 44100);
    std::vector<float> source(std::size_t(5 * 44100) * 2);
    source.resize(std::size_t(decoder->read(source.data(), long(source.size() / 2))) * 2);

    audio::SoundEngine engine(QStringLiteral("touch"));
    engine.setManualClock(true);
    ASSERT_NE(engine.init(44100, 32, 2), 0);
    const auto stream = engine.streamOpen(song, 8192, 0, 0);
    const int channel = engine.streamPlay(-1, stream);
    // Where a captured stretch lies in the song: -1 when it is not the song's frames as they are.
    std::vector<float> out(2048 * 2);
    auto captureMatches = [&] {
        engine.advanceInto(out.data(), 2048);
        for (std::size_t at = 0; at + out.size() <= source.size(); at += 2)
            if (std::equal(out.begin(), out.end(), source.begin() + std::ptrdiff_t(at)))
                return std::int64_t(at / 2);
        return std::int64_t(-1);
    };
    engine.advanceMs(50); // past the fade-in
    EXPECT_EQ(captureMatches(), 50 * 441 / 10);

    engine.setFrequency(channel, 44300);
    engine.advanceMs(300);
    engine.setFrequency(channel, 44100);
    engine.advanceMs(50);
    const std::int64_t at = captureMatches();
    // 2205 + 2048 frames at normal speed, 13230 a little faster, 2205 and a glide of at most one frame.
    const std::int64_t expected = 2205 + 2048 + 13230 * 44300 / 44100 + 2205;
    EXPECT_GE(at, expected - 1);
    EXPECT_LE(at, expected + 2);
    EXPECT_EQ(captureMatches(), at + 2048) << "and it stays straight";
}

TEST(Varispeed, EngineKeepsWhatLiesAboveTheOutputsBandOutOfItAtAnyRateAndSpeed)
{
    // Tones above what the song's rate carries or above the output's band: a part joined on at a
    // higher rate than the song's first (the decoder converts it to the song's rate, at 4.35 to 6
    // of its frames per song frame), and 96 and 192 kHz songs at normal speed, at the pitch
    // slider's top and at the top of fast forward (up to 9.9 source frames per output frame).
    // Between 20 Hz and 20 kHz the output holds nothing but the tones that play there: nothing
    // stands out of the noise (the files' 16-bit noise lies some 110 dB down in a tone's width)
    // more than 90 dB below a tone of the level of the songs' tones (a quarter of full scale;
    // the joined parts' are at half).
    const struct {
        const char* song;
        int hz;
        int fromMs;
        std::vector<double> heard; // source frequencies that play within the band
    } rows[] = {
        {"joined_8k_48k_5khz.mp3", 44100, 2300, {}}, {"joined_8k_44k_6khz.mp3", 44100, 2300, {}},
        {"joined_11k_48k_7khz.mp3", 44100, 2300, {}}, {"wav192k_30k_60khz.wav", 44100, 300, {}},
        {"wav192k_30k_60khz.wav", 55000, 300, {}},   {"wav192k_30k_60khz.wav", 99000, 300, {}},
        {"wav96k_15k_30khz.wav", 44100, 300, {15000}}, {"wav96k_15k_30khz.wav", 55000, 300, {15000}},
        {"wav96k_15k_30khz.wav", 99000, 300, {}},
    };
    std::vector<float> ref(std::size_t(kFft) * 2);
    for (int i = 0; i < kFft; ++i)
        ref[std::size_t(i) * 2] = float(0.25 * std::sin(2 * M_PI * 1000.0 * i / kRate));
    const double quarter = tonePower(powerSpectrum(ref, 0), 1000.0);

    audio::SoundEngine engine(QStringLiteral("above"));
    engine.setManualClock(true);
    ASSERT_NE(engine.init(44100, 32, 2), 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.song << " at " << row.hz << " Hz");
        const auto stream = engine.streamOpen(testutil::media(QString::fromLatin1(row.song)), 8192, 0, 0);
        ASSERT_NE(stream, 0u);
        engine.streamSetTime(stream, row.fromMs);
        const int channel = engine.streamPlay(-1, stream);
        engine.setFrequency(channel, row.hz);
        engine.advanceMs(150); // the fade-in
        std::vector<float> out(std::size_t(kFft) * 2);
        engine.advanceInto(out.data(), kFft);
        std::vector<double> played;
        for (double hz : row.heard)
            played.push_back(hz * row.hz / 44100.0);
        const auto [top, at] = strongestRest(powerSpectrum(out, 0), played);
        std::printf("%s at %d Hz: the strongest within hearing%s %.1f dB at %.0f Hz\n", row.song, row.hz,
                    played.empty() ? "" : " beside the tone heard", dB(top / quarter), at);
        EXPECT_LE(dB(top / quarter), -90.0) << at << " Hz";
        engine.streamClose(stream);
    }
}

TEST(Varispeed, StepsFarBeyondTheKernelsReachStayInsideTheBufferAndReturnExactly)
{
    // 70 source frames per output frame (sixteen times normal speed on a 192 kHz song) is halved
    // six times ahead of the table; 256 (the most the engine asks for) lies past what the halvings
    // take and takes the read position past the last frame pushed, the frames up to it skipped as
    // they come. Either way nothing is moved or read outside the buffer (AddressSanitizer), a
    // constant stays exactly that constant, and the position counts every step. Back at one frame
    // per frame, the straight copy plays the source frame at the position and every one after it.
    for (const double speed : {70.0, 256.0}) {
        SCOPED_TRACE(speed);
        Varispeed vs(2);
        const std::uint64_t step = stepFor(speed);
        vs.setStep(step);
        std::vector<float> in(8192 * 2, 0.5f), out(8192 * 2);
        std::uint64_t pushed = 0;
        for (int block = 0; block < 40; ++block) {
            int made = 0;
            while (made < 1024) {
                const int want = vs.wanted(1024 - made);
                vs.push(in.data(), std::min(want, 8192));
                pushed += std::uint64_t(std::min(want, 8192));
                const int n = vs.render(out.data() + made * 2, 1024 - made);
                if (n == 0 && want == 0)
                    FAIL() << "no progress";
                made += n;
            }
            if (block > 0) { // the first frames reach back into the silence before the start
                for (int i = 0; i < 1024 * 2; ++i)
                    ASSERT_NEAR(out[std::size_t(i)], 0.5f, 1e-5f);
            }
        }
        EXPECT_EQ(vs.position(), 40ull * 1024ull * step);

        // From here on the source counts up from the last constant frame.
        auto source = [&](std::uint64_t i) { return i < pushed ? 0.5f : float(i - pushed + 1) / 8192.0f; };
        std::uint64_t at = pushed;
        auto feed = [&](int frames) {
            const int want = std::min(vs.wanted(frames), 8192);
            for (int i = 0; i < want; ++i)
                in[std::size_t(i) * 2] = in[std::size_t(i) * 2 + 1] = source(at + std::uint64_t(i));
            vs.push(in.data(), want);
            at += std::uint64_t(want);
        };
        vs.setStep(Varispeed::kUnity);
        int made = 0;
        while (made < 1024) {
            feed(1024 - made);
            made += vs.render(out.data() + made * 2, 1024 - made);
        }
        ASSERT_TRUE(vs.caughtUp());
        ASSERT_TRUE(vs.straight());
        // Past the frames the halvings had taken in ahead of the position, into the count.
        const std::uint64_t first = vs.position() >> 32;
        made = 0;
        while (made < 8192) {
            feed(8192 - made);
            made += vs.render(out.data() + made * 2, 8192 - made);
        }
        ASSERT_GT(first + 8192, pushed);
        for (int i = 0; i < 8192; ++i)
            ASSERT_EQ(out[std::size_t(i) * 2], source(first + std::uint64_t(i))) << i;
    }
}
