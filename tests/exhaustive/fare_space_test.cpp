// Every card state a reader can meet, through both rule sets. For each
// combination of the inputs that matter to the rules (the two records'
// modes and directions, the latest tap id, the time between the records,
// the latest record's age and its place against the operating period, the
// balance) at each of the six readers, the real derivation and dispatcher
// run and are checked against a model written from the fare rules, and
// against the money and record properties every outcome must have.
//
// Size: 6 readers x 81 mode/direction pairs x 9 tap ids x 5 gaps x 12 ages
// x 3 period starts = 787,320 derivations, each with 31 balances: 24.4
// million states, checked one reader at a time so that the six run side by
// side. The fare choice is a pure function of the derived card data and
// the tap's stamp, so it runs once per distinct card data and balance and
// its outcome is checked against the model for every state that derives
// that card data: nothing is skipped.
//
// Every state the card tool tops up (all but the trips begun by a
// transfer, which it refuses) is also topped up as the tool does it (its
// latest record again, with only the balance raised), read back from the
// card's bytes, and derived and dispatched again: every reader must decide
// exactly as before, balance aside.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "bus/dispatch.h"
#include "bus/trip_state.h"
#include "core/card_file.h"
#include "core/packed_time.h"
#include "core/trip_facts.h"
#include "subway/dispatch.h"
#include "subway/trip_state.h"
#include "tests/support/test_support.h"

