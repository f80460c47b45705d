// The audit's last passes, and the audit itself: the logs are read into the
// log index (audit_logs.cpp), the cards read and their records matched
// (audit_cards.cpp), then the records no line told exactly are settled and
// what is left on either side is told, here.
#include "office/audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "core/card_file.h"
#include "core/packed_time.h"
#include "core/tap_journal.h"
#include "core/trip_facts.h"
#include "office/audit_state.h"
#include "office/line_reader.h"
#include "readers/network.h"

std::string whereCardBreaks(const std::string& older, const std::string& latest, int64_t lines) {
  if (lines < 2) return "a card needs at least two records";
  CardRecord record;
  if (!parseCardLine(older.data(), older.size(), false, &record)) {
    return "line " + std::to_string(lines - 1) + " is not a card record: \"" + printable(older) +
           "\"";
  }
  if (!parseCardLine(latest.data(), latest.size(), true, &record)) {
    return "line " + std::to_string(lines) + " is not a card record: \"" + printable(latest) + "\"";
  }
  return "its last two records cannot be read";
}

std::string dayText(Day day) {
  char text[40];  // room for any int's groups
  snprintf(text, sizeof text, "%04d-%02d-%02d", day / 10000, day / 100 % 100, day % 100);
  return text;
}

bool parseDay(const std::string& text, Day* day) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  int groups[3] = {0, 0, 0};  // year, month, day of the month
  const size_t starts[3] = {0, 5, 8}, widths[3] = {4, 2, 2};
  for (int g = 0; g < 3; g++) {
    for (size_t i = starts[g]; i < starts[g] + widths[g]; i++) {
      if (text[i] < '0' || text[i] > '9') return false;
      groups[g] = groups[g] * 10 + (text[i] - '0');
    }
  }
  const int year = groups[0], month = groups[1], mday = groups[2];
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int monthDays[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || mday < 1 || mday > monthDays[month - 1]) return false;
  *day = year * 10000 + month * 100 + mday;
  return true;
}

int64_t expectedHeld(const DayMoney& day) {
  int64_t held = day.heldBefore;
  for (const MovementInfo& row : kMovementKinds) {
    held += row.sign * day.moved[static_cast<int>(row.movement)];
  }
  return held;
}

AuditDays coveredDays(const AuditReport& report) {
  AuditDays covered = report.asked;
  if (covered.from == 0 && !report.held.empty()) covered.from = report.held.begin()->first;
  if (covered.to == 0 && !report.held.empty()) covered.to = report.held.rbegin()->first;
  return covered;
}

DayTotals* lookUpDay(ReaderTotals* totals, DayCursor* cursor, Day day) {
  cursor->totals = &totals->days[day];
  cursor->day = day;
  return cursor->totals;
}

void addAnomaly(AuditState* s, AnomalyKind kind, const std::string& file, int64_t line,
                const std::string& detail, int64_t dated) {
  if (dated != 0 && !counted(s, dated)) return;
  s->report->anomalies.push_back({kind, shownName(file), line, detail});
}

std::string readerOfId(const char* id) {
  return shownName(readerOfTapId(id));
}

std::string quotedRecord(const Probe& p) {
  return quotedLine(std::string(p.text, p.textLength));
}

std::string quotedLogLine(const LogEntry& e) {
  TapEntry tap{};
  tap.charged = e.fare;
  tap.time = e.time;
  copyText(tap.mode, e.flags & kBusFlag ? "BUS" : "SUBWAY");
  copyText(tap.inOut, e.flags & kInFlag ? "IN" : "OUT");
  copyText(tap.logTapId, e.id);
  return quotedLine(formatLogLine(tap));
}

namespace {

// The first line left over in log `log` that tells record `r` with id
// `id`, whatever its fare, through `leftOver` (by keyOf with fare 0).
LogEntry* leftOverLine(LogTable* table, const std::unordered_multimap<uint64_t, uint32_t>& leftOver,
                       int log, const CardRecord& r, const char* id) {
  if (log < 0) return nullptr;
  auto range = leftOver.equal_range(keyOf(static_cast<uint16_t>(log), r.time, flagsOf(r), 0, id));
  for (auto it = range.first; it != range.second; ++it) {
    LogEntry& e = table->entries[it->second];
    if ((e.flags & kMatchedFlag) == 0 && e.time == r.time && strcmp(e.id, id) == 0 &&
        (e.flags & (kBusFlag | kInFlag)) == flagsOf(r)) {
      return &e;
    }
  }
  return nullptr;
}

}  // namespace

