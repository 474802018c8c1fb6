#include "shell/frmWait.h"

#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

QPointer<frmWait>& frmWait::current()
{
    static QPointer<frmWait> w;
    return w;
}

frmWait* frmWait::instance() { return current().data(); }

frmWait* frmWait::Show(QWidget* parent)
{
    if (!current()) {
        current() = new frmWait(parent);
        current()->show();
    }
    return current().data();
}

void frmWait::Unload()
{
    if (current())
        current()->close();
}

frmWait::frmWait(QWidget* parent) : QWidget(parent, Qt::Dialog)
{
    setObjectName(QStringLiteral("frmWait"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Wait..."));
    setFixedSize(320, 90);
    auto* layout = new QVBoxLayout(this);
    lblMessage = new QLabel(QStringLiteral("Message"), this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    ProgWait = new QProgressBar(this);
    ProgWait->setObjectName(QStringLiteral("ProgWait"));
    ProgWait->setRange(0, 100);
    ProgWait->setValue(0);
    layout->addWidget(lblMessage);
    layout->addWidget(ProgWait);
    TimerClose = new QTimer(this);
    TimerClose->setObjectName(QStringLiteral("TimerClose"));
    TimerClose->setInterval(4000);
    TimerClose->setSingleShot(true);
    connect(TimerClose, &QTimer::timeout, this, &QWidget::close);
    TimerClose->start();
}
