// The bus tap dispatcher. Rows are tested in order and the first that
// matches wins; fares and the balance each tap needs are in fares.h.
#include "bus/dispatch.h"

#include "bus/controllers.h"
#include "bus/fare_entries.h"
#include "bus/fares.h"
#include "bus/trip_state.h"
#include "core/intake.h"
#include "core/reader.h"
#include "core/tap_output.h"

namespace bus {

TapResult chooseFare(const CardData& card, const TapStamp& stamp) {
  bool notInTrip = !card.lastIn && !card.transferWindow;
  // An open bus ride from an earlier period that was not a transfer is
  // never closed: this tap is a new boarding.
  bool staleRide = card.staleEntry && !card.enteredByTransfer;
  if ((notInTrip || staleRide) && card.balance > kBoardingThreshold) {
    return ridingEnable(card, stamp);
  }
  if (notInTrip && card.balance <= kBoardingThreshold) return ridingDisable(card);
  bool transferring = !card.lastIn && card.transferWindow;
  if (transferring && card.balance > kTransferThreshold) return transferEnable(card, stamp);
  if (transferring && card.balance <= kTransferThreshold) return transferDisable(card);
  bool onBus = card.lastIn && card.lastBus;
  if (onBus && !card.enteredByTransfer) return normalExit(card, stamp);
  if (onBus && card.enteredByTransfer && !card.staleEntry) return afterTransExit(card, stamp);
  if (card.lastIn && card.transfer) return uncalculatedController(card, stamp);
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

}  // namespace bus
