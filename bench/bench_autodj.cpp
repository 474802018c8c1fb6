// What the once-a-second request poll costs the interface thread, and how soon its list is there.
//
// The poll runs on the request database's own thread (requestlink.h): the interface thread asks,
// and takes the finished rows from its event loop into the Requests list. For each database:
//
// - hold_ms: the longest the calling thread was held by the request database in one go: the
//   poll's call, or the handing over of the rows into a Requests list model with its view (each
//   run of the event loop is timed). Goal: well under 50 ms, however large the database.
// - deliver_ms: from the poll's call until the rows are in the list.
// - x_direct: hold_ms against the same reload done on the calling thread (the flag taken, the
//   requests read, their tags read and the rows put into the list), which is what the window
//   would be held for if it did the work itself.
//
// Databases: 1,000 / 50,000 / 200,000 pending requests; 10 pending among 600,000 taken ones
// (about 224 MB); a write-ahead log of about 80 MB left behind by a writer that was killed (a
// copy of it is put back before each poll); a taken request of 100 MB; a writer holding its
// lock; and a view over a query that never ends (three seconds of once-a-second polls: only the
// link's thread is tied up).
// The databases are written by the sqlite3 tool, as the outside writer writes them.
#include "core/errorlog.h"
#include "library/requestlink.h"
#include "library/songlistmodel.h"
#include "library/songtag.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTreeView>
#include <QVariant>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

const QString Writer = QStringLiteral(QUENLOW_SOURCE_DIR "/tests/tools/request-writer.sh");

bool writer(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("bash"), QStringList{Writer} + args);
    return p.waitForFinished(600000) && p.exitCode() == 0;
}

// A request database with pending requests (and taken ones), its flag up; it is the one the
// program uses (RequestDBPath), so the link hands its rows over.
QString makeDatabase(const QTemporaryDir& dir, int pending, int old = 0)
{
    const QString db = dir.filePath(QStringLiteral("requests.db"));
    QFile::remove(db);
    if (!writer({QStringLiteral("create"), db}) || !writer({QStringLiteral("many"), db, QString::number(pending), QString::number(old)}))
        return {};
    RequestDBPath = db;
    return db;
}

// The Requests list as the window has it: the model and a view on it.
struct RequestsList {
    SongListModel model{SongListModel::Kind::Queue};
    QTreeView view;
    RequestsList()
    {
        view.setUniformRowHeights(true);
        view.setRootIsDecorated(false);
        view.resize(900, 400);
        view.setModel(&model);
    }
};

// Polls the database once through a link and waits for the rows: the longest hold of this
// thread and the time until the list holds them.
struct PollTimes {
    double hold = 0;
    double deliver = 0;
    int rows = 0;
};

PollTimes pollOnce(requestdb::RequestLink& link, RequestsList& list, const QString& db)
{
    bool delivered = false;
    link.onReloaded = [&](std::vector<SongRow>&& rows) {
        link.letGo(list.model.replaceRows(std::move(rows)));
        delivered = true;
    };
    PollTimes t;
    const auto start = Clock::now();
    link.poll(db, true, QStringLiteral("bench"));
    t.hold = ms(Clock::now() - start);
    // Every run of the event loop is timed; between runs the thread rests a little, as the
    // window's does between events.
    while (!link.idle()) {
        const auto t0 = Clock::now();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        t.hold = std::max(t.hold, ms(Clock::now() - t0));
        if (!link.idle())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (!delivered)
        t.rows = -1;
    t.deliver = ms(Clock::now() - start);
    if (delivered)
        t.rows = list.model.count();
    link.onReloaded = nullptr;
    return t;
}

// The same reload on the calling thread, for comparison.
double directReload(RequestsList& list, const QString& db)
{
    const auto start = Clock::now();
    requestdb::RequestStore store(db);
    if (store.takeNewRequestsFlag()) {
        const QStringList files = store.pendingRequests().files;
        std::vector<SongRow> rows;
        rows.reserve(size_t(files.size()));
        for (const QString& f : files) {
            if (!isMp3Name(f))
                continue;
            const SongCells c = readSongCells(f);
            rows.emplace_back(c.title, c.artist, c.time, c.genre, f);
        }
        list.model.replaceRows(std::move(rows));
    }
    return ms(Clock::now() - start);
}

void report(benchmark::State& state, double hold, double deliver, int rows, double direct)
{
    state.counters["hold_ms"] = hold;
    state.counters["deliver_ms"] = deliver;
    state.counters["rows"] = rows;
    if (direct > 0)
        state.counters["x_direct"] = hold / direct;
}

// The poll measured against the same reload on the calling thread, each after `prepare` has set
// the database up afresh (the flag raised, or the file put back): the longest hold of the calling
// thread, the longest wait until the rows are listed, and the rows.
void measurePolls(benchmark::State& state, const QString& db, const std::function<void()>& prepare)
{
    requestdb::RequestLink link;
    RequestsList list;
    double hold = 0, deliver = 0, direct = 0;
    int rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        direct = std::max(direct, directReload(list, db));
        list.model.replaceRows({});
        prepare();
        state.ResumeTiming();
        const PollTimes t = pollOnce(link, list, db);
        hold = std::max(hold, t.hold);
        deliver = std::max(deliver, t.deliver);
        rows = t.rows;
    }
    report(state, hold, deliver, rows, direct);
}

