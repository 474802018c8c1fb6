#include "library/requestlink.h"

#include "core/errorlog.h"
#include "core/settings.h"
#include "library/songtag.h"

#include <QHash>
#include <QMetaObject>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <memory>
#include <utility>

namespace requestdb {

namespace {

const QString TrueText = QStringLiteral("True");

// A failure as it is to be logged.
struct Failure {
    int number = 0;
    QString description;
    QString location;
};

Failure failureOf(const std::exception& e, const QString& location)
{
    if (const auto* r = dynamic_cast<const RuntimeError*>(&e))
        return {r->number(), r->description(), location};
    return {5, QString::fromUtf8(e.what()), location};
}

// Reloads whose highest rowid is kept per database: the list shows the last one delivered, and
// only a Clear (which shows none) or another database keeps a reload from being delivered.
constexpr int KeptReloads = 8;

} // namespace

// A delete asked for: the records of file, or for a Clear (file empty) those up to the highest
// rowid of the reload the list showed.
struct RequestLink::Delete {
    QString path, file, location;
    quint64 reload = 0;
};

// What runs on the link's thread, and what only that thread touches (but the stop flags and the
// link the answers go to).
class RequestLink::Worker : public QObject {
public:
    // Every operation stops: the program ends and has waited for the deletes long enough.
    std::atomic<bool> stop{false};
    // The reads stop: the program ends and wants no list any more. Set whenever stop is.
    std::atomic<bool> closing{false};
    std::atomic<int> timeLimitMs{TimeLimitMs};
    std::atomic<int> busyTimeoutMs{BusyTimeoutMs};

    // Where the answers go; none once the link is gone.
    QMutex linkLock;
    RequestLink* link = nullptr;

    // Deletes that could not reach their database, in the order they were asked for.
    QList<Delete> waiting;
    // Databases whose requests are to be read at the next poll whatever the flag says: the flag
    // went down and the read failed, a delete failed for good (the list left out requests that
    // are still there), or a Clear left the requests added since.
    QSet<QString> owed;

    // The highest rowid each recent reload of a database read, lowered by every delete since.
    struct Top {
        quint64 reload;
        qint64 rowid;
    };
    QHash<QString, QList<Top>> tops;
    quint64 reloads = 0;

    RequestStore store(const QString& path) const { return RequestStore(path, busyTimeoutMs, timeLimitMs, &stop); }
    RequestStore readStore(const QString& path) const
    {
        return RequestStore(path, busyTimeoutMs, timeLimitMs, &closing);
    }

    void answer(Done done);

    quint64 noteReload(const QString& path, qint64 top)
    {
        QList<Top>& kept = tops[path];
        kept.append({++reloads, top});
        while (kept.size() > KeptReloads)
            kept.removeFirst();
        return reloads;
    }

    qint64 topOf(const QString& path, quint64 reload) const
    {
        for (const Top& t : tops.value(path))
            if (t.reload == reload)
                return t.rowid;
        return 0;
    }

    void remove(const RequestStore& s, const Delete& d)
    {
        Deleted done;
        if (d.file.isEmpty()) {
            const qint64 upTo = topOf(s.path(), d.reload);
            if (upTo > 0)
                done = s.deleteRequestsUpTo(upTo);
            else
                done.top = -1; // nothing the list showed came from this database
            owed.insert(s.path());
        } else {
            done = s.deleteRequestsFor(d.file);
        }
        // Records at the top went: a new request may be given one of their rowids.
        if (done.top >= 0)
            for (Top& t : tops[s.path()])
                t.rowid = std::min(t.rowid, done.top);
    }

    // The database cannot be reached now: the writer holds it locked, or the file is away
    // (moved, replaced, on a share that dropped). A delete waits for it.
    static bool unreachable(const RuntimeError& e, const QString& path)
    {
        return e.number() == ErrLocked || away(e, path);
    }
    static bool away(const RuntimeError& e, const QString& path) { return e.number() == ErrDiskIO || !isUsable(path); }

