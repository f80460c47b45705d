// Deciding a recorded tap again: the reader's own trip state and fare
// choice, once for a period begun after the card's latest record and, where
// that makes its entry stale, once for a period begun at or before it.
#include "office/fare_replay.h"

#include <cstring>

#include "bus/dispatch.h"
#include "bus/trip_state.h"
#include "readers/network.h"
#include "subway/dispatch.h"
#include "subway/trip_state.h"

namespace {

// The reader of the network that tap id `tapId` names (its reader part, as
// readerOfTapId reads it), or nullptr.
const ReaderConfig* readerOf(const char* tapId) {
  const char* part = tapId + strspn(tapId, "_");
  size_t length = strcspn(part, "_\r");
  for (const ReaderConfig& reader : kNetworkReaders) {
    if (strlen(reader.readerId) == length && strncmp(reader.readerId, part, length) == 0) {
      return &reader;
    }
  }
  return nullptr;
}

RulesAnswer answerOf(const TapResult& result) {
  return {result.fare, result.kind, strcmp(result.entry.inOut, "IN") == 0};
}

// Whether an answer has the record's mode and direction.
bool shaped(const RulesAnswer& answer, bool bus, const CardRecord& now) {
  return answer.fare >= 0 && strcmp(now.mode, bus ? "BUS" : "SUBWAY") == 0 &&
         strcmp(now.inOut, answer.in ? "IN" : "OUT") == 0;
}

// The reader's answer for the card in trip state `card`.
RulesAnswer decide(bool bus, const CardData& card, const TapStamp& stamp) {
  return answerOf(bus ? bus::chooseFare(card, stamp) : subway::chooseFare(card, stamp));
}

}  // namespace

int32_t tapNumberOf(const char* tapId) {
  const char* mark = strrchr(tapId, '_');
  if (mark == nullptr) return 0;
  int64_t number = 0;
  for (const char* c = mark + 1; *c >= '0' && *c <= '9' && number <= INT32_MAX; c++) {
    number = number * 10 + (*c - '0');
  }
  return number <= INT32_MAX ? static_cast<int32_t>(number) : 0;
}

bool gives(const RulesAnswer& answer, bool bus, const CardRecord& now, int64_t balanceBefore) {
  return shaped(answer, bus, now) && balanceBefore - answer.fare == now.balance;
}

Redecided redecide(const CardRecord& older, const CardRecord& latest, const CardRecord& now,
                   const char* cardFile, const TripTimes& times) {
  Redecided r{};
  const ReaderConfig* reader = readerOf(now.tapId);
  if (reader == nullptr) return r;
  r.decided = true;
  r.readerId = reader->readerId;
  r.reader = static_cast<int>(reader - kNetworkReaders);
  r.bus = strcmp(reader->readerId, kBusReader.readerId) == 0;
  // The reader read the latest record as the card's last line: no CR.
  CardRecord last = latest;
  last.tapId[strcspn(last.tapId, "\r")] = '\0';
  int32_t number = tapNumberOf(now.tapId);
  TapStamp stamp{reader->readerId, number > 0 ? number : 1, now.time, times.now};
  // The period start decides staleEntry alone: the state is derived for a
  // period begun after every record, and where that made the open entry
  // stale, the answer is asked for one begun at or before it as well.
  TripTimes at = times;
  at.periodStart = INT64_MAX;
  CardData card = r.bus ? bus::deriveTripStateAt(older, last, cardFile, reader->readerId, at)
                        : subway::deriveTripStateAt(older, last, cardFile, reader->readerId, at);
  r.after = decide(r.bus, card, stamp);
  r.upTo = r.after;
  if (card.staleEntry) {
    card.staleEntry = 0;
    r.upTo = decide(r.bus, card, stamp);
    r.dependsOnPeriod = true;
  }
  int64_t before = latest.balance;
  bool givenUpTo = gives(r.upTo, r.bus, now, before);
  bool givenAfter = r.dependsOnPeriod ? gives(r.after, r.bus, now, before) : givenUpTo;
  r.need = givenUpTo && givenAfter ? PeriodNeed::kAny
           : givenUpTo             ? PeriodNeed::kUpToEntry
           : givenAfter            ? PeriodNeed::kAfterEntry
                                   : PeriodNeed::kNone;
  const RulesAnswer* kindOf = givenUpTo                     ? &r.upTo
                              : givenAfter                  ? &r.after
                              : shaped(r.upTo, r.bus, now)  ? &r.upTo
                              : shaped(r.after, r.bus, now) ? &r.after
                                                            : nullptr;
  r.kindKnown = kindOf != nullptr;
  if (r.kindKnown) r.kind = kindOf->kind;
  return r;
}

PeriodAllows periodAllows(PeriodNeed need, int64_t entry, int64_t after, int64_t by) {
  switch (need) {
    case PeriodNeed::kAny:
      return PeriodAllows::kYes;
    case PeriodNeed::kNone:
      return PeriodAllows::kNo;
    case PeriodNeed::kUpToEntry:
      if (by <= entry) return PeriodAllows::kYes;
      return after > entry ? PeriodAllows::kNo : PeriodAllows::kUnknown;
    case PeriodNeed::kAfterEntry:
      if (after > entry) return PeriodAllows::kYes;
      return by <= entry ? PeriodAllows::kNo : PeriodAllows::kUnknown;
  }
  return PeriodAllows::kUnknown;
}

std::string answerWords(const RulesAnswer& answer, bool bus) {
  std::string charges = " that charges " + std::to_string(answer.fare);
  std::string entry = bus ? "a boarding" : "an entry";
  if (answer.fare >= 0) {
    switch (answer.kind) {
      case TapKind::kNewRide:
        return "a new ride, " + entry + charges;
      case TapKind::kTransfer:
        return "a transfer, " + entry + charges;
      case TapKind::kExit:
        return "an exit" + charges;
      case TapKind::kExitAfterTransfer:
        return "an exit after a transfer" + charges;
      case TapKind::kSettlement:
        return "a settlement of the trip left open, " + entry + charges;
    }
  }
  if (answer.fare == kRefusedFare) return "a refusal: the balance is short of what the tap needs";
  if (answer.fare == kNoRuleFits) return "no fare: no rule fits the card (Error 1)";
  if (answer.fare == kNoSettlementFits) return "no fare: no settlement fits the card (Error 2)";
  return "no fare: no fare entry settles the tap";
}

std::string recordWords(const CardRecord& now, int64_t balanceBefore) {
  std::string what = strcmp(now.inOut, "IN") == 0    ? "an entry"
                     : strcmp(now.inOut, "OUT") == 0 ? "an exit"
                                                     : "a record";
  int64_t fare = balanceBefore - now.balance;
  if (fare < 0) return what + " that raised the balance by " + std::to_string(-fare);
  return what + " that charged " + std::to_string(fare);
}
