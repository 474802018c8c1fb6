// The media folder list, MediaList.qnl in the program folder: one record per folder, the
// folder's path and its scan flag ("Yes": the media scan visits it; "No": listed, not scanned),
// in the list-file format. The media folder dialog edits it; start-up and the media scan read it.
#pragma once

#include <QString>
#include <vector>

namespace medialist {

struct Folder {
    QString path;
    QString scan; // "Yes", "No", or whatever an edited file holds

    bool operator==(const Folder&) const = default;
};

// AppPath + "/MediaList.qnl".
QString fileName();

struct ReadResult {
    bool exists = false;         // false: no folder is recorded
    std::vector<Folder> folders; // the complete records, in file order; an empty flag reads "Yes"
    bool incomplete = false;     // the file ended in the middle of a record (that record is dropped)
};

// Reads the folder list. A missing file gives exists = false and no folders; an unreadable one
// is treated like an incomplete one with no records.
ReadResult read(const QString& file = fileName());

// Writes the whole list, replacing the old file only once the new one is complete. A double
// quote in a path is stored as CHR(34). False when the file could not be written (the old one
// is then unchanged); *error says why.
bool write(const std::vector<Folder>& folders, const QString& file = fileName(), QString* error = nullptr);

} // namespace medialist
