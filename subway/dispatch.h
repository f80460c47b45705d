// One tap at a subway reader, from the card number to the two files.
#pragma once

#include "core/records.h"

namespace subway {

// Chooses the one fare entry or controller for a card's trip state, by the
// rules in their fixed order, and returns its result. Prints "Error 1" and
// returns a result with no fare entry when no rule matches.
TapResult chooseFare(const CardData& card);

// One tap transaction: intake, trip state, fare, display, recording.
void determineController();

}  // namespace subway
