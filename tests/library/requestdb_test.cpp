// The request database store, and the link that runs it on a thread of its own, against
// databases written by the sqlite3 tool, as the outside request writer writes them.
#include "core/errorlog.h"
#include "core/settings.h"
#include "library/requestlink.h"
#include "library/songtag.h"
#include "support/testutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <thread>

using requestdb::RequestLink;
using requestdb::RequestStore;

namespace {

const QString Writer = QStringLiteral(QUENLOW_SOURCE_DIR "/tests/tools/request-writer.sh");

// The writer holding the database's write lock, as another program in the middle of a write,
// until it is released; with a file, adding a request for it in that write.
void holdLock(QProcess& holder, const QString& db, const QString& file = {})
{
    QStringList args{Writer, "lock", db};
    if (!file.isEmpty())
        args << file;
    holder.start(QStringLiteral("bash"), args);
    ASSERT_TRUE(holder.waitForReadyRead(20000));
    ASSERT_TRUE(holder.readAllStandardOutput().contains("locked"));
}

void releaseLock(QProcess& holder, const QString& db)
{
    ASSERT_TRUE(testutil::writeAll(db + QStringLiteral(".release"), {}));
    ASSERT_TRUE(holder.waitForFinished(20000));
}

QString writer(const QStringList& args, int* code = nullptr)
{
    return QString::fromUtf8(testutil::run(QStringLiteral("bash"), QStringList{Writer} + args, code)).trimmed();
}

QString sqlite(const QString& db, const QString& sql)
{
    return QString::fromUtf8(testutil::run(QStringLiteral("sqlite3"), {db, sql})).trimmed();
}

bool makeFifo(const QString& path) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; }

// The operations of the hostile cases are stopped after this long (the program's is seconds).
constexpr int ShortLimitMs = 300;

// A reload as the poll does it: the flag taken, then the pending requests read.
QStringList reload(const RequestStore& s)
{
    return s.takeNewRequestsFlag() ? s.pendingRequests().files : QStringList{QStringLiteral("no reload")};
}

QStringList filesOf(const std::vector<SongRow>& rows)
{
    QStringList out;
    for (const SongRow& r : rows)
        out << r.filename();
    return out;
}

// A link whose reloads are kept, and which is waited for.
struct Link {
    RequestLink link;
    std::vector<std::vector<SongRow>> reloads;
    Link() { link.onReloaded = [this](std::vector<SongRow>&& rows) { reloads.push_back(std::move(rows)); }; }
    // Every answer is in; false after a generous wait on a loaded machine.
    bool settle() { return QTest::qWaitFor([this] { return link.idle(); }, 60000); }
    // One poll, answered.
    bool poll(const QString& db, bool take = true)
    {
        link.poll(db, take, QStringLiteral("B-299"));
        return settle();
    }
};

int raisedNumber(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const RuntimeError& e) {
        return e.number();
    }
    return 0;
}

class RequestDb : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        errorlog::setFolder(dir.path());
        db = dir.filePath(QStringLiteral("requests.db"));
        int code = -1;
        writer({QStringLiteral("create"), db}, &code);
        ASSERT_EQ(code, 0);
    }
    void TearDown() override
    {
        // Every operation gives its connection back, failed ones included.
        EXPECT_TRUE(QSqlDatabase::connectionNames().isEmpty()) << QSqlDatabase::connectionNames().join(',').toStdString();
        errorlog::setFolder({});
    }

    void add(const QString& file, int n = 1, const QString& date = {}, const QString& status = {})
    {
        QStringList args{QStringLiteral("add"), db, file, QString::number(n)};
        if (!date.isEmpty() || !status.isEmpty())
            args << (date.isEmpty() ? QStringLiteral("2024-01-01 00:00:00") : date);
        if (!status.isEmpty())
            args << status;
        int code = -1;
        writer(args, &code);
        ASSERT_EQ(code, 0);
    }

    int logLines() const
    {
        return int(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))).count("\r\n"));
    }

    QTemporaryDir dir;
    QString db;
};

} // namespace

TEST_F(RequestDb, ReloadTakesPendingRequestsInOrderAndClearsTheFlag)
{
    add(QStringLiteral("/m/once-late.mp3"), 1, QStringLiteral("2024-05-02 10:00:00"));
    add(QStringLiteral("/m/thrice.mp3"), 3, QStringLiteral("2024-05-03 10:00:00"));
    add(QStringLiteral("/m/once-early.mp3"), 1, QStringLiteral("2024-05-01 10:00:00"));
    add(QStringLiteral("/m/played.mp3"), 9, QStringLiteral("2024-05-01 09:00:00"), QStringLiteral("OK"));
    // Records without a file name name no song.
    sqlite(db, QStringLiteral("INSERT INTO UserRequests VALUES (NULL,'NA',5,'2024-01-01');"
                              "INSERT INTO UserRequests VALUES ('','NA',5,'2024-01-01');"));

    RequestStore store(db);
    EXPECT_EQ(reload(store), (QStringList{"/m/thrice.mp3", "/m/once-early.mp3", "/m/once-late.mp3"}));
    EXPECT_EQ(writer({"get", db, "5"}), "False");
    // The reload only reads: the records stay until a request is taken or cleared.
    EXPECT_EQ(writer({"count", db}), "6");
    // With the flag down the next poll reloads nothing.
    EXPECT_FALSE(store.takeNewRequestsFlag());

    // More than the list takes: the most requested come, and the reload says it was cut.
    const requestdb::PendingRequests two = store.pendingRequests(2);
    EXPECT_EQ(two.files, (QStringList{"/m/thrice.mp3", "/m/once-early.mp3"}));
    EXPECT_TRUE(two.cut);
    EXPECT_FALSE(store.pendingRequests(3).cut);
}

