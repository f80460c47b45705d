// The next tap of a card: each reader's rule set is asked, as the reader
// would ask it, in every circumstance that changes its answer, and the
// answers are worded for show.
#include "office/next_tap.h"

#include <algorithm>
#include <cstring>

#include "bus/dispatch.h"
#include "bus/fares.h"
#include "bus/trip_state.h"
#include "core/packed_time.h"
#include "core/period.h"
#include "core/text.h"
#include "core/trip_facts.h"
#include "subway/dispatch.h"
#include "subway/trip_state.h"

namespace {

// What a reader is asked: the card, and the reader's period and clock.
struct Asked {
  const CardRecord* older;
  const CardRecord* latest;
  const char* cardFile;
  int64_t periodStart;  // calendar time the reader's operating period began
  int64_t now;          // calendar time of the tap
};

// The reader's choice for the card of `asked` holding `balance`, by its
// own rule set: the trip state derived, then the fare chosen.
TapResult choose(const ReaderConfig& reader, bool bus, const Asked& asked, int32_t balance) {
  CardRecord latest = *asked.latest;
  latest.balance = balance;
  TapStamp stamp{reader.readerId, 1, timetolong(asked.now), asked.now};
  if (bus) {
    return bus::chooseFare(bus::deriveTripState(*asked.older, latest, asked.cardFile,
                                                reader.readerId, asked.periodStart, asked.now),
                           stamp);
  }
  return subway::chooseFare(subway::deriveTripState(*asked.older, latest, asked.cardFile,
                                                    reader.readerId, asked.periodStart, asked.now),
                            stamp);
}

// One reader's answer. A refusal is always a balance at or below the
// threshold of the tap chosen, so the least balance taken is found by
// halving between the card's balance and the largest a card holds.
ReaderAnswer answerOf(const ReaderConfig& reader, const Asked& asked) {
  ReaderAnswer answer{};
  answer.readerId = reader.readerId;
  answer.bus = strcmp(reader.readerId, kBusReader.readerId) == 0;
  int32_t balance = asked.latest->balance;
  answer.result = answer.funded = choose(reader, answer.bus, asked, balance);
  if (answer.result.fare == kRefusedFare &&
      isAccepted(choose(reader, answer.bus, asked, INT32_MAX))) {
    int64_t refused = balance, taken = INT32_MAX;
    while (taken - refused > 1) {
      int64_t middle = refused + (taken - refused) / 2;
      bool accepted = isAccepted(choose(reader, answer.bus, asked, static_cast<int32_t>(middle)));
      (accepted ? taken : refused) = middle;
    }
    answer.needs = static_cast<int32_t>(taken);
    answer.funded = choose(reader, answer.bus, asked, answer.needs);
  }
  if (isAccepted(answer.funded)) answer.kind = answer.funded.kind;
  return answer;
}

// ", free" or " that charges 200".
std::string fareWords(int32_t fare) {
  return fare == 0 ? ", free" : " that charges " + std::to_string(fare);
}

// What an accepted tap of `answer` is, and what it charges.
std::string tapWords(const ReaderAnswer& answer, const TapResult& tap) {
  std::string entry = answer.bus ? "a boarding" : "an entry";
  switch (answer.kind) {
    case TapKind::kNewRide:
      return "a new ride, " + entry + fareWords(tap.fare);
    case TapKind::kTransfer:
      return "a transfer, " + entry + fareWords(tap.fare);
    case TapKind::kExit:
      return "an exit" + fareWords(tap.fare);
    case TapKind::kExitAfterTransfer:
      // Leaving a bus boarded by transfer is charged by the time on board.
      if (answer.bus) {
        return formatText(
            "an exit that charges %d for each whole %d s since the boarding, at most %d (%d if "
            "tapped now)",
            bus::kRideUnitFare, bus::kRideUnitSeconds, bus::kRideFareCap, tap.fare);
      }
      return "an exit" + fareWords(tap.fare);
    case TapKind::kSettlement:
      return entry + " that settles the open trip for " + std::to_string(tap.fare) +
             " and begins a new " + (answer.bus ? "ride" : "trip");
  }
  return "";
}

// The readers of `ids` for a line: "every station", "S3", "S1, S2 or S5".
std::string stationList(const std::vector<const char*>& ids, size_t stations) {
  if (ids.size() == stations && stations > 1) return "every station";
  std::string list;
  for (size_t i = 0; i < ids.size(); i++) {
    list += (i == 0 ? "" : i + 1 == ids.size() ? " or " : ", ") + std::string(ids[i]);
  }
  return list;
}

// The header of circumstance `c` of `next`, the `index`-th given.
std::string caseHeader(const NextTap& next, const TapCase& c, int index) {
  std::string other = next.lastBus ? "the bus" : "the subway";
  switch (c.when) {
    case TapWhen::kNow:
      return "Next tap:";
    case TapWhen::kTransferWindow:
      return formatText(
          "Next tap, up to %s (within %lld s of leaving %s):", formatDateTime(c.time).c_str(),
          static_cast<long long>(kTransferWindowSeconds), other.c_str());
    case TapWhen::kAfterWindow:
      return "From " + formatDateTime(c.time) + " on:";
    case TapWhen::kPeriodBeforeEntry:
      return "Next tap, at a reader whose operating period began before the entry:";
    case TapWhen::kPeriodAfterEntry:
      if (index > 0) {
        return "At a reader whose operating period began after the entry (every running "
               "reader's did by " +
               formatDateTime(c.time) + "):";
      }
      return "Next tap, now that every running reader's operating period began after the entry "
             "(all did by " +
             formatDateTime(c.time) + "):";
  }
  return "";
}

}  // namespace

