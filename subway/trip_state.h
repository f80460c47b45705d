// The subway reader's view of a presented card: is it inside a trip, did
// it just leave a bus, was its open entry made at another station (and how
// far along the ring), or before the current operating period began.
#pragma once

#include <cstdint>

#include "core/records.h"
#include "core/trip_facts.h"

namespace subway {

// The stations S1 to S5 lie on a ring.
constexpr int32_t kStations = 5;

// Steps between stations `a` and `b` of the ring (each 1 to kStations, or
// 0 to kStations - 1), the shorter way round: 0, 1 or 2.
int32_t stationsApart(int32_t a, int32_t b);

// Stations between the entry station of `lastTapId` and reader `readerId`
// on the ring, the shorter way round: 0, 1 or 2 for ids that subway
// readers write.
int32_t ringDistance(const char* lastTapId, const char* readerId);

// The trip state of a card whose last two records are `older` and
// `latest`, tapped at `readerId` at calendar time `now` in a period that
// began at calendar time `periodStart`.
CardData deriveTripState(const CardRecord& older, const CardRecord& latest, const char* cardFile,
                         const char* readerId, int64_t periodStart, int64_t now);

// The same at the moments `times`, given as values (tripTimes converts
// them): what the audit replays a card's taps with. The period's start
// decides staleEntry and nothing else.
CardData deriveTripStateAt(const CardRecord& older, const CardRecord& latest, const char* cardFile,
                           const char* readerId, const TripTimes& times);

// The same for the card intake has just read, now, at this reader.
CardData arrangingCardDataInterface(const CardRecord records[2]);

}  // namespace subway
