#include "platform/files/wholefile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {
namespace {

// Writes all n bytes, going on after interruptions and short writes. A write that makes no
// progress counts as a full disk.
bool writeAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

// A new, empty file beside target with a name nobody else uses: target plus a dot and six
// random letters. mode is the permission the new file is created with (the umask applies).
int createBeside(const QByteArray& target, int mode, QByteArray* name)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray candidate = target + '.';
        for (int i = 0; i < 6; ++i)
            candidate += letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
        const int fd = ::open(candidate.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            *name = candidate;
            return fd;
        }
    }
    return -1;
}

} // namespace

QString reason(int errnoValue)
{
    char buffer[256];
    // The GNU strerror_r returns the text, which need not be in the buffer.
    const char* text = ::strerror_r(errnoValue, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}

bool append(const QString& path, const QByteArray& bytes, QString* error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    int e = fd < 0 ? errno : 0;
    if (fd >= 0) {
        struct stat before {};
        const bool sized = ::fstat(fd, &before) == 0;
        if (!writeAll(fd, bytes.constData(), size_t(bytes.size()))) {
            e = errno;
            if (sized && ::ftruncate(fd, before.st_size) != 0) {
                // What did fit stays; the failure is reported all the same.
            }
        }
        ::close(fd);
    }
    if (e && error)
        *error = reason(e);
    return e == 0;
}

bool writeWhole(const QString& path, const QByteArray& bytes, QString* error, bool syncFolder)
{
    const auto fail = [error](int e) {
        if (error)
            *error = reason(e);
        return false;
    };

    // A link is followed, so that a settings file or list kept elsewhere stays where it is.
    QString targetPath = path;
    const QFileInfo info(path);
    if (info.isSymLink()) {
        const QString resolved = info.canonicalFilePath();
        targetPath = resolved.isEmpty() ? info.symLinkTarget() : resolved;
    }
    const QByteArray target = QFile::encodeName(targetPath);
    if (target.isEmpty())
        return fail(ENOENT);

    struct stat old {};
    const bool existed = ::stat(target.constData(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode))
        return fail(EISDIR);

    QByteArray temp;
    const int fd = createBeside(target, existed ? 0600 : 0666, &temp);
    if (fd < 0)
        return fail(errno);
    if (existed)
        ::fchmod(fd, old.st_mode & 07777); // where that is refused, the file is still written

    bool ok = writeAll(fd, bytes.constData(), size_t(bytes.size()));
    // Some file systems only report a full disk when the bytes are forced out or at close.
    ok = ok && ::fsync(fd) == 0;
    int e = errno;
    if (::close(fd) != 0 && errno != EINTR && ok) { // after EINTR the file is closed all the same
        ok = false;
        e = errno;
    }
    if (ok && ::rename(temp.constData(), target.constData()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        ::unlink(temp.constData());
        return fail(e);
    }
    // Unless asked, the folder is not forced out as well: after a power cut it holds the old file
    // or the new one, each of them whole, and either is a list the DJ can use. The file is in
    // place by now, so a folder that cannot be forced out is kept as well as the system keeps it.
    if (syncFolder) {
        const QByteArray folder = QFile::encodeName(QFileInfo(targetPath).absolutePath());
        const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return true;
}

} // namespace files
