// Bus fare entries. Every accepted tap records a BUS record; a transfer
// boarding and leaving a bus boarded by transfer give the reader log the
// card's previous tap id, which ties them to the trip they continue.
#include "bus/fare_entries.h"

#include <ctime>

#include "core/packed_time.h"
#include "core/tap_result.h"

namespace bus {

int32_t rideTimeFare(int64_t boarded, int64_t now) {
  double units =
      difftime(static_cast<time_t>(makeTime(now)), static_cast<time_t>(makeTime(boarded))) / 30.0;
  // A boarding dated after now (a reader with a fast clock) costs nothing;
  // it must never credit the card.
  if (units < 0) return 0;
  // From seven units on the fare is capped; testing first keeps the
  // conversion below in range for any ride time.
  if (units >= 7) return 700;
  return static_cast<int32_t>(units) * 100;
}

static TapResult board(const CardData& card, int32_t fare, LogId logId) {
  return acceptTap(card, fare, "BUS", "IN", logId);
}

TapResult ridingEnable(CardData card) {
  return board(card, 1050, LogId::kNewId);
}
TapResult ridingDisable(CardData card) {
  return refuseTap(card);
}
TapResult transferEnable(CardData card) {
  return board(card, 0, LogId::kPreviousId);
}
TapResult transferDisable(CardData card) {
  return refuseTap(card);
}
TapResult normalExit(CardData card) {
  return acceptTap(card, 0, "BUS", "OUT", LogId::kNewId);
}

TapResult afterTransExit(CardData card) {
  int32_t fare = rideTimeFare(card.lastTime, getTime());
  return acceptTap(card, fare, "BUS", "OUT", LogId::kPreviousId);
}

TapResult afterSub_E(CardData card) {
  return board(card, 1250, LogId::kNewId);
}
TapResult afterSub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterBusub_E(CardData card) {
  return board(card, 1650, LogId::kNewId);
}
TapResult afterBusub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterSubus_E(CardData card) {
  return board(card, 1750, LogId::kNewId);
}
TapResult afterSubus_D(CardData card) {
  return refuseTap(card);
}

}  // namespace bus