TEST_F(RequestDb, OnlyTheExactTextTrueSignalsNewRequests)
{
    add(QStringLiteral("/m/a.mp3"));
    RequestStore store(db);
    for (const char* value : {"true", "TRUE", "True ", "1", ""}) {
        writer({"flag", db, value});
        EXPECT_FALSE(store.takeNewRequestsFlag()) << value;
        EXPECT_EQ(store.configValue(5), QString::fromLatin1(value)) << "the flag is left alone";
    }
    sqlite(db, QStringLiteral("UPDATE Config SET ConfigValue=NULL WHERE ID=5"));
    EXPECT_FALSE(store.takeNewRequestsFlag());
    EXPECT_EQ(store.configValue(5), QString());
}

TEST_F(RequestDb, ARequestWrittenDuringTheReloadIsNotLost)
{
    add(QStringLiteral("/m/first.mp3"));
    RequestStore store(db);
    ASSERT_TRUE(store.takeNewRequestsFlag());
    // The writer adds a request and raises the flag between the flag and the read.
    add(QStringLiteral("/m/late.mp3"));
    EXPECT_EQ(store.pendingRequests().files, (QStringList{"/m/first.mp3", "/m/late.mp3"}));
    // Listed now, and flagged for the next reload as well: never left out.
    EXPECT_EQ(writer({"get", db, "5"}), "True");
}

TEST_F(RequestDb, QuotesAndSqlInFileNamesAreOnlyText)
{
    const QString rock = QStringLiteral("/Music/Rock 'n' Roll.mp3");
    const QString hostile = QStringLiteral("/m/x'); DROP TABLE UserRequests; --.mp3");
    const QString wildcard = QStringLiteral("/m/' OR '1'='1.mp3");
    add(rock);
    add(rock, 2);
    add(hostile);
    add(wildcard);
    add(QStringLiteral("/m/other.mp3"));

    RequestStore store(db);
    const QStringList got = reload(store);
    EXPECT_EQ(got.size(), 5);
    EXPECT_TRUE(got.contains(hostile));

    // Both records of the quoted name go; nothing else does.
    EXPECT_EQ(store.deleteRequestsFor(rock).records, 2);
    EXPECT_EQ(store.deleteRequestsFor(wildcard).records, 1);
    EXPECT_EQ(store.deleteRequestsFor(hostile).records, 1);
    EXPECT_EQ(store.pendingRequests().files, QStringList{"/m/other.mp3"});
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT count(*) FROM Config")), "5");
}

TEST_F(RequestDb, DeletesIgnoreStatusAndClearTakesOnlyWhatTheReloadRead)
{
    add(QStringLiteral("/m/a.mp3"), 1, {}, QStringLiteral("DONE"));
    add(QStringLiteral("/m/a.mp3"));
    add(QStringLiteral("/m/b.mp3"));
    add(QStringLiteral("/m/c.mp3"), 1, {}, QStringLiteral("DONE"));
    RequestStore store(db);
    const requestdb::PendingRequests read = store.pendingRequests();
    EXPECT_EQ(read.top, 4);
    const requestdb::Deleted a = store.deleteRequestsFor(QStringLiteral("/m/a.mp3"));
    EXPECT_EQ(a.records, 2);
    EXPECT_EQ(a.top, 4);
    EXPECT_EQ(store.deleteRequestsFor(QStringLiteral("/m/none.mp3")).records, 0);

    // The top record goes: the next request the writer adds is given its rowid, so a bound
    // taken from the reload is lowered to what is left.
    const requestdb::Deleted c = store.deleteRequestsFor(QStringLiteral("/m/c.mp3"));
    EXPECT_EQ(c.top, 3);
    add(QStringLiteral("/m/new.mp3"));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT rowid FROM UserRequests WHERE RequestFilename='/m/new.mp3'")), "4");
    const requestdb::Deleted cleared = store.deleteRequestsUpTo(std::min(read.top, c.top));
    EXPECT_EQ(cleared.records, 1);
    EXPECT_EQ(store.pendingRequests().files, QStringList{"/m/new.mp3"});
    EXPECT_EQ(cleared.top, 4);

    // Every status up to the bound goes; an empty table's top is 0.
    add(QStringLiteral("/m/d.mp3"), 1, {}, QStringLiteral("DONE"));
    EXPECT_EQ(store.deleteRequestsUpTo(5).records, 2);
    EXPECT_EQ(writer({"count", db}), "0");
    EXPECT_EQ(store.pendingRequests().top, 0);
}

