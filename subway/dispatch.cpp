// The subway tap dispatcher. The rules are tested in order and the first
// that matches wins; a new ride needs 1050 and 200 more, a transfer from
// the bus 600, and an exit nothing.
#include "subway/dispatch.h"

#include "core/console.h"
#include "core/intake.h"
#include "core/messages.h"
#include "core/tap_output.h"
#include "core/tap_result.h"
#include "subway/controllers.h"
#include "subway/fare_entries.h"
#include "subway/trip_state.h"

namespace subway {

TapResult chooseFare(const CardData& card) {
  bool notInTrip = !card.lastIn && !card.transferWindow;
  bool onBus = card.lastIn && card.lastBus;
  if (((notInTrip && card.balance > 1249) || (onBus && card.balance > 1249)) && !card.transfer) {
    return ridingEnable(card);
  }
  if ((notInTrip && card.balance <= 1249) || (onBus && card.balance <= 1249)) {
    return ridingDisable(card);
  }
  if (!card.lastIn && card.transferWindow && card.balance > 599) return transferEnable(card);
  if (!card.lastIn && card.transferWindow && card.balance <= 599) return transferDisable(card);
  bool inSubway = card.lastIn && !card.lastBus;
  if (inSubway && !card.enteredByTransfer && !card.staleEntry) return normalExitController(card);
  if (inSubway && card.enteredByTransfer && !card.staleEntry) return afterTransExitController(card);
  if ((card.lastIn && card.transfer) || card.staleEntry) return uncalculatedController(card);
  sayLine(kError1Text);
  return noFareEntry();
}

void determineController() {
  const CardRecord* records = receivingCardInterface();
  CardData card = arrangingCardDataInterface(records);
  TapResult result = chooseFare(card);
  if (result.fare != kNoFareEntry) {
    moniterInterface(result.fare, result.balance);
    writingInterface(result.entry);
  }
  // The card was held from intake on: the next reader to tap it goes on
  // from this tap's record.
  releaseCard(&heldCard);
}

}  // namespace subway
