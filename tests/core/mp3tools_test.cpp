// clsMP3 against two tools nobody here wrote: mp3info (frame header, play time, tags) and id3tool
// (tags), over the whole generated media set.
#include "core/clsMP3.h"
#include "core/genres.h"
#include "support/testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>

using testutil::copyMedia;
using testutil::media;
using testutil::run;

namespace {

bool haveTool(const char* name) { return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty(); }

// mp3info's fields of one file, or an empty list when it calls the file no standard MP3.
QStringList mp3info(const QString& path, const char* format)
{
    int code = 0;
    const QByteArray out = run("mp3info", {"-p", QString::fromLatin1(format), path}, &code);
    if (out.isEmpty())
        return {};
    return QString::fromLatin1(out).split(QLatin1Char('|'));
}

// id3tool's listing as field name -> text.
QMap<QString, QString> id3tool(const QString& path)
{
    QMap<QString, QString> fields;
    const QByteArray out = run("id3tool", {path});
    QStringDecoder cp1252("windows-1252");
    for (const QString& line : QString(cp1252(out)).split(QLatin1Char('\n'))) {
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon > 0)
            fields[line.left(colon)] = line.mid(colon + 1).trimmed();
    }
    return fields;
}

class Mp3Tools : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveTool("mp3info") || !haveTool("id3tool"))
            GTEST_SKIP() << "mp3info and id3tool are installed by scripts/setup";
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(Mp3Tools, HeaderFieldsAndPlayTimeAgreeWithMp3info)
{
    const QStringList files = QDir(media("")).entryList({"*.mp3"}, QDir::Files, QDir::Name);
    ASSERT_GT(files.size(), 30);
    int compared = 0, lowRates = 0;
    for (const QString& name : files) {
        SCOPED_TRACE(name.toStdString());
        clsMP3 m;
        m.setFullName(media(name));
        ASSERT_EQ(m.ReadMP3Info(), 0);
        // version | layer | bit rate | Hz | mode | copyright | original | seconds
        const QStringList info = mp3info(media(name), "%v|%L|%r|%Q|%o|%C|%O|%S");
        if (info.size() == 8 && info[0].toDouble() > 1.0 && info[1] == "III") {
            // MPEG-2 and 2.5 (lame below 32 kHz): the header facts are what the MPEG-1 search
            // makes of them, the play time is the frames'. mp3info counts whole seconds. (Of a
            // song joined from parts of several rates neither gives the length: not compared.)
            if (!name.startsWith("joined_")) {
                EXPECT_NEAR(m.PlayTime(), info[7].toDouble() + 0.5, 0.6);
                ++lowRates;
            }
            continue;
        }
        if (info.size() != 8 || info[0].toDouble() != 1.0 || info[1] != "III" || name == "short127.mp3") {
            // Not an MPEG-1 Layer III file to mp3info (empty, text, junk, NULs, one frame cut
            // short): no valid header here either.
            EXPECT_EQ(m.ValidHeader(), "False") << "only MPEG-1 Layer III is decoded";
            EXPECT_EQ(m.PlayTime(), -1);
            continue;
        }
        ASSERT_EQ(m.ValidHeader(), "True");
        if (name.startsWith("joined_30s") || name.startsWith("rates_every_frame"))
            continue; // parts of other bit rates or sample rates after the first song: mp3info
                      // takes its facts from frames further on, ours come from the first frame
        EXPECT_EQ(m.MPEGVersion(), "1.0");
        EXPECT_EQ(m.Layer(), "3");
        EXPECT_EQ(m.samplerate(), info[3]);
        EXPECT_EQ(m.ChannelMode().trimmed().toLower(), info[4]);
        EXPECT_EQ(m.ChannelMode().size(), 12);
        EXPECT_EQ(m.Copyright(), info[5] == "Yes");
        EXPECT_EQ(m.Original(), info[6] == "Yes");
        EXPECT_EQ(m.bitrate().size(), 3);
        if (info[2] == "Variable" || name.startsWith("vbr"))
            continue; // the first frame's rate says nothing of the whole song, nor does mp3info's guess
        EXPECT_EQ(m.bitrate().trimmed(), info[2]);
        // mp3info counts whole seconds of the audio; ours adds the tag bytes and 0.05 s.
        EXPECT_NEAR(m.PlayTime(), info[7].toDouble() + 0.5, 0.6);
        ++compared;
    }
    EXPECT_GT(compared, 25);
    EXPECT_GE(lowRates, 4);
}

TEST_F(Mp3Tools, VariableBitRateSongsGetTheirTrueLength)
{
    // Tones of 30 and 10 seconds that lame encoded with -V 2 (its frames add a few hundredths
    // of encoder delay and padding); mp3info only guesses at such songs, sox reads them whole.
    const std::pair<const char*, double> songs[] = {
        {"vbr_xing.mp3", 30}, {"vbr_mono.mp3", 10}, {"vbr48k.mp3", 10}, {"vbr_vbri.mp3", 30},
    };
    for (const auto& [name, seconds] : songs) {
        SCOPED_TRACE(name);
        clsMP3 m;
        m.setFullName(media(name));
        ASSERT_EQ(m.ReadMP3Info(), 0);
        EXPECT_NEAR(m.PlayTime(), seconds + 0.05, 0.1);
        if (haveTool("soxi") && QString(name) != "vbr_vbri.mp3") {
            EXPECT_NEAR(m.PlayTime(), run("soxi", {"-D", media(name)}).trimmed().toDouble() + 0.05, 0.02);
        }
    }
}

