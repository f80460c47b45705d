// Reliability of the card files under pressure: many processes appending
// to one card and one log at once, readers killed at random moments while
// they record taps, and readers tapping one card at the same instant.
// Afterwards every record must be whole, and cards and logs must agree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/card_file.h"
#include "core/card_transaction.h"
#include "core/tap_journal.h"
#include "tests/support/test_support.h"

namespace {

// Splits a file into its lines at `separator`.
std::vector<std::string> split(const std::string& bytes, const std::string& separator) {
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    size_t end = bytes.find(separator, start);
    lines.push_back(bytes.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return lines;
    start = end + separator.size();
  }
}

// Whether every record of a card file is whole: its last two read as
// intake reads them, and each line parses as a record.
bool wholeCard(const std::string& path, std::vector<CardRecord>* records) {
  CardRecord tail[2];
  if (loadCardTail(path.c_str(), tail) != LoadStatus::kLoaded) return false;
  std::vector<std::string> lines = split(readFile(path), "\r\n");
  records->assign(lines.size(), CardRecord{});
  for (size_t i = 0; i < lines.size(); i++) {
    std::string line = lines[i] + (i + 1 < lines.size() ? "\r" : "");
    if (!parseCardLine(line.data(), line.size(), i + 1 == lines.size(), &(*records)[i]))
      return false;
  }
  return true;
}

// Whether the taps of one reader on a card it alone taps tell a story that
// holds: its own tap ids, each exit free, each entry one of the fares for
// a new ride or an open trip, each balance the last one less that fare.
bool consistentTaps(const std::vector<CardRecord>& records, const std::string& reader) {
  std::string mode = reader == "B" ? "BUS" : "SUBWAY";
  for (size_t i = 2; i < records.size(); i++) {
    const CardRecord& r = records[i];
    std::string id = r.tapId;
    if (!id.empty() && id.back() == '\r') id.pop_back();
    std::string number = id.substr(std::min(id.size(), reader.size() + 1));
    bool ownId = id.compare(0, reader.size() + 1, reader + "_") == 0 && !number.empty() &&
                 number[0] != '0' && number.find_first_not_of("0123456789") == std::string::npos;
    int64_t fare = static_cast<int64_t>(records[i - 1].balance) - r.balance;
    bool fareFits = strcmp(r.inOut, "OUT") == 0 ? fare == 0 : fare == 1050 || fare == 1250;
    if (!ownId || r.mode != mode || !fareFits) return false;
  }
  return true;
}

// Whether every line of a reader log is whole and ends with CR LF.
bool wholeLog(const std::string& path, size_t* lines) {
  std::string bytes = readFile(path);
  if (bytes.empty()) return true;
  if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) return false;
  std::vector<std::string> all = split(bytes.substr(0, bytes.size() - 2), "\r\n");
  for (const std::string& line : all) {
    CardRecord r;
    if (!parseCardLine(line.data(), line.size(), true, &r)) return false;
  }
  *lines = all.size();
  return true;
}

const char kFreshCard[] =
    "20260306080000,SUBWAY,OUT,2000000000,ISSUE_1\r\n"
    "20260306080000,SUBWAY,OUT,2000000000,ISSUE_2";

// The log of a crash-test reader.
std::string logOf(const std::string& reader) {
  return reader == "B" ? "Reader_txt/Bus.txt" : "Reader_txt/Subway" + reader.substr(1) + ".txt";
}

// A crash-test reader (the real tap, no pause) started in this network on
// the card numbers `taps`, far more than it can tap before it is killed.
pid_t startCrashReader(const std::string& reader, const std::string& taps) {
  mkdir("bin", 0755);
  writeFile("bin/clear", "#!/bin/sh\n");
  chmod("bin/clear", 0755);
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr) return -1;
  std::string path = "PATH=" + std::string(here) + "/bin:/usr/bin:/bin";
  int input[2];
  if (pipe2(input, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(input[0], 0);
    dup2(quiet, 1);
    dup2(quiet, 2);
    char* argv[] = {const_cast<char*>(CRASH_READER), const_cast<char*>(reader.c_str()), nullptr};
    char* envp[] = {path.data(), nullptr};
    execve(CRASH_READER, argv, envp);
    _exit(127);
  }
  close(input[0]);
  fcntl(input[1], F_SETFL, O_NONBLOCK);
  ssize_t written = write(input[1], taps.data(), taps.size());
  (void)written;
  close(input[1]);
  return pid;
}

// Lets the readers run for a random 20 to 400 ms, then kills them all.
void killAtRandom(const std::vector<pid_t>& readers, std::mt19937& random) {
  std::this_thread::sleep_for(
      std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 400)(random)));
  for (pid_t pid : readers) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// Whether the journal beside `log` holds a tap in flight.
bool inFlight(const std::string& log) {
  TapIntent intent;
  return readJournal(journalPath(log.c_str()).c_str(), &intent) && intent.state != kIdle;
}