TEST_F(RequestDb, ConfigRowsAreReadAndEditedByNumber)
{
    RequestStore store(db);
    store.setConfigValue(1, QStringLiteral("True"));
    store.setConfigValue(2, QStringLiteral("x'; DELETE FROM Config; --"));
    EXPECT_EQ(writer({"get", db, "1"}), "True");
    EXPECT_EQ(store.configValue(2), "x'; DELETE FROM Config; --");
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT count(*) FROM Config")), "5");

    // A duplicated row: only the first record is edited.
    sqlite(db, QStringLiteral("INSERT INTO Config VALUES (3,'Second')"));
    store.setConfigValue(3, QStringLiteral("True"));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT group_concat(ConfigValue) FROM Config WHERE ID=3")), "True,Second");

    // A missing row fails both ways and adds nothing.
    sqlite(db, QStringLiteral("DELETE FROM Config WHERE ID=5"));
    EXPECT_EQ(raisedNumber([&] { store.configValue(5); }), requestdb::ErrNoCurrentRecord);
    EXPECT_EQ(raisedNumber([&] { store.setConfigValue(5, "True"); }), requestdb::ErrNoCurrentRecord);
    EXPECT_EQ(raisedNumber([&] { store.takeNewRequestsFlag(); }), requestdb::ErrNoCurrentRecord);
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT count(*) FROM Config")), "5");
}

