// The tag and frame-header object on files built byte by byte, where every expected value is known.
#include "core/clsMP3.h"
#include "core/genres.h"
#include "support/testutil.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using testutil::readAll;
using testutil::writeAll;

namespace {

// count frames of the given header, each frameLength bytes long (header then zero bytes).
QByteArray frames(int count, QByteArray header = QByteArray::fromHex("FFFB9000"), int frameLength = 417)
{
    QByteArray body;
    for (int i = 0; i < count; ++i) {
        QByteArray f = header;
        f.append(QByteArray(frameLength - header.size(), '\0'));
        body += f;
    }
    return body;
}

QByteArray tagRecord(const QByteArray& title, const QByteArray& artist, unsigned char genre,
                     const QByteArray& marker = "TAG", char fill = ' ')
{
    auto field = [fill](QByteArray b, int n) { return b.leftJustified(n, fill, true); };
    return marker + field(title, 30) + field(artist, 30) + field("Album", 30) + field("1999", 4)
           + field("Comment", 30) + char(genre);
}

class Mp3File : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString make(const QString& name, const QByteArray& bytes)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(writeAll(path, bytes));
        return path;
    }
    static clsMP3 readAt(const QString& path)
    {
        clsMP3 m;
        m.setFullName(path);
        m.ReadMP3Info();
        return m;
    }
};

} // namespace

TEST_F(Mp3File, FirstConfirmedHeaderIsDecoded)
{
    const QString path = make("a.mp3", frames(3));
    clsMP3 m = readAt(path);
    EXPECT_EQ(m.HeaderPosition(), 1);
    EXPECT_EQ(m.MPEGVersion(), "1.0");
    EXPECT_EQ(m.Layer(), "3");
    EXPECT_EQ(m.bitrate(), "128");
    EXPECT_EQ(m.samplerate(), "44100");
    EXPECT_EQ(m.ChannelMode(), "Stereo      ");
    EXPECT_EQ(m.FrameLength(), 417);
    EXPECT_EQ(m.ValidHeader(), "True");
    EXPECT_FALSE(m.Copyright());
    EXPECT_FALSE(m.Original());
    EXPECT_EQ(m.ReadHeader(), "");

    // Padding, mode, copyright and original bits; 32 kbit/s at 48 kHz; CRC-protected FF FA.
    const QString other = make("b.mp3", frames(3, QByteArray::fromHex("FFFA166C"), 96));
    clsMP3 o = readAt(other);
    EXPECT_EQ(o.bitrate(), "32 ");
    EXPECT_EQ(o.samplerate(), "48000");
    EXPECT_EQ(o.ChannelMode(), "Joint Stereo");
    EXPECT_TRUE(o.Copyright());
    EXPECT_TRUE(o.Original());
    EXPECT_EQ(o.FrameLength(), 97); // 32 * 144000 / 48000 + padding
}

