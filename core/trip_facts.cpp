// The trip facts shared by the subway and the bus rule sets.
#include "core/trip_facts.h"

#include <cstring>
#include <ctime>

#include "core/card_file.h"
#include "core/packed_time.h"

// Whether the reader part of a tap id (S3 in S3_12) names another reader
// than `readerId`. An id with no reader part cannot have been made here, so
// it counts as another's.
static bool madeByOtherReader(const char* tapId, const char* readerId) {
  std::string reader = readerOfTapId(tapId);
  return reader.empty() || reader != readerId;
}

TripTimes tripTimes(const CardRecord& older, const CardRecord& latest, int64_t periodStart,
                    int64_t now) {
  return {makeTime(older.time), makeTime(latest.time), now, timetolong(periodStart)};
}

CardData deriveCommonTripState(const CardRecord& older, const CardRecord& latest,
                               const TripTimes& times, const char* cardFile, const char* readerId) {
  CardData card{};
  copyText(card.cardFile, cardFile);
  card.lastTime = latest.time;
  card.lastAt = times.latestAt;
  copyText(card.lastTapId, latest.tapId);
  card.balance = latest.balance;
  card.lastIn = strcmp(latest.inOut, "IN") == 0;
  card.lastBus = strcmp(latest.mode, "BUS") == 0;
  // An entry within the transfer window of leaving the other kind of
  // vehicle began as a transfer; records out of order (a negative gap)
  // count as well.
  card.enteredByTransfer =
      card.lastIn && strcmp(older.inOut, "OUT") == 0 &&
      difftime(static_cast<time_t>(times.latestAt), static_cast<time_t>(times.olderAt)) <=
          static_cast<double>(kTransferWindowSeconds) &&
      strcmp(older.mode, latest.mode) != 0;
  card.subwayToBus = card.enteredByTransfer && strcmp(older.mode, "SUBWAY") == 0 && card.lastBus;
  card.busToSubway = card.enteredByTransfer && strcmp(older.mode, "BUS") == 0 && !card.lastBus;
  card.otherStation = !card.lastBus && card.lastIn && madeByOtherReader(latest.tapId, readerId) &&
                      !card.busToSubway;
  card.transfer = card.otherStation || card.busToSubway || card.subwayToBus;
  return card;
}

bool repeatKeepsTrip(const CardRecord& older, const CardRecord& latest) {
  // The reader only tells whether the latest record is another's, which a
  // repeat keeps: any reader, at any moment, gives the answer.
  CardData before = deriveCommonTripState(older, latest, tripTimes(older, latest, 0, 0), "", "");
  CardData after = deriveCommonTripState(latest, latest, tripTimes(latest, latest, 0, 0), "", "");
  return before.enteredByTransfer == after.enteredByTransfer &&
         before.subwayToBus == after.subwayToBus && before.busToSubway == after.busToSubway &&
         before.otherStation == after.otherStation && before.transfer == after.transfer &&
         before.lastIn == after.lastIn && before.lastBus == after.lastBus;
}

std::string officeRecords(const CardRecord& older, const CardRecord& latest, int32_t balance) {
  std::string latestAgain = formatTopUpRecord(latest, balance);
  if (repeatKeepsTrip(older, latest)) return latestAgain;
  return formatTopUpRecord(older, balance) + latestAgain;
}

int64_t recordAge(const CardRecord& latest, int64_t now) {
  return now - makeTime(latest.time);
}
