// The back office's audit: every card of a network directory against every
// log in it, each tap's record against its reader's line and each top-up's
// record against the office's top-up line; what does not match is an
// anomaly, and taps, revenue and top-ups are totalled. See docs/audit.md.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/card_file.h"
#include "core/records.h"
#include "office/escape.h"
#include "office/tap_kind.h"

// What an anomaly is, as a script names it.
enum class AnomalyKind {
  kRecordWithoutLogLine,  // a card record no log line tells
  kLogLineWithoutRecord,  // a log line no card record tells
  kBalanceRises,          // a record's balance above the one before it
  kFareDiffers,           // a record whose balance fell by other than its log line's fare
  kLogIdDiffers,          // a record whose log line carries the other of its two ids
  kUnreadableCard,        // a card the readers refuse
  kUnreadableFile,        // a card or log the audit cannot read
  kNotARecord,            // a line before a card's last two that is not a record
  kNoteLeft,              // a tap in flight, a hint or a note moved aside
  kNotALogLine,           // a line of a log that no reader writes so
  kClockAhead,            // a record dated ahead of the record after it, or of the audit
  kTopUpWithoutRecord,    // a line of the top-up log no card record tells
  kRecordAfterRetired,    // a record on a card after the office closed or replaced it
  kReplacementDiffers,    // a replacement whose new card is missing or holds another balance
  kFareMismatch,          // a tap its reader's rules decide otherwise than its record
  kHistoryChanged,  // a file changed, since the audit of a checkpoint, otherwise than by growing
};

// Every kind, in the enum's order (reports list them so): its name, as the
// JSON, CSV and SQLite outputs give it, and what an operator does about it.
struct AnomalyKindInfo {
  AnomalyKind kind;
  const char* name;
  const char* advice;
};
inline constexpr AnomalyKindInfo kAnomalyKinds[] = {
    {AnomalyKind::kRecordWithoutLogLine, "record_without_log_line",
     "a tap on the card that its reader's log lacks: look for a lost or edited log"},
    {AnomalyKind::kLogLineWithoutRecord, "log_line_without_record",
     "a logged tap no card holds: look for a lost, replaced or edited card"},
    {AnomalyKind::kBalanceRises, "balance_rises",
     "money appeared on a card that no top-up tells: the card was edited, or a top-up's "
     "line is lost"},
    {AnomalyKind::kFareDiffers, "fare_differs",
     "the card and the log disagree on a fare: one of them was edited"},
    {AnomalyKind::kLogIdDiffers, "log_id_differs",
     "the log ties a tap to the wrong trip: the log or the card was edited"},
    {AnomalyKind::kUnreadableCard, "unreadable_card",
     "every reader refuses this card: repair its last lines from the logs"},
    {AnomalyKind::kUnreadableFile, "unreadable_file",
     "the audit could not read this file: fix its type or permissions, and audit again"},
    {AnomalyKind::kNotARecord, "not_a_record",
     "an old line that is not a record: readers never read it, but something wrote it"},
    {AnomalyKind::kNoteLeft, "note_left",
     "a tap was interrupted or a note set aside: start any reader, or look at the file"},
    {AnomalyKind::kNotALogLine, "not_a_log_line", "a line no reader writes: a torn or edited log"},
    {AnomalyKind::kClockAhead, "clock_ahead",
     "a record dated ahead of its time: check the clock of the host of the reader that "
     "recorded it; every host keeps time with NTP"},
    {AnomalyKind::kTopUpWithoutRecord, "topup_without_record",
     "money the office loaded that no card holds: look for a lost, replaced or edited "
     "card"},
    {AnomalyKind::kRecordAfterRetired, "record_after_retired",
     "a card the office closed or replaced was written again: find the reader or the hand "
     "that wrote it, and the money it took"},
    {AnomalyKind::kReplacementDiffers, "replacement_differs",
     "a replaced card's balance did not reach its new card whole: look at both cards and "
     "the office log"},
    {AnomalyKind::kFareMismatch, "fare_mismatch",
     "the reader's rules give this tap another fare or none: check the fare tables and the "
     "build of the reader that recorded it, and what it took from the card"},
    {AnomalyKind::kHistoryChanged, "history_changed",
     "a card or log changed, since the audit of the checkpoint, otherwise than by growing: "
     "find who edited, cut or replaced it; the audit read it again in full"},
};

