// The request database store against databases written by the sqlite3 tool, as the outside
// request writer writes them.
#include "core/errorlog.h"
#include "core/settings.h"
#include "library/requestdb.h"
#include "support/testutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using requestdb::RequestPoll;
using requestdb::RequestStore;

namespace {

const QString Writer = QStringLiteral(QUENLOW_SOURCE_DIR "/tests/tools/request-writer.sh");

QString writer(const QStringList& args, int* code = nullptr)
{
    return QString::fromUtf8(testutil::run(QStringLiteral("bash"), QStringList{Writer} + args, code)).trimmed();
}

QString sqlite(const QString& db, const QString& sql)
{
    return QString::fromUtf8(testutil::run(QStringLiteral("sqlite3"), {db, sql})).trimmed();
}

bool makeFifo(const QString& path) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; }

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

    QStringList got;
    RequestStore store(db);
    EXPECT_TRUE(store.reloadPending([&](const QStringList& files) { got = files; }));
    EXPECT_EQ(got, (QStringList{"/m/thrice.mp3", "/m/once-early.mp3", "/m/once-late.mp3"}));
    EXPECT_EQ(writer({"get", db, "5"}), "False");
    // The reload only reads: the records stay until a request is taken or cleared.
    EXPECT_EQ(writer({"count", db}), "6");

    // With the flag down the next poll reloads nothing.
    got.clear();
    EXPECT_FALSE(store.reloadPending([&](const QStringList& files) { got = files; }));
    EXPECT_TRUE(got.isEmpty());
}

TEST_F(RequestDb, OnlyTheExactTextTrueSignalsNewRequests)
{
    add(QStringLiteral("/m/a.mp3"));
    RequestStore store(db);
    for (const char* value : {"true", "TRUE", "True ", "1", ""}) {
        writer({"flag", db, value});
        bool called = false;
        EXPECT_FALSE(store.reloadPending([&](const QStringList&) { called = true; })) << value;
        EXPECT_FALSE(called) << value;
        EXPECT_EQ(store.configValue(5), QString::fromLatin1(value)) << "the flag is left alone";
    }
    sqlite(db, QStringLiteral("UPDATE Config SET ConfigValue=NULL WHERE ID=5"));
    EXPECT_FALSE(store.reloadPending([](const QStringList&) {}));
    EXPECT_EQ(store.configValue(5), QString());
}

TEST_F(RequestDb, AFailedReloadKeepsTheFlagSoTheNextPollTriesAgain)
{
    add(QStringLiteral("/m/a.mp3"));
    RequestStore store(db);
    EXPECT_THROW(store.reloadPending([](const QStringList&) { raiseError(5, "list failed"); }), RuntimeError);
    EXPECT_EQ(writer({"get", db, "5"}), "True");
    QStringList got;
    EXPECT_TRUE(store.reloadPending([&](const QStringList& files) { got = files; }));
    EXPECT_EQ(got, QStringList{"/m/a.mp3"});
}

TEST_F(RequestDb, ARequestWrittenDuringTheReloadIsNotLost)
{
    add(QStringLiteral("/m/first.mp3"));
    RequestStore store(db);
    QProcess late;
    QStringList got;
    EXPECT_TRUE(store.reloadPending([&](const QStringList& files) {
        got = files;
        // The writer adds a request and raises the flag while the reload is under way.
        late.start(QStringLiteral("bash"), {Writer, "add", db, "/m/late.mp3"});
        ASSERT_TRUE(late.waitForStarted());
    }));
    ASSERT_TRUE(late.waitForFinished(20000));
    EXPECT_EQ(late.exitCode(), 0) << late.readAllStandardError().toStdString();
    EXPECT_EQ(got, QStringList{"/m/first.mp3"});

    // Either the late request was in this reload or it raised the flag for the next one.
    EXPECT_EQ(writer({"get", db, "5"}), "True");
    EXPECT_TRUE(store.reloadPending([&](const QStringList& files) { got = files; }));
    EXPECT_EQ(got, (QStringList{"/m/first.mp3", "/m/late.mp3"}));
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
    QStringList got;
    EXPECT_TRUE(store.reloadPending([&](const QStringList& files) { got = files; }));
    EXPECT_EQ(got.size(), 5);
    EXPECT_TRUE(got.contains(hostile));

    // Both records of the quoted name go; nothing else does.
    EXPECT_EQ(store.deleteRequestsFor(rock), 2);
    EXPECT_EQ(store.deleteRequestsFor(wildcard), 1);
    EXPECT_EQ(store.deleteRequestsFor(hostile), 1);
    EXPECT_EQ(store.pendingRequests(), QStringList{"/m/other.mp3"});
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT count(*) FROM Config")), "5");
}

