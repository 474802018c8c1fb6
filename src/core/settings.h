// Settings access: every read and write of config.ini goes through these two.
#pragma once

#include <QString>

// The program's folder, the prefix of every file it reads or writes (set at start-up).
extern QString AppPath;

// The settings file: AppPath + "/config.ini".
QString configFile();

// The value of key in section of file, or def when missing; a present empty key reads "".
QString ReadINI(const QString& section, const QString& key, const QString& def, const QString& file);

// Writes key = value in section of file; creates what is missing. A failure leaves the file as
// it was and is written to the error log with its reason; callers go on as they always have,
// the result says whether it worked, for those who care.
bool WriteINI(const QString& section, const QString& key, const QString& value, const QString& file);
