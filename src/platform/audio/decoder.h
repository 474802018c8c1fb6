// Song file decoders: MP3 through libmpg123 and WAV/AIFF through libsndfile, both giving
// stereo float frames at the file's own sample rate. The engine resamples to its output.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

namespace audio {

class Decoder {
public:
    virtual ~Decoder() = default;
    // The file's own sample rate and its exact length in frames.
    virtual int rate() const = 0;
    virtual std::int64_t length() const = 0;
    // Decodes up to `frames` stereo frames into out (interleaved L R); returns the number of
    // frames decoded, 0 at the end of the file or when the file cannot be read any further.
    virtual long read(float* out, long frames) = 0;
    // Moves to a frame (clamped to 0..length); the next read starts there.
    virtual bool seek(std::int64_t frame) = 0;
};

// Opens a song file. On failure returns null and sets *error to the engine's error code:
// 9 the file does not exist, 10 neither MP3 nor WAV, 11 it cannot be read, 12 out of memory.
std::unique_ptr<Decoder> openDecoder(const QString& path, int* error);

} // namespace audio
