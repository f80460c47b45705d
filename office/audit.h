// The back office's audit: every card of a network directory against every
// reader log. Each accepted card record (every record after a card's first
// two) must have exactly one line in the log of the reader that recorded
// it, with the same time, mode and direction, the fare its balance fell
// by, and its own tap id or, for a transfer and the exit after one, the id
// of the record it continues; every log line must have its record. What
// does not match, and every card the readers cannot read, every note left
// in flight and every line that is not a log line, is an anomaly. Taps and
// revenue are totalled per reader, per kind of tap and per hour.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/records.h"

// What an anomaly is, as a script names it.
enum class AnomalyKind {
  kRecordWithoutLogLine,  // a card record no log line tells
  kLogLineWithoutRecord,  // a log line no card record tells
  kBalanceRises,          // a record's balance above the one before it
  kFareDiffers,           // a record whose balance fell by other than its log line's fare
  kUnreadableCard,        // a card the readers refuse
  kNotARecord,            // a line before a card's last two that is not a record
  kNoteLeft,              // a tap in flight, a hint or a note moved aside
  kNotALogLine,           // a line of a log that no reader writes so
};

// The name of a kind, as the JSON, CSV and SQLite outputs give it.
const char* anomalyName(AnomalyKind kind);

struct Anomaly {
  AnomalyKind kind;
  std::string file;    // relative to the network directory
  int64_t line;        // 1 for the first line; 0 for a file as a whole
  std::string detail;  // what is wrong, in words
};

// The kinds of tap, as the records and the fare rules tell them apart.
enum class TapKind {
  kNewRide,            // an entry that starts a trip (the new-ride fare)
  kTransfer,           // an entry by transfer from the other vehicle (free)
  kExit,               // an exit from a trip begun at a reader
  kExitAfterTransfer,  // an exit from a trip begun by transfer
  kSettlement,         // an entry that settles a trip left open (a flat fare)
};
constexpr int kTapKinds = 5;

// The name of a kind of tap, as the outputs give it.
const char* tapKindName(TapKind kind);

// Taps and the money they took.
struct Tally {
  int64_t taps = 0;
  int64_t revenue = 0;
};

struct ReaderTotals {
  Tally all;
  Tally byKind[kTapKinds];
  Tally byHour[24];  // by the hour of the day the tap was made
};

// What the audit found.
struct AuditReport {
  int64_t cards = 0;     // card files read
  int64_t records = 0;   // accepted card records (after each card's first two)
  int64_t logs = 0;      // log files read
  int64_t logLines = 0;  // log lines read
  int64_t matched = 0;   // records matched to their log line
  std::vector<Anomaly> anomalies;
  std::map<std::string, ReaderTotals> readers;  // every reader of the network, and any other
  ReaderTotals network;
};

// One accepted card record, as the audit judged it.
struct AuditedRecord {
  const std::string* card;  // Card/<number>.txt
  int64_t line;
  const CardRecord* record;
  int64_t fare;  // the balance it took from the record before
  TapKind kind;
  bool matched;  // whether a log line tells it
};

// One log line, as the audit read it.
struct AuditedLine {
  const std::string* log;  // Reader_txt/<log>.txt
  const std::string* reader;
  int64_t line;
  const CardRecord* fields;  // time, mode, direction; balance holds the fare
};

// What the audit can hand on as it goes, for a database of everything it
// read (each may be left empty). Records come before their matching is
// known when `matched` is false and the line is matched later: a record
// is handed on once its matching is settled.
struct AuditSinks {
  std::function<void(const std::string& card, int64_t records, bool readable, int32_t balance)>
      card;
  std::function<void(const AuditedRecord&)> record;
  std::function<void(const AuditedLine&, bool matched)> logLine;
};

// Audits the network directory `dir` (with Card/ and Reader_txt/). Shows
// its progress on stderr when `progress`. Returns false, with `problem`
// set, when there is no such network directory.
bool auditNetwork(const std::string& dir, bool progress, const AuditSinks& sinks,
                  AuditReport* report, std::string* problem);

// Why the readers refuse a card whose last two lines are `older` and
// `latest` (the last of `lines` lines): the line where it breaks, shown.
std::string whereCardBreaks(const std::string& older, const std::string& latest, int64_t lines);

// A line of a file as it can be shown: control bytes escaped, and cut short
// when it is long.
std::string printable(const std::string& line);

// The kind of the tap `now`, made after `before` and `older` (the record
// before that), that took `fare`.
TapKind tapKindOf(const CardRecord& older, const CardRecord& before, const CardRecord& now,
                  int64_t fare);
