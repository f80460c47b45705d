// The simulated day. Passengers are events in time order: each tap goes to
// its reader's rule set with the card's last two records, the reader's
// operating period and its tap counter, exactly as a reader would take it,
// and its record and log line are written as a reader writes them.
#include "office/simulation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <queue>
#include <vector>

#include "bus/dispatch.h"
#include "bus/trip_state.h"
#include "core/card_file.h"
#include "core/packed_time.h"
#include "core/period.h"
#include "core/tap_journal.h"
#include "office/tap_kind.h"
#include "readers/network.h"
#include "subway/dispatch.h"
#include "subway/fares.h"
#include "subway/trip_state.h"

namespace {

// Whether two texts are the same, at compile time.
constexpr bool sameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) a++, b++;
  return *a == *b;
}

// The bus's place in kNetworkReaders.
constexpr int busIndex() {
  for (int i = 0; i < static_cast<int>(std::size(kNetworkReaders)); i++) {
    if (sameText(kNetworkReaders[i].readerId, kBusReader.readerId)) return i;
  }
  return -1;
}
constexpr int kBus = busIndex();
static_assert(kBus >= 0, "the bus is a reader of the network");

constexpr size_t kCardBuffer = 2048;  // a card's records kept before they are written

// The passengers' choices: a small, fixed generator, so that a seed gives
// the same day on every platform.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  int64_t between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(next() % static_cast<uint64_t>(high - low + 1));
  }
};

// One tap of a journey: where, and how long after the tap before it.
struct Step {
  int reader;
  int64_t after;
};

struct Passenger {
  std::string card;          // Card/<number>.txt
  CardRecord older, latest;  // the card's last two records
  std::string unwritten;     // records not yet on the card
  Step steps[4];
  int step = 0, stepCount = 0;
  int64_t journeysLeft = 0;
  int refusals = 0;
};

// A reader's operating period and tap counter.
struct ReaderState {
  int64_t periodStart;  // simulated UTC time
  int64_t periodSeen;   // the same, as the rule sets see it (rulesTime)
  int32_t count = 0;
  FILE* log;
};

// The offset of the rule sets' clock from the simulated one, kept for the
// UTC minute it was found for: converting through the local zone costs a
// look at the zone's file when TZ is not set, and taps come minute by
// minute.
struct RulesClock {
  int64_t minute = INT64_MIN;
  int64_t offset = 0;
};

// Seconds a subway ride takes from station a to station b.
int64_t rideTime(int a, int b, Random* random) {
  return 30 + 35 * subway::stationsApart(a, b) + random->between(0, 40);
}

// Plans a passenger's next journey.
void planJourney(Passenger* p, Random* random) {
  int a = static_cast<int>(random->between(0, subway::kStations - 1)),
      b = static_cast<int>(random->between(0, subway::kStations - 1));
  int64_t subway = rideTime(a, b, random), bus = random->between(40, 200);
  int64_t change = random->between(3, 13);  // from one vehicle to the other
  int64_t kind = random->between(0, 99);
  Step* s = p->steps;
  if (kind < 35) {  // a subway trip
    p->stepCount = 2, s[0] = {a, 0}, s[1] = {b, subway};
  } else if (kind < 55) {  // a bus ride
    p->stepCount = 2, s[0] = {kBus, 0}, s[1] = {kBus, bus};
  } else if (kind < 70) {  // the subway, then the bus by transfer
    p->stepCount = 4, s[0] = {a, 0}, s[1] = {b, subway}, s[2] = {kBus, change}, s[3] = {kBus, bus};
  } else if (kind < 85) {  // the bus, then the subway by transfer
    p->stepCount = 4, s[0] = {kBus, 0}, s[1] = {kBus, bus}, s[2] = {a, change}, s[3] = {b, subway};
  } else if (kind < 95) {  // into the subway, never tapped out
    p->stepCount = 1, s[0] = {a, 0};
  } else {  // onto the bus, never tapped off
    p->stepCount = 1, s[0] = {kBus, 0};
  }
  p->step = 0;
}

// The record a tap writes, read back as a card record.
CardRecord recordOf(const TapEntry& e) {
  CardRecord r{};
  r.time = e.time;
  copyText(r.mode, e.mode);
  copyText(r.inOut, e.inOut);
  r.balance = e.newBalance;
  copyText(r.tapId, e.tapId);
  return r;
}

// The calendar time the rule sets see at simulated UTC time t:
// makeTime(packedUtc(t)). They read packed times in the process's local
// zone, so the simulated clock reaches them through its packed form. The
// day's taps lie between 04:00 and midnight, and clocks change for daylight
// saving in the small hours, so the rules see the same seconds between two
// taps in every zone as in UTC. No zone changes its clock within a minute,
// so one offset serves a whole minute.
int64_t rulesTime(RulesClock* clock, int64_t t) {
  int64_t minute = t >= 0 ? t / 60 : (t - 59) / 60;
  if (minute != clock->minute) {
    clock->minute = minute;
    clock->offset = makeTime(packedUtc(minute * 60)) - minute * 60;
  }
  return t + clock->offset;
}

