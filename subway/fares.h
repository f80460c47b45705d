// The subway's fares and the balance each tap needs, in one place. A rule
// accepts a tap when the balance is more than the tap's threshold
// (thresholdFor: one less than what the tap needs).
#pragma once

#include <cstdint>

#include "core/tap_result.h"
#include "core/trip_facts.h"

namespace subway {

// The transfer window, in seconds: Entering the subway within it of leaving a bus is a transfer.
constexpr int64_t kTransferWindow = kTransferWindowSeconds;

// Exits: free at or next to the entry station, more two stations away; a
// trip begun by transfer from the bus pays by distance.
constexpr int32_t kExitFare = 0;
constexpr int32_t kExitTwoAwayFare = 200;
constexpr int32_t kTransferExitFare = 0;
constexpr int32_t kTransferExitOneAwayFare = 300;
constexpr int32_t kTransferExitTwoAwayFare = 600;

// An entry needs its fare and what its exit may cost on top: 200.
constexpr int32_t kRideFare = 1050;
constexpr int32_t kRideThreshold = thresholdFor(kRideFare + kExitTwoAwayFare);  // 1249

// A transfer from the bus is free, and needs what its exit may cost: 600.
constexpr int32_t kTransferFare = 0;
constexpr int32_t kTransferThreshold = thresholdFor(kTransferExitTwoAwayFare);  // 599

// Entries over a trip left open settle it at its flat fare, and need 200
// more. An open subway trip cost at most an entry and the dearest exit; one
// begun by transfer from the bus, a boarding (the fare of an entry) and the
// dearest exit after a transfer.
static_assert(kOpenSubwayFare == kRideFare + kExitTwoAwayFare);
static_assert(kOpenBusToSubwayFare == kRideFare + kTransferExitTwoAwayFare);
constexpr int32_t kOpenSubwayThreshold = thresholdFor(kOpenSubwayFare + kExitTwoAwayFare);
constexpr int32_t kOpenBusToSubwayThreshold = thresholdFor(kOpenBusToSubwayFare + kExitTwoAwayFare);
constexpr int32_t kOpenSubwayToBusThreshold = thresholdFor(kOpenSubwayToBusFare + kExitTwoAwayFare);

}  // namespace subway