    // A delete that failed for good: logged, and the requests it was to take away are still in the
    // database, while the list may have left them out (and a reload under way when it was asked
    // for was dropped): the next poll reads the requests again, whatever the flag says.
    void givenUp(const QString& path, Failure failure, std::vector<Failure>& failures)
    {
        failures.push_back(std::move(failure));
        owed.insert(path);
    }

    enum class Outcome { Done, Waits, Away, GivenUp };

    // A delete asked for by a command, after those still waiting for the same database; one that
    // cannot reach the database waits for the polls.
    Outcome deleteNow(const Delete& d, std::vector<Failure>& failures)
    {
        try {
            const RequestStore s = store(d.path);
            retryWaiting(s, failures);
            remove(s, d);
            return Outcome::Done;
        } catch (const RuntimeError& e) {
            if (unreachable(e, d.path)) {
                waiting.append(d);
                return away(e, d.path) ? Outcome::Away : Outcome::Waits;
            }
            givenUp(d.path, failureOf(e, d.location), failures);
        } catch (const std::exception& e) {
            givenUp(d.path, failureOf(e, d.location), failures);
        }
        return Outcome::GivenUp;
    }

    // The deletes waiting for this database, in order. Raises while it still cannot be reached:
    // nothing else may happen to it then, or a taken request would come back. Other failures are
    // logged under the command's location and that delete is given up.
    void retryWaiting(const RequestStore& s, std::vector<Failure>& failures)
    {
        for (int i = 0; i < waiting.size();) {
            if (waiting[i].path != s.path()) {
                ++i;
                continue;
            }
            try {
                remove(s, waiting[i]);
            } catch (const RuntimeError& e) {
                if (unreachable(e, s.path()))
                    throw;
                givenUp(s.path(), failureOf(e, waiting[i].location), failures);
            } catch (const std::exception& e) {
                givenUp(s.path(), failureOf(e, waiting[i].location), failures);
            }
            waiting.removeAt(i);
        }
    }

    // The program ends: one more try of every delete still waiting, so a request taken just
    // before the end does not come back at the next start.
    void lastTries()
    {
        for (const Delete& d : std::as_const(waiting)) {
            try {
                if (stop)
                    throw RuntimeError(ErrTimedOut, QStringLiteral("no time left"));
                remove(store(d.path), d);
            } catch (const std::exception& e) {
                // The database is still locked, away or broken: nothing more can be done here,
                // but the log says which taken requests will be listed again.
                const Failure f = failureOf(e, d.location);
                if (notMadeAtEnd.isEmpty())
                    notMadeNumber = f.number;
                notMadeAtEnd << QStringLiteral("%1 in %2 (%3)")
                                    .arg(d.file.isEmpty() ? QStringLiteral("the requests cleared") : d.file, d.path,
                                         f.description);
            }
        }
        waiting.clear();
    }
    // The deletes the last tries could not make; read once the thread has ended.
    QStringList notMadeAtEnd;
    int notMadeNumber = 0;

