// The bus uncalculated controller. Each threshold is the fare less one:
// a card must hold at least the fare to board.
#include "bus/controllers.h"

#include "bus/fare_entries.h"
#include "core/console.h"
#include "core/messages.h"
#include "core/tap_result.h"

namespace bus {

TapResult uncalculatedController(CardData card) {
  if (card.otherStation && card.balance > 1249) return afterSub_E(card);
  if (card.otherStation && card.balance <= 1249) return afterSub_D(card);
  if (card.busToSubway && card.balance > 1649) return afterBusub_E(card);
  if (card.busToSubway && card.balance <= 1649) return afterBusub_D(card);
  if (card.subwayToBus && card.balance > 1749) return afterSubus_E(card);
  if (card.subwayToBus && card.balance <= 1749) return afterSubus_D(card);
  sayLine(kError2Text);
  return noFareEntry();
}

}  // namespace bus
