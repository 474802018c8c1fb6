#include "library/search.h"

#include "core/errorlog.h"
#include "library/library.h"
#include "library/songtag.h"

#include <algorithm>

LibrarySearch::LibrarySearch(Library& library, QObject* parent) : QObject(parent), library_(library)
{
    timer_.setSingleShot(true);
    timer_.setInterval(0);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (matching_)
            matchSlice();
        else
            refreshSlice();
    });
}

void LibrarySearch::stop()
{
    timer_.stop();
    matching_ = false;
    rows_ = {};
    next_ = 0;
    hits_ = {};
    refreshIds_ = {};
    refreshNext_ = 0;
}

void LibrarySearch::run(const QString& s)
{
    // Whatever an older search still had to do is dropped here: it adds no more hits and
    // writes no more tags.
    ++generation_;
    stop();
    SongListModel& list = library_.search();
    list.clear();
    if (s.size() < 2) {
        library_.addSearchPlaceholder();
        emit hitsListed();
        emit finished();
        return;
    }
    rows_ = library_.full().snapshot();
    matcher_ = QStringMatcher(s, Qt::CaseInsensitive);
    matching_ = true;
    matchSlice();
}

void LibrarySearch::matchSlice()
{
    QElapsedTimer clock;
    clock.start();
    const size_t n = rows_.size();
    while (next_ < n) {
        const size_t end = std::min(n, next_ + 512);
        for (; next_ < end; ++next_) {
            const QString* c = rows_[next_].cells;
            // Title, a blank, then artist, time, genre and path run together.
            joined_.resize(0);
            joined_.append(c[field::Title])
                .append(QLatin1Char(' '))
                .append(c[field::Artist])
                .append(c[field::Time])
                .append(c[field::Genre])
                .append(c[field::Filename]);
            if (matcher_.indexIn(joined_) >= 0)
                hits_.emplace_back(c[field::Title], c[field::Artist], c[field::Time], c[field::Genre],
                                   c[field::Filename]);
        }
        if (next_ < n && clock.elapsed() >= SliceMs) {
            timer_.start();
            return;
        }
    }

    matching_ = false;
    rows_ = {};
    SongListModel& list = library_.search();
    if (hits_.empty()) {
        library_.addSearchPlaceholder();
        emit hitsListed();
        emit finished();
        return;
    }
    list.appendRows(std::move(hits_));
    hits_ = {};
    refreshIds_.reserve(size_t(list.count()));
    for (int i = 0; i < list.count(); ++i)
        refreshIds_.push_back(list.at(i).id);
    refreshNext_ = 0;
    emit hitsListed();
    timer_.start();
}

void LibrarySearch::refreshSlice()
{
    QElapsedTimer clock;
    clock.start();
    SongListModel& list = library_.search();
    while (refreshNext_ < refreshIds_.size()) {
        const size_t k = refreshNext_++;
        const std::uint64_t id = refreshIds_[k];
        // Hits stay where the search put them unless a command moved them since.
        const int at = list.indexOfId(id, int(k));
        if (at >= 0) {
            const QString path = list.cell(at, field::Filename);
            trap("txtSearch_KeyDown", [&] { Library::writeCells(list, id, readSongCells(path), false, at); });
        }
        if (clock.elapsed() >= SliceMs && refreshNext_ < refreshIds_.size()) {
            timer_.start();
            return;
        }
    }
    refreshIds_ = {};
    refreshNext_ = 0;
    emit finished();
}
