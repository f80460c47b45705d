// The operating period timer. init and count are atomics: a reset is one
// store each, and raising the counter is one fetch-and-add that yields the
// raised value, so no tap id can be built from a counter cut by a reset.
#include "core/period.h"

#include <pthread.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "core/records.h"

std::atomic<int64_t> init{0};
std::atomic<int32_t> count{0};

// Longest a period lasts before the timer opens the next, in seconds.
constexpr double kPeriodSeconds = 180.0;
// How often the timer looks at the clock.
constexpr int kPollMs = 1000;

bool periodExpired(int64_t start, int64_t now) {
  return difftime(static_cast<time_t>(now), static_cast<time_t>(start)) > kPeriodSeconds;
}

void periodTick(int64_t now) {
  if (!periodExpired(init.load(), now)) return;
  init.store(now);
  count.store(0);
}

int32_t nextTapNumber() {
  return count.fetch_add(1) + 1;
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
