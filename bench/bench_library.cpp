// The song library at the size of a big night's library: 100,000 rows loaded, shown, saved and
// sorted, a hostile list file of 13.6 million rows loaded, and a folder tree of 40,000 MP3 files
// walked. Each figure stands beside a baseline
// measured in the same run: a plain read-and-split of the same file, `find` over the same tree.
#include "core/errorlog.h"
#include "core/settings.h"
#include "library/library.h"
#include "library/listfile.h"
#include "platform/files/wholefile.h"
#include "platform/ui/dialogs.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <benchmark/benchmark.h>
#include <chrono>
#include <climits>
#include <cstdio>
#include <malloc.h>
#include <memory>

namespace {
constexpr int kRows = 100000;
constexpr int kWalkFiles = 40000;

QTemporaryDir& folder()
{
    static QTemporaryDir dir;
    return dir;
}

// A FullPlaylist.qnl of 100,000 scanned rows, made once.
QString fullPlaylistFile()
{
    static QString path;
    if (path.isEmpty()) {
        AppPath = folder().path();
        errorlog::setFolder(folder().path());
        path = folder().filePath("FullPlaylist.qnl");
        QByteArray out;
        for (int i = 0; i < kRows; ++i) {
            const QString f[6] = {QStringLiteral("Song Title Number %1").arg(i),
                                  QStringLiteral("Artist %1").arg(i % 5000),
                                  QStringLiteral("%1:%2").arg(2 + i % 5).arg(i % 60, 2, 10, QLatin1Char('0')),
                                  QStringLiteral("Rock"),
                                  QStringLiteral("/home/dj/Music/Artist %1/Album %2/%3 - Song Title Number %4.mp3")
                                      .arg(i % 5000).arg(i % 37).arg(i % 20).arg(i),
                                  QStringLiteral("SCANNED")};
            listfile::appendLine(out, f, 6);
        }
        files::writeWhole(path, out);
    }
    return path;
}

// The main window's parts the library writes to.
struct Window {
    QWidget form;
    QTreeView* full;
    std::unique_ptr<Library> lib;
    Window()
    {
        form.resize(1024, 700);
        full = new QTreeView(&form);
        full->setObjectName("lstFullPlaylist");
        full->resize(1000, 600);
        for (const char* name : {"lblFullPlaylistNumSongs", "lblDJPlaylistClick", "lblSongBinClick"})
            (new QLabel(&form))->setObjectName(QLatin1String(name));
        lib = std::make_unique<Library>(&form);
    }
    void showNow()
    {
        form.show();
        full->viewport()->repaint(); // paints the first screen of rows
    }
};

// Seconds per iteration of the baselines, kept for the ratio counters of the runs after them.
double g_loadBaseline = 0, g_findBaseline = 0;

using Clock = std::chrono::steady_clock;
double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

long peakKb()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return 0;
}

// Runs first, before anything else raises the high-water mark.
void PeakMemoryWith100kRows(benchmark::State& state)
{
    const QString file = fullPlaylistFile();
    for (auto _ : state) {
        Window w;
        w.showNow();
        state.counters["before_MB"] = double(peakKb()) / 1024.0;
        w.lib->LoadFullPlaylist(file);
        w.showNow();
        state.counters["peak_MB"] = double(peakKb()) / 1024.0;
        state.counters["rows"] = w.lib->full().count();
    }
}
BENCHMARK(PeakMemoryWith100kRows)->Iterations(1)->Unit(benchmark::kMillisecond);

// A damaged or hostile list file: 13.6 million rows of one empty field each (54 MB), so six
// empty cells a row. Loading it must not take the program anywhere near a gigabyte: peak_MB is
// the whole program's high-water mark during the load, x_read the load's time against a plain
// read of the same file, rows what the list holds afterwards.
constexpr int kHostileRows = 13600000;

QString hostileFile()
{
    static QString path;
    if (path.isEmpty()) {
        fullPlaylistFile(); // the program folder
        path = folder().filePath("hostile.qnl");
        files::writeWhole(path, QByteArray("\"\"\r\n").repeated(kHostileRows));
    }
    return path;
}

// Starts the high-water mark afresh from what the program holds now.
void resetPeak()
{
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

void HostileListFile13MRows(benchmark::State& state)
{
    const QString file = hostileFile();
    ui::ScriptedDialogs dialogs; // the refusal's message box, answered at once
    ui::setDialogs(&dialogs);
    ErrorTrapOn = true; // as in the running program: a list that fails to load is logged
    for (auto _ : state) {
        const auto r0 = Clock::now();
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        benchmark::DoNotOptimize(f.readAll().size());
        f.close();
        const double read = seconds(Clock::now() - r0);
        Window w;
        resetPeak();
        const auto t0 = Clock::now();
        w.lib->LoadFullPlaylist(file);
        const double load = seconds(Clock::now() - t0);
        state.counters["peak_MB"] = double(peakKb()) / 1024.0;
        state.counters["x_read"] = load / read;
        state.counters["rows"] = w.lib->full().count();
        state.counters["refused"] = double(dialogs.shown.size());
    }
    ErrorTrapOn = false;
    ui::setDialogs(nullptr);
}
BENCHMARK(HostileListFile13MRows)->Iterations(1)->Unit(benchmark::kMillisecond);

// glibc adjusts when it hands large blocks fresh pages and when it gives freed memory back as a
// program runs, so a timing would depend on what ran before it: the read-and-split baseline took
// 27 ms after one history and 38 ms after another, and the load's ratio swung from 2.6 to 6.
// From the timed runs on (the peak memory is measured before), the heap only grows: after the
// first pass every run reuses memory already there, and the figures measure the work, not page
// faults.
void letTheHeapOnlyGrow()
{
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
}

// Baseline: read the file, decode it and cut it into one string per field with a plain loop.
void LoadBaselineReadAndSplit(benchmark::State& state)
{
    letTheHeapOnlyGrow();
    const QString file = fullPlaylistFile();
    Clock::duration total{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        const QString text = QString::fromUtf8(f.readAll());
        std::vector<QString> fields;
        const QChar* d = text.constData();
        qsizetype start = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = d[i];
            if (c == QLatin1Char(',') || c == QLatin1Char('\r')) {
                fields.emplace_back(d + start + 1, i - start - 2); // without the quotes
                if (c == QLatin1Char('\r'))
                    ++i; // the LF
                start = i + 1;
            }
        }
        benchmark::DoNotOptimize(fields.size());
        total += Clock::now() - t0;
    }
    g_loadBaseline = seconds(total) / double(state.iterations());
}
BENCHMARK(LoadBaselineReadAndSplit)->Unit(benchmark::kMillisecond);