TEST_F(RequestDb, PathsWithQuotesAndUrlCharactersOpen)
{
    const QString folder = dir.filePath(QStringLiteral("Bob's ?#% \u00e9 requests"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString odd = folder + QStringLiteral("/it's #1?.db");
    ASSERT_TRUE(QFile::copy(db, odd));
    writer({"add", odd, "/m/a.mp3"});
    RequestStore store(odd);
    EXPECT_EQ(reload(store), QStringList{"/m/a.mp3"});
    EXPECT_EQ(writer({"get", odd, "5"}), "False");
    // Nothing was created beside it under a mangled name.
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 1);
}

TEST_F(RequestDb, MissingBrokenAndLockedDatabasesFailWithoutHarm)
{
    // Missing: never created.
    const QString missing = dir.filePath(QStringLiteral("missing.db"));
    EXPECT_FALSE(RequestStore(missing).exists());
    EXPECT_EQ(raisedNumber([&] { RequestStore(missing).configValue(5); }), requestdb::ErrFileNotFound);
    EXPECT_FALSE(QFile::exists(missing));
    // A folder is no database.
    EXPECT_FALSE(RequestStore(dir.path()).exists());

    // Not a database: reported, the file left as it was.
    const QString junk = dir.filePath(QStringLiteral("junk.db"));
    const QByteArray bytes(4096, 'x');
    ASSERT_TRUE(testutil::writeAll(junk, bytes));
    EXPECT_EQ(raisedNumber([&] { RequestStore(junk).takeNewRequestsFlag(); }), requestdb::ErrCannotOpen);
    EXPECT_EQ(testutil::readAll(junk), bytes);

    // An empty file is an empty database without the tables.
    const QString empty = dir.filePath(QStringLiteral("empty.db"));
    ASSERT_TRUE(testutil::writeAll(empty, {}));
    EXPECT_EQ(raisedNumber([&] { RequestStore(empty).configValue(5); }), requestdb::ErrDatabase);

    // Locked by the writer: taking the flag fails (after the busy wait) and works once the lock
    // is gone; the flag is still up for that later try.
    add(QStringLiteral("/m/a.mp3"));
    QProcess holder;
    ASSERT_NO_FATAL_FAILURE(holdLock(holder, db));
    RequestStore store(db, 100);
    EXPECT_EQ(raisedNumber([&] { store.takeNewRequestsFlag(); }), requestdb::ErrLocked);
    // A wait for the lock, however long it may be, ends as soon as the program ends.
    std::atomic<bool> ending{false};
    std::thread ender([&] {
        QThread::msleep(100);
        ending = true;
    });
    EXPECT_EQ(raisedNumber([&] { RequestStore(db, 600000, 600000, &ending).takeNewRequestsFlag(); }),
              requestdb::ErrLocked);
    ender.join();
    ASSERT_NO_FATAL_FAILURE(releaseLock(holder, db));
    EXPECT_EQ(reload(store), QStringList{"/m/a.mp3"});

    // Tables made views over a query that never ends: every operation is stopped by the time
    // limit, and nothing is changed.
    writer({"flag", db, "True"});
    const QString slow = dir.filePath(QStringLiteral("slow.db"));
    ASSERT_TRUE(QFile::copy(db, slow));
    writer({"endless", slow, "UserRequests"});
    RequestStore slowRequests(slow, requestdb::BusyTimeoutMs, ShortLimitMs);
    EXPECT_EQ(raisedNumber([&] { slowRequests.pendingRequests(); }), requestdb::ErrTimedOut);
    EXPECT_EQ(writer({"get", slow, "5"}), "True");
    EXPECT_EQ(raisedNumber([&] { slowRequests.deleteRequestsFor(QStringLiteral("/m/a.mp3")); }), requestdb::ErrTimedOut);
    EXPECT_EQ(raisedNumber([&] { slowRequests.deleteRequestsUpTo(1000); }), requestdb::ErrTimedOut);
    writer({"endless", slow, "Config"});
    EXPECT_EQ(raisedNumber([&] { slowRequests.configValue(5); }), requestdb::ErrTimedOut);
    EXPECT_EQ(raisedNumber([&] { slowRequests.takeNewRequestsFlag(); }), requestdb::ErrTimedOut);
    EXPECT_EQ(raisedNumber([&] { slowRequests.setConfigValue(5, "True"); }), requestdb::ErrTimedOut);
    EXPECT_EQ(raisedNumber([&] { slowRequests.setTakeRequests(true); }), requestdb::ErrTimedOut);
    EXPECT_EQ(sqlite(slow, QStringLiteral("SELECT group_concat(ConfigValue) FROM ConfigRows")), "False,False,False,False,True");
    // A value too big to be built in one step fails at once.
    const QString huge = dir.filePath(QStringLiteral("huge.db"));
    ASSERT_TRUE(QFile::copy(db, huge));
    sqlite(huge, QStringLiteral("DROP TABLE Config; CREATE VIEW Config AS SELECT 5 AS ID, hex(randomblob(500000000)) AS ConfigValue;"));
    EXPECT_EQ(raisedNumber([&] { RequestStore(huge).configValue(5); }), requestdb::ErrDatabase);

    // A statement still running when the program ends is stopped as by the time limit.
    std::atomic<bool> stop{true};
    const QString endless = dir.filePath(QStringLiteral("endless.db"));
    ASSERT_TRUE(QFile::copy(slow, endless));
    EXPECT_EQ(raisedNumber([&] { RequestStore(endless, 100, requestdb::TimeLimitMs, &stop).configValue(5); }),
              requestdb::ErrTimedOut);

    // Named pipes where the database or its journal belongs are never opened: reading one waits
    // for a writer for ever.
    const QString pipe = dir.filePath(QStringLiteral("pipe.db"));
    ASSERT_TRUE(makeFifo(pipe));
    EXPECT_FALSE(RequestStore(pipe).exists());
    EXPECT_EQ(raisedNumber([&] { RequestStore(pipe).configValue(5); }), requestdb::ErrCannotOpen);
    ASSERT_TRUE(makeFifo(db + QStringLiteral("-journal")));
    EXPECT_EQ(raisedNumber([&] { store.configValue(5); }), requestdb::ErrCannotOpen);
    ASSERT_TRUE(QFile::remove(db + QStringLiteral("-journal")));
    EXPECT_EQ(store.configValue(5), "True");
}

TEST_F(RequestDb, ThePollLogsARepeatedFailureOnce)
{
    Link l;
    l.link.setTimeLimitMs(ShortLimitMs);
    RequestDBPath = db;

    // Switched off: nothing is touched, nothing logged, whatever is at the path.
    add(QStringLiteral("/m/a.mp3"));
    ASSERT_TRUE(l.poll(db, false));
    ASSERT_TRUE(l.poll(dir.filePath(QStringLiteral("none.db")), false));
    EXPECT_TRUE(l.reloads.empty());
    EXPECT_EQ(writer({"get", db, "5"}), "True");
    EXPECT_EQ(logLines(), 0);

    sqlite(db, QStringLiteral("DELETE FROM Config WHERE ID=5"));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(logLines(), 1);
    QString log = QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))));
    EXPECT_TRUE(log.contains("Num=3021")) << log.toStdString();
    EXPECT_TRUE(log.contains("B-299"));

    // A different failure is logged, once.
    ASSERT_TRUE(QFile::remove(db));
    ASSERT_TRUE(testutil::writeAll(db, QByteArray(2048, 'j')));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(logLines(), 2);

    // Mended, it works; broken again after that, it is logged again.
    QFile::remove(db);
    writer({"create", db});
    add(QStringLiteral("/m/b.mp3"));
    ASSERT_TRUE(l.poll(db));
    ASSERT_EQ(l.reloads.size(), 1u);
    EXPECT_EQ(filesOf(l.reloads[0]), QStringList{"/m/b.mp3"});
    EXPECT_TRUE(l.link.lastFailure().isEmpty());
    sqlite(db, QStringLiteral("DROP TABLE UserRequests"));
    writer({"flag", db, "True"});
    ASSERT_TRUE(l.poll(db));
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(logLines(), 3);
    // The flag went down before the read failed: the read is owed, and made as soon as it can
    // be, though the writer raised no flag since.
    EXPECT_EQ(writer({"get", db, "5"}), "False");
    sqlite(db, QStringLiteral("CREATE TABLE UserRequests (RequestFilename TEXT, Status TEXT, NumRequests INTEGER, "
                              "RequestDate TEXT); INSERT INTO UserRequests VALUES ('/m/d.mp3','NA',1,'');"));
    ASSERT_TRUE(l.poll(db));
    ASSERT_EQ(l.reloads.size(), 2u);
    EXPECT_EQ(filesOf(l.reloads[1]), QStringList{"/m/d.mp3"});

    // Taking requests, a database that is gone or was replaced by a folder or a named pipe is
    // said once each, however many polls find it so.
    const QString pipe = dir.filePath(QStringLiteral("pipe.db"));
    ASSERT_TRUE(makeFifo(pipe));
    for (const QString& path : {dir.filePath(QStringLiteral("none.db")), dir.path(), pipe})
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(l.poll(path));
    EXPECT_EQ(logLines(), 6);
    log = QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))));
    EXPECT_TRUE(log.contains("none.db") && log.contains("is a folder") && log.contains("pipe.db' is a named pipe"))
        << log.toStdString();

    // The flag cannot be let down (a trigger refuses it): the requests are not read, and the
    // failure is said once.
    QFile::remove(db);
    writer({"create", db});
    add(QStringLiteral("/m/c.mp3"));
    sqlite(db, QStringLiteral("CREATE TRIGGER KeepFlag BEFORE UPDATE ON Config BEGIN SELECT RAISE(ABORT, 'kept'); END;"));
    l.reloads.clear();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(l.poll(db));
    EXPECT_TRUE(l.reloads.empty());
    EXPECT_EQ(logLines(), 7);

    // Pending requests behind a view that never ends: every poll is stopped by the time limit,
    // said once with the statement it stopped.
    sqlite(db, QStringLiteral("DROP TRIGGER KeepFlag;"));
    writer({"endless", db, "UserRequests"});
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(l.poll(db));
    EXPECT_TRUE(l.reloads.empty());
    EXPECT_EQ(logLines(), 8);
    log = QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))));
    EXPECT_TRUE(log.contains("Num=3234") && log.contains("stopped: SELECT RequestFilename FROM UserRequests"))
        << log.toStdString();

    // The flag went down before the view stopped the read: the requests are still owed, and the
    // first poll that can read them lists them, though the writer raised no flag since.
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT ConfigValue FROM Config WHERE ID=5")), "False");
    sqlite(db, QStringLiteral("DROP VIEW UserRequests; ALTER TABLE UserRequestsRows RENAME TO UserRequests;"));
    ASSERT_TRUE(l.poll(db));
    ASSERT_EQ(l.reloads.size(), 1u);
    EXPECT_EQ(filesOf(l.reloads[0]), QStringList{"/m/c.mp3"});
    RequestDBPath = requestdb::NoDatabasePath;
}

