// The audit. Every log is read first, each line kept as a compact entry in
// a hash table keyed by all it says; then every card is read, record by
// record, and each record takes the one entry that tells it. What is left
// on either side is an anomaly. Memory grows with the number of log lines
// (32 bytes each, and the table), never with the cards.
#include "office/audit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "core/card_file.h"
#include "core/tap_journal.h"
#include "readers/network.h"

const char* anomalyName(AnomalyKind kind) {
  switch (kind) {
    case AnomalyKind::kRecordWithoutLogLine:
      return "record_without_log_line";
    case AnomalyKind::kLogLineWithoutRecord:
      return "log_line_without_record";
    case AnomalyKind::kBalanceRises:
      return "balance_rises";
    case AnomalyKind::kFareDiffers:
      return "fare_differs";
    case AnomalyKind::kUnreadableCard:
      return "unreadable_card";
    case AnomalyKind::kNotARecord:
      return "not_a_record";
    case AnomalyKind::kNoteLeft:
      return "note_left";
    case AnomalyKind::kNotALogLine:
      return "not_a_log_line";
  }
  return "unknown";
}

const char* tapKindName(TapKind kind) {
  switch (kind) {
    case TapKind::kNewRide:
      return "new_ride";
    case TapKind::kTransfer:
      return "transfer";
    case TapKind::kExit:
      return "exit";
    case TapKind::kExitAfterTransfer:
      return "exit_after_transfer";
    case TapKind::kSettlement:
      return "settlement";
  }
  return "unknown";
}

std::string printable(const std::string& line) {
  std::string shown;
  for (unsigned char c : line.substr(0, 60)) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, c < 0x20 || c > 0x7e ? "\\x%02x" : "%c", c);
    shown += escaped;
  }
  return line.size() > 60 ? shown + "..." : shown;
}

std::string whereCardBreaks(const std::string& older, const std::string& latest, int64_t lines) {
  if (lines < 2) return "a card needs at least two records";
  CardRecord record;
  if (!parseCardLine(older.data(), older.size(), false, &record)) {
    return "line " + std::to_string(lines - 1) + " is not a card record: \"" + printable(older) +
           "\"";
  }
  if (!parseCardLine(latest.data(), latest.size(), true, &record)) {
    return "line " + std::to_string(lines) + " is not a card record: \"" + printable(latest) + "\"";
  }
  return "its last two records cannot be read";
}

// The seconds from 1970 of a packed time, by the calendar alone: what the
// readers' clock conversion gives but for a change of summer time between
// two records, which at most moves a transfer across the 15 s line.
static int64_t secondsOfDay(int64_t packed) {
  int64_t year = packed / 10000000000, month = packed / 100000000 % 100,
          day = packed / 1000000 % 100;
  int64_t seconds = packed / 10000 % 100 * 3600 + packed / 100 % 100 * 60 + packed % 100;
  // Days from 1970-01-01 to the date, counting March as the year's first month.
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400, yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return (era * 146097 + dayOfEra - 719468) * 86400 + seconds;
}

TapKind tapKindOf(const CardRecord& older, const CardRecord& before, const CardRecord& now,
                  int64_t fare) {
  if (strcmp(now.inOut, "IN") == 0) {
    if (fare == 0) return TapKind::kTransfer;
    // The flat fares that settle a trip left open, in both rule sets.
    if (fare == 1250 || fare == 1650 || fare == 1750) return TapKind::kSettlement;
    return TapKind::kNewRide;
  }
  // An exit ends the trip its latest entry began: one begun within 15 s of
  // leaving the other vehicle was a transfer, as the readers judge it.
  bool byTransfer = strcmp(before.inOut, "IN") == 0 && strcmp(older.inOut, "OUT") == 0 &&
                    strcmp(older.mode, before.mode) != 0 &&
                    secondsOfDay(before.time) - secondsOfDay(older.time) <= 15;
  return byTransfer ? TapKind::kExitAfterTransfer : TapKind::kExit;
}

