// Song file decoders: MP3 through libmpg123 and WAV/AIFF through libsndfile, both giving
// stereo float frames at the file's own sample rate. The engine resamples to its output.
// An MP3 file of songs of different rates joined together is given whole at the rate of its
// first frame: the frames of every other rate are converted to it (a later song of a higher
// rate so loses what lies above the first rate's range; its pitch and speed stay its own).
#pragma once

#include "platform/audio/soundengine.h"

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace audio {

// The exact length of an MP3 file that does not state it, found by reading every frame header
// once on a thread of its own (about 2.4 s for a 1 GB file). Destroying the scan stops it
// within a read.
class LengthScan {
public:
    virtual ~LengthScan() = default;
    // Waits up to `most` for the answer; true when there is one.
    virtual bool wait(std::chrono::milliseconds most) = 0;
};

class Decoder {
public:
    virtual ~Decoder() = default;
    // The file's own sample rate (an MP3 file's: that of its first frame).
    virtual int rate() const = 0;
    // Its length in frames: exact where the file states it (and its size agrees) or was read
    // whole, otherwise an estimate from the file size until a length scan has settled it.
    virtual std::int64_t length() const = 0;
    // Starts finding the exact length; `done` is called on the scan's thread with the frames
    // (or -1) when it has finished. Null where the length is already exact.
    virtual std::unique_ptr<LengthScan> scanLength(std::function<void(std::int64_t)> done)
    {
        (void)done;
        return nullptr;
    }
    // Decodes up to `frames` stereo frames into out (interleaved L R); returns the number of
    // frames decoded, 0 at the end of the file or when the file cannot be read any further.
    virtual long read(float* out, long frames) = 0;
    // Moves to a frame (from 0 on; a frame past the end ends the song); the next read starts
    // there.
    virtual bool seek(std::int64_t frame) = 0;
    // After a read that gave fewer frames than asked: whether the file ended early, and why.
    virtual EarlyEnd earlyEnd() const { return EarlyEnd::None; }
};

// The sample rates the engine is made for. A file that claims another (a damaged header) is
// refused like any file that cannot be played.
constexpr int kLowestRate = 8000;
constexpr int kHighestRate = 192000;

// Opens a song file. On failure returns null and sets *error to the engine's error code:
// 9 the file does not exist, 10 neither MP3 nor WAV (or a sample rate outside the above, or more
// ID3v2 tags before the sound than a song file has), 11 it cannot be read, 12 out of memory; and
// *why, when given, to what more can be said of the failure for a log (empty when nothing more).
// Reads only the start and the end of the file (passing over its tags unread), so opening costs
// the same for any length.
std::unique_ptr<Decoder> openDecoder(const QString& path, int* error, QString* why = nullptr);

// What the first frame of an MP3 file says of the whole: the frame count of a Xing, Info or
// VBRI header, and whether the file's size agrees with the byte count the header gives, to
// within two frames (a file cut short, or grown since by a song joined after it, keeps its old
// header). Nothing behind more ID3v2 tags than a song file has.
struct Mp3HeaderFrame {
    bool found = false;      // a Xing, Info or VBRI header with a frame count
    bool variable = false;   // "Xing" or "VBRI": a variable bit rate; "Info" marks a constant one
    std::int64_t frames = 0; // MPEG frames of audio the header counts
    int samplesPerFrame = 0;
    bool sizeAgrees = false;
};
Mp3HeaderFrame readMp3HeaderFrame(int fd);

// An MP3 file's frames as the decoder finds them when a deck opens the file: the MPEG version
// (1, 2, or 25 for MPEG-2.5; 0 when it finds no frame), layer and sample rate of the first
// frame, and the song's frame count: the Xing, Info or VBRI count where the file's size agrees
// with it, otherwise the decoder's estimate from the size; nothing behind more ID3v2 tags than a
// song file has. Reads from the start of the file.
struct Mp3Frames {
    int version = 0;
    int layer = 0;
    int rate = 0;
    int samplesPerFrame = 0;
    std::int64_t frames = 0;
};
Mp3Frames readMp3Frames(int fd);

} // namespace audio
