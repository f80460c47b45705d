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
#include "tests/reliability/card_checks.h"
#include "tests/reliability/crash_runs.h"
#include "tests/support/test_support.h"

namespace {

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

// Whether the journal beside `log` in the network directory `dir` holds a
// tap in flight.
bool inFlight(int dir, const std::string& log) {
  TapIntent intent;
  return readWritersJournal(dir, journalPath(log), &intent) && intent.state != kIdle;
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

// The taps the log at `log` (its whole path) tells, in the same form.
std::vector<std::string> logTaps(const std::string& log) {
  std::vector<std::string> taps = split(readFile(log), "\r\n");
  taps.pop_back();  // after the last CR LF
  return taps;
}

using InNetwork = InScratchNetwork;

}  // namespace

TEST_F(InNetwork, ConcurrentAppendsNeverTearARecord) {
  // One writer process per log of the network, as the network runs them
  // (a second process on one log is refused), all on one card.
  const std::vector<std::string> logs = logsWith();
  const int kWriters = static_cast<int>(logs.size());
  constexpr int kTaps = 600, kGaveUp = 255;
  writeFile(at("Card/1.txt"), kFreshCard);
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; w++) {
    pid_t pid = fork();
    if (pid == 0) {
      // A tap whose reader does not get the card within its wait (on a
      // loaded machine) is tapped again, as its passenger would; a tap
      // that gets the card must be recorded. Exits with the number of taps
      // tapped again.
      int again = 0;
      TapWriter writer = tapWriter(net(), logs[w]);
      std::vector<std::string> notices;
      for (int i = 0; i < kTaps; i++) {
        TapEntry entry = sampleTap("Card/1.txt", "", w * 1000 + i, 20260306081530);
        entry.charged = i;
        copyText(entry.inOut, i % 2 ? "OUT" : "IN");
        copyText(entry.tapId, ("S1_" + std::to_string(w * 1000 + i)).c_str());
        copyText(entry.logTapId, entry.tapId);
        HeldCard card;
        CardRecord records[2];
        int tries = 0;
        while (holdCard(net(), entry.cardFile, logs, &card, records, &notices) !=
               LoadStatus::kLoaded) {
          if (++tries == 10) _exit(kGaveUp);
        }
        if (!recordTap(card, formatCardRecord(entry), formatLogLine(entry), &writer)) {
          _exit(kGaveUp);
        }
        releaseCard(&card);
        again += tries > 0;
      }
      closeTapWriter(&writer);
      _exit(std::min(again, kGaveUp - 1));
    }
    writers.push_back(pid);
  }
  int tappedAgain = 0;
  for (pid_t pid : writers) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != kGaveUp);
    if (WIFEXITED(status) && WEXITSTATUS(status) != kGaveUp) tappedAgain += WEXITSTATUS(status);
  }

  std::vector<CardRecord> card;
  size_t lines = 0;
  ASSERT_EQ(wholeCard(root(), "Card/1.txt", &card), "");
  std::set<std::string> cardIds, logIds;
  for (const CardRecord& r : card) cardIds.insert(r.tapId);
  for (const std::string& log : logs) {
    size_t logLines = 0;
    ASSERT_TRUE(wholeLog(at(log), &logLines)) << "a torn line in " << log;
    lines += logLines;
    for (const std::string& line : split(readFile(at(log)), "\r\n")) {
      if (!line.empty()) logIds.insert(line.substr(line.rfind(',') + 1));
    }
  }
  size_t records = card.size();
  EXPECT_EQ(records, 2u + kWriters * kTaps);
  EXPECT_EQ(cardIds.size(), 2u + kWriters * kTaps) << "every tap on the card exactly once";
  EXPECT_EQ(lines, static_cast<size_t>(kWriters * kTaps));
  EXPECT_EQ(logIds.size(), static_cast<size_t>(kWriters * kTaps)) << "every tap logged once";
  printf(
      "stress: %d processes appended %d taps to one card and a log each: %zu card records, "
      "%zu log lines, 0 torn; %d taps tapped again after a wait for the card ran out\n",
      kWriters, kWriters * kTaps, records - 2, lines, tappedAgain);
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
      writeFile(at(cards.back()), kFreshCard);
    }
    for (int i = 0; i < 2000; i++)
      taps[r] += std::to_string(r * kCardsEach + i % kCardsEach + 1) + " ";
  }
  unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  int kills = 0, checked = 0, damaged = 0, inFlightAtKill = 0;
  size_t records = 0;
  for (int round = 0; round < kRounds; round++) {
    std::vector<Program> running;
    for (int r = 0; r < 3; r++) running.push_back(startCrashReader(readers[r], taps[r], root()));
    killAtRandom(&running, random);
    kills += 3;
    for (const std::string& reader : readers) inFlightAtKill += inFlight(net(), logOf(reader));
    settleAsTheNextReadersDo(net(), cards, readers);
    records = 0;
    for (int c = 0; c < 3 * kCardsEach; c++) {
      std::vector<CardRecord> story;
      checked++;
      std::string torn = wholeCard(root(), cards[c], &story);
      if (!torn.empty() || !consistentTaps(story, readers[c / kCardsEach])) {
        damaged++;
        ADD_FAILURE() << (torn.empty() ? cards[c] + ": its taps disagree" : torn);
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
      ASSERT_EQ(wholeCard(root(), cards[r * kCardsEach + i], &story), "");
      for (const std::string& tap : cardTaps(story)) onCards.push_back(tap);
    }
    size_t whole = 0;
    EXPECT_TRUE(wholeLog(logOf(readers[r], root()), &whole)) << readers[r];
    std::vector<std::string> logged = logTaps(logOf(readers[r], root()));
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
  // follows an entry, and an entry over an open trip settles it. At least
  // 20 rounds, and more while fewer than 100 taps are on the card (a slow
  // build, such as one under a sanitizer, taps less in a round).
  RaceResult race = raceOnOneCard(root(), {root()}, 20, 100);
  EXPECT_EQ(race.wrong, "") << "seed " << race.seed;
  EXPECT_GE(race.taps, 100u) << "too few taps to put the lock to the test";
  EXPECT_EQ(race.charged, race.dropped);
  printf(
      "race: 3 readers tapped one card at once for %d rounds, killed at random (seed %u): %zu "
      "taps, each deciding from the one before and logged once (%s); the logs charge %lld, the "
      "card dropped %lld\n",
      race.rounds, race.seed, race.taps, race.wrong.empty() ? "all agree" : race.wrong.c_str(),
      static_cast<long long>(race.charged), static_cast<long long>(race.dropped));
}
