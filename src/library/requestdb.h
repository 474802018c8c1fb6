// The request database: an SQLite file shared with the outside request writer, which adds
// UserRequests records and sets Config row 5 to "True" when it has written new ones.
//
// Tables (names as both programs know them):
//   UserRequests(RequestFilename text, Status text ('NA' = pending), NumRequests number,
//                RequestDate date), an ordinary table: its records are known by their rowid
//   Config(ID number, ConfigValue text "True"/"False"); row 5 = new requests waiting,
//          rows 1 to 4 tell the writer whether requests are taken.
//
// Every operation opens the file on a connection of its own (read-write, never creating a missing
// file), runs its statements with every value bound as a parameter, and closes it again. The
// program runs them on a thread of its own (requestlink.h), never on the interface thread, so a
// large database may take the seconds it needs. Anyone who can write the shared file can put
// views and triggers in it, so every operation is still bounded in time (its time limit, seconds
// by default): a query that would run for ever is stopped and the operation fails. Only ordinary
// files are opened, never a folder, a named pipe or a device, whether at the database's path or
// at its journal's. A wait for the writer's lock ends as soon as the stop flag is set, as a
// statement does. Failures are raised as RuntimeError (errorlog.h) for the caller to report.
#pragma once

#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>
#include <atomic>

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
// Why a configured path is not usable, as the error it raises: nothing there (ErrFileNotFound),
// or a folder, a named pipe, a device, a loop of links ... (ErrCannotOpen). Number 0 for a
// usable path.
struct Unusable {
    int number = 0;
    QString description;
};
Unusable whyUnusable(const QString& path);

// The Config row that says new requests are waiting.
constexpr int NewRequestsFlag = 5;

// Error numbers raised by the store.
constexpr int ErrNoCurrentRecord = 3021; // the Config row asked for does not exist
constexpr int ErrFileNotFound = 3024;    // no database file at the path
constexpr int ErrCannotOpen = 3049;      // not a database, corrupt, or cannot be opened
constexpr int ErrLocked = 3218;          // another program holds the database locked
constexpr int ErrDatabase = 3146;        // any other failure the database reports
constexpr int ErrTimedOut = 3234;        // a statement ran past the time limit and was stopped
constexpr int ErrDiskIO = 3043;          // the file could not be read or written (a share that dropped)

// How long one statement waits for the outside writer's lock before failing. The writer's own
// transactions take milliseconds, so a second gets in between them even while it writes all the
// time; a lock held longer fails the operation, and the poll tries again on a later tick.
constexpr int BusyTimeoutMs = 1000;

// The longest one operation may run: opening the file and every statement together, measured in
// wall time. It is there only against queries that never end (a view over an endless recursive
// query, a trigger that never ends): reading the pending requests of a database of hundreds of
// megabytes takes a second or two, even from a cold disk. A statement still running then is
// stopped and the operation fails with ErrTimedOut; nothing it began is kept.
constexpr int TimeLimitMs = 10000;

// The most pending requests one reload reads, and the most text their file names may take
// (characters): a list of 200,000 requests is a long night, the bounds keep a database that
// claims millions (or a view that never runs dry) from taking the program's memory. The most
// requested come first; the rest wait for a later reload, and the reload says so in the log.
constexpr int MaxPendingRequests = 500000;
constexpr qint64 MaxPendingTextChars = qint64(64) << 20;

// Polls in a row that may find the database locked before the poll logs it: a lock that lasts
// this many polls is worth a line.
constexpr int LockedPollsBeforeLogging = 30;

// The pending requests a reload read.
struct PendingRequests {
    QStringList files; // in reload order: most requested first, then oldest first
    bool cut = false;  // there were more than the bounds above let in
    // The highest rowid of UserRequests when they were read (0 for an empty table): every record
    // added later has a higher one, as long as no record up to it is deleted (see Deleted).
    qint64 top = 0;
};

// What a delete did.
struct Deleted {
    int records = 0;
    // The highest rowid left in UserRequests right after the delete, in the same transaction (0
    // for an empty table). SQLite gives a new record the highest rowid plus one, so once the
    // records at the top are gone a rowid a reload read may be given to a new request: a bound
    // taken from a reload must be lowered to this.
    qint64 top = 0;
};

class RequestStore {
public:
    // stop, when given, stops a running operation as the time limit does once it reads true
    // (the program ending); it must outlive the store.
    explicit RequestStore(QString path, int busyTimeoutMs = BusyTimeoutMs, int timeLimitMs = TimeLimitMs,
                          const std::atomic<bool>* stop = nullptr);

    const QString& path() const { return path_; }

    // A file (not a folder) exists at the path.
    bool exists() const;

    // ConfigValue of the first Config record with this ID, as text ("" when NULL).
    // Raises ErrNoCurrentRecord when there is none.
    QString configValue(int id) const;

    // Sets ConfigValue of the first Config record with this ID.
    // Raises ErrNoCurrentRecord when there is none.
    void setConfigValue(int id, const QString& value) const;

    // The new-requests signal: when Config row 5 reads exactly "True", sets it to "False" and
    // returns true. The flag is read again inside the write transaction that lets it down, so a
    // flag the writer changed meanwhile is never lost. A flag that cannot be let down (a trigger
    // refuses it) raises, and the requests are not read. The caller reads the pending requests
    // after this: a request the writer adds in between is among them and raises the flag for
    // the next reload as well, so no request is ever left out.
    bool takeNewRequestsFlag() const;

    // The file names of the pending requests in reload order (records without a file name are
    // left out), at most maxRequests of them and MaxPendingTextChars of text, and the table's
    // highest rowid, both read in one transaction. Only reads.
    PendingRequests pendingRequests(int maxRequests = MaxPendingRequests) const;

    // Deletes every request record of the file, whatever its Status.
    Deleted deleteRequestsFor(const QString& file) const;

    // Deletes every request record whose rowid is at most upTo, whatever its Status: the records
    // a list showed, never one added since.
    Deleted deleteRequestsUpTo(qint64 upTo) const;

    // Tells the writer whether requests are taken: Config rows 1 to 4 read "True", "False",
    // "True", "False" when on and the reverse when off, written in that order in one transaction.
    // Raises ErrNoCurrentRecord, writing none, when a row is missing.
    void setTakeRequests(bool on) const;

private:
    QString path_;
    int busyTimeoutMs_;
    int timeLimitMs_;
    const std::atomic<bool>* stop_;
};

// The URI that opens a database file read-write without creating it (exposed for tests).
QString openUri(const QString& path);

// The raise for a configured path where no database file is (whyUnusable).
[[noreturn]] void raiseNotAFile(const QString& path);

} // namespace requestdb
