// Subway trip state derivation.
#include "subway/trip_state.h"

#include <cstdlib>

#include "core/clock.h"
#include "core/reader_state.h"
#include "core/trip_facts.h"
#include "subway/fares.h"

namespace subway {

// The second character of a text, or 0 when it is shorter.
static int secondCharacter(const char* text) {
  return text[0] == '\0' ? 0 : static_cast<signed char>(text[1]);
}

int32_t stationsApart(int32_t a, int32_t b) {
  int32_t steps = abs(a - b);
  // Three or four steps one way round the ring are two or one the other.
  return steps > kStations / 2 && steps < kStations ? kStations - steps : steps;
}

int32_t ringDistance(const char* lastTapId, const char* readerId) {
  return stationsApart(secondCharacter(lastTapId), secondCharacter(readerId));
}

CardData deriveTripStateAt(const CardRecord& older, const CardRecord& latest, const char* cardFile,
                           const char* readerId, const TripTimes& times) {
  CardData card = deriveCommonTripState(older, latest, times, cardFile, readerId);
  // Entering within the window of leaving a bus is a transfer from the bus. The
  // age is signed: a record dated a little ahead by a fast clock counts.
  card.transferWindow = recordAge(times) <= kTransferWindow && !card.lastIn && card.lastBus;
  // A subway entry from before this period began was never closed in time.
  card.staleEntry = card.lastIn && !card.lastBus && times.periodStart > latest.time;
  if (!card.lastBus && card.lastIn) card.stationDistance = ringDistance(card.lastTapId, readerId);
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

}  // namespace subway
