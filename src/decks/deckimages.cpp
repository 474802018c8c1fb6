#include "decks/deckimages.h"

#include <QPainter>

namespace {

// One lamp: a bar along its side of the deck, lit from dark (rest) to bright yellow (step 5).
QPixmap lamp(int side, int level)
{
    const bool across = side == 0 || side == 2; // top and bottom lamps lie across the deck
    QPixmap p(across ? QSize(120, 8) : QSize(8, 60));
    const int v = level == 0 ? 40 : 60 + level * 38;
    p.fill(QColor(v, v, level == 0 ? 40 : v / 4));
    QPainter g(&p);
    g.setPen(QColor(20, 20, 20));
    g.drawRect(p.rect().adjusted(0, 0, -1, -1));
    return p;
}

QPixmap button(bool play, bool pressed)
{
    QPixmap p(40, 28);
    p.fill(pressed ? QColor(70, 70, 90) : QColor(110, 110, 130));
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setBrush(QColor(230, 230, 230));
    g.setPen(Qt::NoPen);
    const int o = pressed ? 1 : 0;
    if (play) {
        const QPointF tri[3] = {{12.0 + o, 7.0 + o}, {12.0 + o, 21.0 + o}, {22.0 + o, 14.0 + o}};
        g.drawPolygon(tri, 3);
        g.drawRect(24 + o, 7 + o, 3, 14);
        g.drawRect(29 + o, 7 + o, 3, 14);
    } else {
        g.drawRect(14 + o, 8 + o, 12, 12);
    }
    return p;
}

} // namespace

DeckImages DeckImages::drawn()
{
    DeckImages d;
    d.playerControls = ImageList({button(false, false), button(false, true), button(true, false), button(true, true)});
    for (int step = 1; step <= 5; ++step)
        d.beatStep[step - 1] = ImageList({lamp(0, step), lamp(1, step), lamp(2, step), lamp(3, step)});
    d.beatNeutral = ImageList({lamp(0, 0), lamp(1, 0), lamp(2, 0), lamp(3, 0)});
    return d;
}
