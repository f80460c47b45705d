// Packed times: the local date and time as the decimal digits
// YYYYMMDDhhmmss of one 64-bit integer, their conversions to and from
// calendar time (seconds, as the clock gives them), and the display's
// time line. Pure conversions: the clock itself is in clock.h.
#pragma once

#include <cstdint>
#include <string>

// The packed local time of calendar time t (0 if t has no local time).
int64_t timetolong(int64_t t);

// The calendar time of packed local time p. Out-of-range groups are
// normalised (second 60 is the next minute); daylight saving time is
// left to the platform, so that makeTime(timetolong(t)) == t.
int64_t makeTime(int64_t p);

// The current-time line of the display for packed time p, its groups as
// plain numbers without leading zeros (printTime, with the display, prints
// it).
std::string formatTimeLine(int64_t p);