namespace {

// One log line, as compact as matching allows.
struct LogEntry {
  int64_t time;
  int32_t fare;
  uint32_t line;
  char id[kEntryTapIdWidth];  // the tap id as logged
  uint8_t log;                // which log
  uint8_t flags;              // kBus, kIn, kMatched
};
constexpr uint8_t kBus = 1, kIn = 2, kMatched = 4;

// The log lines of the network, findable by all they say.
struct LogTable {
  std::vector<LogEntry> entries;
  std::vector<uint32_t> slots;  // entry index + 1; 0 for an empty slot
  std::vector<std::string> logs, readers;
};

// Folds a value into a hash, every bit of it reaching every bit of the
// result, so that the table's low bits spread lines that differ by a second.
uint64_t mix(uint64_t hash, uint64_t value) {
  hash = (hash ^ value) * 0x9e3779b97f4a7c15ULL;
  hash ^= hash >> 32;
  hash *= 0xd6e8feb86659fd93ULL;
  return hash ^ (hash >> 32);
}

// The hash of what a line says; `withFare` false leaves the fare out.
uint64_t keyOf(uint8_t log, int64_t time, uint8_t flags, int32_t fare, const char* id) {
  uint64_t hash = mix(mix(mix(log, static_cast<uint64_t>(time)), flags & (kBus | kIn)),
                      static_cast<uint32_t>(fare));
  for (const char* c = id; *c != '\0'; c++) hash = mix(hash, static_cast<unsigned char>(*c));
  return hash;
}

uint64_t keyOf(const LogEntry& e) {
  return keyOf(e.log, e.time, e.flags, e.fare, e.id);
}

void place(LogTable* table, uint32_t index, uint64_t key) {
  size_t mask = table->slots.size() - 1;
  size_t at = key & mask;
  while (table->slots[at] != 0) at = (at + 1) & mask;
  table->slots[at] = index + 1;
}

// Adds a batch of lines. Lines are placed in no order, so the places of a
// whole batch are fetched from memory together before any is used.
void insert(LogTable* table, const std::vector<LogEntry>& batch) {
  if ((table->entries.size() + batch.size()) * 2 > table->slots.size()) {
    size_t slots = std::max<size_t>(1024, table->slots.size());
    while ((table->entries.size() + batch.size()) * 2 > slots) slots *= 2;
    table->slots.assign(slots, 0);
    for (uint32_t i = 0; i < table->entries.size(); i++) place(table, i, keyOf(table->entries[i]));
  }
  uint64_t keys[256];
  size_t mask = table->slots.size() - 1;
  for (size_t i = 0; i < batch.size(); i++) {
    keys[i] = keyOf(batch[i]);
    __builtin_prefetch(&table->slots[keys[i] & mask]);
  }
  for (size_t i = 0; i < batch.size(); i++) {
    table->entries.push_back(batch[i]);
    place(table, static_cast<uint32_t>(table->entries.size() - 1), keys[i]);
  }
}

// Takes the first entry not yet matched that says exactly this, `key`
// being keyOf what it says; returns whether there was one.
bool take(LogTable* table, uint64_t key, uint8_t log, int64_t time, uint8_t flags, int32_t fare,
          const char* id) {
  if (table->slots.empty()) return false;
  size_t mask = table->slots.size() - 1;
  for (size_t at = key & mask; table->slots[at] != 0; at = (at + 1) & mask) {
    LogEntry& e = table->entries[table->slots[at] - 1];
    if ((e.flags & kMatched) == 0 && e.log == log && e.time == time &&
        (e.flags & (kBus | kIn)) == (flags & (kBus | kIn)) && e.fare == fare &&
        strcmp(e.id, id) == 0) {
      e.flags |= kMatched;
      return true;
    }
  }
  return false;
}

// Reads a file a buffer at a time and hands on each line, without its line
// feed, with its number and whether a line feed ended it.
template <typename OnLine>
bool forEachLine(const std::string& path, OnLine onLine) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return false;
  }
  // One buffer for every file read, made once.
  static std::vector<char> buffer(1 << 20);
  size_t kept = 0;
  int64_t number = 0;
  for (;;) {
    ssize_t n = read(fd, buffer.data() + kept, buffer.size() - kept);
    if (n < 0) break;
    size_t filled = kept + static_cast<size_t>(n), start = 0;
    for (const char* end; (end = static_cast<const char*>(
                               memchr(buffer.data() + start, '\n', filled - start))) != nullptr;) {
      size_t length = static_cast<size_t>(end - buffer.data()) - start;
      onLine(buffer.data() + start, length, ++number, true);
      start += length + 1;
    }
    kept = filled - start;
    if (n == 0) {
      if (kept > 0) onLine(buffer.data() + start, kept, ++number, false);
      break;
    }
    // A line longer than the buffer is no line of a card or a log: hand
    // on what there is, and go on.
    if (start == 0 && kept == buffer.size()) {
      onLine(buffer.data(), kept, ++number, false);
      kept = 0;
      continue;
    }
    memmove(buffer.data(), buffer.data() + start, kept);
  }
  close(fd);
  return true;
}

