// The sound device dialog: the user picks the output device of Player A and of Player B, hears
// a test sound on each, and saves the choice to config.ini. Start-up opens it on every start and
// sets the engines up from the saved numbers after it closes.
//
// Both lists show the engines' output devices in the same order; a device's number is its
// position plus one. Selecting a device sets that player's engine up on it, so a device that
// cannot be used is reported at once.
#pragma once

#include <QDialog>

class QListWidget;
class SkinControl;
class SoundBinding;

class frmConfigureSound : public QDialog {
    Q_OBJECT
public:
    explicit frmConfigureSound(QWidget* parent = nullptr);

    // The handlers, by the names the dialog's controls know them.
    void LoadDevices();
    void lstPlayerA_Click();
    void lstPlayerB_Click();
    void lblPlayerATest_Click();
    void lblPlayerBTest_Click();
    void lblRefresh_Click();
    void lblSaveDevices_Click();
    void lblNoClose_Click();

    // The user chose not to run the program ("Not Right Now Please"): the opener ends it.
    bool quitRequested() const { return quit_; }
    // The choice was saved.
    bool saved() const { return saved_; }

    // The row selected in a device list; -1 when none.
    static int selectedRow(const QListWidget* list);

    // Closed by the window manager or Escape: nothing is saved, but the engines are left closed
    // as start-up needs them.
    void reject() override;

private:
    struct Player;
    Player player(char which);
    void deviceClick(const Player& p);
    static void chooseDevice(const Player& p, int row);
    void testDevice(const Player& p);
    static void closeEngine(const Player& p);

    QListWidget* lstPlayerA_;
    QListWidget* lstPlayerB_;
    SkinControl* lblPlayerASel_;
    SkinControl* lblPlayerBSel_;
    bool quit_ = false;
    bool saved_ = false;
};
