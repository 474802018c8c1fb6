#include "support/testutil.h"

#include "support/childprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testutil {

QString media(const QString& name)
{
    return QStringLiteral(QUENLOW_MEDIA_DIR) + QLatin1Char('/') + name;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

QString copyMedia(const QString& name, const QString& toFolder, const QString& asName)
{
    const QString target = toFolder + QLatin1Char('/') + (asName.isEmpty() ? QFileInfo(name).fileName() : asName);
    QFile::remove(target);
    if (!QFile::copy(media(name), target))
        return {};
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                      | QFileDevice::ReadOther);
    return target;
}

QByteArray run(const QString& program, const QStringList& args, int* code)
{
    ChildProcess p;
    if (p.start(program, args))
        p.waitForFinished(std::chrono::seconds(60));
    if (code)
        *code = p.exitCode();
    return p.output();
}

} // namespace testutil