// The row of `kind` in kAnomalyKinds.
constexpr const AnomalyKindInfo& anomalyKindInfo(AnomalyKind kind) {
  return kAnomalyKinds[static_cast<int>(kind)];
}

constexpr bool anomalyKindsInOrder() {
  for (size_t i = 0; i < sizeof kAnomalyKinds / sizeof kAnomalyKinds[0]; i++) {
    if (static_cast<size_t>(kAnomalyKinds[i].kind) != i) return false;
  }
  return true;
}
static_assert(anomalyKindsInOrder(), "kAnomalyKinds lists every kind once, in the enum's order");

// The name of a kind, as the JSON, CSV and SQLite outputs give it.
inline const char* anomalyName(AnomalyKind kind) {
  return anomalyKindInfo(kind).name;
}

struct Anomaly {
  AnomalyKind kind;
  std::string file;    // relative to the network directory
  int64_t line;        // 1 for the first line; 0 for a file as a whole
  std::string detail;  // what is wrong, in words
};

// A day, as the audit keys its tables: the date of a packed time,
// YYYYMMDD (the packed time divided by 1,000,000), as its digits stand.
using Day = int32_t;

// The day of packed time `time`.
constexpr Day dayOf(int64_t time) {
  return static_cast<Day>(time / 1000000);
}

// A day as people write it, "2026-03-06"; its digits as they stand.
std::string dayText(Day day);

// Reads a day written "YYYY-MM-DD", a real date of the years 1 to 9999,
// into `day`. Returns false for anything else, leaving `day` untouched.
[[nodiscard]] bool parseDay(const std::string& text, Day* day);

// The days an audit is asked to cover, both included; 0 leaves that end
// open. A record, line or top-up dated outside them is matched as any
// other but counted in no total.
struct AuditDays {
  Day from = 0;
  Day to = 0;
};

// Whether `days` include `day`.
inline bool covers(const AuditDays& days, Day day) {
  return (days.from == 0 || day >= days.from) && (days.to == 0 || day <= days.to);
}

// Taps and the money they took.
struct Tally {
  int64_t taps = 0;
  int64_t revenue = 0;
};

// One hour of one day at a reader (or of the network): the taps and what
// they took, and the taps by kind of ride (they add up to `tally.taps`).
struct HourTotals {
  Tally tally;
  int64_t rides[kRideKinds] = {};
};

// One day at a reader: every tap, and by hour. A tap whose time names no
// hour of the day (a log line dated 25:00) is in `all` alone.
struct DayTotals {
  Tally all;
  HourTotals hours[24];
};

// A reader's taps, as its log tells them: each log line with its card
// record, by the kind the record tells, and the log lines no record tells.
// `all` is every line of the log, and so is every day added up. Card
// records no log line tells took money no reader logged: they are kept
// apart, in no other tally.
struct ReaderTotals {
  Tally all;
  Tally byKind[kTapKinds];
  Tally withoutRecord;            // log lines no card record tells
  std::map<Day, DayTotals> days;  // by the day and hour the tap was made
  Tally withoutLogLine;           // card records no log line tells
};

// Top-ups and the money they loaded.
struct Loaded {
  int64_t count = 0;
  int64_t amount = 0;
};

// One day of top-ups: all of them, and by hour.
struct DayLoaded {
  Loaded all;
  Loaded hours[24];
};

// The office's changes, as its log tells them, apart from fare revenue:
// `all` is every top-up line of the log, and so is every day added up;
// refunds, closes and replacements are counted apart, each by day and hour
// as the top-ups are.
struct TopUpTotals {
  Loaded all;
  Loaded withoutRecord;           // lines of any kind that no card record tells
  std::map<Day, DayLoaded> days;  // top-ups by the day and hour of the line's time
  Loaded refunds;                 // money paid back off cards
  Loaded closes;                  // cards closed, and the balances paid out
  Loaded replacements;            // cards replaced, and the balances moved to their new cards
  std::map<Day, DayLoaded> refundDays, closeDays, replacementDays;  // the same by day and hour
};

