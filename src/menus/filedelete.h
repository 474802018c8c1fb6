// Deleting a song file for good (no trash folder), as the Full Playlist's delete command does.
#pragma once

#include <QString>

// Removes the file or symbolic link at path (a link goes, never what it points to). A folder,
// or anything else that is not a file, is never removed, whatever its name. Returns "" when
// nothing is at path any more (a file that was already gone included), otherwise the reason it
// is still there, in the system's words.
QString deleteSongFile(const QString& path);
