// Packed times: the local date and time as the decimal digits
// YYYYMMDDhhmmss of one 64-bit integer, and their conversions to and from
// calendar time (seconds, as the clock gives them).
#pragma once

#include <cstdint>
#include <string>

// The calendar clock in whole seconds. Tests may pin it to a fixed value.
int64_t calendarNow();

// Pins calendarNow to t; 0 returns it to the platform clock.
void pinClock(int64_t t);

// The packed local time of now.
int64_t getTime();

// The packed local time of calendar time t (0 if t has no local time).
int64_t timetolong(int64_t t);

// The calendar time of packed local time p. Out-of-range groups are
// normalised (second 60 is the next minute); daylight saving time is
// left to the platform, so that makeTime(timetolong(t)) == t.
int64_t makeTime(int64_t p);

// The current-time line of the display for packed time p, its groups as
// plain numbers without leading zeros.
std::string formatTimeLine(int64_t p);

// Prints the current-time line for p.
void printTime(int64_t p);
