#include "support/machinefaults.h"

#include "platform/audio/soundengine.h"
#include "support/pulsedaemon.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>

#include <pthread.h>
#include <sched.h>

std::string MachineFaults::text() const
{
    std::string all;
    for (const std::string& fault : seen_)
        all += (all.empty() ? "" : "; ") + fault;
    return all;
}

namespace {
// A change at a deck is heard within 50 ms in the tests (10 to 20 ms as a rule): a server that took
// over 30 ms to answer was not run in time for that.
constexpr double kLateAnswerMs = 30.0;
} // namespace

// Asks the sound server this process reaches a small question every few milliseconds, from a
// thread of its own at real-time priority where the system allows it (below the engines' output
// threads), and keeps the slowest answer. The server reads a deck's sound and its rewrites on the
// same thread that answers (PulseAudio's main thread, PipeWire's pulse server): a late answer is a
// server that was not run in time, whatever the deck did.
class MachineFaultsWatch::ServerProbe {
public:
    ServerProbe()
    {
        thread_ = std::thread([this] { run(); });
    }
    ~ServerProbe()
    {
        stop_ = true;
        thread_.join();
    }
    double slowestMs() const { return slowestMs_.load(); }

private:
    void run()
    {
        sched_param param {};
        param.sched_priority = 5;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        pa_mainloop* loop = pa_mainloop_new();
        pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Quenlow test probe");
        const auto turn = [&] {
            return pa_mainloop_prepare(loop, 50000) >= 0 && pa_mainloop_poll(loop) >= 0
                   && pa_mainloop_dispatch(loop) >= 0;
        };
        bool ok = context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
        while (ok && !stop_ && pa_context_get_state(context) != PA_CONTEXT_READY)
            ok = PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && turn();
        while (ok && !stop_) {
            bool answered = false;
            const auto t0 = std::chrono::steady_clock::now();
            pa_operation* asked = pa_context_get_server_info(
                context, [](pa_context*, const pa_server_info*, void* done) { *static_cast<bool*>(done) = true; },
                &answered);
            if (!asked)
                break;
            while (ok && !answered && !stop_)
                ok = PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && turn();
            if (!answered)
                pa_operation_cancel(asked);
            pa_operation_unref(asked);
            if (answered) {
                const auto took = std::chrono::steady_clock::now() - t0;
                slowestMs_.store(std::max(slowestMs_.load(), std::chrono::duration<double, std::milli>(took).count()));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        pa_mainloop_free(loop);
    }

    std::thread thread_;
    std::atomic<bool> stop_ {false};
    std::atomic<double> slowestMs_ {0.0};
};

MachineFaultsWatch::MachineFaultsWatch(MachineFaults& into, std::initializer_list<const audio::SoundEngine*> engines,
                                       const MonitorRecording* monitor)
    : into_(into), probe_(std::make_unique<ServerProbe>()), monitor_(monitor)
{
    for (const audio::SoundEngine* e : engines)
        engines_.emplace_back(e, e->underruns());
    if (monitor_) {
        fromFrame_ = monitor_->frames();
        lossesBefore_ = monitor_->losses();
    }
}

MachineFaultsWatch::~MachineFaultsWatch()
{
    const double slowest = probe_->slowestMs();
    probe_.reset();
    if (slowest > kLateAnswerMs)
        into_.add("the server once took " + std::to_string(int(slowest)) + " ms to answer");
    for (const auto& [engine, before] : engines_)
        if (const auto now = engine->underruns(); now > before)
            into_.add("the engine counted " + std::to_string(now - before) + " underrun(s) of its output");
    if (!monitor_)
        return;
    const std::vector<float> all = monitor_->sound();
    const std::vector<float> sound(all.begin() + std::ptrdiff_t(std::min(all.size(), fromFrame_ * 2)), all.end());
    if (const auto dropouts = serverDropouts(sound); !dropouts.empty()) {
        std::ostringstream at;
        for (std::size_t i = 0; i < dropouts.size() && i < 5; ++i)
            at << (i ? ", " : "") << fromFrame_ + dropouts[i].from;
        into_.add("the server dropped its sound " + std::to_string(dropouts.size()) + " time(s) (from frame "
                  + at.str() + (dropouts.size() > 5 ? ", ..." : "") + " of the recording)");
    }
    if (const int lost = monitor_->losses() - lossesBefore_; lost > 0)
        into_.add("the recording lost sound " + std::to_string(lost) + " time(s)");
}

namespace {

// Hands a run's failures to the test as they were raised.
void report(const testing::TestPartResultArray& results)
{
    for (int i = 0; i < results.size(); ++i) {
        const testing::TestPartResult& r = results.GetTestPartResult(i);
        GTEST_MESSAGE_AT_(r.file_name() ? r.file_name() : "", r.line_number(), r.message(), r.type());
    }
}

bool failed(const testing::TestPartResultArray& results)
{
    for (int i = 0; i < results.size(); ++i)
        if (results.GetTestPartResult(i).failed())
            return true;
    return false;
}

std::string oneLineEach(const testing::TestPartResultArray& results)
{
    std::string lines;
    for (int i = 0; i < results.size(); ++i) {
        const testing::TestPartResult& r = results.GetTestPartResult(i);
        if (!r.failed())
            continue;
        std::string message = r.message();
        for (char& c : message)
            if (c == '\n')
                c = ' ';
        lines += "\n    line " + std::to_string(r.line_number()) + ": " + message;
    }
    return lines;
}

} // namespace

void measureAgain(const std::function<void(MachineFaults&)>& measure, int most)
{
    for (int run = 1;; ++run) {
        MachineFaults faults;
        testing::TestPartResultArray results;
        {
            testing::ScopedFakeTestPartResultReporter intercept(
                testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
            measure(faults);
        }
        testing::Test::RecordProperty("measurements", run);
        if (!failed(results) || !faults.any()) {
            if (faults.any())
                std::cout << "Measurement " << run << " passed, though it met: " << faults.text() << "\n";
            report(results);
            return;
        }
        std::cout << "Measurement " << run << " of at most " << most << " failed and met: " << faults.text()
                  << oneLineEach(results) << "\n";
        if (run == most) {
            report(results);
            ADD_FAILURE() << "each of " << most
                          << " measurements failed and met the machine or the server failing to keep time; the "
                             "last met: "
                          << faults.text();
            return;
        }
    }
}