namespace {

const char* const kReaders[] = {"S1", "S2", "S3", "S4", "S5", "B"};
const char* const kModes[] = {"SUBWAY", "BUS", "TRAM"};
const char* const kDirections[] = {"IN", "OUT", "OFF"};
// Each station's, the bus's, one with no reader part, one whose second
// character is off the ring, one whose reader part is a prefix of a
// station's.
const char* const kTapIds[] = {"S1_4", "S2_4", "S3_4", "S4_4", "S5_4", "B_4", "_", "S7_4", "S_4"};
// Seconds from the older record to the latest.
const int64_t kGaps[] = {-5, 0, 15, 16, 3605};
// Seconds from the latest record to the tap: the transfer window's and the
// bus ride fare's boundaries, a record dated ahead, and an hour and more.
const int64_t kAges[] = {-100, -30, 0, 15, 16, 29, 30, 95, 209, 210, 3605, 3616};
// Start of the operating period against the latest record's second: after
// it (the record is older than the period), at it, before it.
const int64_t kPeriodShifts[] = {1, 0, -1};
// Balances on and around every threshold of both rule sets, in debt, and
// where an exit's fare would take the balance past the smallest balance.
const int32_t kBalances[] = {599,
                             600,
                             699,
                             700,
                             1049,
                             1050,
                             1249,
                             1250,
                             1449,
                             1450,
                             1649,
                             1650,
                             1749,
                             1750,
                             1849,
                             1850,
                             1949,
                             1950,
                             INT32_MAX,
                             0,
                             -1,
                             -500,
                             INT32_MIN,
                             INT32_MIN + 199,
                             INT32_MIN + 200,
                             INT32_MIN + 299,
                             INT32_MIN + 300,
                             INT32_MIN + 599,
                             INT32_MIN + 600,
                             INT32_MIN + 699,
                             INT32_MIN + 700};

bool is(const char* text, const char* expected) {
  return strcmp(text, expected) == 0;
}

// One combination of the inputs, balance aside.
struct Inputs {
  const char* reader;
  const char* olderMode;
  const char* olderDirection;
  const char* mode;
  const char* direction;
  const char* tapId;
  int64_t gap, age, periodShift;
};

// The trip state as the rules define it, from the inputs themselves.
CardData modelCard(const Inputs& in) {
  bool subwayReader = in.reader[0] == 'S';
  CardData c{};
  c.lastIn = is(in.direction, "IN");
  c.lastBus = is(in.mode, "BUS");
  // The subway opens its window after a bus exit, the bus after a subway exit.
  c.transferWindow = in.age <= 15 && !c.lastIn && c.lastBus == subwayReader;
  c.enteredByTransfer =
      c.lastIn && is(in.olderDirection, "OUT") && in.gap <= 15 && !is(in.olderMode, in.mode);
  c.subwayToBus = c.enteredByTransfer && is(in.olderMode, "SUBWAY") && c.lastBus;
  c.busToSubway = c.enteredByTransfer && is(in.olderMode, "BUS") && !c.lastBus;
  std::string id = in.tapId;
  std::string part = id.substr(
      id.find_first_not_of('_') == std::string::npos ? id.size() : id.find_first_not_of('_'));
  part = part.substr(0, part.find('_'));
  c.otherStation = c.lastIn && !c.lastBus && part != in.reader && !c.busToSubway;
  c.transfer = c.otherStation || c.busToSubway || c.subwayToBus;
  // Only the reader's own kind of open trip goes stale.
  c.staleEntry = c.lastIn && in.periodShift > 0 && c.lastBus != subwayReader;
  if (subwayReader && c.lastIn && !c.lastBus) {
    int raw = abs(in.tapId[1] - in.reader[1]);
    c.stationDistance = raw == 3 ? 2 : raw == 4 ? 1 : raw;
  }
  return c;
}

// What a tap must give: a fare (or a refusal, or no fare entry with the
// message printed), the direction recorded, and whether the log gets the
// card's previous tap id.
struct Outcome {
  int32_t fare;
  const char* direction;
  bool logsPrevious;
  const char* message;
};

Outcome charge(int32_t fare, const char* direction, bool logsPrevious) {
  return {fare, direction, logsPrevious, ""};
}
const Outcome kRefused = {kRefusedFare, "", false, ""};
Outcome none(const char* message) {
  return {kNoFareEntry, "", false, message};
}

// Subway fares by the card's situation.
Outcome subwayModel(const CardData& c, int32_t b) {
  if (!c.lastIn && !c.transferWindow) return b > 1249 ? charge(1050, "IN", false) : kRefused;
  if (!c.lastIn) return b > 599 ? charge(0, "IN", true) : kRefused;
  bool openTrip = c.lastBus ? b > 1249 && c.transfer : c.staleEntry;
  if (c.lastBus && !openTrip) return b > 1249 ? charge(1050, "IN", false) : kRefused;
  if (openTrip) {
    if ((c.otherStation || c.staleEntry) && !c.enteredByTransfer) {
      return b > 1449 ? charge(1250, "IN", false) : kRefused;
    }
    if (c.busToSubway) return b > 1849 ? charge(1650, "IN", false) : kRefused;
    if (c.subwayToBus) return b > 1949 ? charge(1750, "IN", false) : kRefused;
    return none("Error 2\n");
  }
  if (!c.enteredByTransfer) return charge(c.stationDistance <= 1 ? 0 : 200, "OUT", false);
  if (c.stationDistance > 2 || c.stationDistance < 0) return none("");
  const int32_t surcharge[] = {0, 300, 600};
  return charge(surcharge[c.stationDistance], "OUT", true);
}

// Bus fares by the card's situation; `age` is the ride time of an open ride.
Outcome busModel(const CardData& c, int32_t b, int64_t age) {
  if (!c.lastIn && !c.transferWindow) return b > 1049 ? charge(1050, "IN", false) : kRefused;
  if (!c.lastIn) return b > 699 ? charge(0, "IN", true) : kRefused;
  if (c.lastBus && !c.enteredByTransfer) {
    // An old ride that was no transfer is left open: this is a new boarding.
    return c.staleEntry && b > 1049 ? charge(1050, "IN", false) : charge(0, "OUT", false);
  }
  if (c.lastBus && !c.staleEntry) {
    int64_t units = age < 0 ? 0 : age / 30;
    return charge(units > 7 ? 700 : static_cast<int32_t>(units) * 100, "OUT", true);
  }
  if (c.otherStation) return b > 1249 ? charge(1250, "IN", false) : kRefused;
  if (c.busToSubway) return b > 1649 ? charge(1650, "IN", false) : kRefused;
  if (c.subwayToBus) return b > 1749 ? charge(1750, "IN", false) : kRefused;
  return none("Error 1\n");
}

// The rules as their tables state them, numbered from 1; returns how many
// hold and the first that does (0 for none).
std::pair<int, int> matchingRules(const CardData& c, int32_t b, bool subwayReader) {
  bool notIn = !c.lastIn, bus = c.lastIn && c.lastBus, subway = c.lastIn && !c.lastBus;
  bool rules[7];
  if (subwayReader) {
    bool free = notIn && !c.transferWindow;
    rules[0] = ((free && b > 1249) || (bus && b > 1249)) && !c.transfer;
    rules[1] = (free && b <= 1249) || (bus && b <= 1249);
    rules[2] = notIn && c.transferWindow && b > 599;
    rules[3] = notIn && c.transferWindow && b <= 599;
    rules[4] = subway && !c.enteredByTransfer && !c.staleEntry;
    rules[5] = subway && c.enteredByTransfer && !c.staleEntry;
    rules[6] = (c.lastIn && c.transfer) || c.staleEntry;
  } else {
    rules[0] = ((notIn && !c.transferWindow) || (c.staleEntry && !c.enteredByTransfer)) && b > 1049;
    rules[1] = notIn && !c.transferWindow && b <= 1049;
    rules[2] = notIn && c.transferWindow && b > 699;
    rules[3] = notIn && c.transferWindow && b <= 699;
    rules[4] = bus && !c.enteredByTransfer;
    rules[5] = bus && c.enteredByTransfer && !c.staleEntry;
    rules[6] = c.lastIn && c.transfer;
  }
  int held = 0, first = 0;
  for (int i = 6; i >= 0; i--) {
    if (rules[i]) {
      held++;
      first = i + 1;
    }
  }
  return {held, first};
}

// Whether an outcome is one the target of rule `rule` can give.
bool ruleGives(int rule, const Outcome& o, bool subwayReader) {
  bool refused = o.fare == kRefusedFare, in = is(o.direction, "IN"), out = is(o.direction, "OUT");
  switch (rule) {
    case 1:
      return o.fare == 1050 && in;
    case 2:
    case 4:
      return refused;
    case 3:
      return o.fare == 0 && in && o.logsPrevious;
    case 5:
      return subwayReader ? out && !o.logsPrevious : o.fare == 0 && out && !o.logsPrevious;
    case 6:
      return (out && o.logsPrevious) || (subwayReader && is(o.message, ""));
    case 7:
      return (in && o.fare >= 1250) || refused || is(o.message, "Error 2\n");
  }
  return false;
}

// What the code gave for one card data and balance.
struct Result {
  TapResult tap;
  std::string message;  // the line the reader ends an unsettled tap with
};

// The balance every topped-up card gets: the longest a top-up can write.
constexpr int32_t kToppedUpBalance = INT32_MAX;

// Tops up a card whose last two records are `older` and `latest` as the
// card tool does, and reads the two records a reader reads back from the
// card's bytes into `after`. Returns what is wrong with them: they must be
// the two records before the top-up, the latest with only its balance
// raised (the older one too when the top-up repeats both). `both` tells
// whether it did.
std::string topUp(const CardRecord& older, const CardRecord& latest, CardRecord after[2],
                  bool* both) {
  std::string appended = officeRecords(older, latest, kToppedUpBalance);
  *both = appended.find("\r\n", 2) != std::string::npos;
  std::string bytes = cardLine(older) + "\r\n" + cardLine(latest) + appended;
  size_t tail = std::min(bytes.size(), kTailBytes);
  if (!parseCardTail(bytes.data() + bytes.size() - tail, tail, tail == bytes.size(), after)) {
    return "the topped-up card is refused";
  }
  const CardRecord* before[2] = {*both ? &older : &latest, &latest};
  for (int i = 0; i < 2; i++) {
    const CardRecord& was = *before[i];
    int32_t balance = i == 1 || *both ? kToppedUpBalance : latest.balance;
    if (after[i].time != was.time || !is(after[i].mode, was.mode) ||
        !is(after[i].inOut, was.inOut) || bareTapId(after[i].tapId) != bareTapId(was.tapId) ||
        after[i].balance != balance) {
      return std::string(i == 0 ? "older" : "latest") + " record of the topped-up card";
    }
  }
  return "";
}

// What differs between two outcomes of one tap (the console's line for a
// tap no fare entry settles goes by the fare).
std::string differs(const TapResult& before, const TapResult& after) {
  const TapEntry &b = before.entry, &a = after.entry;
  if (after.fare != before.fare) return "fare " + std::to_string(after.fare);
  if (after.balance != before.balance || a.newBalance != b.newBalance) return "balance";
  if (a.charged != b.charged || a.time != b.time || !is(a.mode, b.mode) || !is(a.inOut, b.inOut) ||
      !is(a.tapId, b.tapId) || !is(a.logTapId, b.logTapId) || !is(a.cardFile, b.cardFile)) {
    return std::string("record ") + a.mode + " " + a.inOut + " " + a.tapId + " " + a.logTapId;
  }
  return "";
}

// Tallies and the first few differences.
struct Report {
  long states = 0, derivations = 0, dispatches = 0, overlaps = 0, unmatched = 0, toppedUp = 0;
  long bothRepeated = 0;  // states whose top-up repeats both records (a transfer's trip)
  std::vector<std::string> faults;
  void fault(const Inputs& in, int32_t balance, const std::string& what) {
    if (faults.size() >= 10) return;
    char where[200];
    snprintf(where, sizeof where,
             "%s: %s %s; %s %s %s, gap %lld, age %lld, period %+lld, balance %d: ", in.reader,
             in.olderMode, in.olderDirection, in.mode, in.direction, in.tapId,
             static_cast<long long>(in.gap), static_cast<long long>(in.age),
             static_cast<long long>(in.periodShift), balance);
    faults.push_back(where + what);
  }
};

const char* const kFlagNames[] = {
    "staleEntry", "transfer",     "transferWindow", "enteredByTransfer", "lastIn",
    "lastBus",    "otherStation", "subwayToBus",    "busToSubway",       "stationDistance"};

std::vector<int32_t> flagsOf(const CardData& c) {
  return {c.staleEntry, c.transfer,     c.transferWindow, c.enteredByTransfer, c.lastIn,
          c.lastBus,    c.otherStation, c.subwayToBus,    c.busToSubway,       c.stationDistance};
}

// The combinations of flags the derivations promise never to produce.
std::string brokenInvariant(const CardData& c, bool subwayReader, bool onlyTwoModes,
                            const char* olderMode) {
  std::vector<int32_t> f = flagsOf(c);
  for (size_t i = 0; i + 1 < f.size(); i++) {
    if (f[i] != 0 && f[i] != 1) return std::string(kFlagNames[i]) + " not 0 or 1";
  }
  if (c.transfer != (c.otherStation || c.subwayToBus || c.busToSubway)) return "transfer";
  if (c.otherStation && c.busToSubway) return "otherStation with busToSubway";
  if (subwayReader) {
    if (c.transfer && !c.lastIn) return "transfer without an entry";
    if (c.transferWindow && (c.lastIn || !c.lastBus)) return "window not after a bus exit";
    bool subwayEntry = c.lastIn && !c.lastBus;
    if ((c.staleEntry || c.otherStation || c.busToSubway || c.stationDistance) && !subwayEntry) {
      return "subway-entry flag without a subway entry";
    }
    if (c.subwayToBus && !(c.lastIn && c.lastBus)) return "subwayToBus without a bus boarding";
    if (c.stationDistance < 0 ||
        (c.stationDistance > 2 && c.lastTapId[1] >= '1' && c.lastTapId[1] <= '5')) {
      return "distance off the ring";
    }
  } else {
    if (c.transferWindow && flagsOf(c) != std::vector<int32_t>{0, 0, 1, 0, 0, 0, 0, 0, 0, 0}) {
      return "window with another flag";
    }
    if (c.otherStation + c.subwayToBus + c.busToSubway > 1) return "two trip kinds";
    if (c.staleEntry && (!c.lastIn || !c.lastBus || c.otherStation || c.busToSubway)) {
      return "stale without an open bus ride";
    }
    if (c.staleEntry && c.enteredByTransfer && is(olderMode, "SUBWAY") && !c.subwayToBus) {
      return "stale transfer ride not subwayToBus";
    }
    if (c.stationDistance != 0) return "distance at the bus";
  }
  if (onlyTwoModes && c.enteredByTransfer && c.subwayToBus + c.busToSubway != 1) {
    return "transfer entry of neither kind";
  }
  return "";
}

// Checks one state's outcome against the model and the money and record
// properties; returns the first thing wrong.
std::string wrongOutcome(const Result& r, const Outcome& want, const CardData& card,
                         int32_t balance, const TapStamp& stamp, bool subwayReader) {
  const TapResult& t = r.tap;
  const TapEntry& e = t.entry;
  // Balances never wrap: a charge past the smallest balance is refused.
  bool wraps = want.fare >= 0 && static_cast<int64_t>(balance) - want.fare < INT32_MIN;
  Outcome expected = wraps ? kRefused : want;
  if (t.fare == kRefusedFare && is(want.direction, "OUT") && !wraps) return "an exit was refused";
  bool unsettled = t.fare == kNoFareEntry || t.fare == kNoRuleFits || t.fare == kNoSettlementFits;
  if (t.fare < 0 && t.fare != kRefusedFare && !unsettled) return "the card credited";
  int32_t fare = unsettled ? kNoFareEntry : t.fare;
  if (fare != expected.fare) {
    return "fare " + std::to_string(t.fare) + ", want " + std::to_string(expected.fare);
  }
  if (r.message != expected.message) return "console '" + r.message + "'";
  if (unsettled) return e.tapId[0] == '\0' ? "" : "an unsettled tap took a tap id";
  if (t.fare == kRefusedFare) {
    if (t.balance != balance || e.charged != kRefusedFare) return "refusal changed the balance";
    return e.tapId[0] == '\0' ? "" : "a refusal took a tap id";
  }
  static const std::vector<int32_t> subwayFares = {0, 200, 300, 600, 1050, 1250, 1650, 1750};
  static const std::vector<int32_t> busFares = {0,   100, 200,  300,  400,  500,
                                                600, 700, 1050, 1250, 1650, 1750};
  const std::vector<int32_t>& fares = subwayReader ? subwayFares : busFares;
  if (std::find(fares.begin(), fares.end(), t.fare) == fares.end()) return "fare off the tables";
  if (t.balance != balance - t.fare || e.newBalance != t.balance || t.balance > balance) {
    return "balance " + std::to_string(t.balance);
  }
  std::string newId = std::string(stamp.readerId) + "_" + std::to_string(stamp.tapNumber);
  std::string logId = expected.logsPrevious ? card.lastTapId : newId;
  if (e.charged != t.fare || e.time != stamp.now || !is(e.mode, subwayReader ? "SUBWAY" : "BUS") ||
      !is(e.inOut, expected.direction) || e.tapId != newId || e.logTapId != logId ||
      !is(e.cardFile, "Card/1.txt")) {
    return std::string("record ") + e.mode + " " + e.inOut + " " + e.tapId + " " + e.logTapId;
  }
  return "";
}

// Where the rule sets say no rule matches, or an uncalculated controller
// finds no case: only with records no reader writes.
bool unmatchedAllowed(const Inputs& in, const Outcome& o) {
  bool subwayReader = in.reader[0] == 'S';
  bool strangeMode = !is(in.olderMode, "SUBWAY") && !is(in.olderMode, "BUS");
  if (is(o.message, "Error 2\n"))
    return subwayReader && (strangeMode || (!is(in.mode, "SUBWAY") && !is(in.mode, "BUS")));
  if (is(o.message, "Error 1\n")) {
    return !subwayReader &&
           ((strangeMode && is(in.mode, "BUS")) || (!is(in.mode, "BUS") && in.tapId[0] == 'B'));
  }
  // A distance off the ring after a transfer entry: an id no station writes.
  return subwayReader && (in.tapId[1] < '1' || in.tapId[1] > '5');
}

}  // namespace

