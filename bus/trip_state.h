// The bus reader's view of a presented card: is a trip open, did the
// passenger just leave the subway, and is an open bus ride left over from
// before the current operating period.
#pragma once

#include <cstdint>

#include "core/records.h"
#include "core/trip_facts.h"

namespace bus {

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

}  // namespace bus
