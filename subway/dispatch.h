// One tap at a subway reader, from the card number to the two files.
#pragma once

#include "core/records.h"
#include "core/tap_result.h"

namespace subway {

// Chooses the one fare entry or controller for a card's trip state, by the
// rules in their fixed order, and returns its result, stamped with `stamp`
// if accepted. It reads nothing but its arguments. A card no rule fits
// gets no fare entry (kNoRuleFits: "Error 1").
TapResult chooseFare(const CardData& card, const TapStamp& stamp);

// One tap, in order: intake holds the card and reads its last two records,
// the trip state is derived, the fare chosen and its number claimed, an
// accepted tap recorded and the card let go, then the outcome shown.
void determineController();

}  // namespace subway
