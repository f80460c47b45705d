// Accepted, refused and unsettled tap results.
#include "core/tap_result.h"

#include <cstring>

#include "core/messages.h"

// Writes "<readerId>_<number>" into `id`, cut to its width as snprintf
// would cut it: what every accepted tap is stamped with, made without the
// cost of a format string (the audit makes one for each tap it decides
// again).
static void tapIdOf(const char* readerId, int32_t number, char (&id)[kEntryTapIdWidth]) {
  // All that can survive the cut: the id's width, and a sign and ten digits.
  char text[kEntryTapIdWidth + 16];
  size_t length = strnlen(readerId, kEntryTapIdWidth - 1);
  memcpy(text, readerId, length);
  text[length++] = '_';
  int64_t value = number;
  if (value < 0) {
    text[length++] = '-';
    value = -value;
  }
  char digits[12];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0) text[length++] = digits[--count];
  text[length] = '\0';
  copyText(id, text);
}

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
  tapIdOf(stamp.readerId, stamp.tapNumber, entry.tapId);
  if (!previous) copyText(entry.logTapId, entry.tapId);
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
