// Subway fare entries. Every accepted tap records a SUBWAY record; the
// transfer entry and the exits of a trip begun by transfer give the reader
// log the card's previous tap id, which ties them to the trip they continue.
#include "subway/fare_entries.h"

#include "subway/fares.h"

namespace subway {

static TapResult enter(const CardData& card, const TapStamp& stamp, int32_t fare, LogId logId) {
  return acceptTap(card, stamp, fare, "SUBWAY", "IN", logId);
}

static TapResult leave(const CardData& card, const TapStamp& stamp, int32_t fare, LogId logId) {
  return acceptTap(card, stamp, fare, "SUBWAY", "OUT", logId);
}

TapResult ridingEnable(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kRideFare, LogId::kNewId);
}
TapResult ridingDisable(CardData card) {
  return refuseTap(card);
}
TapResult transferEnable(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kTransferFare, LogId::kPreviousId);
}
TapResult transferDisable(CardData card) {
  return refuseTap(card);
}
TapResult afterSub_E(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kOpenSubwayFare, LogId::kNewId);
}
TapResult afterSub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterBusub_E(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kOpenBusToSubwayFare, LogId::kNewId);
}
TapResult afterBusub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterSubus_E(CardData card, const TapStamp& stamp) {
  return enter(card, stamp, kOpenSubwayToBusFare, LogId::kNewId);
}
TapResult afterSubus_D(CardData card) {
  return refuseTap(card);
}
TapResult noAddFeeN(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kExitFare, LogId::kNewId);
}
TapResult addFee(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kExitTwoAwayFare, LogId::kNewId);
}
TapResult noAddFeeT(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kTransferExitFare, LogId::kPreviousId);
}
TapResult addFeeOne(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kTransferExitOneAwayFare, LogId::kPreviousId);
}
TapResult addFeeTwo(CardData card, const TapStamp& stamp) {
  return leave(card, stamp, kTransferExitTwoAwayFare, LogId::kPreviousId);
}

}  // namespace subway
