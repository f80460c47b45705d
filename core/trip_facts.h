// What every reader reads alike from a card's last two records: whether a
// trip is open and on which vehicle, whether it began as a transfer, and
// whether a subway trip was entered at another reader. Each rule set adds
// its own transfer window, staleness and distance on top.
#pragma once

#include <cstdint>
#include <string>

#include "core/records.h"

// The transfer window: seconds after leaving one kind of vehicle within
// which entering the other is a transfer (both rule sets, both ways).
constexpr int64_t kTransferWindowSeconds = 15;

// A trip left open when an operating period began is settled by the
// card's next tap, at either kind of reader, at one flat fare: the most the
// trip could have cost (each rule set checks the derivation from its own
// fares).
constexpr int32_t kOpenSubwayFare = 1250;       // an entry and the dearest exit
constexpr int32_t kOpenBusToSubwayFare = 1650;  // a boarding and the dearest exit after it
constexpr int32_t kOpenSubwayToBusFare = 1750;  // an entry and the longest ride after it

// How far apart the clocks of the network's hosts may be, in seconds, and a
// record still count as dated right: a reader warns of a card record dated
// further ahead of its clock, and the audit reports one dated further ahead
// of the record after it.
constexpr int64_t kClockToleranceSeconds = 5;

// Whether repeating `latest` as the card's next record (what a top-up
// appends, with another balance) leaves the trip state every reader
// derives as it was, the balance aside. The older record counts only for
// an entry made by a transfer (an exit of the other vehicle just before
// it), which a repeat of the entry would lose.
bool repeatKeepsTrip(const CardRecord& older, const CardRecord& latest);

// What the office appends to a card whose last two records are `older` and
// `latest` to change its balance to `balance` and nothing else: `latest`
// again with that balance, or, where that would lose how the trip began
// (repeatKeepsTrip), `older` and then `latest` again, both with that
// balance. Every reader then reads the same two records as before but for
// the balance. CR LF before each record.
std::string officeRecords(const CardRecord& older, const CardRecord& latest, int32_t balance);

// The moments a trip state is derived from, as values: when the card's
// last two records were made and when the tap is made, as calendar times
// (seconds), and when the reader's operating period began, as the packed
// local time the rules compare with a record's.
struct TripTimes {
  int64_t olderAt;      // makeTime of the older record's time
  int64_t latestAt;     // makeTime of the latest record's time
  int64_t now;          // the tap
  int64_t periodStart;  // packed: timetolong of the calendar time the period began
};

// The moments of a tap at calendar time `now`, on a card whose last two
// records are `older` and `latest`, at a reader whose operating period
// began at calendar time `periodStart`: every conversion in the local zone.
TripTimes tripTimes(const CardRecord& older, const CardRecord& latest, int64_t periodStart,
                    int64_t now);

// The trip state that both rule sets derive the same way from the older
// and the latest record, made at `times`; transferWindow, staleEntry and
// stationDistance are left at 0 for the rule set to fill.
CardData deriveCommonTripState(const CardRecord& older, const CardRecord& latest,
                               const TripTimes& times, const char* cardFile, const char* readerId);

// Seconds from the latest record's time to `now`: its real age, negative
// for a record dated in the future.
int64_t recordAge(const CardRecord& latest, int64_t now);

// The same, from the moments of a trip state.
inline int64_t recordAge(const TripTimes& times) {
  return times.now - times.latestAt;
}
