// The bus uncalculated controller. Fares and the balance each boarding
// needs are in fares.h.
#include "bus/controllers.h"

#include "bus/fare_entries.h"
#include "bus/fares.h"

namespace bus {

TapResult uncalculatedController(CardData card, const TapStamp& stamp) {
  if (card.otherStation && card.balance > kOpenSubwayThreshold) return afterSub_E(card, stamp);
  if (card.otherStation && card.balance <= kOpenSubwayThreshold) return afterSub_D(card);
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

}  // namespace bus