TEST_F(RequestDb, DeletesIgnoreStatusAndClearEmptiesTheTable)
{
    add(QStringLiteral("/m/a.mp3"), 1, {}, QStringLiteral("DONE"));
    add(QStringLiteral("/m/a.mp3"));
    add(QStringLiteral("/m/b.mp3"));
    RequestStore store(db);
    EXPECT_EQ(store.deleteRequestsFor(QStringLiteral("/m/a.mp3")), 2);
    EXPECT_EQ(store.deleteRequestsFor(QStringLiteral("/m/none.mp3")), 0);
    EXPECT_EQ(store.deleteAllRequests(), 1);
    EXPECT_EQ(writer({"count", db}), "0");
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
    EXPECT_EQ(raisedNumber([&] { store.reloadPending([](const QStringList&) {}); }), requestdb::ErrNoCurrentRecord);
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
    QStringList got;
    EXPECT_TRUE(store.reloadPending([&](const QStringList& files) { got = files; }));
    EXPECT_EQ(got, QStringList{"/m/a.mp3"});
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
    EXPECT_EQ(raisedNumber([&] { RequestStore(junk).reloadPending([](const QStringList&) {}); }),
              requestdb::ErrCannotOpen);
    EXPECT_EQ(testutil::readAll(junk), bytes);

    // An empty file is an empty database without the tables.
    const QString empty = dir.filePath(QStringLiteral("empty.db"));
    ASSERT_TRUE(testutil::writeAll(empty, {}));
    EXPECT_EQ(raisedNumber([&] { RequestStore(empty).configValue(5); }), requestdb::ErrDatabase);

    // Locked by the writer: the reload fails (after the short busy wait) and works once the lock
    // is gone; the flag is still up for that later try.
    add(QStringLiteral("/m/a.mp3"));
    QProcess holder;
    holder.start(QStringLiteral("bash"), {Writer, "lock", db});
    ASSERT_TRUE(holder.waitForReadyRead(20000));
    ASSERT_TRUE(holder.readAllStandardOutput().contains("locked"));
    RequestStore store(db);
    EXPECT_EQ(raisedNumber([&] { store.reloadPending([](const QStringList&) {}); }), requestdb::ErrLocked);
    ASSERT_TRUE(testutil::writeAll(db + QStringLiteral(".release"), {}));
    ASSERT_TRUE(holder.waitForFinished(20000));
    QStringList got;
    EXPECT_TRUE(store.reloadPending([&](const QStringList& files) { got = files; }));
    EXPECT_EQ(got, QStringList{"/m/a.mp3"});

    // Tables made views over a query that never ends: every operation is stopped by the time
    // limit, and nothing is handed over or changed.
    writer({"flag", db, "True"});
    const QString slow = dir.filePath(QStringLiteral("slow.db"));
    ASSERT_TRUE(QFile::copy(db, slow));
    writer({"endless", slow, "UserRequests"});
    RequestStore slowRequests(slow);
    bool applied = false;
    EXPECT_EQ(raisedNumber([&] { slowRequests.reloadPending([&](const QStringList&) { applied = true; }); }),
              requestdb::ErrTimedOut);
    EXPECT_FALSE(applied);
    EXPECT_EQ(writer({"get", slow, "5"}), "True");
    EXPECT_EQ(raisedNumber([&] { slowRequests.pendingRequests(); }), requestdb::ErrTimedOut);
    EXPECT_EQ(raisedNumber([&] { slowRequests.deleteRequestsFor(QStringLiteral("/m/a.mp3")); }), requestdb::ErrTimedOut);
    EXPECT_EQ(raisedNumber([&] { slowRequests.deleteAllRequests(); }), requestdb::ErrTimedOut);
    writer({"endless", slow, "Config"});
    EXPECT_EQ(raisedNumber([&] { slowRequests.configValue(5); }), requestdb::ErrTimedOut);
    EXPECT_EQ(raisedNumber([&] { slowRequests.setConfigValue(5, "True"); }), requestdb::ErrTimedOut);
    EXPECT_EQ(raisedNumber([&] { slowRequests.setTakeRequests(true); }), requestdb::ErrTimedOut);
    EXPECT_EQ(sqlite(slow, QStringLiteral("SELECT group_concat(ConfigValue) FROM ConfigRows")), "False,False,False,False,True");
    // A value too big to be built in one step fails at once.
    const QString huge = dir.filePath(QStringLiteral("huge.db"));
    ASSERT_TRUE(QFile::copy(db, huge));
    sqlite(huge, QStringLiteral("DROP TABLE Config; CREATE VIEW Config AS SELECT 5 AS ID, hex(randomblob(500000000)) AS ConfigValue;"));
    EXPECT_EQ(raisedNumber([&] { RequestStore(huge).configValue(5); }), requestdb::ErrDatabase);

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
    RequestPoll poll(QStringLiteral("B-299"));
    int applied = 0;
    auto apply = [&](const QStringList&) { ++applied; };

    // Switched off: nothing is touched, nothing logged, whatever is at the path.
    add(QStringLiteral("/m/a.mp3"));
    EXPECT_FALSE(poll.poll(db, false, apply));
    EXPECT_FALSE(poll.poll(dir.filePath(QStringLiteral("none.db")), false, apply));
    EXPECT_EQ(applied, 0);
    EXPECT_EQ(writer({"get", db, "5"}), "True");
    EXPECT_EQ(logLines(), 0);

    sqlite(db, QStringLiteral("DELETE FROM Config WHERE ID=5"));
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(poll.poll(db, true, apply));
    EXPECT_EQ(logLines(), 1);
    QString log = QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))));
    EXPECT_TRUE(log.contains("Num=3021")) << log.toStdString();
    EXPECT_TRUE(log.contains("B-299"));

    // A different failure is logged, once.
    ASSERT_TRUE(QFile::remove(db));
    ASSERT_TRUE(testutil::writeAll(db, QByteArray(2048, 'j')));
    for (int i = 0; i < 3; ++i)
        poll.poll(db, true, apply);
    EXPECT_EQ(logLines(), 2);

    // Mended, it works; broken again after that, it is logged again.
    QFile::remove(db);
    writer({"create", db});
    add(QStringLiteral("/m/b.mp3"));
    EXPECT_TRUE(poll.poll(db, true, apply));
    EXPECT_EQ(applied, 1);
    EXPECT_TRUE(poll.lastFailure().isEmpty());
    sqlite(db, QStringLiteral("DROP TABLE UserRequests"));
    writer({"flag", db, "True"});
    poll.poll(db, true, apply);
    poll.poll(db, true, apply);
    EXPECT_EQ(logLines(), 3);

    // Taking requests, a database that is gone or was replaced by a folder or a named pipe is
    // said once each, however many polls find it so.
    const QString pipe = dir.filePath(QStringLiteral("pipe.db"));
    ASSERT_TRUE(makeFifo(pipe));
    for (const QString& path : {dir.filePath(QStringLiteral("none.db")), dir.path(), pipe})
        for (int i = 0; i < 3; ++i)
            EXPECT_FALSE(poll.poll(path, true, apply));
    EXPECT_EQ(logLines(), 6);
    log = QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))));
    EXPECT_TRUE(log.contains("none.db") && log.contains("is a folder") && log.contains("pipe.db' is a named pipe"))
        << log.toStdString();

    // The flag cannot be let down (a trigger refuses it): the list is not rebuilt from requests
    // the flag still calls new, and the failure is said once.
    QFile::remove(db);
    writer({"create", db});
    add(QStringLiteral("/m/c.mp3"));
    sqlite(db, QStringLiteral("CREATE TRIGGER KeepFlag BEFORE UPDATE ON Config BEGIN SELECT RAISE(ABORT, 'kept'); END;"));
    applied = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(poll.poll(db, true, apply));
    EXPECT_EQ(applied, 0);
    EXPECT_EQ(logLines(), 7);

    // Pending requests behind a view that never ends: every poll is stopped by the time limit,
    // said once with the statement it stopped.
    sqlite(db, QStringLiteral("DROP TRIGGER KeepFlag;"));
    writer({"endless", db, "UserRequests"});
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(poll.poll(db, true, apply));
    EXPECT_EQ(applied, 0);
    EXPECT_EQ(logLines(), 8);
    log = QString::fromUtf8(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))));
    EXPECT_TRUE(log.contains("Num=3234") && log.contains("stopped: SELECT RequestFilename FROM UserRequests"))
        << log.toStdString();
}