TEST_F(Mp3File, CandidatesThatAreNotMpeg1Layer3OrNotConfirmedAreSkipped)
{
    // MPEG-2 Layer III and MPEG-1 Layer II frames are never candidates.
    EXPECT_EQ(readAt(make("m2.mp3", frames(5, QByteArray::fromHex("FFF39000"), 208))).ValidHeader(), "False");
    // A song of MPEG-2 Layer III frames (64 kbit/s at 22.05 kHz, 208 bytes each) is timed by its
    // frames as the sound engine reads them: 200 x 576 samples, 5.22 s, or the count of its Xing
    // frame where the file can hold that many. Its data may hold a pair that looks like MPEG-1
    // frames (32 kbit/s, 104 bytes apart): the header facts are that pair's, as the search finds
    // it, but the play time is not (it would say 10.4 s). Bytes of junk before the first frame
    // change nothing (a player skips them); a lone header that no frame follows is no song.
    const QByteArray plain = frames(200, QByteArray::fromHex("FFF38000"), 208);
    QByteArray falsePair = plain;
    falsePair.replace(20000, 4, QByteArray::fromHex("FFFB1000"));
    falsePair.replace(20104, 2, QByteArray::fromHex("FFE0"));
    auto counted = [&](const char* count) {
        return QByteArray(plain).replace(21, 12, "Xing" + QByteArray::fromHex("00000001") + QByteArray::fromHex(count));
    };
    const std::pair<QByteArray, float> lowRates[] = {
        {plain, 5.27f},
        {falsePair, 5.27f},
        {counted("00000064"), 2.66f},
        {counted("FFFFFFFF"), 5.27f},
        {QByteArray(3, '\0') + falsePair, 5.27f},
        {QByteArray::fromHex("FFF38000") + QByteArray(5000, 'x'), -1},
    };
    for (const auto& [song, seconds] : lowRates) {
        clsMP3 m = readAt(make("lowrate.mp3", song));
        EXPECT_FLOAT_EQ(m.PlayTime(), seconds);
        EXPECT_EQ(m.bitrate(), song.endsWith(falsePair) ? "32 " : "");
    }
    clsMP3 l2 = readAt(make("l2.mp3", frames(5, QByteArray::fromHex("FFFD9000"), 417)));
    EXPECT_EQ(l2.ValidHeader(), "False");
    EXPECT_EQ(l2.PlayTime(), -1);
    EXPECT_EQ(l2.bitrate(), "");
    EXPECT_EQ(l2.ReadHeader(), "-2");

    // Free-format bit rate: "NA " and dropped.
    clsMP3 na = readAt(make("na.mp3", QByteArray::fromHex("FFFB0000") + QByteArray(2000, '\0')));
    EXPECT_EQ(na.bitrate(), "NA ");
    EXPECT_EQ(na.ValidHeader(), "False");
    // Sample-rate index 3: "0" and four blanks, dropped.
    clsMP3 sr = readAt(make("sr.mp3", QByteArray::fromHex("FFFB9C00") + QByteArray(2000, '\0')));
    EXPECT_EQ(sr.samplerate(), "0    ");
    EXPECT_EQ(sr.ValidHeader(), "False");

    // A lone valid header with nothing at its next-frame position is dropped; the real stream
    // after it is found. The fields then describe the confirmed header.
    QByteArray bytes = QByteArray::fromHex("FFFBB000") + QByteArray(100, '\x11') + frames(3, QByteArray::fromHex("FFFB90C0"));
    clsMP3 later = readAt(make("later.mp3", bytes));
    EXPECT_EQ(later.HeaderPosition(), 105);
    EXPECT_EQ(later.bitrate(), "128");
    EXPECT_EQ(later.ChannelMode(), "Mono        ");

    // An unconfirmed candidate alone: the texts describe it, but it is no valid header and
    // gives no play time. The same for a first frame cut short before the next one.
    clsMP3 lone = readAt(make("lone.mp3", QByteArray::fromHex("FFFB9000") + QByteArray(1000, '\x11')));
    EXPECT_EQ(lone.HeaderPosition(), -2);
    EXPECT_EQ(lone.ValidHeader(), "False");
    EXPECT_EQ(lone.PlayTime(), -1);
    EXPECT_EQ(lone.bitrate(), "128");
    EXPECT_EQ(readAt(make("cut.mp3", frames(1).left(127))).ValidHeader(), "False");
    EXPECT_EQ(readAt(make("cut.mp3", frames(1) + QByteArray::fromHex("FF"))).ValidHeader(), "False");

    // A candidate on the last byte of the window reads the bytes beyond it as 0: "NA ".
    QByteArray edge(49998, '\x11');
    edge.append('\xFF');
    edge.append(QByteArray::fromHex("FB9000"));
    edge.append(frames(3));
    clsMP3 e = readAt(make("edge.mp3", edge));
    EXPECT_EQ(e.ValidHeader(), "False");
    EXPECT_EQ(e.bitrate(), "NA ");
}

