// The bus reader's twelve fare entries. Each stands for one kind of tap
// and carries its fare and direction; the caller has already chosen it by
// the card's state and balance. The _D / Disable entries refuse; the
// others stamp the tap with the stamp handed in.
#pragma once

#include <cstdint>

#include "core/records.h"
#include "core/tap_result.h"

namespace bus {

// The fare of leaving a bus boarded by transfer at calendar time
// `boardedAt`, at calendar time `nowAt`: 100 for each whole 30 s on board,
// at most 700, nothing for a boarding dated after now.
int32_t rideTimeFare(int64_t boardedAt, int64_t nowAt);

TapResult ridingEnable(CardData card, const TapStamp& stamp);    // new boarding
TapResult ridingDisable(CardData card);                          // new boarding refused
TapResult transferEnable(CardData card, const TapStamp& stamp);  // boarding by transfer
TapResult transferDisable(CardData card);                        // transfer boarding refused
TapResult normalExit(CardData card, const TapStamp& stamp);      // leaving an ordinary ride
TapResult afterTransExit(CardData card, const TapStamp& stamp);  // leaving a transfer, by time
TapResult afterSub_E(CardData card, const TapStamp& stamp);      // over an open subway trip
TapResult afterSub_D(CardData card);
TapResult afterBusub_E(CardData card, const TapStamp& stamp);  // over an open bus-to-subway trip
TapResult afterBusub_D(CardData card);
TapResult afterSubus_E(CardData card, const TapStamp& stamp);  // over an old subway-to-bus ride
TapResult afterSubus_D(CardData card);

}  // namespace bus
