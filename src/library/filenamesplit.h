// Title and artist suggested by a song's file name ("Blue Band - Night Song.mp3"). The auto-tag
// commands write what this gives and the Full Playlist's menu shows it in its captions, so both
// always agree.
#pragma once

#include <QString>
#include <optional>

// The base name of a song's file: the name without its folder and without its last four
// characters (the extension with its dot); empty when the name has four characters or fewer.
QString songBaseName(const QString& path);

// The two halves of a base name split at its last dash, each with the blanks around it
// trimmed: "Blue Band - Night Song" gives "Blue Band" and "Night Song", "Artist-Title" gives
// "Artist" and "Title", "-Intro - Song" gives "-Intro" and "Song". Nothing when the name has no
// dash or its last dash is its first character (an empty name included). A dash at the end
// leaves the right half empty.
struct FileNameSplit {
    QString left, right;
};
std::optional<FileNameSplit> splitFileName(const QString& baseName);