// pending requests, and taken ones beside them.
void RequestPoll(benchmark::State& state, int pending, int old)
{
    QTemporaryDir dir;
    errorlog::setFolder(dir.path());
    const QString db = makeDatabase(dir, pending, old);
    if (db.isEmpty()) {
        state.SkipWithError("no database");
        return;
    }
    measurePolls(state, db, [&] {
        requestdb::RequestStore(db).setConfigValue(requestdb::NewRequestsFlag, QStringLiteral("True"));
    });
    state.counters["db_mb"] = double(QFileInfo(db).size()) / (1 << 20);
    errorlog::setFolder({});
}
BENCHMARK_CAPTURE(RequestPoll, pending_1000, 1000, 0)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(RequestPoll, pending_50000, 50000, 0)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(RequestPoll, pending_200000, 200000, 0)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(RequestPoll, pending_10_old_600000, 10, 600000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// A write-ahead log of about 80 MB that a killed writer left behind: the first connection to
// open the database reads it all. A copy of the database and its log is put back before each
// poll, so every poll meets it.
void WalLeftBehind(benchmark::State& state)
{
    QTemporaryDir dir;
    errorlog::setFolder(dir.path());
    const QString db = makeDatabase(dir, 1000);
    const QString saved = dir.filePath(QStringLiteral("saved"));
    QDir().mkpath(saved);
    // The writer: WAL mode, no checkpoint, 250,000 large rows written, then killed before it
    // could close (closing would fold the log into the database).
    QProcess w;
    w.start(QStringLiteral("sqlite3"), {db});
    w.waitForStarted();
    w.write("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; BEGIN;"
            "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM c WHERE i < 250000)"
            " INSERT INTO UserRequests SELECT '/music/' || hex(randomblob(150)) || '.mp3', 'OK', 1, '' FROM c;"
            "UPDATE Config SET ConfigValue='True' WHERE ID=5; COMMIT; SELECT 'written';\n");
    w.waitForReadyRead(600000);
    w.kill();
    w.waitForFinished();
    const QString wal = db + QStringLiteral("-wal");
    const qint64 walBytes = QFileInfo(wal).size();
    for (const QString& f : {db, wal})
        QFile::copy(f, saved + QLatin1Char('/') + QFileInfo(f).fileName());
    auto putBack = [&] {
        for (const QString& f : {db, wal, db + QStringLiteral("-shm")})
            QFile::remove(f);
        for (const QString& f : {db, wal})
            QFile::copy(saved + QLatin1Char('/') + QFileInfo(f).fileName(), f);
    };
    measurePolls(state, db, putBack);
    state.counters["wal_mb"] = double(walBytes) / (1 << 20);
    errorlog::setFolder({});
}
BENCHMARK(WalLeftBehind)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// One taken request of 100 MB (a writer's slip): every reload reads past it.
void HugeValue(benchmark::State& state)
{
    QTemporaryDir dir;
    errorlog::setFolder(dir.path());
    const QString db = makeDatabase(dir, 1000);
    QProcess p;
    p.start(QStringLiteral("sqlite3"),
            {db, QStringLiteral("INSERT INTO UserRequests VALUES (hex(randomblob(50000000)), 'OK', 1, '');")});
    p.waitForFinished(600000);
    measurePolls(state, db, [&] {
        requestdb::RequestStore(db).setConfigValue(requestdb::NewRequestsFlag, QStringLiteral("True"));
    });
    state.counters["db_mb"] = double(QFileInfo(db).size()) / (1 << 20);
    errorlog::setFolder({});
}
BENCHMARK(HugeValue)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Runs the event loop for a while with a once-a-second poll, as the window does; returns the
// longest run of the loop (or poll call).
double ticksFor(requestdb::RequestLink& link, const QString& db, int seconds)
{
    double longest = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    auto nextTick = Clock::now();
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        if (t0 >= nextTick) {
            link.poll(db, true, QStringLiteral("bench"));
            nextTick += std::chrono::seconds(1);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        longest = std::max(longest, ms(Clock::now() - t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return longest;
}

// The writer holds its lock (exclusive: readers are kept out too).
void LockedDatabase(benchmark::State& state)
{
    QTemporaryDir dir;
    errorlog::setFolder(dir.path());
    const QString db = makeDatabase(dir, 200);
    QProcess holder;
    holder.start(QStringLiteral("sqlite3"), {db});
    holder.waitForStarted();
    holder.write("BEGIN EXCLUSIVE; UPDATE Config SET ConfigValue=ConfigValue WHERE ID=1; SELECT 'locked';\n");
    holder.waitForReadyRead(60000);
    requestdb::RequestLink link;
    double hold = 0;
    for (auto _ : state)
        hold = std::max(hold, ticksFor(link, db, 3));
    state.counters["hold_ms"] = hold;
    holder.kill();
    holder.waitForFinished();
    errorlog::setFolder({});
}
BENCHMARK(LockedDatabase)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Config (0) or UserRequests (1) a view over a query that never ends: the polls tie up only the
// link's thread, until its time limit stops each one.
void EndlessView(benchmark::State& state)
{
    QTemporaryDir dir;
    errorlog::setFolder(dir.path());
    const QString db = makeDatabase(dir, 200);
    writer({QStringLiteral("endless"), db, state.range(0) == 0 ? QStringLiteral("Config") : QStringLiteral("UserRequests")});
    requestdb::RequestLink link;
    double hold = 0;
    for (auto _ : state)
        hold = std::max(hold, ticksFor(link, db, 3));
    state.counters["hold_ms"] = hold;
    // The link's thread is stopped when the link goes (ShutdownWaitMs at most).
    errorlog::setFolder({});
}
BENCHMARK(EndlessView)->ArgName("requests")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
