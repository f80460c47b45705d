// What the audit's passes share: one state, read and written by each pass
// in turn (read the logs, read the cards and match their records, settle
// the records no line told exactly, report the lines left over), and the
// helpers more than one pass uses. Only the audit includes it.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "office/audit.h"
#include "office/fare_replay.h"
#include "office/line_reader.h"
#include "office/local_hours.h"
#include "office/log_index.h"
#include "readers/network.h"

// One accepted record, until it is known which line tells it.
struct Probe {
  CardRecord record;
  int64_t line;         // its line in its card
  int64_t fare;         // what its balance fell by
  uint32_t card;        // AuditState::cards index
  TapKind kind;         // as its reader's rules tell it, where they can; else by its fare
  bool kindKnown;       // whether `kind` is the rules'
  bool enteredFree;     // an exit from a trip whose entry was free
  bool bus;             // its reader runs the bus's rule set
  FareVerdict verdict;  // against its reader's rules, once known
  // While the verdict waits for the line: the period the record needs, the
  // packed time of the card's open entry it needs it of, the record's tap
  // number, and what the rules give in the other period.
  PeriodNeed need;
  int64_t entry;
  int32_t tapNumber;
  RulesAnswer other;
  int log;  // the log of its reader, or -1 when that log was not read
  // The id its line should carry, and its other one.
  char loggedId[kRecordTapIdWidth], otherId[kRecordTapIdWidth];
  uint64_t key;                    // keyOf the line that tells it exactly, when `log` is one
  char text[kShownLineBytes + 1];  // its line, as far as a detail shows it
  uint8_t textLength;
};

// One line of the top-up log, and the card record that tells it.
struct TopUpEntry {
  TopUpLine topUp;
  std::string text;  // the line as read, without its CR LF
  int64_t line;      // its line in the top-up log
  uint32_t card;     // the card of the record that tells it (AuditState::cards index)
  int64_t cardLine;  // that record's line; 0 while no record tells it
  // A replacement's new card, as read: its balance when made, or -1 while
  // no card of that number was read.
  int64_t newBalance = -1;
};

// The totals of one day at a reader, kept for the day last asked for: the
// taps of a card, and the lines of a log, come mostly day by day, so that
// most taps find their day without a look in the map of days.
struct DayCursor {
  Day day = -1;                 // no day yet: no packed time is dated -1
  DayTotals* totals = nullptr;  // the entry of `day` in its reader's map, which never moves
};

// A card as the card pass left it, for an audit with a checkpoint to go on
// from its end: what the pass keeps while it reads the card's lines.
struct CardCarry {
  std::string name;          // as shown: Card/<number>.txt, or .retired
  FileMark mark;             // the card as read
  bool continuable = false;  // it ends in a record with no line feed, as the readers leave it
  int64_t lines = 0;         // lines read
  int64_t records = 0;       // records read
  std::string lastTwo[2];    // its last two lines
  CardRecord older{}, before{},
      repeated{};                     // its last two records; what the office's second repeats
  int64_t olderAt = 0, beforeAt = 0;  // the calendar times of `older` and `before`
  bool second = false;      // the office's first of two records was its last: the second is due
  CardRecord dated{};       // the record whose clock the next record judges
  int64_t datedLine = 0;    // its line; 0 for none
  bool datedTold = false;   // it was told as dated ahead of the audit
  int64_t retiredLine = 0;  // where the office retired it; 0 while in use
  std::string retiredHow;   // "closed" or "replaced by card N"
  std::vector<std::pair<int64_t, std::string>> notRecords;  // of its last two lines: line, text
  int32_t heldBase = 0;                       // what it held before the days of `held`
  std::vector<std::pair<Day, int32_t>> held;  // its last two days of balance (see holdFrom)
};

// A log as the audit left it, for an audit with a checkpoint.
struct LogCarry {
  std::string name;          // as shown: Reader_txt/<name>
  FileMark mark;             // the log as read
  bool continuable = false;  // it ends in a whole line
  int64_t lines = 0;         // lines read
  // Its log lines are counted by place, from 0, as a tap's number counts
  // back to its period's first (see audit_fares.cpp). The next audit
  // needs of them each no record took yet, and its last operating
  // period's first and the one before it, each with its place.
  int64_t places = 0;    // log lines read
  int64_t tailFrom = 0;  // its last lines, from this place on, are all carried
  std::vector<LogEntry> entries;
  std::vector<int64_t> placesOf;  // the place of each of `entries`
  int64_t periodStart = -1;       // the place of its last period's first line; -1 for none
  bool periodHolds = false;       // its own taps number by place from there to its end
};

