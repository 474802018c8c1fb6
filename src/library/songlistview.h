// The list view every song list of the main window is shown in. It differs from a plain tree
// view in three ways that the lists' keys rely on: typed characters never move the selection
// (no type-ahead, so the letters stay free for the view keys); a list that takes the focus from
// the keyboard with nothing selected selects the row it shows as current, so the keys that act
// on "the selected song" act on the row the DJ sees; and a released mouse button is reported
// with the button, so a right click can open the list's popup menu.
#pragma once

#include <QTreeView>

// Keeps a list where the user scrolled it while rows are removed or reselected for him: the
// view would otherwise follow its current row, now or when it is next shown.
class KeepScrollPosition {
public:
    explicit KeepScrollPosition(QAbstractItemView* v) : v_(v), was_(v && v->hasAutoScroll())
    {
        if (v_)
            v_->setAutoScroll(false);
    }
    ~KeepScrollPosition()
    {
        if (v_)
            v_->setAutoScroll(was_);
    }
    KeepScrollPosition(const KeepScrollPosition&) = delete;
    KeepScrollPosition& operator=(const KeepScrollPosition&) = delete;

private:
    QAbstractItemView* v_;
    bool was_;
};

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
    void focusInEvent(QFocusEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
};
