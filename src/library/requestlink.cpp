#include "library/requestlink.h"

#include "core/errorlog.h"
#include "core/settings.h"
#include "library/songtag.h"

#include <QMetaObject>
#include <QSet>
#include <algorithm>
#include <memory>

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

} // namespace

// What runs on the link's thread, and what only that thread touches.
class RequestLink::Worker : public QObject {
public:
    std::atomic<bool> stop{false};
    std::atomic<int> timeLimitMs{TimeLimitMs};
    std::atomic<int> busyTimeoutMs{BusyTimeoutMs};

    // Deletes that found the database locked, in the order they were asked for; file is empty
    // for a Clear.
    struct Waiting {
        QString path, file, location;
    };
    QList<Waiting> waiting;
    // Databases whose flag this thread let down without reading their requests yet (the read
    // failed): the next poll reads them whatever the flag says, so no request waits for the
    // writer's next one.
    QSet<QString> owed;

    RequestStore store(const QString& path) const { return RequestStore(path, busyTimeoutMs, timeLimitMs, &stop); }

    static void remove(const RequestStore& s, const QString& file)
    {
        if (file.isEmpty())
            s.deleteAllRequests();
        else
            s.deleteRequestsFor(file);
    }

    // A delete that failed for good: logged, and the requests it was to take away are still in the
    // database, while the list already left them out (and a reload under way when it was asked
    // for was dropped): the next poll reads the requests again, whatever the flag says.
    void givenUp(const QString& path, Failure failure, std::vector<Failure>& failures)
    {
        failures.push_back(std::move(failure));
        owed.insert(path);
    }

    // A delete asked for by a command; one that finds the database locked waits for the polls.
    void deleteNow(const QString& path, const QString& file, const QString& location, std::vector<Failure>& failures)
    {
        try {
            remove(store(path), file);
        } catch (const RuntimeError& e) {
            if (e.number() == ErrLocked)
                waiting.append({path, file, location});
            else
                givenUp(path, failureOf(e, location), failures);
        } catch (const std::exception& e) {
            givenUp(path, failureOf(e, location), failures);
        }
    }

    // The deletes waiting for this database, in order. Raises while it is still locked: nothing
    // else of the poll may happen then, or a taken request would come back. Other failures are
    // logged under the command's location and that delete is given up.
    void retryWaiting(const RequestStore& s, std::vector<Failure>& failures)
    {
        for (int i = 0; i < waiting.size();) {
            if (waiting[i].path != s.path()) {
                ++i;
                continue;
            }
            try {
                remove(s, waiting[i].file);
            } catch (const RuntimeError& e) {
                if (e.number() == ErrLocked)
                    throw;
                givenUp(s.path(), failureOf(e, waiting[i].location), failures);
            }
            waiting.removeAt(i);
        }
    }

