// Each tap of a card decided again by the rule set of the reader that
// recorded it, from the card's two records before it, as that reader
// decided it: what the rules give, whether the record is that, and what
// the reader's operating period must have been for it. Pure: the records
// and their moments are handed in. See docs/audit.md.
#pragma once

#include <cstdint>
#include <string>

#include "core/records.h"
#include "core/trip_facts.h"

// What a rule set gives a tap, as the audit words it.
struct RulesAnswer {
  int32_t fare;  // what it charges; kRefusedFare, or why no fare entry settled it
  TapKind kind;  // when accepted: what the tap is
  bool in;       // when accepted: an entry
};

// What a tap's record needs of its reader's operating period to be what
// the rules give: the rules settle an open entry (of the reader's own
// vehicle) at a reader whose period began after it, and close it at one
// whose period began at or before it.
enum class PeriodNeed : uint8_t {
  kAny,         // the rules give the record whenever the period began
  kUpToEntry,   // only if the period began at or before the open entry
  kAfterEntry,  // only if it began after it
  kNone,        // the rules give the record in no period
};

// One tap decided again.
struct Redecided {
  bool decided;          // its reader is one of the network's: false, and nothing else is set
  const char* readerId;  // that reader, as the network's table names it
  int reader;            // its place in kNetworkReaders
  bool bus;              // whether it runs the bus's rule set
  bool dependsOnPeriod;  // the answer differs as the period began before or after the entry
  RulesAnswer upTo;      // the answer where the period began at or before the card's latest record
  RulesAnswer after;  // where it began after it (upTo again when the answer does not depend on it)
  PeriodNeed need;    // what the record needs of the period
  bool kindKnown;     // an answer has the record's mode and direction: `kind` is the rules'
  TapKind kind;       // that answer's kind, preferring one that gives the record
};

// Decides again the tap `now` on the card `cardFile` (Card/<number>.txt,
// as a reader holds it), whose two records before it are `older` and
// `latest`, at the reader its tap id names, at `times` (the calendar times
// of older, latest and now; the period start is not used: both are tried).
// The tap id of `latest` may keep the CR of its line. Allocates nothing.
Redecided redecide(const CardRecord& older, const CardRecord& latest, const CardRecord& now,
                   const char* cardFile, const TripTimes& times);

// Whether an answer gives record `now`, made after a record holding
// `balanceBefore`: accepted, of the record's mode and direction, and
// taking what its balance fell by.
bool gives(const RulesAnswer& answer, bool bus, const CardRecord& now, int64_t balanceBefore);

// What the period allows of `need`, for a card whose open entry was made
// at packed time `entry`: the period began at or after packed time `after`
// (0 when nothing bounds it) and at or before packed time `by`.
enum class PeriodAllows { kYes, kNo, kUnknown };
PeriodAllows periodAllows(PeriodNeed need, int64_t entry, int64_t after, int64_t by);

// An answer in words: "a new ride, an entry that charges 1050", "a refusal",
// "no fare: no rule fits the card (Error 1)".
std::string answerWords(const RulesAnswer& answer, bool bus);

// A record in the same words, by what it took from `balanceBefore`: "an
// entry that charged 1100", "an exit that raised the balance by 500".
std::string recordWords(const CardRecord& now, int64_t balanceBefore);

// The tap number of a tap id ("S3_12": 12); 0 when it has none.
int32_t tapNumberOf(const char* tapId);
