// Varispeed: plays a stream of frames at a continuously variable speed.
//
// Each output frame is interpolated from the input frames around a fixed-point (32.32) read
// position with a Kaiser-windowed sinc kernel: 48 frames below 0.907x, 32 up to normal speed,
// 40 up to 1.25x and 32 faster (to 2.44x; past it the input is first halved, see below). The
// kernel is precomputed for 256 phases between two frames, and a position between two phases
// takes the linear blend of their coefficients.
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
//   from 8 kHz above it.
// Past the last table, at 2.44 source frames per output frame (a 48 kHz song at the top of fast
// forward, a 192 kHz song at any speed, a part of a joined song at several times the song's
// rate), the input is first halved, as often as it takes to bring the step to between 0.977
// and 1.953 halved frames per output frame, and the tables above then play the halved input.
// Each halving is a half-band filter that passes to 0.21 of its input's rate within 0.0001 dB
// and stops what it would fold back into hearing 94 dB down (from 0.268 of its rate on); past
// 1.25 the tables after it have 48 taps: -1 dB 4.2 kHz below the stopband's edge, -97 dB from
// it. What plays within hearing then passes to 12.7 kHz (just past 1.5625 halved frames per
// output frame) to 18.5 kHz (around one), and nothing above the output's band folds back into
// it: at 1.09 (a 192 kHz song at normal speed) to 16 kHz. Past 156 source frames per output
// frame (more than the engine ever takes: it plays at most 70, 16x a 192 kHz song) the last
// table plays the input as it is, and its top aliases. The halving keeps its own history of
// the input: at every step a caller gives the same history (kBefore frames) and gets the same
// positions and frame counts. Carrying on from a place played earlier (resume()), the halvings
// reach back further than kBefore: given historyFor() of the step, on the grid the earlier play
// halved on (kGrid), the output is what that play made there, bit for bit.
// Played, a stepped sweep of tones to 22 kHz leaves nothing within hearing above -67 dB at
// 0.75x and -64 dB at 1.25x, and -94 dB at 2.47x to 6x; tones to 20 kHz leave spurs below
// -96 dB; a two-tone of 1 kHz and 15 kHz plays with distortion and noise 107 to 117 dB below it
// (tests/platform/varispeed_test.cpp).
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
    // Input frames before the read position the kernel reaches back to (where the input is
    // halved first, the halving keeps the frames it reaches back to itself).
    static constexpr int kBefore = kTaps / 2 - 1;
    // And after it (the frame at the read position not counted; where the input is halved
    // first, wanted() asks for the frames the halving reaches ahead too).
    static constexpr int kAfter = kTaps / 2;
    // One source frame per output frame, in the 32.32 fixed point of step and position.
    static constexpr std::uint64_t kUnity = std::uint64_t(1) << 32;
    // A halved frame stands for every second input frame, counted from the first frame of the
    // history the varispeed started with (gridStart()); after k halvings every 2^k-th. Two starts
    // halve on the same frames where their first history frames lie a whole number of kGrid
    // apart (2^k for the most halvings).
    static constexpr int kGrid = 64;
    // The most history a resume() takes: historyFor() the longest step, and a grid's worth more
    // to start on the grid.
    static constexpr int kMostHistory = 6827;

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
    // Starts afresh to carry on from a place played earlier: the next `history` frames pushed
    // (kBefore to kMostHistory; silence pushed for those before what that play had) are the
    // frames just before it, and the read position lies `fraction` past the frame after them.
    // With historyFor() the step, beginning on the grid that play halved on, the output is what
    // that play made from there, bit for bit (up to the first historyFor() frames after that
    // play started or changed how often it halves).
    void resume(int history, std::uint32_t fraction);
    // Input frames before the read position that the kernel, through the halvings at `step`,
    // reaches back to.
    static int historyFor(std::uint64_t step);
    // The halvings' frame 0 (the first frame of the history the last start took), in frames
    // from position 0.
    std::int64_t gridStart() const { return -std::int64_t(before_); }
    // Where a history of at least `frames` frames before frame `place` begins on the grid that
    // began at frame `grid` (frames counted alike).
    static std::int64_t historyFrom(std::int64_t place, std::int64_t grid, int frames)
    {
        const std::int64_t from = place - frames;
        return from - ((from - grid) % kGrid + kGrid) % kGrid;
    }

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
    // them all; otherwise the last kAfter (more where the input is halved first) wait for the
    // frames after them.
    int pending() const;
    // The read position has not gone past the last frame pushed (a step longer than the
    // kernel's reach can take it there; the frames up to it are then still to push).
    bool caughtUp() const;
    // The kBefore frames just before the read position (interleaved), to carry on from after
    // frames were copied straight past the varispeed.
    void history(float* out) const;

private:
    struct Table;
    struct Level;
    int droppable() const;
    void compact();
    int renderWith(float* out, int frames, std::uint64_t endAt);
    void begin(int before, std::uint32_t fraction);
    const Table* tableFor(std::uint64_t step, bool halved = false) const;
    // The halved copies of the input (see the head of this file).
    std::uint64_t readPosition() const { return (origin_ << 32) + pos_; }
    std::int64_t sourceNeed(int depth, std::uint64_t last) const;
    std::uint64_t limitOf(int depth) const;
    void runAt(const Table* table, int depth, std::uint64_t step, int frames, float* out);
    void startLevels(int depth, bool reachBack = false);
    void startLevel(int level, std::int64_t first);
    void advanceLevels();
    bool halveInto(int level);
    void compactLevel(int level);

    int channels_;
    int capacity_;
    std::unique_ptr<float[]> buf_; // planar: channel c's frames start at buf_ + c * stride_
    int stride_;
    int fill_ = 0;              // frames held
    int before_ = kBefore;      // frames of history the last start took (before position 0)
    std::uint64_t pos_ = 0;     // read position in the buffer, 32.32
    std::uint64_t origin_ = 0;  // read position of frame 0 of the buffer, as position() counts it
    std::uint64_t target_ = kUnity;
    const Table* table_ = nullptr;
    const Table* fadeFrom_ = nullptr; // the table being blended out
    int fadeLeft_ = 0;
    int depth_ = 0;     // the halvings ahead of table_
    int fadeDepth_ = 0; // and ahead of fadeFrom_
    int live_ = 0;      // halvings kept up to date: the most either of them needs
    std::unique_ptr<Level[]> levels_; // levels_[k]: the input halved k times (k from 1)
    std::unique_ptr<float[]> levelBuf_;
};

} // namespace audio
