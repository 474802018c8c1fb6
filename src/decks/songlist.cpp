#include "decks/songlist.h"

#include "core/errorlog.h"
#include "library/library.h"
#include "library/songlistmodel.h"
#include "library/songlistview.h"

#include <QAbstractItemModel>
#include <QItemSelectionModel>
#include <QTreeView>

namespace {

QAbstractItemModel* modelOf(const QTreeView* view)
{
    QAbstractItemModel* m = view ? view->model() : nullptr;
    if (!m)
        raiseError(91, QStringLiteral("Object variable not set"));
    return m;
}

} // namespace

int ViewSongList::rowCount(const QTreeView* view)
{
    return view && view->model() ? view->model()->rowCount() : 0;
}

int ViewSongList::RowCount() const
{
    return rowCount(view_);
}

int ViewSongList::SelectedNum() const
{
    QAbstractItemModel* m = modelOf(view_);
    QModelIndex current = view_->selectionModel() ? view_->selectionModel()->currentIndex() : QModelIndex();
    if (!current.isValid() && view_->selectionModel()) {
        const QModelIndexList rows = view_->selectionModel()->selectedRows();
        if (!rows.isEmpty())
            current = rows.first();
    }
    if (!current.isValid())
        raiseError(91, QStringLiteral("Object variable or With block variable not set"));
    bool ok = false;
    const int num = m->index(current.row(), 0).data().toString().trimmed().toInt(&ok);
    if (!ok)
        raiseError(13, QStringLiteral("Type mismatch"));
    return num;
}

QString ViewSongList::SubItem(int row, int subItem) const
{
    QAbstractItemModel* m = modelOf(view_);
    if (row < 1 || row > m->rowCount() || subItem < 0 || subItem >= m->columnCount())
        raiseError(35600, QStringLiteral("Index out of bounds"));
    return m->index(row - 1, subItem).data().toString();
}

void ViewSongList::RemoveRow(int row)
{
    QAbstractItemModel* m = modelOf(view_);
    if (row < 1 || row > m->rowCount())
        raiseError(35600, QStringLiteral("Index out of bounds"));
    // A row taken by a deck (the auto-DJ's every feed among them) leaves the list where the DJ
    // scrolled it.
    const KeepScrollPosition keep(view_);
    // The library's lists remove through their own model; any other model through Qt's.
    if (auto* songs = qobject_cast<SongListModel*>(m))
        songs->removeAt(row - 1);
    else if (!m->removeRows(row - 1, 1))
        raiseError(5, QStringLiteral("Invalid procedure call or argument"));
}

void ViewSongList::Renumber()
{
    QAbstractItemModel* m = modelOf(view_);
    const int n = m->rowCount();
    for (int i = 1; i <= n; ++i) {
        const QModelIndex num = m->index(i - 1, 0);
        const QString text = QString::number(i);
        if (num.data().toString() != text)
            m->setData(num, text);
    }
}

void ViewSongList::Select(int row)
{
    QAbstractItemModel* m = modelOf(view_);
    if (row < 1 || row > m->rowCount() || !view_->selectionModel())
        return;
    Library::selectRow(view_, row, false);
}
