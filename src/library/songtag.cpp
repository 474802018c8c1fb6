#include "library/songtag.h"

#include "core/clsMP3.h"
#include "core/timetext.h"

namespace {
// The tag read every list uses: a fresh MP3 object per song, released at once.
SongTag readWithMp3Object(const QString& path)
{
    clsMP3 mp3;
    mp3.setFullName(path);
    mp3.ReadMP3Info();
    SongTag t;
    t.title = mp3.Title();
    t.artist = mp3.Artist();
    t.playTime = mp3.PlayTime();
    t.genre = mp3.Genre();
    return t;
}

} // namespace

TagReader& tagReader()
{
    static TagReader reader = readWithMp3Object;
    return reader;
}

bool isMp3Name(const QString& name)
{
    return name.size() >= 3 && name.right(3).compare(QLatin1String("mp3"), Qt::CaseInsensitive) == 0;
}

SongCells readSongCells(const QString& path)
{
    const SongTag tag = tagReader()(path);
    SongCells c;
    c.title = tag.title;
    if (c.title.isEmpty())
        c.title = titleFallback(path);
    c.artist = tag.artist;
    c.time = PlayTimeText(tag.playTime);
    c.genre = tag.genre;
    return c;
}