NextTap nextTap(const CardRecord& older, const CardRecord& latest, const char* cardFile,
                int64_t now) {
  NextTap next{};
  CardData common =
      deriveCommonTripState(older, latest, tripTimes(older, latest, now, now), cardFile, "");
  next.inTrip = common.lastIn;
  next.enteredByTransfer = common.enteredByTransfer;
  next.lastBus = common.lastBus;
  int64_t at = makeTime(latest.time);
  auto ask = [&](TapWhen when, int64_t time, int64_t periodStart, int64_t asked) {
    TapCase& c = next.cases[next.casesUsed++];
    c.when = when;
    c.time = time;
    Asked question{&older, &latest, cardFile, periodStart, asked};
    for (size_t i = 0; i < kAskedReaders; i++) {
      c.answers[i] = answerOf(kNetworkReaders[i], question);
    }
  };
  if (!next.inTrip) {
    // An exit's transfer window, as both rule sets measure it; an exit is
    // never stale, whenever the reader's period began.
    if (recordAge(latest, now) <= kTransferWindowSeconds) {
      int64_t closed = at + kTransferWindowSeconds + 1;
      ask(TapWhen::kTransferWindow, timetolong(closed - 1), now, now);
      ask(TapWhen::kAfterWindow, timetolong(closed), now, std::max(now, closed));
    } else {
      ask(TapWhen::kNow, 0, now, now);
    }
    return next;
  }
  // A reader's period that began at or before the entry is over by
  // nextPeriodStart(entry): from then every running reader's began after it.
  int64_t everyReader = nextPeriodStart(at);
  if (now < everyReader) ask(TapWhen::kPeriodBeforeEntry, 0, at, now);
  ask(TapWhen::kPeriodAfterEntry, timetolong(everyReader), at + 1, std::max(now, at + 1));
  return next;
}

std::string answerWords(const ReaderAnswer& answer) {
  const TapResult& result = answer.result;
  if (isAccepted(result)) return tapWords(answer, result);
  if (result.fare == kRefusedFare && answer.needs > 0) {
    return "refused: " + tapWords(answer, answer.funded) + ", needs a balance of " +
           std::to_string(answer.needs);
  }
  if (result.fare == kRefusedFare) return "refused, whatever the balance";
  const char* error = unsettledMessage(result.fare);
  if (error != nullptr) return std::string("the reader shows ") + error + " and records nothing";
  return "the reader records nothing and shows nothing";
}

const char* outcomeName(const TapResult& result) {
  if (isAccepted(result)) return "accepted";
  if (result.fare == kRefusedFare) return "refused";
  if (result.fare == kNoRuleFits) return "error_1";
  if (result.fare == kNoSettlementFits) return "error_2";
  return "nothing";
}

const char* whenName(TapWhen when) {
  switch (when) {
    case TapWhen::kNow:
      return "now";
    case TapWhen::kTransferWindow:
      return "transfer_window";
    case TapWhen::kAfterWindow:
      return "after_transfer_window";
    case TapWhen::kPeriodBeforeEntry:
      return "period_before_entry";
    case TapWhen::kPeriodAfterEntry:
      return "period_after_entry";
  }
  return "unknown";
}

std::vector<std::string> caseLines(const NextTap& next, int index) {
  const TapCase& c = next.cases[index];
  // Stations that answer alike share a line, in the order of the table;
  // the bus has its own, last.
  std::vector<std::string> words;
  std::vector<std::vector<const char*>> readers;
  std::string busLine;
  size_t stations = 0;
  for (size_t i = 0; i < kAskedReaders; i++) {
    const ReaderAnswer& answer = c.answers[i];
    stations += !answer.bus;
    std::string said = answerWords(answer);
    if (index > 0 && said == answerWords(next.cases[0].answers[i])) continue;
    if (answer.bus) {
      busLine = "on the bus: " + said;
      continue;
    }
    auto same = std::find(words.begin(), words.end(), said);
    if (same == words.end()) {
      words.push_back(said);
      readers.emplace_back();
      same = words.end() - 1;
    }
    readers[static_cast<size_t>(same - words.begin())].push_back(answer.readerId);
  }
  std::vector<std::string> lines;
  for (size_t g = 0; g < words.size(); g++) {
    lines.push_back("at " + stationList(readers[g], stations) + ": " + words[g]);
  }
  if (!busLine.empty()) lines.push_back(busLine);
  if (!lines.empty()) lines.insert(lines.begin(), caseHeader(next, c, index));
  return lines;
}
