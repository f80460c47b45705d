// Bus fare entries. Every accepted tap records a BUS record; a transfer
// boarding and leaving a bus boarded by transfer give the reader log the
// card's previous tap id, which ties them to the trip they continue.
#include "bus/fare_entries.h"

#include <ctime>

#include "bus/fares.h"
#include "core/packed_time.h"

namespace bus {

int32_t rideTimeFare(int64_t boarded, int64_t now) {
  double units =
      difftime(static_cast<time_t>(makeTime(now)), static_cast<time_t>(makeTime(boarded))) /
      kRideUnitSeconds;
  // A boarding dated after now (a reader with a fast clock) costs nothing;
  // it must never credit the card.
  if (units < 0) return 0;
  // From the cap on the fare is the cap; testing first keeps the
  // conversion below in range for any ride time.
  if (units >= kRideFareCap / kRideUnitFare) return kRideFareCap;
  return static_cast<int32_t>(units) * kRideUnitFare;
}

static TapResult board(const CardData& card, const TapStamp& stamp, int32_t fare, LogId logId) {
  return acceptTap(card, stamp, fare, "BUS", "IN", logId);
}

TapResult ridingEnable(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kBoardingFare, LogId::kNewId);
}
TapResult ridingDisable(CardData card) {
  return refuseTap(card);
}
TapResult transferEnable(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kTransferFare, LogId::kPreviousId);
}
TapResult transferDisable(CardData card) {
  return refuseTap(card);
}
TapResult normalExit(CardData card, const TapStamp& stamp) {
  return acceptTap(card, stamp, kExitFare, "BUS", "OUT", LogId::kNewId);
}

TapResult afterTransExit(CardData card, const TapStamp& stamp) {
  int32_t fare = rideTimeFare(card.lastTime, stamp.now);
  return acceptTap(card, stamp, fare, "BUS", "OUT", LogId::kPreviousId);
}

TapResult afterSub_E(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kOpenSubwayFare, LogId::kNewId);
}
TapResult afterSub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterBusub_E(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kOpenBusToSubwayFare, LogId::kNewId);
}
TapResult afterBusub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterSubus_E(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kOpenSubwayToBusFare, LogId::kNewId);
}
TapResult afterSubus_D(CardData card) {
  return refuseTap(card);
}

}  // namespace bus
