// A day of the network, simulated: passengers on journeys across the ring
// and the bus, each tap decided by the real rule sets on a simulated clock
// and operating periods, and written in the readers' own formats. The same
// plan and seed give the same files, byte for byte; the clock is UTC.
#pragma once

#include <cstdint>
#include <string>

struct SimulationPlan {
  int64_t cards = 1000;     // cards issued, numbered from 1
  int64_t taps = 10000;     // about how many taps the day holds
  uint64_t seed = 1;        // the passengers' choices
  int64_t date = 20260306;  // the day, YYYYMMDD
};

struct SimulationResult {
  int64_t taps = 0;      // taps recorded
  int64_t refused = 0;   // taps refused for want of balance
  int64_t journeys = 0;  // journeys begun
};

// Issues the plan's cards in the network directory `dir` (which must hold
// no card yet; Card/ and Reader_txt/ are made if missing) and simulates the
// day on them, changing neither the process's working directory nor its
// time zone. Returns false, with `problem` set, when it cannot.
[[nodiscard]] bool simulateDay(const std::string& dir, const SimulationPlan& plan,
                               SimulationResult* result, std::string* problem);
