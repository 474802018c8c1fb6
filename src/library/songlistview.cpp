#include "library/songlistview.h"

#include <QMouseEvent>

SongListView::SongListView(QWidget* parent) : QTreeView(parent) {}

void SongListView::keyboardSearch(const QString&) {}

void SongListView::mouseReleaseEvent(QMouseEvent* e)
{
    const Qt::MouseButton button = e->button();
    QTreeView::mouseReleaseEvent(e);
    emit mouseUp(button);
}
