// One tap at the bus reader, from the card number to the two files.
#pragma once

#include "core/records.h"

namespace bus {

// Chooses the one fare entry or controller for a card's trip state, by the
// rows of the bus table in their fixed order, and returns its result.
// Prints "Error 1" and returns a result with no fare entry when no row
// matches.
TapResult chooseFare(const CardData& card);

// One tap transaction: intake, trip state, fare, display, recording.
void determineController();

}  // namespace bus
