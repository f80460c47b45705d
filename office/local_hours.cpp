// Converting packed local times through the hours converted before.
#include "office/local_hours.h"

#include "core/packed_time.h"

// Slots in the table: a power of two.
constexpr size_t kHourSlots = 16384;

LocalHours makeLocalHours() {
  LocalHours hours;
  hours.hours.resize(kHourSlots);
  return hours;
}

// The slot of packed hour `key`: consecutive hours of consecutive days take
// consecutive slots, so that any 22 months fit without two sharing one.
static size_t slotOf(int64_t key) {
  int64_t hour = key % 100, day = key / 100 % 100, month = key / 10000 % 100, year = key / 1000000;
  return static_cast<size_t>(((year * 12 + month) * 31 + day) * 24 + hour) & (kHourSlots - 1);
}

int64_t calendarTime(LocalHours* hours, int64_t packed) {
  int64_t minute = packed / 100 % 100, second = packed % 100;
  if (packed < 0 || minute > 59 || second > 59 || hours->hours.empty()) return makeTime(packed);
  int64_t key = packed / 10000;
  LocalHours::Hour& hour = hours->hours[slotOf(key)];
  if (hour.key != key) {
    hour.key = key;
    hour.start = makeTime(key * 10000);
    // An hour that starts 3600 s after the one before it and 3600 s before
    // the next has no clock change in it, and shows no time twice (where
    // the clock goes back, which of the two a time is depends on the
    // platform, and on what it converted last): makeTime takes hour 24 as
    // the next day's first, and hour -1 as the day before's last.
    int64_t previous = makeTime(key * 10000 - 10000);
    hour.even = hour.start - previous == 3600 && makeTime(key * 10000 + 10000) - hour.start == 3600;
  }
  return hour.even ? hour.start + minute * 60 + second : makeTime(packed);
}