// A reader's last tap: the last line of its log that is a log line,
// whatever the days asked for.
struct LastTap {
  int64_t line = 0;  // its line in the log; 0 when the log holds no tap
  int64_t time = 0;  // its packed time
  int32_t fare = 0;
  bool bus = false;  // its mode: BUS, or else SUBWAY
  bool in = false;   // its direction: IN, or else OUT
  char tapId[kRecordTapIdWidth] = "";
};

// What a reader's journal (<log>.pending) held when the audit read it.
enum class JournalState : uint8_t {
  kNone,        // there is none: the reader has not run here, or it was removed
  kIdle,        // no tap in flight
  kInFlight,    // a tap committed, its appends still to be made whole
  kAbandoned,   // a tap whose recording failed, still to be taken back
  kUnreadable,  // not a journal block
};

// A reader as its own files leave it: its last tap and its journal.
struct ReaderNow {
  LastTap last;
  JournalState journal = JournalState::kNone;
};

// What moves the money the cards hold from one day to the next, each
// counted as a positive amount and added to or taken from the money held
// as its sign says. A new kind of movement is a row here and a place where
// it is counted; the reports list every row.
enum class Movement {
  kIssued,    // the balances cards were issued with (their second record)
  kTopUps,    // the money the office's log loaded
  kRevenue,   // what the logs charged
  kRefunds,   // what the office paid back off cards
  kPaidOut,   // the balances of the cards the office closed
  kMovedOut,  // the balances of the cards the office replaced, by its lines
  kMovedIn,   // the balances their new cards were made with
};
constexpr int kMovements = 7;  // how many kinds of movement there are

struct MovementInfo {
  Movement movement;
  const char* name;     // as the JSON, CSV and SQLite outputs give it
  const char* heading;  // as the text report heads its column
  int sign;             // +1 adds to the money held, -1 takes from it
};
inline constexpr MovementInfo kMovementKinds[] = {
    {Movement::kIssued, "issued", "issued", +1},
    {Movement::kTopUps, "topups", "top-ups", +1},
    {Movement::kRevenue, "revenue", "revenue", -1},
    {Movement::kRefunds, "refunds", "refunds", -1},
    {Movement::kPaidOut, "paid_out", "paid out", -1},
    {Movement::kMovedOut, "moved_out", "moved out", -1},
    {Movement::kMovedIn, "moved_in", "moved in", +1},
};
static_assert(sizeof kMovementKinds / sizeof kMovementKinds[0] == kMovements,
              "kMovementKinds lists every movement");

// The money the cards held at the end of one day, and what moved it since
// the end of the day before. A card holds the balance of its last record
// (in the card's order) dated on or before the day; a card issued later
// holds nothing. A top-up's record is dated by its top-up line.
struct DayMoney {
  int64_t heldBefore = 0;          // at the end of the day before
  int64_t moved[kMovements] = {};  // by movement, in kMovementKinds' order
  int64_t held = 0;                // at the end of the day
};

// What the day's movements leave the money held at: what was held the day
// before, each movement added or taken as its sign says.
int64_t expectedHeld(const DayMoney& day);

// What the cards hold beyond what the day's movements leave (negative:
// less); 0 when the day reconciles.
inline int64_t heldDifference(const DayMoney& day) {
  return day.held - expectedHeld(day);
}

// How a tap's record stands against its reader's rules, decided again.
enum class FareVerdict : uint8_t {
  kAgrees,        // the rules give the record
  kDiffers,       // they give another answer: a fare_mismatch
  kUnverifiable,  // they give it only if the reader's operating period began on one side of the
                  // card's open entry, and its log cannot tell which side
  kUndecided,     // made by no reader of the network: no rule set to ask
};
constexpr int kFareVerdicts = 4;

// The name of a verdict, as the outputs give it ("agrees", ...).
const char* fareVerdictName(FareVerdict verdict);

// The audit's taps by verdict, dated in the days it covers.
struct FareChecks {
  int64_t byVerdict[kFareVerdicts] = {};
};

