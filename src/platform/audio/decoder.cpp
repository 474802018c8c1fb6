#include "platform/audio/decoder.h"
#include "platform/audio/soundengine.h"
#include "platform/audio/varispeed.h"

#include <QFile>
#include <mpg123.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace audio {
namespace {

// Consecutive reads that make no progress before a decoder gives up: a file that stops
// yielding samples ends the song instead of keeping the decoder thread busy.
constexpr int kMaxEmptyReads = 16;

// The size of an open file now; -1 when it cannot be told.
std::int64_t sizeOf(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? std::int64_t(st.st_size) : -1;
}

// A file that reads to its end sooner than it should: shorter now than when it was opened (cut
// short while it played) or not readable any further.
EarlyEnd endedEarly(bool readFailed, int fd, std::int64_t openedSize)
{
    if (readFailed)
        return EarlyEnd::Unreadable;
    const std::int64_t now = sizeOf(fd);
    return now >= 0 && now < openedSize ? EarlyEnd::CutShort : EarlyEnd::None;
}

// Decoded frames a decoder holds at a time while it converts a stretch of another rate.
constexpr long kConvertChunk = 4096;

// The decoder's settings, the same wherever a file is counted or played, so every count is the
// decoder's: quiet (no console messages), gapless (the encoder's padding is not played), ID3v2
// tags passed over unread (a tag between two songs joined in one file costs no memory), and
// always stereo float at the rate of the frames themselves: mono is doubled by the decoder, and
// frames of another rate later in the file come at that rate.
void configure(mpg123_handle* h)
{
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS | MPG123_SKIP_ID3V2, 0);
    mpg123_format_none(h);
    const long* rates = nullptr;
    size_t nrates = 0;
    mpg123_rates(&rates, &nrates);
    for (size_t i = 0; i < nrates; ++i)
        mpg123_format(h, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);
}

// Source frames of a stretch at `from` Hz per frame at the song's `to` Hz, for the varispeed.
std::uint64_t conversionStep(int from, int to) { return Varispeed::stepOf(std::uint64_t(from), std::uint64_t(to)); }

// The frames a varispeed makes of `samples` source frames at `step`: one for each position
// 0, step, 2 step ... short of the last frame's end.
std::int64_t convertedFrames(std::int64_t samples, std::uint64_t step)
{
    const unsigned __int128 end = static_cast<unsigned __int128>(std::uint64_t(samples)) << 32;
    return std::int64_t((end + step - 1) / step);
}

// Songs of different rates joined in one file (tools that cut and join MP3 files do not encode
// them again) are played each at its own rate: the decoder gives the whole file at the rate of
// its first frame, converting the frames of every other rate. A run is one stretch of frames at
// one rate, as a scan of the file finds it.
struct RateRun {
    int rate = 0;
    int samplesPerFrame = 0;
    std::int64_t firstFrame = 0; // libmpg123's number of its first frame
    std::int64_t samples = 0;    // frames decoded at its own rate
    std::int64_t start = 0;      // frames at the song's rate before it
    std::int64_t frames = 0;     // frames it gives at the song's rate
};
// Written once by the scan, read by the decoder when it moves; empty until the scan has found
// more than one run. Beside them the length the scan found (-1 until it has).
struct RateRuns {
    std::mutex mutex;
    std::vector<RateRun> runs;
    std::atomic<std::int64_t> length {-1};
};

