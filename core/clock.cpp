// The platform clock, or a pinned one.
#include "core/clock.h"

#include <atomic>
#include <ctime>

#include "core/packed_time.h"

static std::atomic<int64_t> pinnedClock{0};

int64_t calendarNow() {
  int64_t pinned = pinnedClock.load();
  return pinned != 0 ? pinned : static_cast<int64_t>(time(nullptr));
}

void pinClock(int64_t t) {
  pinnedClock.store(t);
}

int64_t getTime() {
  return timetolong(calendarNow());
}
