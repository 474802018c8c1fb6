// Varispeed: plays a stream of frames at a continuously variable speed.
//
// Each output frame is interpolated from the input frames around a fixed-point (32.32) read
// position with a Kaiser-windowed sinc kernel: 48 frames below 0.907x, 32 up to normal speed,
// 40 up to 1.25x and 32 faster. The kernel is precomputed for 256 phases between two frames,
// and a position between two phases takes the linear blend of their coefficients.
//
// Each band of speeds has its own table, cut so that no image or alias of what it lets through
// reaches the audible band (up to 20 kHz) less than 60 dB down. For a 44.1 kHz song played on
// a 44.1 kHz output, the kernel's response as built (frequencies in the song):
// - below 0.907x (the pitch slider's bottom is 0.75x), where the song's top would otherwise
//   leave its mirror image within hearing: -0.5 dB at 18 kHz, -1 dB at 18.3 kHz, -6 dB at
//   19.45 kHz, -64 dB from 22.05 kHz on, -107 dB from 30 kHz;
// - from 0.907x to normal speed: -0.4 dB at 18 kHz, -1 dB at 18.5 kHz, -1.8 dB at 19 kHz,
//   -4.9 dB at 20 kHz, -62 dB from 24.1 kHz on (what would fold back under 20 kHz), -102 dB
//   from 32 kHz;
// - above normal speed to 1.25x: -1.1 dB at 15 kHz, -6 dB at 16.3 kHz, -64 dB from 19.3 kHz
//   on (what would fold back under 20 kHz at 1.25x), -103 dB from 27 kHz;
// - faster, one table per step of 1.25x (fast forward), the same rule at each band's top
//   speed: -1 dB 4.8 kHz below the stopband's edge (5 kHz at 2.44x), -63 dB from it, -89 dB
//   from 8 kHz above it. Past the last table, at 2.44 source frames per output frame, the
//   highest table is used and the top aliases.
// Played, a stepped sweep of tones to 22 kHz leaves nothing within hearing above -67 dB at
// 0.75x and -64 dB at 1.25x; tones to 20 kHz leave spurs below -96 dB; a two-tone of 1 kHz and
// 15 kHz plays with distortion and noise 107 to 117 dB below it (tests/platform/varispeed_test.cpp).
//
// The speed may change between any two calls without a click: the read position moves on
// smoothly, and a change of table blends the old table's output into the new one's over a few
// milliseconds. At exactly one source frame per output frame the read position is first brought
// onto a whole frame and the output is then the input itself, so a caller can switch to copying
// frames straight through without a seam.
//
// All memory is taken in the constructor; nothing here allocates, locks or waits afterwards,
// so the audio thread can use it.
#pragma once

#include <cstdint>
#include <memory>

namespace audio {

class Varispeed {
public:
    // The most taps a table has.
    static constexpr int kTaps = 48;
    // Input frames before the read position the kernel reaches back to.
    static constexpr int kBefore = kTaps / 2 - 1;
    // And after it (the frame at the read position not counted).
    static constexpr int kAfter = kTaps / 2;
    // One source frame per output frame, in the 32.32 fixed point of step and position.
    static constexpr std::uint64_t kUnity = std::uint64_t(1) << 32;

    // channels: 1 or 2. capacity: input frames held at once beyond the kernel's reach.
    explicit Varispeed(int channels, int capacity = 4096);
    ~Varispeed();
    Varispeed(const Varispeed&) = delete;
    Varispeed& operator=(const Varispeed&) = delete;

    // num/den source frames per output frame in 32.32 fixed point, rounded to nearest.
    static std::uint64_t stepOf(std::uint64_t num, std::uint64_t den);

    // Starts afresh: position 0 is the next frame pushed. `history` holds the `frames` frames
    // played just before it (interleaved, at most kBefore are used); silence where there are
    // fewer.
    void reset(const float* history = nullptr, int frames = 0);
    // The same, the read position `fraction` (of 2^32) of a frame past the first frame pushed
    // next: to carry on from a position remembered earlier, the frames before it as history.
    void restart(const float* history, int frames, std::uint32_t fraction);

    // Source frames per output frame, 32.32 fixed point, for the output frames from now on.
    void setStep(std::uint64_t step);
    std::uint64_t step() const { return target_; }

    // Input frames still to push before `frames` more output frames can be made at the present
    // step; never more than room().
    int wanted(int frames) const;
    // Input frames that can be pushed now.
    int room() const;
    // Appends interleaved frames (at most room()).
    void push(const float* in, int frames);
    // Appends silence (at most room()), for the kernel's reach past the end of a song.
    void pushSilence(int frames);

    // Makes up to `frames` output frames into out (interleaved) from what was pushed, stopping
    // before the read position reaches `end`. Returns the number made.
    int render(float* out, int frames, std::uint64_t end = ~std::uint64_t(0));

    // The read position: source frames since reset, 32.32 fixed point.
    std::uint64_t position() const;
    // At one source frame per output frame on a whole frame: the output is the input itself.
    bool straight() const;
    // Frames pushed and not yet played (from the read position on). A straight copy plays
    // them all; otherwise the last kAfter wait for the frames after them.
    int pending() const;
    // The read position has not gone past the last frame pushed (a step longer than the
    // kernel's reach can take it there; the frames up to it are then still to push).
    bool caughtUp() const;
    // The kBefore frames just before the read position (interleaved), to carry on from after
    // frames were copied straight past the varispeed.
    void history(float* out) const;

private:
    struct Table;
    int droppable() const;
    void compact();
    int renderWith(float* out, int frames, std::uint64_t endAt);
    const Table* tableFor(std::uint64_t step) const;

    int channels_;
    int capacity_;
    std::unique_ptr<float[]> buf_; // planar: channel c's frames start at buf_ + c * stride_
    int stride_;
    int fill_ = 0;              // frames held
    std::uint64_t pos_ = 0;     // read position in the buffer, 32.32
    std::uint64_t origin_ = 0;  // read position of frame 0 of the buffer, as position() counts it
    std::uint64_t target_ = kUnity;
    const Table* table_ = nullptr;
    const Table* fadeFrom_ = nullptr; // the table being blended out
    int fadeLeft_ = 0;
};

} // namespace audio