// A layer III frame header: its sample rate and the frame's length in bytes; 0 and 0 for bytes
// that are no such header.
struct FrameHead {
    int rate = 0;
    int bytes = 0;
};
FrameHead layer3Head(const unsigned char* h)
{
    static constexpr int kRates[4][3] = {
        {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    static constexpr int kMpeg1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static constexpr int kMpeg2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    const int version = (h[1] >> 3) & 3; // 3 MPEG 1, 2 MPEG 2, 0 MPEG 2.5
    const int bitrate = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || ((h[1] >> 1) & 3) != 1 || bitrate == 0
        || bitrate == 15 || rateIndex == 3)
        return {};
    const int rate = kRates[version][rateIndex];
    const int padding = (h[2] >> 1) & 1;
    const int bytes =
        version == 3 ? 144000 * kMpeg1[bitrate] / rate + padding : 72000 * kMpeg2[bitrate] / rate + padding;
    return {rate, bytes};
}

// The ID3v2 tags at the start of an MP3 file, which every reader of its frames passes over
// without reading them: where the frames begin, and whether there are more tags than any song
// file has. A real file has one or two (a tool's tag in front of another's), its cover art a few
// megabytes at most; a file of a million empty tags would hold whoever walks them for seconds.
constexpr int kMostLeadingTags = 16;
constexpr std::int64_t kMostLeadingTagBytes = std::int64_t(32) << 20;
struct LeadingTags {
    std::int64_t end = 0; // where the frames begin
    int count = 0;
    bool tooMany = false;
};
LeadingTags leadingTags(int fd, std::int64_t size)
{
    LeadingTags tags;
    unsigned char h[10];
    while (tags.end + 10 <= size && ::pread(fd, h, 10, tags.end) == 10 && std::memcmp(h, "ID3", 3) == 0) {
        // A header no tag has (a version or size byte out of range, a size past the end of the
        // file) is left to the decoder, which searches on from it for the first frame.
        if (h[3] == 0xFF || h[4] == 0xFF || ((h[6] | h[7] | h[8] | h[9]) & 0x80))
            break;
        const std::int64_t bytes = 10
            + (std::int64_t(h[6]) << 21 | std::int64_t(h[7]) << 14 | std::int64_t(h[8]) << 7 | std::int64_t(h[9]))
            + (h[3] >= 4 && (h[5] & 0x10) ? 10 : 0); // a footer
        if (tags.end + bytes > size)
            break;
        if (tags.count == kMostLeadingTags || tags.end + bytes > kMostLeadingTagBytes) {
            tags.tooMany = true;
            break;
        }
        tags.end += bytes;
        ++tags.count;
    }
    return tags;
}

// Why a file with too many tags before its sound is not played, for the log.
QString tooManyTags(const LeadingTags& tags)
{
    return tags.count == kMostLeadingTags
        ? QStringLiteral("it has more than %1 ID3v2 tags before its sound (no song file has)").arg(kMostLeadingTags)
        : QStringLiteral("its ID3v2 tags before its sound take more than %1 MB (no song file's do)")
              .arg(kMostLeadingTagBytes >> 20);
}

// An MP3 file's reads for libmpg123, from where its frames begin: the tags before them are never
// read, and libmpg123's offsets count from there. Reads at a place of its own, so a length scan
// reads the file through another descriptor of it without moving the decoder. A read that fails
// is remembered (libmpg123 itself ends the track alike at the end of the file and on a failed
// read); once `cancel` is set, every read fails.
struct Mp3File {
    int fd;
    std::int64_t start = 0; // where the frames begin in the file
    std::int64_t at = 0;    // the next read's place, from `start`
    const std::atomic<bool>* cancel = nullptr;
    bool failed = false;

    static mpg123_ssize_t read(void* self, void* buf, size_t n)
    {
        auto* f = static_cast<Mp3File*>(self);
        if (f->cancel && f->cancel->load(std::memory_order_relaxed))
            return -1;
        ssize_t got = 0;
        do {
            got = ::pread(f->fd, buf, n, off_t(f->start + f->at));
        } while (got < 0 && errno == EINTR);
        if (got < 0)
            f->failed = true;
        else
            f->at += got;
        return got;
    }
    static off_t seek(void* self, off_t offset, int whence)
    {
        auto* f = static_cast<Mp3File*>(self);
        std::int64_t base = 0;
        if (whence == SEEK_CUR) {
            base = f->at;
        } else if (whence == SEEK_END) {
            struct stat st {};
            if (::fstat(f->fd, &st) != 0)
                return -1;
            base = std::int64_t(st.st_size) - f->start;
        }
        if (base + offset < 0)
            return -1;
        return off_t(f->at = base + offset);
    }
    // Hands the file to libmpg123 from the start of its frames.
    bool open(mpg123_handle* h)
    {
        at = 0;
        return mpg123_replace_reader_handle(h, &Mp3File::read, &Mp3File::seek, nullptr) == MPG123_OK
            && mpg123_open_handle(h, this) == MPG123_OK;
    }
};

// Whether the layer III frames of an MP3 file, from `start` on, change their sample rate
// somewhere: a quick walk of the frame headers alone, which tells whether the decoder's own walk
// of the frames (that finds the runs it plays) is needed. A frame where the last one ended counts
// whatever its rate, as the decoder plays it: one lone frame of another rate is a run of its own.
// A stretch that is no frames (a tag between two songs, damage) is passed over to the next header
// that another header follows. Gives up (false) when `stop` is set.
bool severalRates(int fd, std::int64_t start, const std::atomic<bool>& stop)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    const std::int64_t size = st.st_size;
    std::vector<unsigned char> buf(std::size_t(1) << 16);
    std::int64_t bufAt = 0, bufLen = 0;
    auto head = [&](std::int64_t at) -> FrameHead {
        if (at < bufAt || at + 4 > bufAt + bufLen) {
            const ssize_t n = ::pread(fd, buf.data(), buf.size(), at);
            bufAt = at;
            bufLen = std::max<ssize_t>(n, 0);
            if (bufLen < 4)
                return {};
        }
        return layer3Head(buf.data() + (at - bufAt));
    };
    std::int64_t at = start;
    int first = 0;
    bool inStep = false; // the last frame's end is where this one starts
    for (std::uint32_t n = 0; at + 4 <= size; ++n) {
        if ((n & 0xFFFF) == 0 && stop.load(std::memory_order_relaxed))
            return false;
        const FrameHead h = head(at);
        if (h.bytes <= 0 || (!inStep && head(at + h.bytes).bytes <= 0)) {
            inStep = false;
            ++at;
            continue;
        }
        if (first == 0)
            first = h.rate;
        else if (h.rate != first)
            return true;
        inStep = true;
        at += h.bytes;
    }
    return false;
}