void settleUnmatched(AuditState* s) {
  LogTable& table = s->table;
  std::unordered_multimap<uint64_t, uint32_t> leftOver;
  if (!s->unmatched.empty()) {
    for (uint32_t i = 0; i < table.entries.size(); i++) {
      const LogEntry& e = table.entries[i];
      if ((e.flags & kMatchedFlag) == 0)
        leftOver.emplace(keyOf(e.log, e.time, e.flags, 0, e.id), i);
    }
  }
  for (Probe& p : s->unmatched) {
    LogEntry* line = leftOverLine(&table, leftOver, p.log, p.record, p.loggedId);
    bool otherId = line == nullptr;
    if (otherId) line = leftOverLine(&table, leftOver, p.log, p.record, p.otherId);
    if (line == nullptr) {
      noLogLine(s, p);
      continue;
    }
    line->flags |= kMatchedFlag;
    std::string where = table.logs[line->log] + ":" + std::to_string(line->line) + " (" +
                        quotedLogLine(*line) + ")";
    // The rules tell the kind where they give the record's mode and
    // direction; else what the reader charged decides the kind of an
    // entry. Where card and log disagree on the fare, the id the log
    // carries may be the one either fare calls for.
    TapKind kind = p.kindKnown ? p.kind : kindOf(p.record.inOut, line->fare, p.enteredFree);
    if (otherId && logsPreviousId(kind) == logsPreviousId(p.kind)) {
      addAnomaly(s, AnomalyKind::kLogIdDiffers, s->cards[p.card], p.line,
                 quotedRecord(p) + ": " + where + " tells this tap with id " + shownName(line->id) +
                     ", where a " + tapKindName(p.kind) + " logs " + shownName(p.loggedId),
                 p.record.time);
    }
    if (line->fare != p.fare && p.fare >= 0) {
      addAnomaly(s, AnomalyKind::kFareDiffers, s->cards[p.card], p.line,
                 quotedRecord(p) + ": the balance fell by " + std::to_string(p.fare) + ", " +
                     where + " charges " + std::to_string(line->fare),
                 p.record.time);
    }
    countLogged(s, line->log, kind, true, line->fare, p.record.time);
    settleFare(s, &p, line);
    handOn(s, p, line);
  }
  s->unmatched.clear();
}

void reportLeftOverLines(AuditState* s) {
  const LogTable& table = s->table;
  for (const LogEntry& e : table.entries) {
    bool matched = (e.flags & kMatchedFlag) != 0;
    const char* inOut = e.flags & kInFlag ? "IN" : "OUT";
    if (!matched) {
      addAnomaly(s, AnomalyKind::kLogLineWithoutRecord, table.logs[e.log], e.line,
                 quotedLogLine(e) + ": no card record tells this tap; look at the cards in Card/ " +
                     "for one lost, replaced or edited",
                 e.time);
      // With no record to tell its trip, the line's direction and fare
      // tell its kind of ride.
      countLogged(s, e.log, kindOf(inOut, e.fare, false), false, e.fare, e.time);
    }
    if (s->sinks->logLine && counted(s, e.time)) {
      s->sinks->logLine({&table.logs[e.log], &table.readers[e.log], e.line, e.time,
                         e.flags & kBusFlag ? "BUS" : "SUBWAY", inOut, e.fare, e.id},
                        matched);
    }
  }
}

void reportLeftOverTopUps(AuditState* s) {
  for (const TopUpEntry& e : s->topUps) {
    if (!counted(s, e.topUp.time)) continue;
    if (e.cardLine == 0) {
      addAnomaly(s, AnomalyKind::kTopUpWithoutRecord, kTopUpLog, e.line,
                 quotedLine(e.text) + ": no record of " + shownName(cardPath(e.topUp.number)) +
                     " tells this top-up");
      s->report->topUps.withoutRecord.count++;
      s->report->topUps.withoutRecord.amount += e.topUp.amount;
    } else if (e.topUp.kind == OfficeKind::kReplace && e.newBalance != e.topUp.amount) {
      std::string card = shownName(cardPath(e.topUp.detail));
      addAnomaly(s, AnomalyKind::kReplacementDiffers, kTopUpLog, e.line,
                 quotedLine(e.text) + ": " +
                     (e.newBalance < 0 ? "its new card " + card +
                                             " was not read (the office's next command names a "
                                             "new card left as " +
                                             card + kReplacingSuffix + ")"
                                       : "its new card " + card + " was made holding " +
                                             std::to_string(e.newBalance) + ", not " +
                                             std::to_string(e.topUp.amount)));
    }
    if (s->sinks->topUp) {
      s->sinks->topUp(
          {&e.topUp, e.line, e.cardLine != 0 ? &s->cards[e.card] : nullptr, e.cardLine});
    }
  }
}

