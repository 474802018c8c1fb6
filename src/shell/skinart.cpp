#include "shell/skinart.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace skinart {

QColor consoleColour() { return QColor(0x2a, 0x2e, 0x35); }
QColor bezelColour() { return QColor(0x4a, 0x50, 0x5a); }
QColor displayColour() { return QColor(0xd6, 0xde, 0xcf); }
QColor accentColour() { return QColor(0x3c, 0xc8, 0xff); }

namespace {

QPixmap blank(QSize s, QColor fill = Qt::transparent)
{
    QPixmap p(s);
    p.fill(fill);
    return p;
}

// The seven segments of a digit: a, b, c, d, e, f, g.
constexpr unsigned char kSegments[10] = {
    0b0111111, 0b0000110, 0b1011011, 0b1001111, 0b1100110,
    0b1101101, 0b1111101, 0b0000111, 0b1111111, 0b1101111,
};

const QColor kClockBack(0x10, 0x12, 0x16);
const QColor kClockLit(0x5a, 0xf0, 0xff);
const QColor kClockUnlit(0x18, 0x20, 0x25);

void drawSegment(QPainter& g, QRectF r, bool horizontal)
{
    // A bar with pointed ends, as the segments of a display.
    QPainterPath path;
    if (horizontal) {
        const double h = r.height() / 2;
        path.moveTo(r.left(), r.center().y());
        path.lineTo(r.left() + h, r.top());
        path.lineTo(r.right() - h, r.top());
        path.lineTo(r.right(), r.center().y());
        path.lineTo(r.right() - h, r.bottom());
        path.lineTo(r.left() + h, r.bottom());
    } else {
        const double w = r.width() / 2;
        path.moveTo(r.center().x(), r.top());
        path.lineTo(r.right(), r.top() + w);
        path.lineTo(r.right(), r.bottom() - w);
        path.lineTo(r.center().x(), r.bottom());
        path.lineTo(r.left(), r.bottom() - w);
        path.lineTo(r.left(), r.top() + w);
    }
    path.closeSubpath();
    g.drawPath(path);
}

QPixmap digit(int d) // d < 0: blank (unlit segments only)
{
    QPixmap p = blank(ClockDigit, kClockBack);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(Qt::NoPen);
    const double w = ClockDigit.width(), h = ClockDigit.height();
    const double t = 2.6, x0 = 2, x1 = w - 2, y0 = 2, ym = h / 2, y1 = h - 2;
    const QRectF seg[7] = {
        {x0 + 1, y0, x1 - x0 - 2, t},              // a
        {x1 - t, y0 + 1, t, ym - y0 - 1},          // b
        {x1 - t, ym, t, y1 - ym - 1},              // c
        {x0 + 1, y1 - t, x1 - x0 - 2, t},          // d
        {x0, ym, t, y1 - ym - 1},                  // e
        {x0, y0 + 1, t, ym - y0 - 1},              // f
        {x0 + 1, ym - t / 2, x1 - x0 - 2, t},      // g
    };
    const unsigned mask = d >= 0 && d <= 9 ? kSegments[d] : 0;
    for (int i = 0; i < 7; ++i) {
        g.setBrush((mask >> i) & 1 ? kClockLit : kClockUnlit);
        drawSegment(g, seg[i], i == 0 || i == 3 || i == 6);
    }
    return p;
}

QPixmap colon()
{
    QPixmap p = blank(ClockColon, kClockBack);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(Qt::NoPen);
    g.setBrush(kClockLit);
    const double cx = ClockColon.width() / 2.0;
    g.drawEllipse(QPointF(cx, ClockColon.height() * 0.32), 1.8, 1.8);
    g.drawEllipse(QPointF(cx, ClockColon.height() * 0.70), 1.8, 1.8);
    return p;
}

QPixmap amPm(const QString& text)
{
    QPixmap p = blank(ClockAmPm, kClockBack);
    QPainter g(&p);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(10);
    f.setBold(true);
    g.setFont(f);
    g.setPen(kClockLit);
    g.drawText(QRect(QPoint(0, 0), ClockAmPm), Qt::AlignCenter, text);
    return p;
}

// The colours of the five beat steps, from a soft glow to full.
QColor stepColour(int step)
{
    switch (step) {
    case 1: return QColor(0x1f, 0x6e, 0x8c);
    case 2: return QColor(0x2a, 0xa0, 0xc8);
    case 3: return QColor(0x3c, 0xd2, 0xf0);
    case 4: return QColor(0xa0, 0xf0, 0xff);
    case 5: return QColor(0xff, 0xff, 0xff);
    default: return QColor(0x36, 0x44, 0x50);
    }
}

QPixmap lamp(QSize s, int step, bool horizontal)
{
    QPixmap p = blank(s, consoleColour());
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    const QColor c = stepColour(step);
    QLinearGradient grad(0, 0, horizontal ? 0 : s.width(), horizontal ? s.height() : 0);
    grad.setColorAt(0, c.darker(step == 0 ? 110 : 160));
    grad.setColorAt(0.5, c);
    grad.setColorAt(1, c.darker(step == 0 ? 110 : 160));
    g.setPen(Qt::NoPen);
    g.setBrush(grad);
    g.drawRoundedRect(QRectF(0.5, 0.5, s.width() - 1, s.height() - 1), 2.5, 2.5);
    return p;
}

void bevel(QPainter& g, QRect r, bool raised)
{
    const QColor light = raised ? bezelColour().lighter(130) : QColor(0x14, 0x16, 0x1a);
    const QColor dark = raised ? QColor(0x14, 0x16, 0x1a) : bezelColour().lighter(110);
    g.setPen(light);
    g.drawLine(r.topLeft(), r.topRight());
    g.drawLine(r.topLeft(), r.bottomLeft());
    g.setPen(dark);
    g.drawLine(r.bottomLeft(), r.bottomRight());
    g.drawLine(r.topRight(), r.bottomRight());
}

QPixmap playerButton(bool stop, bool pressed)
{
    QPixmap p = blank(PlayerButton);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient grad(0, 0, 0, PlayerButton.height());
    grad.setColorAt(0, pressed ? QColor(0x22, 0x25, 0x2b) : QColor(0x5c, 0x63, 0x6e));
    grad.setColorAt(1, pressed ? QColor(0x3a, 0x3f, 0x48) : QColor(0x30, 0x34, 0x3b));
    g.setBrush(grad);
    g.setPen(QColor(0x10, 0x12, 0x16));
    g.drawRoundedRect(QRectF(0.5, 0.5, PlayerButton.width() - 1, PlayerButton.height() - 1), 4, 4);
    const QColor glyph = pressed ? accentColour() : QColor(0xe8, 0xec, 0xf0);
    g.setPen(Qt::NoPen);
    g.setBrush(glyph);
    const QPointF c(PlayerButton.width() / 2.0, PlayerButton.height() / 2.0 + (pressed ? 1 : 0));
    if (stop) {
        g.drawRect(QRectF(c.x() - 6, c.y() - 6, 12, 12));
    } else {
        QPolygonF tri;
        tri << QPointF(c.x() - 11, c.y() - 7) << QPointF(c.x() - 11, c.y() + 7) << QPointF(c.x() - 1, c.y());
        g.drawPolygon(tri);
        g.drawRect(QRectF(c.x() + 3, c.y() - 7, 3.5, 14));
        g.drawRect(QRectF(c.x() + 8.5, c.y() - 7, 3.5, 14));
    }
    return p;
}

QPixmap bigButton(bool pressed)
{
    QPixmap p = blank(BigButton);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient grad(0, 0, 0, BigButton.height());
    grad.setColorAt(0, pressed ? QColor(0x1c, 0x3c, 0x4c) : QColor(0x55, 0x5d, 0x69));
    grad.setColorAt(1, pressed ? QColor(0x2c, 0x5c, 0x70) : QColor(0x33, 0x38, 0x40));
    g.setBrush(grad);
    g.setPen(pressed ? accentColour() : QColor(0x12, 0x14, 0x18));
    g.drawRoundedRect(QRectF(0.5, 0.5, BigButton.width() - 1, BigButton.height() - 1), 6, 6);
    return p;
}

QPixmap autoDJLamp(int state)
{
    QPixmap p = blank(AutoDJLamp);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    const QPointF c(AutoDJLamp.width() / 2.0, AutoDJLamp.height() / 2.0);
    const double r = AutoDJLamp.width() / 2.0 - 2;
    g.setPen(QPen(QColor(0x10, 0x12, 0x16), 2));
    g.setBrush(QColor(0x3a, 0x3f, 0x48));
    g.drawEllipse(c, r + 1, r + 1);
    QRadialGradient grad(c - QPointF(3, 3), r);
    const QColor on = state == 3 ? QColor(0x60, 0xff, 0x80) : QColor(0x2c, 0xa0, 0x48);
    const QColor core = state == 1 ? QColor(0x3a, 0x22, 0x22) : on;
    grad.setColorAt(0, state == 1 ? core.lighter(140) : core.lighter(160));
    grad.setColorAt(1, state == 1 ? core.darker(160) : core.darker(150));
    g.setPen(Qt::NoPen);
    g.setBrush(grad);
    g.drawEllipse(c, r - 2, r - 2);
    return p;
}

} // namespace

