// A day of the network, simulated: passengers on journeys across the ring
// and the bus, each tap decided by the real rule sets on a simulated clock
// and operating periods, and written in the readers' own formats. The same
// plan and seed give the same files, byte for byte; the clock is UTC.
#pragma once

#include <cstdint>
#include <string>

#include "core/records.h"

// A reader built with one fare wrong, as a test of the audit makes one: it
// decides every tap by the rules, but charges `fare` for each tap of `kind`
// it accepts (the card's balance falls by that, and its log says so). No
// reader is misbuilt while `readerId` is empty.
struct MisbuiltReader {
  char readerId[kReaderIdWidth] = "";
  TapKind kind = TapKind::kNewRide;
  int32_t fare = 0;
};

struct SimulationPlan {
  int64_t cards = 1000;     // cards issued, numbered from 1
  int64_t taps = 10000;     // about how many taps the day holds
  uint64_t seed = 1;        // the passengers' choices
  int64_t date = 20260306;  // the day, YYYYMMDD
  MisbuiltReader misbuilt;  // none, unless a test asks for one
};

struct SimulationResult {
  int64_t taps = 0;        // taps recorded
  int64_t refused = 0;     // taps refused for want of balance
  int64_t journeys = 0;    // journeys begun
  int64_t mischarged = 0;  // taps the misbuilt reader charged otherwise than its rules
};

// Reads a misbuilt reader written READER:KIND:FARE ("S3:new_ride:1100",
// KIND as tapKindName gives it) into `misbuilt`. Returns false, leaving it
// untouched, for anything else.
[[nodiscard]] bool parseMisbuilt(const std::string& text, MisbuiltReader* misbuilt);

// Issues the plan's cards in the network directory `dir` (which must hold
// no card yet; Card/ and Reader_txt/ are made if missing) and simulates the
// day on them, changing neither the process's working directory nor its
// time zone. Returns false, with `problem` set, when it cannot.
[[nodiscard]] bool simulateDay(const std::string& dir, const SimulationPlan& plan,
                               SimulationResult* result, std::string* problem);
