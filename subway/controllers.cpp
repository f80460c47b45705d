// Subway exit and uncalculated controllers. Fares and the balance each
// entry needs are in fares.h.
#include "subway/controllers.h"

#include "subway/fare_entries.h"
#include "subway/fares.h"

namespace subway {

TapResult normalExitController(CardData card, const TapStamp& stamp) {
  if (card.stationDistance <= 1) return noAddFeeN(card, stamp);
  return addFee(card, stamp);
}

TapResult afterTransExitController(CardData card, const TapStamp& stamp) {
  if (card.stationDistance == 0) return noAddFeeT(card, stamp);
  if (card.stationDistance == 1) return addFeeOne(card, stamp);
  if (card.stationDistance == 2) return addFeeTwo(card, stamp);
  return noFareEntry();
}

TapResult uncalculatedController(CardData card, const TapStamp& stamp) {
  bool openSubwayTrip = card.otherStation || card.staleEntry;
  bool settlesSubway = openSubwayTrip && !card.enteredByTransfer;
  if (settlesSubway && card.balance > kOpenSubwayThreshold) return afterSub_E(card, stamp);
  if (settlesSubway && card.balance <= kOpenSubwayThreshold) return afterSub_D(card);
  if (card.busToSubway && card.balance > kOpenBusToSubwayThreshold) {
    return afterBusub_E(card, stamp);
  }
  if (card.busToSubway && card.balance <= kOpenBusToSubwayThreshold) return afterBusub_D(card);
  if (card.subwayToBus && card.balance > kOpenSubwayToBusThreshold) {
    return afterSubus_E(card, stamp);
  }
  if (card.subwayToBus && card.balance <= kOpenSubwayToBusThreshold) return afterSubus_D(card);
  return noFareEntry(kNoSettlementFits);
}

}  // namespace subway
