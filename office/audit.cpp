// The audit. Every log is read first, each line kept as a compact entry in
// a hash table keyed by all it says; then every card is read, record by
// record, and each record takes the one entry that tells it. What is left
// on either side is an anomaly. Memory grows with the number of log lines
// (32 bytes each, and the table) and with the anomalies found, never with
// the cards.
#include "office/audit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "bus/fares.h"
#include "core/card_file.h"
#include "core/tap_journal.h"
#include "readers/network.h"
#include "subway/fares.h"

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
    case AnomalyKind::kLogIdDiffers:
      return "log_id_differs";
    case AnomalyKind::kUnreadableCard:
      return "unreadable_card";
    case AnomalyKind::kUnreadableFile:
      return "unreadable_file";
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

// A name as it can be shown, whole: control bytes and bytes past ASCII
// escaped as \xNN.
static std::string shownName(const std::string& name) {
  bool plain = std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
  if (plain) return name;
  std::string shown;
  for (unsigned char c : name) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, c < 0x20 || c > 0x7e ? "\\x%02x" : "%c", c);
    shown += escaped;
  }
  return shown;
}

std::string printable(const std::string& line) {
  return line.size() > 60 ? shownName(line.substr(0, 60)) + "..." : shownName(line);
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

// The kind of a tap in direction `inOut` that took `fare`; an exit ends a
// trip whose entry was free (a transfer) when `enteredFree`.
static TapKind kindOf(const char* inOut, int64_t fare, bool enteredFree) {
  if (strcmp(inOut, "IN") == 0) {
    if (fare == subway::kTransferFare || fare == bus::kTransferFare) return TapKind::kTransfer;
    // The flat fares that settle a trip left open, in either rule set.
    if (fare == subway::kOpenSubwayFare || fare == subway::kOpenBusToSubwayFare ||
        fare == subway::kOpenSubwayToBusFare || fare == bus::kOpenSubwayFare ||
        fare == bus::kOpenBusToSubwayFare || fare == bus::kOpenSubwayToBusFare) {
      return TapKind::kSettlement;
    }
    return TapKind::kNewRide;
  }
  return enteredFree ? TapKind::kExitAfterTransfer : TapKind::kExit;
}

// Whether `before` is an entry that took nothing from `older`'s balance: a
// transfer, the only free entry.
static bool freeEntry(const CardRecord& older, const CardRecord& before) {
  return strcmp(before.inOut, "IN") == 0 && older.balance == before.balance;
}

TapKind tapKindOf(const CardRecord& older, const CardRecord& before, const CardRecord& now,
                  int64_t fare) {
  return kindOf(now.inOut, fare, freeEntry(older, before));
}

std::string notANetwork(const std::string& dir, const std::string& shownAs) {
  struct stat cards {
  }, logs{};
  bool network = stat((dir + "/Card").c_str(), &cards) == 0 && S_ISDIR(cards.st_mode) &&
                 stat((dir + "/" + kLogDirectory).c_str(), &logs) == 0 && S_ISDIR(logs.st_mode);
  return network ? "" : shownAs + " is not a network directory: it needs Card/ and Reader_txt/";
}

namespace {

// One log line, as compact as matching allows.
struct LogEntry {
  int64_t time;
  int32_t fare;
  uint32_t line;
  char id[kEntryTapIdWidth];  // the tap id as logged
  uint16_t log;               // which log
  uint8_t flags;              // kBusFlag, kInFlag, kMatchedFlag
};
constexpr uint8_t kBusFlag = 1, kInFlag = 2, kMatchedFlag = 4;
// The most logs one audit reads: what LogEntry::log can tell apart.
constexpr size_t kMostLogs = 65535;

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

// The hash of what a line says.
uint64_t keyOf(uint16_t log, int64_t time, uint8_t flags, int32_t fare, const char* id) {
  uint64_t hash = mix(mix(mix(log, static_cast<uint64_t>(time)), flags & (kBusFlag | kInFlag)),
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
// being keyOf what it says; returns it, or nullptr when there is none.
LogEntry* take(LogTable* table, uint64_t key, uint16_t log, int64_t time, uint8_t flags,
               int32_t fare, const char* id) {
  if (table->slots.empty()) return nullptr;
  size_t mask = table->slots.size() - 1;
  for (size_t at = key & mask; table->slots[at] != 0; at = (at + 1) & mask) {
    LogEntry& e = table->entries[table->slots[at] - 1];
    if ((e.flags & kMatchedFlag) == 0 && e.log == log && e.time == time &&
        (e.flags & (kBusFlag | kInFlag)) == (flags & (kBusFlag | kInFlag)) && e.fare == fare &&
        strcmp(e.id, id) == 0) {
      e.flags |= kMatchedFlag;
      return &e;
    }
  }
  return nullptr;
}

// How much of a line longer than the read buffer is kept to be judged and
// shown: no record or log line comes near it.
constexpr size_t kLongLineHead = 4096;

// Reads a regular file a buffer at a time and hands on each line, without
// its line feed, with its number and whether a line feed ended it. A line
// longer than the buffer is handed on once, cut to its head. Returns why
// the file could not be read, or "" when it was read to its end.
template <typename OnLine>
std::string forEachLine(const std::string& path, OnLine onLine) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return "not a regular file";
  }
  // One buffer for every file read, made once.
  static std::vector<char> buffer(1 << 20);
  std::string longLine;  // the head of a long line, while the rest of it is skipped
  bool skipping = false;
  size_t kept = 0;
  int64_t number = 0;
  std::string error;
  for (;;) {
    ssize_t n = read(fd, buffer.data() + kept, buffer.size() - kept);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = strerror(errno);
      break;
    }
    size_t filled = kept + static_cast<size_t>(n), start = 0;
    if (skipping) {
      const char* end = static_cast<const char*>(memchr(buffer.data(), '\n', filled));
      if (end == nullptr && n > 0) continue;  // kept is 0: the buffer is read over
      onLine(longLine.data(), longLine.size(), ++number, end != nullptr);
      if (end == nullptr) break;
      skipping = false;
      start = static_cast<size_t>(end - buffer.data()) + 1;
    }
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
    if (start == 0 && kept == buffer.size()) {
      longLine.assign(buffer.data(), kLongLineHead);
      skipping = true;
      kept = 0;
      continue;
    }
    memmove(buffer.data(), buffer.data() + start, kept);
  }
  close(fd);
  return error;
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
// of no reader of the network, its name, as it can be shown.
std::string readerOfLog(const std::string& log) {
  for (const ReaderConfig& reader : kNetworkReaders) {
    if (log == reader.logPath) return reader.readerId;
  }
  return shownName(log.substr(log.find('/') + 1));
}

// The reader a tap id names, as it can be shown.
std::string readerOfId(const char* id) {
  return shownName(readerOfTapId(id));
}

// A tap id without the CR a card's last line but one keeps.
std::string bareId(const char* id) {
  return bareTapId(id);
}

uint8_t flagsOf(const CardRecord& r) {
  return static_cast<uint8_t>((strcmp(r.mode, "BUS") == 0 ? kBusFlag : 0) |
                              (strcmp(r.inOut, "IN") == 0 ? kInFlag : 0));
}

// Whether a parsed line is one a reader writes to its log: a 14-digit
// time, a known mode and direction, a fare that is no credit.
bool loggable(const CardRecord& r) {
  return r.time >= 10000000000000 && r.time <= 99999999999999 &&
         (strcmp(r.mode, "SUBWAY") == 0 || strcmp(r.mode, "BUS") == 0) &&
         (strcmp(r.inOut, "IN") == 0 || strcmp(r.inOut, "OUT") == 0) && r.balance >= 0;
}

// The id a record's log line must carry: a transfer, and the exit after
// one, log the id of the tap they continue; every other tap its own.
bool logsPreviousId(TapKind kind) {
  return kind == TapKind::kTransfer || kind == TapKind::kExitAfterTransfer;
}

struct Auditor {
  const AuditSinks& sinks;
  AuditReport* report;
  bool progress;
  LogTable table;
  std::map<std::string, uint16_t> logOfReader;
  std::vector<ReaderTotals*> totalsOfLog;  // the totals of each log's reader
  std::vector<std::string> cards;          // every card read, by index
  // One accepted record, until it is known which line tells it.
  struct Probe {
    CardRecord record;
    int64_t line, fare;
    uint32_t card;
    TapKind kind;
    bool enteredFree;  // an exit from a trip whose entry was free
    int log;           // the log of its reader, or -1
    char loggedId[kRecordTapIdWidth], otherId[kRecordTapIdWidth];
    uint64_t key;
  };
  std::vector<Probe> probes;     // waiting to be looked up together
  std::vector<Probe> unmatched;  // no line told exactly: settled once every card is read

  void anomaly(AnomalyKind kind, const std::string& file, int64_t line, const std::string& detail) {
    report->anomalies.push_back({kind, shownName(file), line, detail});
  }

  // A tap that log `log` tells, with its record's kind, or without a
  // record.
  void countLogged(uint16_t log, const TapKind* kind, int64_t fare, int64_t time) {
    int hour = static_cast<int>(time / 10000 % 100);
    for (ReaderTotals* totals : {totalsOfLog[log], &report->network}) {
      Tally* kindTally = kind ? &totals->byKind[static_cast<int>(*kind)] : &totals->withoutRecord;
      Tally* hourTally = hour >= 0 && hour < 24 ? &totals->byHour[hour] : nullptr;
      for (Tally* tally : {&totals->all, kindTally, hourTally}) {
        if (tally == nullptr) continue;
        tally->taps++;
        tally->revenue += fare;
      }
    }
  }

  void countUnlogged(const std::string& reader, int64_t fare) {
    for (ReaderTotals* totals : {&report->readers[reader], &report->network}) {
      totals->withoutLogLine.taps++;
      totals->withoutLogLine.revenue += fare;
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
      if (table.logs.size() == kMostLogs) {
        anomaly(AnomalyKind::kUnreadableFile, path, 0, "not read: more logs than one audit reads");
        continue;
      }
      auto log = static_cast<uint16_t>(table.logs.size());
      table.logs.push_back(shownName(path));
      table.readers.push_back(readerOfLog(path));
      totalsOfLog.push_back(&report->readers[table.readers.back()]);
      std::string error = forEachLine(path, [&](const char* text, size_t length, int64_t number,
                                                bool ended) {
        report->logLines++;
        if (progress && report->logLines % 1000000 == 0) {
          fprintf(stderr, "\raudit: %lld log lines read", static_cast<long long>(report->logLines));
        }
        CardRecord r;
        bool whole = ended && length > 0 && text[length - 1] == '\r';
        if (!whole || !parseCardLine(text, length - 1, true, &r) || !loggable(r)) {
          anomaly(AnomalyKind::kNotALogLine, path, number,
                  (ended ? "not a log line: \"" : "cut short, no CR LF: \"") +
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
      if (!error.empty()) {
        anomaly(AnomalyKind::kUnreadableFile, path, 0, "cannot read this log: " + error);
        continue;
      }
      report->logs++;
      logOfReader[table.readers.back()] = log;
    }
  }

  // A journal, a hint or something moved aside, in the log directory.
  void noteInLogs(const std::string& path) {
    if (endsWith(path, ".pending")) {
      TapIntent intent;
      if (!inspectJournal(path, &intent)) {
        anomaly(AnomalyKind::kNoteLeft, path, 0,
                "not a journal block: a reader starting moves it aside; look at it, then remove "
                "it");
      } else if (intent.state != kIdle) {
        anomaly(AnomalyKind::kNoteLeft, path, 0,
                std::string(intent.state == kPending ? "a tap in flight" : "a tap abandoned") +
                    " on " + shownName(intent.cardPath) +
                    ": its reader finishes it, or the next reader to start settles it");
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
                "a note readers of an earlier version left beside a card: no reader reads it "
                "now; remove it");
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
    auto card = static_cast<uint32_t>(cards.size());
    cards.push_back(shownName(path));
    std::string lastTwo[2];  // for judging the card as the readers judge it
    std::vector<int64_t> notRecords;
    int64_t lines = 0;
    CardRecord older{}, before{};
    int64_t records = 0;  // records read so far
    std::string error =
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
          if (records >= 2) audit(card, number, freeEntry(older, before), before, now);
          older = before;
          before = now;
          records++;
        });
    match();
    if (!error.empty()) {
      anomaly(AnomalyKind::kUnreadableFile, path, 0, "cannot read this card: " + error);
      return;
    }
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
    if (sinks.card) {
      sinks.card(cards[card], lines, readable, readable ? tailRecords[1].balance : 0);
    }
  }

  // One accepted record `now` of card `card`, after `before`.
  void audit(uint32_t card, int64_t line, bool enteredFree, const CardRecord& before,
             const CardRecord& now) {
    report->records++;
    int64_t fare = static_cast<int64_t>(before.balance) - now.balance;
    TapKind kind = kindOf(now.inOut, fare, enteredFree);
    if (fare < 0) {
      anomaly(
          AnomalyKind::kBalanceRises, cards[card], line,
          "the balance rose by " + std::to_string(-fare) + " to " + std::to_string(now.balance));
    }
    Probe p{now, line, fare, card, kind, enteredFree, -1, {}, {}, 0};
    std::string own = bareId(now.tapId), previous = bareId(before.tapId);
    copyText(p.loggedId, (logsPreviousId(kind) ? previous : own).c_str());
    copyText(p.otherId, (logsPreviousId(kind) ? own : previous).c_str());
    auto log = logOfReader.find(readerOfId(now.tapId));
    if (log != logOfReader.end() && fare >= INT32_MIN && fare <= INT32_MAX) {
      p.log = log->second;
      p.key = keyOf(log->second, now.time, flagsOf(now), static_cast<int32_t>(fare), p.loggedId);
    }
    probes.push_back(p);
    if (probes.size() == 256) match();
  }

  // Hands on a record with the line that tells it, if any.
  void handOn(const Probe& p, const LogEntry* line) {
    if (!sinks.record) return;
    sinks.record({&cards[p.card], p.line, &p.record, p.fare, p.kind,
                  line ? &table.logs[line->log] : nullptr, line ? line->line : 0});
  }

  void noLogLine(const Probe& p) {
    std::string reader = readerOfId(p.record.tapId);
    anomaly(AnomalyKind::kRecordWithoutLogLine, cards[p.card], p.line,
            "no line of the log of reader " + reader + " tells this tap");
    countUnlogged(reader, p.fare);
    handOn(p, nullptr);
  }

  // Looks up the lines of the records waiting, fetching the places of all
  // of them from memory before using any.
  void match() {
    size_t mask = table.slots.empty() ? 0 : table.slots.size() - 1;
    for (const Probe& p : probes) {
      if (p.log >= 0 && mask != 0) __builtin_prefetch(&table.slots[p.key & mask]);
    }
    for (const Probe& p : probes) {
      uint32_t slot = p.log >= 0 && mask != 0 ? table.slots[p.key & mask] : 0;
      if (slot != 0) __builtin_prefetch(&table.entries[slot - 1]);
    }
    for (const Probe& p : probes) {
      // A record of a reader whose log is not there has no line: it is told
      // at once, not kept.
      if (p.log < 0) {
        noLogLine(p);
        continue;
      }
      LogEntry* line = take(&table, p.key, static_cast<uint16_t>(p.log), p.record.time,
                            flagsOf(p.record), static_cast<int32_t>(p.fare), p.loggedId);
      if (line == nullptr) {
        unmatched.push_back(p);
        continue;
      }
      report->matched++;
      countLogged(line->log, &p.kind, line->fare, p.record.time);
      handOn(p, line);
    }
    probes.clear();
  }

  // The first line left over in log `log` that tells record `r` with id
  // `id`, whatever its fare, through `leftOver` (by keyOf with fare 0).
  LogEntry* leftOverLine(const std::unordered_multimap<uint64_t, uint32_t>& leftOver, int log,
                         const CardRecord& r, const char* id) {
    if (log < 0) return nullptr;
    auto range = leftOver.equal_range(keyOf(static_cast<uint16_t>(log), r.time, flagsOf(r), 0, id));
    for (auto it = range.first; it != range.second; ++it) {
      LogEntry& e = table.entries[it->second];
      if ((e.flags & kMatchedFlag) == 0 && e.time == r.time && strcmp(e.id, id) == 0 &&
          (e.flags & (kBusFlag | kInFlag)) == flagsOf(r)) {
        return &e;
      }
    }
    return nullptr;
  }

  // Pairs each record that no line told exactly with a line left over that
  // tells it but for the fare, or carries its other id; what is left after
  // that has no log line.
  void settleUnmatched() {
    std::unordered_multimap<uint64_t, uint32_t> leftOver;
    if (!unmatched.empty()) {
      for (uint32_t i = 0; i < table.entries.size(); i++) {
        const LogEntry& e = table.entries[i];
        if ((e.flags & kMatchedFlag) == 0) {
          leftOver.emplace(keyOf(e.log, e.time, e.flags, 0, e.id), i);
        }
      }
    }
    for (const Probe& p : unmatched) {
      LogEntry* line = leftOverLine(leftOver, p.log, p.record, p.loggedId);
      bool otherId = line == nullptr;
      if (otherId) line = leftOverLine(leftOver, p.log, p.record, p.otherId);
      if (line == nullptr) {
        noLogLine(p);
        continue;
      }
      line->flags |= kMatchedFlag;
      std::string where = table.logs[line->log] + ":" + std::to_string(line->line);
      // What the reader charged decides the kind of an entry. Where card
      // and log disagree on the fare, the id the log carries may be the
      // one either fare calls for.
      TapKind kind = kindOf(p.record.inOut, line->fare, p.enteredFree);
      if (otherId && logsPreviousId(kind) == logsPreviousId(p.kind)) {
        anomaly(AnomalyKind::kLogIdDiffers, cards[p.card], p.line,
                where + " tells this tap with id " + shownName(line->id) + ", where a " +
                    tapKindName(p.kind) + " logs " + shownName(p.loggedId));
      }
      if (line->fare != p.fare && p.fare >= 0) {
        anomaly(AnomalyKind::kFareDiffers, cards[p.card], p.line,
                "the balance fell by " + std::to_string(p.fare) + ", " + where + " charges " +
                    std::to_string(line->fare));
      }
      countLogged(line->log, &kind, line->fare, p.record.time);
      handOn(p, line);
    }
    unmatched.clear();
  }

  void reportLeftOverLines() {
    for (const LogEntry& e : table.entries) {
      bool matched = (e.flags & kMatchedFlag) != 0;
      if (!matched) {
        anomaly(AnomalyKind::kLogLineWithoutRecord, table.logs[e.log], e.line,
                "no card record tells this tap (" + shownName(e.id) + ")");
        countLogged(e.log, nullptr, e.fare, e.time);
      }
      if (sinks.logLine) {
        sinks.logLine(
            {&table.logs[e.log], &table.readers[e.log], e.line, e.time,
             e.flags & kBusFlag ? "BUS" : "SUBWAY", e.flags & kInFlag ? "IN" : "OUT", e.fare, e.id},
            matched);
      }
    }
  }
};

// Sorts the anomalies by file and line, keeping the order they were found
// in otherwise, moving each into place along the cycles of the sorted
// order rather than sorting a copy: there may be millions.
void sortAnomalies(std::deque<Anomaly>* anomalies) {
  std::deque<Anomaly>& a = *anomalies;
  std::vector<uint32_t> order(a.size());  // order[k]: the anomaly that goes to place k
  for (uint32_t i = 0; i < order.size(); i++) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    return a[x].file != a[y].file ? a[x].file < a[y].file : a[x].line < a[y].line;
  });
  for (uint32_t start = 0; start < order.size(); start++) {
    if (order[start] == start) continue;
    Anomaly held = std::move(a[start]);
    uint32_t at = start;
    while (order[at] != start) {
      uint32_t from = order[at];
      a[at] = std::move(a[from]);
      order[at] = at;
      at = from;
    }
    a[at] = std::move(held);
    order[at] = at;
  }
}

}  // namespace

bool auditNetwork(const std::string& dir, bool progress, const AuditSinks& sinks,
                  AuditReport* report, std::string* problem) {
  *problem = notANetwork(dir, dir);
  if (!problem->empty()) return false;
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr || chdir(dir.c_str()) != 0) {
    *problem = "cannot enter " + dir;
    return false;
  }
  *report = AuditReport{};
  for (const ReaderConfig& reader : kNetworkReaders) report->readers[reader.readerId];
  Auditor auditor{sinks, report, progress, {}, {}, {}, {}, {}, {}};
  auditor.readLogs();
  auditor.readCards();
  auditor.settleUnmatched();
  auditor.reportLeftOverLines();
  if (progress) fprintf(stderr, "\r%60s\r", "");
  sortAnomalies(&report->anomalies);
  if (chdir(here) != 0) {
    *problem = "the directory the audit was run in is gone";
    return false;
  }
  return true;
}
