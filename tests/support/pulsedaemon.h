// A PulseAudio daemon of a test's or benchmark's own: user mode, its own runtime folder, one
// null sink, reachable at socket() only. The engines reach it as the program reaches a sound
// server: as the device "pulse" that PortAudio lists (through ALSA's pulse plugin), which the
// engines then play through libpulse.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class PulseDaemon {
public:
    explicit PulseDaemon(const QString& folder);
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    QString socket() const;
    QString clientConfig() const;
    QString log() const { return log_; }

    // Starts the daemon and waits for its socket; false (with the daemon's words in log())
    // when it cannot start here.
    bool start();
    // Gone at once, as a crashed or killed sound server is.
    void kill();
    // Stopped where it is (SIGSTOP), as a hung sound server is, or let go again.
    void freeze(bool frozen);

    // Points this process's sound clients at the daemon (until the daemon object goes), and
    // returns the engines' driver number of the "pulse" device; 0 when PortAudio does not list it.
    int connectHere();

    // Adds an output as a sound card plugged in would: a null sink of that name and description.
    // Returns the module that made it (for unloadModule), or -1 with the reason in log().
    int addSink(const QString& name, const QString& description);
    // Takes a module away again, as a card pulled out (its sink goes with it).
    bool unloadModule(int module);
    bool setDefaultSink(const QString& name);
    // The sinks the daemon's playback streams play on now, one per stream.
    QStringList streamSinks();

private:
    // Runs pactl against the daemon; its output, or nothing (the reason in log()) when it failed.
    std::optional<QString> pactl(const QStringList& args);

    QString folder_;
    QProcess process_;
    QString log_;
    bool connected_ = false;
};

// What the daemon's null sink plays, recorded from its monitor as it comes (a client of the
// daemon the process is connected to), in pieces of 64 stereo frames, each with the time it
// arrived: to tell when a change was heard and to look at the sound for clicks.
class MonitorRecording {
public:
    using Clock = std::chrono::steady_clock;
    // Records the monitor of the sink of that name (the daemon's own null sink by default).
    explicit MonitorRecording(const char* sink = "quenlow_test");
    ~MonitorRecording();
    MonitorRecording(const MonitorRecording&) = delete;
    MonitorRecording& operator=(const MonitorRecording&) = delete;

    bool recording() const { return ok_; }
    // The first piece that arrived after `since` whose mean absolute level passes `test`, waited
    // for `most` at most.
    std::optional<Clock::time_point> waitFor(const std::function<bool(float level)>& test, Clock::time_point since,
                                             std::chrono::milliseconds most);
    // Everything recorded so far, interleaved stereo.
    std::vector<float> sound() const;

private:
    struct Piece {
        Clock::time_point at;
        float level;
    };
    void run();

    void* simple_ = nullptr;
    bool ok_ = false;
    std::atomic<bool> going_ {true};
    mutable std::mutex mutex_;
    std::vector<float> sound_;
    std::vector<Piece> pieces_;
    std::thread thread_;
};
