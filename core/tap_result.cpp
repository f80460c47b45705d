// Accepted, refused and unsettled tap results.
#include "core/tap_result.h"

#include <cstdio>

#include "core/messages.h"

TapResult acceptTap(const CardData& card, const TapStamp& stamp, int32_t fare, TapKind kind,
                    const char* mode, const char* inOut) {
  if (static_cast<int64_t>(card.balance) - fare < INT32_MIN) return refuseTap(card);
  TapResult result{};
  TapEntry& entry = result.entry;
  bool previous = logsPreviousId(kind);
  bool fits = copyText(entry.cardFile, card.cardFile) &&
              (!previous || copyText(entry.logTapId, card.lastTapId));
  if (!fits) return noFareEntry();

  result.fare = fare;
  result.balance = card.balance - fare;
  result.kind = kind;
  entry.charged = fare;
  entry.time = stamp.now;
  copyText(entry.mode, mode);
  copyText(entry.inOut, inOut);
  entry.newBalance = result.balance;
  // The counter stays far below the six digits an id has room for: a
  // period ends every three minutes and every tap takes 2.5 seconds.
  char id[kEntryTapIdWidth] = {};
  snprintf(id, sizeof id, "%s_%d", stamp.readerId, stamp.tapNumber);
  copyText(entry.tapId, id);
  if (!previous) copyText(entry.logTapId, id);
  return result;
}

TapResult refuseTap(const CardData& card) {
  TapResult result{};
  result.fare = kRefusedFare;
  result.balance = card.balance;
  result.entry.charged = kRefusedFare;
  return result;
}

TapResult noFareEntry(int32_t why) {
  TapResult result{};
  result.fare = why;
  result.entry.charged = why;
  return result;
}

const char* unsettledMessage(int32_t fare) {
  if (fare == kNoRuleFits) return kError1Text;
  if (fare == kNoSettlementFits) return kError2Text;
  return nullptr;
}
