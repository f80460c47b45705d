// The log index: a line is taken once, by all it says and nothing less;
// batches of any size go in whole, growing the table; and the table holds
// as many logs as a line can name, refusing the one after.
#include "office/log_index.h"

#include <gtest/gtest.h>

#include <string>

namespace {

LogEntry entry(uint16_t log, int64_t time, uint8_t flags, int32_t fare, const char* id,
               uint32_t line) {
  LogEntry e{time, fare, line, {}, log, flags};
  copyText(e.id, id);
  return e;
}

// Takes what `e` says from the table, as the thread that reads the later
// cards when `later`; sets `passedLater` if given.
LogEntry* takeAs(LogTable* table, const LogEntry& e, bool later = false,
                 bool* passedLater = nullptr) {
  bool passed = false;
  LogEntry* taken = take(table, keyOf(e), e.log, e.time, e.flags, e.fare, e.id,
                         later ? kMatchedFlag | kLaterFlag : kMatchedFlag, &passed);
  if (passedLater != nullptr) *passedLater = passed;
  return taken;
}

}  // namespace

TEST(LogIndex, ALineIsTakenOnceByAllItSaysAndNothingLess) {
  LogTable table;
  ASSERT_EQ(addLog(&table, "Reader_txt/Subway1.txt", "S1"), 0);
  ASSERT_EQ(addLog(&table, "Reader_txt/Bus.txt", "B"), 1);
  const LogEntry logged = entry(0, 20260306081530, kInFlag, 1050, "S1_3", 7);
  insert(&table, &logged, 1);
  // Each field that differs is another line.
  const LogEntry others[] = {
      entry(1, 20260306081530, kInFlag, 1050, "S1_3", 0),
      entry(0, 20260306081531, kInFlag, 1050, "S1_3", 0),
      entry(0, 20260306081530, 0, 1050, "S1_3", 0),
      entry(0, 20260306081530, kInFlag | kBusFlag, 1050, "S1_3", 0),
      entry(0, 20260306081530, kInFlag, 1150, "S1_3", 0),
      entry(0, 20260306081530, kInFlag, 1050, "S1_33", 0),
      entry(0, 20260306081530, kInFlag, 1050, "S1_", 0),
  };
  for (const LogEntry& other : others) {
    EXPECT_EQ(takeAs(&table, other), nullptr)
        << other.log << " " << other.time << " " << int(other.flags) << " " << other.fare << " "
        << other.id;
  }
  // The same line twice is two taps, taken one after the other.
  LogEntry again = logged;
  again.line = 9;
  insert(&table, &again, 1);
  LogEntry* first = takeAs(&table, logged);
  LogEntry* second = takeAs(&table, logged);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->line + second->line, 16u);
  EXPECT_NE(first->flags & second->flags & kMatchedFlag, 0);
  EXPECT_EQ(takeAs(&table, logged), nullptr) << "a line is taken once";
}

TEST(LogIndex, ALineTheLaterCardsTookIsSeenByTheEarlierOnesPassingIt) {
  // The same line three times: the thread of the later cards takes the
  // first; a record of the earlier cards takes the second, and sees it has
  // passed a line the other thread took out of the order the cards are in.
  LogTable table;
  ASSERT_EQ(addLog(&table, "Reader_txt/Bus.txt", "B"), 0);
  std::vector<LogEntry> lines;
  for (uint32_t line = 1; line <= 3; line++) {
    lines.push_back(entry(0, 20260306081530, kBusFlag, 0, "B_3", line));
  }
  insert(&table, lines.data(), lines.size());
  bool passed = true;
  LogEntry* byLater = takeAs(&table, lines[0], true, &passed);
  ASSERT_NE(byLater, nullptr);
  EXPECT_EQ(byLater->line, 1u);
  EXPECT_FALSE(passed);
  EXPECT_NE(byLater->flags & kLaterFlag, 0);
  LogEntry* byEarlier = takeAs(&table, lines[0], false, &passed);
  ASSERT_NE(byEarlier, nullptr);
  EXPECT_EQ(byEarlier->line, 2u);
  EXPECT_TRUE(passed);
  EXPECT_EQ(byEarlier->flags & kLaterFlag, 0);
  // The last is the later cards'; the earlier ones, finding none left,
  // have passed two the other thread took.
  LogEntry* last = takeAs(&table, lines[0], true, &passed);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->line, 3u);
  EXPECT_EQ(takeAs(&table, lines[0], false, &passed), nullptr);
  EXPECT_TRUE(passed);
}

TEST(LogIndex, EveryLineOfBatchesOfAnySizeIsFoundAsTheTableGrows) {
  // No room made first: the table grows from nothing, past many batches,
  // whatever size each batch a caller hands in.
  for (size_t count :
       {size_t{1}, kLogBatch - 1, kLogBatch, kLogBatch + 1, 3 * kLogBatch + 7, size_t{5000}}) {
    LogTable table;
    ASSERT_EQ(addLog(&table, "Reader_txt/Subway2.txt", "S2"), 0);
    std::vector<LogEntry> lines;
    for (size_t i = 0; i < count; i++) {
      lines.push_back(entry(0, 20260306050000 + static_cast<int64_t>(i), kInFlag, 1050, "S2_1",
                            static_cast<uint32_t>(i + 1)));
    }
    insert(&table, lines.data(), lines.size());
    ASSERT_EQ(table.entries.size(), count);
    EXPECT_GE(table.slots.size(), 2 * count) << "a table is never more than half full";
    size_t found = 0;
    for (const LogEntry& line : lines) {
      LogEntry* taken = takeAs(&table, line);
      found += taken != nullptr && taken->line == line.line;
    }
    EXPECT_EQ(found, count) << count << " lines in one batch";
  }
}

TEST(LogIndex, HoldsThe65535thLogAndRefusesTheOneAfter) {
  LogTable table;
  for (size_t i = 0; i < kMostLogs; i++) {
    ASSERT_EQ(addLog(&table, "Reader_txt/T" + std::to_string(i) + ".txt", "T"),
              static_cast<int>(i));
  }
  EXPECT_EQ(addLog(&table, "Reader_txt/zz.txt", "zz"), -1);
  EXPECT_EQ(table.logs.size(), kMostLogs);
  EXPECT_EQ(table.readers.size(), kMostLogs);
  // The last log's lines are told apart from the first's.
  const auto last = static_cast<uint16_t>(kMostLogs - 1);
  const LogEntry lines[] = {entry(0, 20260306120000, kInFlag, 1050, "S1_1", 1),
                            entry(last, 20260306120000, kInFlag, 1050, "S1_1", 2)};
  insert(&table, lines, 2);
  LogEntry* taken = takeAs(&table, lines[1]);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->log, last);
  EXPECT_EQ(taken->line, 2u);
  EXPECT_EQ(takeAs(&table, lines[1]), nullptr);
  EXPECT_NE(takeAs(&table, lines[0]), nullptr);
}