// How many of a log's last lines are carried whole, so that a tap of a
// period begun shortly before the last audit ended finds its first line.
constexpr int64_t kCarriedTail = 4096;

// Where a log's lines are in the table, when some of them were carried
// from the last audit: [carried...][read now...], each by its place.
struct LogSpan {
  uint32_t readFrom = 0;          // the table index of its first line read now
  int64_t carriedPlaces = 0;      // the places its lines carried cover: 0 when none
  int64_t tailFrom = 0;           // the carried lines from this place on are all there
  std::vector<int64_t> placesOf;  // the place of each line carried, in table order
  int64_t periodStart = -1;       // as LogCarry's
  bool periodHolds = false;
};

// What an audit with a checkpoint carries from one run to the next: the
// report as the card pass leaves it (before the records and lines left
// over are settled and told), and what each pass needs to go on.
struct Carried {
  AuditReport report;
  std::map<Day, int64_t> heldChanges, issuedOn;
  std::map<Day, std::array<int64_t, kMovements>> movedOn;
  std::vector<std::pair<std::string, Probe>> unmatched;   // by its card's name, and its log's
  std::vector<std::string> unmatchedLogs;                 // the log of each, as shown; "" for none
  std::map<std::string, CardCarry> cards;                 // by name
  std::unordered_map<uint64_t, std::string> cardOfInode;  // the name of each card, by its inode
  std::map<std::string, LogCarry> logs;                   // by name, the top-up log's entries empty
  std::vector<TopUpEntry> topUps;                         // every line of the top-up log
  bool fullNext = false;  // something read cannot be gone on from: the next run audits in full
};

// What every thread that reads cards shares, one of each for the audit:
// the lines read, the cards by index, and whether two threads' records
// met on a line.
struct AuditShared {
  LogTable table;                  // every log line read
  std::vector<TopUpEntry> topUps;  // every line of the top-up log, in order
  std::unordered_map<std::string, std::vector<uint32_t>> topUpsOfCard;  // topUps by card number
  std::unordered_map<std::string, uint32_t> replacedBy;  // a replacement's line, by its new card
  std::vector<std::string> cards;    // every card, as shown, by its place in Card/'s listing
  std::vector<std::string> numbers;  // the number of each card, as read, by the same place
  // A record of the earlier cards found its line, or one saying the same,
  // taken by a record of the later cards: their thread took it out of turn.
  std::atomic<bool> outOfTurn{false};
  std::atomic<size_t> cardsRead{0};  // files of Card/ looked at, by every thread
  const Carried* carried = nullptr;  // what the last audit left, with a checkpoint; else none
  std::vector<CardCarry> cardsOut;   // each card as read, by its place, with a checkpoint
};

