// The audit's index of log lines: every line of every log kept in 32 bytes,
// in an open-addressing hash table keyed by all the line says, so that a
// card record finds the one line that tells it. Lines go in, and records
// are looked up, in batches whose places are fetched from memory together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/records.h"

// One log line, as compact as matching allows.
struct LogEntry {
  int64_t time;
  int32_t fare;
  uint32_t line;              // its line in its log, from 1
  char id[kEntryTapIdWidth];  // the tap id as logged
  uint16_t log;               // which log (an index of LogTable::logs)
  uint8_t flags;              // kBusFlag, kInFlag, kMatchedFlag, kLaterFlag
};
// kLaterFlag marks a line matched by the thread that reads the later cards,
// while another reads the earlier ones.
constexpr uint8_t kBusFlag = 1, kInFlag = 2, kMatchedFlag = 4, kLaterFlag = 8;

// The most logs one table holds: what LogEntry::log can tell apart.
constexpr size_t kMostLogs = 65535;

// How many lines are inserted, or records looked up, together: enough for
// their fetches from memory to overlap, few enough to stay in the cache.
constexpr size_t kLogBatch = 256;

// The log lines of the network, findable by all they say.
struct LogTable {
  std::vector<LogEntry> entries;
  std::vector<uint32_t> slots;             // entry index + 1; 0 for an empty slot
  std::vector<std::string> logs, readers;  // each log's path and reader, by index
};

// The flags of what a record says: its mode and direction.
inline uint8_t flagsOf(const CardRecord& r) {
  return static_cast<uint8_t>((strcmp(r.mode, "BUS") == 0 ? kBusFlag : 0) |
                              (strcmp(r.inOut, "IN") == 0 ? kInFlag : 0));
}

// Folds a value into a hash, every bit of it reaching every bit of the
// result, so that the table's low bits spread lines that differ by a second.
inline uint64_t mix(uint64_t hash, uint64_t value) {
  hash = (hash ^ value) * 0x9e3779b97f4a7c15ULL;
  hash ^= hash >> 32;
  hash *= 0xd6e8feb86659fd93ULL;
  return hash ^ (hash >> 32);
}

// The hash of what a line says; the matched flag plays no part. The log,
// direction and fare share one word, and the id goes in eight bytes a word
// (the last one filled out with zeros, which no id holds), so that a key
// costs four folds rather than one a character.
inline uint64_t keyOf(uint16_t log, int64_t time, uint8_t flags, int32_t fare, const char* id) {
  uint64_t said = log | static_cast<uint64_t>(flags & (kBusFlag | kInFlag)) << 16 |
                  static_cast<uint64_t>(static_cast<uint32_t>(fare)) << 32;
  uint64_t hash = mix(mix(0, static_cast<uint64_t>(time)), said);
  for (const char* c = id; *c != '\0';) {
    uint64_t word = 0;
    for (int i = 0; i < 8 && *c != '\0'; i++, c++) {
      word |= static_cast<uint64_t>(static_cast<unsigned char>(*c)) << (8 * i);
    }
    hash = mix(hash, word);
  }
  return hash;
}

// The hash of what entry `e` says.
inline uint64_t keyOf(const LogEntry& e) {
  return keyOf(e.log, e.time, e.flags, e.fare, e.id);
}

// Adds the log at `path`, read as reader `reader`'s, and returns its index
// for LogEntry::log; returns -1, adding nothing, when the table holds
// kMostLogs logs already.
[[nodiscard]] int addLog(LogTable* table, const std::string& path, const std::string& reader);

// Makes room for about `lines` lines at once, the slots in large pages
// where the system has them (every lookup starts at a slot in no order,
// and large pages spare the processor a walk of the page tables). The
// lines themselves, three times the slots' size, stay in ordinary pages:
// on the machines measured a large page took the system several times as
// long to make as its ordinary pages together, more than the walks it
// spares the lookups (docs/audit.md#speed). Call it before the first
// insert.
void reserveLines(LogTable* table, size_t lines);

// Adds `count` lines, kLogBatch at a time, growing the table when it is
// half full.
void insert(LogTable* table, const LogEntry* batch, size_t count);

// Takes the first entry not yet matched that says exactly this (`key`
// being keyOf what it says), marking it `mark` (kMatchedFlag, with
// kLaterFlag for the thread of the later cards); returns it, or nullptr
// when there is none, taking nothing. Sets `passedLater` when an entry
// that says the same was passed over, taken by that thread. Two threads
// may take at once: the flags are read and set atomically, and nothing
// else of an entry changes while cards are read.
inline LogEntry* take(LogTable* table, uint64_t key, uint16_t log, int64_t time, uint8_t flags,
                      int32_t fare, const char* id, uint8_t mark, bool* passedLater) {
  if (table->slots.empty()) return nullptr;
  size_t mask = table->slots.size() - 1;
  for (size_t at = key & mask; table->slots[at] != 0; at = (at + 1) & mask) {
    LogEntry& e = table->entries[table->slots[at] - 1];
    uint8_t now = __atomic_load_n(&e.flags, __ATOMIC_RELAXED);
    if (e.log != log || e.time != time || e.fare != fare ||
        (now & (kBusFlag | kInFlag)) != (flags & (kBusFlag | kInFlag)) || strcmp(e.id, id) != 0) {
      continue;
    }
    while ((now & kMatchedFlag) == 0) {
      if (__atomic_compare_exchange_n(&e.flags, &now, static_cast<uint8_t>(now | mark), false,
                                      __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
        return &e;
      }
    }
    if ((now & kLaterFlag) != 0) *passedLater = true;
  }
  return nullptr;
}