// Finds an MP3 file's exact length on a thread of its own, reading the file through its own
// descriptor so the decoder's position is left alone. The reads stop as soon as the scan is
// no longer wanted. In a file of songs of different rates it also finds where each rate's run
// of frames lies, for the decoder's moves.
class Mpg123LengthScan final : public LengthScan {
public:
    Mpg123LengthScan(int fd, std::int64_t start, int rate, std::shared_ptr<RateRuns> runs,
                     std::function<void(std::int64_t)> done)
        : file_ {fd, start, 0, &cancel_}, rate_(rate), runs_(std::move(runs))
    {
        thread_ = std::thread([this, done = std::move(done)] { run(done); });
    }
    ~Mpg123LengthScan() override
    {
        cancel_.store(true);
        thread_.join();
        ::close(file_.fd);
    }

    bool wait(std::chrono::milliseconds most) override
    {
        std::unique_lock lock(mutex_);
        return finishedCv_.wait_for(lock, most, [this] { return finished_; });
    }

private:
    // A handle of the decoder's settings reading the file from its start; null when it cannot.
    mpg123_handle* openFile()
    {
        mpg123_handle* h = mpg123_new(nullptr, nullptr);
        if (!h)
            return nullptr;
        configure(h);
        if (!file_.open(h)) {
            mpg123_delete(h);
            return nullptr;
        }
        return h;
    }
    static void closeFile(mpg123_handle* h)
    {
        mpg123_close(h);
        mpg123_delete(h);
    }

    // The runs of frames at each rate, frame by frame without decoding; empty when it cannot.
    std::vector<RateRun> findRuns()
    {
        std::vector<RateRun> runs;
        mpg123_handle* h = openFile();
        if (!h)
            return runs;
        for (int rc; (rc = mpg123_framebyframe_next(h)) == MPG123_OK || rc == MPG123_NEW_FORMAT;) {
            if (cancel_.load(std::memory_order_relaxed)) {
                runs.clear();
                break;
            }
            mpg123_frameinfo info {};
            if (mpg123_info(h, &info) != MPG123_OK)
                continue;
            const int spf = mpg123_spf(h);
            if (runs.empty() || runs.back().rate != int(info.rate)) {
                RateRun run;
                run.rate = int(info.rate);
                run.samplesPerFrame = spf;
                run.firstFrame = mpg123_tellframe(h);
                runs.push_back(run);
            }
            runs.back().samples += spf;
        }
        closeFile(h);
        return runs;
    }

    void run(const std::function<void(std::int64_t)>& done)
    {
        pthread_setname_np(pthread_self(), "qn-length");
        std::int64_t result = -1;
        if (mpg123_handle* h = openFile()) {
            if (mpg123_scan(h) == MPG123_OK && !cancel_.load()) {
                const off_t n = mpg123_length(h);
                result = n >= 0 ? std::int64_t(n) : -1;
            }
            closeFile(h);
        }
        // libmpg123 counts each frame at its own rate: in a file of several rates the count is
        // taken apart by runs and every run of another rate counted as converted.
        if (result > 0 && !cancel_.load() && severalRates(file_.fd, file_.start, cancel_)) {
            std::vector<RateRun> runs = findRuns();
            if (runs.size() > 1 && runs.front().rate == rate_) {
                // The encoder's delay and padding the decoder leaves out lie in the first run.
                std::int64_t later = 0;
                for (std::size_t i = 1; i < runs.size(); ++i)
                    later += runs[i].samples;
                runs.front().samples = std::max<std::int64_t>(0, result - later);
                std::int64_t at = 0;
                for (RateRun& run : runs) {
                    run.start = at;
                    run.frames = run.rate == rate_ ? run.samples
                                                   : convertedFrames(run.samples, conversionStep(run.rate, rate_));
                    at += run.frames;
                }
                result = at;
                std::lock_guard lock(runs_->mutex);
                runs_->runs = std::move(runs);
            }
        }
        if (!cancel_.load()) {
            runs_->length.store(result, std::memory_order_relaxed);
            if (done)
                done(result);
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        finishedCv_.notify_all();
    }

    std::atomic<bool> cancel_ {false};
    Mp3File file_; // its own descriptor of the file
    int rate_;     // the song's: that of its first frame
    std::shared_ptr<RateRuns> runs_;
    std::mutex mutex_;
    std::condition_variable finishedCv_;
    bool finished_ = false;
    std::thread thread_;
};

class Mpg123Decoder final : public Decoder {
public:
    Mpg123Decoder(mpg123_handle* h, std::unique_ptr<Mp3File> file, int rate, std::int64_t length, bool exact)
        : h_(h), file_(std::move(file)), fd_(file_->fd), rate_(rate), length_(length), exact_(exact),
          openedSize_(sizeOf(fd_)), current_(rate)
    {
    }
    ~Mpg123Decoder() override
    {
        mpg123_close(h_);
        mpg123_delete(h_);
        ::close(fd_);
    }
    int rate() const override { return rate_; }
    std::int64_t length() const override { return length_; }

