#include "library/requestdb.h"

#include "core/errorlog.h"
#include "core/settings.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>
#include <atomic>
#include <sqlite3.h>
#include <sys/stat.h>

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

// The raise for a configured path where no database file is: nothing, a folder, or a named pipe
// or device (reading a pipe waits for a writer for ever, a device never ends).
[[noreturn]] void raiseNotAFile(const QString& path)
{
    struct stat st {};
    if (!isConfigured(path) || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        raiseError(ErrFileNotFound, QStringLiteral("Could not find file '%1'.").arg(path));
    const QString kind = S_ISDIR(st.st_mode)    ? QStringLiteral("a folder")
                         : S_ISFIFO(st.st_mode) ? QStringLiteral("a named pipe")
                                                : QStringLiteral("not an ordinary file");
    raiseError(ErrCannotOpen, QStringLiteral("Cannot open the request database: '%1' is %2.").arg(path, kind));
}

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

// The progress handler of every connection: stops the statement once its operation's time is up.
int stopWhenLate(void* deadline)
{
    return Clock::now() >= *static_cast<const Clock::time_point*>(deadline) ? 1 : 0;
}

// Turns a driver error into the error the trap logs. The descriptions stay the same for the same
// failure, so a failure that repeats every second can be recognised as the same one. A statement
// stopped by the time limit is named, as it tells which table or view is too slow.
[[noreturn]] void raiseSql(const QSqlError& e, const QString& statement = {})
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
    case 9: // interrupted: only the time limit interrupts
        raiseError(ErrTimedOut, QStringLiteral("The request database did not answer within %1 ms; stopped: %2")
                                    .arg(TimeLimitMs)
                                    .arg(statement.isEmpty() ? detail : statement));
    case 11: // corrupt
    case 14: // cannot open
    case 26: // not a database
        raiseError(ErrCannotOpen, QStringLiteral("Cannot open the request database. (%1)").arg(detail));
    default:
        raiseError(ErrDatabase, QStringLiteral("Request database failure. (%1)").arg(detail));
    }
}

