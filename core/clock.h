// The reader's clock: calendar time in whole seconds, and the packed local
// time of now. Every stage that needs the time asks here, so that tests
// can pin it.
#pragma once

#include <cstdint>

// The calendar clock in whole seconds. Tests may pin it to a fixed value.
int64_t calendarNow();

// Pins calendarNow to t; 0 returns it to the platform clock.
void pinClock(int64_t t);

// The packed local time of now.
int64_t getTime();
