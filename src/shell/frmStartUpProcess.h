// The start-up sequence: everything between launching the program and its main window. It is
// never displayed; it runs its steps in order before the event loop starts, and a check that
// fails ends the program before the main window exists.
//
//  1. the splash, 2. the program folder, 3. the error trap, 4. the first-run notice, 5. the
//  update prompt, 6. one instance per folder, 7. the screen size, 8. the sound device dialog,
//  9. the media folders, 10. both sound engines on their devices, 11. the main window.
#pragma once

#include "library/medialist.h"

#include <QString>
#include <vector>

namespace startup {
class InstanceLock;
}

class frmStartUpProcess {
public:
    // lock is taken at step 6 and must outlive the run.
    explicit frmStartUpProcess(startup::InstanceLock& lock);

    // Runs the whole sequence. True when the main window is open; false when the program ends
    // here, with exitCode() as the process's exit status.
    bool Form_Load();
    int exitCode() const { return exitCode_; }
    bool ended() const { return ended_; }

    // The steps, by their procedure names. Each does nothing once the program has ended, also
    // when the session ended it meanwhile.
    void CheckForAnotherInstance();
    void CheckResolutionOfScreen();
    QString ScreenResolution(); // "width X height"; ends the program on a small screen
    void CheckIfSoundIsOk();
    void CheckMediaPaths();
    void ConfigureSound();
    void LoadQuenlow();

    // The records MediaList.qnl held at step 9 (the hidden list of the start-up window).
    const std::vector<medialist::Folder>& lstMediaPaths() const { return mediaPaths_; }

private:
    void FirstRunNotice();
    void UpdatePrompt();
    // The engine on its device: a server's output by its sink's name when one is given.
    bool initEngine(char which, int device, const QString& sink);
    void endProgram(int code);
    // The program has ended (a check, the user, or the session ending).
    bool stopped();

    startup::InstanceLock& lock_;
    std::vector<medialist::Folder> mediaPaths_;
    bool ended_ = false;
    int exitCode_ = 0;
};
