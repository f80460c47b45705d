// Subway fare entries. Every accepted tap records a SUBWAY record; the
// transfer entry and the exits of a trip begun by transfer give the reader
// log the card's previous tap id, which ties them to the trip they continue.
#include "subway/fare_entries.h"

#include "core/tap_result.h"

namespace subway {

static TapResult enter(const CardData& card, int32_t fare, LogId logId) {
  return acceptTap(card, fare, "SUBWAY", "IN", logId);
}

static TapResult leave(const CardData& card, int32_t fare, LogId logId) {
  return acceptTap(card, fare, "SUBWAY", "OUT", logId);
}

TapResult ridingEnable(CardData card) {
  return enter(card, 1050, LogId::kNewId);
}
TapResult ridingDisable(CardData card) {
  return refuseTap(card);
}
TapResult transferEnable(CardData card) {
  return enter(card, 0, LogId::kPreviousId);
}
TapResult transferDisable(CardData card) {
  return refuseTap(card);
}
TapResult afterSub_E(CardData card) {
  return enter(card, 1250, LogId::kNewId);
}
TapResult afterSub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterBusub_E(CardData card) {
  return enter(card, 1650, LogId::kNewId);
}
TapResult afterBusub_D(CardData card) {
  return refuseTap(card);
}
TapResult afterSubus_E(CardData card) {
  return enter(card, 1750, LogId::kNewId);
}
TapResult afterSubus_D(CardData card) {
  return refuseTap(card);
}
TapResult noAddFeeN(CardData card) {
  return leave(card, 0, LogId::kNewId);
}
TapResult addFee(CardData card) {
  return leave(card, 200, LogId::kNewId);
}
TapResult noAddFeeT(CardData card) {
  return leave(card, 0, LogId::kPreviousId);
}
TapResult addFeeOne(CardData card) {
  return leave(card, 300, LogId::kPreviousId);
}
TapResult addFeeTwo(CardData card) {
  return leave(card, 600, LogId::kPreviousId);
}

}  // namespace subway
