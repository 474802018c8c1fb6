// A sound device that goes away while a deck plays, with real parts: a PulseAudio daemon of
// the test's own (user mode, a null sink, its own runtime folder), reached through ALSA's pulse
// plugin and PortAudio as the program reaches a sound server. The daemon is killed while
// engine A plays on it; engine B plays on the silent output meanwhile.
#include "platform/audio/soundengine.h"
#include "support/testutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using audio::SoundEngine;
using testutil::media;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F>
bool eventually(F done, std::chrono::seconds most = std::chrono::seconds(20))
{
    const auto deadline = Clock::now() + most;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A PulseAudio daemon with one null sink, reachable at socket() only.
class PulseDaemon {
public:
    explicit PulseDaemon(const QString& folder) : folder_(folder)
    {
        QDir(folder_).mkpath(QStringLiteral("run"));
        QDir(folder_).mkpath(QStringLiteral("home"));
        QFile::setPermissions(folder_ + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // Clients of this test never start a daemon of their own.
        testutil::writeAll(clientConfig(), "autospawn = no\n");
    }
    ~PulseDaemon() { stop(); }

    QString socket() const { return folder_ + QStringLiteral("/run/native"); }
    QString clientConfig() const { return folder_ + QStringLiteral("/client.conf"); }
    QString log() const { return log_; }

    // Starts the daemon and waits for its socket; false (with the daemon's words in log())
    // when it cannot start here.
    bool start()
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
        if (program.isEmpty()) {
            log_ = QStringLiteral("pulseaudio is not installed (scripts/setup installs it)");
            return false;
        }
        QFile::remove(socket());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder_ + QStringLiteral("/run"));
        env.insert(QStringLiteral("HOME"), folder_ + QStringLiteral("/home"));
        env.insert(QStringLiteral("PULSE_CLIENTCONFIG"), clientConfig());
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.remove(QStringLiteral("PULSE_SERVER"));
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(program, {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                                 QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
                                 QStringLiteral("--log-target=stderr"), QStringLiteral("-L"),
                                 QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + socket(),
                                 QStringLiteral("-L"), QStringLiteral("module-null-sink sink_name=quenlow_test")});
        const bool up = process_.waitForStarted(10000) && eventually([&] {
            return QFile::exists(socket()) || process_.state() != QProcess::Running;
        });
        if (up && process_.state() == QProcess::Running && QFile::exists(socket()))
            return true;
        process_.kill();
        process_.waitForFinished(5000);
        log_ = QString::fromLocal8Bit(process_.readAll());
        return false;
    }

    // Gone at once, as a crashed or killed sound server is.
    void kill()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    void stop()
    {
        if (process_.state() != QProcess::NotRunning)
            kill();
    }

private:
    QString folder_;
    QProcess process_;
    QString log_;
};

} // namespace

TEST(SoundDeviceLoss, KillingTheSoundServerStopsThatDeckAndTellsItOnceWhileTheOtherPlaysOn)
{
    QTemporaryDir dir;
    PulseDaemon daemon(dir.path());
    if (!daemon.start())
        GTEST_SKIP() << "a PulseAudio daemon cannot start on this machine: " << daemon.log().toStdString();
    qputenv("PULSE_SERVER", ("unix:" + daemon.socket()).toLocal8Bit());
    qputenv("PULSE_CLIENTCONFIG", daemon.clientConfig().toLocal8Bit());

    const QStringList devices = audio::outputDeviceNames();
    const int pulse = int(devices.indexOf(QStringLiteral("pulse"))) + 1;
    ASSERT_GT(pulse, 0) << "PortAudio does not list ALSA's pulse device: " << devices.join(", ").toStdString();

    SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
    a.setDriver(pulse);
    ASSERT_NE(a.init(44100, 32, 2), 0) << a.getError();
    b.setDriver(int(devices.size()));
    ASSERT_NE(b.init(44100, 32, 2), 0) << b.getError();
    const auto sa = a.streamOpen(media("tone30s.mp3"), 8192, 0, 0);
    const auto sb = b.streamOpen(media("tone30s.mp3"), 8192, 0, 0);
    const int ca = a.streamPlay(-1, sa);
    ASSERT_NE(ca, 0);
    ASSERT_NE(b.streamPlay(-1, sb), 0);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(sa) >= 300 && b.streamGetTime(sb) >= 300; }))
        << "deck A at " << a.streamGetTime(sa) << " ms on the sound server";
    EXPECT_FALSE(a.takeOutputLost());

    daemon.kill();
    const auto killed = Clock::now();
    ASSERT_TRUE(eventually([&] { return a.takeOutputLost(); }, std::chrono::seconds(10)))
        << "the loss of the sound server was never reported";
    const auto reportedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
    RecordProperty("loss_reported_after_ms", int(reportedAfter.count()));
    std::printf("the loss was reported %d ms after the sound server was killed\n", int(reportedAfter.count()));

    EXPECT_FALSE(a.takeOutputLost()) << "told once";
    EXPECT_EQ(a.getError(), audio::ErrPlay);
    EXPECT_EQ(a.getFrequency(ca), 0) << "deck A's channel is stopped";
    const int heldAt = a.streamGetTime(sa);
    EXPECT_GT(heldAt, 0) << "the stream keeps its place";

    // Deck B plays on.
    const int bAt = b.streamGetTime(sb);
    EXPECT_TRUE(eventually([&] { return b.streamGetTime(sb) >= bAt + 300; })) << "deck B stopped at " << bAt;
    EXPECT_FALSE(b.takeOutputLost());
    EXPECT_EQ(a.streamGetTime(sa), heldAt);

    // Without the server a play fails and says so; with it back the deck plays again.
    EXPECT_EQ(a.streamPlay(-1, sa), 0);
    EXPECT_EQ(a.getError(), audio::ErrPlay);
    ASSERT_TRUE(daemon.start()) << daemon.log().toStdString();
    const int again = a.streamPlay(-1, sa);
    ASSERT_NE(again, 0) << a.getError();
    EXPECT_TRUE(eventually([&] { return a.streamGetTime(sa) >= heldAt + 300; }));
    EXPECT_FALSE(a.takeOutputLost());

    a.close();
    b.close();
    qunsetenv("PULSE_SERVER");
    qunsetenv("PULSE_CLIENTCONFIG");
}
