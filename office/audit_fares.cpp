// The audit's verdicts on fares: a tap whose record its reader's rules give
// only in a period begun on one side of the card's open entry is judged by
// the period its reader's log shows around the tap's line. A period's first
// tap is numbered 1 and each tap after it one more, so a tap numbered n
// began its period n - 1 lines up its log; the line above that is the last
// tap of the period before.
#include <algorithm>
#include <cstring>

#include "core/card_file.h"
#include "core/packed_time.h"
#include "office/audit_state.h"

namespace {

// Where a tap's period lies, as the log shows it.
struct PeriodSeen {
  int64_t after = 0;                // packed: it began at or after this; 0 when nothing bounds it
  int64_t by = 0;                   // packed: it began at or before this
  const LogEntry* last = nullptr;   // the line of the last tap of the period before, if read
  const LogEntry* first = nullptr;  // the line of the period's first tap, if found
};

// The period of probe `p`'s tap, told by `line`, or by the tap alone (its
// period began by the time it was made) when no line tells it or the log
// holds too few lines above it for its number.
PeriodSeen periodOf(const AuditState* s, const Probe& p, const LogEntry* line,
                    int64_t* firstPlace) {
  PeriodSeen seen;
  seen.by = p.record.time;
  if (line == nullptr || p.tapNumber < 1) return seen;
  int64_t at = placeOf(s, line->log, static_cast<size_t>(line - s->table.entries.data()));
  if (at < p.tapNumber - 1) return seen;
  *firstPlace = at - (p.tapNumber - 1);
  seen.first = lineAtPlace(s, line->log, *firstPlace);
  if (seen.first == nullptr) return seen;
  seen.by = seen.first->time;
  if (*firstPlace > 0) seen.last = lineAtPlace(s, line->log, *firstPlace - 1);
  if (seen.last != nullptr) seen.after = seen.last->time;
  return seen;
}

// Whether the log counts as a period from `first` (at place `firstPlace`)
// to `line` would: every entry (a new ride or a settlement, which log their
// own ids; a transfer logs the other vehicle's) of the tap's reader
// between them numbered by its place. A lost or edited line, or a number
// skipped, shows here. Lines the last audit checked so and did not carry
// are taken as it found them.
bool countsHold(const AuditState* s, const Probe& p, int64_t firstPlace, const LogEntry* line) {
  const char* id = p.record.tapId;
  const char* part = id + strspn(id, "_");
  size_t length = strcspn(part, "_\r");
  const LogSpan& span = s->spans[line->log];
  int64_t place = firstPlace,
          end = placeOf(s, line->log, static_cast<size_t>(line - s->table.entries.data()));
  if (place < span.tailFrom) {
    if (place != span.periodStart || !span.periodHolds) return false;
    place = span.carriedPlaces;
  }
  for (; place <= end; place++) {
    const LogEntry* e = lineAtPlace(s, line->log, place);
    if (e == nullptr) return false;
    const char* reader = e->id + strspn(e->id, "_");
    bool own = (e->flags & kInFlag) != 0 && strcspn(reader, "_") == length &&
               strncmp(reader, part, length) == 0;
    if (own && tapNumberOf(e->id) != place - firstPlace + 1) return false;
  }
  return true;
}

// A log line and its time, as a detail shows them.
std::string lineAt(const AuditState* s, const LogEntry* e) {
  return s->table.logs[e->log] + ":" + std::to_string(e->line) + " (" + formatDateTime(e->time) +
         ")";
}

}  // namespace

int64_t placeOf(const AuditState* s, uint16_t log, size_t at) {
  const LogSpan& span = s->spans[log];
  if (at >= span.readFrom) return span.carriedPlaces + static_cast<int64_t>(at - span.readFrom);
  return span.placesOf[at - s->linesOfLog[log].first];
}

const LogEntry* lineAtPlace(const AuditState* s, uint16_t log, int64_t place) {
  const LogSpan& span = s->spans[log];
  const std::vector<LogEntry>& entries = s->table.entries;
  if (place >= span.carriedPlaces) {
    size_t at = span.readFrom + static_cast<size_t>(place - span.carriedPlaces);
    return place >= 0 && at < s->linesOfLog[log].second ? &entries[at] : nullptr;
  }
  auto found = std::lower_bound(span.placesOf.begin(), span.placesOf.end(), place);
  if (found == span.placesOf.end() || *found != place) return nullptr;
  return &entries[s->linesOfLog[log].first + static_cast<size_t>(found - span.placesOf.begin())];
}

const char* fareVerdictName(FareVerdict verdict) {
  switch (verdict) {
    case FareVerdict::kAgrees:
      return "agrees";
    case FareVerdict::kDiffers:
      return "differs";
    case FareVerdict::kUnverifiable:
      return "unverifiable";
    case FareVerdict::kUndecided:
      return "undecided";
  }
  return "unknown";
}

void settleFare(AuditState* s, Probe* p, const LogEntry* line) {
  if (p->need == PeriodNeed::kAny) return;
  int64_t firstPlace = 0;
  PeriodSeen seen = periodOf(s, *p, line, &firstPlace);
  PeriodAllows allows = periodAllows(p->need, p->entry, seen.after, seen.by);
  if (allows == PeriodAllows::kNo && seen.first != nullptr &&
      !countsHold(s, *p, firstPlace, line)) {
    allows = PeriodAllows::kUnknown;
  }
  bool neededUpTo = p->need == PeriodNeed::kUpToEntry;
  p->verdict = allows == PeriodAllows::kYes  ? FareVerdict::kAgrees
               : allows == PeriodAllows::kNo ? FareVerdict::kDiffers
                                             : FareVerdict::kUnverifiable;
  p->need = PeriodNeed::kAny;
  if (counted(s, p->record.time)) s->report->fares.byVerdict[static_cast<int>(p->verdict)]++;
  if (p->verdict != FareVerdict::kDiffers) return;
  std::string reader = readerOfId(p->record.tapId);
  std::string entry = formatDateTime(p->entry);
  // The record needed the period on one side of the entry; the log puts it
  // on the other.
  std::string where;
  if (neededUpTo) {
    where = "it began after it, at or after the tap of " + lineAt(s, seen.last) +
            ", the last of the period before";
  } else if (seen.first != nullptr) {
    where = "it began at or before it, by the tap of " + lineAt(s, seen.first) +
            ", the first of its own";
  } else {
    where = "it began at or before it, by the time of this tap";
  }
  addAnomaly(s, AnomalyKind::kFareMismatch, s->cards[p->card], p->line,
             quotedRecord(*p) + ": " + recordWords(p->record, p->record.balance + p->fare) +
                 ", which the rules of reader " + reader + " give only if its operating period " +
                 (neededUpTo ? "began at or before" : "began after") + " the entry (" + entry +
                 "); " + where + ", and the rules give " + answerWords(p->other, p->bus),
             p->record.time);
}