TEST_F(RequestDb, ALockedPollIsTriedAgainOnTheNextTickAndLoggedOnlyWhenTheLockLasts)
{
    // The writer holds its lock: each poll gives up at once, logs nothing and leaves the flag up,
    // so the tick after the lock is gone loads the requests.
    add(QStringLiteral("/m/a.mp3"));
    RequestPoll poll(QStringLiteral("B-299"));
    int applied = 0;
    auto apply = [&](const QStringList&) { ++applied; };
    auto hold = [&](QProcess& holder) {
        holder.start(QStringLiteral("bash"), {Writer, "lock", db});
        ASSERT_TRUE(holder.waitForReadyRead(20000));
        ASSERT_TRUE(holder.readAllStandardOutput().contains("locked"));
    };
    auto release = [&](QProcess& holder) {
        ASSERT_TRUE(testutil::writeAll(db + QStringLiteral(".release"), {}));
        ASSERT_TRUE(holder.waitForFinished(20000));
    };

    QProcess holder;
    hold(holder);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(poll.poll(db, true, apply));
    EXPECT_EQ(logLines(), 0);
    release(holder);
    EXPECT_TRUE(poll.poll(db, true, apply));
    EXPECT_EQ(applied, 1);

    // A lock that lasts is worth one line, however long it lasts.
    writer({"flag", db, "True"});
    QProcess longHolder;
    hold(longHolder);
    for (int i = 0; i < requestdb::LockedPollsBeforeLogging + 10; ++i)
        EXPECT_FALSE(poll.poll(db, true, apply));
    EXPECT_EQ(logLines(), 1);
    EXPECT_TRUE(poll.lastFailure().startsWith(QString::number(requestdb::ErrLocked)));
    release(longHolder);
    EXPECT_TRUE(poll.poll(db, true, apply));
    EXPECT_EQ(applied, 2);
}

