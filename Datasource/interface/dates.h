// Date and time conversion.
//
// An internal date-time is a double counting seconds since 14 October 1582,
// 00:00:00 local time (no time zone). A time of day or a duration is a double
// counting seconds. Every function returns 1 on success and 0 when an argument
// is out of range; on failure nothing is written.
#pragma once

#include "vesk_export.h"

extern "C" {

// Calendar date and time of day to an internal date-time. Valid: 1582 <= year <
// 10000 (from 14 October 1582 on), month 1..12, day 1..31 (not checked against
// the month: 31 February counts as 3 March, 2 March in a leap year), hour 0..23,
// minute 0..59, 0 <= second < 60.
VESK_EXPORT int iDMY2Vesk(long day, long month, long year, long hour, long minute, double second, double* result);

// Internal date-time (0 <= value < 265621680000, up to the end of 9999-12-31)
// to its calendar parts. Any output pointer may be null; only the requested
// parts are computed.
VESK_EXPORT int iVesk2DMY(double value, long* day, long* month, long* year, long* hour, long* minute,
                          double* second);

// Hours (0..743), minutes (0..59) and seconds (0 <= s < 60) to seconds.
VESK_EXPORT int iHMS2Vesk(long hours, long minutes, double seconds, double* result);

// Seconds (0 <= value < 31 days) to hours, minutes and seconds of the day; whole
// days are dropped. Output pointers may be null.
VESK_EXPORT int iVesk2HMS(double value, long* hours, long* minutes, double* seconds);

// The current local date and time as an internal date-time (whole seconds).
VESK_EXPORT int iVeskNow(double* result);

}  // extern "C"
