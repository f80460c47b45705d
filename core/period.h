// The operating period: a timer thread opens a new period whenever more
// than 180 seconds have passed since the current one began, recording its
// start in `init` and restarting the tap counter `count`.
#pragma once

#include <cstdint>

// Whether a period that began at `start` is over at `now`.
bool periodExpired(int64_t start, int64_t now);

// One look at the clock by the timer: opens a new period at `now` if the
// current one is over.
void periodTick(int64_t now);

// Raises the tap counter and returns the raised value, in one atomic step.
int32_t nextTapNumber();

// The body of the timer thread: starts the first period, then checks the
// clock every second. Never returns.
void* checkTime(void* ignored);

// Starts the timer thread. Returns false if it could not be started; the
// reader then runs without periods.
bool startPeriodTimer();
