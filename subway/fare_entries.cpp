// Subway fare entries. Every accepted tap records a SUBWAY record and names
// its kind; the transfer entry and the exits of a trip begun by transfer
// give the reader log the card's previous tap id, which ties them to the
// trip they continue.
#include "subway/fare_entries.h"

#include "subway/fares.h"

namespace subway {

static TapResult enter(const CardData& card, const TapStamp& stamp, int32_t fare, TapKind kind) {
  return acceptTap(card, stamp, fare, kind, "SUBWAY", "IN");
}

static TapResult leave(const CardData& card, const TapStamp& stamp, int32_t fare, TapKind kind) {
  return acceptTap(card, stamp, fare, kind, "SUBWAY", "OUT");
}

TapResult ridingEnable(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kRideFare, TapKind::kNewRide);
}
TapResult ridingDisable(CardData card) {
  return refuseTap(card);
}
TapResult transferEnable(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kTransferFare, TapKind::kTransfer);
}
TapResult transferDisable(CardData card) {
  return refuseTap(card);
}
TapResult afterSub_E(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kOpenSubwayFare, TapKind::kSettlement);
}
TapResult afterSub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterBusub_E(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kOpenBusToSubwayFare, TapKind::kSettlement);
}
TapResult afterBusub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterSubus_E(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kOpenSubwayToBusFare, TapKind::kSettlement);
}
TapResult afterSubus_D(CardData card) {
  return refuseTap(card);
}
TapResult noAddFeeN(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kExitFare, TapKind::kExit);
}
TapResult addFee(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kExitTwoAwayFare, TapKind::kExit);
}
TapResult noAddFeeT(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kTransferExitFare, TapKind::kExitAfterTransfer);
}
TapResult addFeeOne(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kTransferExitOneAwayFare, TapKind::kExitAfterTransfer);
}
TapResult addFeeTwo(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kTransferExitTwoAwayFare, TapKind::kExitAfterTransfer);
}

}  // namespace subway
