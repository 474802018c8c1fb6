// Song lengths as minutes and seconds: "3:05", "62:05", no hours field.
#pragma once

#include <QString>

// Whole seconds of |sec| as minutes, a colon and two-digit seconds; logged under "B-263" and
// empty when the minutes do not fit in 16 bits (32768 minutes and more).
QString SecondsToTime(double sec);

// A song's play time as Time text. A play time below zero is no length at all (-1: the file is
// missing, empty or holds no MP3 header) and shows as 0:00, never as the magnitude of the marker.
QString PlayTimeText(double playTime);
