#include "shell/frmDoingThings.h"

#include "platform/ui/vb.h"

#include <QLabel>

frmDoingThings::frmDoingThings(QWidget* parent) : QWidget(parent, Qt::Dialog)
{
    setObjectName(QStringLiteral("frmDoingThings"));
    setWindowTitle(QStringLiteral("Doing Things..."));
    setFixedSize(vb::px(4800), vb::px(1200));

    auto* label = new QLabel(QStringLiteral("I'm checking a bunch of things. Please Wait..."), this);
    label->setObjectName(QStringLiteral("lblDoingThings"));
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setGeometry(vb::px(120), vb::px(120), vb::px(4560), vb::px(960));
}
