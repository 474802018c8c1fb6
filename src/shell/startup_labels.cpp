#include "shell/startup_labels.h"

#include "platform/ui/skin.h"
#include "platform/ui/vb.h"

#include <QPalette>
#include <QToolTip>

namespace startup {

QColor pressedLabelColour() { return QColor(192, 192, 255); }

QColor restingLabelColour() { return QToolTip::palette().color(QPalette::ToolTipBase); }

void setLabelPressed(SkinControl* label, bool pressed)
{
    QPalette p = label->palette();
    p.setColor(QPalette::Window, pressed ? pressedLabelColour() : restingLabelColour());
    p.setColor(QPalette::WindowText, QToolTip::palette().color(QPalette::ToolTipText));
    label->setPalette(p);
}

QRect pixels(const QRect& t)
{
    return QRect(vb::px(t.x()), vb::px(t.y()), vb::px(t.width()), vb::px(t.height()));
}

SkinControl* makeCaption(QWidget* parent, const char* name, const QString& caption, const QRect& twips)
{
    auto* l = new SkinControl(parent, SkinControl::Label);
    l->setObjectName(QLatin1String(name));
    l->setText(caption);
    l->setGeometry(pixels(twips));
    return l;
}

SkinControl* makeLabelButton(QWidget* parent, const char* name, const QString& caption, const QRect& twips)
{
    SkinControl* l = makeCaption(parent, name, caption, twips);
    l->setAlignment(Qt::AlignCenter);
    l->setFrameShape(QFrame::Box);
    l->setAutoFillBackground(true);
    l->setCursor(Qt::PointingHandCursor);
    setLabelPressed(l, false);
    QObject::connect(l, &SkinControl::MouseDown, l, [l] { setLabelPressed(l, true); });
    QObject::connect(l, &SkinControl::MouseUp, l, [l] { setLabelPressed(l, false); });
    return l;
}

} // namespace startup
