// Varispeed: plays a stream of frames at a continuously variable speed.
//
// Each output frame is interpolated from the 32 input frames around a fixed-point (32.32) read
// position with a Kaiser-windowed sinc kernel. The kernel is precomputed for 256 phases between
// two frames, and a position between two phases takes the linear blend of their coefficients.
//
// The kernel's cutoff follows the speed, so nothing above the output's Nyquist frequency folds
// back into the audible band: up to normal speed it passes 20 kHz of the source; above it one
// table per step of 1.25x (16.4 kHz up to 1.25x, then lower) keeps the played top near
// 20 kHz. Past the last table, at 2.44 source frames per output frame, the highest table is used
// and the top aliases.
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
    static constexpr int kTaps = 32;
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
    // The kBefore frames just before the read position (interleaved), to carry on from after
    // frames were copied straight past the varispeed.
    void history(float* out) const;

private:
    struct Table;
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
