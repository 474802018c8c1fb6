// The splash of the start-up: a small window telling the user that the program is busy
// checking things. It has no behaviour of its own; start-up shows it, the dialogs bring it
// forward again, the main window's load unloads it.
#pragma once

#include <QWidget>

class frmDoingThings : public QWidget {
    Q_OBJECT
public:
    explicit frmDoingThings(QWidget* parent = nullptr);
};
