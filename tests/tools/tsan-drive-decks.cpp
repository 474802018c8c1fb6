// Two engines on a sound server's "pulse" device, driven as the decks drive them (plays, pauses,
// rests long enough for the outputs to let go of their short latency, volume, pitch, moves, stops
// and plays again, the spectrum, positions), at random and for as long as asked, for the thread
// checker: the sound-server tests make fixed changes in a fixed order, and none reads the spectrum
// of an engine on a server. It drives the engines on a server started outside it (reached through
// PULSE_SERVER), and starts nothing itself.
// Usage: tsan-drive-decks MEDIA-FOLDER [SECONDS]   (exits 1 when there is no "pulse" device)
#include "platform/audio/soundengine.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

extern "C" const char* __tsan_default_options()
{
    return "suppressions=" QUENLOW_SOURCE_DIR "/tests/support/tsan.supp:print_suppressions=0";
}

int main(int argc, char** argv)
{
    using namespace std::chrono;
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString media = QString::fromLocal8Bit(argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const int pulse = int(audio::outputDeviceNames().indexOf(QStringLiteral("pulse"))) + 1;
    if (pulse <= 0) {
        std::puts("tsan-drive-decks: no \"pulse\" device (is PULSE_SERVER set?)");
        return 1;
    }
    audio::SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
    audio::SoundEngine* engines[2] = {&a, &b};
    std::uint32_t streams[2];
    int channels[2];
    for (int i = 0; i < 2; ++i) {
        engines[i]->setDriver(pulse);
        if (engines[i]->init(44100, 32, 2) == 0) {
            std::printf("tsan-drive-decks: the engine does not start (%d)\n", engines[i]->getError());
            return 1;
        }
        engines[i]->dspSetActive(engines[i]->dspGetFFTUnit(), 1);
        streams[i] = engines[i]->streamOpen(media + (i ? "/noise120s.mp3" : "/tone30s.mp3"), 8192, 0, 0);
        channels[i] = engines[i]->streamPlay(-1, streams[i]);
    }
    std::mt19937 pick(7);
    const auto until = steady_clock::now() + seconds * 1s;
    int calls = 0;
    while (steady_clock::now() < until) {
        const int i = int(pick() % 2);
        audio::SoundEngine& e = *engines[i];
        switch (pick() % 9) {
        case 0: e.setVolume(channels[i], int(pick() % 256)); break;
        case 1: e.setFrequency(channels[i], 30000 + int(pick() % 30000)); break;
        case 2: e.setPaused(channels[i], 1); break;
        case 3: e.setPaused(channels[i], 0); break;
        case 4: e.streamSetTime(streams[i], int(pick() % 20000)); break;
        case 5:
            e.streamStop(streams[i]);
            channels[i] = e.streamPlay(-1, streams[i]);
            break;
        case 6: e.dspGetSpectrum(); break;
        case 7:
            e.streamGetTime(streams[i]);
            e.takeOutputLost();
            break;
        case 8: // now and then a rest long enough for the output to let go of its short latency
            if (pick() % 20 == 0) {
                e.setPaused(channels[i], 1);
                std::this_thread::sleep_for(6500ms);
                e.setPaused(channels[i], 0);
            }
            break;
        }
        ++calls;
        std::this_thread::sleep_for(milliseconds(20 + pick() % 60));
    }
    a.close();
    b.close();
    std::printf("tsan-drive-decks: %d calls; underruns %llu and %llu\n", calls,
                static_cast<unsigned long long>(a.underruns()), static_cast<unsigned long long>(b.underruns()));
    return 0;
}
