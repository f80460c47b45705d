// The subway reader's fifteen fare entries. Each stands for one kind of
// tap and carries its fare and direction; the caller has already chosen it
// by the card's state and balance. The _D / Disable entries refuse; the
// others stamp the tap with the stamp handed in.
#pragma once

#include "core/records.h"
#include "core/tap_result.h"

namespace subway {

TapResult ridingEnable(CardData card, const TapStamp& stamp);    // new ride
TapResult ridingDisable(CardData card);                          // new ride refused
TapResult transferEnable(CardData card, const TapStamp& stamp);  // entry by transfer from the bus
TapResult transferDisable(CardData card);                        // transfer entry refused
TapResult afterSub_E(CardData card, const TapStamp& stamp);      // entry over an open subway trip
TapResult afterSub_D(CardData card);
TapResult afterBusub_E(CardData card, const TapStamp& stamp);  // over an open bus-to-subway trip
TapResult afterBusub_D(CardData card);
TapResult afterSubus_E(CardData card, const TapStamp& stamp);  // over an open subway-to-bus ride
TapResult afterSubus_D(CardData card);
TapResult noAddFeeN(CardData card, const TapStamp& stamp);  // exit at or next to the entry
TapResult addFee(CardData card, const TapStamp& stamp);     // exit two stations away
TapResult noAddFeeT(CardData card, const TapStamp& stamp);  // exit after a transfer, same station
TapResult addFeeOne(CardData card, const TapStamp& stamp);  // after a transfer, one station away
TapResult addFeeTwo(CardData card, const TapStamp& stamp);  // after a transfer, two stations away

}  // namespace subway
