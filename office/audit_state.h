// What the audit's passes share: one state, read and written by each pass
// in turn (read the logs, read the cards and match their records, settle
// the records no line told exactly, report the lines left over), and the
// helpers more than one pass uses. Only the audit includes it.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "office/audit.h"
#include "office/log_index.h"

// One accepted record, until it is known which line tells it.
struct Probe {
  CardRecord record;
  int64_t line;   // its line in its card
  int64_t fare;   // what its balance fell by
  uint32_t card;  // AuditState::cards index
  TapKind kind;
  bool enteredFree;  // an exit from a trip whose entry was free
  int log;           // the log of its reader, or -1 when that log was not read
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

// Everything the passes share: where the network is, what goes out, and
// what has been read so far.
struct AuditState {
  int dir;               // the network directory; every path is relative to it
  std::string unlisted;  // why Card/ or Reader_txt/ could not be listed; empty when both were
  std::map<std::string, bool> logThere;  // whether a log that was not read is there at all
  const AuditSinks* sinks;               // what is handed on as it is read
  AuditReport* report;                   // what is found, filled pass by pass
  bool progress;                         // whether progress is shown on stderr
  int64_t now;                           // the calendar time the audit runs at
  int64_t latest;            // packed local time of now and the tolerance: no record is dated later
  std::vector<char> buffer;  // the buffer every file is read through
  LogTable table;            // every log line read
  std::map<std::string, uint16_t> logOfReader;  // each network reader's log read
  std::vector<ReaderTotals*> totalsOfLog;       // the totals of each log's reader, by log
  std::vector<std::string> cards;               // every card read, as shown, by index
  std::vector<std::string> numbers;             // the number of each card, as read, by index
  std::vector<TopUpEntry> topUps;               // every line of the top-up log, in order
  std::unordered_map<std::string, std::vector<uint32_t>> topUpsOfCard;  // topUps by card number
  std::unordered_map<std::string, uint32_t> replacedBy;  // a replacement's line, by its new card
  std::vector<Probe> probes;                             // records waiting to be looked up together
  std::vector<Probe> unmatched;  // no line told exactly: settled once every card is read
};

// Reads every log of Reader_txt/ into the table, and the top-up log into
// the top-ups, and tells every note left there and every line that is not
// a log line.
void readLogs(AuditState* s);

// Reads every card of Card/, checks each, and looks up the line of each of
// its accepted records; tells every note left beside the cards.
void readCards(AuditState* s);

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

// Adds an anomaly of `file` (named as it can be shown) at `line`.
void addAnomaly(AuditState* s, AnomalyKind kind, const std::string& file, int64_t line,
                const std::string& detail);

// Counts a tap that log `log` tells, with its record's kind, or without a
// record when `kind` is null, by the hour of its packed `time`. Inline: it
// counts every line.
inline void countLogged(AuditState* s, uint16_t log, const TapKind* kind, int64_t fare,
                        int64_t time) {
  int hour = static_cast<int>(time / 10000 % 100);
  for (ReaderTotals* totals : {s->totalsOfLog[log], &s->report->network}) {
    Tally* kindTally = kind ? &totals->byKind[static_cast<int>(*kind)] : &totals->withoutRecord;
    Tally* hourTally = hour >= 0 && hour < 24 ? &totals->byHour[hour] : nullptr;
    for (Tally* tally : {&totals->all, kindTally, hourTally}) {
      if (tally == nullptr) continue;
      tally->taps++;
      tally->revenue += fare;
    }
  }
}

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
