// Reading the tag and frame header of 1,000 song files with clsMP3, against mp3info reading the
// same files in the same run (one mp3info process over the whole list, as a scan would).
#include "core/clsMP3.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>
#include <unistd.h>

namespace {

constexpr int FileCount = 1000;

// 1,000 files made from the generated media (hard links where the file system allows, copies
// otherwise), cycling through every MP3 of the set, broken ones included.
struct FileSet {
    std::unique_ptr<QTemporaryDir> dir;
    QStringList files;

    FileSet()
    {
        const QString media = QStringLiteral(QUENLOW_MEDIA_DIR);
        dir = std::make_unique<QTemporaryDir>(QDir(media).filePath(QStringLiteral("../bench-mp3-XXXXXX")));
        const QStringList sources = QDir(media).entryList({QStringLiteral("*.mp3")}, QDir::Files, QDir::Name);
        if (sources.isEmpty() || !dir->isValid())
            return;
        for (int i = 0; i < FileCount; ++i) {
            const QString src = QDir(media).filePath(sources[i % sources.size()]);
            const QString dst = dir->filePath(QStringLiteral("song%1.mp3").arg(i, 4, 10, QLatin1Char('0')));
            if (::link(QFile::encodeName(src).constData(), QFile::encodeName(dst).constData()) != 0)
                QFile::copy(src, dst);
            files << dst;
        }
    }
};

FileSet& fileSet()
{
    static FileSet set;
    return set;
}

// What the library's tag scan reads of each song.
double readAllWithClsMP3(const QStringList& files)
{
    double total = 0;
    clsMP3 m;
    for (const QString& f : files) {
        m.setFullName(f);
        m.ReadMP3Info();
        benchmark::DoNotOptimize(m.Title());
        benchmark::DoNotOptimize(m.Artist());
        benchmark::DoNotOptimize(m.Genre());
        total += m.PlayTime();
    }
    return total;
}

qint64 readAllWithMp3info(const QStringList& files)
{
    QProcess p;
    QStringList args{QStringLiteral("-p"), QStringLiteral("%t|%a|%g|%r|%Q|%o|%S\\n")};
    args += files;
    p.start(QStringLiteral("mp3info"), args);
    p.waitForFinished(-1);
    return p.readAllStandardOutput().size();
}

bool ready(benchmark::State& state)
{
    if (fileSet().files.size() != FileCount) {
        state.SkipWithError("no test media: run tests/fixtures/make-media first");
        return false;
    }
    return true;
}

void BM_clsMP3_1000Files(benchmark::State& state)
{
    if (!ready(state))
        return;
    for (auto _ : state)
        benchmark::DoNotOptimize(readAllWithClsMP3(fileSet().files));
    state.counters["files_per_s"] = benchmark::Counter(double(FileCount) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_clsMP3_1000Files)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_mp3info_1000Files(benchmark::State& state)
{
    if (!ready(state))
        return;
    if (QStandardPaths::findExecutable(QStringLiteral("mp3info")).isEmpty()) {
        state.SkipWithError("mp3info is not installed");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(readAllWithMp3info(fileSet().files));
    state.counters["files_per_s"] = benchmark::Counter(double(FileCount) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_mp3info_1000Files)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both readers in every iteration, so the ratio compares like with like on the same cache state.
void BM_clsMP3_vs_mp3info(benchmark::State& state)
{
    if (!ready(state))
        return;
    using clock = std::chrono::steady_clock;
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        const auto t0 = clock::now();
        benchmark::DoNotOptimize(readAllWithClsMP3(fileSet().files));
        const auto t1 = clock::now();
        benchmark::DoNotOptimize(readAllWithMp3info(fileSet().files));
        const auto t2 = clock::now();
        ours += std::chrono::duration<double, std::milli>(t1 - t0).count();
        theirs += std::chrono::duration<double, std::milli>(t2 - t1).count();
    }
    const double n = double(state.iterations());
    state.counters["clsMP3_ms"] = ours / n;
    state.counters["mp3info_ms"] = theirs / n;
    state.counters["mp3info_over_clsMP3"] = ours > 0 ? theirs / ours : 0;
}
BENCHMARK(BM_clsMP3_vs_mp3info)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
