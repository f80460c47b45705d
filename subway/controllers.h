// The subway controllers: they settle exits by distance along the ring and
// trips left open, each choosing exactly one fare entry.
#pragma once

#include "core/records.h"
#include "core/tap_result.h"

namespace subway {

// Exit of an ordinary trip: free at or next to the entry station, a
// surcharge two stations away. Never refused.
TapResult normalExitController(CardData card, const TapStamp& stamp);

// Exit of a trip begun as a transfer from the bus: a surcharge growing
// with the distance. A distance no subway reader can produce settles
// nothing.
TapResult afterTransExitController(CardData card, const TapStamp& stamp);

// Entry over a trip left open: charges the flat fare that settles it, or
// refuses when the balance falls short. Settles nothing ("Error 2") when
// the card fits none of its cases.
TapResult uncalculatedController(CardData card, const TapStamp& stamp);

}  // namespace subway
