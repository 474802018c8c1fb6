#include "platform/ui/keys.h"

#include "platform/ui/vb.h"

#include <QKeyEvent>

int virtualKeyCode(const QKeyEvent* event)
{
    const int k = event->key();
    const bool keypad = event->modifiers() & Qt::KeypadModifier;
    if (k >= Qt::Key_0 && k <= Qt::Key_9)
        return keypad ? vb::key::Numpad0 + (k - Qt::Key_0) : '0' + (k - Qt::Key_0);
    if (k >= Qt::Key_A && k <= Qt::Key_Z)
        return 'A' + (k - Qt::Key_A);
    if (k >= Qt::Key_F1 && k <= Qt::Key_F12)
        return vb::key::F1 + (k - Qt::Key_F1);
    switch (k) {
    case Qt::Key_Backspace: return vb::key::Back;
    case Qt::Key_Tab: return vb::key::Tab;
    case Qt::Key_Return:
    case Qt::Key_Enter: return vb::key::Return;
    case Qt::Key_Shift: return vb::key::Shift;
    case Qt::Key_Control: return vb::key::Control;
    case Qt::Key_Alt: return vb::key::Menu;
    case Qt::Key_Escape: return vb::key::Escape;
    case Qt::Key_Space: return vb::key::Space;
    case Qt::Key_PageUp: return vb::key::PageUp;
    case Qt::Key_PageDown: return vb::key::PageDown;
    case Qt::Key_End: return vb::key::End;
    case Qt::Key_Home: return vb::key::Home;
    case Qt::Key_Left: return vb::key::Left;
    case Qt::Key_Up: return vb::key::Up;
    case Qt::Key_Right: return vb::key::Right;
    case Qt::Key_Down: return vb::key::Down;
    case Qt::Key_Insert: return vb::key::Insert;
    case Qt::Key_Delete: return vb::key::Delete;
    default: return 0;
    }
}

int shiftState(const QKeyEvent* event)
{
    int s = 0;
    if (event->modifiers() & Qt::ShiftModifier)
        s |= 1;
    if (event->modifiers() & Qt::ControlModifier)
        s |= 2;
    if (event->modifiers() & Qt::AltModifier)
        s |= 4;
    return s;
}