    std::unique_ptr<LengthScan> scanLength(std::function<void(std::int64_t)> done) override
    {
        if (exact_)
            return nullptr;
        const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return nullptr;
        return std::make_unique<Mpg123LengthScan>(fd, file_->start, rate_, runs_, std::move(done));
    }

    long read(float* out, long frames) override
    {
        long got = 0;
        int empty = 0;
        while (got < frames && !done_) {
            if (converting_) {
                const long n = convert(out + got * 2, frames - got);
                got += n;
                if (n > 0)
                    empty = 0;
                else if (runEnded_)
                    nextRun();
                else if (!decodeForConversion() && ++empty >= kMaxEmptyReads)
                    endRun(0, true);
                continue;
            }
            size_t bytes = 0;
            const int rc = mpg123_read(h_, reinterpret_cast<unsigned char*>(out + got * 2),
                                       size_t(frames - got) * 2 * sizeof(float), &bytes);
            got += long(bytes / (2 * sizeof(float)));
            if (rc == MPG123_NEW_FORMAT) {
                const int rate = formatRate();
                if (rate > 0 && rate != current_)
                    startRun(rate, 0);
            } else if (rc == MPG123_DONE || (rc != MPG123_OK && rc != MPG123_NEED_MORE)) {
                // The end, or damage the decoder cannot get past (a file cut short, or written
                // over while it played).
                done_ = true;
                undecodable_ = rc != MPG123_DONE;
            } else if (bytes == 0 && ++empty >= kMaxEmptyReads) {
                done_ = undecodable_ = true;
            }
        }
        given_ += got;
        return got;
    }

    EarlyEnd earlyEnd() const override
    {
        const EarlyEnd why = endedEarly(file_->failed, fd_, openedSize_);
        if (why != EarlyEnd::None || !undecodable_)
            return why;
        // Damage at the very end of a song (a last frame cut off, bytes of no tag after it) ends
        // the decoding where the song ends: that is no early end.
        const std::int64_t scanned = runs_->length.load(std::memory_order_relaxed);
        return given_ < (scanned > 0 ? scanned : length_) ? EarlyEnd::Undecodable : EarlyEnd::None;
    }

    bool seek(std::int64_t frame) override
    {
        // No clamp at the top: the length may be an estimate, and a move past the real end
        // simply ends the song.
        frame = std::max<std::int64_t>(frame, 0);
        done_ = undecodable_ = false;
        given_ = frame;
        file_->failed = false;
        converting_ = runEnded_ = false;
        std::vector<RateRun> runs;
        {
            std::lock_guard lock(runs_->mutex);
            runs = runs_->runs;
        }
        if (runs.empty() && !severalRates_) {
            // A file of one rate (or one whose other rates the scan has not found yet).
            if (mpg123_seek(h_, off_t(frame), SEEK_SET) >= 0)
                return true;
            done_ = true;
            return false;
        }
        std::size_t k = 0;
        while (k + 1 < runs.size() && frame >= runs[k + 1].start)
            ++k;
        if (k == 0) {
            // libmpg123 counts frames to samples at the rate of the last frame it read: it is
            // first brought back to the first frame, whose run is at the song's rate.
            current_ = rate_;
            if (mpg123_seek_frame(h_, 0, SEEK_SET) >= 0 && mpg123_seek(h_, off_t(frame), SEEK_SET) >= 0)
                return true;
            done_ = true;
            return false;
        }
        // Within a later run: to the frame that holds the place, then the samples before it in
        // that frame are decoded and dropped.
        const RateRun& run = runs[k];
        const std::int64_t into = std::min(frame - run.start, run.frames);
        const std::uint64_t step = run.rate == rate_ ? Varispeed::kUnity : conversionStep(run.rate, rate_);
        const unsigned __int128 source = static_cast<unsigned __int128>(std::uint64_t(into)) * step;
        const std::int64_t sample = std::int64_t(source >> 32);
        const std::int64_t spf = std::max(1, run.samplesPerFrame);
        if (mpg123_seek_frame(h_, off_t(run.firstFrame + sample / spf), SEEK_SET) < 0) {
            done_ = true;
            return false;
        }
        current_ = run.rate;
        for (std::int64_t skip = sample % spf; skip > 0;) {
            size_t bytes = 0;
            const std::size_t most = std::size_t(std::min<std::int64_t>(skip, kConvertChunk));
            const int rc =
                mpg123_read(h_, reinterpret_cast<unsigned char*>(scratch()), most * 2 * sizeof(float), &bytes);
            skip -= std::int64_t(bytes / (2 * sizeof(float)));
            if (rc != MPG123_OK && rc != MPG123_NEW_FORMAT)
                break;
        }
        if (run.rate != rate_)
            startRun(run.rate, std::uint32_t(source));
        return true;
    }

private:
    int formatRate()
    {
        long rate = 0;
        int channels = 0, encoding = 0;
        return mpg123_getformat(h_, &rate, &channels, &encoding) == MPG123_OK ? int(rate) : 0;
    }

