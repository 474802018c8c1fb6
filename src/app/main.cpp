#include "shell/frmMain.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    frmMain w;
    w.showMain();
    return app.exec();
}
