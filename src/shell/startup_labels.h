// The label buttons of the start-up dialogs: plain labels that act as buttons. A press gives the
// label a light blue background, the release the system's tooltip background again; the dialog
// connects the action to the label's Click or MouseUp.
#pragma once

#include <QColor>
#include <QRect>
#include <QString>

class QWidget;
class SkinControl;

namespace startup {

// The background of a pressed label button: red 192, green 192, blue 255.
QColor pressedLabelColour();
// The background of a label button at rest: the system colour for tooltip backgrounds.
QColor restingLabelColour();

// Gives a label button its pressed or resting look.
void setLabelPressed(SkinControl* label, bool pressed);

// A label button named name with its caption, placed at geometry given in twips; a press and a
// release change its look.
SkinControl* makeLabelButton(QWidget* parent, const char* name, const QString& caption, const QRect& twips);

// A plain caption label placed at twips geometry.
SkinControl* makeCaption(QWidget* parent, const char* name, const QString& caption, const QRect& twips);

// A rectangle given in twips, in pixels.
QRect pixels(const QRect& twips);

} // namespace startup
