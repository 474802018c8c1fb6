// The song lists: one model class behind every song list view of the main window.
//
// A row holds the texts of its cells (Title, Artist, Time, Genre or Plays, Filename and, in the
// Full Playlist and Search lists, Edited) and a stable id that stays with the row wherever it
// moves, so work that finishes later finds its row, or knows it is gone. The row number shown
// in column 0 (Num) is the row's position, never stored, so it can never go stale.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// Indices of a row's cells (column k of a view shows cell k - 1).
namespace field {
constexpr int Title = 0, Artist = 1, Time = 2, Genre = 3, Plays = 3, Filename = 4, Edited = 5;
}

struct SongRow {
    std::uint64_t id = 0; // given by the model when the row is added
    QString cells[6];

    SongRow() = default;
    SongRow(QString title, QString artist, QString time, QString genre, QString filename, QString edited = {})
        : cells{std::move(title), std::move(artist), std::move(time), std::move(genre), std::move(filename),
                std::move(edited)}
    {
    }
    const QString& title() const { return cells[field::Title]; }
    const QString& filename() const { return cells[field::Filename]; }
};

class SongListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Kind {
        Full,       // Num, Title, Artist, Time, Genre, Filename, Edited
        Queue,      // Num, Title, Artist, Time, Genre, Filename (DJ Playlist, Song Bin, Requests)
        MostPlayed, // Num, Title, Artist, Time, Plays, Filename
        Search,     // as Full
    };

    explicit SongListModel(Kind kind, QObject* parent = nullptr);

    Kind kind() const { return kind_; }
    // Cells a row of this list has: 6 with an Edited cell, otherwise 5.
    int fieldCount() const { return fields_; }

    // Row count (32-bit: a library of 100,000 songs is ordinary).
    int count() const { return static_cast<int>(rows_.size()); }
    // Row at 0-based position i; i must be in range.
    const SongRow& at(int i) const { return rows_[static_cast<size_t>(i)]; }
    const QString& cell(int i, int f) const { return rows_[static_cast<size_t>(i)].cells[f]; }
    // Position of the row with this id, or -1 when it is gone. A caller that knows where the
    // row stood passes that position as hint; it is looked at first.
    int indexOfId(std::uint64_t id, int hint = -1) const;

    // Adds a row at the end and returns its id. Cells past fieldCount() are dropped.
    std::uint64_t append(SongRow row);
    // Adds many rows at the end at once (one insert for the views).
    void appendRows(std::vector<SongRow>&& rows);
    // Puts rows in the place of every row the list held, in one step for the views; returns the
    // rows it held, for the caller to let go where it costs the window nothing.
    std::vector<SongRow> replaceRows(std::vector<SongRow>&& rows);
    void insertAt(int i, SongRow row);
    void removeAt(int i);
    void clear();
    // Moves the row at from to position to (both 0-based), the rows between shifting by one.
    void moveRow(int from, int to);
    void setCell(int i, int f, const QString& text);
    // A copy of every row, for writers that must not see later changes.
    std::vector<SongRow> snapshot() const { return rows_; }

    // Orders the rows alphabetically by one column's text (0 = Num), as text even where it holds
    // numbers, in the user's language and without regard to letter case; rows with equal texts
    // keep their order. The views are told once.
    void sortByColumn(int column, Qt::SortOrder order);

    // Rewrites the rows in a new order (a permutation of the current rows) in one step.
    void reorder(std::vector<SongRow>&& rows);

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    void sort(int column, Qt::SortOrder order) override { sortByColumn(column, order); }

private:
    std::uint64_t nextId();

    Kind kind_;
    int fields_;
    QStringList headers_;
    std::vector<SongRow> rows_;
};
