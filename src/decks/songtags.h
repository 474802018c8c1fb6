// The tag and header fields a deck shows of a song, read once per load.
#pragma once

#include <QString>

struct SongTags {
    QString title, artist, genre, year;
    QString channelMode; // as the header object gives it ("Stereo      ", ...)
    QString bitrate;     // "128", "NA " ...
    bool original = false;
    double playTime = -1; // seconds; -1 when the file has no valid frame header
};

// Reads the ID3v1 tag and the first frame header of a file. A missing or unreadable file
// gives empty texts and a play time of -1; nothing is raised.
SongTags readSongTags(const QString& path);
