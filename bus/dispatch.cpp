// The bus tap dispatcher. Rows are tested in order and the first that
// matches wins; a boarding needs its fare, a transfer boarding 700 (the
// most its exit can cost), and leaving a bus nothing.
#include "bus/dispatch.h"

#include "bus/controllers.h"
#include "bus/fare_entries.h"
#include "bus/trip_state.h"
#include "core/console.h"
#include "core/intake.h"
#include "core/messages.h"
#include "core/tap_output.h"
#include "core/tap_result.h"

namespace bus {

TapResult chooseFare(const CardData& card) {
  bool notInTrip = !card.lastIn && !card.transferWindow;
  // An open bus ride from an earlier period that was not a transfer is
  // never closed: this tap is a new boarding.
  bool staleRide = card.staleEntry && !card.enteredByTransfer;
  if ((notInTrip || staleRide) && card.balance > 1049) return ridingEnable(card);
  if (notInTrip && card.balance <= 1049) return ridingDisable(card);
  if (!card.lastIn && card.transferWindow && card.balance > 699) return transferEnable(card);
  if (!card.lastIn && card.transferWindow && card.balance <= 699) return transferDisable(card);
  bool onBus = card.lastIn && card.lastBus;
  if (onBus && !card.enteredByTransfer) return normalExit(card);
  if (onBus && card.enteredByTransfer && !card.staleEntry) return afterTransExit(card);
  if (card.lastIn && card.transfer) return uncalculatedController(card);
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

}  // namespace bus
