// Accepted, refused and unsettled tap results.
#include "core/tap_result.h"

#include <cstdio>

#include "core/packed_time.h"
#include "core/period.h"

TapResult acceptTap(const CardData& card, int32_t fare, const char* mode, const char* inOut,
                    LogId logId) {
  if (static_cast<int64_t>(card.balance) - fare < INT32_MIN) return refuseTap(card);
  TapResult result{};
  TapEntry& entry = result.entry;
  bool fits = copyText(entry.cardFile, card.cardFile) &&
              (logId == LogId::kNewId || copyText(entry.logTapId, card.lastTapId));
  if (!fits) return noFareEntry();

  result.fare = fare;
  result.balance = card.balance - fare;
  entry.charged = fare;
  entry.time = getTime();
  copyText(entry.mode, mode);
  copyText(entry.inOut, inOut);
  entry.newBalance = result.balance;
  // The counter stays far below the six digits an id has room for: a
  // period ends every three minutes and every tap takes 2.5 seconds.
  char id[kEntryTapIdWidth] = {};
  snprintf(id, sizeof id, "%s_%d", readerID, nextTapNumber());
  copyText(entry.tapId, id);
  if (logId == LogId::kNewId) copyText(entry.logTapId, id);
  return result;
}

TapResult refuseTap(const CardData& card) {
  TapResult result{};
  result.fare = kRefusedFare;
  result.balance = card.balance;
  result.entry.charged = kRefusedFare;
  return result;
}

TapResult noFareEntry() {
  TapResult result{};
  result.fare = kNoFareEntry;
  result.entry.charged = kNoFareEntry;
  return result;
}
