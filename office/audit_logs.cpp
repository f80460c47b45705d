// The audit's first pass: every log of Reader_txt/ read into the log index,
// a line at a time, and every journal, hint or note beside them judged.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/card_file.h"
#include "core/tap_journal.h"
#include "office/audit_state.h"
#include "office/line_reader.h"
#include "readers/network.h"

namespace {

// The reader whose log is `log` (Reader_txt/<name>): its id, or for a log
// of no reader of the network, its name, as it can be shown.
std::string readerOfLog(const std::string& log) {
  for (const ReaderConfig& reader : kNetworkReaders) {
    if (log == logPathOf(reader)) return reader.readerId;
  }
  return shownName(log.substr(log.find('/') + 1));
}

// Whether a parsed line is one a reader writes to its log: a 14-digit
// time, a known mode and direction, a fare that is no credit.
bool loggable(const CardRecord& r) {
  return r.time >= 10000000000000 && r.time <= 99999999999999 &&
         (strcmp(r.mode, "SUBWAY") == 0 || strcmp(r.mode, "BUS") == 0) &&
         (strcmp(r.inOut, "IN") == 0 || strcmp(r.inOut, "OUT") == 0) && r.balance >= 0;
}

// Where the reader of the log whose journal is at `path` shows what its
// journal holds: nowhere for the office's own.
JournalState* journalOf(AuditState* s, const std::string& path) {
  std::string log = path.substr(0, path.size() - strlen(kJournalSuffix));
  if (log == kTopUpLog) return nullptr;
  return &s->report->now[readerOfLog(log)].journal;
}

// A journal, a hint or something moved aside, in the log directory.
void noteInLogs(AuditState* s, const std::string& path) {
  if (isJournalName(path)) {
    TapIntent intent;
    bool read = readAnyJournal(s->dir, path, &intent);
    if (JournalState* state = journalOf(s, path)) {
      *state = !read                      ? JournalState::kUnreadable
               : intent.state == kPending ? JournalState::kInFlight
               : intent.state != kIdle    ? JournalState::kAbandoned
                                          : JournalState::kIdle;
    }
    if (!read) {
      addAnomaly(s, AnomalyKind::kNoteLeft, path, 0,
                 "not a journal block: a reader starting moves it aside; look at it, then remove "
                 "it");
    } else if (intent.state != kIdle) {
      // The record the card is to get, after its CR LF, and the log's line.
      std::string record = intent.cardBytes.substr(std::min<size_t>(2, intent.cardBytes.size()));
      addAnomaly(s, AnomalyKind::kNoteLeft, path, 0,
                 std::string(intent.state == kPending ? "a tap in flight" : "a tap abandoned") +
                     " on " + shownName(intent.cardPath) + ", " + quotedLine(record) + ", and in " +
                     shownName(intent.logPath) + ", " + quotedLine(intent.logBytes) +
                     ": its reader finishes it, or the next reader to start settles it");
    }
    return;
  }
  addAnomaly(s, AnomalyKind::kNoteLeft, path, 0,
             "moved aside by a reader: look at it, then remove it");
}

// Opens the log at `path` to be read on from where the last audit with a
// checkpoint stopped, setting `from` to its carry (nullptr for a log that
// audit did not read). Returns the descriptor; -1 with `error` set when
// it cannot be read; -2 when it changed otherwise than by growing, told
// in the state's changes.
int openToGoOn(AuditState* s, const std::string& path, const LogCarry** from, std::string* error) {
  *from = nullptr;
  int fd = openRegularAt(s->dir, path, error);
  if (fd < 0 || s->carried == nullptr) return fd;
  auto carried = s->carried->logs.find(shownName(path));
  if (carried == s->carried->logs.end()) return fd;
  std::string changed = changedSince(fd, carried->second.mark);
  if (!changed.empty()) {
    s->changed.push_back({shownName(path), changed});
    close(fd);
    return -2;
  }
  *from = &carried->second;
  return fd;
}

// Reads the log open as `fd` (at `path`, its carry `from`) on from where
// the carry stopped, or from its start, through `onLine`, keeping in `out`
// where it stopped. Returns why it could not be read, or "".
template <typename OnLine>
std::string readOn(AuditState* s, const std::string& path, int fd, const LogCarry* from,
                   LogCarry* out, OnLine onLine) {
  int64_t start = from != nullptr ? from->mark.size : 0, end = start;
  out->name = shownName(path);
  out->lines = from != nullptr ? from->lines : 0;
  std::string error =
      forEachLineFrom(fd, start, out->lines + 1, &s->buffer, &end,
                      [&](const char* text, size_t length, int64_t number, bool ended) {
                        out->lines = number;
                        onLine(text, length, number, ended);
                      });
  out->mark = markOf(fd, end);
  char lastByte = '\n';
  out->continuable = out->mark.size == end &&
                     (end == 0 || (pread(fd, &lastByte, 1, end - 1) == 1 && lastByte == '\n'));
  close(fd);
  return error;
}

// Reads the log open as `fd` (at `path`, carried as `from`, if it was)
// into the table as log `log`; returns why it could not be read, or "".
std::string readLog(AuditState* s, const std::string& path, uint16_t log, int fd,
                    const LogCarry* from) {
  std::vector<LogEntry> batch;
  batch.reserve(kLogBatch);
  AuditReport* report = s->report;
  if (s->spans.size() <= log) s->spans.resize(log + 1u);
  LogSpan& span = s->spans[log];
  span.readFrom = static_cast<uint32_t>(s->table.entries.size());
  if (from != nullptr) {
    span.readFrom += static_cast<uint32_t>(from->entries.size());
    span.carriedPlaces = from->places;
    span.tailFrom = from->tailFrom;
    span.placesOf = from->placesOf;
    span.periodStart = from->periodStart;
    span.periodHolds = from->periodHolds;
    // The lines the last audit left for this one, as it left them.
    for (LogEntry entry : from->entries) {
      entry.log = log;
      entry.flags &= static_cast<uint8_t>(~kLaterFlag);
      batch.push_back(entry);
      if (batch.size() == kLogBatch) {
        insert(&s->table, batch.data(), batch.size());
        batch.clear();
      }
    }
  }
  if (s->logsOut.size() <= log) s->logsOut.resize(log + 1u);
  LogEntry last{};  // the last line that is a log line; line 0 while there is none
  std::string error = readOn(
      s, path, fd, from, &s->logsOut[log],
      [&](const char* text, size_t length, int64_t number, bool ended) {
        report->logLines++;
        if (s->progress && report->logLines % 1000000 == 0) {
          fprintf(stderr, "\raudit: %lld log lines read", static_cast<long long>(report->logLines));
        }
        CardRecord r;
        bool whole = ended && length > 0 && text[length - 1] == '\r';
        if (!whole || !parseCardLine(text, length - 1, true, &r) || !loggable(r)) {
          addAnomaly(s, AnomalyKind::kNotALogLine, path, number,
                     quotedLine(std::string(text, length)) +
                         (ended ? ": no reader writes such a line" : ": cut short, no CR LF"));
          return;
        }
        LogEntry entry{r.time, r.balance, static_cast<uint32_t>(number), {}, log, flagsOf(r)};
        copyText(entry.id, r.tapId);
        last = entry;
        batch.push_back(entry);
        if (batch.size() == kLogBatch) {
          insert(&s->table, batch.data(), batch.size());
          batch.clear();
        }
      });
  insert(&s->table, batch.data(), batch.size());
  if (last.line != 0) {
    LastTap& tap = report->now[s->table.readers[log]].last;
    tap.line = last.line;
    tap.time = last.time;
    tap.fare = last.fare;
    tap.bus = (last.flags & kBusFlag) != 0;
    tap.in = (last.flags & kInFlag) != 0;
    copyText(tap.tapId, last.id);
  }
  return error;
}

// Reads the top-up log at `path` into the top-ups, counting the money each
// line dated in the days the audit covers loaded; returns why it could not
// be read, or "".
std::string readTopUpLog(AuditState* s, const std::string& path, int fd, const LogCarry* from) {
  AuditReport* report = s->report;
  if (from != nullptr) {
    // The lines the last audit read, with the records that told them.
    for (const TopUpEntry& e : s->carried->topUps) {
      s->topUpsOfCard[e.topUp.number].push_back(static_cast<uint32_t>(s->topUps.size()));
      s->topUps.push_back(e);
      if (e.topUp.kind == OfficeKind::kReplace) {
        s->replacedBy[e.topUp.detail] = static_cast<uint32_t>(s->topUps.size() - 1);
      }
    }
  }
  return readOn(
      s, path, fd, from, &s->topUpOut,
      [&](const char* text, size_t length, int64_t number, bool ended) {
        report->logLines++;
        TopUpLine topUp;
        bool whole = ended && length > 0 && text[length - 1] == '\r';
        if (!whole || !parseTopUpLine(text, length - 1, &topUp)) {
          addAnomaly(s, AnomalyKind::kNotALogLine, path, number,
                     quotedLine(std::string(text, length)) +
                         (ended ? ": not an office line, and no reader writes here"
                                : ": cut short, no CR LF"));
          return;
        }
        s->topUpsOfCard[topUp.number].push_back(static_cast<uint32_t>(s->topUps.size()));
        s->topUps.push_back({topUp, std::string(text, length - 1), number, 0, 0});
        if (topUp.kind == OfficeKind::kReplace) {
          s->replacedBy[topUp.detail] = static_cast<uint32_t>(s->topUps.size() - 1);
        }
        if (!counted(s, topUp.time)) return;
        TopUpTotals& totals = report->topUps;
        // Each kind of line is counted in its own total and by day and
        // hour; all but top-ups also move money off cards.
        Loaded* all = &totals.all;
        std::map<Day, DayLoaded>* days = &totals.days;
        if (topUp.kind != OfficeKind::kTopUp) {
          bool refund = topUp.kind == OfficeKind::kRefund, close = topUp.kind == OfficeKind::kClose;
          all = refund ? &totals.refunds : close ? &totals.closes : &totals.replacements;
          days = refund ? &totals.refundDays : close ? &totals.closeDays : &totals.replacementDays;
          Movement movement = refund  ? Movement::kRefunds
                              : close ? Movement::kPaidOut
                                      : Movement::kMovedOut;
          s->movedOn[dayOf(topUp.time)][static_cast<int>(movement)] += topUp.amount;
        }
        DayLoaded& day = (*days)[dayOf(topUp.time)];
        int hour = static_cast<int>(topUp.time / 10000 % 100);
        for (Loaded* loaded : {all, &day.all, hour < 24 ? &day.hours[hour] : nullptr}) {
          if (loaded == nullptr) continue;
          loaded->count++;
          loaded->amount += topUp.amount;
        }
      });
}

}  // namespace