void tallyHeld(AuditState* s) {
  AuditReport* report = s->report;
  std::map<Day, DayMoney>& held = report->held;
  auto moved = [&](Day day, Movement movement) -> int64_t& {
    return held[day].moved[static_cast<int>(movement)];
  };
  for (const auto& [day, totals] : report->network.days) {
    moved(day, Movement::kRevenue) = totals.all.revenue;
  }
  for (const auto& [day, loaded] : report->topUps.days) {
    moved(day, Movement::kTopUps) = loaded.all.amount;
  }
  for (const auto& [day, amount] : s->issuedOn) {
    if (covers(s->days, day)) moved(day, Movement::kIssued) = amount;
  }
  for (const auto& [day, amounts] : s->movedOn) {
    for (int m = 0; m < kMovements; m++) {
      if (amounts[m] != 0) moved(day, static_cast<Movement>(m)) += amounts[m];
    }
  }
  for (const auto& entry : s->heldChanges) {
    if (covers(s->days, entry.first)) held[entry.first];
  }
  // What all cards hold is the sum of the changes of every day up to the
  // day's end, counted days before the first covered as well.
  int64_t running = 0;
  auto change = s->heldChanges.begin();
  for (auto& [day, money] : held) {
    while (change != s->heldChanges.end() && change->first < day) running += change++->second;
    money.heldBefore = running;
    while (change != s->heldChanges.end() && change->first == day) running += change++->second;
    money.held = running;
  }
}

void sortAnomalies(std::deque<Anomaly>* anomalies) {
  std::deque<Anomaly>& a = *anomalies;
  std::vector<uint32_t> order(a.size());  // order[k]: the anomaly that goes to place k
  for (uint32_t i = 0; i < order.size(); i++) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    return a[x].file != a[y].file ? a[x].file < a[y].file : a[x].line < a[y].line;
  });
  for (uint32_t start = 0; start < order.size(); start++) {
    if (order[start] == start) continue;
    Anomaly held = std::move(a[start]);
    uint32_t at = start;
    while (order[at] != start) {
      uint32_t from = order[at];
      a[at] = std::move(a[from]);
      order[at] = at;
      at = from;
    }
    a[at] = std::move(held);
    order[at] = at;
  }
}

bool auditNetwork(int dir, const std::string& shownAs, int64_t now, const AuditDays& days,
                  bool progress, const AuditSinks& sinks, AuditReport* report,
                  std::string* problem) {
  *problem = notANetwork(dir, shownAs);
  if (!problem->empty()) return false;
  *report = AuditReport{};
  report->asked = days;
  for (const ReaderConfig& reader : kNetworkReaders) {
    report->readers[reader.readerId];
    report->now[reader.readerId];
  }
  AuditShared shared;
  AuditState state = auditState(&shared);
  state.dir = dir;
  state.sinks = &sinks;
  state.report = report;
  state.progress = progress;
  state.now = now;
  state.days = days;
  state.latest = timetolong(now + kClockToleranceSeconds);
  state.buffer.resize(kReadBufferBytes);
  state.hours = makeLocalHours();
  readLogs(&state);
  readCards(&state);
  // A directory that could not be listed would look like a network with no
  // cards or no logs, all of them matching: the audit is not made.
  if (!state.unlisted.empty()) {
    *problem = state.unlisted;
    return false;
  }
  settleUnmatched(&state);
  reportLeftOverLines(&state);
  reportLeftOverTopUps(&state);
  tallyHeld(&state);
  if (progress) fprintf(stderr, "\r%60s\r", "");
  sortAnomalies(&report->anomalies);
  return true;
}
