#include "core/clsMP3.h"

#include "core/genres.h"
#include "platform/audio/decoder.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int TagSize = 128;
constexpr int TitleWidth = 30, ArtistWidth = 30, AlbumWidth = 30, YearWidth = 4, CommentWidth = 30;
constexpr std::int64_t HeaderWindow = 50000;

// Bytes 0x80..0x9F of Windows-1252; the five bytes the code page leaves undefined map to the
// C1 control of the same value, so every byte survives a read and a write unchanged.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

QString fromCp1252(const QByteArray& bytes)
{
    QString s(bytes.size(), Qt::Uninitialized);
    QChar* out = s.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out[i] = (b >= 0x80 && b < 0xA0) ? QChar(kCp1252High[b - 0x80]) : QChar(b);
    }
    return s;
}

// The Windows-1252 byte of a character; -1 when the code page has none.
int cp1252Byte(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return int(c);
    for (int k = 0; k < 32; ++k) {
        if (kCp1252High[k] == c)
            return 0x80 + k;
    }
    return -1;
}

// The characters of a text as the tag stores them: composed first, so a letter typed or named
// as a plain letter and an accent ("e" + U+0301) is the one Windows-1252 letter ("é").
QList<uint> tagCharacters(const QString& text)
{
    return text.normalized(QString::NormalizationForm_C).toUcs4();
}

// One byte per character; characters the code page cannot hold become '?'.
QByteArray toCp1252(const QString& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const uint c : tagCharacters(text)) {
        const int b = cp1252Byte(c);
        out.append(b < 0 ? '?' : static_cast<char>(b));
    }
    return out;
}

// The characters of a text that Windows-1252 cannot hold, each once, in the order met.
QString notInCp1252(const QString& text)
{
    QList<uint> missing;
    for (const uint c : tagCharacters(text)) {
        if (cp1252Byte(c) < 0 && !missing.contains(c))
            missing.append(c);
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(missing.constData()), missing.size());
}

// The bytes that end a field with the start of a multi-byte UTF-8 character whose other bytes
// the field's width cut off; 0 when the field ends with a whole character.
qsizetype cutUtf8Tail(const QByteArray& b)
{
    const qsizetype n = b.size();
    qsizetype k = 0; // continuation bytes at the end
    while (k < 3 && k < n && (static_cast<unsigned char>(b[n - 1 - k]) & 0xC0) == 0x80)
        ++k;
    if (k == n)
        return 0;
    const auto lead = static_cast<unsigned char>(b[n - 1 - k]);
    const int need = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    return need > k + 1 ? k + 1 : 0;
}

// The text of a tag field. A field ends at its first NUL: taggers pad with NULs, and a comment
// may keep a track number behind one. Many taggers write UTF-8 into the fields, so a field
// that is valid UTF-8 with at least one multi-byte character is read as UTF-8 (a character cut
// in two by the field's width is dropped); anything else is Windows-1252, byte for byte.
QString fromTagBytes(const QByteArray& field)
{
    const qsizetype nul = field.indexOf('\0');
    const QByteArray bytes = nul >= 0 ? field.left(nul) : field;
    const bool multiByte = std::any_of(bytes.begin(), bytes.end(), [](char c) { return c & 0x80; });
    if (multiByte) {
        const QByteArray whole = nul >= 0 ? bytes : bytes.left(bytes.size() - cutUtf8Tail(bytes));
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = utf8(whole);
        // Text is UTF-8 only with a whole multi-byte character in it: a Windows-1252 letter
        // at the very end of a full field is no cut character.
        if (!utf8.hasError() && text.size() < whole.size())
            return text;
    }
    return fromCp1252(bytes);
}

QString trimSpaces(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s[b] == QLatin1Char(' '))
        ++b;
    while (e > b && s[e - 1] == QLatin1Char(' '))
        --e;
    return s.mid(b, e - b);
}

QByteArray blanks(int width) { return QByteArray(width, ' '); }

QByteArray encodedName(const QString& path) { return QFile::encodeName(path); }