    float* scratch()
    {
        if (!scratch_)
            scratch_.reset(new float[std::size_t(kConvertChunk) * 2]);
        return scratch_.get();
    }

    // Frames of another rate begin (or a move lands among them, `fraction` of a frame past the
    // next frame decoded): they are converted to the song's rate from here to their run's end.
    void startRun(int rate, std::uint32_t fraction)
    {
        current_ = rate;
        if (rate == rate_) {
            converting_ = false;
            return;
        }
        severalRates_ = true;
        if (!varispeed_)
            varispeed_ = std::make_unique<Varispeed>(2, int(kConvertChunk));
        varispeed_->setStep(conversionStep(rate, rate_));
        varispeed_->restart(nullptr, 0, fraction);
        runIn_ = 0;
        runEnded_ = false;
        converting_ = true;
    }

    // The run being converted has had its last frame: `next` is the rate after it (0: the file
    // ended, on damage the decoder could not get past where `failed`). The varispeed is given
    // silence to reach past it, and plays to its end.
    void endRun(int next, bool failed = false)
    {
        runEnded_ = true;
        nextRate_ = next;
        undecodable_ = failed;
    }

    void nextRun()
    {
        converting_ = runEnded_ = false;
        if (nextRate_ == 0)
            done_ = true;
        else
            startRun(nextRate_, 0);
    }

    // Converted frames into out, as many as what was decoded allows; 0 when it needs more (or
    // the run has ended and all of it is out).
    long convert(float* out, long frames)
    {
        Varispeed& vs = *varispeed_;
        const int most = int(std::min<long>(frames, kConvertChunk));
        if (!runEnded_)
            return vs.render(out, most);
        vs.pushSilence(vs.wanted(most));
        return vs.render(out, most, std::uint64_t(runIn_) << 32);
    }

    // Decodes the next frames of the run being converted into the varispeed; false when none came.
    bool decodeForConversion()
    {
        Varispeed& vs = *varispeed_;
        const long room = std::min<long>(vs.room(), kConvertChunk);
        if (room <= 0)
            return false;
        const long want = std::clamp<long>(vs.wanted(int(kConvertChunk)), 1, room);
        size_t bytes = 0;
        const int rc =
            mpg123_read(h_, reinterpret_cast<unsigned char*>(scratch()), size_t(want) * 2 * sizeof(float), &bytes);
        const int n = int(bytes / (2 * sizeof(float)));
        vs.push(scratch_.get(), n);
        runIn_ += n;
        if (rc == MPG123_NEW_FORMAT) {
            const int rate = formatRate();
            if (rate > 0 && rate != current_)
                endRun(rate);
        } else if (rc == MPG123_DONE || (rc != MPG123_OK && rc != MPG123_NEED_MORE)) {
            endRun(0, rc != MPG123_DONE);
        }
        return n > 0 || runEnded_;
    }

