// The please-wait window: a message, a progress bar, and a timer that closes the window four
// seconds after it opened, whether or not its user has finished.
#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QTimer;

class frmWait : public QWidget {
    Q_OBJECT
public:
    // The open wait window, opened (modeless) when there is none.
    static frmWait* Show(QWidget* parent = nullptr);
    // Closes the wait window; nothing happens when none is open.
    static void Unload();
    // The open wait window, or null.
    static frmWait* instance();

    QLabel* lblMessage = nullptr;
    QProgressBar* ProgWait = nullptr;
    QTimer* TimerClose = nullptr;

private:
    explicit frmWait(QWidget* parent);
    static QPointer<frmWait>& current();
};