TEST_F(RequestDb, ALockedPollIsTriedAgainOnTheNextTickAndLoggedOnlyWhenTheLockLasts)
{
    // The writer holds its lock: each poll gives up after its busy wait, logs nothing and leaves
    // the flag up, so the poll after the lock is gone loads the requests.
    add(QStringLiteral("/m/a.mp3"));
    RequestDBPath = db;
    Link l;
    l.link.setBusyTimeoutMs(20);

    QProcess holder;
    ASSERT_NO_FATAL_FAILURE(holdLock(holder, db));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(logLines(), 0);
    EXPECT_TRUE(l.reloads.empty());
    ASSERT_NO_FATAL_FAILURE(releaseLock(holder, db));
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(l.reloads.size(), 1u);

    // A lock that lasts is worth one line, however long it lasts.
    writer({"flag", db, "True"});
    QProcess longHolder;
    ASSERT_NO_FATAL_FAILURE(holdLock(longHolder, db));
    for (int i = 0; i < requestdb::LockedPollsBeforeLogging + 10; ++i)
        ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(logLines(), 1);
    EXPECT_TRUE(l.link.lastFailure().startsWith(QString::number(requestdb::ErrLocked)));
    ASSERT_NO_FATAL_FAILURE(releaseLock(longHolder, db));
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(l.reloads.size(), 2u);
    RequestDBPath = requestdb::NoDatabasePath;
}

