#include "library/songlistmodel.h"

#include <QCollator>
#include <QLocale>

#include <algorithm>
#include <iterator>
#include <atomic>
#include <numeric>

namespace {
// Ids are unique across every list, so a row moved to another list cannot be mistaken.
std::atomic<std::uint64_t> g_lastId{0};
} // namespace

SongListModel::SongListModel(Kind kind, QObject* parent) : QAbstractTableModel(parent), kind_(kind)
{
    switch (kind) {
    case Kind::Full:
    case Kind::Search:
        headers_ = {"Num", "Title", "Artist", "Time", "Genre", "Filename", "Edited"};
        break;
    case Kind::Queue:
        headers_ = {"Num", "Title", "Artist", "Time", "Genre", "Filename"};
        break;
    case Kind::MostPlayed:
        headers_ = {"Num", "Title", "Artist", "Time", "Plays", "Filename"};
        break;
    }
    fields_ = static_cast<int>(headers_.size()) - 1;
}

std::uint64_t SongListModel::nextId() { return ++g_lastId; }

int SongListModel::indexOfId(std::uint64_t id, int hint) const
{
    if (hint >= 0 && hint < count() && rows_[static_cast<size_t>(hint)].id == id)
        return hint;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].id == id)
            return static_cast<int>(i);
    return -1;
}

std::uint64_t SongListModel::append(SongRow row)
{
    insertAt(count(), std::move(row));
    return rows_.back().id;
}

void SongListModel::appendRows(std::vector<SongRow>&& rows)
{
    if (rows.empty())
        return;
    const int first = count();
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    for (SongRow& r : rows) {
        r.id = nextId();
        for (int f = fields_; f < 6; ++f)
            r.cells[f] = QString();
    }
    if (rows_.empty()) {
        rows_.swap(rows); // an empty list takes the rows as they are, without a copy
    } else {
        rows_.reserve(rows_.size() + rows.size());
        std::move(rows.begin(), rows.end(), std::back_inserter(rows_));
    }
    endInsertRows();
    rows.clear();
}

std::vector<SongRow> SongListModel::replaceRows(std::vector<SongRow>&& rows)
{
    for (SongRow& r : rows) {
        r.id = nextId();
        for (int f = fields_; f < 6; ++f)
            r.cells[f] = QString();
    }
    std::vector<SongRow> old;
    beginResetModel();
    old.swap(rows_);
    rows_.swap(rows);
    endResetModel();
    rows.clear();
    return old;
}

void SongListModel::insertAt(int i, SongRow row)
{
    i = std::clamp(i, 0, count());
    row.id = nextId();
    for (int f = fields_; f < 6; ++f)
        row.cells[f] = QString();
    beginInsertRows({}, i, i);
    rows_.insert(rows_.begin() + i, std::move(row));
    endInsertRows();
    // Every row below moved down one: their Num changed.
    if (i + 1 < count())
        emit dataChanged(index(i + 1, 0), index(count() - 1, 0), {Qt::DisplayRole});
}

void SongListModel::removeAt(int i)
{
    beginRemoveRows({}, i, i);
    rows_.erase(rows_.begin() + i);
    endRemoveRows();
    if (i < count())
        emit dataChanged(index(i, 0), index(count() - 1, 0), {Qt::DisplayRole});
}

void SongListModel::clear()
{
    if (rows_.empty())
        return;
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    endResetModel();
}

void SongListModel::moveRow(int from, int to)
{
    if (from == to || from < 0 || to < 0 || from >= count() || to >= count())
        return;
    // Qt's move takes the destination as the row before which the moved row lands.
    beginMoveRows({}, from, from, {}, to > from ? to + 1 : to);
    SongRow r = std::move(rows_[static_cast<size_t>(from)]);
    rows_.erase(rows_.begin() + from);
    rows_.insert(rows_.begin() + to, std::move(r));
    endMoveRows();
    emit dataChanged(index(std::min(from, to), 0), index(std::max(from, to), 0), {Qt::DisplayRole});
}

void SongListModel::setCell(int i, int f, const QString& text)
{
    if (f >= fields_)
        return;
    rows_[static_cast<size_t>(i)].cells[f] = text;
    const QModelIndex at = index(i, f + 1);
    emit dataChanged(at, at, {Qt::DisplayRole});
}

void SongListModel::reorder(std::vector<SongRow>&& rows)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<std::uint64_t> ids;
    ids.reserve(before.size());
    for (const QModelIndex& p : before)
        ids.push_back(rows_[static_cast<size_t>(p.row())].id);
    rows_ = std::move(rows);
    if (!before.isEmpty()) {
        QModelIndexList after;
        after.reserve(before.size());
        for (qsizetype k = 0; k < before.size(); ++k) {
            const int r = indexOfId(ids[static_cast<size_t>(k)]);
            after << (r < 0 ? QModelIndex() : index(r, before[k].column()));
        }
        changePersistentIndexList(before, after);
    }
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

namespace {
// The alphabetical order of the user's language, without regard to letter case, so "Ärzte"
// sorts among the A's and "Édith" among the E's. A system without a language of its own (the
// C locale) would compare character codes and put every accented name after Z: it gets the
// common Unicode order instead.
QCollator listCollator()
{
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator c(locale);
    c.setCaseSensitivity(Qt::CaseInsensitive);
    c.setNumericMode(false); // text order: "10" before "9", "10:00" before "3:05"
    c.setIgnorePunctuation(false);
    return c;
}
} // namespace

void SongListModel::sortByColumn(int column, Qt::SortOrder order)
{
    if (column < 0 || column > fields_ || rows_.size() < 2)
        return;
    const size_t n = rows_.size();
    const QCollator collator = listCollator();
    std::vector<QCollatorSortKey> keys;
    keys.reserve(n);
    for (size_t i = 0; i < n; ++i)
        keys.push_back(collator.sortKey(column == 0 ? QString::number(i + 1) : rows_[i].cells[column - 1]));
    std::vector<int> idx(n);
    std::iota(idx.begin(), idx.end(), 0);
    if (order == Qt::AscendingOrder)
        std::stable_sort(idx.begin(), idx.end(), [&](int a, int b) { return keys[a].compare(keys[b]) < 0; });
    else
        std::stable_sort(idx.begin(), idx.end(), [&](int a, int b) { return keys[b].compare(keys[a]) < 0; });
    std::vector<SongRow> sorted;
    sorted.reserve(n);
    for (int i : idx)
        sorted.push_back(std::move(rows_[static_cast<size_t>(i)]));
    reorder(std::move(sorted));
}

int SongListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : count(); }

int SongListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant SongListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    if (role != Qt::DisplayRole && role != Qt::EditRole && role != Qt::ToolTipRole)
        return {};
    if (index.column() == 0)
        return QString::number(index.row() + 1);
    if (role == Qt::ToolTipRole && index.column() - 1 != field::Filename)
        return {};
    return rows_[static_cast<size_t>(index.row())].cells[index.column() - 1];
}

QVariant SongListModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < headers_.size())
        return headers_[section];
    return {};
}
