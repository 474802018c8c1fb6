// Replacing a file whole. Every file the program keeps (settings, song lists, the media folder
// list) is written through here, so that a full disk, a crash or a kill half-way through a save
// leaves the previous file exactly as it was.
#pragma once

#include <QByteArray>
#include <QString>

namespace files {

// Writes bytes to a new file beside path, checks every write, forces the bytes to the disk
// and only then renames the new file over path. The replaced file's permission bits are kept,
// and a symbolic link at path is followed (the file it points to is replaced, the link stays).
// On any failure the new file is removed, path is untouched, false is returned and *error
// (when given) holds the system's reason, such as "No space left on device". With syncFolder the
// folder is forced to the disk after the rename as well, so that after a power cut it holds the
// new file and not the old one (for a save that another program's data is then changed on).
bool writeWhole(const QString& path, const QByteArray& bytes, QString* error = nullptr, bool syncFolder = false);

// Appends bytes to the end of path (made when missing), unbuffered. Bytes that do not all fit
// (a full disk) are taken back, so the file never ends in a part of them. False with *error
// (when given) holding the system's reason when the bytes are not in the file.
bool append(const QString& path, const QByteArray& bytes, QString* error = nullptr);

// The system's text for an errno value.
QString reason(int errnoValue);

} // namespace files
