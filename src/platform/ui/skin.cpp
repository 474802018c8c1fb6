#include "platform/ui/skin.h"

#include "platform/ui/keys.h"
#include "platform/ui/vb.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

int mouseButtonValue(Qt::MouseButtons b)
{
    int v = 0;
    if (b & Qt::LeftButton)
        v |= 1;
    if (b & Qt::RightButton)
        v |= 2;
    if (b & Qt::MiddleButton)
        v |= 4;
    return v;
}

int mouseShiftValue(Qt::KeyboardModifiers m)
{
    int s = 0;
    if (m & Qt::ShiftModifier)
        s |= 1;
    if (m & Qt::ControlModifier)
        s |= 2;
    if (m & Qt::AltModifier)
        s |= 4;
    return s;
}

SkinControl::SkinControl(QWidget* parent, Kind kind) : QLabel(parent), kind_(kind)
{
    // A picture box takes the focus when clicked (its own press handler takes it); a label
    // never does, and a click on a label leaves the focus where it was. Neither offers itself
    // to the toolkit's click focus, which would hand the focus of a label's click to the
    // picture beneath it.
    setFocusPolicy(Qt::NoFocus);
}

void SkinControl::setPicture(const QPixmap& p)
{
    // The same picture again (the clock's digits that did not change, a lamp that keeps its
    // state) paints nothing new; only a changed one is handed to the label to repaint.
    if (!picture_.isNull() && picture_.cacheKey() == p.cacheKey() && pixmap().cacheKey() == p.cacheKey())
        return;
    picture_ = p;
    setPixmap(p);
}

void SkinControl::setUseMnemonic(bool on)
{
    useMnemonic_ = on;
    update();
}

void SkinControl::setForeColor(std::uint32_t bgr)
{
    foreColor_ = bgr;
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, vb::colour(bgr));
    setPalette(pal);
}

void SkinControl::setBackColor(std::uint32_t bgr)
{
    backColor_ = bgr;
    hasBackColor_ = true;
    QPalette pal = palette();
    pal.setColor(QPalette::Window, vb::colour(bgr));
    setPalette(pal);
    setAutoFillBackground(true);
}

void SkinControl::paintEvent(QPaintEvent* e)
{
    if (!pixmap().isNull() || text().isEmpty()) {
        QLabel::paintEvent(e);
        return;
    }
    // The caption as it is; with the access key on, "&" underlines the letter after it and
    // "&&" shows one "&".
    QPainter p(this);
    const int flags = int(alignment()) | (useMnemonic_ ? int(Qt::TextShowMnemonic) : 0)
                      | (wordWrap() ? int(Qt::TextWordWrap) : 0);
    style()->drawItemText(&p, contentsRect(), flags, palette(), isEnabled(), text(), foregroundRole());
}

void SkinControl::mousePressEvent(QMouseEvent* e)
{
    e->accept();
    pressedInside_ = true;
    if (kind_ == Picture)
        setFocus(Qt::MouseFocusReason);
    const QPointF p = e->position();
    emit MouseDown(mouseButtonValue(e->button()), mouseShiftValue(e->modifiers()), p.x() * vb::TwipsPerPixel,
                   p.y() * vb::TwipsPerPixel);
}

void SkinControl::mouseReleaseEvent(QMouseEvent* e)
{
    e->accept();
    const QPointF p = e->position();
    const bool wasPressed = pressedInside_;
    pressedInside_ = false;
    emit MouseUp(mouseButtonValue(e->button()), mouseShiftValue(e->modifiers()), p.x() * vb::TwipsPerPixel,
                 p.y() * vb::TwipsPerPixel);
    if (wasPressed && e->button() == Qt::LeftButton && rect().contains(p.toPoint()))
        emit Click();
}

void SkinControl::mouseMoveEvent(QMouseEvent* e)
{
    e->accept();
    const QPointF p = e->position();
    emit MouseMove(mouseButtonValue(e->buttons()), mouseShiftValue(e->modifiers()), p.x() * vb::TwipsPerPixel,
                   p.y() * vb::TwipsPerPixel);
}

void SkinControl::mouseDoubleClickEvent(QMouseEvent* e)
{
    // The second press of a double click arrives as this event alone. Its release raises
    // MouseUp but no Click: a double click is down, up, Click, DblClick, up, so a button acts
    // once however fast it is clicked twice.
    e->accept();
    pressedInside_ = false;
    emit DblClick();
}

void SkinControl::keyPressEvent(QKeyEvent* e)
{
    e->accept();
    emit KeyDown(virtualKeyCode(e), shiftState(e));
}

void SkinControl::keyReleaseEvent(QKeyEvent* e)
{
    e->accept();
    if (e->isAutoRepeat())
        return; // a held key releases once, when it is really let go
    emit KeyUp(virtualKeyCode(e), shiftState(e));
}
