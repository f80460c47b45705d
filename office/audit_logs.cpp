// The audit's first pass: every log of Reader_txt/ read into the log index,
// a line at a time, and every journal, hint or note beside them judged.
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
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
// the carry stopped, or from its start, through `buffer` and `onLine`,
// keeping in `out` where it stopped; closes `fd`. Returns why it could not
// be read, or "". Touches nothing else, so that it can run on a thread of
// its own.
template <typename OnLine>
std::string readOn(std::vector<char>* buffer, const std::string& path, int fd, const LogCarry* from,
                   LogCarry* out, OnLine onLine) {
  int64_t start = from != nullptr ? from->mark.size : 0, end = start;
  out->name = shownName(path);
  out->lines = from != nullptr ? from->lines : 0;
  std::string error =
      forEachLineFrom(fd, start, out->lines + 1, buffer, &end,
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

// A line of a log that is no log line, as read.
struct OtherLine {
  int64_t number;
  std::string text;  // without its line feed
  bool ended;        // whether a line feed ended it
};

// A run of one log's lines, parsed: the thread that reads the log fills
// it, and the one that keeps the table takes it.
struct LineRun {
  std::vector<LogEntry> entries;  // its log lines, in order, their log not yet set
  std::vector<OtherLine> others;  // its lines that are no log line, in order
  int64_t lines = 0;              // how many lines it holds, of either kind
  bool last = false;              // the log's last run: `error` says why the log was not read
  std::string error;              // to its end, or "" when it was
};

// How many lines a run holds: a few hundred kilobytes of entries, so that
// the runs handed between the threads stay in the cache.
constexpr int64_t kRunLines = 8192;

// A log with this many bytes to read, or more, is read on a thread of its
// own while this one puts its lines in the table; a smaller one is read on
// this one, the thread costing more than it saves.
constexpr int64_t kLogBytesForTwoThreads = 4 << 20;

// How many runs go between the threads: one being filled, one being taken,
// one waiting.
constexpr size_t kRuns = 3;

// Empties `run` to be filled again, keeping its room.
void clearRun(LineRun* run) {
  run->entries.clear();
  run->others.clear();
  run->lines = 0;
  run->last = false;
  run->error.clear();
}

// Reads the log open as `fd` (at `path`, carried as `from`) as readOn does,
// into `run`, parsing each line; each full run, and at the end the last
// one, marked so, goes to hand(run), which returns the run to fill next.
template <typename Hand>
void parseLog(std::vector<char>* buffer, const std::string& path, int fd, const LogCarry* from,
              LogCarry* out, LineRun* run, Hand hand) {
  std::string error = readOn(
      buffer, path, fd, from, out,
      [&](const char* text, size_t length, int64_t number, bool ended) {
        CardRecord r;
        bool whole = ended && length > 0 && text[length - 1] == '\r';
        if (!whole || !parseCardLine(text, length - 1, true, &r) || !loggable(r)) {
          run->others.push_back({number, std::string(text, length), ended});
        } else {
          LogEntry entry{r.time, r.balance, static_cast<uint32_t>(number), {}, 0, flagsOf(r)};
          copyText(entry.id, r.tapId);
          run->entries.push_back(entry);
        }
        if (++run->lines == kRunLines) run = hand(run);
      });
  run->last = true;
  run->error = error;
  hand(run);
}

// The runs handed from the thread that reads a log to the one that keeps
// the table, and back once taken.
struct RunQueue {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<LineRun*> full, empty;
};

// Hands the full `run` on and returns an empty one to fill, waiting for
// one if none is free.
LineRun* handOver(RunQueue* queue, LineRun* run) {
  std::unique_lock<std::mutex> lock(queue->mutex);
  queue->full.push_back(run);
  queue->changed.notify_all();
  queue->changed.wait(lock, [&] { return !queue->empty.empty(); });
  LineRun* next = queue->empty.front();
  queue->empty.pop_front();
  lock.unlock();
  clearRun(next);
  return next;
}

// The next full run, waiting for it.
LineRun* nextRun(RunQueue* queue) {
  std::unique_lock<std::mutex> lock(queue->mutex);
  queue->changed.wait(lock, [&] { return !queue->full.empty(); });
  LineRun* run = queue->full.front();
  queue->full.pop_front();
  return run;
}

// Gives a run taken back to be filled again.
void giveBack(RunQueue* queue, LineRun* run) {
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->empty.push_back(run);
  queue->changed.notify_all();
}

// Puts the lines of `run`, of log `log` (at `path`), in the table, in
// order, and tells each line of it that is no log line; `last` keeps the
// last log line read.
void takeRun(AuditState* s, const std::string& path, uint16_t log, LineRun* run, LogEntry* last) {
  AuditReport* report = s->report;
  int64_t before = report->logLines;
  report->logLines += run->lines;
  // A run holds far fewer lines than a million: it passes one at most.
  if (s->progress && report->logLines / 1000000 != before / 1000000) {
    fprintf(stderr, "\raudit: %lld log lines read",
            static_cast<long long>(report->logLines / 1000000 * 1000000));
  }
  for (const OtherLine& other : run->others) {
    addAnomaly(s, AnomalyKind::kNotALogLine, path, other.number,
               quotedLine(other.text) +
                   (other.ended ? ": no reader writes such a line" : ": cut short, no CR LF"));
  }
  for (LogEntry& entry : run->entries) entry.log = log;
  insert(&s->table, run->entries.data(), run->entries.size());
  if (!run->entries.empty()) *last = run->entries.back();
}

// Reads the log open as `fd` (`path`, carried as `from`) on a thread of
// its own, taking each run it hands on through `take`, as it comes.
// Returns false, having read nothing, when no thread can be had.
template <typename Take>
bool readOnTwoThreads(AuditState* s, const std::string& path, int fd, const LogCarry* from,
                      LogCarry* out, Take take) {
  RunQueue queue;
  LineRun runs[kRuns];
  for (LineRun& run : runs) run.entries.reserve(kRunLines);
  for (size_t i = 1; i < kRuns; i++) queue.empty.push_back(&runs[i]);
  // This thread reads no file while the other does: the buffer is its.
  std::vector<char>* buffer = &s->buffer;
  std::thread reading;
  try {
    reading = std::thread([&queue, &runs, buffer, &path, fd, from, out] {
      parseLog(buffer, path, fd, from, out, &runs[0],
               [&queue](LineRun* run) { return handOver(&queue, run); });
    });
  } catch (const std::system_error&) {
    return false;
  }
  for (;;) {
    LineRun* run = nextRun(&queue);
    take(run);
    bool last = run->last;
    giveBack(&queue, run);
    if (last) break;
  }
  reading.join();
  return true;
}

// Reads the log open as `fd` (at `path`, carried as `from`, if it was)
// into the table as log `log`; returns why it could not be read, or "".
// A large log is parsed on a second thread while this one fills the table.
std::string readLog(AuditState* s, const std::string& path, uint16_t log, int fd,
                    const LogCarry* from) {
  std::vector<LogEntry> batch;
  batch.reserve(kLogBatch);
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
    insert(&s->table, batch.data(), batch.size());
  }
  if (s->logsOut.size() <= log) s->logsOut.resize(log + 1u);
  LogCarry* out = &s->logsOut[log];
  LogEntry last{};  // the last line that is a log line; line 0 while there is none
  std::string error;
  auto take = [&](LineRun* run) {
    takeRun(s, path, log, run, &last);
    if (run->last) error = run->error;
  };
  struct stat info {};
  int64_t start = from != nullptr ? from->mark.size : 0;
  bool large = fstat(fd, &info) == 0 && info.st_size - start >= kLogBytesForTwoThreads;
  if (!large || !readOnTwoThreads(s, path, fd, from, out, take)) {
    LineRun run;
    run.entries.reserve(kRunLines);
    parseLog(&s->buffer, path, fd, from, out, &run, [&](LineRun* full) {
      take(full);
      clearRun(full);
      return full;
    });
  }
  if (last.line != 0) {
    LastTap& tap = s->report->now[s->table.readers[log]].last;
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
      &s->buffer, path, fd, from, &s->topUpOut,
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
  for (size_t i = 0; i < kNetworkReaderCount; i++) {
    auto log = s->logOfReader.find(kNetworkReaders[i].readerId);
    s->logOfNetworkReader[i] = log != s->logOfReader.end() ? log->second : -1;
  }
}
