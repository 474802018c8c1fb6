// The outputs (sinks) of the pulse server this process reaches: PulseAudio's, or PipeWire's pulse
// server. Each is a device of the engines' list of its own, played through the pulse output with
// that sink named, so a deck can be put on one output of the server (a headphone socket, a second
// card) and the other deck on another.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace audio {

struct ServerOutput {
    QByteArray name;     // the server's name of the sink: what identifies it from one run to the next
    QString description; // what the server shows the user, e.g. "USB Audio Analog Stereo"
};

// How long a listing waits for the server at most: one that does not answer by then (hung,
// swapped out) lists no outputs rather than holding the device dialog or the start-up.
constexpr int kServerOutputsWaitMs = 2000;

// The sinks of the server that libpulse reaches from here (PULSE_SERVER, the client
// configuration, the user's own server), in the server's order (by index). Empty when no server
// runs or none answers within `waitMs`; never starts a server.
std::vector<ServerOutput> serverOutputs(int waitMs = kServerOutputsWaitMs);

} // namespace audio
