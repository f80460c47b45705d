// The audit's verdicts on fares: a tap whose record its reader's rules give
// only in a period begun on one side of the card's open entry is judged by
// the period its reader's log shows around the tap's line. A period's first
// tap is numbered 1 and each tap after it one more, so a tap numbered n
// began its period n - 1 lines up its log; the line above that is the last
// tap of the period before.
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
PeriodSeen periodOf(const AuditState* s, const Probe& p, const LogEntry* line) {
  PeriodSeen seen;
  seen.by = p.record.time;
  if (line == nullptr || p.tapNumber < 1) return seen;
  const std::vector<LogEntry>& entries = s->table.entries;
  size_t at = static_cast<size_t>(line - entries.data());
  size_t from = s->linesOfLog[line->log].first;
  if (at - from < static_cast<size_t>(p.tapNumber - 1)) return seen;
  size_t first = at - static_cast<size_t>(p.tapNumber - 1);
  seen.first = &entries[first];
  seen.by = seen.first->time;
  if (first > from) {
    seen.last = &entries[first - 1];
    seen.after = seen.last->time;
  }
  return seen;
}

// Whether the log counts as a period from `first` to `line` would: every
// entry (a new ride or a settlement, which log their own ids; a transfer
// logs the other vehicle's) of the tap's reader between them numbered by
// its place. A lost or edited line, or a number skipped, shows here.
bool countsHold(const Probe& p, const LogEntry* first, const LogEntry* line) {
  const char* id = p.record.tapId;
  const char* part = id + strspn(id, "_");
  size_t length = strcspn(part, "_\r");
  int64_t place = 1;
  for (const LogEntry* e = first; e <= line; e++, place++) {
    const char* reader = e->id + strspn(e->id, "_");
    bool own = (e->flags & kInFlag) != 0 && strcspn(reader, "_") == length &&
               strncmp(reader, part, length) == 0;
    if (own && tapNumberOf(e->id) != place) return false;
  }
  return true;
}

// A log line and its time, as a detail shows them.
std::string lineAt(const AuditState* s, const LogEntry* e) {
  return s->table.logs[e->log] + ":" + std::to_string(e->line) + " (" + formatDateTime(e->time) +
         ")";
}

}  // namespace

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
  PeriodSeen seen = periodOf(s, *p, line);
  PeriodAllows allows = periodAllows(p->need, p->entry, seen.after, seen.by);
  if (allows == PeriodAllows::kNo && seen.first != nullptr && !countsHold(*p, seen.first, line)) {
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
