#include "menus/filedelete.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

QString deleteSongFile(const QString& path)
{
    if (path.isEmpty())
        return QString::fromLocal8Bit(std::strerror(ENOENT));
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return errno == ENOENT ? QString() : QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return QString::fromLocal8Bit(std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return QStringLiteral("Not a song file.");
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}
