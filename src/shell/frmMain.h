// The main window: one borderless, maximised window holding the decks, the crossfader, the
// clock and the song lists. It creates every control once, named as the handlers know it.
#pragma once

#include <QWidget>

class frmMain : public QWidget {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
};
