// The operating period: a timer thread opens a new period whenever more
// than 180 seconds have passed since the current one began, recording its
// start in `init` and restarting the tap counter `count`.
#pragma once

#include <cstdint>

// Whether a period that began at `start` is over at `now`.
bool periodExpired(int64_t start, int64_t now);

// When a timer that looks at the clock every second opens the period after
// one that began at `start`: the first whole second at which it is over.
int64_t nextPeriodStart(int64_t start);

// One look at the clock by the timer: opens a new period at `now` if the
// current one is over.
void periodTick(int64_t now);

// The number the next accepted tap takes: one more than the counter now.
int32_t nextTapNumber();

// Raises the counter to `number` for a tap accepted with that number.
// Returns false, raising nothing, when the counter is no longer one less
// (the timer opened a new period meanwhile): the tap takes another number.
[[nodiscard]] bool claimTapNumber(int32_t number);

// The body of the timer thread: starts the first period, then checks the
// clock every second. Never returns.
void* checkTime(void* ignored);

// Starts the timer thread. Returns false if it could not be started; the
// reader then runs without periods.
[[nodiscard]] bool startPeriodTimer();
