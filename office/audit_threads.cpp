// The card pass on two threads. Card/'s listing is cut about half way,
// where one card's files end; the later part is read on a thread of its
// own, with counts of its own, added to the audit's once both are done.
// The cards share the log lines: a record of the earlier cards that passes
// a line the later cards took, one saying what it says, could have taken
// another line than in order, and then the pass is read again on one
// thread. So every record takes the line it takes read in order, and the
// report is the same on one thread or two.
#include <system_error>
#include <thread>

#include "office/audit_state.h"
#include "office/line_reader.h"

namespace {

// A Card/ of fewer files is read on one thread.
constexpr size_t kCardsForTwoThreads = 1000;

// The card number a file of Card/ is of: its name up to the first dot.
std::string numberPart(const std::string& name) {
  return name.substr(0, name.find('.'));
}

// Where `names` is cut: about half way, between two card numbers' files;
// 0 for one thread.
size_t cutOf(const std::vector<std::string>& names) {
  if (names.size() < kCardsForTwoThreads) return 0;
  size_t cut = names.size() / 2;
  while (cut < names.size() && numberPart(names[cut]) == numberPart(names[cut - 1])) cut++;
  return cut < names.size() ? cut : 0;
}

void addTally(Tally* into, const Tally& from) {
  into->taps += from.taps;
  into->revenue += from.revenue;
}

void addTotals(ReaderTotals* into, const ReaderTotals& from) {
  addTally(&into->all, from.all);
  for (int k = 0; k < kTapKinds; k++) addTally(&into->byKind[k], from.byKind[k]);
  addTally(&into->withoutRecord, from.withoutRecord);
  addTally(&into->withoutLogLine, from.withoutLogLine);
  for (const auto& [day, totals] : from.days) {
    DayTotals& d = into->days[day];
    addTally(&d.all, totals.all);
    for (int hour = 0; hour < 24; hour++) {
      addTally(&d.hours[hour].tally, totals.hours[hour].tally);
      for (int r = 0; r < kRideKinds; r++) d.hours[hour].rides[r] += totals.hours[hour].rides[r];
    }
  }
}

// A state for the later cards: the audit's own, with counts of its own in
// `report`, which lists the audit's readers.
AuditState laterState(const AuditState& s, AuditReport* report) {
  report->asked = s.report->asked;
  for (const auto& entry : s.report->readers) report->readers[entry.first];
  AuditState later = s;
  later.report = report;
  later.progress = false;
  later.later = true;
  for (size_t log = 0; log < later.totalsOfLog.size(); log++) {
    later.totalsOfLog[log] = &report->readers[s.table.readers[log]];
  }
  later.dayOfLog.assign(s.dayOfLog.size(), DayCursor{});
  later.networkDay = DayCursor{};
  later.heldChanges.clear();
  later.issuedOn.clear();
  later.movedOn.clear();
  later.changed.clear();
  later.reread.clear();
  later.renamed.clear();
  later.fullNext = false;
  later.logsOut.clear();
  return later;
}

// Adds what the later cards' thread found to the audit's own, after it.
void addLater(AuditState* s, AuditState* later) {
  AuditReport* r = s->report;
  AuditReport* l = later->report;
  r->cards += l->cards;
  r->records += l->records;
  r->matched += l->matched;
  for (Anomaly& a : l->anomalies) r->anomalies.push_back(std::move(a));
  for (const auto& [name, totals] : l->readers) addTotals(&r->readers[name], totals);
  addTotals(&r->network, l->network);
  for (int v = 0; v < kFareVerdicts; v++) r->fares.byVerdict[v] += l->fares.byVerdict[v];
  for (const Probe& p : later->unmatched) s->unmatched.push_back(p);
  for (const auto& [day, change] : later->heldChanges) s->heldChanges[day] += change;
  for (const auto& [day, amount] : later->issuedOn) s->issuedOn[day] += amount;
  for (const auto& [day, amounts] : later->movedOn) {
    for (int m = 0; m < kMovements; m++) s->movedOn[day][m] += amounts[m];
  }
  for (auto& change : later->changed) s->changed.push_back(std::move(change));
  for (auto& name : later->reread) s->reread.push_back(std::move(name));
  for (const auto& [old, now] : later->renamed) s->renamed[old] = now;
  s->fullNext = s->fullNext || later->fullNext;
}

// What the card pass changes of the audit's state, as it was before it.
struct BeforeCards {
  AuditReport report;
  std::map<Day, std::array<int64_t, kMovements>> movedOn;
  std::map<Day, int64_t> heldChanges, issuedOn;  // as carried from the last audit, if it was
  std::vector<TopUpEntry> topUps;                // the same
  std::vector<uint8_t> flags;                    // of every line, in the table's order
  size_t changed;                                // files found changed before the pass
  bool fullNext;
};

// The audit's state as it stands before the card pass.
BeforeCards beforeCards(const AuditState& s) {
  BeforeCards before{*s.report, s.movedOn, s.heldChanges,    s.issuedOn,
                     s.topUps,  {},        s.changed.size(), s.fullNext};
  before.flags.reserve(s.table.entries.size());
  for (const LogEntry& e : s.table.entries) before.flags.push_back(e.flags);
  return before;
}

// Puts the audit's state back as it was before the card pass.
void putBack(AuditState* s, const BeforeCards& before) {
  *s->report = before.report;
  s->movedOn = before.movedOn;
  s->issuedOn = before.issuedOn;
  s->heldChanges = before.heldChanges;
  s->unmatched.clear();
  s->topUps = before.topUps;
  for (size_t i = 0; i < s->table.entries.size(); i++) s->table.entries[i].flags = before.flags[i];
  s->changed.resize(before.changed);
  s->reread.clear();
  s->renamed.clear();
  s->fullNext = before.fullNext;
  for (size_t log = 0; log < s->totalsOfLog.size(); log++) {
    s->totalsOfLog[log] = &s->report->readers[s->table.readers[log]];
  }
  s->dayOfLog.assign(s->dayOfLog.size(), DayCursor{});
  s->networkDay = DayCursor{};
  s->outOfTurn.store(false);
  s->cardsRead.store(0);
}

}  // namespace

void readCards(AuditState* s) {
  std::vector<std::string> names = namesIn(s->dir, kCardDirectory, &s->unlisted);
  s->cards.assign(names.size(), std::string());
  s->numbers.assign(names.size(), std::string());
  if (s->carrying) s->cardsOut.assign(names.size(), CardCarry{});
  // What is handed on goes out in the order it is read: one thread.
  bool handsOn = s->sinks->card || s->sinks->record;
  size_t cut = handsOn ? 0 : cutOf(names);
  if (cut == 0) {
    readCardsListed(s, names, 0, names.size());
    return;
  }
  BeforeCards before = beforeCards(*s);
  AuditReport laterReport;
  AuditState later = laterState(*s, &laterReport);
  std::thread thread;
  try {
    thread = std::thread(readCardsListed, &later, std::cref(names), cut, names.size());
  } catch (const std::system_error&) {
    // No second thread: the whole listing on this one.
    readCardsListed(s, names, 0, names.size());
    return;
  }
  readCardsListed(s, names, 0, cut);
  thread.join();
  if (s->outOfTurn.load()) {
    putBack(s, before);
    readCardsListed(s, names, 0, names.size());
    return;
  }
  addLater(s, &later);
}
