#include "core/windowdrag.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>

int DragOn = 0;

namespace {

// Watches the application's mouse events while a drag runs. It never consumes an event: the
// pressed control still gets its MouseMove and MouseUp as usual.
class DragFollower : public QObject {
public:
    QPointer<QWidget> form;
    QPoint offset; // where the mouse holds the window, relative to its corner, in pixels

    void start(QWidget* frm)
    {
        form = frm;
        offset = QCursor::pos() - frm->pos();
        if (!installed_) {
            qApp->installEventFilter(this);
            installed_ = true;
        }
    }

    void stop()
    {
        form = nullptr;
        if (installed_) {
            qApp->removeEventFilter(this);
            installed_ = false;
        }
    }

    void follow(const QPoint& globalPos)
    {
        if (form)
            form->move(globalPos - offset);
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (DragOn == 0 || !form) {
            // A MouseUp handler ended the drag: stop watching.
            stop();
            return false;
        }
        switch (e->type()) {
        case QEvent::MouseMove:
            follow(static_cast<QMouseEvent*>(e)->globalPosition().toPoint());
            break;
        case QEvent::MouseButtonRelease:
            // Any release ends the drag where the cursor left the window; the control's own
            // MouseUp handler runs after this and clears DragOn as well.
            follow(static_cast<QMouseEvent*>(e)->globalPosition().toPoint());
            DragOn = 0;
            stop();
            break;
        case QEvent::UngrabMouse:
        case QEvent::ApplicationDeactivate:
            DragOn = 0;
            stop();
            break;
        default:
            break;
        }
        return false;
    }

private:
    bool installed_ = false;
};

DragFollower& follower()
{
    static DragFollower* f = new DragFollower; // lives as long as the program
    return *f;
}

} // namespace

void DragForm(double /*X*/, double /*Y*/, QWidget* frm)
{
    if (!frm)
        return;
    DragOn = 1;
    follower().start(frm);
}

QWidget* draggedForm() { return DragOn ? follower().form.data() : nullptr; }