TEST_F(RequestDb, StartUpRaisesTheFlagOfAConfiguredDatabase)
{
    const QString ini = dir.filePath(QStringLiteral("config.ini"));
    // Nothing configured.
    RequestDBPath = QStringLiteral("stale");
    requestdb::startUp(ini, QStringLiteral("B-15"));
    EXPECT_EQ(RequestDBPath, QStringLiteral("C:\\DB.mdb"));

    // Configured but missing.
    WriteINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), dir.filePath("gone.db"), ini);
    requestdb::startUp(ini, QStringLiteral("B-15"));
    EXPECT_EQ(RequestDBPath, QStringLiteral("C:\\DB.mdb"));
    EXPECT_FALSE(QFile::exists(dir.filePath("gone.db")));

    // Configured and present: row 5 goes up, so the first poll loads what is pending.
    WriteINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), db, ini);
    requestdb::startUp(ini, QStringLiteral("B-15"));
    EXPECT_EQ(RequestDBPath, db);
    EXPECT_EQ(writer({"get", db, "5"}), "True");

    // Without row 5 the failure is logged and the load goes on.
    const bool trapWas = ErrorTrapOn;
    ErrorTrapOn = true;
    sqlite(db, QStringLiteral("DELETE FROM Config WHERE ID=5"));
    requestdb::startUp(ini, QStringLiteral("B-15"));
    ErrorTrapOn = trapWas;
    EXPECT_EQ(RequestDBPath, db);
    EXPECT_EQ(logLines(), 1);
    RequestDBPath = requestdb::NoDatabasePath;
}
