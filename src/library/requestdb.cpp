#include "library/requestdb.h"

#include "core/errorlog.h"
#include "platform/files/wholefile.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>
#include <atomic>
#include <cerrno>
#include <sqlite3.h>
#include <sys/stat.h>
#include <thread>

QString RequestDBPath = requestdb::NoDatabasePath;
bool NewRequests = false;

namespace requestdb {

namespace {

const QString TrueText = QStringLiteral("True");
const QString FalseText = QStringLiteral("False");
const QString PendingStatus = QStringLiteral("NA");

using Clock = std::chrono::steady_clock;

// Virtual machine steps between two looks at the clock while a statement runs: a look costs
// tens of nanoseconds, a thousand steps some microseconds.
constexpr int StepsBetweenClockLooks = 1000;

// The largest text or blob a statement may make or read, and the longest LIKE or GLOB pattern.
// A path or a flag is far shorter; the limits keep one step of a statement (building a huge
// text, matching a pattern against it) short enough for the clock to be looked at in time.
constexpr int MaxValueBytes = 64 * 1024;
constexpr int MaxPatternBytes = 64;

// The name under which the file layer below is known to SQLite (chosen in the open URI).
constexpr const char* RegularFilesVfs = "quenlow-regular-files";

// SQLite's own file layer, opening only ordinary files. The check before the open matters for
// the files SQLite finds beside the database too: a named pipe where a journal belongs would be
// opened for reading, which waits for a writer for ever. Everything else is SQLite's own.
sqlite3_vfs* baseVfs = nullptr;

int openRegularFile(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags)
{
    struct stat st {};
    if (name && ::stat(name, &st) == 0 && !S_ISREG(st.st_mode))
        return SQLITE_CANTOPEN;
    return baseVfs->xOpen(baseVfs, name, file, flags, outFlags);
}

void registerRegularFilesVfs()
{
    static const bool registered = [] {
        static sqlite3_vfs vfs{};
        baseVfs = sqlite3_vfs_find(nullptr);
        if (!baseVfs)
            return false;
        vfs = *baseVfs;
        vfs.zName = RegularFilesVfs;
        vfs.pNext = nullptr;
        vfs.xOpen = openRegularFile;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    if (!registered)
        raiseError(ErrCannotOpen, QStringLiteral("Cannot open the request database. (no file layer)"));
}

// When a connection's statements must stop: its operation's time is up, or the program ends.
struct StopWhen {
    Clock::time_point deadline;
    const std::atomic<bool>* stop = nullptr;
    int busyTimeoutMs = 0;

    bool now() const { return (stop && stop->load(std::memory_order_relaxed)) || Clock::now() >= deadline; }
};

// The progress handler of every connection.
int stopWhenLate(void* when)
{
    return static_cast<const StopWhen*>(when)->now() ? 1 : 0;
}

// The busy handler of every connection: waits for the writer's lock in short steps (a
// millisecond at first, then ten), at most busyTimeoutMs in all, and gives up at once when the
// operation must stop. SQLite's own timeout sleeps without looking at anything.
int waitWhileBusy(void* when, int tries)
{
    const auto* w = static_cast<const StopWhen*>(when);
    const int waited = tries < 10 ? tries : 10 + (tries - 10) * 10;
    if (waited >= w->busyTimeoutMs || w->now())
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(tries < 10 ? 1 : 10));
    return 1;
}

// Turns a driver error into the error the trap logs. The descriptions stay the same for the same
// failure, so a failure that repeats every second can be recognised as the same one. A statement
// stopped by the time limit is named, as it tells which table or view is too slow. A file that is
// no request database (not SQLite, corrupt, without the tables) names its path: the DJ has to know
// which file the setting points at.
[[noreturn]] void raiseSql(const QSqlError& e, const QString& path, int timeLimitMs, const QString& statement = {})
{
    bool ok = false;
    const int code = e.nativeErrorCode().toInt(&ok);
    const int primary = ok ? (code & 0xFF) : -1;
    const QString detail = e.driverText().isEmpty() ? e.databaseText() : e.databaseText().isEmpty()
            ? e.driverText()
            : e.driverText() + QStringLiteral(": ") + e.databaseText();
    switch (primary) {
    case 5: // busy
    case 6: // locked
        raiseError(ErrLocked, QStringLiteral("Could not use the request database; currently locked. (%1)").arg(detail));
    case 10: // I/O error: the file went away under the statement, or its share did
        raiseError(ErrDiskIO, QStringLiteral("Disk or network error on the request database. (%1)").arg(detail));
    case 9: // interrupted: only the time limit (or the program ending) interrupts
        raiseError(ErrTimedOut, QStringLiteral("The request database did not answer within %1 s; stopped: %2")
                                    .arg(QString::number(timeLimitMs / 1000.0))
                                    .arg(statement.isEmpty() ? detail : statement));
    case 11: // corrupt
    case 14: // cannot open
    case 26: // not a database
        raiseError(ErrCannotOpen, QStringLiteral("Cannot open the request database '%1'. (%2)").arg(path, detail));
    default:
        raiseError(ErrDatabase, QStringLiteral("Request database failure on '%1'. (%2)").arg(path, detail));
    }
}

// One connection to the file for the length of one operation. Each gets a connection name of its
// own, so operations never share or replace each other's results, and it is removed again when
// the operation ends. Every statement on it stops at the operation's deadline.
class Connection {
public:
    Connection(const QString& path, int busyTimeoutMs, int timeLimitMs, const std::atomic<bool>* stop)
        : path_(path), timeLimitMs_(timeLimitMs), when_{Clock::now() + std::chrono::milliseconds(timeLimitMs), stop, busyTimeoutMs}
    {
        if (!isUsable(path))
            raiseNotAFile(path);
        registerRegularFilesVfs();
        static std::atomic<unsigned> serial{0};
        name_ = QStringLiteral("quenlow-requests-%1").arg(++serial);
        db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
        db_.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
        db_.setDatabaseName(openUri(path));
        if (!db_.open()) {
            const QSqlError e = db_.lastError();
            release();
            raiseSql(e, path_, timeLimitMs_);
        }
        // No statement runs before the bounds are set: the first one also reads the schema.
        const QVariant h = db_.driver()->handle();
        if (h.isValid() && qstrcmp(h.typeName(), "sqlite3*") == 0)
            handle_ = *static_cast<sqlite3* const*>(h.constData());
        if (!handle_) {
            release();
            raiseError(ErrCannotOpen, QStringLiteral("Cannot open the request database. (no SQLite handle)"));
        }
        sqlite3_limit(handle_, SQLITE_LIMIT_LENGTH, MaxValueBytes);
        sqlite3_limit(handle_, SQLITE_LIMIT_LIKE_PATTERN_LENGTH, MaxPatternBytes);
        sqlite3_progress_handler(handle_, StepsBetweenClockLooks, stopWhenLate, &when_);
        sqlite3_busy_handler(handle_, waitWhileBusy, &when_);
    }
    ~Connection() { release(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    QSqlDatabase& db() { return db_; }

    // Prepares and runs a statement with its values bound in order; raises on failure.
    QSqlQuery run(const QString& sql, const QVariantList& values = {})
    {
        QSqlQuery q(db_);
        q.setForwardOnly(true);
        if (!q.prepare(sql))
            raiseSql(q.lastError(), path_, timeLimitMs_, sql);
        for (const QVariant& v : values)
            q.addBindValue(v);
        if (!q.exec())
            raiseSql(q.lastError(), path_, timeLimitMs_, sql);
        return q;
    }

    void exec(const QString& sql)
    {
        QSqlQuery q(db_);
        if (!q.exec(sql))
            raiseSql(q.lastError(), path_, timeLimitMs_, sql);
    }

    int timeLimitMs() const { return timeLimitMs_; }
    const QString& path() const { return path_; }

private:
    void release()
    {
        if (name_.isEmpty())
            return;
        if (handle_) {
            sqlite3_progress_handler(handle_, 0, nullptr, nullptr);
            sqlite3_busy_handler(handle_, nullptr, nullptr);
        }
        handle_ = nullptr;
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(name_);
        name_.clear();
    }

    QString path_;
    int timeLimitMs_;
    StopWhen when_;
    sqlite3* handle_ = nullptr;
    QString name_;
    QSqlDatabase db_;
};

// A transaction that is rolled back unless committed. A write transaction takes the write lock
// at once; a read transaction reads every statement from one state of the file.
class Transaction {
public:
    enum Kind { Read, Write };
    explicit Transaction(Connection& c, Kind kind = Write) : c_(c)
    {
        c_.exec(kind == Write ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
    }
    ~Transaction()
    {
        if (!done_) {
            QSqlQuery q(c_.db());
            q.exec(QStringLiteral("ROLLBACK"));
        }
    }
    void commit()
    {
        c_.exec(QStringLiteral("COMMIT"));
        done_ = true;
    }

private:
    Connection& c_;
    bool done_ = false;
};

// The highest rowid of UserRequests; 0 for an empty table or one without rowids (a view).
qint64 topRowid(Connection& c)
{
    QSqlQuery q = c.run(QStringLiteral("SELECT max(rowid) FROM UserRequests"));
    return q.next() ? q.value(0).toLongLong() : 0;
}

// Runs a delete and reads what is left at the top, in one transaction.
Deleted deleteIn(Connection& c, const QString& sql, const QVariantList& values)
{
    Transaction t(c);
    Deleted d;
    d.records = c.run(sql, values).numRowsAffected();
    d.top = topRowid(c);
    t.commit();
    return d;
}

QString readConfig(Connection& c, int id)
{
    QSqlQuery q = c.run(QStringLiteral("SELECT ConfigValue FROM Config WHERE ID=? LIMIT 1"), {id});
    if (!q.next())
        raiseError(ErrNoCurrentRecord, QStringLiteral("No current record."));
    const QVariant v = q.value(0);
    return v.isNull() ? QString() : v.toString();
}

// Edits the first record the Config query returns for this ID.
void writeConfig(Connection& c, int id, const QString& value)
{
    QSqlQuery q = c.run(
        QStringLiteral("UPDATE Config SET ConfigValue=? WHERE rowid=(SELECT rowid FROM Config WHERE ID=? LIMIT 1)"),
        {value, id});
    if (q.numRowsAffected() < 1)
        raiseError(ErrNoCurrentRecord, QStringLiteral("No current record."));
}

PendingRequests readPending(Connection& c, int maxRequests)
{
    // One more than the bound is asked for, to know whether there were more. The sort keeps only
    // that many rows, however many the table holds.
    const QString sql = QStringLiteral("SELECT RequestFilename FROM UserRequests WHERE Status=? AND "
                                       "RequestFilename IS NOT NULL AND RequestFilename<>'' "
                                       "ORDER BY NumRequests DESC, RequestDate LIMIT ?");
    QSqlQuery q = c.run(sql, {PendingStatus, qint64(maxRequests) + 1});
    PendingRequests pending;
    qint64 chars = 0;
    while (q.next()) {
        const QVariant v = q.value(0);
        // A record without a file name names no song; it is left out of the list.
        if (v.isNull())
            continue;
        const QString file = v.toString();
        if (file.trimmed().isEmpty())
            continue;
        if (pending.files.size() >= maxRequests || chars + file.size() > MaxPendingTextChars) {
            pending.cut = true;
            break;
        }
        chars += file.size();
        pending.files << file;
    }
    if (q.lastError().isValid())
        raiseSql(q.lastError(), c.path(), c.timeLimitMs(), sql);
    return pending;
}

} // namespace

bool isConfigured(const QString& path)
{
    return !path.isEmpty() && path != NoDatabasePath;
}

bool isUsable(const QString& path)
{
    return isConfigured(path) && QFileInfo(path).isFile();
}

QString openUri(const QString& path)
{
    // mode=rw: the file is opened for reading and writing and never created; the path is
    // percent-encoded so that '?', '#' and '%' in a folder name stay part of the name. The file
    // layer is the one that opens ordinary files only.
    QUrl url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
    url.setQuery(QStringLiteral("mode=rw&vfs=") + QLatin1String(RegularFilesVfs));
    return url.toString(QUrl::FullyEncoded);
}

RequestStore::RequestStore(QString path, int busyTimeoutMs, int timeLimitMs, const std::atomic<bool>* stop)
    : path_(std::move(path)), busyTimeoutMs_(busyTimeoutMs), timeLimitMs_(timeLimitMs), stop_(stop)
{
}

bool RequestStore::exists() const
{
    return isUsable(path_);
}

QString RequestStore::configValue(int id) const
{
    Connection c(path_, busyTimeoutMs_, timeLimitMs_, stop_);
    return readConfig(c, id);
}

void RequestStore::setConfigValue(int id, const QString& value) const
{
    Connection c(path_, busyTimeoutMs_, timeLimitMs_, stop_);
    writeConfig(c, id, value);
}

bool RequestStore::takeNewRequestsFlag() const
{
    Connection c(path_, busyTimeoutMs_, timeLimitMs_, stop_);
    // Most polls find nothing new: look at the flag without taking the write lock first.
    if (readConfig(c, NewRequestsFlag) != TrueText)
        return false;
    Transaction t(c);
    // The writer may have changed the flag before the lock was taken: read it again inside.
    const bool raised = readConfig(c, NewRequestsFlag) == TrueText;
    if (raised)
        writeConfig(c, NewRequestsFlag, FalseText);
    t.commit();
    return raised;
}

PendingRequests RequestStore::pendingRequests(int maxRequests) const
{
    Connection c(path_, busyTimeoutMs_, timeLimitMs_, stop_);
    // One read transaction: the top is read from the same state of the file as the requests, so
    // a record above it was added after them.
    Transaction t(c, Transaction::Read);
    PendingRequests pending = readPending(c, maxRequests);
    pending.top = topRowid(c);
    t.commit();
    return pending;
}

Deleted RequestStore::deleteRequestsFor(const QString& file) const
{
    Connection c(path_, busyTimeoutMs_, timeLimitMs_, stop_);
    return deleteIn(c, QStringLiteral("DELETE FROM UserRequests WHERE RequestFilename=?"), {file});
}

Deleted RequestStore::deleteRequestsUpTo(qint64 upTo) const
{
    Connection c(path_, busyTimeoutMs_, timeLimitMs_, stop_);
    return deleteIn(c, QStringLiteral("DELETE FROM UserRequests WHERE rowid<=?"), {upTo});
}

void RequestStore::setTakeRequests(bool on) const
{
    Connection c(path_, busyTimeoutMs_, timeLimitMs_, stop_);
    Transaction t(c);
    for (int id = 1; id <= 4; ++id) {
        try {
            writeConfig(c, id, (id % 2 == 1) == on ? TrueText : FalseText);
        } catch (const RuntimeError& e) {
            // The row the writer lacks is named: "No current record." alone says nothing of it.
            if (e.number() != ErrNoCurrentRecord)
                throw;
            raiseError(ErrNoCurrentRecord, QStringLiteral("No current record. (the request database has no Config "
                                                          "row %1; rows 1 to 4 tell the request writer whether "
                                                          "requests are taken)")
                                               .arg(id));
        }
    }
    t.commit();
}

Unusable whyUnusable(const QString& path)
{
    const auto cannotOpen = [&](const QString& what) {
        return Unusable{ErrCannotOpen, QStringLiteral("Cannot open the request database: '%1' is %2.").arg(path, what)};
    };
    struct stat st {};
    if (!isConfigured(path))
        return {ErrFileNotFound, QStringLiteral("Could not find file '%1'.").arg(path)};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        const int e = errno;
        if (e == ENOENT || e == ENOTDIR)
            return {ErrFileNotFound, QStringLiteral("Could not find file '%1'.").arg(path)};
        if (e == ELOOP)
            return cannotOpen(QStringLiteral("a loop of links"));
        return {ErrCannotOpen, QStringLiteral("Cannot open the request database: '%1' cannot be reached (%2).")
                                   .arg(path, files::reason(e))};
    }
    if (S_ISREG(st.st_mode))
        return {};
    if (S_ISDIR(st.st_mode))
        return cannotOpen(QStringLiteral("a folder"));
    if (S_ISFIFO(st.st_mode))
        return cannotOpen(QStringLiteral("a named pipe"));
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return cannotOpen(QStringLiteral("a device"));
    if (S_ISSOCK(st.st_mode))
        return cannotOpen(QStringLiteral("a socket"));
    return cannotOpen(QStringLiteral("not an ordinary file"));
}

void raiseNotAFile(const QString& path)
{
    Unusable why = whyUnusable(path);
    // Gone between the look that found it missing and this one: the file may come back.
    if (why.number == 0)
        why = {ErrFileNotFound, QStringLiteral("Could not find file '%1'.").arg(path)};
    raiseError(why.number, why.description);
}

} // namespace requestdb
