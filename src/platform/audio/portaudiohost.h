// The process's one PortAudio session, shared by both engines and the device list.
// PortAudio may be initialised only once per process at a time, so its users count
// themselves in and out; the last one out terminates it. Console noise of ALSA and JACK
// is kept off the terminal.
#pragma once

#include <QStringList>
#include <vector>

namespace audio::pa {

// Joins the session (initialising PortAudio for the first user); false when PortAudio fails.
bool acquire();
// Leaves the session; the last user terminates PortAudio.
void release();

struct OutputDevice {
    int index;    // PortAudio device index
    QString name; // as the device dialog shows it
};

// The system's output devices in a stable order. Needs the session.
std::vector<OutputDevice> outputDevices();
// PortAudio index of the system's default output device, or -1. Needs the session.
int defaultOutputDevice();

// Keeps the process's standard error quiet while alive (libraries that print to the console
// while devices are opened); restores it on destruction.
class QuietConsole {
public:
    QuietConsole();
    ~QuietConsole();
    QuietConsole(const QuietConsole&) = delete;
    QuietConsole& operator=(const QuietConsole&) = delete;
};

} // namespace audio::pa
