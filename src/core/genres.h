// The genre table of ID3v1 tags: 153 names, the index is the tag's genre byte.
#pragma once

#include <QString>

class QComboBox;
class QWidget;

constexpr int GenreCount = 153;

// All names in index order joined with "|"; empty until BuildGenreList first runs.
extern QString GenreList;

// The name of a genre byte; "Unknown" for bytes above 152 (and below 0).
QString GenreName(int byte);

// The byte of a genre name: the first table name equal to it, letter case counting; 255 when none.
int GenreIndex(const QString& name);

// Sets GenreList from the table.
void BuildGenreList();

// Adds the names of GenreList, in index order, to the box (after what it holds already).
void FillGenreCombo(QComboBox* box);

// Finds text in a combo box or list widget the way the Windows find messages do: letter case
// ignored, whole item when exact is true, otherwise the first item that begins with text; the
// search starts after the item at start, runs to the end and wraps round to it; -1 searches
// from the first item. Returns the 0-based index, -1 when nothing matches, 0 for other controls.
int FindListString(QWidget* control, const QString& text, int start, bool exact);