// Asks for large pages over a big array, where the system has them.
void hugePages(void* start, size_t length) {
  const uintptr_t huge = 2 << 20;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + huge - 1) & ~(huge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length) & ~(huge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// The names in a directory, sorted.
std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The reader whose log is `log` (Reader_txt/<name>): its id, or for a log
// of no reader of the network, its name.
std::string readerOfLog(const std::string& log) {
  for (const ReaderConfig& reader : kNetworkReaders) {
    if (log == reader.logPath) return reader.readerId;
  }
  return log.substr(log.find('/') + 1);
}

// The reader a tap id names: what comes before its "_".
std::string readerOfId(const char* id) {
  return std::string(id, strcspn(id, "_\r"));
}

uint8_t flagsOf(const CardRecord& r) {
  return static_cast<uint8_t>((strcmp(r.mode, "BUS") == 0 ? kBus : 0) |
                              (strcmp(r.inOut, "IN") == 0 ? kIn : 0));
}

// Whether a parsed line is one a reader writes to its log: a 14-digit
// time, a known mode and direction, a fare that is no credit.
bool loggable(const CardRecord& r) {
  return r.time >= 10000000000000 && r.time <= 99999999999999 &&
         (strcmp(r.mode, "SUBWAY") == 0 || strcmp(r.mode, "BUS") == 0) &&
         (strcmp(r.inOut, "IN") == 0 || strcmp(r.inOut, "OUT") == 0) && r.balance >= 0;
}

struct Auditor {
  const AuditSinks& sinks;
  AuditReport* report;
  bool progress;
  LogTable table;
  // Records no line told exactly, settled once every card is read.
  struct Pending {
    std::string card;
    int64_t line;
    CardRecord record;
    std::string previousId;
    int64_t fare;
    TapKind kind;
  };
  std::vector<Pending> unmatched;
  std::map<std::string, uint8_t> logOfReader;
  // Records waiting for their lines to be looked up together.
  struct Probe {
    CardRecord record;
    int64_t line, fare;
    TapKind kind;
    int log;  // the log of its reader, or -1
    char ownId[kRecordTapIdWidth], previousId[kRecordTapIdWidth];
    uint64_t key;
  };
  std::vector<Probe> probes;

  void anomaly(AnomalyKind kind, const std::string& file, int64_t line, const std::string& detail) {
    report->anomalies.push_back({kind, file, line, detail});
  }

  void count(ReaderTotals* totals, TapKind kind, int64_t fare, int64_t time) {
    int hour = static_cast<int>(time / 10000 % 100);
    for (Tally* tally : {&totals->all, &totals->byKind[static_cast<int>(kind)]}) {
      tally->taps++;
      tally->revenue += fare;
    }
    if (hour >= 0 && hour < 24) {
      totals->byHour[hour].taps++;
      totals->byHour[hour].revenue += fare;
    }
  }

  void readLogs() {
    std::vector<LogEntry> batch;
    std::vector<std::string> names = namesIn(kLogDirectory);
    // Room for every line at once: a log line has at least 30 bytes.
    int64_t bytes = 0;
    for (const std::string& name : names) {
      struct stat info {};
      std::string path = std::string(kLogDirectory) + "/" + name;
      if (endsWith(name, ".txt") && stat(path.c_str(), &info) == 0) bytes += info.st_size;
    }
    size_t slots = 1024;
    while (slots < static_cast<size_t>(bytes / 30) * 2) slots *= 2;
    // Lines are found in no order: large pages spare the processor a walk
    // of the page tables on most of those lookups.
    table.slots.reserve(slots);
    table.entries.reserve(static_cast<size_t>(bytes / 30));
    hugePages(table.slots.data(), table.slots.capacity() * sizeof(uint32_t));
    hugePages(table.entries.data(), table.entries.capacity() * sizeof(LogEntry));
    table.slots.assign(slots, 0);
    for (const std::string& name : names) {
      std::string path = std::string(kLogDirectory) + "/" + name;
      if (endsWith(name, ".pending") || name.find(".set-aside.") != std::string::npos) {
        noteInLogs(path);
        continue;
      }
      if (!endsWith(name, ".txt")) continue;
      uint8_t log = static_cast<uint8_t>(table.logs.size());
      if (table.logs.size() == 255) break;
      table.logs.push_back(path);
      table.readers.push_back(readerOfLog(path));
      report->logs++;
      forEachLine(path, [&](const char* text, size_t length, int64_t number, bool ended) {
        report->logLines++;
        if (progress && report->logLines % 1000000 == 0) {
          fprintf(stderr, "\raudit: %lld log lines read", static_cast<long long>(report->logLines));
        }
        CardRecord r;
        bool whole = ended && length > 0 && text[length - 1] == '\r';
        if (!whole || !parseCardLine(text, length - 1, true, &r) || !loggable(r)) {
          anomaly(AnomalyKind::kNotALogLine, path, number,
                  (whole ? "not a log line: \"" : "cut short, no CR LF: \"") +
                      printable(std::string(text, length)) + "\"");
          return;
        }
        LogEntry entry{r.time, r.balance, static_cast<uint32_t>(number), {}, log, flagsOf(r)};
        copyText(entry.id, r.tapId);
        batch.push_back(entry);
        if (batch.size() == 256) {
          insert(&table, batch);
          batch.clear();
        }
      });
      insert(&table, batch);
      batch.clear();
      logOfReader[table.readers.back()] = log;
    }
  }

  // A journal, a hint or something moved aside, in the log directory.
  void noteInLogs(const std::string& path) {
    if (endsWith(path, ".pending")) {
      TapIntent intent;
      if (readJournal(path.c_str(), &intent) && intent.state == kIdle) return;
      if (!readJournal(path.c_str(), &intent)) {
        anomaly(AnomalyKind::kNoteLeft, path, 0, "not a journal block");
      } else {
        anomaly(AnomalyKind::kNoteLeft, path, 0,
                std::string(intent.state == kPending ? "a tap in flight" : "a tap abandoned") +
                    " on " + intent.cardPath + ": the next reader to start settles it");
      }
      return;
    }
    anomaly(AnomalyKind::kNoteLeft, path, 0, "moved aside by a reader: look at it, then remove it");
  }

  void readCards() {
    std::vector<std::string> names = namesIn("Card");
    int64_t done = 0;
    for (const std::string& name : names) {
      std::string path = "Card/" + name;
      if (progress && ++done % 1000 == 0) {
        fprintf(stderr, "\raudit: %lld of %zu cards read", static_cast<long long>(done),
                names.size());
      }
      if (endsWith(name, ".pending")) {
        anomaly(AnomalyKind::kNoteLeft, path, 0,
                "a hint of a tap in flight: the card's next reader settles it");
        continue;
      }
      if (name.find(".set-aside.") != std::string::npos) {
        anomaly(AnomalyKind::kNoteLeft, path, 0,
                "moved aside by a reader: look at it, then remove it");
        continue;
      }
      if (!isCardPath(path)) continue;
      readCard(path);
    }
  }

  void readCard(const std::string& path) {
    report->cards++;
    std::string lastTwo[2];  // for judging the card as the readers judge it
    std::vector<int64_t> notRecords;
    int64_t lines = 0;
    CardRecord older{}, before{};
    int known = 0;  // how many of older and before have been read
    forEachLine(path, [&](const char* text, size_t length, int64_t number, bool ended) {
      lines = number;
      lastTwo[0] = std::move(lastTwo[1]);
      lastTwo[1].assign(text, length);
      // Every line but the last keeps the CR of its CR LF, as readers read it.
      CardRecord now;
      if (!parseCardLine(text, length, !ended, &now)) {
        notRecords.push_back(number);
        return;
      }
      // The first two records are the card's issue; every one after is a tap.
      if (number > 2 && known > 0)
        audit(path, number, known == 2 ? older : CardRecord{}, before, now);
      older = before;
      before = now;
      known = std::min(known + 1, 2);
    });
    match(path);
    // The readers read only the tail: judge it as they do, and tell any
    // other line that is not a record.
    std::string tail = (lines > 2 ? "\n" : "") + lastTwo[0] + "\n" + lastTwo[1];
    CardRecord tailRecords[2];
    bool readable = lines >= 2 && parseCardTail(tail.data(), tail.size(), lines == 2, tailRecords);
    if (!readable) {
      anomaly(AnomalyKind::kUnreadableCard, path, lines,
              "the readers refuse this card: " + whereCardBreaks(lastTwo[0], lastTwo[1], lines));
    }
    for (int64_t number : notRecords) {
      if (number < lines - 1) {
        anomaly(AnomalyKind::kNotARecord, path, number,
                "a line before the last two that is not a card record");
      }
    }
    if (sinks.card) sinks.card(path, lines, readable, readable ? tailRecords[1].balance : 0);
  }

  // One accepted record `now`, after `before` and `older`.
  void audit(const std::string& card, int64_t line, const CardRecord& older,
             const CardRecord& before, const CardRecord& now) {
    report->records++;
    int64_t fare = static_cast<int64_t>(before.balance) - now.balance;
    TapKind kind = tapKindOf(older, before, now, fare);
    std::string reader = readerOfId(now.tapId);
    count(&report->readers[reader], kind, fare, now.time);
    count(&report->network, kind, fare, now.time);
    if (fare < 0) {
      anomaly(
          AnomalyKind::kBalanceRises, card, line,
          "the balance rose by " + std::to_string(-fare) + " to " + std::to_string(now.balance));
    }
    Probe p{now, line, fare, kind, -1, {}, {}, 0};
    copyText(p.ownId, std::string(now.tapId, strcspn(now.tapId, "\r")).c_str());
    copyText(p.previousId, std::string(before.tapId, strcspn(before.tapId, "\r")).c_str());
    auto log = logOfReader.find(reader);
    if (log != logOfReader.end() && fare >= INT32_MIN && fare <= INT32_MAX) {
      p.log = log->second;
      p.key = keyOf(log->second, now.time, flagsOf(now), static_cast<int32_t>(fare), p.ownId);
    }
    probes.push_back(p);
    if (probes.size() == 256) match(card);
  }

  // Looks up the lines of the records waiting, fetching the places of all
  // of them from memory before using any.
  void match(const std::string& card) {
    size_t mask = table.slots.empty() ? 0 : table.slots.size() - 1;
    for (const Probe& p : probes) {
      if (p.log >= 0 && mask != 0) __builtin_prefetch(&table.slots[p.key & mask]);
    }
    for (const Probe& p : probes) {
      uint32_t slot = p.log >= 0 && mask != 0 ? table.slots[p.key & mask] : 0;
      if (slot != 0) __builtin_prefetch(&table.entries[slot - 1]);
    }
    for (const Probe& p : probes) {
      uint8_t log = static_cast<uint8_t>(p.log), flags = flagsOf(p.record);
      int32_t fare = static_cast<int32_t>(p.fare);
      bool matched =
          p.log >= 0 && (take(&table, p.key, log, p.record.time, flags, fare, p.ownId) ||
                         take(&table, keyOf(log, p.record.time, flags, fare, p.previousId), log,
                              p.record.time, flags, fare, p.previousId));
      if (matched) {
        report->matched++;
        if (sinks.record) sinks.record({&card, p.line, &p.record, p.fare, p.kind, true});
      } else {
        unmatched.push_back({card, p.line, p.record, p.previousId, p.fare, p.kind});
      }
    }
    probes.clear();
  }

  // Pairs each record that no line told exactly with a line left over that
  // tells it but for the fare; what is left after that is unmatched.
  void settleUnmatched() {
    std::unordered_multimap<uint64_t, uint32_t> leftOver;
    if (!unmatched.empty()) {
      for (uint32_t i = 0; i < table.entries.size(); i++) {
        const LogEntry& e = table.entries[i];
        if ((e.flags & kMatched) == 0) leftOver.emplace(keyOf(e.log, e.time, e.flags, 0, e.id), i);
      }
    }
    for (const Pending& p : unmatched) {
      std::string reader = readerOfId(p.record.tapId);
      std::string ownId(p.record.tapId, strcspn(p.record.tapId, "\r"));
      LogEntry* found = nullptr;
      for (size_t log = 0; log < table.readers.size() && found == nullptr; log++) {
        if (table.readers[log] != reader) continue;
        for (const std::string& id : {ownId, p.previousId}) {
          auto range = leftOver.equal_range(
              keyOf(static_cast<uint8_t>(log), p.record.time, flagsOf(p.record), 0, id.c_str()));
          for (auto it = range.first; it != range.second && found == nullptr; ++it) {
            LogEntry& e = table.entries[it->second];
            if ((e.flags & kMatched) == 0 && e.time == p.record.time && e.id == id &&
                (e.flags & (kBus | kIn)) == flagsOf(p.record)) {
              found = &e;
            }
          }
          if (found != nullptr) break;
        }
      }
      if (found != nullptr) {
        found->flags |= kMatched;
        if (p.fare >= 0) {
          anomaly(AnomalyKind::kFareDiffers, p.card, p.line,
                  "the balance fell by " + std::to_string(p.fare) + ", " + table.logs[found->log] +
                      ":" + std::to_string(found->line) + " charges " +
                      std::to_string(found->fare));
        }
      } else {
        anomaly(AnomalyKind::kRecordWithoutLogLine, p.card, p.line,
                "no line of the log of reader " + reader + " tells this tap");
      }
      if (sinks.record) sinks.record({&p.card, p.line, &p.record, p.fare, p.kind, false});
    }
    unmatched.clear();
  }

  void reportLeftOverLines() {
    for (const LogEntry& e : table.entries) {
      bool matched = (e.flags & kMatched) != 0;
      if (!matched) {
        anomaly(AnomalyKind::kLogLineWithoutRecord, table.logs[e.log], e.line,
                "no card record tells this tap (" + std::string(e.id) + ")");
      }
      if (sinks.logLine) {
        CardRecord fields{};
        fields.time = e.time;
        copyText(fields.mode, e.flags & kBus ? "BUS" : "SUBWAY");
        copyText(fields.inOut, e.flags & kIn ? "IN" : "OUT");
        fields.balance = e.fare;
        copyText(fields.tapId, e.id);
        sinks.logLine({&table.logs[e.log], &table.readers[e.log], e.line, &fields}, matched);
      }
    }
  }
};

}  // namespace

