// Packed times: the local date and time as the decimal digits
// YYYYMMDDhhmmss of one 64-bit integer, their conversions to and from
// calendar time (seconds, as the clock gives them), and the display's
// time line. Pure conversions: the clock itself is in clock.h.
#pragma once

#include <cstdint>
#include <string>

// The packed local time of calendar time t (0 if t has no local time).
int64_t timetolong(int64_t t);

// The packed UTC time of calendar time t (0 if it has none): what
// timetolong gives in the zone UTC, whatever the process's zone is.
int64_t packedUtc(int64_t t);

// The six groups of a packed time, each as it stands in its digits (month
// 13 stays 13).
struct PackedGroups {
  int year, month, day, hour, minute, second;
};

// Splits packed time p by truncating division; every group fits an int.
PackedGroups splitPacked(int64_t p);

// Packed time p as a date and time to read: "2026-03-06 09:15:02".
std::string formatDateTime(int64_t p);

// The calendar time of packed local time p. Out-of-range groups are
// normalised (second 60 is the next minute); daylight saving time is
// left to the platform, so that makeTime(timetolong(t)) == t.
int64_t makeTime(int64_t p);

// The current-time line of the display for packed time p, its groups as
// plain numbers without leading zeros (printTime, with the display, prints
// it).
std::string formatTimeLine(int64_t p);