// What the killed readers left, settled as the network settles it: each
// card by the next reader to hold it, each log by its reader starting again.
void settleAsTheNextReadersDo(const std::vector<std::string>& cards,
                              const std::vector<std::string>& readers) {
  for (const std::string& card : cards) {
    HeldCard held;
    CardRecord records[2];
    holdCard(card.c_str(), &held, records);
    releaseCard(&held);
  }
  for (const std::string& reader : readers) recoverJournal(logOf(reader).c_str());
}

// The taps a card tells after its first two records, as
// "time,mode,direction,fare,id": each fare the balance its record took.
std::vector<std::string> cardTaps(const std::vector<CardRecord>& records) {
  std::vector<std::string> taps;
  for (size_t i = 2; i < records.size(); i++) {
    std::string id = records[i].tapId;
    if (!id.empty() && id.back() == '\r') id.pop_back();
    int64_t fare = static_cast<int64_t>(records[i - 1].balance) - records[i].balance;
    taps.push_back(std::to_string(records[i].time) + "," + records[i].mode + "," +
                   records[i].inOut + "," + std::to_string(fare) + "," + id);
  }
  return taps;
}

// The taps a log tells, in the same form.
std::vector<std::string> logTaps(const std::string& log) {
  std::vector<std::string> taps = split(readFile(log), "\r\n");
  taps.pop_back();  // after the last CR LF
  return taps;
}

using InNetwork = InScratchNetwork;

}  // namespace

TEST_F(InNetwork, ConcurrentAppendsNeverTearARecord) {
  constexpr int kWriters = 16, kTaps = 250;
  writeFile("Card/1.txt", kFreshCard);
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; w++) {
    pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0; i < kTaps; i++) {
        TapEntry entry{};
        entry.charged = i;
        entry.time = 20260306081530;
        copyText(entry.mode, "SUBWAY");
        copyText(entry.inOut, i % 2 ? "OUT" : "IN");
        entry.newBalance = w * 1000 + i;
        snprintf(entry.tapId, sizeof entry.tapId, "S1_%d", w * 1000 + i);
        copyText(entry.logTapId, entry.tapId);
        copyText(entry.cardFile, "Card/1.txt");
        if (!recordOnCard(entry, "Reader_txt/Subway1.txt")) _exit(1);
      }
      _exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::vector<CardRecord> card;
  size_t lines = 0;
  ASSERT_TRUE(wholeCard("Card/1.txt", &card)) << "a torn record in the card";
  ASSERT_TRUE(wholeLog("Reader_txt/Subway1.txt", &lines)) << "a torn line in the log";
  std::set<std::string> cardIds, logIds;
  for (const CardRecord& r : card) cardIds.insert(r.tapId);
  for (const std::string& line : split(readFile("Reader_txt/Subway1.txt"), "\r\n")) {
    if (!line.empty()) logIds.insert(line.substr(line.rfind(',') + 1));
  }
  size_t records = card.size();
  EXPECT_EQ(records, 2u + kWriters * kTaps);
  EXPECT_EQ(cardIds.size(), 2u + kWriters * kTaps) << "every tap on the card exactly once";
  EXPECT_EQ(lines, static_cast<size_t>(kWriters * kTaps));
  EXPECT_EQ(logIds.size(), static_cast<size_t>(kWriters * kTaps)) << "every tap logged once";
  printf(
      "stress: %d processes appended %d taps to one card and one log: %zu card records, "
      "%zu log lines, 0 torn\n",
      kWriters, kWriters * kTaps, records - 2, lines);
}

TEST_F(InNetwork, ReadersKilledWhileRecordingLeaveEveryCardWhole) {
  constexpr int kRounds = 60, kCardsEach = 3;
  // Each reader taps cards of its own, so that each card tells one story.
  const std::vector<std::string> readers = {"S1", "S3", "B"};
  std::vector<std::string> cards;
  std::string taps[3];
  for (int r = 0; r < 3; r++) {
    for (int i = 0; i < kCardsEach; i++) {
      std::string number = std::to_string(r * kCardsEach + i + 1);
      cards.push_back("Card/" + number + ".txt");
      writeFile(cards.back(), kFreshCard);
    }
    for (int i = 0; i < 2000; i++)
      taps[r] += std::to_string(r * kCardsEach + i % kCardsEach + 1) + " ";
  }
  unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  int kills = 0, checked = 0, damaged = 0, inFlightAtKill = 0;
  size_t records = 0;
  for (int round = 0; round < kRounds; round++) {
    std::vector<pid_t> running;
    for (int r = 0; r < 3; r++) running.push_back(startCrashReader(readers[r], taps[r]));
    killAtRandom(running, random);
    kills += 3;
    for (const std::string& reader : readers) inFlightAtKill += inFlight(logOf(reader));
    settleAsTheNextReadersDo(cards, readers);
    records = 0;
    for (int c = 0; c < 3 * kCardsEach; c++) {
      std::vector<CardRecord> story;
      checked++;
      if (!wholeCard(cards[c], &story) || !consistentTaps(story, readers[c / kCardsEach])) {
        damaged++;
      } else {
        records += story.size() - 2;
      }
    }
  }
  EXPECT_EQ(damaged, 0) << "seed " << seed;
  EXPECT_GT(records, 0u) << "the readers recorded nothing before they were killed";
  // Every tap on a reader's cards is in its log, and nothing else is.
  size_t lines = 0;
  for (int r = 0; r < 3; r++) {
    std::vector<std::string> onCards;
    for (int i = 0; i < kCardsEach; i++) {
      std::vector<CardRecord> story;
      ASSERT_TRUE(wholeCard(cards[r * kCardsEach + i], &story));
      for (const std::string& tap : cardTaps(story)) onCards.push_back(tap);
    }
    size_t whole = 0;
    EXPECT_TRUE(wholeLog(logOf(readers[r]), &whole)) << readers[r];
    std::vector<std::string> logged = logTaps(logOf(readers[r]));
    std::sort(onCards.begin(), onCards.end());
    std::sort(logged.begin(), logged.end());
    EXPECT_EQ(onCards, logged) << readers[r] << ", seed " << seed;
    lines += logged.size();
  }
  printf(
      "crash: %d readers killed at random (seed %u), %d card checks, %d damaged; %zu taps "
      "recorded, all whole and consistent, %zu log lines, one for each; %d kills landed while a "
      "tap was being recorded, and the next readers settled it\n",
      kills, seed, checked, damaged, records, lines, inFlightAtKill);
}