ImageList clockGlyphs()
{
    ImageList l;
    for (int d = 1; d <= 9; ++d)
        l.add(digit(d));
    l.add(amPm(QStringLiteral("AM")));
    l.add(amPm(QStringLiteral("PM")));
    l.add(colon());
    l.add(digit(-1));
    l.add(digit(0));
    return l;
}

ImageList beatLamps(int step)
{
    ImageList l;
    l.add(lamp(LampHorizontal, step, true));
    l.add(lamp(LampVertical, step, false));
    l.add(lamp(LampHorizontal, step, true));
    l.add(lamp(LampVertical, step, false));
    return l;
}

ImageList playerControls()
{
    ImageList l;
    l.add(playerButton(true, false));
    l.add(playerButton(true, true));
    l.add(playerButton(false, false));
    l.add(playerButton(false, true));
    return l;
}

ImageList bigButtons()
{
    ImageList l;
    l.add(bigButton(false));
    l.add(bigButton(true));
    return l;
}

ImageList autoDJLamps()
{
    ImageList l;
    for (int i = 1; i <= 3; ++i)
        l.add(autoDJLamp(i));
    return l;
}

QPixmap knob()
{
    QPixmap p = blank(Knob);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient grad(0, 0, Knob.width(), 0);
    grad.setColorAt(0, QColor(0x9a, 0xa2, 0xac));
    grad.setColorAt(0.5, QColor(0xf0, 0xf4, 0xf8));
    grad.setColorAt(1, QColor(0x7a, 0x82, 0x8c));
    g.setBrush(grad);
    g.setPen(QColor(0x10, 0x12, 0x16));
    g.drawRoundedRect(QRectF(0.5, 0.5, Knob.width() - 1, Knob.height() - 1), 2, 2);
    g.setPen(QPen(accentColour(), 2));
    g.drawLine(QPointF(Knob.width() / 2.0, 5), QPointF(Knob.width() / 2.0, Knob.height() - 5));
    return p;
}

