#include "library/listkeys.h"

#include "platform/ui/vb.h"

#include <QItemSelectionModel>
#include <QTreeView>

namespace listkeys {

int selectedRow(const QTreeView* list)
{
    const QItemSelectionModel* sm = list ? list->selectionModel() : nullptr;
    if (!sm)
        return 0;
    const QModelIndexList rows = sm->selectedRows();
    return rows.isEmpty() ? 0 : rows.first().row() + 1;
}

Move keypadMove(QTreeView* list, int KeyCode)
{
    if (KeyCode != vb::key::Numpad8 && KeyCode != vb::key::Numpad2)
        return Move::NotAMove;
    const int n = selectedRow(list);
    const int c = list->model() ? list->model()->rowCount() : 0;
    const bool up = KeyCode == vb::key::Numpad8;
    if (n == 0 || (up && n == 1) || (!up && n == c))
        return Move::Blocked;
    const int k = up ? n - 1 : n + 1;
    QAbstractItemModel* m = list->model();
    const QModelIndex at = m->index(k - 1, 0);
    list->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    // One row of look-ahead in the direction of travel; at either end the new row itself.
    const int ahead = up ? k - 1 : k + 1;
    list->scrollTo(ahead >= 1 && ahead <= c ? m->index(ahead - 1, 0) : at);
    return Move::Moved;
}

} // namespace listkeys