    // The rows of the requested songs, their tags read as ParseFiles reads them: only MP3 files.
    std::vector<SongRow> rowsFor(const QStringList& files) const
    {
        std::vector<SongRow> rows;
        rows.reserve(size_t(files.size()));
        for (const QString& f : files) {
            if (stop.load(std::memory_order_relaxed))
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

RequestLink::RequestLink(QObject* parent) : QObject(parent)
{
    thread_.setObjectName(QStringLiteral("Request database"));
}

RequestLink::~RequestLink()
{
    onReloaded = nullptr;
    if (thread_.isRunning()) {
        // After the work already asked for, a last try of the deletes still waiting for a lock,
        // so a request taken just before the end does not come back at the next start.
        QMetaObject::invokeMethod(
            worker_,
            [w = worker_] {
                for (const Worker::Waiting& x : std::as_const(w->waiting)) {
                    if (w->stop)
                        break;
                    try {
                        Worker::remove(w->store(x.path), x.file);
                    } catch (const std::exception&) {
                        // the database is still locked or broken: nothing more can be done
                    }
                }
                QThread::currentThread()->quit();
            },
            Qt::QueuedConnection);
        if (!thread_.wait(ShutdownWaitMs)) {
            worker_->stop = true;
            thread_.wait();
        }
    }
    delete worker_;
}

void RequestLink::start()
{
    if (worker_)
        return;
    worker_ = new Worker;
    worker_->moveToThread(&thread_);
    thread_.start();
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

void RequestLink::post(std::function<Done()> job)
{
    start();
    ++outstanding_;
    QMetaObject::invokeMethod(
        worker_,
        [this, job = std::move(job)] {
            Done done;
            // The program is ending and what still waits here was given up.
            if (!worker_->stop)
                done = job();
            done.waitingDeletes = int(worker_->waiting.size());
            QMetaObject::invokeMethod(this, [this, done = std::move(done)] { answer(done); }, Qt::QueuedConnection);
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
    post([this, r, takeRequests]() -> Done {
        Worker& w = *worker_;
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
                if (takeRequests && (w.owed.contains(r->path) || s.takeNewRequestsFlag())) {
                    w.owed.insert(r->path);
                    PendingRequests pending = s.pendingRequests();
                    w.owed.remove(r->path);
                    r->cut = pending.cut;
                    r->listed = int(pending.files.size());
                    r->rows = w.rowsFor(pending.files);
                    r->reloaded = !w.stop;
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
    deliver(r.path, std::move(r.rows));
}

void RequestLink::pollFailed(int number, const QString& description, const QString& location)
{
    const QString key = QString::number(number) + QLatin1Char(' ') + description;
    if (key == lastFailure_)
        return;
    lastFailure_ = key;
    LogError(number, description, location);
}

void RequestLink::deliver(const QString& path, std::vector<SongRow>&& rows)
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
    if (onReloaded)
        onReloaded(std::move(rows));
}

// ---------------------------------------------------------------------------------------------
// The commands

void RequestLink::raiseNewRequestsFlag(const QString& path, const QString& location)
{
    post([this, path, location]() -> Done {
        std::vector<Failure> failures;
        try {
            worker_->store(path).setConfigValue(NewRequestsFlag, TrueText);
        } catch (const std::exception& e) {
            failures.push_back(failureOf(e, location));
        }
        return {[failures] {
            for (const Failure& f : failures)
                LogError(f.number, f.description, f.location);
        }};
    });
}

void RequestLink::deleteRequestsFor(const QString& path, const QString& file, const QString& location)
{
    // An empty name would stand for every record (see deleteAllRequests).
    if (!file.isEmpty())
        queueDelete(path, file, location);
}

void RequestLink::deleteAllRequests(const QString& path, const QString& location)
{
    queueDelete(path, QString(), location);
}

void RequestLink::queueDelete(const QString& path, const QString& file, const QString& location)
{
    const QPair<QString, QString> entry(path, file);
    unanswered_.append(entry);
    post([this, entry, location]() -> Done {
        std::vector<Failure> failures;
        worker_->deleteNow(entry.first, entry.second, location, failures);
        return {[this, entry, failures] {
            unanswered_.removeOne(entry);
            for (const Failure& f : failures)
                LogError(f.number, f.description, f.location);
        }};
    });
}

void RequestLink::setTakeRequests(const QString& path, bool on, const QString& location,
                                  std::function<void(bool)> done)
{
    post([this, path, on, location, done = std::move(done)]() -> Done {
        std::vector<Failure> failures;
        try {
            worker_->store(path).setTakeRequests(on);
        } catch (const std::exception& e) {
            failures.push_back(failureOf(e, location));
        }
        return {[failures, done] {
            for (const Failure& f : failures)
                LogError(f.number, f.description, f.location);
            if (done)
                done(failures.empty());
        }};
    });
}

void startUp(const QString& settingsFile, const QString& location, RequestLink& link)
{
    QString path = ReadINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), QStringLiteral("NULL"), settingsFile);
    if (!isUsable(path))
        path = QStringLiteral("NULL");
    if (path == QLatin1String("NULL")) {
        RequestDBPath = NoDatabasePath;
        return;
    }
    RequestDBPath = path;
    link.raiseNewRequestsFlag(path, location);
}

} // namespace requestdb
