// The subway reader's fifteen fare entries. Each stands for one kind of
// tap and carries its fare and direction; the caller has already chosen it
// by the card's state and balance. The _D / Disable entries refuse.
#pragma once

#include "core/records.h"

namespace subway {

TapResult ridingEnable(CardData card);     // new ride, 1050
TapResult ridingDisable(CardData card);    // new ride refused
TapResult transferEnable(CardData card);   // entry as a transfer from the bus, 0
TapResult transferDisable(CardData card);  // transfer entry refused
TapResult afterSub_E(CardData card);       // entry over an open subway trip, 1250
TapResult afterSub_D(CardData card);
TapResult afterBusub_E(CardData card);  // entry over an open bus-to-subway trip, 1650
TapResult afterBusub_D(CardData card);
TapResult afterSubus_E(CardData card);  // entry over an open subway-to-bus ride, 1750
TapResult afterSubus_D(CardData card);
TapResult noAddFeeN(CardData card);  // exit at or next to the entry station, 0
TapResult addFee(CardData card);     // exit two stations away, 200
TapResult noAddFeeT(CardData card);  // exit after a transfer, same station, 0
TapResult addFeeOne(CardData card);  // exit after a transfer, one station away, 300
TapResult addFeeTwo(CardData card);  // exit after a transfer, two stations away, 600

}  // namespace subway
