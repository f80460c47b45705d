// The audit's second pass: every card of Card/ read a line at a time, judged
// as the readers judge it, and each of its accepted records looked up in
// the log index, a batch of records at a time.
#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/card_file.h"
#include "core/packed_time.h"
#include "core/tap_journal.h"
#include "core/trip_facts.h"
#include "office/audit_state.h"
#include "office/line_reader.h"
#include "office/tap_kind.h"
#include "readers/network.h"

namespace {

// The record of a card read last, for judging the clock that dated it
// against the record after it.
struct Dated {
  CardRecord record;
  int64_t line = 0;   // 0 before the card's first record
  bool told = false;  // already told as dated ahead of the audit
};

// Tells a record dated further ahead than the hosts' clocks may be apart:
// `last`, ahead of the record `now` (the line `text`) that comes after it
// at line `line` of card `card`, or `now` ahead of the audit; `previous` is
// the line before `now`. Packed times compare in time order, so only a
// record dated earlier than the one before it, or later than the audit, is
// converted to calendar time. Either is told when either of the two times
// it compares is dated in the days the audit covers.
void checkClock(AuditState* s, uint32_t card, int64_t line, const CardRecord& now, const char* text,
                size_t length, const std::string& previous, Dated* last) {
  if (last->line > 0 && !last->told && now.time < last->record.time) {
    int64_t ahead = makeTime(last->record.time) - makeTime(now.time);
    if (ahead > kClockToleranceSeconds) {
      // Its line is the one before, unless a line that is no record came between.
      std::string shown = last->line == line - 1
                              ? quotedLine(previous)
                              : "the record of tap " + shownName(bareTapId(last->record.tapId));
      addAnomaly(s, AnomalyKind::kClockAhead, s->cards[card], last->line,
                 shown + " is dated " + std::to_string(ahead) +
                     " s after the record that follows it (line " + std::to_string(line) + ", " +
                     formatDateTime(now.time) + "): the clock of the host of reader " +
                     readerOfId(last->record.tapId) + " was ahead",
                 counted(s, last->record.time) ? last->record.time : now.time);
    }
  }
  last->told = now.time > s->latest && makeTime(now.time) - s->now > kClockToleranceSeconds;
  if (last->told) {
    int64_t ran = timetolong(s->now);
    addAnomaly(s, AnomalyKind::kClockAhead, s->cards[card], line,
               quotedLine(std::string(text, length)) + " is dated after the audit ran (" +
                   formatDateTime(ran) + "): the clock of the host of reader " +
                   readerOfId(now.tapId) + " is ahead",
               counted(s, now.time) ? now.time : ran);
  }
  last->record = now;
  last->line = line;
}

// Looks up the lines of the records waiting, fetching the places of all of
// them from memory before using any.
void match(AuditState* s) {
  LogTable& table = s->table;
  size_t mask = table.slots.empty() ? 0 : table.slots.size() - 1;
  for (const Probe& p : s->probes) {
    if (p.log >= 0 && mask != 0) __builtin_prefetch(&table.slots[p.key & mask]);
  }
  for (const Probe& p : s->probes) {
    uint32_t slot = p.log >= 0 && mask != 0 ? table.slots[p.key & mask] : 0;
    if (slot != 0) __builtin_prefetch(&table.entries[slot - 1]);
  }
  // Each record takes its line, and where its fare waits for its period,
  // the first line of that period and the one before it are fetched.
  LogEntry* lines[kLogBatch];
  for (size_t i = 0; i < s->probes.size(); i++) {
    const Probe& p = s->probes[i];
    bool tookByLater = false;
    lines[i] = p.log < 0 ? nullptr
                         : take(&table, p.key, static_cast<uint16_t>(p.log), p.record.time,
                                flagsOf(p.record), static_cast<int32_t>(p.fare), p.loggedId,
                                s->later ? kMatchedFlag | kLaterFlag : kMatchedFlag, &tookByLater);
    if (tookByLater && !s->later) s->outOfTurn.store(true, std::memory_order_relaxed);
    if (lines[i] == nullptr || p.need == PeriodNeed::kAny || p.tapNumber < 1) continue;
    size_t at = static_cast<size_t>(lines[i] - table.entries.data());
    size_t from = s->linesOfLog[lines[i]->log].first;
    if (at - from >= static_cast<size_t>(p.tapNumber)) {
      __builtin_prefetch(&table.entries[at - static_cast<size_t>(p.tapNumber)]);
    }
  }
  for (size_t i = 0; i < s->probes.size(); i++) {
    Probe& p = s->probes[i];
    LogEntry* line = lines[i];
    // A record of a reader whose log is not there has no line: it is told
    // at once, not kept.
    if (p.log < 0) {
      noLogLine(s, p);
      continue;
    }
    if (line == nullptr) {
      s->unmatched.push_back(p);
      continue;
    }
    s->report->matched++;
    countLogged(s, line->log, p.kind, true, line->fare, p.record.time);
    settleFare(s, &p, line);
    handOn(s, p, line);
  }
  s->probes.clear();
}

// The first line of the office log that no record has told yet, of card
// `card`, changing its balance by `change` to `balance`: a top-up for a
// rise, any other change for a fall (or none: a card closed or replaced
// holding nothing); nullptr when there is none.
TopUpEntry* untoldTopUp(AuditState* s, uint32_t card, int64_t change, int32_t balance) {
  auto lines = s->topUpsOfCard.find(s->numbers[card]);
  if (lines == s->topUpsOfCard.end()) return nullptr;
  for (uint32_t index : lines->second) {
    TopUpEntry& e = s->topUps[index];
    bool kind = (e.topUp.kind == OfficeKind::kTopUp) == (change > 0);
    int64_t amount = change > 0 ? change : -change;
    if (e.cardLine == 0 && kind && e.topUp.amount == amount && e.topUp.balance == balance) {
      return &e;
    }
  }
  return nullptr;
}

// Copies a record's tap id into `id` without the CR it may keep: the id
// its line carries. `tapId` is a record's, of the same width, so it always
// fits.
void copyBareId(char (&id)[kRecordTapIdWidth], const char* tapId) {
  size_t length = strcspn(tapId, "\r");
  memcpy(id, tapId, length);
  id[length] = '\0';
}

// Where the office retired a card, once a record tells its close or
// replacement.
struct Retired {
  int64_t line = 0;  // the record that tells it; 0 while the card is in use
  std::string how;   // "closed" or "replaced by card N"
};

// Tells a fare_mismatch the rules decided at once: the record is what
// they give in no period.
void tellMismatch(AuditState* s, uint32_t card, int64_t line, const Redecided& r,
                  const CardRecord& before, const CardRecord& now, const char* text,
                  size_t length) {
  std::string rules = "; the rules of reader " + std::string(r.readerId) + " give ";
  if (r.dependsOnPeriod) {
    rules += answerWords(r.upTo, r.bus) +
             " if its operating period began at or before the entry (" +
             formatDateTime(before.time) + "), " + answerWords(r.after, r.bus) + " if after it";
  } else {
    rules += answerWords(r.upTo, r.bus);
  }
  addAnomaly(
      s, AnomalyKind::kFareMismatch, s->cards[card], line,
      quotedLine(std::string(text, length)) + ": " + recordWords(now, before.balance) + rules,
      now.time);
}

// One accepted record `now` (the line `text`) of card `card`, after
// `before` and `older` (made at `times`: theirs and its own): a change the
// office made, told by a line of its log (`office`: the record repeats
// `before`, or starts repeating `older` and `before`, but for the
// balance), or a tap, decided again by its reader's rules and to be told
// by a line of its reader's log. A card the office retired takes no record
// after it. Returns the packed time its balance is held from: an office
// record repeats the time of a record before it, so it is dated by its
// line; any other by its own time.
int64_t auditRecord(AuditState* s, uint32_t card, const char* cardFile, int64_t line,
                    bool enteredFree, bool office, const CardRecord& older,
                    const CardRecord& before, const CardRecord& now, const TripTimes& times,
                    const char* text, size_t length, Retired* retired) {
  int64_t fare = static_cast<int64_t>(before.balance) - now.balance;
  if (retired->line != 0) {
    addAnomaly(s, AnomalyKind::kRecordAfterRetired, s->cards[card], line,
               quotedLine(std::string(text, length)) + ": the office " + retired->how +
                   " this card at line " + std::to_string(retired->line));
  }
  // A change of the office is no tap: its line is in the office log, or
  // it is money that appeared on the card (what disappeared with no line
  // is looked for as a tap, which no reader's log tells).
  if (office) {
    TopUpEntry* topUp = untoldTopUp(s, card, -fare, now.balance);
    if (topUp != nullptr) {
      topUp->card = card;
      topUp->cardLine = line;
      if (topUp->topUp.kind == OfficeKind::kClose) retired->how = "closed";
      if (topUp->topUp.kind == OfficeKind::kReplace) {
        retired->how = "replaced by card " + shownName(topUp->topUp.detail);
      }
      if (!retired->how.empty() && retired->line == 0) retired->line = line;
      return topUp->topUp.time;
    }
    if (fare < 0) {
      addAnomaly(s, AnomalyKind::kBalanceRises, s->cards[card], line,
                 quotedLine(std::string(text, length)) +
                     " repeats the record before it with the balance raised by " +
                     std::to_string(-fare) + " to " + std::to_string(now.balance) +
                     ", but no line of " + kTopUpLog + " tells this top-up of card " +
                     shownName(s->numbers[card]),
                 now.time);
      return now.time;
    }
  }
  s->report->records++;
  Redecided r = redecide(older, before, now, cardFile, times);
  TapKind kind = r.kindKnown ? r.kind : kindOf(now.inOut, fare, enteredFree);
  if (fare < 0) {
    addAnomaly(s, AnomalyKind::kBalanceRises, s->cards[card], line,
               quotedLine(std::string(text, length)) + ": the balance rose by " +
                   std::to_string(-fare) + " to " + std::to_string(now.balance) +
                   "; no tap adds money, and a top-up (" + kTopUpLog +
                   ") repeats the record before it",
               now.time);
  }
  Probe p{};
  p.record = now;
  p.line = line;
  p.fare = fare;
  p.card = card;
  p.kind = kind;
  p.kindKnown = r.kindKnown;
  p.enteredFree = enteredFree;
  p.bus = r.bus;
  p.need = r.need;
  p.entry = before.time;
  p.tapNumber = tapNumberOf(now.tapId);
  p.other = r.need == PeriodNeed::kAfterEntry ? r.upTo : r.after;
  p.log = -1;
  if (!r.decided) {
    p.verdict = FareVerdict::kUndecided;
  } else if (r.need == PeriodNeed::kNone) {
    p.verdict = FareVerdict::kDiffers;
    tellMismatch(s, card, line, r, before, now, text, length);
  } else {
    // A record that needs a period is judged once its line shows the period.
    p.verdict = r.need == PeriodNeed::kAny ? FareVerdict::kAgrees : FareVerdict::kUnverifiable;
  }
  if (r.need == PeriodNeed::kAny || r.need == PeriodNeed::kNone || !r.decided) {
    if (counted(s, now.time)) s->report->fares.byVerdict[static_cast<int>(p.verdict)]++;
    p.need = PeriodNeed::kAny;
  }
  p.textLength = static_cast<uint8_t>(std::min(length, sizeof p.text));
  memcpy(p.text, text, p.textLength);
  const char* logged = logsPreviousId(kind) ? before.tapId : now.tapId;
  copyBareId(p.loggedId, logged);
  copyBareId(p.otherId, logged == now.tapId ? before.tapId : now.tapId);
  // A network reader's log is found by its place in the network's table;
  // any other reader's by its name.
  int log = -1;
  if (r.decided) {
    log = s->logOfNetworkReader[static_cast<size_t>(r.reader)];
  } else {
    auto named = s->logOfReader.find(readerOfId(now.tapId));
    if (named != s->logOfReader.end()) log = named->second;
  }
  if (log >= 0 && fare >= INT32_MIN && fare <= INT32_MAX) {
    p.log = log;
    p.key = keyOf(static_cast<uint16_t>(log), now.time, flagsOf(now), static_cast<int32_t>(fare),
                  p.loggedId);
  }
  s->probes.push_back(p);
  if (s->probes.size() == kLogBatch) match(s);
  return now.time;
}

// The carry of the card at `path` (open as `fd`) from the last audit with
// a checkpoint, by its name or, for a card renamed since (retired), by its
// inode where its old name is gone; nullptr for a card new since.
const CardCarry* carryOf(const AuditState* s, const std::string& path, int fd) {
  if (s->carried == nullptr) return nullptr;
  auto named = s->carried->cards.find(shownName(path));
  if (named != s->carried->cards.end()) return &named->second;
  struct stat info {};
  if (fstat(fd, &info) != 0) return nullptr;
  auto same = s->carried->cardOfInode.find(info.st_ino);
  if (same == s->carried->cardOfInode.end()) return nullptr;
  struct stat there {};
  if (fstatat(s->dir, same->second.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
    return nullptr;
  }
  return &s->carried->cards.at(same->second);
}

// Takes back what a carried card's last days of balance added to the money
// held, to add them again once its new records are read.
void holdAgain(AuditState* s, const CardCarry& from) {
  int32_t before = from.heldBase;
  for (const auto& [day, balance] : from.held) {
    s->heldChanges[day] -= balance - before;
    before = balance;
  }
  s->balanceFrom = from.held;
  s->heldBase = from.heldBase;
}

// Keeps what the card pass needs of the card read last to go on from its
// end on the next run: `out` holds its lines and records read; its balances
// by day are taken from the state before heldByCard clears them.
void keepHeld(const AuditState* s, CardCarry* out) {
  const auto& from = s->balanceFrom;
  size_t kept = std::min<size_t>(2, from.size());
  out->heldBase = from.size() > kept ? from[from.size() - kept - 1].second : s->heldBase;
  out->held.assign(from.end() - static_cast<std::ptrdiff_t>(kept), from.end());
}

void readCard(AuditState* s, uint32_t card, const std::string& path,
              const std::string& cardNumber) {
  s->cards[card] = shownName(path);
  s->numbers[card] = cardNumber;
  std::string lastTwo[2];  // for judging the card as the readers judge it
  std::vector<std::pair<int64_t, std::string>> notRecords;  // line and text
  int64_t lines = 0;
  CardRecord older{}, before{};
  int64_t olderAt = 0, beforeAt = 0;  // their calendar times
  // The card as the readers hold it, whose path their records carry.
  char cardFile[kDataCardFileWidth];
  copyText(cardFile, cardPath(cardNumber.c_str()).c_str());
  Dated last;
  Retired retired;
  int64_t records = 0;    // records read so far
  bool second = false;    // the office's first of two records was read: its second is due
  CardRecord repeated{};  // what that second repeats
  std::string error;
  int fd = openRegularAt(s->dir, path, &error);
  const CardCarry* from = fd >= 0 ? carryOf(s, path, fd) : nullptr;
  int64_t start = 0;  // where the reading starts
  if (from != nullptr) {
    std::string changed = changedSince(fd, from->mark);
    if (!changed.empty()) {
      s->changed.push_back({s->cards[card], changed});
      close(fd);
      return;
    }
    if (from->name != s->cards[card]) s->renamed[from->name] = s->cards[card];
    CardCarry& out = s->cardsOut[card];
    out = *from;
    out.name = s->cards[card];
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size == from->mark.size) {
      close(fd);  // nothing new since: what the last audit found of it stands
      return;
    }
    // A record appended follows the CR LF that ends the line before it.
    char feed[2] = {0, 0};
    if (pread(fd, feed, 2, from->mark.size) != 2 || feed[0] != '\r' || feed[1] != '\n') {
      s->changed.push_back({s->cards[card], "the bytes after byte " +
                                                std::to_string(from->mark.size) +
                                                " do not begin a new record"});
      close(fd);
      return;
    }
    s->reread.push_back(s->cards[card]);
    start = from->mark.size + 2;
    lines = from->lines;
    records = from->records;
    lastTwo[0] = from->lastTwo[0];
    lastTwo[1] = from->lastTwo[1] + "\r";
    older = from->older;
    before = from->before;
    repeated = from->repeated;
    olderAt = from->olderAt;
    beforeAt = from->beforeAt;
    second = from->second;
    last.record = from->dated;
    last.line = from->datedLine;
    last.told = from->datedTold;
    retired.line = from->retiredLine;
    retired.how = from->retiredHow;
    notRecords = from->notRecords;
    for (auto& [number, text] : notRecords) {
      if (number == lines) text += "\r";
    }
    holdAgain(s, *from);
  } else {
    s->report->cards++;
  }
  int64_t end = start;
  if (fd >= 0) {
    error = forEachLineFrom(
        fd, start, lines + 1, &s->buffer, &end,
        [&](const char* text, size_t length, int64_t number, bool ended) {
          lines = number;
          // Swapped, not moved: each keeps its room from line to line.
          lastTwo[0].swap(lastTwo[1]);
          lastTwo[1].assign(text, length);
          // Every line but the last keeps the CR of its CR LF, as readers read it.
          CardRecord now;
          if (!parseCardLine(text, length, !ended, &now)) {
            notRecords.push_back({number, std::string(text, length)});
            return;
          }
          int64_t nowAt = calendarTime(&s->hours, now.time);
          // The first two records are the card's issue, the second the
          // balance it was issued with (or, for a replacement card, moved to
          // it); every one after is a tap or a change the office made. The
          // office changes a balance by repeating the latest record, or the
          // last two where the older one tells how a trip began.
          bool both = false, office = false, firstOfTwo = false;
          if (records >= 2) {
            both = second && now.balance == before.balance && repeatsButBalance(repeated, now);
            second = false;
            office = !both && repeatsButBalance(before, now);
            if (!both && !office && repeatsButBalance(older, now)) {
              office = second = firstOfTwo = true;
              repeated = before;
            }
          }
          // The office's first of two repeats a record older than the one
          // before it: its time judges no clock.
          if (!firstOfTwo) checkClock(s, card, number, now, text, length, lastTwo[0], &last);
          if (records >= 2) {
            if (!both) {
              int64_t dated =
                  auditRecord(s, card, cardFile, number, freeEntry(older, before), office, older,
                              before, now, {olderAt, beforeAt, nowAt, 0}, text, length, &retired);
              holdFrom(s, dated, now.balance);
            }
          } else if (records == 1) {
            // A replacement card holds its balance from when it was moved to
            // it: its records are its old card's, with their old times.
            auto replaced = s->replacedBy.find(cardNumber);
            if (replaced != s->replacedBy.end()) {
              TopUpEntry& move = s->topUps[replaced->second];
              move.newBalance = now.balance;
              if (counted(s, move.topUp.time)) {
                s->movedOn[dayOf(move.topUp.time)][static_cast<int>(Movement::kMovedIn)] +=
                    now.balance;
              }
              holdFrom(s, move.topUp.time, now.balance);
            } else {
              s->issuedOn[dayOf(now.time)] += now.balance;
              holdFrom(s, now.time, now.balance);
            }
          }
          older = before;
          before = now;
          olderAt = beforeAt;
          beforeAt = nowAt;
          records++;
        });
  }
  match(s);
  if (s->carrying && fd >= 0 && error.empty()) {
    // What the next run needs to go on from here.
    CardCarry& out = s->cardsOut[card];
    out.name = s->cards[card];
    out.mark = markOf(fd, end);
    char lastByte = '\n';
    out.continuable = end > 0 && out.mark.size == end && pread(fd, &lastByte, 1, end - 1) == 1 &&
                      lastByte != '\n';
    out.lines = lines;
    out.records = records;
    out.lastTwo[0] = lastTwo[0];
    out.lastTwo[1] = lastTwo[1];
    out.older = older;
    out.before = before;
    out.repeated = repeated;
    out.olderAt = olderAt;
    out.beforeAt = beforeAt;
    out.second = second;
    out.dated = last.record;
    out.datedLine = last.line;
    out.datedTold = last.told;
    out.retiredLine = retired.line;
    out.retiredHow = retired.how;
    out.notRecords.clear();
    for (const auto& entry : notRecords) {
      if (entry.first >= lines - 1) out.notRecords.push_back(entry);
    }
    keepHeld(s, &out);
  }
  if (fd >= 0) close(fd);
  heldByCard(s);
  if (!error.empty()) {
    s->fullNext = true;
    addAnomaly(s, AnomalyKind::kUnreadableFile, path, 0, "cannot read this card: " + error);
    return;
  }
  // The readers read only the tail: judge it as they do, and tell any
  // other line that is not a record.
  std::string tail = (lines > 2 ? "\n" : "") + lastTwo[0] + "\n" + lastTwo[1];
  CardRecord tailRecords[2];
  bool readable = lines >= 2 && parseCardTail(tail.data(), tail.size(), lines == 2, tailRecords);
  if (!readable) {
    addAnomaly(s, AnomalyKind::kUnreadableCard, path, lines,
               "the readers refuse this card: " + whereCardBreaks(lastTwo[0], lastTwo[1], lines) +
                   "; the logs in " + kLogDirectory + "/ tell its taps");
  }
  for (const auto& [number, text] : notRecords) {
    // A line told on an earlier run stays told: it is carried no longer.
    if (number < lines - 1 && (from == nullptr || number >= from->lines - 1)) {
      addAnomaly(s, AnomalyKind::kNotARecord, path, number,
                 quotedLine(text) + ": a line before the last two that is not a card record");
    }
  }
  if (s->sinks->card) {
    std::string number = shownName(s->numbers[card]);
    s->sinks->card(
        {&s->cards[card], &number, lines, readable, readable ? tailRecords[1].balance : 0});
  }
}

}  // namespace

