// Reliability of the card files under pressure: many processes appending
// to one card and one log at once, and readers killed at random moments
// while they record taps. Afterwards every record must be whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/card_file.h"
#include "core/intake.h"
#include "core/tap_output.h"
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
bool wholeCard(const std::string& path, size_t* records) {
  CardRecord tail[2];
  if (loadCardTail(path.c_str(), tail) != LoadStatus::kLoaded) return false;
  std::vector<std::string> lines = split(readFile(path), "\r\n");
  for (size_t i = 0; i < lines.size(); i++) {
    CardRecord r;
    std::string line = lines[i] + (i + 1 < lines.size() ? "\r" : "");
    if (!parseCardLine(line.data(), line.size(), i + 1 == lines.size(), &r)) return false;
  }
  *records = lines.size();
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

// Runs the test body inside a scratch network directory.
class InNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(home_, sizeof home_), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    mkdir("Card", 0755);
    mkdir("Reader_txt", 0755);
  }
  void TearDown() override { ASSERT_EQ(chdir(home_), 0); }

 private:
  char home_[4096];
  ScratchDir dir_;
};

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
        if (!appendTap(entry, "Reader_txt/Subway1.txt")) _exit(1);
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

  size_t records = 0, lines = 0;
  ASSERT_TRUE(wholeCard("Card/1.txt", &records)) << "a torn record in the card";
  ASSERT_TRUE(wholeLog("Reader_txt/Subway1.txt", &lines)) << "a torn line in the log";
  std::set<std::string> ids;
  for (const std::string& line : split(readFile("Card/1.txt"), "\r\n")) {
    ids.insert(line.substr(line.rfind(',') + 1));
  }
  EXPECT_EQ(records, 2u + kWriters * kTaps);
  EXPECT_EQ(ids.size(), 2u + kWriters * kTaps) << "every tap recorded exactly once";
  EXPECT_EQ(lines, static_cast<size_t>(kWriters * kTaps));
  printf(
      "stress: %d processes appended %d taps to one card and one log: %zu card records, "
      "%zu log lines, 0 torn\n",
      kWriters, kWriters * kTaps, records - 2, lines);
}

TEST_F(InNetwork, ReadersKilledWhileRecordingLeaveEveryCardWhole) {
  constexpr int kRounds = 60, kCards = 8;
  const char* readers[] = {"S1", "S3", "B"};
  for (int c = 1; c <= kCards; c++) writeFile("Card/" + std::to_string(c) + ".txt", kFreshCard);
  mkdir("bin", 0755);
  writeFile("bin/clear", "#!/bin/sh\n");
  chmod("bin/clear", 0755);
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  std::string path = "PATH=" + std::string(here) + "/bin:/usr/bin:/bin";
  std::string taps;
  for (int i = 0; i < 2000; i++) taps += std::to_string(i % kCards + 1) + " ";

  unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  int kills = 0, checked = 0, damaged = 0;
  size_t records = 0;
  for (int round = 0; round < kRounds; round++) {
    std::vector<pid_t> running;
    for (const char* reader : readers) {
      int input[2];
      ASSERT_EQ(pipe(input), 0);
      pid_t pid = fork();
      if (pid == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        dup2(input[0], 0);
        dup2(quiet, 1);
        dup2(quiet, 2);
        close(input[1]);
        char* argv[] = {const_cast<char*>(CRASH_READER), const_cast<char*>(reader), nullptr};
        char* envp[] = {path.data(), nullptr};
        execve(CRASH_READER, argv, envp);
        _exit(127);
      }
      close(input[0]);
      fcntl(input[1], F_SETFL, O_NONBLOCK);
      ssize_t written = write(input[1], taps.data(), taps.size());
      (void)written;
      running.push_back(pid);
      // The write end stays open: a reader that runs out of taps waits.
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 400)(random)));
    for (pid_t pid : running) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      kills++;
    }
    for (int c = 1; c <= kCards; c++) {
      size_t count = 0;
      checked++;
      if (!wholeCard("Card/" + std::to_string(c) + ".txt", &count)) damaged++;
      if (round + 1 == kRounds) records += count - 2;
    }
  }
  size_t lines = 0, all = 0;
  for (const char* log : {"Subway1.txt", "Subway3.txt", "Bus.txt"}) {
    EXPECT_TRUE(wholeLog(std::string("Reader_txt/") + log, &lines)) << log;
    all += lines;
  }
  EXPECT_EQ(damaged, 0) << "seed " << seed;
  EXPECT_GT(records, 0u) << "the readers recorded nothing before they were killed";
  // A log line is written only after its card record: a kill between the
  // two can leave a card record without its log line, never the reverse.
  EXPECT_LE(all, records);
  printf(
      "crash: %d readers killed at random (seed %u), %d card checks, %d damaged; %zu taps "
      "recorded, all whole; %zu of them killed before their log line\n",
      kills, seed, checked, damaged, records, records - all);
}
