// What the once-a-second request poll costs the interface thread.
//
// - The quiet poll (Config row 5 reads "False": nothing new) opens the file on a connection of
//   its own, reads the flag and closes it again. Its baseline is the same query on a connection
//   kept open, so the ratio shows what a fresh connection per poll costs (goal: the quiet poll
//   well under 1 ms, so the 1-second timer never stalls the window).
// - A reload of 200 pending requests in one transaction (the list itself left out), against
//   the same reading without the transaction and the flag reset.
// - A poll while the outside writer holds the database locked (its write lock, and an exclusive
//   lock that keeps readers out too), with new requests flagged: the poll gives up after its
//   short wait and the next tick tries again. Goal: under 50 ms on the interface thread
//   (max_ms); x_quiet is its cost against the quiet poll. LockedStoreWait200ms is the same poll
//   with the 200 ms wait it used to have, for comparison.
// - A poll of a database whose Config (or UserRequests) is a view over a query that never ends:
//   the time limit stops it. max_ms is the longest the interface thread is held (goal: about
//   50 ms, the limit); x_quiet its cost against the quiet poll.
#include "core/errorlog.h"
#include "library/requestdb.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double g_selectBaseline = 0; // seconds per query on a kept connection
double g_readBaseline = 0;   // seconds per plain read of the pending requests
double g_quietPoll = 0;      // seconds per quiet poll

// A request database with n pending requests, made by the sqlite3 tool as the outside writer.
QString makeDatabase(const QTemporaryDir& dir, int n)
{
    const QString db = dir.filePath(QStringLiteral("requests.db"));
    QString sql = QStringLiteral(
        "CREATE TABLE UserRequests (RequestFilename TEXT, Status TEXT, NumRequests INTEGER, RequestDate TEXT);"
        "CREATE TABLE Config (ID INTEGER, ConfigValue TEXT);"
        "INSERT INTO Config VALUES (1,'False'),(2,'False'),(3,'False'),(4,'False'),(5,'False');BEGIN;");
    for (int i = 0; i < n; ++i)
        sql += QStringLiteral("INSERT INTO UserRequests VALUES ('/music/song %1.mp3','NA',%2,'2024-01-01 10:%3:00');")
                   .arg(i)
                   .arg(i % 7)
                   .arg(i % 60, 2, 10, QLatin1Char('0'));
    sql += QStringLiteral("COMMIT;");
    QProcess p;
    p.start(QStringLiteral("sqlite3"), {db, sql});
    p.waitForFinished(60000);
    return db;
}

void KeptConnectionSelect(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = makeDatabase(dir, 0);
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-kept"));
        c.setDatabaseName(db);
        c.open();
        QSqlQuery q(c);
        q.prepare(QStringLiteral("SELECT ConfigValue FROM Config WHERE ID=? LIMIT 1"));
        Clock::duration total{};
        for (auto _ : state) {
            const auto t0 = Clock::now();
            q.addBindValue(5);
            q.exec();
            q.next();
            benchmark::DoNotOptimize(q.value(0).toString());
            q.finish();
            total += Clock::now() - t0;
        }
        g_selectBaseline = seconds(total) / double(state.iterations());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-kept"));
}
BENCHMARK(KeptConnectionSelect)->Unit(benchmark::kMicrosecond);

void QuietPoll(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = makeDatabase(dir, 200);
    requestdb::RequestPoll poll(QStringLiteral("bench"));
    Clock::duration total{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(poll.poll(db, true, [](const QStringList&) {}));
        total += Clock::now() - t0;
    }
    g_quietPoll = seconds(total) / double(state.iterations());
    if (g_selectBaseline > 0)
        state.counters["x_baseline"] = g_quietPoll / g_selectBaseline;
}
BENCHMARK(QuietPoll)->Unit(benchmark::kMicrosecond);

void ReadPending(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = makeDatabase(dir, 200);
    requestdb::RequestStore store(db);
    Clock::duration total{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(store.pendingRequests());
        total += Clock::now() - t0;
    }
    g_readBaseline = seconds(total) / double(state.iterations());
}
BENCHMARK(ReadPending)->Unit(benchmark::kMicrosecond);

