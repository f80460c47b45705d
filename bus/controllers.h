// The bus reader's controller for open trips that involve the subway.
#pragma once

#include "core/records.h"

namespace bus {

// Boarding over a trip left open: charges the flat fare that settles it,
// or refuses when the balance is below that fare. Prints "Error 2" and
// settles nothing when the card fits none of its cases.
TapResult uncalculatedController(CardData card);

}  // namespace bus
