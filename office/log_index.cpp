// The log index: making room for the lines, and placing them in the hash
// table a batch at a time.
#include "office/log_index.h"

#include <sys/mman.h>

#include <algorithm>

// Asks for large pages over a big array, where the system has them.
static void hugePages(void* start, size_t length) {
  const uintptr_t huge = 2 << 20;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + huge - 1) & ~(huge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length) & ~(huge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Puts entry `index` in the first empty slot from its key's.
static void place(LogTable* table, uint32_t index, uint64_t key) {
  size_t mask = table->slots.size() - 1;
  size_t at = key & mask;
  while (table->slots[at] != 0) at = (at + 1) & mask;
  table->slots[at] = index + 1;
}

int addLog(LogTable* table, const std::string& path, const std::string& reader) {
  if (table->logs.size() >= kMostLogs) return -1;
  table->logs.push_back(path);
  table->readers.push_back(reader);
  return static_cast<int>(table->logs.size() - 1);
}

void reserveLines(LogTable* table, size_t lines) {
  size_t slots = 1024;
  while (slots < lines * 2) slots *= 2;
  table->slots.reserve(slots);
  table->entries.reserve(lines);
  hugePages(table->slots.data(), table->slots.capacity() * sizeof(uint32_t));
  table->slots.assign(slots, 0);
}

void insert(LogTable* table, const LogEntry* batch, size_t count) {
  if ((table->entries.size() + count) * 2 > table->slots.size()) {
    size_t slots = std::max<size_t>(1024, table->slots.size());
    while ((table->entries.size() + count) * 2 > slots) slots *= 2;
    table->slots.assign(slots, 0);
    for (uint32_t i = 0; i < table->entries.size(); i++) place(table, i, keyOf(table->entries[i]));
  }
  // Lines are placed in no order, so the places of a whole batch are
  // fetched from memory together before any is used.
  size_t mask = table->slots.size() - 1;
  for (size_t first = 0; first < count; first += kLogBatch) {
    size_t n = std::min(kLogBatch, count - first);
    uint64_t keys[kLogBatch];
    for (size_t i = 0; i < n; i++) {
      keys[i] = keyOf(batch[first + i]);
      __builtin_prefetch(&table->slots[keys[i] & mask]);
    }
    for (size_t i = 0; i < n; i++) {
      table->entries.push_back(batch[first + i]);
      place(table, static_cast<uint32_t>(table->entries.size() - 1), keys[i]);
    }
  }
}
