// Windows-style profile (INI) files with the read and write rules their callers rely on:
// section and key names compared without regard to case, values trimmed of blanks and of one
// pair of surrounding quotes, the first of duplicate keys wins, values cut to 2047 characters;
// a write creates file, section and key as needed, replaces a value in place (the key keeps the
// file's own spelling of its name), adds a new key at the end of its section and a new section
// at the end of the file, keeps every other line byte for byte, ends its lines with CR LF and
// replaces the file atomically.
#pragma once

#include <QByteArray>
#include <QString>

namespace profile {

constexpr int MaxValueLength = 2047;

// The value of key in section, or def when the file, the section or the key is missing.
QString getString(const QString& file, const QString& section, const QString& key, const QString& def);

// Sets key in section to value; false when the file could not be written, *error (when given)
// then says why and the file is as it was. The read-change-replace holds the lock file
// file + ".lock", so that two programs writing the same file at once keep each other's changes.
bool writeString(const QString& file, const QString& section, const QString& key, const QString& value,
                 QString* error = nullptr);

// The same two operations on the bytes of a file, for callers that hold them already.
QString lookup(const QByteArray& contents, const QString& section, const QString& key, const QString& def);
QByteArray withValue(const QByteArray& contents, const QString& section, const QString& key, const QString& value);

// Text of a file we read: UTF-8, or Windows-1252 when the bytes are not valid UTF-8.
QString decodeText(const QByteArray& bytes);

} // namespace profile
