// The interpolator's tables and its inner loop; see varispeed.h for what it does.
//
// The inner loop is written with GCC's vector types: built once for any x86-64 (SSE, four
// floats at a time) and once for x86-64-v3 (AVX2 and FMA, eight at a time), the processor
// choosing on the first call. This file is compiled with contracted multiply-adds.
#include "platform/audio/varispeed.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace audio {

namespace {

constexpr int kPhases = 256;
constexpr int kFadeFrames = 256; // a change of table blends over about 6 ms
// Returning to one source frame per output frame, the read position reaches the next whole
// frame at up to 1/1024 faster: within 1024 frames, and a pitch change of under 2 cents.
constexpr std::uint64_t kGlide = Varispeed::kUnity / 1024;

// The tables, worked out for a 44.1 kHz song on a 44.1 kHz output (frequencies are fractions
// of the song's rate, so other rates scale with it). At s source frames per output frame a
// source tone at f plays at f * s. Two things must not reach the audible band (up to 20 kHz):
// - below normal speed, the song's images mirrored about its Nyquist frequency:
//   a tone at f leaves one at 44.1 kHz - f, which plays at (44.1 kHz - f) * s; under 0.907x
//   (where 22.05 kHz plays at 20 kHz) that is audible from the Nyquist frequency on;
// - at any speed, whatever plays above the output's Nyquist frequency and folds back to
//   44.1 kHz - f * s: audible from (44.1 - 20) kHz / s on.
// So each band of speeds has the frequency from which its table must stop everything: the
// Nyquist frequency under 0.907x, 24.1 kHz / s at the band's fastest speed s above. The cutoff
// (where the kernel is down 6 dB) lies `margin` below it: the distance in which the kernel
// falls from -6 dB to -62 dB, set by its taps and the window's beta. A larger beta takes the
// stopband farther down away from its edge (the images of a song's strong low tones stay
// 100 dB down) but widens the fall; more taps narrow it again, at the cost of the inner loop.
// What each table passes and stops is listed in varispeed.h.
constexpr double kHearing = 20000.0 / 44100.0;
constexpr double kFoldsIntoHearing = 1.0 - kHearing; // at one source frame per output frame
constexpr double kRungRatio = 1.25;                  // fast bands: each up to 1.25x the one before
constexpr int kFastRungs = 4;                        // up to 1.25^4 = 2.44 source frames per output frame

struct Band {
    double upTo;   // the fastest speed it serves
    double stopAt; // stopped from here on
    int taps;
    double beta;
    double margin; // from the cutoff up to stopAt
};

// Hz of a 44.1 kHz song as a fraction of its rate.
constexpr double ofRate(double hz) { return hz / 44100.0; }

// The bands from the slowest: below 0.907x, to normal speed, to 1.25x, then fast forward.
constexpr int kBands = 3 + kFastRungs - 1;
constexpr Band bandOf(int i)
{
    if (i == 0)
        return {kHearing / 0.5, 0.5, 48, 10.0, ofRate(2600.0)};
    if (i == 1)
        return {1.0, kFoldsIntoHearing, 32, 10.0, ofRate(3850.0)};
    if (i == 2)
        return {kRungRatio, kFoldsIntoHearing / kRungRatio, 40, 9.5, ofRate(3000.0)};
    double upTo = kRungRatio;
    for (int r = 2; r < i; ++r)
        upTo *= kRungRatio;
    return {upTo, kFoldsIntoHearing / upTo, 32, 8.0, ofRate(3300.0)};
}

// After halving, the step lies between 0.977 and 1.953: above 1.25 the fast bands' stopbands are
// made deeper for it (48 taps, 97 dB down from the stop edge on rather than 63), and their
// passbands reach a little higher.
constexpr int kFastFrom = 3; // the first fast band
constexpr int kHalvedBands = 2;
constexpr Band halvedBandOf(int i)
{
    Band band = bandOf(kFastFrom + i);
    band.taps = 48;
    band.beta = 10.0;
    band.margin = 0.07;
    return band;
}

// Past the last table's top step the input is first halved, as often as it takes to bring the
// step to between 0.977 and 1.953 (the fast table below the last): there the tables pass the
// most of what is heard. Each halving is a half-band filter (every other coefficient zero but
// the middle one, 1/2), Kaiser-windowed (beta 9.5) over kHalfReach frames either side: it passes
// to 0.21 of its input's rate within 0.0001 dB and stops 94 dB from 0.268 on, so that what it
// folds back lands above 20 kHz at any step the table after it then takes (0.268 of the rate
// folds to 0.464 of the halved rate, which plays at 20 kHz at 0.977 halved frames per output
// frame).
constexpr int kHalfReach = 83;
constexpr int kHalfPairs = (kHalfReach + 1) / 2; // the coefficients at odd distances, each used twice
constexpr double kHalfBeta = 9.5;
constexpr std::uint64_t kTableTop = std::uint64_t(bandOf(kBands - 1).upTo * 4294967296.0 + 0.5);
constexpr std::uint64_t kHalvedTop = std::uint64_t(bandOf(kBands - 2).upTo * 4294967296.0 + 0.5);
static_assert(kFastFrom + kHalvedBands == kBands - 1, "the tables after halving reach the step halving brings");
// Six halvings take 16 times normal speed on a 192 kHz song (70 source frames per output frame,
// the most the engine plays) to 1.09. Steps past what six halvings bring within the last table
// (156) are played by the last table alone, whose top then aliases.
constexpr int kMostHalvings = 6;
// Frames each copy keeps before its read position: the table's reach, and enough for the next
// halving to start at once with the history it reaches back to.
constexpr int kKeep = 2 * Varispeed::kBefore + kHalfReach + 3;
static_assert(Varispeed::kGrid == 1 << kMostHalvings, "the most halvings' frames fall on the grid");

// Input frames before the read position that the table reaches back to through `depth`
// halvings: kBefore of the last copy, each of which reaches kHalfReach frames either side of its
// middle frame in the copy below (and the read position lies up to 2^depth - 1 frames past the
// frame the last copy's read position stands for).
constexpr int historyAt(int depth)
{
    return (1 << depth) * Varispeed::kBefore + ((1 << depth) - 1) * (kHalfReach + 1);
}
static_assert(Varispeed::kMostHistory == historyAt(kMostHalvings) + Varispeed::kGrid - 1);

// The halvings ahead of the table at a step: none up to the last table's top.
int halvingsFor(std::uint64_t step)
{
    if (step <= kTableTop)
        return 0;
    for (int d = 1; d <= kMostHalvings; ++d)
        if ((step >> d) <= kHalvedTop)
            return d;
    return (step >> kMostHalvings) <= kTableTop ? kMostHalvings : 0;
}

// Frames of the input halved `level` times that the table reaches past its read position, and
// the halvings between, at `depth` halvings: all of it must be there before an output frame is
// made.
constexpr int reachAhead(int level, int depth)
{
    const int times = 1 << (depth - level);
    return Varispeed::kAfter * times + (times - 1) * kHalfReach + 1;
}

// The zeroth-order modified Bessel function of the first kind, by its power series.
double besselI0(double x)
{
    double sum = 1.0, term = 1.0;
    const double q = x * x / 4.0;
    for (int k = 1; k < 60; ++k) {
        term *= q / (double(k) * double(k));
        sum += term;
        if (term < sum * 1e-17)
            break;
    }
    return sum;
}

// Vectors of eight floats where the processor has AVX, four elsewhere.
using v8sf = float __attribute__((vector_size(32)));
using v4sf = float __attribute__((vector_size(16)));

// The helpers that take or return vectors are always inlined: a call between the two builds
// of the loop would pass them differently (in AVX registers or in memory).
#define VARISPEED_INLINE inline __attribute__((always_inline))

template <typename V>
VARISPEED_INLINE V load(const float* p)
{
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// One run of output frames at a constant step: for each, the coefficients of its phase are
// blended with the next phase's, and each channel's Taps frames around the read position are
// weighed with them. A phase's row holds its Taps coefficients, then their step to the next phase.
// The input may be halved `shift` times: position and step are the unhalved input's, so each
// frame's phase is its own, wherever a run begins.
template <typename V, int Channels, int Taps>
VARISPEED_INLINE void runFrames(const float* rows, const float* const* in, std::uint64_t from, std::uint64_t step,
                                int frames, float* out, int shift)
{
    constexpr int kLanes = int(sizeof(V) / sizeof(float));
    constexpr int kParts = Taps / kLanes;
    static_assert(Taps % kLanes == 0 && Taps <= Varispeed::kTaps);
    constexpr float kFraction = 1.0f / float(1 << 24);
    for (int n = 0; n < frames; ++n, from += step) {
        const std::uint64_t pos = from >> shift;
        const std::uint32_t phase = std::uint32_t(pos);
        const float* row = rows + std::size_t(phase >> 24) * (2 * Taps);
        const V f = V {} + float(phase & 0xFFFFFF) * kFraction;
        V c[kParts];
#pragma GCC unroll 12
        for (int k = 0; k < kParts; ++k)
            c[k] = load<V>(row + k * kLanes) + f * load<V>(row + Taps + k * kLanes);
        const std::size_t at = std::size_t(pos >> 32) - (Taps / 2 - 1);
        V acc[Channels];
#pragma GCC unroll 2
        for (int ch = 0; ch < Channels; ++ch) {
            const float* x = in[ch] + at;
            acc[ch] = c[0] * load<V>(x);
#pragma GCC unroll 12
            for (int k = 1; k < kParts; ++k)
                acc[ch] += c[k] * load<V>(x + k * kLanes);
        }
        if constexpr (Channels == 2 && kLanes == 8) {
            // Both channels' eight partial sums folded together.
            const V a = __builtin_shufflevector(acc[0], acc[1], 0, 1, 2, 3, 8, 9, 10, 11)
                        + __builtin_shufflevector(acc[0], acc[1], 4, 5, 6, 7, 12, 13, 14, 15);
            const V b = a + __builtin_shufflevector(a, a, 2, 3, 0, 1, 6, 7, 4, 5);
            out[2 * n] = b[0] + b[1];
            out[2 * n + 1] = b[4] + b[5];
        } else {
#pragma GCC unroll 2
            for (int ch = 0; ch < Channels; ++ch) {
                float sum = 0.0f;
#pragma GCC unroll 8
                for (int i = 0; i < kLanes; ++i)
                    sum += acc[ch][i];
                out[n * Channels + ch] = sum;
            }
        }
    }
}

template <typename V, int Taps>
VARISPEED_INLINE void runChannels(const float* rows, const float* const* in, int channels, std::uint64_t pos,
                                  std::uint64_t step, int frames, float* out, int shift)
{
    if (channels == 2)
        runFrames<V, 2, Taps>(rows, in, pos, step, frames, out, shift);
    else
        runFrames<V, 1, Taps>(rows, in, pos, step, frames, out, shift);
}

// The tap counts of bandOf(), each with its own loop.
template <typename V>
VARISPEED_INLINE void runAny(const float* rows, int taps, const float* const* in, int channels, std::uint64_t pos,
                             std::uint64_t step, int frames, float* out, int shift)
{
    if (taps == 48)
        runChannels<V, 48>(rows, in, channels, pos, step, frames, out, shift);
    else if (taps == 40)
        runChannels<V, 40>(rows, in, channels, pos, step, frames, out, shift);
    else
        runChannels<V, 32>(rows, in, channels, pos, step, frames, out, shift);
}

#if defined(__x86_64__)
__attribute__((target("arch=x86-64-v3"))) void runWide(const float* rows, int taps, const float* const* in,
                                                         int channels, std::uint64_t pos, std::uint64_t step,
                                                         int frames, float* out, int shift)
{
    runAny<v8sf>(rows, taps, in, channels, pos, step, frames, out, shift);
}
#endif

#if defined(__x86_64__)
// Whether the processor runs the wide (AVX2 and FMA) loops.
bool wideCpu()
{
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
}
#endif

void run(const float* rows, int taps, const float* const* in, int channels, std::uint64_t pos, std::uint64_t step,
         int frames, float* out, int shift = 0)
{
#if defined(__x86_64__)
    if (wideCpu())
        return runWide(rows, taps, in, channels, pos, step, frames, out, shift);
#endif
    runAny<v4sf>(rows, taps, in, channels, pos, step, frames, out, shift);
}

// The half-band filter's coefficients on the input frames at odd distances from the middle one,
// from kHalfReach before it to kHalfReach after it.
const float* halfBand()
{
    static const auto coefficients = [] {
        std::vector<double> c(kHalfPairs);
        double sum = 0.0;
        for (int i = 0; i < kHalfPairs; ++i) {
            const double k = 2 * i + 1;
            const double r = k / (kHalfReach + 1);
            const double window = besselI0(kHalfBeta * std::sqrt(1.0 - r * r)) / besselI0(kHalfBeta);
            c[std::size_t(i)] = std::sin(M_PI * k / 2.0) / (M_PI * k) * window;
            sum += 2.0 * c[std::size_t(i)];
        }
        // They sum to 1/2 as the middle one does: a constant passes unchanged.
        std::vector<float> g(2 * kHalfPairs);
        for (int i = 0; i < kHalfPairs; ++i)
            g[std::size_t(kHalfPairs + i)] = g[std::size_t(kHalfPairs - 1 - i)] = float(c[std::size_t(i)] * 0.5 / sum);
        return g;
    }();
    return coefficients.data();
}

// `frames` halved frames from `middle` (the input frame in the middle of each) and `odd` (the
// input frames between those: odd[m + kHalfPairs] lies just after middle[m], from kHalfReach
// frames before the first middle to kHalfReach after the last). Both are read a vector past
// the last frame: the frames short of a whole vector are made as a vector too, so that every
// frame is summed alike (a halved frame is then the same wherever a run of them begins, which a
// resume relies on).
template <typename V>
VARISPEED_INLINE void halveFrames(const float* middle, const float* odd, int frames, float* out)
{
    constexpr int kLanes = int(sizeof(V) / sizeof(float));
    const float* g = halfBand();
    int j = 0;
    // Four vectors of frames side by side, so that the sums do not wait on each other.
    for (; j + 4 * kLanes <= frames; j += 4 * kLanes) {
        const float* o = odd + j;
        V a0 = 0.5f * load<V>(middle + j), a1 = 0.5f * load<V>(middle + j + kLanes);
        V a2 = 0.5f * load<V>(middle + j + 2 * kLanes), a3 = 0.5f * load<V>(middle + j + 3 * kLanes);
        for (int t = 0; t < 2 * kHalfPairs; ++t) {
            const V c = V {} + g[t];
            a0 += c * load<V>(o + t);
            a1 += c * load<V>(o + t + kLanes);
            a2 += c * load<V>(o + t + 2 * kLanes);
            a3 += c * load<V>(o + t + 3 * kLanes);
        }
        std::memcpy(out + j, &a0, sizeof a0);
        std::memcpy(out + j + kLanes, &a1, sizeof a1);
        std::memcpy(out + j + 2 * kLanes, &a2, sizeof a2);
        std::memcpy(out + j + 3 * kLanes, &a3, sizeof a3);
    }
    for (; j < frames; j += kLanes) {
        V acc = 0.5f * load<V>(middle + j);
        for (int t = 0; t < 2 * kHalfPairs; ++t)
            acc += g[t] * load<V>(odd + j + t);
        std::memcpy(out + j, &acc, sizeof(float) * std::size_t(std::min(kLanes, frames - j)));
    }
}

#if defined(__x86_64__)
__attribute__((target("arch=x86-64-v3"))) void halveWide(const float* middle, const float* odd, int frames, float* out)
{
    halveFrames<v8sf>(middle, odd, frames, out);
}
#endif

// y[j] for j < frames from x[2j] and the frames kHalfReach either side of it.
void halve(const float* x, float* y, int frames)
{
    constexpr int kBlock = 256; // a whole number of the widest vectors
    float middle[kBlock] = {};
    float odd[kBlock + 2 * kHalfPairs - 1] = {};
    for (int done = 0; done < frames; done += kBlock) {
        const int n = std::min(kBlock, frames - done);
        const float* c = x + 2 * done;
        for (int m = 0; m < n; ++m)
            middle[m] = c[2 * m];
        for (int m = 0; m < n + 2 * kHalfPairs - 1; ++m)
            odd[m] = c[2 * (m - kHalfPairs) + 1];
#if defined(__x86_64__)
        if (wideCpu()) {
            halveWide(middle, odd, n, y + done);
            continue;
        }
#endif
        halveFrames<v4sf>(middle, odd, n, y + done);
    }
}

} // namespace

// One halved copy of the input: frame j of level k stands for input frame j * 2^k (counted from
// the first frame the varispeed held since its reset), so each level is centred on the one below.
struct Varispeed::Level {
    float* data = nullptr; // planar: channel c's frames start at data + c * stride
    int stride = 0;
    int fill = 0;
    std::int64_t first = 0; // the index of data[0]
    std::int64_t next() const { return first + fill; }
};

struct Varispeed::Table {
    alignas(64) float rows[kPhases * 2 * kTaps];
    int taps;
    std::uint64_t upTo; // the largest step it serves

