// The bus uncalculated controller: it settles a trip left open, choosing
// exactly one fare entry.
#pragma once

#include "core/records.h"
#include "core/tap_result.h"

namespace bus {

// Boarding over a trip left open: charges the flat fare that settles it,
// or refuses when the balance falls short. Settles nothing ("Error 2")
// when the card fits none of its cases.
TapResult uncalculatedController(CardData card, const TapStamp& stamp);

}  // namespace bus
