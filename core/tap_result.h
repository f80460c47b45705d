// Building the outcome of a tap. Both rule sets' fare entries build their
// results here, so every accepted tap is charged, stamped and numbered the
// same way, and a refusal never carries anything that could be written.
#pragma once

#include <cstdint>

#include "core/records.h"

// What a fare choice needs besides the card, handed in by the tap
// transaction: who issues the tap's id, the number the tap takes if it is
// accepted, and when the tap is made (twice: as it is recorded, and as the
// seconds a fare by time is measured in).
struct TapStamp {
  const char* readerId;  // this reader: "S1" ... "S5" or "B"
  int32_t tapNumber;     // one more than the period's count now
  int64_t now;           // packed local time of the tap
  int64_t at;            // the same moment as calendar time: timetolong(at) == now
};

// The balance threshold of a tap that needs `needed` on the card: a rule
// accepts the tap when the balance is more than its threshold, so the
// threshold is one less than what the tap needs.
constexpr int32_t thresholdFor(int32_t needed) {
  return needed - 1;
}

// An accepted tap of `kind`: charges `fare` (never negative) to the card,
// stamps it with the stamp's time and a new tap id, "<readerId>_<tapNumber>",
// and gives the log that id, or the card's previous one for a kind that
// logs it (logsPreviousId). A charge that would take the balance below the
// smallest balance a card can hold is refused instead. A card whose path or
// previous id cannot be held gets no fare entry at all (intake never lets
// such a card through).
TapResult acceptTap(const CardData& card, const TapStamp& stamp, int32_t fare, TapKind kind,
                    const char* mode, const char* inOut);

// A tap refused for want of balance: the balance unchanged, nothing to write.
TapResult refuseTap(const CardData& card);

// The result of a tap that no fare entry settled: `why` is kNoFareEntry,
// kNoRuleFits or kNoSettlementFits. Nothing to show or write.
TapResult noFareEntry(int32_t why = kNoFareEntry);

// Whether a tap is accepted: it charges a fare (0 or more) and has an entry
// to record.
inline bool isAccepted(const TapResult& result) {
  return result.fare >= 0;
}

// Whether a tap's outcome is shown on the console: accepted, or refused for
// want of balance (a tap no fare entry settled shows only its "Error" line).
inline bool isShown(const TapResult& result) {
  return isAccepted(result) || result.fare == kRefusedFare;
}

// The console line a tap that no fare entry settled ends with: "Error 1",
// "Error 2", or none (nullptr).
const char* unsettledMessage(int32_t fare);
