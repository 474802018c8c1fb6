#include "library/medialist.h"

#include "core/settings.h"
#include "library/listfile.h"
#include "platform/files/wholefile.h"

#include <QFile>

namespace medialist {

QString fileName() { return AppPath + QStringLiteral("/MediaList.qnl"); }

ReadResult read(const QString& file)
{
    ReadResult r;
    if (!listfile::fileExists(file))
        return r;
    r.exists = true;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        r.incomplete = true;
        return r;
    }
    listfile::FieldReader in(f.readAll());
    for (;;) {
        QString fields[2];
        const auto row = in.readRow(fields, 2);
        if (row == listfile::FieldReader::Row::End)
            break;
        if (row == listfile::FieldReader::Row::Truncated) {
            r.incomplete = true;
            break;
        }
        if (fields[1].isEmpty())
            fields[1] = QStringLiteral("Yes");
        r.folders.push_back({fields[0], fields[1]});
    }
    return r;
}

bool write(const std::vector<Folder>& folders, const QString& file, QString* error)
{
    QByteArray out;
    for (const Folder& f : folders) {
        const QString fields[2] = {f.path, f.scan};
        listfile::appendLine(out, fields, 2);
    }
    return files::writeWhole(file, out, error);
}

} // namespace medialist
