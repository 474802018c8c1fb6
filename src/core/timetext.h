// Song lengths as minutes and seconds: "3:05", "62:05", no hours field.
#pragma once

#include <QString>

// Whole seconds of |sec| as minutes, a colon and two-digit seconds; logged under "B-263" and
// empty when the minutes do not fit in 16 bits (32768 minutes and more).
QString SecondsToTime(double sec);
