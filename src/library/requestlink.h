// The request database's own thread. Every read and write of the request database runs there,
// one after the other in the order the program asked for them, on connections made on that
// thread; the interface thread only asks, and takes the answers later from its event loop. So a
// large database (hundreds of thousands of requests, a write-ahead log a killed writer left
// behind, a writer that keeps it busy) costs the window nothing, and a hostile one (a view that
// never ends) ties up only this thread until the store's time limit stops it.
//
// The poll reads the pending requests when the writer has raised its flag, reads their songs'
// tags as the list shows them, and hands the finished rows to onReloaded. A poll is not started
// while the last one is still under way. Deletes of taken requests run in the order they were
// asked for, before any later poll: a reload that was already under way when a request was
// taken (or the list cleared) hands its rows over without it (or not at all), so a taken request
// never comes back. A delete that cannot reach the database (locked by the writer, or the file
// away: moved, on a share that dropped) is kept and tried again by the next polls, before they
// read anything, and once more when the program ends; the message line says when the file was
// away. Clear deletes only the records the list showed: those up to the highest one the reload
// it shows had read (lowered by the deletes since), never a request added after that reload.
//
// Failures are logged under the location the caller gave: the poll's once while the same one
// repeats (a lock only once it has lasted LockedPollsBeforeLogging polls), the commands' each.
#pragma once

#include "library/requestdb.h"
#include "library/songlistmodel.h"

#include <QObject>
#include <QString>
#include <functional>
#include <vector>

class QThread;

namespace requestdb {

class RequestLink : public QObject {
    Q_OBJECT
public:
    explicit RequestLink(QObject* parent = nullptr);
    // A reload under way stops at once; the deletes asked for, and a last try of those still
    // waiting, are given ShutdownWaitMs, then every operation is told to stop; a thread that has
    // still not ended StopWaitMs later (a file on a share that hangs holds it in the system) is
    // left to end with the program, and the log says so.
    ~RequestLink() override;

    static constexpr int ShutdownWaitMs = 1000;
    static constexpr int StopWaitMs = 250;

    // Where a finished reload goes, on the interface thread: a row for every pending request of
    // an MP3 file, most requested first, its tag read as the lists read it.
    std::function<void(std::vector<SongRow>&& rows)> onReloaded;
    // A word for the message line (the request database could not be reached, or was not usable
    // at start-up); nothing while unset.
    std::function<void(const QString& text)> onMessage;

    // The once-a-second look at the database at path: the deletes left waiting for it, then,
    // when takeRequests is set, a reload if the writer's flag is up. A configured path where no
    // database file is (gone, or replaced by a folder or a named pipe) is a failure like any
    // other while takeRequests is set. Nothing while the last poll is still under way.
    void poll(const QString& path, bool takeRequests, const QString& location);
    bool polling() const { return polling_; }

    // The main window's load: the new-requests flag goes up, so the first poll lists every
    // pending request.
    void raiseNewRequestsFlag(const QString& path, const QString& location);
    // A taken or removed request: every record of its file goes. done(givenUp), when given,
    // follows on the interface thread once the first try is over: givenUp when the delete failed
    // for good (logged; the records stay), false when it was made or waits to be tried again.
    void deleteRequestsFor(const QString& path, const QString& file, const QString& location,
                           std::function<void(bool givenUp)> done = {});
    // Clear: the records the list showed go (every one up to the highest the shown reload read,
    // whatever its Status), never one added since; the next poll reads what is left.
    void deleteAllRequests(const QString& path, const QString& location);
    // Take Requests: Config rows 1 to 4 tell the writer; done(failure) follows on the interface
    // thread, failure being "" when they were written, else the error as logged.
    void setTakeRequests(const QString& path, bool on, const QString& location,
                         std::function<void(const QString& failure)> done);

    // Rows the window no longer shows: they are freed on the link's thread (a list of a hundred
    // thousand requests takes a while to free).
    void letGo(std::vector<SongRow>&& rows);

    // Nothing is asked that has not been answered yet.
    bool idle() const { return outstanding_ == 0; }
    // Deletes kept for a database that was locked or away.
    int waitingDeletes() const { return waitingDeletes_; }
    // The poll's failure last logged ("" when the last poll worked).
    const QString& lastFailure() const { return lastFailure_; }

    // The bounds of every operation from now on (tests and benchmarks shorten them).
    void setTimeLimitMs(int ms);
    void setBusyTimeoutMs(int ms);

private:
    class Worker;
    struct PollResult;
    struct Done;
    struct Delete;

    void start();
    // Runs job on the link's thread; its answer comes back through answer().
    void post(std::function<Done(Worker&)> job);
    void answer(Done done);
    void pollAnswered(PollResult& r);
    void pollFailed(int number, const QString& description, const QString& location);
    void deliver(const QString& path, quint64 reload, std::vector<SongRow>&& rows);
    void queueDelete(Delete d, std::function<void(bool givenUp)> done);
    void message(const QString& text) const;

    QThread* thread_ = nullptr;
    Worker* worker_ = nullptr;
    int outstanding_ = 0;
    bool polling_ = false;
    int waitingDeletes_ = 0;
    int lockedPolls_ = 0;
    bool cutLogged_ = false;
    QString lastFailure_;
    // Deletes asked for and not answered yet: (database, file), file empty for Clear.
    QList<QPair<QString, QString>> unanswered_;
    // The reload the Requests list shows: its database and its number (0: none since the last
    // Clear).
    QString shownPath_;
    quint64 shownReload_ = 0;
};

// Form_Load's database step: RequestDBPath from [Requests] RequestDB of the settings file; when a
// file exists there, its new-requests flag is raised (on the link's thread) so the first poll
// loads every pending request; otherwise RequestDBPath = "C:\DB.mdb" and no database is touched,
// and a configured path that is not usable (nothing there, a folder, a named pipe, a device, a
// loop of links) is said once, in the log and on the message line, with its reason. A failure is
// logged under location.
void startUp(const QString& settingsFile, const QString& location, RequestLink& link);

} // namespace requestdb
