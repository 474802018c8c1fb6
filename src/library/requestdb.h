// The request database: an SQLite file shared with the outside request writer, which adds
// UserRequests records and sets Config row 5 to "True" when it has written new ones.
//
// Tables (names as both programs know them):
//   UserRequests(RequestFilename text, Status text ('NA' = pending), NumRequests number,
//                RequestDate date)
//   Config(ID number, ConfigValue text "True"/"False"); row 5 = new requests waiting,
//          rows 1 to 4 tell the writer whether requests are taken.
//
// Every operation opens the file on a connection of its own (read-write, never creating a missing
// file), runs its statements with every value bound as a parameter, and closes it again; a locked
// database fails fast and the caller tries again later. Anyone who can write the shared file can
// put views and triggers in it, so every operation is also bounded in time (TimeLimitMs): a query
// that would run for ever is stopped and the operation fails. Only ordinary files are opened,
// never a folder, a named pipe or a device, whether at the database's path or at its journal's.
// Failures are raised as RuntimeError (errorlog.h) for the caller's trap.
#pragma once

#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

// The full path of the request database; "C:\DB.mdb" when none is configured.
extern QString RequestDBPath;
// New requests arrived that the user has not looked at yet (the Requests count blinks).
extern bool NewRequests;

namespace requestdb {

// The path kept when no usable database is configured. It only ever stands for "none": no file
// of that name is created, opened or looked for.
inline const QString NoDatabasePath = QStringLiteral("C:\\DB.mdb");

// A database is configured: the path is neither empty nor the no-database path.
bool isConfigured(const QString& path);
// A database is configured and a file (not a folder) exists at its path.
bool isUsable(const QString& path);

// The Config row that says new requests are waiting.
constexpr int NewRequestsFlag = 5;

// Error numbers raised by the store.
constexpr int ErrNoCurrentRecord = 3021; // the Config row asked for does not exist
constexpr int ErrFileNotFound = 3024;    // no database file at the path
constexpr int ErrCannotOpen = 3049;      // not a database, corrupt, or cannot be opened
constexpr int ErrLocked = 3218;          // another program holds the database locked
constexpr int ErrDatabase = 3146;        // any other failure the database reports
constexpr int ErrTimedOut = 3234;        // a statement ran past the time limit and was stopped

// How long one statement waits for the outside writer's lock before failing. Every use runs on
// the interface thread, so the waits stay short: a command the user chose waits a little longer,
// the once-a-second poll hardly at all (a locked poll is simply tried again on the next tick).
constexpr int BusyTimeoutMs = 25;
constexpr int PollBusyTimeoutMs = 5;

// The longest one operation may keep the interface thread: opening the file and every statement
// together, measured in wall time. A statement still running then (a view over an endless
// recursive query, a trigger that never ends) is stopped and the operation fails with
// ErrTimedOut; nothing it began is kept.
constexpr int TimeLimitMs = 50;

// Polls in a row that may find the database locked before the poll logs it: the writer's own
// transactions take milliseconds, so a lock that lasts this many seconds is worth a line.
constexpr int LockedPollsBeforeLogging = 30;

class RequestStore {
public:
    explicit RequestStore(QString path, int busyTimeoutMs = BusyTimeoutMs);

    const QString& path() const { return path_; }

    // From now on the operations of this store share one time limit that ends TimeLimitMs from
    // now, instead of each having TimeLimitMs of its own: the poll's operations of one tick
    // together keep the window no longer than one operation may.
    void shareTimeLimit();

    // A file (not a folder) exists at the path.
    bool exists() const;

    // ConfigValue of the first Config record with this ID, as text ("" when NULL).
    // Raises ErrNoCurrentRecord when there is none.
    QString configValue(int id) const;

    // Sets ConfigValue of the first Config record with this ID.
    // Raises ErrNoCurrentRecord when there is none.
    void setConfigValue(int id, const QString& value) const;

    // The reload of the Requests list. When Config row 5 reads exactly "True": in one
    // transaction, reads the file names of the pending requests (most requested first, then
    // oldest first; records without a file name are left out), sets row 5 to "False" and hands
    // the names to apply. A request written meanwhile by the outside writer is therefore either
    // among those handed over or waits for its own flag. A flag that cannot be set (a trigger
    // refuses it) fails the reload before apply runs, so the list is never rebuilt from requests
    // the flag still calls new. When apply raises, nothing is changed and row 5 stays "True", so
    // the next poll tries again. Returns whether a reload happened.
    bool reloadPending(const std::function<void(const QStringList&)>& apply) const;

    // The file names of the pending requests in reload order (no transaction, no flag change).
    QStringList pendingRequests() const;

    // Deletes every request record of the file, whatever its Status; returns how many.
    int deleteRequestsFor(const QString& file) const;

    // Deletes every request record; returns how many.
    int deleteAllRequests() const;

    // Tells the writer whether requests are taken: Config rows 1 to 4 read "True", "False",
    // "True", "False" when on and the reverse when off, written in that order in one transaction.
    // Raises ErrNoCurrentRecord, writing none, when a row is missing.
    void setTakeRequests(bool on) const;

private:
    // When the next operation must end.
    std::chrono::steady_clock::time_point deadline() const;

    QString path_;
    int busyTimeoutMs_;
    std::optional<std::chrono::steady_clock::time_point> sharedDeadline_;
};

// The URI that opens a database file read-write without creating it (exposed for tests).
QString openUri(const QString& path);

// Form_Load's database step: RequestDBPath from [Requests] RequestDB of the settings file;
// when a file exists there, Config row 5 is set to "True" so that the first poll loads every
// pending request; otherwise RequestDBPath = "C:\DB.mdb" and no database is touched.
// A failure is logged under location and the caller's load goes on.
void startUp(const QString& settingsFile, const QString& location);

// Deletes the records of a request that was taken while the database was locked: the poll
// tries again at its next ticks, before it reloads, so a taken request does not come back.
void deleteRequestsLater(const QString& path, const QString& file);
// The deletes still waiting, as (database, file) pairs (for tests).
QList<QPair<QString, QString>> pendingDeletes();
void dropPendingDeletes();

// The once-a-second request poll of the housekeeping timer, with its memory of the last failure:
// a failure is logged under location once, and again only when it changes or after a poll that
// worked, so a database that stays broken does not fill the error log at one line a second.
// A locked database is waited for only briefly (PollBusyTimeoutMs) and tried again on the next
// tick; it is logged only once it has stayed locked for LockedPollsBeforeLogging polls.
// Failures never escape: the rest of the tick goes on.
class RequestPoll {
public:
    explicit RequestPoll(QString location) : location_(std::move(location)) {}

    // First the deletes left waiting for this database (see deleteRequestsLater); while one of
    // them still fails, nothing else happens this tick. Then the reload check when takeRequests
    // is set; apply receives the pending file names (see RequestStore::reloadPending). A
    // configured path where no database file is (gone, or replaced by a folder or a named pipe)
    // is a failure like any other while takeRequests is set. All of it together keeps the
    // window no longer than TimeLimitMs; a poll stopped by the limit is tried again on the next
    // tick. Returns whether a reload happened.
    bool poll(const QString& path, bool takeRequests, const std::function<void(const QStringList&)>& apply);

    // The failure last logged ("" when the last poll worked).
    const QString& lastFailure() const { return lastFailure_; }

private:
    void failed(int number, const QString& description);

    QString location_;
    QString lastFailure_;
    int lockedPolls_ = 0;
};

} // namespace requestdb
