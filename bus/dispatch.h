// One tap at the bus reader, from the card number to the two files.
#pragma once

#include "core/records.h"
#include "core/tap_result.h"

namespace bus {

// Chooses the one fare entry or controller for a card's trip state, by the
// rows of the bus table in their fixed order, and returns its result,
// stamped with `stamp` if accepted. It reads nothing but its arguments. A
// card no row fits gets no fare entry (kNoRuleFits: "Error 1").
TapResult chooseFare(const CardData& card, const TapStamp& stamp);

// One tap transaction (the reader's own, shared with the subway): intake,
// trip state, fare, display, recording.
void determineController();

}  // namespace bus
