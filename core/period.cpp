// The operating period timer. init and count are atomics: a reset is one
// store each, and a tap raises the counter only from the value its number
// was taken from, so no tap id can be built from a counter cut by a reset.
#include "core/period.h"

#include <pthread.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "core/reader_state.h"

// Longest a period lasts before the timer opens the next, in seconds.
constexpr double kPeriodSeconds = 180.0;
// How often the timer looks at the clock.
constexpr int kPollMs = 1000;

bool periodExpired(int64_t start, int64_t now) {
  return difftime(static_cast<time_t>(now), static_cast<time_t>(start)) > kPeriodSeconds;
}

int64_t nextPeriodStart(int64_t start) {
  return start + static_cast<int64_t>(kPeriodSeconds) + 1;
}

void periodTick(int64_t now) {
  if (!periodExpired(init.load(), now)) return;
  init.store(now);
  count.store(0);
}

int32_t nextTapNumber() {
  return count.load() + 1;
}

bool claimTapNumber(int32_t number) {
  int32_t expected = number - 1;
  return count.compare_exchange_strong(expected, number);
}

void* checkTime(void*) {
  init.store(static_cast<int64_t>(time(nullptr)));
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    periodTick(static_cast<int64_t>(time(nullptr)));
  }
}

bool startPeriodTimer() {
  pthread_t timer;
  if (pthread_create(&timer, nullptr, checkTime, nullptr) != 0) return false;
  pthread_detach(timer);
  return true;
}
