// Reading a song's tag for a list row: title, artist, genre and play time, with the rules every
// list uses for a song without a title. The reader itself is replaceable, so tests and
// benchmarks can stand in for the file system.
#pragma once

#include "core/songfile.h"

#include <QString>
#include <functional>

struct SongTag {
    QString title, artist, genre;
    double playTime = -1; // seconds; -1 when no valid frame header was found
};

using TagReader = std::function<SongTag(const QString& path)>;

// The program's tag reader (the MP3 file object); replaceable for tests.
TagReader& tagReader();

// A name or path counts as an MP3 file when its last three characters, lower-cased, are "mp3".
bool isMp3Name(const QString& name);

// The cells of a freshly read row: title (with the fallback), artist, time text, genre.
struct SongCells {
    QString title, artist, time, genre;
};
SongCells readSongCells(const QString& path);