// Opens a regular file without blocking on FIFOs or devices that happen to carry a song's name.
int openRegular(const QByteArray& path, int flags)
{
    const int fd = ::open(path.constData(), flags | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Moves exactly n bytes at offset with pread or pwrite, going on after interruptions and
// partial transfers; false on a short transfer or an error.
template <class Buffer, class Transfer>
bool transferAt(int fd, Buffer* buf, std::size_t n, std::int64_t offset, Transfer transfer)
{
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = transfer(fd, buf + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

bool readAt(int fd, void* buf, std::size_t n, std::int64_t offset)
{
    return transferAt(fd, static_cast<char*>(buf), n, offset, ::pread);
}

bool writeAt(int fd, const void* buf, std::size_t n, std::int64_t offset)
{
    return transferAt(fd, static_cast<const char*>(buf), n, offset, ::pwrite);
}

// Where the audio begins: after any ID3v2 tags at the start of the file (cover art often makes
// them larger than the header search window); 0 when the file has none.
std::int64_t audioStart(int fd, std::int64_t length)
{
    std::int64_t at = 0;
    for (int tags = 0; tags < 8; ++tags) {
        unsigned char h[10];
        if (length - at < 10 || !readAt(fd, h, sizeof h, at))
            break;
        if (h[0] != 'I' || h[1] != 'D' || h[2] != '3' || h[3] == 0xFF || h[4] == 0xFF)
            break;
        if ((h[6] | h[7] | h[8] | h[9]) & 0x80)
            break;
        std::int64_t size = (std::int64_t(h[6]) << 21) | (std::int64_t(h[7]) << 14) | (std::int64_t(h[8]) << 7) | h[9];
        size += 10;
        if (h[3] >= 4 && (h[5] & 0x10))
            size += 10; // footer
        if (at + size >= length)
            break; // a size that runs past the end is no tag we can trust
        at += size;
    }
    return at;
}

constexpr int kBitrates[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};

// The length in bytes of the MPEG-2 or MPEG-2.5 Layer III frame that header h starts; 0 when h
// starts no such frame.
int lowRateFrameLength(const unsigned char* h)
{
    static constexpr int kLowRateKbps[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static constexpr int kLowRates[2][3] = {{11025, 12000, 8000}, {22050, 24000, 16000}}; // 2.5, 2
    const int version = (h[1] >> 3) & 3; // 0 MPEG-2.5, 2 MPEG-2
    const int kbps = kLowRateKbps[h[2] >> 4];
    const int rate = (h[2] >> 2) & 3;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || (version != 0 && version != 2) || ((h[1] >> 1) & 3) != 1
        || kbps == 0 || rate == 3)
        return 0;
    return 72000 * kbps / kLowRates[version / 2][rate] + ((h[2] >> 1) & 1);
}

// The genre byte for a held genre text: its table index; a plain number 0-255 is taken as the
// byte itself (a user may type one); 255 for anything else.
int genreByte(const QString& genre)
{
    const QString name = trimSpaces(genre);
    bool isNumber = false;
    const int n = name.toInt(&isNumber);
    if (isNumber && n >= 0 && n <= 255 && !name.startsWith(QLatin1Char('+')))
        return n;
    return GenreIndex(name);
}

} // namespace

void clsMP3::setFullName(const QString& name) { fullName_ = name; }
QString clsMP3::FullName() const { return fullName_; }

void clsMP3::clearTag()
{
    title_ = blanks(TitleWidth);
    artist_ = blanks(ArtistWidth);
    album_ = blanks(AlbumWidth);
    year_ = blanks(YearWidth);
    comment_ = blanks(CommentWidth);
    genre_.clear();
    tagPresent_ = false;
}

void clsMP3::clearHeader()
{
    mpegVersion_.clear();
    layer_.clear();
    bitrate_.clear();
    samplerate_.clear();
    channelMode_.clear();
    bitrateKbps_ = 0;
    sampleRateHz_ = 0;
    padding_ = 0;
    copyright_ = false;
    original_ = false;
    frameLength_ = 0;
    valid_ = false;
    headerPos_ = -2;
    lengthAtRead_ = 0;
    audioStart_ = 0;
    vbrFrames_ = 0;
    lowRateSeconds_ = 0;
}

int clsMP3::ReadMP3Info()
{
    struct stat st {};
    if (fullName_.isEmpty() || ::stat(encodedName(fullName_).constData(), &st) != 0) {
        // A reused object must not go on showing the previous song's tag and header.
        clearTag();
        clearHeader();
        return -1;
    }
    readTag();
    ReadHeader();
    return 0;
}

void clsMP3::readTag()
{
    clearTag();
    const int fd = openRegular(encodedName(fullName_), O_RDONLY);
    if (fd < 0)
        return;
    struct stat st {};
    char tag[TagSize];
    const bool ok = ::fstat(fd, &st) == 0 && st.st_size >= TagSize && readAt(fd, tag, TagSize, st.st_size - TagSize);
    ::close(fd);
    if (!ok || std::memcmp(tag, "TAG", 3) != 0)
        return;
    tagPresent_ = true;
    title_ = QByteArray(tag + 3, TitleWidth);
    artist_ = QByteArray(tag + 33, ArtistWidth);
    album_ = QByteArray(tag + 63, AlbumWidth);
    year_ = QByteArray(tag + 93, YearWidth);
    comment_ = QByteArray(tag + 97, CommentWidth);
    genre_ = GenreName(static_cast<unsigned char>(tag[127]));
}

QString clsMP3::ReadHeader()
{
    clearHeader();
    headerPos_ = findFrameHeader();
    if (headerPos_ == -2) {
        // The fields still describe the last candidate examined, but a header that no following
        // frame confirmed is no header: junk and foreign formats get no made-up play time.
        valid_ = false;
        return QStringLiteral("-2");
    }
    return QString();
}

std::int64_t clsMP3::findFrameHeader()
{
    const int fd = openRegular(encodedName(fullName_), O_RDONLY);
    if (fd < 0)
        return -2;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return -2;
    }
    const std::int64_t length = st.st_size;
    lengthAtRead_ = length;
    const std::int64_t base = audioStart(fd, length);
    audioStart_ = base;
    std::int64_t windowSize = std::min<std::int64_t>(HeaderWindow, length - base);

    // The window is read as far as the search needs it: most files confirm a header within the
    // first few kilobytes.
    std::vector<unsigned char> window;
    window.reserve(static_cast<std::size_t>(std::min<std::int64_t>(windowSize, 8192)));
    auto ensure = [&](std::int64_t n) {
        n = std::min(n, windowSize);
        const auto have = static_cast<std::int64_t>(window.size());
        if (n <= have)
            return;
        const std::int64_t want = std::min(windowSize, std::max(n, have * 2 + 4096));
        window.resize(static_cast<std::size_t>(want));
        if (!readAt(fd, window.data() + have, static_cast<std::size_t>(want - have), base + have)) {
            // The file shrank or failed to read: the window ends where the bytes ended.
            window.resize(static_cast<std::size_t>(have));
            windowSize = have;
        }
    };
    auto at = [&](std::int64_t i) -> unsigned char {
        return i < static_cast<std::int64_t>(window.size()) ? window[static_cast<std::size_t>(i)] : 0;
    };

    std::int64_t found = -2;
    for (std::int64_t i = 1; i < windowSize; ++i) {
        ensure(i + 1);
        if (i >= windowSize)
            break;
        const unsigned char b = window[static_cast<std::size_t>(i)];
        if ((b != 0xFA && b != 0xFB) || window[static_cast<std::size_t>(i - 1)] != 0xFF)
            continue;
        ensure(i + 3);
        const unsigned char h[4] = {0xFF, b, at(i + 1), at(i + 2)}; // bytes beyond the window count as 0
        decodeHeader(h);
        if (!valid_)
            continue;
        // Confirm by the start of the next frame; a read beyond the end of the file confirms nothing.
        const std::int64_t next = base + (i - 1) + frameLength_;
        unsigned char n[4];
        bool got;
        if (next - base + 4 <= static_cast<std::int64_t>(window.size())) {
            std::memcpy(n, window.data() + (next - base), 4);
            got = true;
        } else {
            got = next + 4 <= length && readAt(fd, n, 4, next);
        }
        if (got && n[0] == 0xFF && (n[1] & 0xE0) == 0xE0) {
            found = base + i; // 1-based position of the 0xFF
            // A variable bit rate: the encoder counted the song's frames in its first frame.
            // A count the file's size disagrees with (a download cut short) is not believed.
            const audio::Mp3HeaderFrame first = audio::readMp3HeaderFrame(fd);
            if (first.found && first.variable && first.sizeAgrees && first.samplesPerFrame == 1152)
                vbrFrames_ = first.frames;
            break;
        }
    }
    // The search sees MPEG-1 frames only. Below 32 kHz encoders write MPEG-2 or 2.5 frames, in
    // which it finds nothing or a false pair deep in the data: when such a frame, confirmed by
    // the next one, comes first (at the start of the audio, or after bytes of junk that a player
    // skips), the play time comes from the frames as the sound engine reads them. Only then: the
    // engine's decoder spends milliseconds hunting through a file of junk.
    bool lowRatePair = false;
    const std::int64_t before = std::min<std::int64_t>(found < 0 ? windowSize : found - base - 1, window.size());
    for (std::int64_t i = 0; i < before && !lowRatePair; ++i) {
        const void* sync = std::memchr(window.data() + i, 0xFF, static_cast<std::size_t>(before - i));
        if (!sync)
            break;
        i = static_cast<const unsigned char*>(sync) - window.data();
        ensure(i + 4);
        const unsigned char h[4] = {at(i), at(i + 1), at(i + 2), at(i + 3)};
        const int frame = lowRateFrameLength(h);
        if (frame == 0)
            continue;
        ensure(i + frame + 4);
        const unsigned char n[4] = {at(i + frame), at(i + frame + 1), at(i + frame + 2), at(i + frame + 3)};
        lowRatePair = lowRateFrameLength(n) > 0 && (n[1] & 0x18) == (h[1] & 0x18);
    }
    if (lowRatePair) {
        const audio::Mp3Frames song = audio::readMp3Frames(fd);
        if (song.layer == 3 && (song.version == 2 || song.version == 25) && song.frames > 0)
            lowRateSeconds_ = double(song.frames) * song.samplesPerFrame / song.rate;
    }
    ::close(fd);
    return found;
}

void clsMP3::decodeHeader(const unsigned char* h)
{
    valid_ = true;
    mpegVersion_ = QStringLiteral("1.0");
    layer_ = QStringLiteral("3");

    bitrateKbps_ = kBitrates[h[2] >> 4];
    bitrate_ = bitrateKbps_ ? QString::number(bitrateKbps_).leftJustified(3, QLatin1Char(' ')) : QStringLiteral("NA ");

    switch ((h[2] >> 2) & 3) {
    case 0: sampleRateHz_ = 44100; break;
    case 1: sampleRateHz_ = 48000; break;
    case 2: sampleRateHz_ = 32000; break;
    default:
        sampleRateHz_ = 0;
        samplerate_ = QStringLiteral("0    ");
        valid_ = false;
        return;
    }
    samplerate_ = QString::number(sampleRateHz_);

    padding_ = (h[2] >> 1) & 1;
    static const char* const modes[4] = {"Stereo", "Joint Stereo", "Dual Channel", "Mono"};
    channelMode_ = QString::fromLatin1(modes[h[3] >> 6]).leftJustified(12, QLatin1Char(' '));
    copyright_ = (h[3] >> 3) & 1;
    original_ = (h[3] >> 2) & 1;

    if (bitrateKbps_ == 0) {
        valid_ = false;
        return;
    }
    frameLength_ = static_cast<int>(std::floor(double(bitrateKbps_) * 1000 * 144 / sampleRateHz_ + padding_));
}

QString clsMP3::fieldText(const QByteArray& field) const
{
    return tagPresent_ ? trimSpaces(fromTagBytes(field)) : QString();
}

QString clsMP3::Title() const { return fieldText(title_); }
QString clsMP3::Artist() const { return fieldText(artist_); }
QString clsMP3::Album() const { return fieldText(album_); }
QString clsMP3::Year() const { return fieldText(year_); }
QString clsMP3::Comment() const { return fieldText(comment_); }
QString clsMP3::Genre() const { return tagPresent_ ? trimSpaces(genre_) : QString(); }

// A tag field as stored: the text's bytes cut or padded with blanks to the field's width.
static QByteArray fixedField(const QString& value, int width)
{
    QByteArray bytes = toCp1252(value).left(width);
    bytes.append(blanks(width - int(bytes.size())));
    return bytes;
}

// A field given back the very text it shows keeps its bytes. The tag editor saves every field,
// and a UTF-8 field it did not change would otherwise lose each character that Windows-1252 has
// no byte for.
bool clsMP3::keepsBytes(const QByteArray& field, const QString& value) const
{
    return tagPresent_ && value == fieldText(field);
}

void clsMP3::storeField(QByteArray& field, int width, const QString& value)
{
    if (!keepsBytes(field, value))
        field = fixedField(value, width);
}

bool clsMP3::setField(QByteArray& field, int width, const QString& value)
{
    storeField(field, width, value);
    return writeTag();
}

bool clsMP3::setTitle(const QString& value) { return setField(title_, TitleWidth, value); }
bool clsMP3::setArtist(const QString& value) { return setField(artist_, ArtistWidth, value); }
bool clsMP3::setAlbum(const QString& value) { return setField(album_, AlbumWidth, value); }
bool clsMP3::setYear(const QString& value) { return setField(year_, YearWidth, value); }
bool clsMP3::setComment(const QString& value) { return setField(comment_, CommentWidth, value); }
bool clsMP3::setGenre(const QString& value)
{
    genre_ = value;
    return writeTag();
}

bool clsMP3::setFields(const TagFields& fields)
{
    if (fields.title)
        storeField(title_, TitleWidth, *fields.title);
    if (fields.artist)
        storeField(artist_, ArtistWidth, *fields.artist);
    if (fields.album)
        storeField(album_, AlbumWidth, *fields.album);
    if (fields.year)
        storeField(year_, YearWidth, *fields.year);
    if (fields.comment)
        storeField(comment_, CommentWidth, *fields.comment);
    if (fields.genre)
        genre_ = *fields.genre;
    return writeTag();
}

clsMP3::TagFields clsMP3::charactersNotHeld(const TagFields& fields) const
{
    TagFields missing;
    auto check = [this](std::optional<QString>& out, const QByteArray& field, const std::optional<QString>& value) {
        if (value && !keepsBytes(field, *value))
            out = notInCp1252(*value);
    };
    check(missing.title, title_, fields.title);
    check(missing.artist, artist_, fields.artist);
    check(missing.album, album_, fields.album);
    check(missing.year, year_, fields.year);
    check(missing.comment, comment_, fields.comment);
    return missing;
}

QString clsMP3::nameCharactersNotHeld(const TagFields& missing)
{
    const std::pair<const std::optional<QString>&, const char*> fields[] = {
        {missing.title, "Title"}, {missing.artist, "Artist"}, {missing.album, "Album"},
        {missing.comment, "Comment"}, {missing.year, "Year"},
    };
    QStringList lines;
    for (const auto& [characters, name] : fields) {
        if (!characters || characters->isEmpty())
            continue;
        // Each character by itself; one that shows nothing by its code, so the user can find it.
        QStringList shown;
        for (const uint c : characters->toUcs4()) {
            const bool visible =
                QChar::isPrint(c) && !QChar::isSpace(c) && QChar::category(c) != QChar::Mark_NonSpacing;
            const QString code = QString::number(c, 16).toUpper().rightJustified(4, QLatin1Char('0'));
            const QString character = QString::fromUcs4(reinterpret_cast<const char32_t*>(&c), 1);
            shown << (visible ? character : QStringLiteral("U+") + code);
        }
        lines << QLatin1String(name) + QStringLiteral(": ") + shown.join(QLatin1Char(' '));
    }
    return lines.join(QLatin1Char('\n'));
}

bool clsMP3::lastWriteOk() const { return lastWriteOk_; }
bool clsMP3::TagPresent() const { return tagPresent_; }

bool clsMP3::writeTag()
{
    lastWriteOk_ = false;
    const QByteArray path = encodedName(fullName_);
    struct stat st {};
    if (fullName_.isEmpty() || ::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;

    // A read-only file is made writable for the owner for the write, and its permission bits
    // are put back exactly as they were afterwards.
    const mode_t mode = st.st_mode & 07777;
    bool modeChanged = false;
    if (!(mode & S_IWUSR)) {
        if (::chmod(path.constData(), mode | S_IWUSR) != 0)
            return false;
        modeChanged = true;
    }

    // Fields are stored at their full widths; an object that never read a file still writes a
    // well-formed record.
    auto fixed = [](const QByteArray& f, int width) {
        QByteArray b = f.left(width);
        b.append(blanks(width - int(b.size())));
        return b;
    };
    QByteArray record;
    record.reserve(TagSize);
    record.append("TAG", 3);
    record.append(fixed(title_, TitleWidth));
    record.append(fixed(artist_, ArtistWidth));
    record.append(fixed(album_, AlbumWidth));
    record.append(fixed(year_, YearWidth));
    record.append(fixed(comment_, CommentWidth));
    record.append(static_cast<char>(genreByte(genre_)));

    bool ok = false;
    const int fd = openRegular(path, O_RDWR);
    if (fd >= 0) {
        struct stat now {};
        if (::fstat(fd, &now) == 0) {
            // Overwrite the tag the file ends with; append one to a file that has none. The
            // file itself decides, so a tag is never written over audio or appended twice.
            const std::int64_t size = now.st_size;
            char marker[3];
            const bool hasTag = size >= TagSize && readAt(fd, marker, 3, size - TagSize)
                                && std::memcmp(marker, "TAG", 3) == 0;
            const std::int64_t at = hasTag ? size - TagSize : size;
            ok = writeAt(fd, record.constData(), TagSize, at);
            if (!ok && !hasTag && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
                // Nothing more can be done: the write already failed and is reported.
            }
        }
        if (::close(fd) != 0)
            ok = false;
    }
    if (modeChanged)
        ::chmod(path.constData(), mode);
    if (ok)
        tagPresent_ = true;
    lastWriteOk_ = ok;
    return ok;
}

QString clsMP3::FileAttributes() const
{
    struct stat st {};
    if (fullName_.isEmpty() || ::stat(encodedName(fullName_).constData(), &st) != 0)
        return QStringLiteral("-1");
    QString text;
    if ((st.st_mode & 0222) == 0)
        text += QLatin1Char('R');
    if (QFileInfo(fullName_).fileName().startsWith(QLatin1Char('.')))
        text += QLatin1Char('H');
    if (text.isEmpty() && !S_ISDIR(st.st_mode))
        return QStringLiteral("Normal");
    return text;
}

bool clsMP3::setFileAttributes(const QString& attributes)
{
    const QByteArray path = encodedName(fullName_);
    struct stat st {};
    if (fullName_.isEmpty() || ::stat(path.constData(), &st) != 0)
        return false;
    mode_t mode = st.st_mode & 07777;
    const bool readOnly = attributes.compare(QLatin1String("Normal"), Qt::CaseInsensitive) != 0
                          && attributes.contains(QLatin1Char('R'));
    if (readOnly)
        mode &= ~mode_t(0222);
    else if ((mode & 0222) == 0)
        mode |= S_IWUSR;
    if (mode == (st.st_mode & 07777))
        return true;
    return ::chmod(path.constData(), mode) == 0;
}

QString clsMP3::MPEGVersion() const { return mpegVersion_; }
QString clsMP3::Layer() const { return layer_; }
QString clsMP3::samplerate() const { return samplerate_; }
QString clsMP3::ChannelMode() const { return channelMode_; }
QString clsMP3::bitrate() const { return bitrate_; }
bool clsMP3::Copyright() const { return copyright_; }
bool clsMP3::Original() const { return original_; }
QString clsMP3::ValidHeader() const { return valid_ ? QStringLiteral("True") : QStringLiteral("False"); }

float clsMP3::PlayTime() const
{
    auto hundredths = [](float t) { return static_cast<float>(std::floor((double(t) + 0.05) * 100) / 100); };
    if (lowRateSeconds_ > 0)
        return hundredths(static_cast<float>(lowRateSeconds_));
    if (!valid_ || bitrateKbps_ <= 0)
        return -1;
    // The length at this moment, as a 64-bit count: songs over 256 MB get their real time. A
    // leading ID3v2 tag is no audio (a 100 KB cover would add seconds); everything else counts.
    std::int64_t length = lengthAtRead_;
    struct stat st {};
    if (::stat(encodedName(fullName_).constData(), &st) == 0)
        length = st.st_size;
    length = std::max<std::int64_t>(0, length - audioStart_);
    float t = static_cast<float>(double(length) * 8 / bitrateKbps_ / 1000);
    // A variable bit rate: the first frame's rate says nothing of the others, the frame count
    // does, unless it is more frames than even the smallest ones could fill this file with.
    const std::int64_t smallestFrame = 144 * 32000 / sampleRateHz_;
    if (vbrFrames_ > 0 && vbrFrames_ <= length / smallestFrame + 1)
        t = static_cast<float>(double(vbrFrames_) * 1152 / sampleRateHz_);
    return hundredths(t);
}
