// Bus fare entries. Every accepted tap records a BUS record and names its
// kind; a transfer boarding and leaving a bus boarded by transfer give the
// reader log the card's previous tap id, which ties them to the trip they
// continue.
#include "bus/fare_entries.h"

#include <ctime>

#include "bus/fares.h"

namespace bus {

int32_t rideTimeFare(int64_t boardedAt, int64_t nowAt) {
  double units =
      difftime(static_cast<time_t>(nowAt), static_cast<time_t>(boardedAt)) / kRideUnitSeconds;
  // A boarding dated after now (a reader with a fast clock) costs nothing;
  // it must never credit the card.
  if (units < 0) return 0;
  // From the cap on the fare is the cap; testing first keeps the
  // conversion below in range for any ride time.
  if (units >= kRideFareCap / kRideUnitFare) return kRideFareCap;
  return static_cast<int32_t>(units) * kRideUnitFare;
}

static TapResult board(const CardData& card, const TapStamp& stamp, int32_t fare, TapKind kind) {
  return acceptTap(card, stamp, fare, kind, "BUS", "IN");
}

TapResult ridingEnable(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kBoardingFare, TapKind::kNewRide);
}
TapResult ridingDisable(CardData card) {
  return refuseTap(card);
}
TapResult transferEnable(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kTransferFare, TapKind::kTransfer);
}
TapResult transferDisable(CardData card) {
  return refuseTap(card);
}
TapResult normalExit(CardData card, const TapStamp& stamp) {
  return acceptTap(card, stamp, kExitFare, TapKind::kExit, "BUS", "OUT");
}

TapResult afterTransExit(CardData card, const TapStamp& stamp) {
  int32_t fare = rideTimeFare(card.lastAt, stamp.at);
  return acceptTap(card, stamp, fare, TapKind::kExitAfterTransfer, "BUS", "OUT");
}

TapResult afterSub_E(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kOpenSubwayFare, TapKind::kSettlement);
}
TapResult afterSub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterBusub_E(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kOpenBusToSubwayFare, TapKind::kSettlement);
}
TapResult afterBusub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterSubus_E(CardData card, const TapStamp& stamp) {
  return board(card, stamp, kOpenSubwayToBusFare, TapKind::kSettlement);
}
TapResult afterSubus_D(CardData card) {
  return refuseTap(card);
}

}  // namespace bus
