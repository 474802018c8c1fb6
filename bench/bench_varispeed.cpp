// What playing off normal speed costs: the varispeed turning a minute of decoded song into
// output at 1.25x, 0.97x, 0.75x (the pitch slider's bottom) and the 2.22x of fast-forward,
// against libmpg123 decoding the same minute of the same song. The figure is the ratio of CPU
// times for the same source seconds (goals: about 0.43 at 1.25x and 0.62 at 0.97x; 0.75x, with
// the longest kernel and the most output frames per source frame, costs the most).
// Past the last table the input is halved first: 2.47 source frames per output frame (a 48 kHz
// song at the top of fast forward, halved once), 4.35 (a 192 kHz song at normal speed, twice),
// 6 (a 48 kHz part converted to an 8 kHz song's rate, twice), 9.87 (a 192 kHz song at the top of
// fast forward, three times) and 69.66 (16x on a 192 kHz song, six times).
#include "platform/audio/varispeed.h"

#include <QFile>
#include <benchmark/benchmark.h>
#include <mpg123.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

const char* const kSong = QUENLOW_MEDIA_DIR "/noise120s.mp3";
constexpr int kSeconds = 60;
constexpr int kRate = 44100;

double threadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// libmpg123 decoding the first `seconds` of the song to stereo float, as the engine has it
// decode; the frames go to `pcm`.
void decode(double seconds, std::vector<float>& pcm)
{
    mpg123_init();
    mpg123_handle* h = mpg123_new(nullptr, nullptr);
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    mpg123_format_none(h);
    mpg123_format(h, kRate, MPG123_STEREO, MPG123_ENC_FLOAT_32);
    if (mpg123_open(h, kSong) != MPG123_OK) {
        std::fprintf(stderr, "bench_varispeed: cannot open %s; make the test media first "
                             "(tests/fixtures/make-media build/release/media)\n", kSong);
        std::exit(1);
    }
    const std::size_t want = std::size_t(seconds * kRate) * 2;
    pcm.resize(want);
    std::size_t got = 0;
    while (got < want) {
        size_t bytes = 0;
        const int rc = mpg123_read(h, reinterpret_cast<unsigned char*>(pcm.data() + got),
                                   std::min<std::size_t>(want - got, 8192) * sizeof(float), &bytes);
        got += bytes / sizeof(float);
        if (rc != MPG123_OK && rc != MPG123_NEW_FORMAT)
            break;
    }
    pcm.resize(got);
    mpg123_close(h);
    mpg123_delete(h);
}

// The varispeed playing all of pcm at a speed in blocks of 1024 output frames, as the engine
// mixes; returns the source seconds played.
double play(const std::vector<float>& pcm, double speed)
{
    audio::Varispeed vs(2);
    vs.setStep(std::uint64_t(std::llround(speed * double(audio::Varispeed::kUnity))));
    std::vector<float> out(1024 * 2);
    const std::size_t frames = pcm.size() / 2;
    std::size_t next = 0;
    const std::uint64_t end = std::uint64_t(frames) << 32;
    float sink = 0;
    while (vs.position() < end) {
        int made = 0;
        while (made < 1024) {
            const int want = std::min<int>(vs.wanted(1024 - made), int(frames - next));
            vs.push(pcm.data() + next * 2, want);
            next += std::size_t(want);
            if (next == frames)
                vs.pushSilence(vs.wanted(1024 - made));
            const int n = vs.render(out.data() + made * 2, 1024 - made, end);
            if (n == 0)
                break;
            made += n;
        }
        sink += out[0];
        if (made < 1024)
            break;
    }
    benchmark::DoNotOptimize(sink);
    return double(vs.position() >> 32) / kRate;
}

void BM_VarispeedAgainstDecoding(benchmark::State& state)
{
    const double speed = double(state.range(0)) / 100.0;
    std::vector<float> pcm;
    double varispeedCpu = 0, decodeCpu = 0, played = 0, decoded = 0;
    for (auto _ : state) {
        const double t0 = threadCpuSeconds();
        decode(kSeconds, pcm);
        const double t1 = threadCpuSeconds();
        played += play(pcm, speed);
        const double t2 = threadCpuSeconds();
        decodeCpu += t1 - t0;
        varispeedCpu += t2 - t1;
        decoded += double(pcm.size() / 2) / kRate;
    }
    state.counters["source_s_per_cpu_s"] = played / varispeedCpu;
    // CPU for the same source seconds, varispeed over decoding.
    state.counters["ratio_to_decode"] = (varispeedCpu / played) / (decodeCpu / decoded);
}
BENCHMARK(BM_VarispeedAgainstDecoding)
    ->Arg(125)->Arg(97)->Arg(75)->Arg(222)
    ->Arg(247)->Arg(435)->Arg(600)->Arg(987)->Arg(6966)
    ->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