class FareSpace : public ::testing::TestWithParam<const char*> {};

TEST_P(FareSpace, EveryCardStateGetsTheFareTheRulesGive) {
  const char* reader = GetParam();
  const int64_t now = makeTime(20260306120000);
  // Every tap is the period's seventh.
  const TapStamp stamp{reader, 7, timetolong(now), now};
  Report report;
  {
    std::unordered_map<std::string, std::vector<Result>> dispatched;
    {
      bool subwayReader = reader[0] == 'S';
      auto derive = [&](const CardRecord& older, const CardRecord& latest, int64_t periodStart) {
        return subwayReader
                   ? subway::deriveTripState(older, latest, "Card/1.txt", reader, periodStart, now)
                   : bus::deriveTripState(older, latest, "Card/1.txt", reader, periodStart, now);
      };
      for (const char* olderMode : kModes)
        for (const char* olderDirection : kDirections)
          for (const char* mode : kModes)
            for (const char* direction : kDirections)
              for (const char* tapId : kTapIds)
                for (int64_t gap : kGaps)
                  for (int64_t age : kAges)
                    for (int64_t shift : kPeriodShifts) {
                      Inputs in = {reader, olderMode, olderDirection, mode, direction, tapId,
                                   gap,    age,       shift};
                      CardRecord older = record(timetolong(now - age - gap), olderMode,
                                                olderDirection, 777, "S2_1");
                      CardRecord latest = record(timetolong(now - age), mode, direction, 0, tapId);
                      int64_t periodStart = now - age + shift;
                      CardData card = derive(older, latest, periodStart);
                      report.derivations++;
                      CardData model = modelCard(in);
                      std::vector<int32_t> got = flagsOf(card), want = flagsOf(model);
                      for (size_t i = 0; i < got.size(); i++) {
                        if (got[i] != want[i]) {
                          report.fault(in, 0,
                                       std::string(kFlagNames[i]) + " " + std::to_string(got[i]));
                        }
                      }
                      bool onlyTwoModes = !is(olderMode, "TRAM") && !is(mode, "TRAM");
                      std::string broken =
                          brokenInvariant(card, subwayReader, onlyTwoModes, olderMode);
                      if (!broken.empty()) report.fault(in, 0, "invariant: " + broken);
                      if (!is(card.lastTapId, tapId) || card.lastTime != latest.time ||
                          card.balance != latest.balance || !is(card.cardFile, "Card/1.txt"))
                        report.fault(in, 0, "copies");

                      char key[96];
                      snprintf(key, sizeof key, "%s|%lld|", card.lastTapId,
                               static_cast<long long>(card.lastTime));
                      std::string memo = key;
                      for (int32_t flag : got) memo += std::to_string(flag) + ",";
                      std::vector<Result>& results = dispatched[memo];
                      for (size_t b = 0; b < std::size(kBalances); b++) {
                        int32_t balance = kBalances[b];
                        if (results.size() <= b) {
                          CardData tapped = card;
                          tapped.balance = balance;
                          TapResult tap = subwayReader ? subway::chooseFare(tapped, stamp)
                                                       : bus::chooseFare(tapped, stamp);
                          const char* line = unsettledMessage(tap.fare);
                          results.push_back({tap, line ? std::string(line) + "\n" : ""});
                          report.dispatches++;
                        }
                        report.states++;
                        Outcome expected = subwayReader ? subwayModel(card, balance)
                                                        : busModel(card, balance, age);
                        std::string wrong =
                            wrongOutcome(results[b], expected, card, balance, stamp, subwayReader);
                        if (!wrong.empty()) report.fault(in, balance, wrong);
                        if (expected.fare == kNoFareEntry && !unmatchedAllowed(in, expected)) {
                          report.fault(in, balance, "no fare entry where the rules promise one");
                        }
                        // The rule tables, read literally: at least one rule holds unless
                        // the rule set says none can, and the first that holds is the
                        // situation the model names.
                        if (onlyTwoModes) {
                          auto [held, first] = matchingRules(card, balance, subwayReader);
                          if (held > 1) report.overlaps++;
                          if (held == 0) report.unmatched++;
                          if (held == 0 && !(is(expected.message, "Error 1\n") &&
                                             unmatchedAllowed(in, expected))) {
                            report.fault(in, balance, "no rule holds");
                          }
                          if (held > 0 && !ruleGives(first, expected, subwayReader)) {
                            report.fault(
                                in, balance,
                                "rule " + std::to_string(first) + " against the situation");
                          }
                        }
                      }
                      // A top-up leaves every decision as it was, balance aside,
                      // in every state: a trip begun by a transfer has both of
                      // its records repeated, which only such a trip needs.
                      CardRecord after[2];
                      bool both = false;
                      std::string wrong = topUp(older, latest, after, &both);
                      if (both != !repeatKeepsTrip(older, latest)) {
                        report.fault(in, 0, "top-up repeats the wrong records");
                      }
                      if (both && (!card.lastIn || !card.enteredByTransfer)) {
                        report.fault(in, 0,
                                     "top-up repeats both records outside a transfer's trip");
                      }
                      if (both) report.bothRepeated++;
                      if (!wrong.empty()) {
                        report.fault(in, 0, "top-up: " + wrong);
                        continue;
                      }
                      CardData topped = derive(after[0], after[1], periodStart);
                      if (flagsOf(topped) != got || !is(topped.lastTapId, card.lastTapId) ||
                          topped.lastTime != card.lastTime || !is(topped.cardFile, card.cardFile) ||
                          topped.balance != kToppedUpBalance) {
                        report.fault(in, 0, "top-up: the trip state changed");
                      }
                      for (size_t b = 0; b < std::size(kBalances); b++) {
                        CardData tapped = topped;
                        tapped.balance = kBalances[b];
                        TapResult tap = subwayReader ? subway::chooseFare(tapped, stamp)
                                                     : bus::chooseFare(tapped, stamp);
                        std::string changed = differs(results[b].tap, tap);
                        if (!changed.empty()) report.fault(in, kBalances[b], "top-up: " + changed);
                        report.toppedUp++;
                      }
                    }
    }
  }
  printf(
      "reader %s: checked %ld states (%ld derivations, %ld dispatches); %ld states where two "
      "rules hold and the first decides, %ld where none holds\n",
      reader, report.states, report.derivations, report.dispatches, report.overlaps,
      report.unmatched);
  printf(
      "reader %s: compared %ld topped-up states with the same states before their top-up; in %ld "
      "states (trips begun by a transfer) the top-up repeats both records\n",
      reader, report.toppedUp, report.bothRepeated);
  for (const std::string& fault : report.faults) ADD_FAILURE() << fault;
  EXPECT_EQ(report.states, 81L * 9 * 5 * 12 * 3 * static_cast<long>(std::size(kBalances)));
  // Every state is topped up, at every balance, the trips begun by a
  // transfer among them.
  EXPECT_GT(report.bothRepeated, 0);
  EXPECT_EQ(report.toppedUp, 81L * 9 * 5 * 12 * 3 * static_cast<long>(std::size(kBalances)));
}

INSTANTIATE_TEST_SUITE_P(Readers, FareSpace, ::testing::ValuesIn(kReaders),
                         [](const auto& info) { return std::string(info.param); });
