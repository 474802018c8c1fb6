// What the start-up sequence needs around it: the lock that keeps a second copy of the program
// from running on the same folder, the splash, and the few hooks through which the sequence
// reaches the outside world (screen, modal dialogs, the main window). Tests replace the hooks,
// so the whole sequence runs offscreen without a single blocking window.
#pragma once

#include "platform/audio/soundengine.h"

#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QDialog;

namespace startup {

// One running program per program folder: an exclusive lock on a file in that folder, held from
// the instance check until the process ends. The operating system drops the lock when the holder
// dies in any way, so a crashed run never keeps the next one out.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock of folder. False only when another running instance holds it; a folder
    // where no lock file can be made cannot tell, and lets the program run.
    bool tryLock(const QString& folder);
    void unlock();
    bool held() const { return fd_ >= 0; }

    // The lock file's name inside the program folder.
    static QString fileName();

private:
    int fd_ = -1;
};

// The hooks of the sequence. Each has a real default; a test sets its own and puts the
// defaults back with resetEnvironment().
struct Environment {
    // The program's folder: where the program file lies.
    std::function<QString()> programFolder;
    // The screen size in pixels.
    std::function<QSize()> screenSize;
    // Shows a dialog modally and returns once it has closed.
    std::function<void(QDialog&)> runModal;
    // Opens the update notes window modally.
    std::function<void()> showUpdates;
    // Shows the main window (its load runs there).
    std::function<void()> showMain;
};

Environment& environment();
void resetEnvironment();

// The splash "Doing Things...": shown at the start of the sequence, brought to the front again
// by the dialogs' saves, unloaded by the main window's load. All three are safe to call at any
// time, in any order.
void showSplash();
void bringSplashForward();
void unloadSplash();
// Whether the splash is loaded (for tests and the main window's load).
bool splashLoaded();

// The driver number a stored device setting stands for: the whole number of the text when it
// names one of the count devices (1 to count), otherwise 0, the system's default device. So a
// setting that is missing ("NULL"), garbage or left over from an unplugged card never stops the
// program from starting.
int deviceNumberFromSetting(const QString& stored, int deviceCount);

// The driver number for a stored device choice, given the devices listed now (the device
// dialog's list, first device = 1). A stored number is a position in a list that changes as
// devices come and go, so it stands only while the device there is still the stored one;
// otherwise that device is used where it is listed now, else the system's default device (0).
// An output of the sound server is known by its sink's name (`storedSink`), which stays when its
// position or its description changes and tells two outputs of the same description apart; every
// other device by its name, among the devices that are not server outputs. Such an output that is
// not listed now gives -1: it is never replaced by another output, and the player waits for it.
// Without a stored name or sink the number alone decides, as before names were stored. *change
// says what was chosen instead of the stored number, for the log; empty when nothing changed.
// *sinkToOpen, when given, gets the stored sink of a server output (the engine is opened by it,
// listed or not), and is empty for every other device.
int deviceNumberFor(const QString& storedNumber, const QString& storedName, const QString& storedSink,
                    const std::vector<audio::DeviceEntry>& devices, QString* change, QString* sinkToOpen = nullptr);

} // namespace startup
