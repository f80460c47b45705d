// Cards at a fixed moment, and the worked-tap check.
#include "tests/support/trip_cards.h"

#include <sstream>

#include "core/packed_time.h"
#include "tests/support/test_support.h"

// 6 March 2026, 12:00:00 local time.
const int64_t kNow = makeTime(20260306120000);
const int64_t kPeriodStart = kNow - 120;

CardRecord tapAt(const char* modeAndDirection, int64_t age, int32_t balance, const char* tapId) {
  return recordAt(modeAndDirection, kNow - age, balance, tapId);
}

std::string checkWorkedTap(const WorkedTap& tap, const char* readerId, Derive derive,
                           Choose choose) {
  CardRecord older = tapAt(tap.older, tap.age + tap.gap, tap.balance + 500, "S2_1");
  CardRecord latest = tapAt(tap.latest, tap.age, tap.balance, tap.latestId);
  CardData card = derive(older, latest, "Card/1.txt", readerId, kPeriodStart, kNow);
  TapResult result = choose(card, TapStamp{readerId, 1, timetolong(kNow), kNow});

  std::ostringstream wrong;
  bool accepted = tap.fare >= 0;
  std::string newId = std::string(readerId) + "_1";
  std::string logId = tap.logsPreviousId ? tap.latestId : newId.c_str();
  if (result.fare != tap.fare) wrong << " fare " << result.fare;
  if (accepted) {
    const TapEntry& e = result.entry;
    if (result.balance != tap.balance - tap.fare || e.newBalance != result.balance) {
      wrong << " balance " << result.balance << "/" << e.newBalance;
    }
    if (e.charged != tap.fare) wrong << " charged " << e.charged;
    if (e.time != timetolong(kNow)) wrong << " time " << e.time;
    if (std::string(e.inOut) != tap.direction) wrong << " direction " << e.inOut;
    if (std::string(e.mode) != (readerId[0] == 'B' ? "BUS" : "SUBWAY")) wrong << " mode " << e.mode;
    if (e.tapId != newId || e.logTapId != logId) wrong << " ids " << e.tapId << "/" << e.logTapId;
    if (std::string(e.cardFile) != "Card/1.txt") wrong << " card " << e.cardFile;
    if (tap.kind != nullptr && result.kind != *tap.kind) {
      wrong << " kind " << static_cast<int>(result.kind);
    }
  } else {
    if (tap.fare == kRefusedFare && result.balance != tap.balance) {
      wrong << " balance " << result.balance;
    }
    if (result.entry.charged != tap.fare) wrong << " charged " << result.entry.charged;
    // A tap not accepted takes no number.
    if (result.entry.tapId[0] != '\0') wrong << " id " << result.entry.tapId;
  }
  return wrong.str();
}