TEST_F(RequestDb, TakenAndClearedRequestsNeverComeBackAndNoneIsLost)
{
    add(QStringLiteral("/m/a.mp3"), 3);
    add(QStringLiteral("/m/b.mp3"), 2);
    add(QStringLiteral("/m/c.mp3"), 1);
    add(QStringLiteral("/m/note.wav"), 9); // no MP3 file: not listed
    RequestDBPath = db;
    Link l;

    // A request taken while a reload is under way: the reload hands its list over without it,
    // and its records are gone before any later reload.
    l.link.poll(db, true, QStringLiteral("B-299"));
    EXPECT_TRUE(l.link.polling());
    l.link.poll(db, true, QStringLiteral("B-299")); // not while one runs
    l.link.deleteRequestsFor(db, QStringLiteral("/m/b.mp3"), QStringLiteral("lstRequests_DblClick"));
    ASSERT_TRUE(l.settle());
    ASSERT_EQ(l.reloads.size(), 1u);
    EXPECT_EQ(filesOf(l.reloads[0]), (QStringList{"/m/a.mp3", "/m/c.mp3"}));
    EXPECT_EQ(l.reloads[0][0].title(), QStringLiteral("a")) << "the tag read as the lists read it";
    writer({"flag", db, "True"});
    ASSERT_TRUE(l.poll(db));
    ASSERT_EQ(l.reloads.size(), 2u);
    EXPECT_EQ(filesOf(l.reloads[1]), (QStringList{"/m/a.mp3", "/m/c.mp3"}));

    // Cleared while a reload is under way: the list stays as Clear left it, and so does the
    // database.
    writer({"flag", db, "True"});
    l.link.poll(db, true, QStringLiteral("B-299"));
    l.link.deleteAllRequests(db, QStringLiteral("mnuRequestsClear_Click"));
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(l.reloads.size(), 2u);
    EXPECT_EQ(writer({"count", db}), "0");

    // A delete that finds the database locked waits: the polls try it first, and nothing is
    // read while it still fails, so the taken request does not come back.
    add(QStringLiteral("/m/d.mp3"));
    l.link.setBusyTimeoutMs(20);
    QProcess holder;
    ASSERT_NO_FATAL_FAILURE(holdLock(holder, db));
    l.link.deleteRequestsFor(db, QStringLiteral("/m/d.mp3"), QStringLiteral("picRequestsQInDJList_MouseUp"));
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(l.link.waitingDeletes(), 1);
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(l.reloads.size(), 2u);
    EXPECT_EQ(l.link.waitingDeletes(), 1);
    ASSERT_NO_FATAL_FAILURE(releaseLock(holder, db));
    ASSERT_TRUE(l.poll(db, false)); // switched off, the waiting delete still goes
    EXPECT_EQ(l.link.waitingDeletes(), 0);
    EXPECT_EQ(writer({"count", db}), "0");
    EXPECT_EQ(logLines(), 0);

    // A delete still waiting when the program ends gets a last try.
    {
        Link last;
        last.link.setBusyTimeoutMs(20);
        add(QStringLiteral("/m/f.mp3"));
        QProcess lock;
        ASSERT_NO_FATAL_FAILURE(holdLock(lock, db));
        last.link.deleteRequestsFor(db, QStringLiteral("/m/f.mp3"), QStringLiteral("lstRequests_DblClick"));
        ASSERT_TRUE(last.settle());
        EXPECT_EQ(last.link.waitingDeletes(), 1);
        ASSERT_NO_FATAL_FAILURE(releaseLock(lock, db));
    }
    EXPECT_EQ(writer({"count", db}), "0");

    // A delete that fails for good (the writer's trigger refuses it): logged, and the request,
    // still in the database, is listed again at the next poll, the flag down or not.
    add(QStringLiteral("/m/g.mp3"));
    writer({"flag", db, "False"});
    sqlite(db, QStringLiteral("CREATE TRIGGER keep BEFORE DELETE ON UserRequests BEGIN SELECT RAISE(ABORT, 'kept'); END;"));
    std::vector<bool> givenUp;
    l.link.deleteRequestsFor(db, QStringLiteral("/m/g.mp3"), QStringLiteral("lstRequests_DblClick"),
                             [&](bool g) { givenUp.push_back(g); });
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(givenUp, std::vector<bool>{true});
    EXPECT_EQ(logLines(), 1);
    ASSERT_TRUE(l.poll(db));
    ASSERT_EQ(l.reloads.size(), 3u);
    EXPECT_EQ(filesOf(l.reloads[2]), (QStringList{"/m/g.mp3"}));
    sqlite(db, QStringLiteral("DROP TRIGGER keep; DELETE FROM UserRequests;"));
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(l.reloads.size(), 3u) << "read again once, not at every poll";

    // The rows go to the database chosen now only.
    add(QStringLiteral("/m/e.mp3"));
    RequestDBPath = dir.filePath(QStringLiteral("other.db"));
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(l.reloads.size(), 3u);
    RequestDBPath = requestdb::NoDatabasePath;
}

