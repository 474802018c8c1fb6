#include "decks/songtags.h"

#include "core/clsMP3.h"

SongTags readSongTags(const QString& path)
{
    clsMP3 mp3;
    mp3.setFullName(path);
    mp3.ReadMP3Info(); // a missing file leaves every field empty
    SongTags t;
    t.title = mp3.Title();
    t.artist = mp3.Artist();
    t.genre = mp3.Genre();
    t.year = mp3.Year();
    t.channelMode = mp3.ChannelMode();
    t.bitrate = mp3.bitrate();
    t.original = mp3.Original();
    t.playTime = mp3.PlayTime();
    return t;
}
