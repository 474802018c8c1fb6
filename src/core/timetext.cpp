#include "core/timetext.h"

#include "core/errorlog.h"

#include <cmath>

QString SecondsToTime(double sec)
{
    return trapResult("B-263", QString(), [&] {
        if (!std::isfinite(sec))
            raiseError(6, QStringLiteral("Overflow"));
        const double t = std::fabs(std::trunc(sec));
        const double minutes = std::trunc(t / 60);
        if (minutes > 32767)
            raiseError(6, QStringLiteral("Overflow"));
        const int s = static_cast<int>(std::fmod(t, 60));
        return QString::number(static_cast<int>(minutes)) + QLatin1Char(':')
               + QString::number(s).rightJustified(2, QLatin1Char('0'));
    });
}

QString PlayTimeText(double playTime) { return SecondsToTime(playTime < 0 ? 0 : playTime); }