    // The rows of the requested songs, their tags read as ParseFiles reads them: only MP3 files.
    std::vector<SongRow> rowsFor(const QStringList& files) const
    {
        std::vector<SongRow> rows;
        rows.reserve(size_t(files.size()));
        for (const QString& f : files) {
            if (closing.load(std::memory_order_relaxed))
                break;
            if (!isMp3Name(f))
                continue;
            SongCells c;
            try {
                c = readSongCells(f);
            } catch (const std::exception&) {
                c.title = titleFallback(f);
            }
            rows.emplace_back(c.title, c.artist, c.time, c.genre, f);
        }
        return rows;
    }
};

struct RequestLink::PollResult {
    QString path;
    QString location;
    bool reloaded = false;
    quint64 reload = 0;
    bool cut = false;
    int listed = 0;
    std::vector<SongRow> rows;
    bool failed = false;
    Failure failure;
    std::vector<Failure> others; // the waiting deletes given up
};

struct RequestLink::Done {
    std::function<void()> then; // on the interface thread
    int waitingDeletes = 0;
};

void RequestLink::Worker::answer(Done done)
{
    const QMutexLocker lock(&linkLock);
    if (link)
        QMetaObject::invokeMethod(
            link, [l = link, done = std::move(done)] { l->answer(done); }, Qt::QueuedConnection);
}

RequestLink::RequestLink(QObject* parent) : QObject(parent) {}

namespace {

// A thread that did not end in time, held for the rest of the run: a QThread destroyed while it
// runs ends the program on the spot.
void park(QThread* thread, QObject* worker)
{
    static auto* parked = new std::vector<std::pair<QThread*, QObject*>>;
    parked->emplace_back(thread, worker);
}

} // namespace

RequestLink::~RequestLink()
{
    onReloaded = nullptr;
    onMessage = nullptr;
    if (!worker_)
        return;
    Worker* w = worker_;
    {
        const QMutexLocker lock(&w->linkLock);
        w->link = nullptr;
    }
    // No list is wanted any more: a reload under way stops at once. The deletes already asked
    // for run, then a last try of those still waiting.
    w->closing = true;
    QMetaObject::invokeMethod(
        w,
        [w] {
            w->lastTries();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    if (!thread_->wait(ShutdownWaitMs)) {
        w->stop = true;
        if (!thread_->wait(StopWaitMs)) {
            QStringList notMade;
            for (const auto& [db, file] : std::as_const(unanswered_))
                notMade << (file.isEmpty() ? QStringLiteral("Clear") : file);
            LogError(ErrTimedOut,
                     QStringLiteral("The request database's thread did not end within %1 s (a file or the database "
                                    "does not answer); the program ends without it. Deletes not made: %2 asked, %3 "
                                    "waiting")
                         .arg(QString::number((ShutdownWaitMs + StopWaitMs) / 1000.0))
                         .arg(notMade.isEmpty() ? QStringLiteral("none") : notMade.join(QStringLiteral(", ")))
                         .arg(waitingDeletes_),
                     QStringLiteral("CloseAll"));
            park(thread_, w);
            return;
        }
    }
    if (!w->notMadeAtEnd.isEmpty())
        LogError(w->notMadeNumber,
                 QStringLiteral("At the end, the records of taken or cleared requests could not be deleted from the "
                                "request database; they are listed again at the next start: %1")
                     .arg(w->notMadeAtEnd.join(QStringLiteral("; "))),
                 QStringLiteral("CloseAll"));
    delete w;
    delete thread_;
}

void RequestLink::start()
{
    if (worker_)
        return;
    thread_ = new QThread;
    thread_->setObjectName(QStringLiteral("Request database"));
    worker_ = new Worker;
    worker_->link = this;
    worker_->moveToThread(thread_);
    thread_->start();
}

void RequestLink::setTimeLimitMs(int ms)
{
    start();
    worker_->timeLimitMs = ms;
}

void RequestLink::setBusyTimeoutMs(int ms)
{
    start();
    worker_->busyTimeoutMs = ms;
}

void RequestLink::post(std::function<Done(Worker&)> job)
{
    start();
    ++outstanding_;
    Worker* w = worker_;
    QMetaObject::invokeMethod(
        w,
        [w, job = std::move(job)] {
            Done done;
            // The program is ending and what still waits here was given up.
            if (!w->stop)
                done = job(*w);
            done.waitingDeletes = int(w->waiting.size());
            w->answer(std::move(done));
        },
        Qt::QueuedConnection);
}

void RequestLink::answer(Done done)
{
    --outstanding_;
    waitingDeletes_ = done.waitingDeletes;
    if (done.then)
        done.then();
}

void RequestLink::message(const QString& text) const
{
    if (onMessage)
        onMessage(text);
}

void RequestLink::letGo(std::vector<SongRow>&& rows)
{
    if (rows.empty())
        return;
    start();
    auto held = std::make_shared<std::vector<SongRow>>(std::move(rows));
    QMetaObject::invokeMethod(worker_, [held] { held->clear(); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// The poll

void RequestLink::poll(const QString& path, bool takeRequests, const QString& location)
{
    if (!isConfigured(path) || polling_)
        return;
    // Switched off, with no delete waiting: nothing to do.
    if (!takeRequests && waitingDeletes_ == 0)
        return;
    polling_ = true;
    auto r = std::make_shared<PollResult>();
    r->path = path;
    r->location = location;
    post([this, r, takeRequests](Worker& w) -> Done {
        try {
            const RequestStore s = w.store(r->path);
            // A database that went away, or was replaced by something that is no file, is a
            // failure while requests are taken; the deletes left waiting for it wait on.
            if (!s.exists()) {
                if (takeRequests)
                    raiseNotAFile(r->path);
            } else {
                // The deletes of taken requests go first, so none of them comes back.
                w.retryWaiting(s, r->others);
                if (takeRequests && !w.closing
                    && (w.owed.contains(r->path) || w.readStore(r->path).takeNewRequestsFlag())) {
                    w.owed.insert(r->path);
                    PendingRequests pending = w.readStore(r->path).pendingRequests();
                    w.owed.remove(r->path);
                    r->reload = w.noteReload(r->path, pending.top);
                    r->cut = pending.cut;
                    r->listed = int(pending.files.size());
                    r->rows = w.rowsFor(pending.files);
                    r->reloaded = !w.closing;
                }
            }
        } catch (const std::exception& e) {
            r->failed = true;
            r->failure = failureOf(e, r->location);
        }
        return {[this, r] { pollAnswered(*r); }};
    });
}

void RequestLink::pollAnswered(PollResult& r)
{
    polling_ = false;
    for (const Failure& f : r.others)
        LogError(f.number, f.description, f.location);
    if (r.failed) {
        // The writer holds the lock: the flag is still up, so a later tick tries again.
        if (r.failure.number != ErrLocked)
            lockedPolls_ = 0;
        else if (++lockedPolls_ < LockedPollsBeforeLogging)
            return;
        pollFailed(r.failure.number, r.failure.description, r.location);
        return;
    }
    lockedPolls_ = 0;
    lastFailure_.clear();
    if (!r.reloaded)
        return;
    // A list cut short is said once, until a reload lists everything again.
    if (r.cut && !cutLogged_)
        LogError(7, QStringLiteral("Out of memory: the request database holds more pending requests than the list "
                                   "takes; the first %1 are listed")
                        .arg(r.listed),
                 r.location);
    cutLogged_ = r.cut;
    deliver(r.path, r.reload, std::move(r.rows));
}

// A failure as the link remembers the last one, so the same one is not logged again.
static QString failureKey(int number, const QString& description)
{
    return QString::number(number) + QLatin1Char(' ') + description;
}

void RequestLink::pollFailed(int number, const QString& description, const QString& location)
{
    const QString key = failureKey(number, description);
    if (key == lastFailure_)
        return;
    lastFailure_ = key;
    LogError(number, description, location);
}

void RequestLink::deliver(const QString& path, quint64 reload, std::vector<SongRow>&& rows)
{
    // Another database was chosen meanwhile: its list is not this one's.
    if (path != RequestDBPath)
        return;
    // Taken or cleared while this reload was under way (every delete not answered yet was asked
    // for after it): the list keeps what the command left.
    QSet<QString> taken;
    for (const auto& [db, file] : unanswered_) {
        if (db != path)
            continue;
        if (file.isEmpty())
            return;
        taken.insert(file);
    }
    if (!taken.isEmpty())
        rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const SongRow& r) { return taken.contains(r.filename()); }),
                   rows.end());
    if (!onReloaded)
        return;
    shownPath_ = path;
    shownReload_ = reload;
    onReloaded(std::move(rows));
}

// ---------------------------------------------------------------------------------------------
// The commands

void RequestLink::raiseNewRequestsFlag(const QString& path, const QString& location)
{
    post([this, path, location](Worker& w) -> Done {
        std::vector<Failure> failures;
        try {
            w.store(path).setConfigValue(NewRequestsFlag, TrueText);
        } catch (const std::exception& e) {
            failures.push_back(failureOf(e, location));
        }
        return {[this, failures] {
            for (const Failure& f : failures) {
                LogError(f.number, f.description, f.location);
                // A file that is no request database (not SQLite, corrupt, without the tables) is
                // told on the message line too, with its path; the polls that fail the same way
                // after it log nothing more until something else happens.
                if (f.number == ErrCannotOpen || f.number == ErrDatabase) {
                    lastFailure_ = failureKey(f.number, f.description);
                    message(QStringLiteral("Requests cannot be taken: ") + f.description);
                }
            }
        }};
    });
}

void RequestLink::deleteRequestsFor(const QString& path, const QString& file, const QString& location,
                                    std::function<void(bool givenUp)> done)
{
    // An empty name would stand for a Clear (see deleteAllRequests).
    if (!file.isEmpty())
        queueDelete({path, file, location}, std::move(done));
}

void RequestLink::deleteAllRequests(const QString& path, const QString& location)
{
    // The list is emptied: from now on it shows nothing of the database until the next reload.
    const quint64 shown = shownPath_ == path ? shownReload_ : 0;
    shownPath_.clear();
    shownReload_ = 0;
    queueDelete({path, QString(), location, shown}, {});
}

void RequestLink::queueDelete(Delete d, std::function<void(bool givenUp)> done)
{
    const QPair<QString, QString> entry(d.path, d.file);
    unanswered_.append(entry);
    post([this, d = std::move(d), entry, done = std::move(done)](Worker& w) -> Done {
        std::vector<Failure> failures;
        const Worker::Outcome outcome = w.deleteNow(d, failures);
        return {[this, entry, failures, outcome, done] {
            unanswered_.removeOne(entry);
            for (const Failure& f : failures)
                LogError(f.number, f.description, f.location);
            if (outcome == Worker::Outcome::Away)
                message(QStringLiteral("The request database could not be reached (%1): the request's records "
                                       "are deleted once it is back")
                            .arg(entry.first));
            if (done)
                done(outcome == Worker::Outcome::GivenUp);
        }};
    });
}

void RequestLink::setTakeRequests(const QString& path, bool on, const QString& location,
                                  std::function<void(const QString& failure)> done)
{
    post([path, on, location, done = std::move(done)](Worker& w) -> Done {
        std::vector<Failure> failures;
        try {
            w.store(path).setTakeRequests(on);
        } catch (const std::exception& e) {
            failures.push_back(failureOf(e, location));
        }
        return {[failures, done] {
            for (const Failure& f : failures)
                LogError(f.number, f.description, f.location);
            if (done)
                done(failures.empty() ? QString() : failures.front().description);
        }};
    });
}

void startUp(const QString& settingsFile, const QString& location, RequestLink& link)
{
    const QString path =
        ReadINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), QStringLiteral("NULL"), settingsFile);
    if (isUsable(path)) {
        RequestDBPath = path;
        link.raiseNewRequestsFlag(path, location);
        return;
    }
    RequestDBPath = NoDatabasePath;
    if (path == QLatin1String("NULL") || !isConfigured(path))
        return;
    // A database was asked for and cannot be used: no requests are taken this run, and the DJ is
    // told which path and why, once.
    const Unusable why = whyUnusable(path);
    if (why.number == 0)
        return; // there after all, a moment later: the next start takes it
    LogError(why.number, why.description, location);
    if (link.onMessage)
        link.onMessage(QStringLiteral("Requests are not taken in this run: ") + why.description);
}

} // namespace requestdb
