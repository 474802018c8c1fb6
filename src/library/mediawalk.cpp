#include "library/mediawalk.h"

#include "library/songtag.h"

#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <utility>

struct MediaWalk::Frame {
    QString path;                // as the walk reached it, without a trailing slash
    std::vector<QString> dirs;   // sub-folder names, sorted
    std::vector<QString> files;  // MP3 file names, sorted
    size_t nextDir = 0;
    size_t nextFile = 0;
};

struct MediaWalk::Visited {
    std::set<std::pair<dev_t, ino_t>> folders;
};

MediaWalk::MediaWalk(std::vector<QString> roots) : roots_(std::move(roots)), visited_(new Visited) {}

MediaWalk::~MediaWalk() = default;

namespace {
// Folder listings come sorted by name without regard to letter case; names that differ only
// in case keep a fixed order among themselves.
bool nameLess(const QString& a, const QString& b)
{
    const int c = a.compare(b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a < b;
}

QString withoutTrailingSlash(QString p)
{
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p;
}

QString childPath(const QString& folder, const QString& name)
{
    return folder == QLatin1String("/") ? folder + name : folder + QLatin1Char('/') + name;
}
} // namespace

bool MediaWalk::enter(const QString& path, bool isRoot)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        // A listed folder that does not exist, or is a file, is passed over without a word;
        // a sub-folder that vanished while we walked is worth a line in the log.
        if (!isRoot && onError)
            onError(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!visited_->folders.insert({st.st_dev, st.st_ino}).second)
        return false; // reached again through a link: already walked

    DIR* d = ::opendir(native.constData());
    if (!d) {
        if (onError)
            onError(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    auto frame = std::make_unique<Frame>();
    frame->path = path;
    while (dirent* e = ::readdir(d)) {
        const char* n = e->d_name;
        if (n[0] == '.') // ".", ".." and hidden entries
            continue;
        bool isDir = e->d_type == DT_DIR;
        bool isFile = e->d_type == DT_REG;
        const size_t len = std::strlen(n);
        const bool mp3Name = len >= 3 && (n[len - 3] | 0x20) == 'm' && (n[len - 2] | 0x20) == 'p' && n[len - 1] == '3';
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat es {};
            const QByteArray full = native + '/' + QByteArray(n);
            if (::stat(full.constData(), &es) == 0) {
                isDir = S_ISDIR(es.st_mode);
                isFile = S_ISREG(es.st_mode);
            }
        }
        if (isDir)
            frame->dirs.push_back(QFile::decodeName(n));
        else if (isFile && mp3Name)
            frame->files.push_back(QFile::decodeName(n));
    }
    ::closedir(d);
    std::sort(frame->dirs.begin(), frame->dirs.end(), nameLess);
    std::sort(frame->files.begin(), frame->files.end(), nameLess);
    stack_.push_back(std::move(frame));
    return true;
}

bool MediaWalk::step(std::vector<SongRow>& out, std::chrono::microseconds budget)
{
    QElapsedTimer clock;
    clock.start();
    const qint64 limit = budget.count() * 1000;
    int sinceCheck = 0;
    auto timeUp = [&] {
        if (++sinceCheck < 64)
            return false;
        sinceCheck = 0;
        return clock.nsecsElapsed() >= limit;
    };

    for (;;) {
        if (stack_.empty()) {
            if (nextRoot_ >= roots_.size())
                return true;
            enter(withoutTrailingSlash(roots_[nextRoot_++]), true);
            if (timeUp())
                return false;
            continue;
        }
        Frame& f = *stack_.back();
        if (f.nextDir < f.dirs.size()) {
            const QString child = childPath(f.path, f.dirs[f.nextDir++]);
            enter(child, false);
            sinceCheck += 16; // a listing costs more than a row
            if (timeUp())
                return false;
            continue;
        }
        while (f.nextFile < f.files.size()) {
            const QString& name = f.files[f.nextFile++];
            out.emplace_back(name, QString(), QString(), QString(), childPath(f.path, name));
            if (timeUp())
                return false;
        }
        stack_.pop_back();
    }
}