void noLogLine(AuditState* s, const Probe& p) {
  std::string reader = readerOfId(p.record.tapId), where;
  if (p.log >= 0) {
    where = "no line of " + s->table.logs[p.log] + " tells this tap";
  } else {
    where = "no log of reader " + reader + " was read";
    for (const ReaderConfig& config : kNetworkReaders) {
      if (reader != config.readerId) continue;
      // Looked for once per log: there but not read (its own anomaly tells
      // why), or not there at all.
      const std::string log = logPathOf(config);
      auto known = s->logThere.find(log);
      if (known == s->logThere.end()) {
        struct stat info {};
        bool there = fstatat(s->dir, log.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
        known = s->logThere.emplace(log, there).first;
      }
      where += ": " + log + (known->second ? " could not be read" : " is not there");
    }
  }
  addAnomaly(s, AnomalyKind::kRecordWithoutLogLine, s->cards[p.card], p.line,
             quotedRecord(p) + ": " + where, p.record.time);
  Probe settled = p;
  settleFare(s, &settled, nullptr);
  if (counted(s, p.record.time)) {
    for (ReaderTotals* totals : {&s->report->readers[reader], &s->report->network}) {
      totals->withoutLogLine.taps++;
      totals->withoutLogLine.revenue += p.fare;
    }
  }
  handOn(s, settled, nullptr);
}

void handOn(AuditState* s, const Probe& p, const LogEntry* line) {
  if (!s->sinks->record || !counted(s, p.record.time)) return;
  std::string number = shownName(s->numbers[p.card]);
  s->sinks->record({&s->cards[p.card], &number, p.line, &p.record, p.fare, p.kind, p.verdict,
                    line ? &s->table.logs[line->log] : nullptr, line ? line->line : 0});
}

void heldByCard(AuditState* s) {
  int64_t before = s->heldBase;  // what the card held the day before each
  for (const auto& [day, balance] : s->balanceFrom) {
    s->heldChanges[day] += balance - before;
    before = balance;
  }
  s->balanceFrom.clear();
  s->heldBase = 0;
}

void readCardsListed(AuditState* s, const std::vector<std::string>& names, size_t from, size_t to) {
  for (size_t place = from; place < to; place++) {
    const std::string& name = names[place];
    std::string path = std::string(kCardDirectory) + "/" + name;
    size_t read = s->cardsRead.fetch_add(1, std::memory_order_relaxed) + 1;
    if (s->progress && read % 1000 == 0) {
      fprintf(stderr, "\raudit: %zu of %zu cards read", read, names.size());
    }
    if (isJournalName(name)) {
      addAnomaly(s, AnomalyKind::kNoteLeft, path, 0,
                 "a note readers of an earlier version left beside a card: no reader reads it "
                 "now; remove it");
      continue;
    }
    if (isSetAsideName(name)) {
      addAnomaly(s, AnomalyKind::kNoteLeft, path, 0,
                 "moved aside by a reader: look at it, then remove it");
      continue;
    }
    if (endsWith(name, kReplacingSuffix)) {
      addAnomaly(s, AnomalyKind::kNoteLeft, path, 0,
                 "a replacement's new card not yet named, which no reader reads: if a REPLACE "
                 "line gives it money (replacement_differs), the office's next command names "
                 "it; else its replacement was cut short before it was recorded: remove it");
      continue;
    }
    auto card = static_cast<uint32_t>(place);
    std::string retired = retiredNumberOf(path);
    if (!retired.empty()) {
      readCard(s, card, path, retired);
      continue;
    }
    if (!isCardPath(path)) continue;
    readCard(s, card, path, cardNumberOf(path));
  }
}
