// A sound test measures what a deck sounds like on a real sound server, on a machine that other
// work may load. There the machine or the server now and then fails to keep time: the output's
// thread is not run in time and the deck's engine counts an underrun, the server drops its sound for
// a moment (see Dropout), or the server's thread that takes a deck's sound is not run for a while.
// A click or a late change then may be the machine's, not ours.
//
// So such a test measures inside measureAgain: a measurement that failed and met evidence of such a
// fault is measured again, up to three times in all, and the test fails as soon as a measurement
// without such evidence fails. Bounds stay as they are: a fault of our own shows in a measurement
// the machine kept time for, and fails it. Should every measurement fail and meet such evidence,
// the test fails all the same (a fault of ours that makes the engine underrun would meet evidence
// each time), saying what each met.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace audio {
class SoundEngine;
}
class MonitorRecording;

// What one measurement met of the machine or the server failing to keep time, in words.
class MachineFaults {
public:
    void add(std::string fault) { seen_.push_back(std::move(fault)); }
    bool any() const { return !seen_.empty(); }
    std::string text() const;

private:
    std::vector<std::string> seen_;
};

// Watches engines, a recording and the sound server for the span of a measurement: declared after
// the engines and the recording, it looks at them when the measurement ends (a failed assertion's
// return included) and adds to `into` the underruns each engine counted meanwhile, the dropouts of
// the server in what the recording took meanwhile, any sound the recording itself lost, and an
// answer of the server's that came late (it asks the server the process reaches a small question
// every few milliseconds meanwhile: a measurement that stops or kills the server itself watches
// only around that).
class MachineFaultsWatch {
public:
    MachineFaultsWatch(MachineFaults& into, std::initializer_list<const audio::SoundEngine*> engines,
                       const MonitorRecording* monitor = nullptr);
    ~MachineFaultsWatch();
    MachineFaultsWatch(const MachineFaultsWatch&) = delete;
    MachineFaultsWatch& operator=(const MachineFaultsWatch&) = delete;

private:
    class ServerProbe;
    MachineFaults& into_;
    std::unique_ptr<ServerProbe> probe_;
    std::vector<std::pair<const audio::SoundEngine*, unsigned long long>> engines_;
    const MonitorRecording* monitor_;
    std::size_t fromFrame_ = 0;
    int lossesBefore_ = 0;
};

// Runs `measure` (a measurement with the test's own assertions, which watches what it plays with a
// MachineFaultsWatch) until a run passes, a run fails without evidence of a machine's fault, or
// `most` runs failed each with such evidence. Only the failures of the run that decides are the
// test's; the others are told on the output with what each met.
void measureAgain(const std::function<void(MachineFaults&)>& measure, int most = 3);