QPixmap track()
{
    QPixmap p = blank(Track, consoleColour());
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    bevel(g, QRect(0, 0, Track.width() - 1, Track.height() - 1), false);
    // The slot the knob runs in, with a centre mark and the two deck letters.
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(0x0c, 0x0e, 0x11));
    g.drawRoundedRect(QRectF(6, Track.height() / 2.0 - 3, Track.width() - 12, 6), 3, 3);
    g.setPen(QColor(0x80, 0x88, 0x94));
    for (int i = 0; i <= 8; ++i) {
        const double x = 10 + i * (Track.width() - 20) / 8.0;
        const int len = i == 4 ? 9 : 4;
        g.drawLine(QPointF(x, 4), QPointF(x, 4 + len));
        g.drawLine(QPointF(x, Track.height() - 5), QPointF(x, Track.height() - 5 - len));
    }
    return p;
}

QPixmap panel(QSize size, bool raised)
{
    QPixmap p = blank(size, consoleColour());
    QPainter g(&p);
    QLinearGradient grad(0, 0, 0, size.height());
    grad.setColorAt(0, consoleColour().lighter(raised ? 118 : 95));
    grad.setColorAt(1, consoleColour().darker(raised ? 112 : 120));
    g.fillRect(p.rect(), grad);
    bevel(g, p.rect().adjusted(0, 0, -1, -1), raised);
    return p;
}

