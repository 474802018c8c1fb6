#include "library/songlistview.h"

#include <QFocusEvent>
#include <QMouseEvent>

SongListView::SongListView(QWidget* parent) : QTreeView(parent) {}

void SongListView::keyboardSearch(const QString&) {}

void SongListView::focusInEvent(QFocusEvent* e)
{
    QTreeView::focusInEvent(e);
    QItemSelectionModel* sm = selectionModel();
    if (!sm || !model() || model()->rowCount() == 0 || e->reason() == Qt::MouseFocusReason || sm->hasSelection())
        return;
    const QModelIndex current = currentIndex().isValid() ? currentIndex() : model()->index(0, 0);
    sm->setCurrentIndex(current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void SongListView::mouseReleaseEvent(QMouseEvent* e)
{
    const Qt::MouseButton button = e->button();
    QTreeView::mouseReleaseEvent(e);
    emit mouseUp(button);
}