    mpg123_handle* h_;
    std::unique_ptr<Mp3File> file_;
    int fd_;
    int rate_; // the song's: that of its first frame
    std::int64_t length_;
    bool exact_;
    std::int64_t openedSize_;
    bool done_ = false;
    bool undecodable_ = false; // the decoding ended on damage, not at the end of the file
    std::int64_t given_ = 0;   // frames given since the start of the song
    std::shared_ptr<RateRuns> runs_ = std::make_shared<RateRuns>();
    // Where the decoder is among the rates: the rate of the frames it reads now, and while they
    // are of another rate than the song's, their conversion.
    int current_;
    bool severalRates_ = false; // frames of another rate were met
    bool converting_ = false;
    bool runEnded_ = false;
    int nextRate_ = 0;
    std::int64_t runIn_ = 0; // frames of the run given to the varispeed since its position 0
    std::unique_ptr<Varispeed> varispeed_;
    std::unique_ptr<float[]> scratch_;
};

class SndfileDecoder final : public Decoder {
public:
    SndfileDecoder(SNDFILE* f, int fd, const SF_INFO& info) : f_(f), fd_(fd), openedSize_(sizeOf(fd)), info_(info)
    {
        if (info_.channels != 2)
            scratch_.resize(size_t(kChunk) * size_t(info_.channels));
    }
    ~SndfileDecoder() override
    {
        sf_close(f_);
        ::close(fd_);
    }
    int rate() const override { return info_.samplerate; }
    std::int64_t length() const override { return info_.frames; }

    long read(float* out, long frames) override
    {
        if (info_.channels == 2)
            return long(sf_readf_float(f_, out, frames));
        // Mono is played on both sides; of more channels the first two are played.
        long got = 0;
        const int ch = info_.channels;
        while (got < frames) {
            const long want = std::min<long>(kChunk, frames - got);
            const long n = long(sf_readf_float(f_, scratch_.data(), want));
            for (long i = 0; i < n; ++i) {
                out[(got + i) * 2] = scratch_[size_t(i * ch)];
                out[(got + i) * 2 + 1] = scratch_[size_t(i * ch + (ch > 1 ? 1 : 0))];
            }
            got += n;
            if (n < want)
                break;
        }
        return got;
    }

    bool seek(std::int64_t frame) override
    {
        frame = std::clamp<std::int64_t>(frame, 0, info_.frames);
        return sf_seek(f_, sf_count_t(frame), SEEK_SET) >= 0;
    }

