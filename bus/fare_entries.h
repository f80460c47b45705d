// The bus reader's twelve fare entries. Each stands for one kind of tap
// and carries its fare (or the rule for it) and direction; the caller has
// already chosen it by the card's state and balance.
#pragma once

#include <cstdint>

#include "core/records.h"

namespace bus {

// The fare for leaving a bus boarded as a transfer from the subway, by
// ride time from packed time `boarded` to packed time `now`: 100 for each
// whole 30 s, at most 700, and never below 0.
int32_t rideTimeFare(int64_t boarded, int64_t now);

TapResult ridingEnable(CardData card);     // new boarding, 1050
TapResult ridingDisable(CardData card);    // new boarding refused
TapResult transferEnable(CardData card);   // boarding as a transfer from the subway, 0
TapResult transferDisable(CardData card);  // transfer boarding refused
TapResult normalExit(CardData card);       // leaving after an ordinary boarding, 0
TapResult afterTransExit(CardData card);   // leaving after a transfer boarding, by ride time
TapResult afterSub_E(CardData card);       // boarding over an open subway trip, 1250
TapResult afterSub_D(CardData card);
TapResult afterBusub_E(CardData card);  // boarding over an open bus-to-subway trip, 1650
TapResult afterBusub_D(CardData card);
TapResult afterSubus_E(CardData card);  // boarding over an old subway-to-bus ride, 1750
TapResult afterSubus_D(CardData card);

}  // namespace bus
