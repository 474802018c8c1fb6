// What the program knows of a song from its path alone: whether it is a song file a deck or the
// tag editor can open, and the title a song without one in its tag is shown by.
#pragma once

#include <QString>

// Whether a path names a song the program can open: an ordinary file that is neither a folder
// nor hidden. The deck load, the auto-DJ's queue feeding and the tag editor use the same test,
// so a row one of them refuses is refused by all.
bool songFileExists(const QString& path);

// Logs under location that a song was refused or dropped because its file is missing, naming
// the path, so a song that leaves a list or a request that stays has a line to find.
void logMissingSong(const QString& path, const QString& location);

// The title of a song whose tag gives none: the file name without its folder and without its
// last four characters (Song.mp3 gives Song); a name of fewer than four characters is kept whole.
QString titleFallback(const QString& path);
