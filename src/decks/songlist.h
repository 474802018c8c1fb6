// What a deck needs of a song list: its rows, the Filename and text cells of a row, the
// selected row's number, removing a row, renumbering and selecting. Rows are 1-based and
// their Num text (column 0) is their position.
#pragma once

#include "core/songfile.h"

#include <QString>

class QTreeView;

class DeckSongList {
public:
    virtual ~DeckSongList() = default;
    virtual int RowCount() const = 0;
    // The Num text of the selected row as a number; a run-time error when no row is selected
    // (91) or the text is not a number (13).
    virtual int SelectedNum() const = 0;
    // Sub-item of a row: 0 Num, 1 Title, 2 Artist, 3 Time, 4 Genre/Plays, 5 Filename.
    virtual QString SubItem(int row, int subItem) const = 0;
    virtual void RemoveRow(int row) = 0;
    // Writes every row's Num text as its 1-based position.
    virtual void Renumber() = 0;
    // Selects a row without scrolling the list to it.
    virtual void Select(int row) = 0;
};

// A song list view of the main window, read and changed through its item model.
class ViewSongList : public DeckSongList {
public:
    explicit ViewSongList(QTreeView* view) : view_(view) {}
    int RowCount() const override;
    int SelectedNum() const override;
    QString SubItem(int row, int subItem) const override;
    void RemoveRow(int row) override;
    void Renumber() override;
    void Select(int row) override;

    // The row count of a view, 0 for none or a view without a model.
    static int rowCount(const QTreeView* view);

private:
    QTreeView* view_;
};
