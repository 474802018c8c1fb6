#include "core/settings.h"

#include "platform/profile/profile.h"

QString AppPath;

QString configFile() { return AppPath + QStringLiteral("/config.ini"); }

QString ReadINI(const QString& section, const QString& key, const QString& def, const QString& file)
{
    return profile::getString(file, section, key, def);
}

bool WriteINI(const QString& section, const QString& key, const QString& value, const QString& file)
{
    return profile::writeString(file, section, key, value);
}