    void build(const Band& band)
    {
        static_assert(Varispeed::kTaps == 48, "kTaps is the most taps a band has");
        taps = band.taps;
        const double cutoff = band.stopAt - band.margin;
        const double beta = band.beta;
        // The kernel at t frames from the read position. The window is lowered to reach zero
        // at its edges, so a frame leaving the kernel's reach as the phase wraps leaves no step.
        const double half = taps / 2;
        const double edge = besselI0(beta);
        auto kernel = [&](double t) {
            if (std::fabs(t) >= half)
                return 0.0;
            const double r = t / half;
            const double window = (besselI0(beta * std::sqrt(1.0 - r * r)) - 1.0) / (edge - 1.0);
            const double x = 2.0 * cutoff * t;
            const double sinc = x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
            return 2.0 * cutoff * sinc * window;
        };
        // Each phase's coefficients sum to one, so a constant passes at the same level at every
        // phase; phase kPhases is the next frame's phase 0.
        const std::size_t n = std::size_t(taps);
        const int before = taps / 2 - 1;
        std::vector<double> coef(std::size_t(kPhases + 1) * n);
        for (int p = 0; p <= kPhases; ++p) {
            double* row = coef.data() + std::size_t(p) * n;
            const double phase = double(p) / kPhases;
            double sum = 0.0;
            for (int i = 0; i < taps; ++i)
                sum += row[i] = kernel(double(i - before) - phase);
            for (int i = 0; i < taps; ++i)
                row[i] /= sum;
        }
        for (std::size_t p = 0; p < kPhases; ++p)
            for (std::size_t i = 0; i < n; ++i) {
                const double here = coef[p * n + i];
                const double next = coef[(p + 1) * n + i];
                rows[p * 2 * n + i] = float(here);
                rows[p * 2 * n + n + i] = float(next - here);
            }
    }
};

const Varispeed::Table* Varispeed::tableFor(std::uint64_t step, bool halved) const
{
    // Built once, on the first stream's open, and shared by every stream.
    static Table all[kBands];
    static Table afterHalving[kHalvedBands];
    static const bool built = [] {
        for (int i = 0; i < kBands; ++i) {
            const Band band = bandOf(i);
            all[i].build(band);
            all[i].upTo = i == kBands - 1 ? ~std::uint64_t(0) : std::uint64_t(std::llround(band.upTo * double(kUnity)));
        }
        for (int i = 0; i < kHalvedBands; ++i) {
            const Band band = halvedBandOf(i);
            afterHalving[i].build(band);
            afterHalving[i].upTo = std::uint64_t(std::llround(band.upTo * double(kUnity)));
        }
        halfBand(); // its coefficients too, not on the audio thread's first halving
        return true;
    }();
    (void)built;
    if (halved && step > all[kFastFrom - 1].upTo)
        for (const Table& t : afterHalving)
            if (step <= t.upTo)
                return &t;
    for (const Table& t : all)
        if (step <= t.upTo)
            return &t;
    return &all[kBands - 1];
}

Varispeed::Varispeed(int channels, int capacity)
    : channels_(std::clamp(channels, 1, 2)),
      capacity_(std::max(capacity, kTaps)),
      // Beyond the capacity: the frames kept for a halving to start from, what the most halvings
      // reach ahead before they make a frame, and the most history a resume takes.
      stride_(capacity_ + kTaps + (kKeep - kBefore) + reachAhead(0, kMostHalvings) + (kMostHistory - kBefore))
{
    // Room for each channel's frames, then the blend scratch of a change of table.
    buf_.reset(new float[std::size_t(stride_) * std::size_t(channels_) + std::size_t(kFadeFrames) * 2]());
    // Each halved copy holds what it keeps, what the halvings above it reach ahead, and room to
    // work in.
    levels_.reset(new Level[kMostHalvings + 1]);
    std::size_t total = 0;
    for (int k = 1; k <= kMostHalvings; ++k) {
        levels_[k].stride = kKeep + reachAhead(k, kMostHalvings) + (capacity_ >> k) + kTaps;
        total += std::size_t(levels_[k].stride) * std::size_t(channels_);
    }
    levelBuf_.reset(new float[total]());
    float* at = levelBuf_.get();
    for (int k = 1; k <= kMostHalvings; ++k) {
        levels_[k].data = at;
        at += std::size_t(levels_[k].stride) * std::size_t(channels_);
    }
    table_ = tableFor(target_);
    reset();
}

Varispeed::~Varispeed() = default;

std::uint64_t Varispeed::stepOf(std::uint64_t num, std::uint64_t den)
{
    if (den == 0)
        return kUnity;
    const unsigned __int128 scaled = (static_cast<unsigned __int128>(num) << 32) + den / 2;
    const unsigned __int128 step = scaled / den;
    return step > ~std::uint64_t(0) >> 8 ? ~std::uint64_t(0) >> 8 : std::uint64_t(step);
}

void Varispeed::reset(const float* history, int frames)
{
    begin(kBefore, 0);
    fill_ = kBefore;
    for (int c = 0; c < channels_; ++c) {
        float* x = buf_.get() + std::size_t(c) * std::size_t(stride_);
        std::fill(x, x + kBefore, 0.0f);
        const int n = history ? std::clamp(frames, 0, kBefore) : 0;
        for (int i = 0; i < n; ++i)
            x[kBefore - n + i] = history[std::size_t(frames - n + i) * std::size_t(channels_) + std::size_t(c)];
    }
}

void Varispeed::resume(int history, std::uint32_t fraction)
{
    history = std::clamp(history, 0, kMostHistory);
    begin(std::max(history, kBefore), fraction);
    pushSilence(kBefore - history); // the kernel's reach, where fewer are to come
}

int Varispeed::historyFor(std::uint64_t step) { return historyAt(halvingsFor(step)); }

// Starts afresh with `before` frames of history still to push, the read position `fraction` past
// the frame after them. The halvings reach back into a history longer than the kernel's.
void Varispeed::begin(int before, std::uint32_t fraction)
{
    before_ = before;
    fill_ = 0;
    pos_ = (std::uint64_t(before) << 32) + fraction;
    origin_ = 0;
    depth_ = halvingsFor(target_);
    table_ = tableFor(target_ >> depth_, depth_ > 0);
    fadeFrom_ = nullptr;
    fadeDepth_ = 0;
    fadeLeft_ = 0;
    live_ = 0;
    startLevels(depth_, before > kBefore);
}

void Varispeed::setStep(std::uint64_t step)
{
    target_ = std::max<std::uint64_t>(step, 1);
    const int depth = halvingsFor(target_);
    const Table* t = tableFor(target_ >> depth, depth > 0);
    if (t != table_ || depth != depth_) {
        // Blend from what was playing; a change in the middle of a blend starts from the table
        // that was fading in.
        fadeFrom_ = table_;
        fadeDepth_ = depth_;
        fadeLeft_ = kFadeFrames;
        table_ = t;
        depth_ = depth;
        startLevels(std::max(depth_, fadeDepth_));
    }
}

std::uint64_t Varispeed::position() const { return pos_ + (origin_ << 32) - (std::uint64_t(before_) << 32); }

bool Varispeed::straight() const { return target_ == kUnity && std::uint32_t(pos_) == 0 && fadeLeft_ == 0; }

void Varispeed::history(float* out) const
{
    const int at = int(pos_ >> 32) - kBefore;
    for (int i = 0; i < kBefore; ++i)
        for (int c = 0; c < channels_; ++c)
            out[i * channels_ + c] = buf_[std::size_t(c) * std::size_t(stride_) + std::size_t(at + i)];
}

int Varispeed::pending() const { return std::max(0, fill_ - int(pos_ >> 32)); }

bool Varispeed::caughtUp() const { return int(pos_ >> 32) <= fill_; }

// Frames at the start of the buffer the kernel no longer reaches, nor the first halving. A step
// longer than the kernel's reach can take the read position past the last frame held: then
// every frame held is behind it, and the frames pushed next are skipped until the position is
// reached.
int Varispeed::droppable() const
{
    std::int64_t keep = std::int64_t(pos_ >> 32) - kKeep;
    if (live_ > 0)
        keep = std::min(keep, 2 * levels_[1].next() - kHalfReach - std::int64_t(origin_));
    return int(std::clamp<std::int64_t>(keep, 0, fill_));
}

int Varispeed::room() const { return stride_ - fill_ + droppable(); }

int Varispeed::wanted(int frames) const
{
    if (frames <= 0)
        return 0;
    const std::uint64_t step = target_ == kUnity ? kUnity + kGlide : target_;
    const std::uint64_t last = pos_ + std::uint64_t(frames - 1) * step;
    std::int64_t need = sourceNeed(depth_, last);
    if (fadeLeft_ > 0)
        need = std::max(need, sourceNeed(fadeDepth_, last));
    return int(std::clamp<std::int64_t>(need - fill_, 0, room()));
}

// The frames the buffer must hold (counted from its start) for an output frame at `last`
// through `depth` halvings.
std::int64_t Varispeed::sourceNeed(int depth, std::uint64_t last) const
{
    if (depth == 0)
        return std::int64_t(last >> 32) + kAfter + 1;
    // The last frame the table reads, then the last frame each halving below reads for it.
    std::int64_t frame = std::int64_t((readPosition() + (last - pos_)) >> (32 + depth)) + kAfter;
    for (int k = depth; k >= 1; --k) {
        if (frame < levels_[k].next())
            return 0; // made already
        frame = 2 * frame + kHalfReach;
    }
    return frame + 1 - std::int64_t(origin_);
}

// How far the read position can go (in the buffer's 32.32 frames) before the table at `depth`
// halvings reads past what is there.
std::uint64_t Varispeed::limitOf(int depth) const
{
    if (depth == 0) {
        const int ready = straight() ? fill_ : fill_ - kAfter;
        return std::uint64_t(std::max(0, ready)) << 32;
    }
    const std::int64_t frames = ((levels_[depth].next() - kAfter) << depth) - std::int64_t(origin_);
    return frames > 0 ? std::uint64_t(frames) << 32 : 0;
}

// The table's output frames from the read position on, from the input or its halved copy.
void Varispeed::runAt(const Table* table, int depth, std::uint64_t step, int frames, float* out)
{
    if (depth == 0) {
        const float* in[2] = {buf_.get(), buf_.get() + stride_};
        run(table->rows, table->taps, in, channels_, pos_, step, frames, out);
        return;
    }
    const Level& level = levels_[depth];
    const float* in[2] = {level.data, level.data + level.stride};
    // The read position from the input frame the copy's first frame stands for.
    const std::uint64_t at = readPosition() - (std::uint64_t(level.first) << (32 + depth));
    run(table->rows, table->taps, in, channels_, at, step, frames, out, depth);
}

// Keeps the first `depth` halvings up to date from now on; a halving not yet kept starts at the
// read position, with what the one below still holds before it as its history. With `reachBack`
// (a start with the history they reach back to) each begins as far back as the table reaches
// through the halvings above it, so every halved frame the table reads is the one the input makes.
void Varispeed::startLevels(int depth, bool reachBack)
{
    const std::int64_t at = std::int64_t(readPosition() >> 32);
    for (int k = live_ + 1; k <= depth; ++k) {
        std::int64_t first = (at >> k) - kKeep;
        if (reachBack) {
            const std::int64_t times = std::int64_t(1) << (depth - k);
            first = std::min(first, times * ((at >> depth) - kBefore) - (times - 1) * kHalfReach);
        }
        startLevel(k, first);
    }
    live_ = std::max(live_, depth);
}

void Varispeed::startLevel(int k, std::int64_t first)
{
    Level& level = levels_[k];
    level.first = first;
    level.fill = 0;
}

// Halves what has come in, level by level, as far as the input and the room allow.
void Varispeed::advanceLevels()
{
    for (bool moved = true; moved;) {
        moved = false;
        for (int k = 1; k <= live_; ++k)
            moved = halveInto(k) || moved;
    }
}

// Makes the next frames of level k from the level below; false when it can make none.
bool Varispeed::halveInto(int k)
{
    Level& level = levels_[k];
    // The level below: the input itself, or its halved copy.
    const float* below = k == 1 ? buf_.get() : levels_[k - 1].data;
    const int belowStride = k == 1 ? stride_ : levels_[k - 1].stride;
    const std::int64_t belowFirst = k == 1 ? std::int64_t(origin_) : levels_[k - 1].first;
    const std::int64_t belowNext = k == 1 ? std::int64_t(origin_) + fill_ : levels_[k - 1].next();
    // Frame j reads frames 2j - kHalfReach to 2j + kHalfReach below.
    const std::int64_t end = ((belowNext - 1 - kHalfReach) >> 1) + 1;
    const std::int64_t j = level.next();
    if (end <= j)
        return false;
    if (level.fill + (end - j) > level.stride)
        compactLevel(k);
    const int n = int(std::min<std::int64_t>(end - j, level.stride - level.fill));
    if (n <= 0)
        return false;
    for (int c = 0; c < channels_; ++c) {
        const float* x = below + std::size_t(c) * std::size_t(belowStride);
        float* y = level.data + std::size_t(c) * std::size_t(level.stride) + level.fill;
        int i = 0;
        // Frames reaching back past the start of the level below (just reset or started): silence there.
        for (; i < n && 2 * (j + i) - kHalfReach < belowFirst; ++i) {
            const std::int64_t mid = 2 * (j + i);
            double sum = 0.0;
            for (std::int64_t t = std::max(mid - kHalfReach, belowFirst); t <= mid + kHalfReach; ++t) {
                const std::int64_t d = t > mid ? t - mid : mid - t;
                const double g = d == 0 ? 0.5 : d % 2 == 0 ? 0.0 : double(halfBand()[kHalfPairs + d / 2]);
                sum += g * double(x[t - belowFirst]);
            }
            y[i] = float(sum);
        }
        if (i < n)
            halve(x + (2 * (j + i) - belowFirst), y + i, n - i);
    }
    level.fill += n;
    return true;
}

// Drops the frames of level k that neither the table nor the halving above it reaches any more.
void Varispeed::compactLevel(int k)
{
    Level& level = levels_[k];
    std::int64_t keep = std::int64_t(readPosition() >> (32 + k)) - kKeep;
    if (k < live_)
        keep = std::min(keep, 2 * levels_[k + 1].next() - kHalfReach);
    const int drop = int(std::clamp<std::int64_t>(keep - level.first, 0, level.fill));
    if (drop == 0)
        return;
    for (int c = 0; c < channels_; ++c) {
        float* y = level.data + std::size_t(c) * std::size_t(level.stride);
        std::memmove(y, y + drop, sizeof(float) * std::size_t(level.fill - drop));
    }
    level.fill -= drop;
    level.first += drop;
}

// Drops the frames the kernel no longer reaches, to make room at the end.
void Varispeed::compact()
{
    const int drop = droppable();
    if (drop == 0)
        return;
    for (int c = 0; c < channels_; ++c) {
        float* x = buf_.get() + std::size_t(c) * std::size_t(stride_);
        std::memmove(x, x + drop, sizeof(float) * std::size_t(fill_ - drop));
    }
    fill_ -= drop;
    pos_ -= std::uint64_t(drop) << 32;
    origin_ += std::uint64_t(drop);
}

void Varispeed::push(const float* in, int frames)
{
    frames = std::clamp(frames, 0, room());
    if (fill_ + frames > stride_)
        compact();
    float* x0 = buf_.get() + fill_;
    if (channels_ == 2) {
        float* x1 = x0 + stride_;
        for (int i = 0; i < frames; ++i) {
            x0[i] = in[2 * i];
            x1[i] = in[2 * i + 1];
        }
    } else {
        std::copy(in, in + frames, x0);
    }
    fill_ += frames;
}

void Varispeed::pushSilence(int frames)
{
    frames = std::clamp(frames, 0, room());
    if (fill_ + frames > stride_)
        compact();
    for (int c = 0; c < channels_; ++c) {
        float* x = buf_.get() + std::size_t(c) * std::size_t(stride_) + fill_;
        std::fill(x, x + frames, 0.0f);
    }
    fill_ += frames;
}

int Varispeed::render(float* out, int frames, std::uint64_t end)
{
    const std::uint64_t now = position();
    if (end <= now)
        return 0;
    // The end as a read position within the buffer.
    const std::uint64_t ahead = end - now;
    const std::uint64_t endAt = ahead > ~std::uint64_t(0) - pos_ ? ~std::uint64_t(0) : pos_ + ahead;
    int done = 0;
    while (done < frames) {
        const int n = renderWith(out + std::size_t(done) * std::size_t(channels_), frames - done, endAt);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

// One stretch of output at one step and one table (or one blend); 0 when nothing can be made.
int Varispeed::renderWith(float* out, int frames, std::uint64_t endAt)
{
    if (pos_ >= endAt)
        return 0;
    if (live_ > 0)
        advanceLevels();
    const float* in[2] = {buf_.get(), buf_.get() + stride_};

    // The step of this stretch: on the way back to one frame per frame, a single frame a
    // little faster until the position lands on a whole frame.
    std::uint64_t step = target_;
    const std::uint32_t frac = std::uint32_t(pos_);
    if (target_ == kUnity && frac != 0) {
        step = kUnity + std::min<std::uint64_t>(kGlide, (kUnity - frac));
        frames = 1;
    }

    // As many frames as the input and the end allow (a straight copy needs no frames ahead).
    std::uint64_t limit = std::min(endAt, limitOf(depth_));
    if (fadeLeft_ > 0)
        limit = std::min(limit, limitOf(fadeDepth_));
    if (pos_ >= limit)
        return 0;
    const std::uint64_t span = limit - pos_;
    const std::uint64_t fit = span / step + (span % step != 0 ? 1 : 0);
    int n = int(std::min<std::uint64_t>(std::uint64_t(frames), fit));

    if (straight()) {
        // The input itself, bit for bit.
        const std::size_t at = std::size_t(pos_ >> 32);
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < channels_; ++c)
                out[i * channels_ + c] = in[c][at + std::size_t(i)];
    } else if (fadeLeft_ > 0) {
        n = std::min(n, fadeLeft_);
        float* old = buf_.get() + std::size_t(stride_) * std::size_t(channels_);
        runAt(table_, depth_, step, n, out);
        runAt(fadeFrom_, fadeDepth_, step, n, old);
        for (int i = 0; i < n; ++i) {
            const float w = float(kFadeFrames - fadeLeft_ + i + 1) / float(kFadeFrames);
            for (int c = 0; c < channels_; ++c) {
                const int k = i * channels_ + c;
                out[k] = old[k] + (out[k] - old[k]) * w;
            }
        }
        fadeLeft_ -= n;
        if (fadeLeft_ == 0)
            live_ = depth_; // the halvings only the old table read are let go
    } else {
        runAt(table_, depth_, step, n, out);
    }
    pos_ += std::uint64_t(n) * step;
    return n;
}

} // namespace audio