void readLogs(AuditState* s) {
  std::vector<std::string> names = namesIn(s->dir, kLogDirectory, &s->unlisted);
  // Room for every line at once: a log line has at least 30 bytes.
  int64_t bytes = 0;
  for (const std::string& name : names) {
    struct stat info {};
    std::string path = logPath(name);
    if (endsWith(name, ".txt") && fstatat(s->dir, path.c_str(), &info, 0) == 0) {
      bytes += info.st_size;
      // A log read on from the last audit: its new bytes, and the lines
      // carried from it.
      auto carried = s->carried != nullptr ? s->carried->logs.find(shownName(path))
                                           : std::map<std::string, LogCarry>::const_iterator{};
      if (s->carried != nullptr && carried != s->carried->logs.end()) {
        bytes -= std::min<int64_t>(info.st_size, carried->second.mark.size);
        bytes += static_cast<int64_t>(carried->second.entries.size()) * 30;
      }
    }
  }
  reserveLines(&s->table, static_cast<size_t>(bytes / 30));
  // The room for the lines is made ready beside the reading, when a
  // thread can be had: its pages take the system long to hand out.
  std::thread preparing;
  try {
    preparing = std::thread(prepareRoom, lineRoom(&s->table));
  } catch (const std::system_error&) {
    // No thread to be had: the inserts make the pages as they come.
  }
  for (const std::string& name : names) {
    std::string path = logPath(name);
    if (isJournalName(name) || isSetAsideName(name)) {
      noteInLogs(s, path);
      continue;
    }
    if (!endsWith(name, ".txt")) continue;
    const LogCarry* from = nullptr;
    std::string error;
    int fd = openToGoOn(s, path, &from, &error);
    if (fd == -2) continue;
    // The office's own log is read as top-ups: never as any reader's taps.
    if (path == kTopUpLog) {
      if (fd >= 0) error = readTopUpLog(s, path, fd, from);
      if (!error.empty()) {
        s->fullNext = true;
        addAnomaly(s, AnomalyKind::kUnreadableFile, path, 0,
                   "cannot read the top-up log: " + error);
      } else if (from == nullptr) {
        s->report->logs++;
      }
      continue;
    }
    int log = addLog(&s->table, shownName(path), readerOfLog(path));
    if (log < 0) {
      if (fd >= 0) close(fd);
      addAnomaly(s, AnomalyKind::kUnreadableFile, path, 0,
                 "not read: more logs than one audit reads");
      continue;
    }
    if (s->spans.size() <= static_cast<size_t>(log)) s->spans.resize(static_cast<size_t>(log) + 1);
    s->totalsOfLog.push_back(&s->report->readers[s->table.readers.back()]);
    s->dayOfLog.emplace_back();
    auto first = static_cast<uint32_t>(s->table.entries.size());
    if (fd >= 0) error = readLog(s, path, static_cast<uint16_t>(log), fd, from);
    s->linesOfLog.push_back({first, static_cast<uint32_t>(s->table.entries.size())});
    if (!error.empty()) {
      s->fullNext = true;
      addAnomaly(s, AnomalyKind::kUnreadableFile, path, 0, "cannot read this log: " + error);
      continue;
    }
    if (from == nullptr) s->report->logs++;
    s->logOfReader[s->table.readers.back()] = static_cast<uint16_t>(log);
  }
  if (preparing.joinable()) preparing.join();
  for (size_t i = 0; i < kNetworkReaderCount; i++) {
    auto log = s->logOfReader.find(kNetworkReaders[i].readerId);
    s->logOfNetworkReader[i] = log != s->logOfReader.end() ? log->second : -1;
  }
}