TEST_F(InNetwork, ReadersTappingOneCardAtOnceActOneAfterTheOther) {
  // Three readers tap one card as fast as they can, all at once, and are
  // killed at random. Each tap decides from the record before it: the
  // balance falls by exactly the fare each log line charges, an exit only
  // follows an entry, and an entry over an open trip settles it.
  constexpr int kRounds = 20;
  const std::vector<std::string> readers = {"S1", "S3", "B"};
  writeFile("Card/1.txt", kFreshCard);
  std::string taps;
  for (int i = 0; i < 2000; i++) taps += "1 ";
  unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  for (int round = 0; round < kRounds; round++) {
    std::vector<pid_t> running;
    for (const std::string& reader : readers) running.push_back(startCrashReader(reader, taps));
    killAtRandom(running, random);
    settleAsTheNextReadersDo({"Card/1.txt"}, readers);
  }
  std::vector<CardRecord> card;
  ASSERT_TRUE(wholeCard("Card/1.txt", &card));
  std::map<std::string, std::vector<std::string>> logs;
  for (const std::string& reader : readers) {
    size_t lines = 0;
    EXPECT_TRUE(wholeLog(logOf(reader), &lines)) << reader;
    logs[reader] = logTaps(logOf(reader));
  }
  std::map<std::string, size_t> next;
  int64_t charged = 0;
  size_t broken = 0;
  for (size_t i = 2; i < card.size(); i++) {
    const CardRecord &before = card[i - 1], &now = card[i];
    std::string id = now.tapId;
    if (!id.empty() && id.back() == '\r') id.pop_back();
    std::string reader = id.substr(0, id.find('_'));
    ASSERT_TRUE(logs.count(reader)) << id;
    // The reader's next log line is this record's: its taps on this card
    // are logged in the card's order.
    ASSERT_LT(next[reader], logs[reader].size()) << "record " << i << " has no log line";
    std::vector<std::string> line = split(logs[reader][next[reader]++], ",");
    int64_t fare = static_cast<int64_t>(before.balance) - now.balance;
    std::string beforeId = before.tapId;
    if (!beforeId.empty() && beforeId.back() == '\r') beforeId.pop_back();
    bool matches = line.size() == 5 && line[0] == std::to_string(now.time) && line[1] == now.mode &&
                   line[2] == now.inOut && line[3] == std::to_string(fare) &&
                   (line[4] == id || line[4] == beforeId);
    bool in = strcmp(now.inOut, "IN") == 0, wasIn = strcmp(before.inOut, "IN") == 0;
    bool follows = !in            ? wasIn
                   : !wasIn       ? fare == 0 || fare == 1050
                   : fare == 1050 ? strcmp(before.mode, "BUS") == 0
                                  : fare == 1250 || fare == 1650 || fare == 1750;
    if (!matches || !follows) {
      broken++;
      ADD_FAILURE() << "record " << i << " (" << now.time << "," << now.mode << "," << now.inOut
                    << "," << now.balance << "," << id << ") after " << before.inOut
                    << ", logged as " << logs[reader][next[reader] - 1] << ", seed " << seed;
    }
    charged += fare;
  }
  for (const std::string& reader : readers) {
    EXPECT_EQ(next[reader], logs[reader].size()) << reader << " logged a tap the card lacks";
  }
  EXPECT_GT(card.size(), 2u + 3 * kRounds) << "too few taps to put the lock to the test";
  EXPECT_EQ(charged, static_cast<int64_t>(card[1].balance) - card.back().balance);
  printf(
      "race: 3 readers tapped one card at once for %d rounds, killed at random (seed %u): %zu "
      "taps, each deciding from the one before, %zu broken; the logs charge %lld, the card "
      "dropped %lld\n",
      kRounds, seed, card.size() - 2, broken, static_cast<long long>(charged),
      static_cast<long long>(card[1].balance) - card.back().balance);
}