TEST_F(RequestDb, ADeleteWaitsForADatabaseThatIsAwayAndClearSparesRequestsAddedSince)
{
    add(QStringLiteral("/m/a.mp3"), 3);
    add(QStringLiteral("/m/b.mp3"), 2);
    RequestDBPath = db;
    Link l;
    QStringList messages;
    l.link.onMessage = [&](const QString& text) { messages << text; };
    ASSERT_TRUE(l.poll(db));
    ASSERT_EQ(l.reloads.size(), 1u);

    // The file is away (moved, a share that dropped) when a request is taken: the delete waits
    // as for a lock, and the message line says the database could not be reached.
    const QString away = db + QStringLiteral(".away");
    ASSERT_TRUE(QFile::rename(db, away));
    std::vector<bool> givenUp;
    l.link.deleteRequestsFor(db, QStringLiteral("/m/a.mp3"), QStringLiteral("lstRequests_DblClick"),
                             [&](bool g) { givenUp.push_back(g); });
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(givenUp, std::vector<bool>{false});
    EXPECT_EQ(l.link.waitingDeletes(), 1);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("could not be reached") && messages[0].contains(db)) << messages[0].toStdString();
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(l.link.waitingDeletes(), 1);
    // Back, with the flag up: the delete goes before the read, so the request is not listed
    // again (twice taken).
    ASSERT_TRUE(QFile::rename(away, db));
    writer({"flag", db, "True"});
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(l.link.waitingDeletes(), 0);
    ASSERT_EQ(l.reloads.size(), 2u);
    EXPECT_EQ(filesOf(l.reloads[1]), QStringList{"/m/b.mp3"});
    EXPECT_EQ(writer({"count", db}), "1");
    EXPECT_EQ(logLines(), 1) << "the poll that found no file";

    // Clear while the writer, holding its lock, adds a request: the Clear waits, and then takes
    // only what the list showed; the new request stays and is listed at the next poll.
    l.link.setBusyTimeoutMs(20);
    QProcess holder;
    ASSERT_NO_FATAL_FAILURE(holdLock(holder, db, QStringLiteral("/m/new.mp3")));
    l.link.deleteAllRequests(db, QStringLiteral("mnuRequestsClear_Click"));
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(l.link.waitingDeletes(), 1);
    ASSERT_NO_FATAL_FAILURE(releaseLock(holder, db));
    ASSERT_TRUE(l.poll(db));
    EXPECT_EQ(l.link.waitingDeletes(), 0);
    ASSERT_EQ(l.reloads.size(), 3u);
    EXPECT_EQ(filesOf(l.reloads[2]), QStringList{"/m/new.mp3"});

    // The newest request taken, then another added: the writer gives it the rowid the taken one
    // had, and Clear still spares it.
    add(QStringLiteral("/m/c.mp3"));
    ASSERT_TRUE(l.poll(db));
    ASSERT_EQ(l.reloads.size(), 4u);
    l.link.deleteRequestsFor(db, QStringLiteral("/m/c.mp3"), QStringLiteral("lstRequests_DblClick"));
    add(QStringLiteral("/m/d.mp3"));
    l.link.deleteAllRequests(db, QStringLiteral("mnuRequestsClear_Click"));
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT RequestFilename FROM UserRequests")), "/m/d.mp3");
    // A Clear of a list that shows nothing of the database (emptied by the last Clear) deletes
    // nothing.
    l.link.deleteAllRequests(db, QStringLiteral("mnuRequestsClear_Click"));
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(writer({"count", db}), "1");
    EXPECT_EQ(logLines(), 1);

    // A delete still waiting for the file when the program ends gets a last try.
    {
        Link last;
        ASSERT_TRUE(QFile::rename(db, away));
        last.link.deleteRequestsFor(db, QStringLiteral("/m/d.mp3"), QStringLiteral("lstRequests_DblClick"));
        ASSERT_TRUE(last.settle());
        EXPECT_EQ(last.link.waitingDeletes(), 1);
        ASSERT_TRUE(QFile::rename(away, db));
    }
    EXPECT_EQ(writer({"count", db}), "0");
    // One whose file is still away then: the log names the request that will be listed again
    // (the program ends as if all were well otherwise).
    add(QStringLiteral("/m/e.mp3"));
    {
        Link last;
        ASSERT_TRUE(QFile::rename(db, away));
        last.link.deleteRequestsFor(db, QStringLiteral("/m/e.mp3"), QStringLiteral("lstRequests_DblClick"));
        ASSERT_TRUE(last.settle());
        EXPECT_EQ(logLines(), 1);
    }
    ASSERT_TRUE(QFile::rename(away, db));
    EXPECT_EQ(writer({"count", db}), "1");
    EXPECT_EQ(logLines(), 2);
    const QString log = QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))));
    EXPECT_TRUE(log.contains("listed again at the next start: /m/e.mp3 in " + db)) << log.toStdString();
    RequestDBPath = requestdb::NoDatabasePath;
}

TEST_F(RequestDb, TheLinkEndsWithinItsBoundWhateverItsThreadDoes)
{
    ASSERT_EQ(writer({"many", db, "200000", "0"}), "");
    RequestDBPath = db;
    const auto ending = [](std::unique_ptr<Link>& l) {
        QElapsedTimer t;
        t.start();
        l.reset();
        return t.elapsed();
    };

    // A large reload under way stops at once: no list is wanted any more.
    auto l = std::make_unique<Link>();
    l->link.poll(db, true, QStringLiteral("B-299"));
    QTest::qWait(300);
    const qint64 reading = ending(l);
    std::printf("ended %lld ms into a reload of 200,000 requests\n", static_cast<long long>(reading));
    EXPECT_EQ(logLines(), 0) << "the thread ended of itself";

    // A tag read that never returns (a file on a share that hangs) holds only the link's thread:
    // the link ends within its bound all the same, and the log says so.
    std::atomic<bool> reading2{false}, release{false}, returned{false};
    TagReader original = tagReader();
    tagReader() = [&](const QString&) {
        reading2 = true;
        while (!release)
            QThread::msleep(5);
        returned = true;
        return SongTag{};
    };
    writer({"flag", db, "True"});
    l = std::make_unique<Link>();
    l->link.poll(db, true, QStringLiteral("B-299"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return reading2.load(); }, 60000));
    const qint64 hung = ending(l);
    std::printf("ended %lld ms after the end was asked, with a tag read hanging\n", static_cast<long long>(hung));
    EXPECT_LT(hung, 2000);
    EXPECT_FALSE(returned);
    EXPECT_EQ(logLines(), 1);
    EXPECT_TRUE(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))).contains("did not end within"));
    // The share answers again: the thread left behind ends of itself (before the reader goes).
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 60000));
    QTest::qWait(500);
    tagReader() = original;
    RequestDBPath = requestdb::NoDatabasePath;
}