// Everything the passes share: where the network is, what goes out, and
// what has been read so far. The shared part is held by reference, so that
// a copy reads the same lines and cards with counts of its own.
struct AuditState {
  LogTable& table;
  std::vector<TopUpEntry>& topUps;
  std::unordered_map<std::string, std::vector<uint32_t>>& topUpsOfCard;
  std::unordered_map<std::string, uint32_t>& replacedBy;
  std::vector<std::string>& cards;
  std::vector<std::string>& numbers;
  std::atomic<bool>& outOfTurn;
  std::atomic<size_t>& cardsRead;
  const Carried* const& carried;
  std::vector<CardCarry>& cardsOut;
  int dir = -1;               // the network directory; every path is relative to it
  std::string unlisted = {};  // why Card/ or Reader_txt/ could not be listed; empty when both were
  std::map<std::string, bool> logThere = {};  // whether a log that was not read is there at all
  const AuditSinks* sinks = nullptr;          // what is handed on as it is read
  AuditReport* report = nullptr;              // what is found, filled pass by pass
  bool progress = false;                      // whether progress is shown on stderr
  bool later = false;   // reads the later cards, beside a thread reading the earlier ones
  int64_t now = 0;      // the calendar time the audit runs at
  AuditDays days = {};  // the days the totals count
  int64_t latest = 0;   // packed local time of now and the tolerance: no record is dated later
  std::vector<char> buffer = {};  // the buffer every file is read through
  std::vector<std::pair<uint32_t, uint32_t>> linesOfLog = {};  // each log's entries, [from, to)
  std::vector<LogSpan> spans = {};                             // each log's lines by place, by log
  LocalHours hours = {};                                       // the records' times, converted
  std::map<std::string, uint16_t> logOfReader = {};            // each network reader's log read
  std::array<int, kNetworkReaderCount> logOfNetworkReader = {};  // the same by kNetworkReaders
  std::vector<ReaderTotals*> totalsOfLog = {};  // the totals of each log's reader, by log
  std::vector<DayCursor> dayOfLog = {};         // the day each log counted last, by log
  DayCursor networkDay = {};                    // the day the network counted last
  std::vector<Probe> probes = {};               // records waiting to be looked up together
  std::vector<Probe> unmatched = {};  // no line told exactly: settled once every card is read
  // The card being read: the balance it holds from each day on, the last
  // record (in the card's order) dated on or before that day telling it;
  // days rising. Emptied, not freed, after each card.
  std::vector<std::pair<Day, int32_t>> balanceFrom = {};
  std::map<Day, int64_t> heldChanges = {};  // how the money all cards hold changes on each day
  std::map<Day, int64_t> issuedOn = {};     // the balances cards were issued with, by day
  // The office's other movements (refunds, payouts, moves), by day and
  // movement, as kMovementKinds orders them.
  std::map<Day, std::array<int64_t, kMovements>> movedOn = {};
  int32_t heldBase = 0;  // what the card being read held before the first day of balanceFrom
  // With a checkpoint: the files changed otherwise than by appending, with
  // what changed; cards read on from their last audit (and renamed since,
  // old name to new); and whether the next run must audit in full.
  std::vector<std::pair<std::string, std::string>> changed = {};
  std::vector<std::string> reread = {};
  std::map<std::string, std::string> renamed = {};
  bool fullNext = false;
  bool carrying = false;               // with a checkpoint: what the next run needs is kept
  std::vector<LogCarry> logsOut = {};  // each log as read, by its index
  LogCarry topUpOut = {};              // the top-up log as read
};

// A state for the audit whose shared part is `shared`.
inline AuditState auditState(AuditShared* shared) {
  return AuditState{shared->table,   shared->topUps,  shared->topUpsOfCard, shared->replacedBy,
                    shared->cards,   shared->numbers, shared->outOfTurn,    shared->cardsRead,
                    shared->carried, shared->cardsOut};
}

// Reads every log of Reader_txt/ into the table, and the top-up log into
// the top-ups, and tells every note left there and every line that is not
// a log line.
void readLogs(AuditState* s);

// Reads every card of Card/, checks each, and looks up the line of each of
// its accepted records; tells every note left beside the cards. A large
// Card/ is read on two threads, with the result of one (see
// audit_threads.cpp).
void readCards(AuditState* s);

// Reads the files of Card/ at places `from` to `to` of its listing `names`,
// as readCards reads each; a card's place is its index in `cards`.
void readCardsListed(AuditState* s, const std::vector<std::string>& names, size_t from, size_t to);

// Pairs each record no line told exactly with a line left over that tells
// it but for the fare, or carries its other id; what is left after that has
// no log line.
void settleUnmatched(AuditState* s);

// Tells every line no record took, and hands on every line read.
void reportLeftOverLines(AuditState* s);

// Tells every top-up line no record told, and hands on every top-up.
void reportLeftOverTopUps(AuditState* s);

// Sorts the anomalies by file and line, keeping the order they were found
// in otherwise, moving each into place along the cycles of the sorted order
// rather than sorting a copy: there may be millions.
void sortAnomalies(std::deque<Anomaly>* anomalies);

// Adds an anomaly of `file` (named as it can be shown) at `line`, about a
// record or line of packed time `dated`: none is added when that is outside
// the days the audit covers. An anomaly `dated` 0 is about no one record or
// line (a file, a note, a line that is no record): it is always added.
void addAnomaly(AuditState* s, AnomalyKind kind, const std::string& file, int64_t line,
                const std::string& detail, int64_t dated = 0);

// Whether packed time `time` is dated within the days the audit covers.
inline bool counted(const AuditState* s, int64_t time) {
  return covers(s->days, dayOf(time));
}

