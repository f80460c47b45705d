// Cards described the way the rules speak of them ("BUS OUT, 10 s old"),
// at a fixed moment, and the worked taps that run them through a rule set.
#pragma once

#include <cstdint>
#include <string>

#include "core/records.h"
#include "core/tap_result.h"

// The moment every trip test taps at, and the start of its operating period.
extern const int64_t kNow;
extern const int64_t kPeriodStart;

// A record of "MODE DIRECTION" (for example "BUS OUT") made `age` seconds
// before kNow.
CardRecord tapAt(const char* modeAndDirection, int64_t age, int32_t balance, const char* tapId);

// One worked tap: the card's older and latest record, and what the tap
// must give.
struct WorkedTap {
  const char* older;              // "MODE DIRECTION" of the older record
  int64_t gap;                    // seconds from the older record to the latest
  const char* latest;             // "MODE DIRECTION" of the latest record
  const char* latestId;           // tap id of the latest record
  int64_t age;                    // seconds from the latest record to the tap
  int32_t balance;                // balance on the latest record
  int32_t fare;                   // expected fare; kRefusedFare or kNoFareEntry
  const char* direction;          // direction of the appended record
  bool logsPreviousId;            // whether the log gets the latest record's id
  const TapKind* kind = nullptr;  // what the accepted tap is, where it is checked
};

// The trip state derivation and the fare choice of one rule set.
using Derive = CardData (*)(const CardRecord&, const CardRecord&, const char*, const char*, int64_t,
                            int64_t);
using Choose = TapResult (*)(const CardData&, const TapStamp&);

// Runs a worked tap at `readerId` at kNow, as the period's first tap, and
// checks the result field by field. Returns a text naming every
// difference, empty when there is none.
std::string checkWorkedTap(const WorkedTap& tap, const char* readerId, Derive derive,
                           Choose choose);