bool auditNetwork(const std::string& dir, bool progress, const AuditSinks& sinks,
                  AuditReport* report, std::string* problem) {
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr || chdir(dir.c_str()) != 0) {
    *problem = "cannot enter " + dir;
    return false;
  }
  struct stat cards {
  }, logs{};
  if (stat("Card", &cards) != 0 || !S_ISDIR(cards.st_mode) || stat(kLogDirectory, &logs) != 0 ||
      !S_ISDIR(logs.st_mode)) {
    *problem = dir + " is not a network directory: it needs Card/ and Reader_txt/";
    if (chdir(here) != 0) *problem += " (and the directory it was run in is gone)";
    return false;
  }
  *report = AuditReport{};
  for (const ReaderConfig& reader : kNetworkReaders) report->readers[reader.readerId];
  Auditor auditor{sinks, report, progress, {}, {}, {}, {}};
  auditor.readLogs();
  auditor.readCards();
  auditor.settleUnmatched();
  auditor.reportLeftOverLines();
  if (progress) fprintf(stderr, "\r%60s\r", "");
  std::stable_sort(report->anomalies.begin(), report->anomalies.end(),
                   [](const Anomaly& a, const Anomaly& b) {
                     return a.file != b.file ? a.file < b.file : a.line < b.line;
                   });
  if (chdir(here) != 0) {
    *problem = "the directory the audit was run in is gone";
    return false;
  }
  return true;
}