TEST_F(RequestDb, TwoHundredThousandPendingRequestsAreAllDelivered)
{
    // Far more than one statement of the old 50 ms bound could read.
    const int n = 200000;
    ASSERT_EQ(writer({"many", db, QString::number(n), "1000"}), "");
    RequestDBPath = db;
    Link l;
    ASSERT_TRUE(l.poll(db));
    ASSERT_EQ(l.reloads.size(), 1u);
    const std::vector<SongRow>& rows = l.reloads[0];
    ASSERT_EQ(rows.size(), size_t(n));
    // Most requested first (i % 7 == 6), the oldest of them first; the least requested last.
    EXPECT_EQ(rows.front().filename(), QStringLiteral("/m/song 6.mp3"));
    EXPECT_EQ(rows[1].filename(), QStringLiteral("/m/song 13.mp3"));
    EXPECT_EQ(rows.back().filename(), QStringLiteral("/m/song %1.mp3").arg(n - n % 7));
    EXPECT_EQ(writer({"get", db, "5"}), "False");
    EXPECT_EQ(logLines(), 0);
    RequestDBPath = requestdb::NoDatabasePath;
}

TEST_F(RequestDb, StartUpRaisesTheFlagOfAConfiguredDatabase)
{
    const QString ini = dir.filePath(QStringLiteral("config.ini"));
    Link l;
    // Nothing configured.
    RequestDBPath = QStringLiteral("stale");
    requestdb::startUp(ini, QStringLiteral("B-15"), l.link);
    EXPECT_EQ(RequestDBPath, QStringLiteral("C:\\DB.mdb"));

    // Configured but not usable: nothing there, a folder, a named pipe, a loop of links, a link
    // to a device. No requests this run, and the log and the message line say which path and
    // why, once each.
    QStringList messages;
    l.link.onMessage = [&](const QString& text) { messages << text; };
    const QString pipe = dir.filePath(QStringLiteral("pipe.db"));
    ASSERT_TRUE(makeFifo(pipe));
    const QString loop = dir.filePath(QStringLiteral("loop.db"));
    ASSERT_TRUE(QFile::link(loop, loop));
    const QString zero = dir.filePath(QStringLiteral("zero.db"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), zero));
    const struct {
        QString path, why;
    } unusable[] = {{dir.filePath("gone.db"), "Could not find file '%1'."},
                    {dir.path(), "Cannot open the request database: '%1' is a folder."},
                    {pipe, "Cannot open the request database: '%1' is a named pipe."},
                    {loop, "Cannot open the request database: '%1' is a loop of links."},
                    {zero, "Cannot open the request database: '%1' is a device."}};
    for (const auto& u : unusable) {
        WriteINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), u.path, ini);
        RequestDBPath = db;
        requestdb::startUp(ini, QStringLiteral("B-15"), l.link);
        EXPECT_EQ(RequestDBPath, QStringLiteral("C:\\DB.mdb"));
        EXPECT_EQ(messages.takeFirst(), "Requests are not taken in this run: " + u.why.arg(u.path));
        EXPECT_TRUE(messages.isEmpty());
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("gone.db")));
    EXPECT_TRUE(l.link.idle()) << "nothing asked of a database that is not there";
    const QString log = QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))));
    EXPECT_EQ(logLines(), 5);
    EXPECT_EQ(log.count("B-15"), 5);
    EXPECT_TRUE(log.contains("Num=3024") && log.contains("zero.db' is a device")) << log.toStdString();

    // Configured and present: row 5 goes up, so the first poll loads what is pending.
    WriteINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), db, ini);
    requestdb::startUp(ini, QStringLiteral("B-15"), l.link);
    EXPECT_EQ(RequestDBPath, db);
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(writer({"get", db, "5"}), "True");

    // Without row 5 the failure is logged.
    sqlite(db, QStringLiteral("DELETE FROM Config WHERE ID=5"));
    requestdb::startUp(ini, QStringLiteral("B-15"), l.link);
    ASSERT_TRUE(l.settle());
    EXPECT_EQ(RequestDBPath, db);
    EXPECT_EQ(logLines(), 6);
    EXPECT_TRUE(messages.isEmpty());

    // An ordinary file that is no request database (bytes of junk, an empty file, a database of
    // other tables): the log and the message line name its path, once; the polls that fail the
    // same way add nothing.
    const QString junk = dir.filePath(QStringLiteral("junk.db"));
    ASSERT_TRUE(testutil::writeAll(junk, QByteArray(4096, 'x')));
    const QString empty = dir.filePath(QStringLiteral("empty.db"));
    ASSERT_TRUE(testutil::writeAll(empty, {}));
    const QString other = dir.filePath(QStringLiteral("other.db"));
    sqlite(other, QStringLiteral("CREATE TABLE Songs (Name TEXT)"));
    int lines = logLines();
    for (const QString& bad : {junk, empty, other}) {
        WriteINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), bad, ini);
        requestdb::startUp(ini, QStringLiteral("B-15"), l.link);
        ASSERT_TRUE(l.settle());
        EXPECT_EQ(RequestDBPath, bad);
        ASSERT_EQ(messages.size(), 1) << bad.toStdString();
        EXPECT_TRUE(messages.takeFirst().contains("'" + bad + "'"));
        EXPECT_EQ(logLines(), ++lines);
        EXPECT_TRUE(l.poll(bad));
        EXPECT_TRUE(l.poll(bad));
        EXPECT_EQ(logLines(), lines) << bad.toStdString();
        EXPECT_TRUE(messages.isEmpty());
    }
    EXPECT_TRUE(QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log")))).contains("'" + junk + "'"));
    RequestDBPath = requestdb::NoDatabasePath;
}
