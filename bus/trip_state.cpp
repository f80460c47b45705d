// Bus trip state derivation. Unlike the subway, the bus opens its transfer
// window after a subway exit, counts only an open bus ride as stale, and
// measures no distance.
#include "bus/trip_state.h"

#include "bus/fares.h"
#include "core/clock.h"
#include "core/reader_state.h"
#include "core/trip_facts.h"

namespace bus {

CardData deriveTripStateAt(const CardRecord& older, const CardRecord& latest, const char* cardFile,
                           const char* readerId, const TripTimes& times) {
  CardData card = deriveCommonTripState(older, latest, times, cardFile, readerId);
  // Boarding within the window of leaving the subway is a transfer. The age is
  // signed: a record dated a little ahead by a fast clock counts.
  card.transferWindow = recordAge(times) <= kTransferWindow && !card.lastIn && !card.lastBus;
  // A bus ride boarded before this period began was never closed in time.
  card.staleEntry = card.lastIn && card.lastBus && times.periodStart > latest.time;
  return card;
}

CardData deriveTripState(const CardRecord& older, const CardRecord& latest, const char* cardFile,
                         const char* readerId, int64_t periodStart, int64_t now) {
  return deriveTripStateAt(older, latest, cardFile, readerId,
                           tripTimes(older, latest, periodStart, now));
}

CardData arrangingCardDataInterface(const CardRecord records[2]) {
  return deriveTripState(records[0], records[1], name, readerID, init.load(), calendarNow());
}

}  // namespace bus
