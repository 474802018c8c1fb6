#include "shell/frmMain.h"

frmMain::frmMain(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quenlow"));
    resize(1024, 768);
}