TEST_F(Mp3Tools, SongsLedByALargeId3v2TagGetTheirRealLength)
{
    for (const char* name : {"id3v2_100k.mp3", "id3v2_v1.mp3"}) {
        clsMP3 m;
        m.setFullName(media(name));
        m.ReadMP3Info();
        EXPECT_EQ(m.bitrate(), "128") << name;
        EXPECT_NEAR(m.PlayTime(), 10.05, 0.1) << name;
    }
}

TEST_F(Mp3Tools, TagsWrittenById3toolAreRead)
{
    const QString path = copyMedia("tone10s.mp3", dir.path());
    run("id3tool", {"-t", "A Title", "-r", "An Artist", "-a", "The Album", "-y", "1987", "-n", "Notes here",
                    "-g", "140", path});
    clsMP3 m;
    m.setFullName(path);
    m.ReadMP3Info();
    ASSERT_TRUE(m.TagPresent());
    // id3tool fills with NULs, where each field ends.
    EXPECT_EQ(m.Title(), "A Title");
    EXPECT_EQ(m.Artist(), "An Artist");
    EXPECT_EQ(m.Album(), "The Album");
    EXPECT_EQ(m.Year(), "1987");
    EXPECT_EQ(m.Comment(), "Notes here");
    EXPECT_EQ(m.Genre(), "Comteporary Christian");
    EXPECT_EQ(m.PlayTime() > 10 && m.PlayTime() < 10.2, true);

    // The fixture tagged by id3tool at generation time, and the hand-made genre bytes.
    clsMP3 t;
    t.setFullName(media("tagged.mp3"));
    t.ReadMP3Info();
    EXPECT_EQ(t.Title(), "Test Title");
    EXPECT_EQ(t.Artist(), "Test Artist");
    EXPECT_EQ(t.Genre(), "Rock");
    const std::pair<const char*, const char*> genres[] = {
        {"genre136.mp3", "Christian Gangsta Rap"}, {"genre140.mp3", "Comteporary Christian"},
        {"genre148.mp3", "Beach Music"}, {"genre150.mp3", "Country Waltz"}, {"genre152.mp3", "90s Dance"},
        {"genre153.mp3", "Unknown"}, {"genre200.mp3", "Unknown"}, {"genre255.mp3", "Unknown"},
    };
    for (const auto& [file, genre] : genres) {
        t.setFullName(media(file));
        t.ReadMP3Info();
        EXPECT_EQ(t.Genre(), genre) << file;
    }
    t.setFullName(media("cp1252.mp3"));
    t.ReadMP3Info();
    EXPECT_EQ(t.Title(), QString::fromUtf8("Café"));
    EXPECT_EQ(t.Artist(), QString::fromUtf8("Björk"));
}

TEST_F(Mp3Tools, TagsWrittenByClsMP3AreReadByBothTools)
{
    for (const char* source : {"tone10s.mp3", "tagged.mp3", "id3v2_100k.mp3"}) {
        SCOPED_TRACE(source);
        const QString path = copyMedia(source, dir.path());
        const qint64 before = QFileInfo(path).size();
        clsMP3 m;
        m.setFullName(path);
        m.ReadMP3Info();
        const bool hadTag = m.TagPresent();
        // The tag editor's order of assignments.
        EXPECT_TRUE(m.setArtist(QString::fromUtf8("Motörhead & Friends")));
        EXPECT_TRUE(m.setTitle(QString::fromUtf8("Ace of Spades – Live “1981”")));
        EXPECT_TRUE(m.setAlbum("No Sleep"));
        EXPECT_TRUE(m.setComment("Side A"));
        EXPECT_TRUE(m.setYear("1981"));
        EXPECT_TRUE(m.setGenre("Heavy Metal"));
        EXPECT_EQ(QFileInfo(path).size(), before + (hadTag ? 0 : 128));

        const auto tool = id3tool(path);
        EXPECT_EQ(tool.value("Song Title"), QString::fromUtf8("Ace of Spades – Live “1981”"));
        EXPECT_EQ(tool.value("Artist"), QString::fromUtf8("Motörhead & Friends"));
        EXPECT_EQ(tool.value("Album"), "No Sleep");
        EXPECT_EQ(tool.value("Year"), "1981");
        EXPECT_EQ(tool.value("Genre"), "Heavy Metal (0x89)");

        const QStringList info = mp3info(path, "%t|%a|%l|%y|%c|%G");
        ASSERT_EQ(info.size(), 6);
        EXPECT_EQ(info[2], "No Sleep");
        EXPECT_EQ(info[3], "1981");
        EXPECT_EQ(info[4], "Side A");
        EXPECT_EQ(info[5], "137");
        // mp3info prints the tag's bytes as they stand: Windows-1252.
        QStringDecoder cp1252("windows-1252");
        EXPECT_EQ(QString(cp1252(info[1].toLatin1())), QString::fromUtf8("Motörhead & Friends"));
    }
}
