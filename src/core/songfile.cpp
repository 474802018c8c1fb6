#include "core/songfile.h"

#include "core/errorlog.h"

#include <QFileInfo>

bool songFileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo file(path);
    return file.isFile() && !file.isHidden();
}

void logMissingSong(const QString& path, const QString& location)
{
    LogError(53, QStringLiteral("File not found: ") + path, location);
}

QString titleFallback(const QString& path)
{
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    return name.size() >= 4 ? name.left(name.size() - 4) : name;
}
