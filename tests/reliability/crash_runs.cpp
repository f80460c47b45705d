// Runs of the crash-test reader, and the race on one card.
#include "tests/reliability/crash_runs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/card_transaction.h"
#include "tests/reliability/card_checks.h"
#include "tests/support/test_support.h"

const char kFreshCard[] =
    "20260306080000,SUBWAY,OUT,2000000000,ISSUE_1\r\n"
    "20260306080000,SUBWAY,OUT,2000000000,ISSUE_2";

Program startCrashReader(const std::string& reader, const std::string& taps, const std::string& dir,
                         bool trustStorage) {
  ProgramRun run;
  run.argv = {CRASH_READER, reader};
  if (trustStorage) run.argv.push_back("trust-storage");
  run.dir = dir;
  Program program = startProgram(run);
  // Everything it is to tap at once: it reads no more than it gets to.
  fcntl(program.input, F_SETFL, O_NONBLOCK);
  typeInto(program, taps);
  close(program.input);
  program.input = -1;
  return program;
}

void killAtRandom(std::vector<Program>* readers, std::mt19937& random) {
  std::this_thread::sleep_for(
      std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 400)(random)));
  for (Program& reader : *readers) {
    kill(reader.pid, SIGKILL);
    finishProgram(&reader);
  }
}

void settleAsTheNextReadersDo(int dir, const std::vector<std::string>& cards,
                              const std::vector<std::string>& readers) {
  for (const std::string& card : cards) {
    CardRecord records[2];
    holdAndLetGo(dir, card.c_str(), records);
  }
  for (const std::string& reader : readers) {
    TapWriter writer = tapWriter(dir, logOf(reader));
    std::vector<std::string> notices;
    EXPECT_TRUE(settleOwnJournal(&writer, logsWith(), &notices)) << reader;
    closeTapWriter(&writer);
  }
}

RaceResult raceOnOneCard(const std::string& root, const std::vector<std::string>& dirs, int rounds,
                         size_t fewest, const std::function<void(int round)>& beforeRound,
                         bool trustStorage, bool checked) {
  constexpr int kMostRounds = 400;
  const std::vector<std::string> readers = {"S1", "S3", "B"};
  NetworkDir network(root);
  const std::string card = network.at("Card/1.txt");
  writeFile(card, kFreshCard);
  std::string taps;
  for (int i = 0; i < 2000; i++) taps += "1 ";
  RaceResult result;
  result.seed = std::random_device()();
  std::mt19937 random(result.seed);
  // The records on the card after its first two; none while it cannot be
  // read (a replica with no good copy up).
  auto tapped = [&] {
    size_t records = split(readFile(card), "\r\n").size();
    return records > 2 ? records - 2 : 0;
  };
  for (; result.rounds < rounds || (tapped() < fewest && result.rounds < kMostRounds);
       result.rounds++) {
    if (beforeRound) beforeRound(result.rounds);
    std::vector<Program> running;
    for (size_t r = 0; r < readers.size(); r++) {
      running.push_back(startCrashReader(readers[r], taps, dirs[r % dirs.size()], trustStorage));
    }
    killAtRandom(&running, random);
    settleAsTheNextReadersDo(network.dir(), {"Card/1.txt"}, readers);
  }
  if (checked) checkRace(network.root(), &result);
  return result;
}

void checkRace(const std::string& root, RaceResult* race) {
  const std::vector<std::string> readers = {"S1", "S3", "B"};
  race->wrong = disagreement("Card/1.txt", readers, root, &race->taps);
  std::vector<CardRecord> card;
  if (wholeCard(root, "Card/1.txt", &card).empty()) {
    race->dropped = static_cast<int64_t>(card[1].balance) - card.back().balance;
  }
  for (const std::string& reader : readers) {
    std::vector<std::string> lines = split(readFile(logOf(reader, root)), "\r\n");
    lines.pop_back();  // after the last CR LF
    for (const std::string& line : lines) {
      std::vector<std::string> fields = split(line, ",");
      if (fields.size() == 5) race->charged += std::stoll(fields[3]);
    }
  }
}
