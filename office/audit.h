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

// Taps and the money they took.
struct Tally {
  int64_t taps = 0;
  int64_t revenue = 0;
};

// A reader's taps, as its log tells them: each log line with its card
// record, by the kind the record tells, and the log lines no record tells.
// `all` is every line of the log, and so is every hour added up. Card
// records no log line tells took money no reader logged: they are kept
// apart, in no other tally.
struct ReaderTotals {
  Tally all;
  Tally byKind[kTapKinds];
  Tally withoutRecord;   // log lines no card record tells
  Tally byHour[24];      // by the hour of the day the tap was made
  Tally withoutLogLine;  // card records no log line tells
};

// Top-ups and the money they loaded.
struct Loaded {
  int64_t count = 0;
  int64_t amount = 0;
};

// The office's changes, as its log tells them, apart from fare revenue:
// `all` is every top-up line of the log, and so is every hour added up;
// refunds, closes and replacements are counted apart.
struct TopUpTotals {
  Loaded all;
  Loaded withoutRecord;  // lines of any kind that no card record tells
  Loaded byHour[24];     // top-ups by the hour of the line's time
  Loaded refunds;        // money paid back off cards
  Loaded closes;         // cards closed, and the balances paid out
  Loaded replacements;   // cards replaced, and the balances moved to their new cards
};

// What the audit found.
struct AuditReport {
  int64_t cards = 0;              // card files read
  int64_t records = 0;            // taps on cards: records after each card's first two, but top-ups
  int64_t logs = 0;               // log files read
  int64_t logLines = 0;           // log lines read
  int64_t matched = 0;            // records matched to their log line
  std::deque<Anomaly> anomalies;  // by file and line
  std::map<std::string, ReaderTotals> readers;  // every reader of the network, and any other
  ReaderTotals network;
  TopUpTotals topUps;  // money loaded, not revenue
};

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
// operator) at calendar time `now` (no record may be dated ahead of it).
// Shows its progress on stderr when `progress`. Returns false, with
// `problem` set, when it is no network directory.
[[nodiscard]] bool auditNetwork(int dir, const std::string& shownAs, int64_t now, bool progress,
                                const AuditSinks& sinks, AuditReport* report, std::string* problem);

// Why the readers refuse a card whose last two lines are `older` and
// `latest` (the last of `lines` lines): the line where it breaks, shown.
std::string whereCardBreaks(const std::string& older, const std::string& latest, int64_t lines);
