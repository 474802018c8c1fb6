// A PulseAudio daemon of a test's or benchmark's own: user mode, its own runtime folder, one
// null sink, reachable at socket() only. The engines reach it as the program reaches a sound
// server: as the device "pulse" that PortAudio lists (through ALSA's pulse plugin), which the
// engines then play through libpulse.
#pragma once

#include <QProcess>
#include <QString>

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

private:
    QString folder_;
    QProcess process_;
    QString log_;
    bool connected_ = false;
};
