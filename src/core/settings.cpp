#include "core/settings.h"

#include "core/errorlog.h"
#include "platform/profile/profile.h"

QString AppPath;

QString configFile() { return AppPath + QStringLiteral("/config.ini"); }

QString ReadINI(const QString& section, const QString& key, const QString& def, const QString& file)
{
    return profile::getString(file, section, key, def);
}

bool WriteINI(const QString& section, const QString& key, const QString& value, const QString& file)
{
    QString why;
    if (profile::writeString(file, section, key, value, &why))
        return true;
    // The caller goes on as before, but a setting that could not be kept is logged with the
    // reason, so that a full disk or a read-only folder does not pass unnoticed.
    LogError(75, QStringLiteral("Path/File access error: ") + file + QStringLiteral(": ") + why,
             QStringLiteral("WriteINI"));
    return false;
}