void LoadFullPlaylistAndShow(benchmark::State& state)
{
    letTheHeapOnlyGrow();
    const QString file = fullPlaylistFile();
    Clock::duration total{};
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<Window>();
        state.ResumeTiming();
        const auto t0 = Clock::now();
        w->lib->LoadFullPlaylist(file);
        w->showNow();
        total += Clock::now() - t0;
        state.PauseTiming();
        if (w->lib->full().count() != kRows)
            state.SkipWithError("rows lost");
        w.reset();
        state.ResumeTiming();
    }
    if (g_loadBaseline > 0)
        state.counters["x_baseline"] = seconds(total) / double(state.iterations()) / g_loadBaseline;
}
BENCHMARK(LoadFullPlaylistAndShow)->Unit(benchmark::kMillisecond);

void SaveFullPlaylist100k(benchmark::State& state)
{
    Window w;
    w.lib->LoadFullPlaylist(fullPlaylistFile());
    AppPath = folder().filePath("save");
    QDir().mkpath(AppPath);
    for (auto _ : state)
        w.lib->SaveFullPlaylist();
    AppPath = folder().path();
}
BENCHMARK(SaveFullPlaylist100k)->Unit(benchmark::kMillisecond);

void SortFullPlaylistByTitle100k(benchmark::State& state)
{
    Window w;
    w.lib->LoadFullPlaylist(fullPlaylistFile());
    w.showNow();
    bool down = false;
    for (auto _ : state) {
        // Alternate the order so every run really moves rows.
        w.lib->full().sortByColumn(2, down ? Qt::DescendingOrder : Qt::AscendingOrder);
        down = !down;
    }
}
BENCHMARK(SortFullPlaylistByTitle100k)->Unit(benchmark::kMillisecond);

// A tree of 40,000 empty .mp3 files (and a few other files) in 200 folders of 200.
QString walkTree()
{
    static QString root;
    if (root.isEmpty()) {
        root = folder().filePath("tree");
        for (int d = 0; d < kWalkFiles / 200; ++d) {
            const QString sub = QStringLiteral("%1/Artist %2/Album").arg(root).arg(d);
            QDir().mkpath(sub);
            for (int i = 0; i < 200; ++i)
                QFile(QStringLiteral("%1/%2 - Track.mp3").arg(sub).arg(i)).open(QIODevice::WriteOnly);
            QFile(sub + "/cover.jpg").open(QIODevice::WriteOnly);
        }
        const QByteArray media = "\"" + root.toUtf8() + "\",\"Yes\"\r\n";
        QFile m(folder().filePath("MediaList.qnl"));
        m.open(QIODevice::WriteOnly);
        m.write(media);
    }
    return root;
}

void WalkBaselineFind(benchmark::State& state)
{
    const QString root = walkTree();
    const QByteArray cmd = "find '" + root.toUtf8() + "' -name '*.mp3'";
    Clock::duration total{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        FILE* p = popen(cmd.constData(), "r");
        char buf[65536];
        size_t lines = 0;
        while (size_t n = fread(buf, 1, sizeof buf, p))
            for (size_t i = 0; i < n; ++i)
                lines += buf[i] == '\n';
        pclose(p);
        total += Clock::now() - t0;
        if (lines != kWalkFiles)
            state.SkipWithError("find saw another count");
    }
    g_findBaseline = seconds(total) / double(state.iterations());
}
BENCHMARK(WalkBaselineFind)->Unit(benchmark::kMillisecond);

// The refresh as the program runs it: slices on the event loop until the walk is done.
void WalkRefresh40k(benchmark::State& state)
{
    walkTree();
    AppPath = folder().path();
    Clock::duration total{};
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<Window>();
        QEventLoop loop;
        QObject::connect(w->lib.get(), &Library::refreshFinished, &loop, &QEventLoop::quit);
        state.ResumeTiming();
        const auto t0 = Clock::now();
        w->lib->mnuFullRefreshSongs_Click();
        loop.exec();
        total += Clock::now() - t0;
        state.PauseTiming();
        if (w->lib->full().count() != kWalkFiles)
            state.SkipWithError("walk saw another count");
        w.reset();
        state.ResumeTiming();
    }
    if (g_findBaseline > 0)
        state.counters["x_baseline"] = seconds(total) / double(state.iterations()) / g_findBaseline;
}
BENCHMARK(WalkRefresh40k)->Unit(benchmark::kMillisecond);

} // namespace
