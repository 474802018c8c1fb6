// The Search view's search: the typed text is looked for in every Full Playlist row (its title,
// a blank, then its artist, time, genre and path run together, so a text may span two cells),
// without regard to letter case. All hits are listed at once with the Full Playlist's cells;
// then each hit's tag is read afresh from its file in the background, a slice at a time, so a
// search that hits most of a big library never freezes the window.
//
// A newer search replaces a running one: the older one adds nothing more.
#pragma once

#include "library/songlistmodel.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringMatcher>
#include <QTimer>
#include <cstdint>
#include <vector>

class Library;

class LibrarySearch : public QObject {
    Q_OBJECT
public:
    explicit LibrarySearch(Library& library, QObject* parent = nullptr);

    // Searches for s exactly as typed. A text of fewer than two characters, or one without
    // hits, leaves the list with its placeholder row.
    void run(const QString& s);

    // The search that is running, counted from 1; 0 before the first.
    std::uint64_t generation() const { return generation_; }
    // Still comparing rows (no hits listed yet).
    bool matching() const { return matching_; }
    // Still reading the tags of listed hits.
    bool refreshing() const { return !refreshIds_.empty() && refreshNext_ < refreshIds_.size(); }

    // Matching and tag reading hand the event loop back after about this many milliseconds of
    // work, so the window keeps answering while a search runs.
    static constexpr int SliceMs = 8;

signals:
    // The hits (or the placeholder) are in the list.
    void hitsListed();
    // Every hit's tag was read (never sent for a search that a newer one replaced).
    void finished();

private:
    void matchSlice();
    void refreshSlice();
    void stop();

    Library& library_;
    std::uint64_t generation_ = 0;
    bool matching_ = false;

    // The rows being compared: the Full Playlist as it stood at Enter, so a sort, a refresh
    // or a removal meanwhile cannot make a row count twice or be skipped.
    std::vector<SongRow> rows_;
    size_t next_ = 0;
    QStringMatcher matcher_;
    QString joined_;
    std::vector<SongRow> hits_;

    // Ids of listed hits whose tags are still to be read.
    std::vector<std::uint64_t> refreshIds_;
    size_t refreshNext_ = 0;

    QTimer timer_;
};