QPixmap display(QSize size)
{
    QPixmap p = blank(size);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient grad(0, 0, 0, size.height());
    grad.setColorAt(0, displayColour().lighter(106));
    grad.setColorAt(1, displayColour().darker(108));
    g.setBrush(grad);
    g.setPen(QPen(QColor(0x10, 0x12, 0x16), 1));
    g.drawRoundedRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1), 4, 4);
    return p;
}

QPixmap face(QSize size)
{
    QPixmap p = blank(size, QColor(0x1b, 0x1e, 0x23));
    QPainter g(&p);
    // A fine brushed texture: faint horizontal lines.
    g.setPen(QColor(0x20, 0x23, 0x29));
    for (int y = 0; y < size.height(); y += 3)
        g.drawLine(0, y, size.width(), y);
    return p;
}

QPixmap clockHousing(QSize size)
{
    QPixmap p = blank(size, kClockBack);
    QPainter g(&p);
    bevel(g, p.rect().adjusted(0, 0, -1, -1), false);
    return p;
}

QPixmap listButton(ListIcon icon)
{
    QPixmap p = blank(ListButton);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient grad(0, 0, 0, ListButton.height());
    grad.setColorAt(0, QColor(0x55, 0x5d, 0x69));
    grad.setColorAt(1, QColor(0x30, 0x34, 0x3b));
    g.setBrush(grad);
    g.setPen(QColor(0x10, 0x12, 0x16));
    g.drawRoundedRect(QRectF(0.5, 0.5, ListButton.width() - 1, ListButton.height() - 1), 6, 6);
    const QPointF c(ListButton.width() / 2.0, ListButton.height() / 2.0);
    const QColor ink(0xe8, 0xec, 0xf0);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setBold(true);
    f.setPixelSize(11);
    g.setFont(f);
    g.setPen(Qt::NoPen);
    g.setBrush(ink);
    auto arrow = [&](double dir, double y) { // dir -1 up, +1 down
        QPolygonF t;
        t << QPointF(c.x() - 9, y - 5 * dir) << QPointF(c.x() + 9, y - 5 * dir) << QPointF(c.x(), y + 6 * dir);
        g.drawPolygon(t);
    };
    switch (icon) {
    case ListIcon::LoadA:
    case ListIcon::LoadB: {
        // An arrow into a deck, with the deck's letter.
        QPolygonF t;
        t << QPointF(c.x() - 12, c.y() - 12) << QPointF(c.x() - 12, c.y() + 2) << QPointF(c.x() - 2, c.y() - 5);
        g.drawPolygon(t);
        f.setPixelSize(18);
        g.setFont(f);
        g.setPen(accentColour());
        g.drawText(QRectF(c.x() - 2, c.y() - 16, 18, 22), Qt::AlignCenter,
                   icon == ListIcon::LoadA ? QStringLiteral("A") : QStringLiteral("B"));
        f.setPixelSize(9);
        g.setFont(f);
        g.setPen(ink);
        g.drawText(QRectF(0, ListButton.height() - 16, ListButton.width(), 12), Qt::AlignCenter,
                   QStringLiteral("LOAD"));
        break;
    }
    case ListIcon::Queue:
        for (int i = 0; i < 3; ++i)
            g.drawRect(QRectF(c.x() - 12, c.y() - 14 + i * 6, 24, 3));
        g.drawRect(QRectF(c.x() - 2, c.y() + 3, 4, 12));
        g.drawRect(QRectF(c.x() - 8, c.y() + 7, 16, 4));
        break;
    case ListIcon::Menu:
        for (int i = 0; i < 3; ++i)
            g.drawEllipse(QPointF(c.x() - 10 + i * 10, c.y()), 3, 3);
        break;
    case ListIcon::Up:
        arrow(-1, c.y());
        break;
    case ListIcon::Down:
        arrow(1, c.y());
        break;
    }
    return p;
}

} // namespace skinart
