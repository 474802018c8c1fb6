#include "shell/frmStartUpProcess.h"
#include "shell/startup.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Held for the whole run: no second copy of the program works on the same folder.
    startup::InstanceLock lock;
    frmStartUpProcess startUp(lock);
    if (!startUp.Form_Load())
        return startUp.exitCode();
    return app.exec();
}
