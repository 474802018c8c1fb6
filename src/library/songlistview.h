// The list view every song list of the main window is shown in. It differs from a plain tree
// view in two ways that the lists' keys rely on: typed characters never move the selection (no
// type-ahead, so the letters stay free for the view keys), and a released mouse button is
// reported with the button, so a right click can open the list's popup menu.
#pragma once

#include <QTreeView>

class SongListView : public QTreeView {
    Q_OBJECT
public:
    explicit SongListView(QWidget* parent = nullptr);

    // Type-ahead is off for good: a letter typed into a list only reaches the global keys.
    void keyboardSearch(const QString& search) override;

signals:
    // A mouse button was released over the list (after the view handled the click).
    void mouseUp(Qt::MouseButton button);

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
};
