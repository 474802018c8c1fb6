#include "library/filenamesplit.h"

QString songBaseName(const QString& path)
{
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    return name.size() > 4 ? name.left(name.size() - 4) : QString();
}

std::optional<FileNameSplit> splitFileName(const QString& baseName)
{
    // Only the dash the name is split at matters: "-Intro - Song" splits at its second one.
    const qsizetype dash = baseName.lastIndexOf(QLatin1Char('-'));
    if (dash <= 0)
        return std::nullopt;
    return FileNameSplit{baseName.left(dash).trimmed(), baseName.mid(dash + 1).trimmed()};
}
