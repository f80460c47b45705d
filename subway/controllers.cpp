// Subway exit and uncalculated controllers. Each balance threshold is the
// entry's fare plus 199: a card must hold the fare and 200 more to enter.
#include "subway/controllers.h"

#include "core/console.h"
#include "core/messages.h"
#include "core/tap_result.h"
#include "subway/fare_entries.h"

namespace subway {

TapResult normalExitController(CardData card) {
  if (card.stationDistance <= 1) return noAddFeeN(card);
  return addFee(card);
}

TapResult afterTransExitController(CardData card) {
  if (card.stationDistance == 0) return noAddFeeT(card);
  if (card.stationDistance == 1) return addFeeOne(card);
  if (card.stationDistance == 2) return addFeeTwo(card);
  return noFareEntry();
}

TapResult uncalculatedController(CardData card) {
  bool openSubwayTrip = card.otherStation || card.staleEntry;
  if (openSubwayTrip && card.balance > 1449 && !card.enteredByTransfer) return afterSub_E(card);
  if (openSubwayTrip && card.balance <= 1449 && !card.enteredByTransfer) return afterSub_D(card);
  if (card.busToSubway && card.balance > 1849) return afterBusub_E(card);
  if (card.busToSubway && card.balance <= 1849) return afterBusub_D(card);
  if (card.subwayToBus && card.balance > 1949) return afterSubus_E(card);
  if (card.subwayToBus && card.balance <= 1949) return afterSubus_D(card);
  sayLine(kError2Text);
  return noFareEntry();
}

}  // namespace subway
