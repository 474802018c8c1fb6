// The walk of the media folders: every folder tree in turn, each folder's sub-folder trees
// (in name order, each complete before the next) before the folder's own MP3 files (in name
// order). It opens no song file. It runs a slice at a time so the window keeps working while a
// large library is listed, and it enters every real folder once, so a symbolic link that
// points back up the tree cannot make it loop.
#pragma once

#include "library/songlistmodel.h"

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class MediaWalk {
public:
    explicit MediaWalk(std::vector<QString> roots);
    ~MediaWalk();

    // Walks on for about budget, appending one bare row per MP3 file to out (Title the file
    // name, Filename the full path, other cells empty). True once the walk is finished.
    bool step(std::vector<SongRow>& out, std::chrono::microseconds budget);

    // Told about a folder that could not be read (it is skipped with its whole tree).
    std::function<void(const QString& folder, const QString& reason)> onError;

private:
    struct Frame;
    bool enter(const QString& path, bool isRoot);

    std::vector<QString> roots_;
    size_t nextRoot_ = 0;
    std::vector<std::unique_ptr<Frame>> stack_;
    struct Visited;
    std::unique_ptr<Visited> visited_;
};