TEST_F(Mp3File, PlayTimeCountsTheWholeFileIn64Bits)
{
    // 4,000,000 bytes at 128 kbit/s: 250 s, raised by 0.05 and cut to hundredths.
    QByteArray big = frames(3);
    big.append(QByteArray(4000000 - big.size(), '\0'));
    const QString path = make("4m.mp3", big);
    EXPECT_FLOAT_EQ(readAt(path).PlayTime(), 250.05f);
    QByteArray fast = frames(3, QByteArray::fromHex("FFFBE000"), 1044);
    fast.append(QByteArray(4000000 - fast.size(), '\0'));
    EXPECT_FLOAT_EQ(readAt(make("4m320.mp3", fast)).PlayTime(), 100.05f);

    // A 300 MB file (sparse) would overflow a 32-bit bit count.
    const QString huge = make("huge.mp3", frames(3));
    ASSERT_EQ(::truncate(QFile::encodeName(huge).constData(), 300'000'000), 0);
    EXPECT_FLOAT_EQ(readAt(huge).PlayTime(), 18750.05f);

    // The length is taken when PlayTime is read.
    clsMP3 m = readAt(path);
    ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), 2000000), 0);
    EXPECT_FLOAT_EQ(m.PlayTime(), 125.05f);
}

TEST_F(Mp3File, PlayTimeOfAVariableBitRateSongComesFromItsFrameCount)
{
    auto be32 = [](quint32 v) {
        const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(b, 4);
    };
    // A silent first frame holding marker and payload at the given offset, then 100 frames of
    // 320 kbit/s: 104,817 bytes at 44.1 kHz, 6.55 s by the first frame's 128 kbit/s and 2.61 s
    // (100 x 1152 samples) by the frame count.
    auto song = [&](const char* header, int at, const QByteArray& marker, const QByteArray& payload,
                    const char* audioHeader = "FFFBE000", int audioLength = 1044, int firstLength = 417) {
        QByteArray first = QByteArray::fromHex(header).leftJustified(firstLength, '\0');
        first.replace(at, marker.size() + payload.size(), marker + payload);
        return first + frames(100, QByteArray::fromHex(audioHeader), audioLength);
    };
    const struct {
        const char* what;
        QByteArray bytes;
        float seconds;
    } cases[] = {
        {"Xing, stereo", song("FFFB9000", 36, "Xing", be32(3) + be32(100) + be32(104817)), 2.66f},
        {"Xing, frames only", song("FFFB9000", 36, "Xing", be32(1) + be32(100)), 2.66f},
        {"Xing, mono", song("FFFB90C0", 21, "Xing", be32(1) + be32(100), "FFFBE0C0"), 2.66f},
        {"VBRI", song("FFFB9000", 36, "VBRI", QByteArray(6, '\1') + be32(104817) + be32(100)), 2.66f},
        {"Xing, 48 kHz", song("FFFB9400", 36, "Xing", be32(1) + be32(100), "FFFBE400", 960, 384), 2.45f},
        // The frame of a constant bit rate, and counts the file cannot hold (a download cut
        // short): the file length rules.
        {"a download cut to half", song("FFFB9000", 36, "Xing", be32(3) + be32(100) + be32(2 * 104817)), 6.6f},
        {"Info", song("FFFB9000", 36, "Info", be32(1) + be32(100)), 6.6f},
        {"Xing without a count", song("FFFB9000", 36, "Xing", be32(2) + be32(104817)), 6.6f},
        {"Xing, count 0", song("FFFB9000", 36, "Xing", be32(1) + be32(0)), 6.6f},
        {"Xing, count 2^32-1", song("FFFB9000", 36, "Xing", be32(1) + be32(0xFFFFFFFF)), 6.6f},
        {"Xing where mono has it, in stereo", song("FFFB9000", 21, "Xing", be32(1) + be32(100)), 6.6f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clsMP3 m = readAt(make("vbr.mp3", c.bytes));
        ASSERT_EQ(m.ValidHeader(), "True");
        EXPECT_FLOAT_EQ(m.PlayTime(), c.seconds);
    }
    // The count is the file's own: a reused object forgets it.
    clsMP3 m = readAt(make("vbr.mp3", cases[0].bytes));
    m.setFullName(make("cbr.mp3", frames(50)));
    m.ReadMP3Info();
    EXPECT_FLOAT_EQ(m.PlayTime(), 1.35f);
}

TEST_F(Mp3File, LeadingId3v2TagIsSkippedBeforeTheSearch)
{
    // 100 KB of tag, with bytes in it that look like a header, then the audio.
    const int size = 100 * 1024;
    QByteArray body(size, '\0');
    body.replace(5000, 4, QByteArray::fromHex("FFFB9000"));
    QByteArray syncsafe;
    for (int shift : {21, 14, 7, 0})
        syncsafe.append(char((size >> shift) & 0x7f));
    QByteArray file = QByteArray("ID3\x03\x00\x00", 6) + syncsafe + body + frames(200, QByteArray::fromHex("FFFBA000"), 522);
    clsMP3 m = readAt(make("v2.mp3", file));
    EXPECT_EQ(m.HeaderPosition(), 10 + size + 1);
    EXPECT_EQ(m.bitrate(), "160");
    EXPECT_EQ(m.ValidHeader(), "True");
    // The tag is no audio: the play time counts the bytes after it.
    // 104,400 bytes at 160 kbit/s: 5.22 s, held in single precision (5.2199997) before the
    // 0.05 is added, so the cut gives 5.26.
    EXPECT_EQ(file.size() - 10 - size, 104400);
    EXPECT_FLOAT_EQ(m.PlayTime(), 5.26f);

    // A tag whose size runs past the end is not trusted: the search starts at the first byte.
    QByteArray bogus = QByteArray("ID3\x03\x00\x00\x7f\x7f\x7f\x7f", 10) + frames(3);
    EXPECT_EQ(readAt(make("bogus.mp3", bogus)).HeaderPosition(), 11);
}

TEST_F(Mp3File, ReusedObjectNeverKeepsThePreviousFile)
{
    const QString good = make("good.mp3", frames(3) + tagRecord("Song", "Band", 17));
    const QString noHeader = make("none.mp3", QByteArray(5000, '\x22'));
    clsMP3 m = readAt(good);
    EXPECT_EQ(m.Title(), "Song");
    EXPECT_EQ(m.Genre(), "Rock");

    m.setFullName(noHeader);
    EXPECT_EQ(m.ReadMP3Info(), 0);
    EXPECT_EQ(m.ValidHeader(), "False");
    EXPECT_EQ(m.PlayTime(), -1);
    EXPECT_EQ(m.bitrate(), "");
    EXPECT_EQ(m.ChannelMode(), "");
    EXPECT_FALSE(m.TagPresent());
    EXPECT_EQ(m.Title(), "");

    m.setFullName(good);
    m.ReadMP3Info();
    m.setFullName(dir.filePath("missing.mp3"));
    EXPECT_EQ(m.ReadMP3Info(), -1);
    EXPECT_EQ(m.Title(), "");
    EXPECT_EQ(m.Artist(), "");
    EXPECT_EQ(m.Genre(), "");
    EXPECT_EQ(m.ValidHeader(), "False");
    EXPECT_EQ(m.PlayTime(), -1);
    EXPECT_EQ(m.FullName(), dir.filePath("missing.mp3"));
    // A setter on a missing file reports the failure and creates nothing.
    EXPECT_FALSE(m.setTitle("x"));
    EXPECT_FALSE(m.lastWriteOk());
    EXPECT_FALSE(QFile::exists(dir.filePath("missing.mp3")));
}

TEST_F(Mp3File, TagFieldsEndAtTheirFirstNulAndAreTrimmedOfBlanks)
{
    QByteArray rec = tagRecord("Hello", "  Spaced Out  ", 200, "TAG", '\0');
    rec.replace(97, 30, QByteArray("Notes\0\x07\0left behind", 18).leftJustified(30, ' ')); // a comment with a track
    const QString path = make("t.mp3", frames(3) + rec);
    clsMP3 m = readAt(path);
    EXPECT_TRUE(m.TagPresent());
    EXPECT_EQ(m.Title(), "Hello");
    EXPECT_EQ(m.Artist(), "Spaced Out");
    EXPECT_EQ(m.Year(), "1999");
    EXPECT_EQ(m.Comment(), "Notes");
    EXPECT_EQ(m.Genre(), "Unknown");

    // Marker in small letters: no tag.
    clsMP3 lower = readAt(make("lower.mp3", frames(3) + tagRecord("Hello", "World", 1, "tag")));
    EXPECT_FALSE(lower.TagPresent());
    EXPECT_EQ(lower.Title(), "");
}

TEST_F(Mp3File, TagTextIsWindows1252BothWays)
{
    // Every byte above 0x7F decodes as the code page says and is written back unchanged.
    QByteArray high;
    for (int b = 0x80; b < 0x9E; ++b)
        high.append(char(b));
    const QString path = make("cp.mp3", frames(3) + tagRecord(high, "Caf\xe9 Bj\xf6rk", 12));
    clsMP3 m = readAt(path);
    QStringDecoder cp1252("windows-1252");
    ASSERT_TRUE(cp1252.isValid());
    EXPECT_EQ(m.Title(), cp1252(high));
    EXPECT_EQ(m.Artist(), QString::fromUtf8("Café Björk"));
    const QByteArray before = readAll(path);
    ASSERT_TRUE(m.setComment("Ünïcødé € “quoted” 中"));
    const QByteArray after = readAll(path);
    EXPECT_EQ(after.left(after.size() - 128 + 97), before.left(before.size() - 128 + 97)) << "other fields kept";
    EXPECT_EQ(after.mid(after.size() - 31, 30), QByteArray("\xdcn\xef" "c\xf8" "d\xe9 \x80 \x93quoted\x94 ?").leftJustified(30, ' '));
}

TEST_F(Mp3File, TagTextIsUtf8WhenItIsValidUtf8WithMultiByteCharacters)
{
    const QByteArray cutE = QByteArray("\xc3\xa9").repeated(14) + "x\xc3"; // 30 bytes, the last character cut
    const struct {
        QByteArray bytes;
        QString text;
    } cases[] = {
        {"\xc3\x89t\xc3\xa9", "Été"},
        {"Sigur R\xc3\xb3s \xe2\x80\x93 \xf0\x9f\x8e\xb5", "Sigur Rós – 🎵"},
        {"\xd0\x9a\xd0\xb8\xd0\xbd\xd0\xbe", "Кино"},
        {"Caf\xe9", "Café"},                       // not UTF-8: Windows-1252
        {"\xc3\xa9\xe9", "Ã©é"},                   // UTF-8 spoilt by one byte: all Windows-1252
        {"\xc0\xaf", "À¯"},                         // an overlong form is no UTF-8
        {"\xed\xa0\x80", "í\xc2\xa0€"},                 // nor is a surrogate
        {QByteArray(29, 'a') + "\xc3", QString(29, 'a') + "Ã"}, // a letter at the end, no cut character
        {cutE, QString("é").repeated(14) + "x"},
        {QByteArray("Hi\0\xc3", 4), "Hi"},
    };
    for (const auto& c : cases) {
        const QString path = make("u.mp3", frames(3) + tagRecord(c.bytes, "", 12));
        EXPECT_EQ(readAt(path).Title(), c.text) << c.bytes.toHex().constData();
    }

    // Writing stays Windows-1252; a field given back unchanged keeps its UTF-8 bytes.
    const QByteArray kanji = "\xe6\x97\xa5\xe6\x9c\xac";
    const QString path = make("w.mp3", frames(3) + tagRecord(kanji, "\xc3\x89t\xc3\xa9", 12));
    clsMP3 m = readAt(path);
    EXPECT_TRUE(m.setTitle(m.Title()));
    EXPECT_TRUE(m.setArtist(QString::fromUtf8("Été!")));
    const QByteArray tag = readAll(path).right(128);
    EXPECT_EQ(tag.mid(3, 30), kanji.leftJustified(30, ' '));
    EXPECT_EQ(tag.mid(33, 30), QByteArray("\xc9t\xe9!").leftJustified(30, ' '));
    EXPECT_EQ(readAt(path).Title(), QString::fromUtf8("日本"));
}

TEST_F(Mp3File, SettersWriteFixedWidthFieldsAndAppendOnlyOnce)
{
    const QByteArray audio = frames(3);
    const QString path = make("w.mp3", audio);
    clsMP3 m = readAt(path);
    ASSERT_FALSE(m.TagPresent());
    EXPECT_TRUE(m.setArtist("Artist"));
    EXPECT_TRUE(m.lastWriteOk());
    EXPECT_TRUE(m.setTitle(QString(31, 'T')));
    EXPECT_TRUE(m.setYear("20051"));
    EXPECT_TRUE(m.setGenre("Other"));
    QByteArray bytes = readAll(path);
    ASSERT_EQ(bytes.size(), audio.size() + 128);
    EXPECT_EQ(bytes.left(audio.size()), audio);
    const QByteArray tag = bytes.right(128);
    EXPECT_EQ(tag.left(3), "TAG");
    EXPECT_EQ(tag.mid(3, 30), QByteArray(30, 'T'));
    EXPECT_EQ(tag.mid(33, 30), QByteArray("Artist").leftJustified(30, ' '));
    EXPECT_EQ(tag.mid(63, 30), QByteArray(30, ' '));
    EXPECT_EQ(tag.mid(93, 4), "2005");
    EXPECT_EQ(quint8(tag[127]), 12);

    // A fresh object overwrites the tag in place.
    clsMP3 again = readAt(path);
    EXPECT_EQ(again.Artist(), "Artist");
    EXPECT_TRUE(again.setTitle("T"));
    EXPECT_EQ(readAll(path).size(), audio.size() + 128);
    EXPECT_EQ(readAll(path).right(128).mid(3, 30), QByteArray("T").leftJustified(30, ' '));

    // A file of 127 bytes has no tag; the first write appends one.
    const QString tiny = make("tiny.mp3", QByteArray(127, 'x'));
    clsMP3 t = readAt(tiny);
    EXPECT_FALSE(t.TagPresent());
    EXPECT_TRUE(t.setTitle("Tiny"));
    EXPECT_EQ(readAll(tiny).size(), 255);

    // Small-letter marker: a second record is appended after it.
    const QString lower = make("lower.mp3", audio + tagRecord("a", "b", 1, "tag"));
    clsMP3 l = readAt(lower);
    EXPECT_TRUE(l.setTitle("New"));
    EXPECT_EQ(readAll(lower).size(), audio.size() + 256);
}

TEST_F(Mp3File, UnassignedFieldsAndGenreBytesSurviveARewrite)
{
    const QString path = make("g.mp3", frames(3) + tagRecord("Hello", "World", 136, "TAG", '\0'));
    clsMP3 m = readAt(path);
    EXPECT_EQ(m.Genre(), "Christian Gangsta Rap");
    EXPECT_TRUE(m.setAlbum("New Album"));
    QByteArray tag = readAll(path).right(128);
    EXPECT_EQ(tag.mid(3, 30), QByteArray("Hello").leftJustified(30, '\0')) << "NUL filler kept";
    EXPECT_EQ(quint8(tag[127]), 136);

    const std::pair<const char*, int> genres[] = {
        {"Comteporary Christian", 140}, {"rock", 255}, {"Unknown", 255}, {"  Rock  ", 17}, {"", 255}, {"12", 12},
    };
    for (const auto& [name, byte] : genres) {
        EXPECT_TRUE(m.setGenre(QString::fromLatin1(name)));
        EXPECT_EQ(quint8(readAll(path).right(1)[0]), byte) << name;
    }
    // A byte above 152 reads as "Unknown" and so is written back as 255.
    const QString high = make("h.mp3", frames(3) + tagRecord("x", "y", 200));
    clsMP3 h = readAt(high);
    EXPECT_TRUE(h.setTitle("z"));
    EXPECT_EQ(quint8(readAll(high).right(1)[0]), 255);
}

TEST_F(Mp3File, ReadOnlyFileIsWrittenAndItsPermissionsRestoredExactly)
{
    const QString path = make("ro.mp3", frames(3));
    const QByteArray name = QFile::encodeName(path);
    ASSERT_EQ(::chmod(name.constData(), 0444), 0);
    clsMP3 m = readAt(path);
    EXPECT_EQ(m.FileAttributes(), "R");
    EXPECT_TRUE(m.setTitle("Locked"));
    struct stat st {};
    ASSERT_EQ(::stat(name.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(readAll(path).right(128).mid(3, 6), "Locked");

    ASSERT_EQ(::chmod(name.constData(), 0640), 0);
    EXPECT_TRUE(m.setArtist("Open"));
    ASSERT_EQ(::stat(name.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(m.FileAttributes(), "Normal");

    EXPECT_TRUE(m.setFileAttributes("RA"));
    ASSERT_EQ(::stat(name.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_TRUE(m.setFileAttributes("normal"));
    EXPECT_EQ(m.FileAttributes(), "Normal");

    const QString hidden = make(".hidden.mp3", frames(3));
    clsMP3 h = readAt(hidden);
    EXPECT_EQ(h.FileAttributes(), "H");
    m.setFullName(dir.filePath("nothing.mp3"));
    EXPECT_EQ(m.FileAttributes(), "-1");
}

TEST_F(Mp3File, FailedWritesAreReported)
{
    // A file nobody can write, not even root.
    clsMP3 sys;
    sys.setFullName("/proc/version");
    ASSERT_EQ(sys.ReadMP3Info(), 0);
    const QByteArray before = readAll("/proc/version");
    EXPECT_FALSE(sys.setTitle("x"));
    EXPECT_FALSE(sys.lastWriteOk());
    EXPECT_EQ(readAll("/proc/version"), before);

    if (::geteuid() == 0)
        return; // root enters any folder
    // A file in a folder we cannot enter.
    const QString sub = dir.filePath("locked");
    QDir().mkdir(sub);
    const QString path = make("locked/a.mp3", frames(3));
    clsMP3 m = readAt(path);
    ASSERT_EQ(::chmod(QFile::encodeName(sub).constData(), 0), 0);
    EXPECT_FALSE(m.setTitle("x"));
    EXPECT_FALSE(m.lastWriteOk());
    EXPECT_EQ(m.ReadMP3Info(), -1);
    ::chmod(QFile::encodeName(sub).constData(), 0755);
}

TEST_F(Mp3File, BadInputNeverCrashes)
{
    const QString folder = dir.filePath("folder.mp3");
    QDir().mkdir(folder);
    clsMP3 d = readAt(folder);
    EXPECT_EQ(d.ReadMP3Info(), 0) << "a folder exists";
    EXPECT_FALSE(d.TagPresent());
    EXPECT_EQ(d.PlayTime(), -1);
    EXPECT_FALSE(d.setTitle("x"));

    for (const QByteArray& bytes : {QByteArray(), QByteArray(1, '\xFF'), QByteArray::fromHex("FFFB"),
                                    QByteArray(70000, '\0'), QByteArray(70000, '\xFF'), QByteArray("ID3"),
                                    QByteArray("TAG")}) {
        clsMP3 m = readAt(make("bad.mp3", bytes));
        EXPECT_FALSE(m.TagPresent());
        EXPECT_EQ(m.PlayTime(), -1) << bytes.size();
    }
    // Non-ASCII names are found and written.
    const QString named = make(QString::fromUtf8("Sigur Rós – Hoppípolla 日本.mp3"), frames(3));
    clsMP3 n = readAt(named);
    EXPECT_EQ(n.ValidHeader(), "True");
    EXPECT_TRUE(n.setTitle("Hoppipolla"));
    EXPECT_EQ(readAt(named).Title(), "Hoppipolla");

    // An unreadable file reads as untagged with no header.
    const QString locked = make("locked.mp3", frames(3) + tagRecord("a", "b", 1));
    ::chmod(QFile::encodeName(locked).constData(), 0);
    if (::geteuid() != 0) {
        clsMP3 u = readAt(locked);
        EXPECT_FALSE(u.TagPresent());
        EXPECT_EQ(u.ValidHeader(), "False");
    }

    // A FIFO named like a song must not block the reader.
    const QString fifo = dir.filePath("fifo.mp3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    clsMP3 f = readAt(fifo);
    EXPECT_EQ(f.PlayTime(), -1);
    EXPECT_FALSE(f.setTitle("x"));
}
