// The song lists at the size of a big library (100,000 rows):
// - a search with 10,000 hits until the hits are listed, against a plain case-insensitive
//   substring loop over the same cells in the same run (x_baseline), with the longest time the
//   window's event loop waited while the search matched and listed (max_block_ms) and while it
//   read the hits' tags afterwards (refresh_max_block_ms); the same for a text every row holds;
// - a header click sorting the Full Playlist of the real main window.
#include "core/errorlog.h"
#include "core/settings.h"
#include "library/library.h"
#include "library/listviews.h"
#include "library/search.h"
#include "shell/frmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>

namespace {
constexpr int kRows = 100000;
constexpr int kHits = 10000;
const QString kNeedle = QStringLiteral("zebra");

using Clock = std::chrono::steady_clock;
double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// 100,000 scanned rows; every tenth one carries the searched word in its title. Every row
// names the same tagged file, so the tag reads after the listing read a real file.
std::vector<SongRow> libraryRows()
{
    const QString file = QStringLiteral(QUENLOW_MEDIA_DIR "/tagged.mp3");
    std::vector<SongRow> rows;
    rows.reserve(kRows);
    for (int i = 0; i < kRows; ++i)
        rows.emplace_back((i % 10 == 0 ? QStringLiteral("Zebra Song %1") : QStringLiteral("Song Title Number %1")).arg(i),
                          QStringLiteral("Artist %1").arg(i % 5000),
                          QStringLiteral("%1:%2").arg(2 + i % 5).arg(i % 60, 2, 10, QLatin1Char('0')),
                          QStringLiteral("Rock"), file, QStringLiteral("SCANNED"));
    return rows;
}

struct Program {
    QTemporaryDir dir;
    std::unique_ptr<frmMain> w;
    Program()
    {
        AppPath = dir.path();
        errorlog::setFolder(dir.path());
        ErrorTrapOn = true;
        w = std::make_unique<frmMain>();
        w->library->full().appendRows(libraryRows());
    }
};

double g_searchBaseline = 0;

// Baseline: the same joined cells, a fresh string per row, QString::contains without case.
void SearchBaselinePlainLoop(benchmark::State& state)
{
    const std::vector<SongRow> rows = libraryRows();
    Clock::duration total{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        int hits = 0;
        for (const SongRow& r : rows) {
            const QString joined = r.cells[field::Title] + QLatin1Char(' ') + r.cells[field::Artist] +
                                   r.cells[field::Time] + r.cells[field::Genre] + r.cells[field::Filename];
            hits += joined.contains(kNeedle, Qt::CaseInsensitive);
        }
        total += Clock::now() - t0;
        if (hits != kHits)
            state.SkipWithError("the baseline found another count");
    }
    g_searchBaseline = seconds(total) / double(state.iterations());
}
BENCHMARK(SearchBaselinePlainLoop)->Unit(benchmark::kMillisecond);

// The longest wait of the event loop: a zero timer fires on every pass of the loop, so the
// longest gap between two of its ticks (or from the start of the search to the first) is the
// longest the window could not react.
struct BlockMeter {
    QTimer tick;
    QElapsedTimer since;
    qint64 worst = 0;
    BlockMeter()
    {
        tick.setInterval(0);
        QObject::connect(&tick, &QTimer::timeout, [this] {
            worst = std::max(worst, since.nsecsElapsed());
            since.restart();
        });
    }
    void start()
    {
        worst = 0;
        since.start();
        tick.start();
    }
    double worstMs() const { return double(worst) / 1e6; }
};

void runSearch(benchmark::State& state, const QString& needle, int expectedHits)
{
    Program p;
    p.w->show();
    // The window's first paint is not the search's: let it happen before measuring.
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
    LibrarySearch& search = p.w->listViews->search();
    Clock::duration total{};
    double worst = 0, refreshWorst = 0, refreshMs = 0;
    for (auto _ : state) {
        BlockMeter meter;
        QEventLoop loop;
        auto listed = QObject::connect(&search, &LibrarySearch::hitsListed, &loop, &QEventLoop::quit);
        const auto t0 = Clock::now();
        meter.start();
        search.run(needle);
        if (search.matching())
            loop.exec();
        total += Clock::now() - t0;
        QObject::disconnect(listed);
        QApplication::processEvents(); // the last gap, up to the loop's next pass
        worst = std::max(worst, meter.worstMs());

        state.PauseTiming();
        if (p.w->library->search().count() != expectedHits)
            state.SkipWithError("the search listed another count");
        // The hits' tags are read afterwards, in slices on the event loop.
        meter.start();
        const auto r0 = Clock::now();
        QEventLoop done;
        QObject::connect(&search, &LibrarySearch::finished, &done, &QEventLoop::quit);
        if (search.refreshing())
            done.exec();
        refreshMs = seconds(Clock::now() - r0) * 1000;
        QApplication::processEvents();
        refreshWorst = std::max(refreshWorst, meter.worstMs());
        state.ResumeTiming();
    }
    if (g_searchBaseline > 0 && expectedHits == kHits)
        state.counters["x_baseline"] = seconds(total) / double(state.iterations()) / g_searchBaseline;
    state.counters["max_block_ms"] = worst;
    state.counters["refresh_ms"] = refreshMs;
    state.counters["refresh_max_block_ms"] = refreshWorst;
}

void Search100kRowsWith10kHits(benchmark::State& state) { runSearch(state, kNeedle, kHits); }
BENCHMARK(Search100kRowsWith10kHits)->Unit(benchmark::kMillisecond);

// A text every row holds (each path ends in ".mp3"): 100,000 hits listed, then 100,000 tags read.
void Search100kRowsAllHits(benchmark::State& state) { runSearch(state, QStringLiteral("mp3"), kRows); }
BENCHMARK(Search100kRowsAllHits)->Unit(benchmark::kMillisecond)->Iterations(3);

// A header click on the Full Playlist of the main window: sort by title (the direction
// alternates with every click), keep the selection on its row, scroll it into view.
void HeaderClickSort100k(benchmark::State& state)
{
    Program p;
    p.w->show();
    QTreeView* full = p.w->findChild<QTreeView*>(QStringLiteral("lstFullPlaylist"));
    Library::selectRow(full, kRows / 2, false);
    for (auto _ : state)
        p.w->listViews->ColumnClick(full, 1);
}
BENCHMARK(HeaderClickSort100k)->Unit(benchmark::kMillisecond);

} // namespace
