// Helpers shared by the tests: building records, converting the Korean
// texts the tests are written in to the console's EUC-KR, scratch
// directories, network directories held open, and files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/card_transaction.h"
#include "core/records.h"
#include "tests/support/samples.h"

// The EUC-KR bytes of a UTF-8 text.
std::string euckr(const std::string& utf8);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the value goes.
class ScratchDir {
 public:
  // Under `base` when it is given.
  explicit ScratchDir(const char* base = nullptr);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Sets the process's local time zone (TZ) to `zone` while the value
// lives, and puts back what it was when it goes.
class InZone {
 public:
  explicit InZone(const char* zone);
  ~InZone();
  InZone(const InZone&) = delete;
  InZone& operator=(const InZone&) = delete;

 private:
  std::string saved_;
  bool hadZone_;
};

// A network directory held open, as every program of the network holds
// it: the core calls take dir() and the paths relative to it that the
// readers use ("Card/1.txt"); the test's own file calls, and the programs
// a test starts, take at("Card/1.txt"), the file's whole path. Closed when
// the value goes.
class NetworkDir {
 public:
  // Opens the directory at `root`, and names it by its real path (links
  // resolved, as a trace of a program in it names its files). Throws when
  // it cannot be opened.
  explicit NetworkDir(const std::string& root);
  ~NetworkDir();
  NetworkDir(const NetworkDir&) = delete;
  NetworkDir& operator=(const NetworkDir&) = delete;
  int dir() const { return dir_; }
  const std::string& root() const { return root_; }
  std::string at(const std::string& relative) const { return root_ + "/" + relative; }

 private:
  std::string root_;
  int dir_ = -1;
};

// Gives each test a fresh network directory holding Card/ and Reader_txt/,
// as a value: net() for the core calls, with the paths relative to it that
// the readers use; at() for the test's own file calls; root() where the
// readers are started. The test's working directory is never changed.
class InScratchNetwork : public ::testing::Test {
 protected:
  void SetUp() override;
  int net() const { return network_.dir(); }
  const std::string& root() const { return network_.root(); }
  std::string at(const std::string& relative) const { return network_.at(relative); }

 private:
  ScratchDir dir_;
  NetworkDir network_{dir_.path()};
};

// Which folders of a network directory resetNetwork makes anew.
enum class NetworkFolders {
  kCardAndLogs,  // Card/ and Reader_txt/
  kLogsOnly,     // Reader_txt/ alone: the cards stay
};

// Empties the network directory `network` as a network is when it is new:
// removes its Card/ and Reader_txt/ (or Reader_txt/ alone, as `which`
// says) with all they hold, and makes them again, empty. Fails naming the
// folder and the reason when one could not be removed or made.
[[nodiscard]] ::testing::AssertionResult resetNetwork(
    const std::string& network, NetworkFolders which = NetworkFolders::kCardAndLogs);

// The logs whose journals a reader reads when it holds a card: the
// network's, and `logPath` when it is another.
std::vector<std::string> logsWith(const std::string& logPath = "");

// Records a tap as a reader does in the network directory `dir`: holds its
// card, records the tap on it and in the log at `logPath`, lets go of the
// card and flushes the tap. Returns whether it was recorded.
bool recordOnCard(int dir, const TapEntry& entry, const char* logPath);

// Holds the card at `path` in the network directory `dir` as the next
// reader to tap it does (settling what is in flight on it), and lets go;
// fills `records` when it can be read.
LoadStatus holdAndLetGo(int dir, const char* path, CardRecord records[2]);

// A seed of the card-tail fuzz corpus: its file name, and its bytes, whose
// first byte says whether the rest is a whole card file (1) or only the
// tail a reader reads (0). Seeds named "valid_..." are readable cards.
struct CorpusSeed {
  std::string name;
  std::string bytes;
};
std::vector<CorpusSeed> cardTailSeeds();

// Writes a small network whose taps run across midnight, from 2026-03-06
// to 2026-03-07, into the network directory at `root` (Card/ and
// Reader_txt/ are made if missing), for the audit's days. By hand:
//   card 1, issued 06 22:00 with 10000: entry S1 06 23:50 (1050), exit S3
//     07 00:10 (200), transfer to B 07 00:10:10 (0), exit B 07 00:11:45
//     (300, for 95 s on board);
//   card 2, issued 06 20:00 with 3000: entry S5 06 21:00 (1050), a top-up
//     of 5000 logged 07 07:30 (its record dated 06 21:00), then an entry at
//     S2 07 07:45 that settles the open trip (1250);
//   card 3, issued 07 06:00 with 2000: entry S1 07 06:10 (1050);
//   and a line of S4 dated 06 23:00 (1050) that no card tells.
// Every fare is the rules' for some operating period of its reader.
// Day 06: 3 taps, revenue 3150, issued 13000, held 10900 (8950 + 1950), a
// difference of 1050 (the line with no record). Day 07: 5 taps, revenue
// 2800, top-ups 5000, issued 2000, held 15100 (8450 + 5700 + 950).
void writeMidnightNetwork(const std::string& root);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