// One connection to the file for the length of one operation. Each gets a connection name of its
// own, so operations never share or replace each other's results, and it is removed again when
// the operation ends. Every statement on it stops at the operation's deadline.
class Connection {
public:
    Connection(const QString& path, int busyTimeoutMs, Clock::time_point deadline) : deadline_(deadline)
    {
        if (!isUsable(path))
            raiseNotAFile(path);
        registerRegularFilesVfs();
        static std::atomic<unsigned> serial{0};
        name_ = QStringLiteral("quenlow-requests-%1").arg(++serial);
        db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
        db_.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
        db_.setDatabaseName(openUri(path));
        if (!db_.open()) {
            const QSqlError e = db_.lastError();
            release();
            raiseSql(e);
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
        sqlite3_progress_handler(handle_, StepsBetweenClockLooks, stopWhenLate, &deadline_);
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
            raiseSql(q.lastError(), sql);
        for (const QVariant& v : values)
            q.addBindValue(v);
        if (!q.exec())
            raiseSql(q.lastError(), sql);
        return q;
    }

    void exec(const QString& sql)
    {
        QSqlQuery q(db_);
        if (!q.exec(sql))
            raiseSql(q.lastError(), sql);
    }

private:
    void release()
    {
        if (name_.isEmpty())
            return;
        if (handle_)
            sqlite3_progress_handler(handle_, 0, nullptr, nullptr);
        handle_ = nullptr;
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(name_);
        name_.clear();
    }

    Clock::time_point deadline_;
    sqlite3* handle_ = nullptr;
    QString name_;
    QSqlDatabase db_;
};

// A transaction that takes the write lock at once and is rolled back unless committed.
class WriteTransaction {
public:
    explicit WriteTransaction(Connection& c) : c_(c) { c_.exec(QStringLiteral("BEGIN IMMEDIATE")); }
    ~WriteTransaction()
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

QStringList readPending(Connection& c)
{
    const QString sql = QStringLiteral("SELECT RequestFilename FROM UserRequests WHERE Status=? "
                                       "ORDER BY NumRequests DESC, RequestDate");
    QSqlQuery q = c.run(sql, {PendingStatus});
    QStringList files;
    while (q.next()) {
        const QVariant v = q.value(0);
        // A record without a file name names no song; it is left out of the list.
        if (v.isNull() || v.toString().trimmed().isEmpty())
            continue;
        files << v.toString();
    }
    if (q.lastError().isValid())
        raiseSql(q.lastError(), sql);
    return files;
}

QList<QPair<QString, QString>>& waitingDeletes()
{
    static QList<QPair<QString, QString>> list;
    return list;
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

RequestStore::RequestStore(QString path, int busyTimeoutMs) : path_(std::move(path)), busyTimeoutMs_(busyTimeoutMs) {}

void RequestStore::shareTimeLimit()
{
    sharedDeadline_ = Clock::now() + std::chrono::milliseconds(TimeLimitMs);
}

Clock::time_point RequestStore::deadline() const
{
    return sharedDeadline_ ? *sharedDeadline_ : Clock::now() + std::chrono::milliseconds(TimeLimitMs);
}

bool RequestStore::exists() const
{
    return isUsable(path_);
}

QString RequestStore::configValue(int id) const
{
    Connection c(path_, busyTimeoutMs_, deadline());
    return readConfig(c, id);
}

void RequestStore::setConfigValue(int id, const QString& value) const
{
    Connection c(path_, busyTimeoutMs_, deadline());
    writeConfig(c, id, value);
}

bool RequestStore::reloadPending(const std::function<void(const QStringList&)>& apply) const
{
    Connection c(path_, busyTimeoutMs_, deadline());
    // Most polls find nothing new: look at the flag without taking the write lock first.
    if (readConfig(c, NewRequestsFlag) != TrueText)
        return false;

    WriteTransaction t(c);
    // The writer may have changed the flag before the lock was taken: read it again inside.
    if (readConfig(c, NewRequestsFlag) != TrueText) {
        t.commit();
        return false;
    }
    const QStringList files = readPending(c);
    // The flag goes down before the list is handed over: a flag that cannot be set leaves the
    // list as it was, instead of rebuilding it from the same requests on every tick.
    writeConfig(c, NewRequestsFlag, FalseText);
    apply(files);
    t.commit();
    return true;
}

QStringList RequestStore::pendingRequests() const
{
    Connection c(path_, busyTimeoutMs_, deadline());
    return readPending(c);
}

int RequestStore::deleteRequestsFor(const QString& file) const
{
    Connection c(path_, busyTimeoutMs_, deadline());
    QSqlQuery q = c.run(QStringLiteral("DELETE FROM UserRequests WHERE RequestFilename=?"), {file});
    return q.numRowsAffected();
}

int RequestStore::deleteAllRequests() const
{
    Connection c(path_, busyTimeoutMs_, deadline());
    QSqlQuery q = c.run(QStringLiteral("DELETE FROM UserRequests"));
    return q.numRowsAffected();
}

void RequestStore::setTakeRequests(bool on) const
{
    Connection c(path_, busyTimeoutMs_, deadline());
    WriteTransaction t(c);
    for (int id = 1; id <= 4; ++id)
        writeConfig(c, id, (id % 2 == 1) == on ? TrueText : FalseText);
    t.commit();
}

void deleteRequestsLater(const QString& path, const QString& file)
{
    const QPair<QString, QString> entry(path, file);
    if (!waitingDeletes().contains(entry))
        waitingDeletes().append(entry);
}

QList<QPair<QString, QString>> pendingDeletes()
{
    return waitingDeletes();
}

void dropPendingDeletes()
{
    waitingDeletes().clear();
}

void startUp(const QString& settingsFile, const QString& location)
{
    QString path = ReadINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), QStringLiteral("NULL"), settingsFile);
    if (!isUsable(path))
        path = QStringLiteral("NULL");
    if (path == QLatin1String("NULL")) {
        RequestDBPath = NoDatabasePath;
        return;
    }
    RequestDBPath = path;
    const QByteArray loc = location.toLatin1();
    trap(loc.constData(), [&] { RequestStore(path).setConfigValue(NewRequestsFlag, TrueText); });
}

bool RequestPoll::poll(const QString& path, bool takeRequests, const std::function<void(const QStringList&)>& apply)
{
    if (!isConfigured(path))
        return false;
    RequestStore store(path, PollBusyTimeoutMs);
    store.shareTimeLimit();
    try {
        // A database that went away, or was replaced by something that is no file, is said
        // once while requests are taken; the deletes left waiting for it wait on.
        if (!store.exists()) {
            if (!takeRequests)
                return false;
            raiseNotAFile(path);
        }
        // The deletes of taken requests go first, so none of them comes back with the reload.
        auto& waiting = waitingDeletes();
        for (int i = 0; i < waiting.size();) {
            if (waiting[i].first != path) {
                ++i;
                continue;
            }
            store.deleteRequestsFor(waiting[i].second);
            waiting.removeAt(i);
        }
        if (!takeRequests)
            return false;
        const bool reloaded = store.reloadPending(apply);
        lastFailure_.clear();
        lockedPolls_ = 0;
        return reloaded;
    } catch (const RuntimeError& e) {
        // The writer holds the lock: the flag is still up, so the next tick tries again.
        if (e.number() != ErrLocked)
            lockedPolls_ = 0;
        else if (++lockedPolls_ < LockedPollsBeforeLogging)
            return false;
        failed(e.number(), e.description());
    } catch (const std::exception& e) {
        failed(5, QString::fromUtf8(e.what()));
    }
    return false;
}

void RequestPoll::failed(int number, const QString& description)
{
    const QString key = QString::number(number) + QLatin1Char(' ') + description;
    if (key != lastFailure_) {
        lastFailure_ = key;
        LogError(number, description, location_);
    }
}

} // namespace requestdb