// The totals of `day` in `totals`, found in its map (made there when new)
// and kept in `cursor`. Out of line: most taps find their day in the
// cursor.
DayTotals* lookUpDay(ReaderTotals* totals, DayCursor* cursor, Day day);

// Adds a tap that took `fare` to `tally`.
inline void addTap(Tally* tally, int64_t fare) {
  tally->taps++;
  tally->revenue += fare;
}

// Counts a tap in `totals` (a reader's or the network's), through its
// `cursor`: in all, in `kindTally` (one of its own), in its `day` and, when
// `hour` is an hour of the day, in that hour as a `ride`.
inline void countIn(ReaderTotals* totals, DayCursor* cursor, Tally* kindTally, Day day, int hour,
                    RideKind ride, int64_t fare) {
  DayTotals* inDay = cursor->day == day ? cursor->totals : lookUpDay(totals, cursor, day);
  addTap(&totals->all, fare);
  addTap(kindTally, fare);
  addTap(&inDay->all, fare);
  if (hour >= 0 && hour < 24) {
    addTap(&inDay->hours[hour].tally, fare);
    inDay->hours[hour].rides[static_cast<int>(ride)]++;
  }
}

// Counts a tap of `kind` that log `log` tells, as its record tells it, or
// as the line alone tells it when `withRecord` is false, by the day and hour
// of its packed `time`, when that is a day the audit covers. Inline, and
// through the cursors: it counts every line.
inline void countLogged(AuditState* s, uint16_t log, TapKind kind, bool withRecord, int64_t fare,
                        int64_t time) {
  Day day = dayOf(time);
  if (!covers(s->days, day)) return;
  int hour = static_cast<int>(time / 10000 - int64_t{day} * 100);
  RideKind ride = rideKindOf(kind);
  int k = static_cast<int>(kind);
  ReaderTotals* reader = s->totalsOfLog[log];
  ReaderTotals* network = &s->report->network;
  countIn(reader, &s->dayOfLog[log], withRecord ? &reader->byKind[k] : &reader->withoutRecord, day,
          hour, ride, fare);
  countIn(network, &s->networkDay, withRecord ? &network->byKind[k] : &network->withoutRecord, day,
          hour, ride, fare);
}

// The card being read holds `balance` from the day of packed time `time`
// on, whatever its records dated on later days said before.
inline void holdFrom(AuditState* s, int64_t time, int32_t balance) {
  Day day = dayOf(time);
  while (!s->balanceFrom.empty() && s->balanceFrom.back().first >= day) s->balanceFrom.pop_back();
  s->balanceFrom.push_back({day, balance});
}

// Adds what the card read last holds, day by day, to the money all cards
// hold, and readies the state for the next card.
void heldByCard(AuditState* s);

// With a checkpoint: what the audit carries to the next run, taken after
// the card pass (the report as it stands then, before the last passes).
Carried carryOn(AuditState* s);

// Fills the report's money held at the end of each day it covers, once
// every card and log has been read.
void tallyHeld(AuditState* s);

// Settles how probe `p` stands against its reader's rules where that
// waited for the line that tells it, `line` (nullptr when none does): the
// period its reader's log shows around that line decides, or, with no
// line, the time of the tap alone. Counts the verdict and tells a
// fare_mismatch; a probe that waited for nothing is left as it is.
void settleFare(AuditState* s, Probe* p, const LogEntry* line);

// The place of the line at table index `at` of log `log`: its count of
// log lines before it in its log.
int64_t placeOf(const AuditState* s, uint16_t log, size_t at);

// The line of log `log` at place `place`, or nullptr when it was neither
// read nor carried.
const LogEntry* lineAtPlace(const AuditState* s, uint16_t log, int64_t place);

// Tells a record no line tells, counting it apart, and hands it on.
void noLogLine(AuditState* s, const Probe& p);

// Hands on a record with the line that tells it, if any.
void handOn(AuditState* s, const Probe& p, const LogEntry* line);

// The reader a tap id names, as it can be shown.
std::string readerOfId(const char* id);

// The record of a probe, quoted as a detail shows it.
std::string quotedRecord(const Probe& p);

// A log line, quoted as a detail shows it: as its fields read back.
std::string quotedLogLine(const LogEntry& e);
