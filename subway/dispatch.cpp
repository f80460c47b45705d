// The subway tap dispatcher. The rules are tested in order and the first
// that matches wins; fares and the balance each tap needs are in fares.h.
#include "subway/dispatch.h"

#include "core/intake.h"
#include "core/reader.h"
#include "core/tap_output.h"
#include "subway/controllers.h"
#include "subway/fare_entries.h"
#include "subway/fares.h"
#include "subway/trip_state.h"

namespace subway {

TapResult chooseFare(const CardData& card, const TapStamp& stamp) {
  bool notInTrip = !card.lastIn && !card.transferWindow;
  bool onBus = card.lastIn && card.lastBus;
  bool mayRide = notInTrip || onBus;
  if (mayRide && card.balance > kRideThreshold && !card.transfer) return ridingEnable(card, stamp);
  if (mayRide && card.balance <= kRideThreshold) return ridingDisable(card);
  bool transferring = !card.lastIn && card.transferWindow;
  if (transferring && card.balance > kTransferThreshold) return transferEnable(card, stamp);
  if (transferring && card.balance <= kTransferThreshold) return transferDisable(card);
  bool inSubway = card.lastIn && !card.lastBus;
  if (inSubway && !card.enteredByTransfer && !card.staleEntry) {
    return normalExitController(card, stamp);
  }
  if (inSubway && card.enteredByTransfer && !card.staleEntry) {
    return afterTransExitController(card, stamp);
  }
  if ((card.lastIn && card.transfer) || card.staleEntry) {
    return uncalculatedController(card, stamp);
  }
  return noFareEntry(kNoRuleFits);
}

void determineController() {
  HeldCard card;
  const CardRecord* records = receivingCardInterface(&card);
  if (records == nullptr) return;  // the reader is ending
  CardData data = arrangingCardDataInterface(records);
  TapResult result = chooseAndClaim(data, chooseFare);
  bool recorded = writingInterface(&card, result.entry);
  moniterInterface(result, recorded);
}

}  // namespace subway
