// Start-up, the endless tap loop, and the one tap transaction that all six
// readers share; each rule set hands in its own trip state and fare choice.
#pragma once

#include "core/records.h"
#include "core/tap_result.h"

// What tells one reader from another; fixed in each program.
struct ReaderConfig {
  const char* readerId;  // "S1" ... "S5", or "B"
  const char* banner;    // first line of every prompt
  const char* logPath;   // this reader's log, under Reader_txt/
};

// A rule set's trip state derivation: the card's two records, its path,
// this reader, when the operating period began and now (calendar seconds).
using DeriveTripState = CardData (*)(const CardRecord& older, const CardRecord& latest,
                                     const char* cardFile, const char* readerId,
                                     int64_t periodStart, int64_t now);

// A rule set's fare choice.
using ChooseFare = TapResult (*)(const CardData& card, const TapStamp& stamp);

// The trip state of the card intake has just read (the records handed in,
// name), at this reader, in this operating period, now.
CardData arrangeCardData(DeriveTripState derive, const CardRecord records[2]);

// The fare `choose` gives the card now at reader `readerId`, stamped with
// the next tap number of the period; the number is taken (claimed) only
// if the tap is accepted.
TapResult chooseAndClaim(const CardData& card, const char* readerId, ChooseFare choose);

// One tap: intake holds a card, `arrange` derives its trip state, `choose`
// picks the fare with the tap's stamp (the number the tap takes is claimed
// only if it is accepted), the outcome is shown and recorded, or the tap
// ends with its "Error" line; then the card is let go.
void tapTransaction(CardData (*arrange)(const CardRecord records[2]), ChooseFare choose);

// Sets the reader's identity, banner and log, warns when it does not run in
// a network directory, settles every tap left in flight, and starts the
// operating period timer: all that comes before the first tap.
void startReader(const ReaderConfig& config);

// Starts the reader, then runs one tap after another with a 2500 ms pause
// between them. Returns only through the end of console input.
[[noreturn]] void runReader(const ReaderConfig& config, void (*determineController)());
