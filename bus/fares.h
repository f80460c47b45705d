// The bus's fares and the balance each tap needs, in one place. A rule
// accepts a tap when the balance is more than the tap's threshold
// (thresholdFor: one less than what the tap needs).
#pragma once

#include <cstdint>

#include "core/tap_result.h"
#include "core/trip_facts.h"

namespace bus {

// The transfer window, in seconds: Boarding the bus within it of leaving the subway is a transfer.
constexpr int64_t kTransferWindow = kTransferWindowSeconds;

// Leaving a bus is never refused: free after an ordinary boarding; after a
// boarding by transfer from the subway, 100 for each whole 30 s on board,
// at most 700.
constexpr int32_t kExitFare = 0;
constexpr int32_t kRideUnitSeconds = 30;
constexpr int32_t kRideUnitFare = 100;
constexpr int32_t kRideFareCap = 700;

// A boarding needs its fare.
constexpr int32_t kBoardingFare = 1050;
constexpr int32_t kBoardingThreshold = thresholdFor(kBoardingFare);  // 1049

// A boarding by transfer from the subway is free, and needs what its exit
// may cost: the cap.
constexpr int32_t kTransferFare = 0;
constexpr int32_t kTransferThreshold = thresholdFor(kRideFareCap);  // 699

// Boardings over a trip left open settle it at its flat fare. An old bus
// ride begun by transfer from the subway cost at most an entry (the fare of
// a boarding) and the longest ride.
static_assert(kOpenSubwayToBusFare == kBoardingFare + kRideFareCap);
constexpr int32_t kOpenSubwayThreshold = thresholdFor(kOpenSubwayFare);
constexpr int32_t kOpenBusToSubwayThreshold = thresholdFor(kOpenBusToSubwayFare);
constexpr int32_t kOpenSubwayToBusThreshold = thresholdFor(kOpenSubwayToBusFare);

}  // namespace bus
