#include "platform/audio/decoder.h"
#include "platform/audio/soundengine.h"

#include <QFile>
#include <mpg123.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace audio {
namespace {

// Consecutive reads that make no progress before a decoder gives up: a file that stops
// yielding samples ends the song instead of keeping the decoder thread busy.
constexpr int kMaxEmptyReads = 16;

class Mpg123Decoder final : public Decoder {
public:
    Mpg123Decoder(mpg123_handle* h, int fd, int rate, std::int64_t length)
        : h_(h), fd_(fd), rate_(rate), length_(length)
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

    long read(float* out, long frames) override
    {
        long got = 0;
        int empty = 0;
        while (got < frames && !done_) {
            size_t bytes = 0;
            const int rc = mpg123_read(h_, reinterpret_cast<unsigned char*>(out + got * 2),
                                       size_t(frames - got) * 2 * sizeof(float), &bytes);
            got += long(bytes / (2 * sizeof(float)));
            if (rc == MPG123_DONE || (rc != MPG123_OK && rc != MPG123_NEW_FORMAT && rc != MPG123_NEED_MORE)) {
                // The end, or damage the decoder cannot get past (a file cut short).
                done_ = true;
            } else if (bytes == 0 && ++empty >= kMaxEmptyReads) {
                done_ = true;
            }
        }
        return got;
    }

    bool seek(std::int64_t frame) override
    {
        frame = std::clamp<std::int64_t>(frame, 0, length_);
        done_ = false;
        return mpg123_seek(h_, off_t(frame), SEEK_SET) >= 0;
    }

private:
    mpg123_handle* h_;
    int fd_;
    int rate_;
    std::int64_t length_;
    bool done_ = false;
};

class SndfileDecoder final : public Decoder {
public:
    SndfileDecoder(SNDFILE* f, const SF_INFO& info) : f_(f), info_(info)
    {
        if (info_.channels != 2)
            scratch_.resize(size_t(kChunk) * size_t(info_.channels));
    }
    ~SndfileDecoder() override { sf_close(f_); }
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

private:
    static constexpr long kChunk = 1024;
    SNDFILE* f_;
    SF_INFO info_;
    std::vector<float> scratch_;
};

void initMpg123()
{
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

std::unique_ptr<Decoder> openMp3(int fd, int* error)
{
    initMpg123();
    int rc = MPG123_OK;
    mpg123_handle* h = mpg123_new(nullptr, &rc);
    if (!h) {
        ::close(fd);
        *error = ErrMemory;
        return nullptr;
    }
    // Quiet (no console messages), and gapless so the encoder's padding is not played.
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    // Always stereo float at the file's own rate: mono is doubled by the decoder.
    mpg123_format_none(h);
    const long* rates = nullptr;
    size_t nrates = 0;
    mpg123_rates(&rates, &nrates);
    for (size_t i = 0; i < nrates; ++i)
        mpg123_format(h, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);

    auto fail = [&](int code) -> std::unique_ptr<Decoder> {
        mpg123_close(h);
        mpg123_delete(h);
        ::close(fd);
        *error = code;
        return nullptr;
    };
    if (mpg123_open_fd(h, fd) != MPG123_OK)
        return fail(ErrFileFormat);
    // mpg123_open accepts anything; only a readable first frame makes it an MP3.
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_getformat(h, &rate, &channels, &encoding) != MPG123_OK || rate <= 0)
        return fail(ErrFileFormat);
    // From here on only this rate: frames of another rate later in the file (songs joined
    // together) are converted by the decoder instead of playing at the wrong speed.
    mpg123_format_none(h);
    mpg123_format(h, rate, MPG123_STEREO, MPG123_ENC_FLOAT_32);
    // The exact length comes from reading every frame header once.
    if (mpg123_scan(h) != MPG123_OK)
        return fail(ErrFileBad);
    const off_t length = mpg123_length(h);
    if (length <= 0)
        return fail(ErrFileFormat);
    if (mpg123_seek(h, 0, SEEK_SET) < 0)
        return fail(ErrFileBad);
    return std::make_unique<Mpg123Decoder>(h, fd, int(rate), std::int64_t(length));
}

std::unique_ptr<Decoder> openSndfile(int fd, int* error)
{
    SF_INFO info {};
    SNDFILE* f = sf_open_fd(fd, SFM_READ, &info, 1);
    if (!f) {
        *error = ErrFileFormat;
        return nullptr;
    }
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const bool wave = major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64
        || major == SF_FORMAT_AIFF;
    if (!wave || info.channels < 1 || info.samplerate <= 0 || info.frames <= 0) {
        sf_close(f);
        *error = ErrFileFormat;
        return nullptr;
    }
    return std::make_unique<SndfileDecoder>(f, info);
}

} // namespace

std::unique_ptr<Decoder> openDecoder(const QString& path, int* error)
{
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
    return riff ? openSndfile(fd, error) : openMp3(fd, error);
}

} // namespace audio