// Appends the records a passenger's card has not had yet to it, in the
// network directory `dir`.
bool writeOut(int dir, Passenger* p) {
  if (p->unwritten.empty()) return true;
  int fd = openat(dir, p->card.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  bool written = fd >= 0 && write(fd, p->unwritten.data(), p->unwritten.size()) ==
                                static_cast<ssize_t>(p->unwritten.size());
  if (fd >= 0) close(fd);
  p->unwritten.clear();
  return written;
}

// What the misbuilt reader `misbuilt` charges for an accepted tap `result`
// of the card `card` at reader `readerId`: `result` as the rules give it,
// or the misbuilt fare, counted in `result`, where the reader is the one
// and the tap of its kind and the balance can take the fare.
TapResult charged(const MisbuiltReader& misbuilt, const char* readerId, const CardData& card,
                  TapResult result, SimulationResult* counts) {
  bool misbuiltHere = misbuilt.readerId[0] != '\0' && strcmp(misbuilt.readerId, readerId) == 0 &&
                      result.kind == misbuilt.kind && result.fare != misbuilt.fare;
  int64_t balance = static_cast<int64_t>(card.balance) - misbuilt.fare;
  if (!misbuiltHere || balance < INT32_MIN || balance > INT32_MAX) return result;
  result.fare = result.entry.charged = misbuilt.fare;
  result.balance = result.entry.newBalance = static_cast<int32_t>(balance);
  counts->mischarged++;
  return result;
}

// One tap of a passenger at a reader at simulated UTC time `now`, as the
// reader takes it (or the misbuilt reader of `misbuilt`, counted in
// `counts`). Returns the fare, or kRefusedFare.
int32_t tap(Passenger* p, int reader, ReaderState* state, RulesClock* clock, int64_t now,
            const MisbuiltReader& misbuilt, SimulationResult* counts) {
  const ReaderConfig& config = kNetworkReaders[reader];
  // The reader's timer has opened every period that is due by now.
  if (periodExpired(state->periodStart, now)) {
    while (periodExpired(state->periodStart, now)) {
      state->periodStart = nextPeriodStart(state->periodStart);
    }
    state->periodSeen = rulesTime(clock, state->periodStart);
    state->count = 0;
  }
  bool bus = reader == kBus;
  int64_t seen = rulesTime(clock, now);
  CardData card = bus ? bus::deriveTripState(p->older, p->latest, p->card.c_str(), config.readerId,
                                             state->periodSeen, seen)
                      : subway::deriveTripState(p->older, p->latest, p->card.c_str(),
                                                config.readerId, state->periodSeen, seen);
  TapStamp stamp{config.readerId, state->count + 1, packedUtc(now), seen};
  TapResult result = bus ? bus::chooseFare(card, stamp) : subway::chooseFare(card, stamp);
  if (result.fare < 0) return kRefusedFare;
  result = charged(misbuilt, config.readerId, card, result, counts);
  state->count = stamp.tapNumber;
  p->unwritten += formatCardRecord(result.entry);
  std::string line = formatLogLine(result.entry);
  fwrite(line.data(), 1, line.size(), state->log);
  p->older = p->latest;
  p->latest = recordOf(result.entry);
  return result.fare;
}

// Issues card `number` holding `balance` in the network directory `dir`:
// two subway exits at UTC time `when`, as the card tool issues them.
bool issue(int dir, Passenger* p, int64_t number, int32_t balance, int64_t when) {
  p->card = cardPath(std::to_string(number).c_str());
  std::string bytes = issueRecords(packedUtc(when), balance);
  CardRecord records[2];
  if (!parseCardTail(bytes.data(), bytes.size(), true, records)) return false;
  p->older = records[0];
  p->latest = records[1];
  int fd = openat(dir, p->card.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  bool written =
      fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (fd >= 0) close(fd);
  return written;
}

// Opens the log at `path` under `dir` for appending, through a large
// buffer; nullptr when it cannot.
FILE* openLog(int dir, const char* path) {
  int fd = openat(dir, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  FILE* log = fd >= 0 ? fdopen(fd, "ab") : nullptr;
  if (log == nullptr) {
    if (fd >= 0) close(fd);
    return nullptr;
  }
  setvbuf(log, nullptr, _IOFBF, 1 << 20);
  return log;
}

// Simulates the day in the network directory `dir`, on a clock in UTC.
bool runDay(int dir, const SimulationPlan& plan, SimulationResult* result, std::string* problem) {
  Random random{plan.seed};
  struct tm midnight {};
  midnight.tm_year = static_cast<int>(plan.date / 10000) - 1900;
  midnight.tm_mon = static_cast<int>(plan.date / 100 % 100) - 1;
  midnight.tm_mday = static_cast<int>(plan.date % 100);
  int64_t dayStart = static_cast<int64_t>(timegm(&midnight)) + 5 * 3600;  // 05:00
  int64_t dayEnd = dayStart + 18 * 3600;                                  // 23:00

  RulesClock clock;
  std::vector<ReaderState> readers;
  for (const ReaderConfig& config : kNetworkReaders) {
    // Each reader was started some time before the first passenger.
    FILE* log = openLog(dir, logPathOf(config).c_str());
    if (log == nullptr) {
      for (ReaderState& r : readers) fclose(r.log);
      *problem = "cannot open " + logPathOf(config);
      return false;
    }
    int64_t started = dayStart - random.between(0, 180);
    readers.push_back({started, rulesTime(&clock, started), 0, log});
  }

  // About 2.4 taps a journey, and a tenth of them never made for want of
  // balance; each passenger's journeys spread over the day.
  int64_t journeys = std::max<int64_t>(1, plan.taps * 10 / (plan.cards * 21));
  // A journey and the wait after it take up to 1.5 gaps; the last must begin by 23:00.
  int64_t gap = (dayEnd - dayStart) * 10 / (journeys * 13);
  std::vector<Passenger> passengers(static_cast<size_t>(plan.cards));
  using Event = std::pair<int64_t, int64_t>;  // when, which passenger
  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
  bool written = true;
  for (int64_t i = 0; i < plan.cards && written; i++) {
    Passenger& p = passengers[static_cast<size_t>(i)];
    // Most cards hold enough for the day's journeys (at most the dearest
    // settlement a tap); some run low during it.
    int64_t enough = journeys * 2 * kOpenSubwayToBusFare / 50;
    bool plenty = random.between(0, 9) < 8;
    int32_t balance = static_cast<int32_t>(
        std::min<int64_t>(INT32_MAX / 50, plenty ? random.between(enough, 2 * enough)
                                                 : random.between(enough / 10, enough / 2)) *
        50);
    written = issue(dir, &p, i + 1, balance, dayStart - 3600);
    p.journeysLeft = journeys;
    planJourney(&p, &random);
    events.push({dayStart + random.between(0, gap), i});
  }
  if (!written) *problem = "cannot issue the cards: is there a card here already?";

  while (written && !events.empty()) {
    auto [now, index] = events.top();
    events.pop();
    Passenger& p = passengers[static_cast<size_t>(index)];
    if (p.step == 0) result->journeys++;
    const Step& step = p.steps[p.step];
    ReaderState* reader = &readers[static_cast<size_t>(step.reader)];
    if (tap(&p, step.reader, reader, &clock, now, plan.misbuilt, result) == kRefusedFare) {
      result->refused++;
      p.refusals++;
      p.step = p.stepCount;  // the journey ends at the gate
    } else {
      result->taps++;
      p.step++;
    }
    if (p.unwritten.size() >= kCardBuffer) written = writeOut(dir, &p);
    if (p.step < p.stepCount) {
      events.push({now + p.steps[p.step].after, index});
    } else if (--p.journeysLeft > 0 && p.refusals < 3) {
      int64_t next = now + random.between(gap / 2, gap + gap / 2);
      planJourney(&p, &random);
      if (next < dayEnd) events.push({next, index});
    }
  }
  for (Passenger& p : passengers) written = writeOut(dir, &p) && written;
  for (ReaderState& r : readers) written = fclose(r.log) == 0 && written;
  if (!written && problem->empty()) *problem = "cannot write the cards and logs";
  return written;
}

}  // namespace

bool parseMisbuilt(const std::string& text, MisbuiltReader* misbuilt) {
  size_t first = text.find(':'), second = text.find(':', first + 1);
  if (first == std::string::npos || second == std::string::npos) return false;
  std::string reader = text.substr(0, first), kind = text.substr(first + 1, second - first - 1),
              fare = text.substr(second + 1);
  MisbuiltReader parsed;
  bool known = false;
  for (const ReaderConfig& config : kNetworkReaders) known = known || reader == config.readerId;
  bool kindKnown = false;
  for (int k = 0; k < kTapKinds; k++) {
    if (kind == tapKindName(static_cast<TapKind>(k))) {
      parsed.kind = static_cast<TapKind>(k);
      kindKnown = true;
    }
  }
  if (!known || !kindKnown || fare.empty() || fare.size() > 9 ||
      fare.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  copyText(parsed.readerId, reader.c_str());
  parsed.fare = static_cast<int32_t>(std::stol(fare));
  *misbuilt = parsed;
  return true;
}

bool simulateDay(const std::string& dir, const SimulationPlan& plan, SimulationResult* result,
                 std::string* problem) {
  mkdir(dir.c_str(), 0755);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *problem = "cannot open " + dir;
    return false;
  }
  mkdirat(fd, kCardDirectory, 0755);
  mkdirat(fd, kLogDirectory, 0755);
  *result = SimulationResult{};
  bool simulated = runDay(fd, plan, result, problem);
  close(fd);
  return simulated;
}