void ReloadInOneTransaction(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = makeDatabase(dir, 200);
    requestdb::RequestStore store(db);
    Clock::duration total{};
    int rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        store.setConfigValue(requestdb::NewRequestsFlag, QStringLiteral("True"));
        state.ResumeTiming();
        const auto t0 = Clock::now();
        store.reloadPending([&](const QStringList& files) { rows = int(files.size()); });
        total += Clock::now() - t0;
    }
    state.counters["rows"] = rows;
    if (g_readBaseline > 0)
        state.counters["x_baseline"] = seconds(total) / double(state.iterations()) / g_readBaseline;
}
BENCHMARK(ReloadInOneTransaction)->Unit(benchmark::kMicrosecond);

// Holds the database locked on a connection of its own, as the outside writer does: its write
// lock (readers may still read) or, with exclusive, a lock that keeps readers out as well.
class LockHolder {
public:
    LockHolder(const QString& db, bool exclusive)
    {
        c_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-holder"));
        c_.setDatabaseName(db);
        c_.open();
        QSqlQuery q(c_);
        q.exec(exclusive ? QStringLiteral("BEGIN EXCLUSIVE") : QStringLiteral("BEGIN IMMEDIATE"));
        q.exec(QStringLiteral("UPDATE Config SET ConfigValue=ConfigValue WHERE ID=1"));
    }
    ~LockHolder()
    {
        {
            QSqlQuery q(c_);
            q.exec(QStringLiteral("ROLLBACK"));
        }
        c_.close();
        c_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("bench-holder"));
    }

private:
    QSqlDatabase c_;
};

// Runs call once per iteration and reports the longest call (max_ms) and the mean against the
// quiet poll (x_quiet): what a poll that cannot finish costs the interface thread.
void timeBlockingCalls(benchmark::State& state, const std::function<void()>& call)
{
    Clock::duration total{}, longest{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        call();
        const auto d = Clock::now() - t0;
        total += d;
        longest = std::max(longest, d);
    }
    state.counters["max_ms"] = seconds(longest) * 1000.0;
    if (g_quietPoll > 0)
        state.counters["x_quiet"] = seconds(total) / double(state.iterations()) / g_quietPoll;
}

void LockedPoll(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = makeDatabase(dir, 200);
    requestdb::RequestStore(db).setConfigValue(requestdb::NewRequestsFlag, QStringLiteral("True"));
    LockHolder holder(db, state.range(0) != 0);
    requestdb::RequestPoll poll(QStringLiteral("bench"));
    timeBlockingCalls(state, [&] { benchmark::DoNotOptimize(poll.poll(db, true, [](const QStringList&) {})); });
}
BENCHMARK(LockedPoll)->ArgName("exclusive")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void LockedStoreWait200ms(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = makeDatabase(dir, 200);
    requestdb::RequestStore store(db, 200);
    store.setConfigValue(requestdb::NewRequestsFlag, QStringLiteral("True"));
    LockHolder holder(db, false);
    timeBlockingCalls(state, [&] {
        try {
            store.reloadPending([](const QStringList&) {});
        } catch (const std::exception&) {
        }
    });
}
BENCHMARK(LockedStoreWait200ms)->Iterations(5)->Unit(benchmark::kMillisecond);

void EndlessViewPoll(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = makeDatabase(dir, 200);
    requestdb::RequestStore(db).setConfigValue(requestdb::NewRequestsFlag, QStringLiteral("True"));
    const QString table = state.range(0) == 0 ? QStringLiteral("Config") : QStringLiteral("UserRequests");
    QProcess p;
    p.start(QStringLiteral("sqlite3"),
            {db, QStringLiteral("ALTER TABLE %1 RENAME TO %1Rows; CREATE VIEW %1 AS SELECT * FROM %1Rows WHERE "
                                "(WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n+1 FROM r) SELECT count(*) FROM r) > 0;")
                     .arg(table)});
    p.waitForFinished(60000);
    errorlog::setFolder(dir.path()); // the stopped poll is logged once
    requestdb::RequestPoll poll(QStringLiteral("bench"));
    timeBlockingCalls(state, [&] { benchmark::DoNotOptimize(poll.poll(db, true, [](const QStringList&) {})); });
    errorlog::setFolder({});
}
BENCHMARK(EndlessViewPoll)->ArgName("requests")->Arg(0)->Arg(1)->Iterations(40)->Unit(benchmark::kMillisecond);

} // namespace