// What the audit found.
struct AuditReport {
  AuditDays asked;                // the days asked for
  int64_t cards = 0;              // card files read
  int64_t records = 0;            // taps on cards: records after each card's first two, but top-ups
  int64_t logs = 0;               // log files read
  int64_t logLines = 0;           // log lines read
  int64_t matched = 0;            // records matched to their log line
  std::deque<Anomaly> anomalies;  // by file and line
  std::map<std::string, ReaderTotals> readers;  // every reader of the network, and any other
  ReaderTotals network;
  FareChecks fares;                      // the taps decided again by their readers' rules
  TopUpTotals topUps;                    // money loaded, not revenue
  std::map<Day, DayMoney> held;          // each day asked for with a tap, line, top-up or issue
  std::map<std::string, ReaderNow> now;  // every reader of `readers`: its last tap, its journal
};

// The first and last day a report covers: the days asked for, and where
// an end was left open, the first or last day it counted anything on; 0
// for an open end when it counted nothing.
AuditDays coveredDays(const AuditReport& report);

// One card, as the audit read it.
struct AuditedCard {
  const std::string* path;    // Card/<number>.txt
  const std::string* number;  // <number>
  int64_t lines;
  bool readable;    // whether the readers take it
  int32_t balance;  // its balance, when readable
};

// One accepted card record, as the audit judged it, with the log line
// that tells it, if one does (exactly, or with another fare or id).
struct AuditedRecord {
  const std::string* card;    // Card/<number>.txt
  const std::string* number;  // <number>
  int64_t line;
  const CardRecord* record;
  int64_t fare;  // the balance it took from the record before
  TapKind kind;
  FareVerdict verdict;     // how it stands against its reader's rules
  const std::string* log;  // Reader_txt/<log>.txt, or nullptr
  int64_t logLine;         // 0 when no line tells it
};

// One log line, as the audit read it.
struct AuditedLine {
  const std::string* log;  // Reader_txt/<log>.txt
  const std::string* reader;
  int64_t line;
  int64_t time;
  const char* mode;
  const char* inOut;
  int32_t fare;
  const char* tapId;
};

// One line of the top-up log, with the card record that tells it, if one
// does.
struct AuditedTopUp {
  const TopUpLine* topUp;
  int64_t line;             // its line in the top-up log
  const std::string* card;  // Card/<number>.txt of the record that tells it, or nullptr
  int64_t cardLine;         // that record's line; 0 when none tells it
};

// What the audit can hand on as it goes, for a database of everything it
// read (each may be left empty). A record is handed on once it is known
// which line tells it; the lines, and then the top-ups, come last, each
// with whether a record tells it.
struct AuditSinks {
  std::function<void(const AuditedCard&)> card;
  std::function<void(const AuditedRecord&)> record;
  std::function<void(const AuditedLine&, bool matched)> logLine;
  std::function<void(const AuditedTopUp&)> topUp;
};

// Audits the network directory open as `dir` (named `shownAs` to the
// operator) at calendar time `now` (no record may be dated ahead of it),
// totalling the `days` asked for: every card and log is read and matched
// whatever its days, but the totals, the money held, what is handed on and
// the anomalies about a dated record or line are of those days alone (see
// docs/audit.md). Shows its progress on stderr when `progress`. Returns
// false, with `problem` set, when it is no network directory.
[[nodiscard]] bool auditNetwork(int dir, const std::string& shownAs, int64_t now,
                                const AuditDays& days, bool progress, const AuditSinks& sinks,
                                AuditReport* report, std::string* problem);

// Audits the network directory open as `dir` as auditNetwork does, for
// every day, going on from the checkpoint at `checkpoint` where there is
// one: only the bytes appended to its cards and logs since are read, and
// the report is the one a full audit gives. A file that changed otherwise
// (shrank, replaced, its bytes before where the last audit stopped
// edited, gone) is told as history_changed and the network audited again
// in full. Writes the checkpoint anew, whole or not at all. Returns
// false, with `problem` set, when it is no network directory or cannot be
// listed (`ofNetwork` set), or the checkpoint is another network's, of
// another format, or damaged, or cannot be read or written (the file is
// then left as it was).
[[nodiscard]] bool auditWithCheckpoint(int dir, const std::string& shownAs, int64_t now,
                                       bool progress, const std::string& checkpoint,
                                       AuditReport* report, std::string* problem, bool* ofNetwork);

// Why the readers refuse a card whose last two lines are `older` and
// `latest` (the last of `lines` lines): the line where it breaks, shown.
std::string whereCardBreaks(const std::string& older, const std::string& latest, int64_t lines);