    EarlyEnd earlyEnd() const override { return endedEarly(sf_error(f_) != SF_ERR_NO_ERROR, fd_, openedSize_); }

private:
    static constexpr long kChunk = 1024;
    SNDFILE* f_;
    int fd_;
    std::int64_t openedSize_;
    SF_INFO info_;
    std::vector<float> scratch_;
};

void initMpg123()
{
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

std::unique_ptr<Decoder> openMp3(int fd, int* error, QString* why)
{
    initMpg123();
    int rc = MPG123_OK;
    mpg123_handle* h = mpg123_new(nullptr, &rc);
    if (!h) {
        ::close(fd);
        *error = ErrMemory;
        return nullptr;
    }
    configure(h);

    auto fail = [&](int code) -> std::unique_ptr<Decoder> {
        mpg123_close(h);
        mpg123_delete(h);
        ::close(fd);
        *error = code;
        return nullptr;
    };
    const LeadingTags tags = leadingTags(fd, sizeOf(fd));
    if (tags.tooMany) {
        *why = tooManyTags(tags);
        return fail(ErrFileFormat);
    }
    auto file = std::make_unique<Mp3File>(Mp3File {fd, tags.end});
    if (!file->open(h))
        return fail(ErrFileFormat);
    // mpg123_open accepts anything; only a readable first frame makes it an MP3.
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_getformat(h, &rate, &channels, &encoding) != MPG123_OK || rate <= 0)
        return fail(ErrFileFormat);
    // The length: exact at once where the first frame states it and the file's size agrees;
    // otherwise libmpg123's estimate from the size, which a scan of every frame header settles
    // later (Decoder::scanLength).
    const Mp3HeaderFrame header = readMp3HeaderFrame(fd);
    const off_t estimate = mpg123_length(h);
    std::int64_t length = estimate;
    const bool exact = header.found && header.sizeAgrees && header.frames > 0;
    if (exact && (mpg123_framelength(h) != off_t(header.frames) || estimate <= 0))
        length = header.frames * header.samplesPerFrame; // a header libmpg123 does not read (VBRI)
    if (length <= 0)
        return fail(ErrFileFormat);
    if (mpg123_seek(h, 0, SEEK_SET) < 0)
        return fail(ErrFileBad);
    return std::make_unique<Mpg123Decoder>(h, std::move(file), int(rate), length, exact);
}

std::uint32_t bigEndian32(const unsigned char* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

std::uint32_t littleEndian32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// The sample rate the format chunk of a WAV file claims, read straight from its header for the
// log when the file is refused (libsndfile refuses some rates without telling them); 0 when
// there is none.
std::int64_t wavHeaderRate(int fd)
{
    unsigned char buf[4096];
    const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    if (n < 12 || std::memcmp(buf + 8, "WAVE", 4) != 0)
        return 0;
    const bool big = std::memcmp(buf, "RIFX", 4) == 0;
    auto word = [big](const unsigned char* p) { return big ? bigEndian32(p) : littleEndian32(p); };
    for (std::int64_t at = 12; at + 8 <= n;) {
        const std::int64_t size = word(buf + at + 4);
        if (std::memcmp(buf + at, "fmt ", 4) == 0)
            return at + 16 <= n ? std::int64_t(word(buf + at + 12)) : 0;
        at += 8 + size + (size & 1);
    }
    return 0;
}

QString rateRefused(std::int64_t rate)
{
    return QStringLiteral("its sample rate of %1 Hz is not played (songs of %2 to %3 Hz are)")
        .arg(rate)
        .arg(kLowestRate)
        .arg(kHighestRate);
}

bool playableRate(std::int64_t rate) { return rate >= kLowestRate && rate <= kHighestRate; }

std::unique_ptr<Decoder> openSndfile(int fd, int* error, QString* why)
{
    const std::int64_t headerRate = wavHeaderRate(fd);
    // libsndfile takes the descriptor (and closes it, also when it fails); the decoder keeps one
    // of its own to look at the file.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    SF_INFO info {};
    SNDFILE* f = sf_open_fd(fd, SFM_READ, &info, 1);
    if (!f || own < 0) {
        if (headerRate > 0 && !playableRate(headerRate))
            *why = rateRefused(headerRate);
        if (f)
            sf_close(f);
        if (own >= 0)
            ::close(own);
        *error = ErrFileFormat;
        return nullptr;
    }
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const bool wave = major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64
        || major == SF_FORMAT_AIFF;
    if (!wave || info.channels < 1 || info.samplerate <= 0 || info.frames <= 0) {
        sf_close(f);
        ::close(own);
        *error = ErrFileFormat;
        return nullptr;
    }
    return std::make_unique<SndfileDecoder>(f, own, info);
}

} // namespace

std::unique_ptr<Decoder> openDecoder(const QString& path, int* error, QString* why)
{
    QString unused;
    if (!why)
        why = &unused;
    why->clear();
    *error = ErrNone;
    if (path.isEmpty()) {
        *error = ErrFileNotFound;
        return nullptr;
    }
    const QByteArray name = QFile::encodeName(path);
    // Not blocking: a named pipe must not hang the open waiting for a writer.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) ? ErrFileNotFound : ErrFileBad;
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = ErrFileNotFound; // a folder, a pipe or a device is no song file
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (st.st_size == 0) {
        ::close(fd);
        *error = ErrFileFormat;
        return nullptr;
    }
    // The first bytes tell a WAV or AIFF file from an MP3.
    char magic[4] = {};
    const ssize_t n = ::pread(fd, magic, sizeof magic, 0);
    if (n < 0) {
        ::close(fd);
        *error = ErrFileBad;
        return nullptr;
    }
    const bool riff = n == 4
        && (std::memcmp(magic, "RIFF", 4) == 0 || std::memcmp(magic, "RIFX", 4) == 0
            || std::memcmp(magic, "RF64", 4) == 0 || std::memcmp(magic, "FORM", 4) == 0);
    auto decoder = riff ? openSndfile(fd, error, why) : openMp3(fd, error, why);
    // A rate far outside what the engine plays (a damaged header: 1 Hz, 16 MHz) would ask the
    // varispeed for steps it is not made for, and the decoder for rings it cannot fill in time.
    if (decoder && !playableRate(decoder->rate())) {
        *why = rateRefused(decoder->rate());
        *error = ErrFileFormat;
        return nullptr;
    }
    return decoder;
}

namespace {

// Bytes at the end of the file that are tags, not audio: an ID3v1 tag and an APE tag before it.
std::int64_t trailingTagBytes(int fd, std::int64_t size)
{
    std::int64_t end = size;
    unsigned char buf[32];
    if (end >= 128 && ::pread(fd, buf, 3, end - 128) == 3 && std::memcmp(buf, "TAG", 3) == 0)
        end -= 128;
    if (end >= 32 && ::pread(fd, buf, 32, end - 32) == 32 && std::memcmp(buf, "APETAGEX", 8) == 0) {
        const std::uint32_t tagSize = std::uint32_t(buf[12]) | std::uint32_t(buf[13]) << 8
                                      | std::uint32_t(buf[14]) << 16 | std::uint32_t(buf[15]) << 24;
        const bool hasHeader = (buf[23] & 0x80) != 0;
        end -= std::min<std::int64_t>(end, std::int64_t(tagSize) + (hasHeader ? 32 : 0));
    }
    return size - end;
}

} // namespace

Mp3HeaderFrame readMp3HeaderFrame(int fd)
{
    Mp3HeaderFrame result;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return result;
    const std::int64_t size = st.st_size;

    const LeadingTags tags = leadingTags(fd, size);
    if (tags.tooMany)
        return result;
    const std::int64_t at = tags.end;

    // The first layer III frame header within a few kilobytes.
    unsigned char buf[4096];
    const ssize_t n = at < size ? ::pread(fd, buf, sizeof buf, at) : 0;
    for (ssize_t i = 0; i + 4 <= n; ++i) {
        const unsigned char* h = buf + i;
        if (layer3Head(h).bytes <= 0)
            continue;
        const bool mpeg1 = ((h[1] >> 3) & 3) == 3;
        const bool mono = (h[3] >> 6) == 3;
        const int sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
        const std::int64_t frameStart = at + i;
        std::int64_t bytes = -1;

        const ssize_t xing = i + 4 + sideInfo;
        if (xing + 16 <= n && (std::memcmp(buf + xing, "Xing", 4) == 0 || std::memcmp(buf + xing, "Info", 4) == 0)) {
            const std::uint32_t flags = bigEndian32(buf + xing + 4);
            ssize_t field = xing + 8;
            if (flags & 1) {
                result.frames = bigEndian32(buf + field);
                result.found = result.frames > 0;
                result.variable = std::memcmp(buf + xing, "Xing", 4) == 0;
                field += 4;
            }
            if ((flags & 2) && field + 4 <= n)
                bytes = bigEndian32(buf + field);
        }
        const ssize_t vbri = i + 4 + 32;
        if (!result.found && vbri + 18 <= n && std::memcmp(buf + vbri, "VBRI", 4) == 0) {
            bytes = bigEndian32(buf + vbri + 10);
            result.frames = bigEndian32(buf + vbri + 14);
            result.found = result.frames > 0;
            result.variable = true;
        }
        if (!result.found)
            return result;
        result.samplesPerFrame = mpeg1 ? 1152 : 576;
        // The header counts the bytes from its own frame to the end of the audio (some encoders
        // count the tags before or after the audio too). A file whose size tells otherwise by
        // more than two of the largest frames at its rate (another song joined after it, or a
        // download cut short) has its frames counted instead: every one of them is played.
        const std::int64_t trailing = trailingTagBytes(fd, size);
        const std::int64_t audio = size - frameStart - trailing;
        const std::int64_t slack = 2 * (mpeg1 ? 144000 * 320 : 72000 * 160) / layer3Head(h).rate + 2;
        result.sizeAgrees = bytes < 0;
        for (const std::int64_t counted : {audio, audio + frameStart, audio + trailing, size})
            result.sizeAgrees = result.sizeAgrees || std::llabs(counted - bytes) <= slack;
        return result;
    }
    return result;
}

Mp3Frames readMp3Frames(int fd)
{
    Mp3Frames result;
    initMpg123();
    mpg123_handle* h = mpg123_new(nullptr, nullptr);
    if (!h)
        return result;
    // An Info frame is counted as a frame like any other: its count is taken below, and only
    // where the file's size agrees with it, as a deck takes it. The tags before the frames are
    // passed over unread, and a file with more of them than a deck plays has no frames here.
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_IGNORE_INFOFRAME | MPG123_SKIP_ID3V2, 0);
    long rate = 0;
    int channels = 0, encoding = 0;
    mpg123_frameinfo info {};
    const LeadingTags tags = leadingTags(fd, sizeOf(fd));
    Mp3File file {fd, tags.end};
    if (!tags.tooMany && file.open(h) && mpg123_getformat(h, &rate, &channels, &encoding) == MPG123_OK
        && mpg123_info(h, &info) == MPG123_OK && rate > 0) {
        result.version = info.version == MPG123_1_0   ? 1
                         : info.version == MPG123_2_0 ? 2
                         : info.version == MPG123_2_5 ? 25
                                                      : 0;
        result.layer = info.layer;
        result.rate = int(rate);
        result.samplesPerFrame = mpg123_spf(h);
        // Nor is a count of more frames than the file could hold at the lowest bit rate.
        struct stat st {};
        const int lowestBitrate = info.version == MPG123_1_0 ? 32000 : 8000;
        const std::int64_t smallest = std::max(1, result.samplesPerFrame / 8 * lowestBitrate / result.rate);
        const std::int64_t most = ::fstat(fd, &st) == 0 ? st.st_size / smallest + 1 : 0;
        const Mp3HeaderFrame header = readMp3HeaderFrame(fd);
        result.frames = header.found && header.sizeAgrees && header.frames <= most
            ? header.frames
            : std::max<std::int64_t>(0, mpg123_framelength(h));
    }
    mpg123_close(h); // leaves fd open
    mpg123_delete(h);
    return result;
}

} // namespace audio
