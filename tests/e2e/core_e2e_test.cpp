// The real programs' console dialogue, their own banners and logs, and
// what they do with missing, refused and unreadable cards.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "core/tap_journal.h"
#include "tests/e2e/network.h"

namespace {

const std::string kS2 = "Subway Reader (Merrowick)";

std::string freshCard(int balance) {
  return cardLine("SUBWAY IN", 900, balance + 1050, "S4_1") + "\r\n" +
         cardLine("SUBWAY OUT", 300, balance, "S3_2");
}

std::vector<std::string> logsIn(const Network& network) {
  std::vector<std::string> names;
  DIR* dir = opendir((network.root() + "/Reader_txt").c_str());
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

// S2 run in `station`, its console and errors kept in `scratch`.
ProgramRun s2In(const std::string& station, const ScratchDir& scratch) {
  ProgramRun run;
  run.argv = {program("subway_reader_s2")};
  run.dir = station;
  run.environment = sharedEnvironment();
  run.clearMarker = "[clear]";
  run.console = scratch / "console.txt";
  run.errors = scratch / "errors.txt";
  return run;
}

// A network directory at `station` holding card 1 as `card`.
bool makeStation(const std::string& station, const std::string& card) {
  for (const char* folder : {"", "/Card", "/Reader_txt"}) {
    if (mkdir((station + folder).c_str(), 0755) != 0) return false;
  }
  writeFile(station + "/Card/1.txt", card);
  return true;
}

}  // namespace

TEST(ReaderConsole, InsistsOnACardItCanReadThenEndsWithItsInput) {
  Network network;
  std::string card = freshCard(5000);
  network.writeCard("1234", card);
  network.writeCard("bad", "20150303074002,SUBWAY,OUT,10000,S3_8\r\n");
  ReaderRun run =
      runToEnd(network, program("subway_reader_s2"), "9999\n12345678901 a/b\nbad\n   \n\n1234\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, prompt(kS2) + euckr("카드의 정보가 없습니다.\n") + prompt(kS2) +
                            euckr("카드 번호가 올바르지 않습니다.\n") + prompt(kS2) +
                            euckr("카드 번호가 올바르지 않습니다.\n") + prompt(kS2) +
                            euckr("카드 정보를 읽을 수 없습니다.\n") + prompt(kS2) +
                            charged(1050, 3950) + prompt(kS2));
  EXPECT_EQ(run.masked(network.card("1234")), card + "\r\n<now>,SUBWAY,IN,3950,S2_1");
  EXPECT_EQ(network.card("bad"), "20150303074002,SUBWAY,OUT,10000,S3_8\r\n");
  // The first tap creates the log with exactly one line.
  EXPECT_EQ(run.masked(network.log("Subway2.txt")), "<now>,SUBWAY,IN,1050,S2_1\r\n");
  EXPECT_FALSE(fileExists(network.root() + "/Card/9999.txt"));
}

TEST(ReaderConsole, SaysSoWhenATapCannotBeRecorded) {
  Network network;
  std::string rich = freshCard(5000), poor = freshCard(1000);
  network.writeCard("1", rich);
  network.writeCard("2", poor);
  rmdir((network.root() + "/Reader_txt").c_str());
  ReaderRun run = runToEnd(network, program("subway_reader_s2"), "1\n2\n");
  // The outcome is on the screen before the failure; a refusal writes
  // nothing, so it never notices the missing directory.
  EXPECT_EQ(run.output, prompt(kS2) + charged(1050, 3950) + euckr("기록에 실패했습니다.\n") +
                            prompt(kS2) + refused(1000) + prompt(kS2));
  EXPECT_EQ(network.card("1"), rich);
  EXPECT_EQ(network.card("2"), poor);
  // The operator was told at start.
  EXPECT_NE(run.errors.find("reader S2: warning: there is no Reader_txt/ directory in "),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(run.errors.find("no Card/"), std::string::npos) << run.errors;
  // And told why the tap failed.
  EXPECT_NE(run.errors.find("reader S2: warning: the tap on Card/1.txt could not be recorded: "
                            "Reader_txt/Subway2.txt.pending cannot be made: No such file or "
                            "directory"),
            std::string::npos)
      << run.errors;
}

TEST(ReaderConsole, FindsItsNetworkDirectoryWhereItWasStartedOnceItIsThere) {
  // S2 starts in a directory that holds no network yet (a file system not
  // mounted there yet). That directory is then moved away and a network
  // directory stands at its path, as a mount there shows one: S2's next tap
  // finds the card there, without a restart, and says where it records.
  ScratchDir scratch;
  const std::string station = scratch / "station";
  ASSERT_EQ(mkdir(station.c_str(), 0755), 0);
  ProgramRun run = s2In(station, scratch);
  int64_t from = getTime();
  Program s2 = startProgram(run);
  EXPECT_TRUE(waitUntil([&] { return readFile(run.console) == prompt(kS2); }, 30));
  ASSERT_EQ(rename(station.c_str(), (scratch / "before").c_str()), 0);
  for (const char* folder : {"", "/Card", "/Reader_txt", "/bin"}) {
    ASSERT_EQ(mkdir((station + folder).c_str(), 0755), 0) << folder;
  }
  ASSERT_EQ(rename((scratch / "before/bin/clear").c_str(), (station + "/bin/clear").c_str()), 0);
  std::string card = freshCard(5000);
  writeFile(station + "/Card/1.txt", card);
  typeInto(s2, "1\n");
  EXPECT_EQ(finishProgram(&s2), 0);
  int64_t to = getTime();
  std::string errors = readFile(run.errors);
  EXPECT_EQ(maskTimes(readFile(run.console), from, to),
            prompt(kS2) + charged(1050, 3950) + prompt(kS2))
      << errors;
  EXPECT_EQ(maskTimes(readFile(station + "/Card/1.txt"), from, to),
            card + "\r\n<now>,SUBWAY,IN,3950,S2_1");
  EXPECT_NE(errors.find("reader S2: warning: " + station +
                        " is another directory now (a file system mounted there, or mounted "
                        "again): the reader records there from this tap on"),
            std::string::npos)
      << errors;
}

TEST(ReaderConsole, StaysWithTheNetworkItRecordsInWhateverIsPutAtItsPath) {
  // S2 records in a network; then something else stands at the path it was
  // started in. While the network it holds is there, S2 stays with it (a
  // copy put at the path would split a card's taps across two places);
  // with the network held gone, it moves only to the same Card/ found again
  // (the same volume mounted again), never to a copy.
  const struct {
    const char* what;
    const char* change;  // run in the scratch folder
    bool recordsAtPath;  // else in the directory held, or nowhere
    bool heldKept;
  } cases[] = {
      {"a copy at the path, the network held still there", "mv station held && cp -a held station",
       false, true},
      {"a copy at the path, the network held removed",
       "mv station held && cp -a held station && rm -rf held/Card held/Reader_txt", false, false},
      {"the network's own folders now under the path",
       "mv station held && mkdir station && mv held/Card held/Reader_txt held/bin station/", true,
       false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    ScratchDir scratch;
    const std::string station = scratch / "station";
    std::string card = freshCard(5000);
    ASSERT_TRUE(makeStation(station, card));
    ProgramRun run = s2In(station, scratch);
    Program s2 = startProgram(run);
    ASSERT_TRUE(waitUntil([&] { return readFile(run.console) == prompt(kS2); }, 30));
    ASSERT_EQ(system(("cd " + scratch.path() + " && (" + row.change + ")").c_str()), 0);
    // An unknown card first: the reader looks for its network again.
    typeInto(s2, "9\n1\n");
    EXPECT_EQ(finishProgram(&s2), 0);
    std::string errors = readFile(run.errors);
    const std::string recorded = ",SUBWAY,IN,3950,S2_1";
    bool atPath = readFile(station + "/Card/1.txt").find(recorded) != std::string::npos;
    bool inHeld = readFile(scratch / "held/Card/1.txt").find(recorded) != std::string::npos;
    EXPECT_EQ(atPath, row.recordsAtPath) << errors;
    EXPECT_EQ(inHeld, !row.recordsAtPath && row.heldKept) << errors;
    EXPECT_EQ(errors.find("is another directory now") != std::string::npos, row.recordsAtPath)
        << errors;
    EXPECT_EQ(errors.find("holds another network now") != std::string::npos,
              !row.recordsAtPath && !row.heldKept)
        << errors;
  }
}

TEST(ReaderConsole, AStandardStreamClosedAtStartTakesNoFile) {
  // S2 started with its input, console or error stream closed: the first
  // file it opens would be given that number, and its console's text would
  // go into a journal, a log or a card. Each stream closed, S2 taps card 1
  // as it types (or ends at once without input), and the card, the log
  // and the journal hold only what a tap writes.
  for (int stream : {0, 1, 2}) {
    SCOPED_TRACE("descriptor " + std::to_string(stream) + " closed");
    ScratchDir scratch;
    const std::string station = scratch / "station";
    std::string card = freshCard(5000);
    ASSERT_TRUE(makeStation(station, card));
    ProgramRun run = s2In(station, scratch);
    run.closedStream = stream;
    // At the real pace: the fast clock's preloaded library opens its shared
    // memory before the program's first line, and would take the number.
    run.environment.erase(std::remove_if(run.environment.begin(), run.environment.end(),
                                         [](const std::string& entry) {
                                           return entry.rfind("FAKETIME", 0) == 0 ||
                                                  entry.rfind("LD_PRELOAD=", 0) == 0;
                                         }),
                          run.environment.end());
    Program s2 = startProgram(run);
    if (stream != 0) typeInto(s2, "1\n");
    EXPECT_EQ(finishProgram(&s2), 0);
    std::string after = readFile(station + "/Card/1.txt");
    std::string log = readFile(station + "/Reader_txt/Subway2.txt");
    if (stream == 0) {
      EXPECT_EQ(after, card);
      EXPECT_EQ(log, "");
    } else {
      ASSERT_EQ(after.compare(0, card.size(), card), 0) << after;
      EXPECT_EQ(after.size(), card.size() + 2 + 34) << after;
      EXPECT_EQ(after.substr(card.size() + 2 + 14), ",SUBWAY,IN,3950,S2_1") << after;
      EXPECT_EQ(log.size(), 36u) << log;
    }
    TapIntent intent;
    EXPECT_TRUE(
        stream == 0 ||
        (readWritersJournal(AT_FDCWD, station + "/Reader_txt/Subway2.txt.pending", &intent) &&
         intent.state == kIdle));
  }
}

TEST(ReaderConsole, AConsoleThatBlocksHoldsNoCard) {
  // S2's console stops (a terminal stopped with Ctrl-S, a pipe nobody
  // reads) as it shows a tap's fare, or its error stream does as it warns
  // of a card dated ahead of its clock: the tap is recorded and its card
  // let go before anything is said, so S3 taps the card meanwhile.
  const struct {
    const char* what;
    std::string card;
    bool errorsToConsole;
  } stalls[] = {
      {"the console", freshCard(5000), false},
      {"the error stream",
       cardLine("SUBWAY IN", 900, 6050, "S4_1") + "\r\n" +
           cardLine("SUBWAY OUT", -3600, 5000, "S3_2"),
       true},
  };
  for (const auto& stall : stalls) {
    Network network;
    network.writeCard("1", stall.card);
    // S3 begins its operating period first, so that S2's entry is no trip
    // left open from before it.
    Reader s3(network, program("subway_reader_s3"));
    waitForPeriods({&s3});
    Reader s2(network, program("subway_reader_s2"), prompt(kS2).size(), stall.errorsToConsole);
    s2.type("1\n");
    EXPECT_TRUE(waitUntil([&] { return network.card("1") != stall.card; }, 10))
        << "the tap was not recorded while " << stall.what << " was blocked";
    s3.type("1\n");
    EXPECT_EQ(s3.finish(), 0);
    EXPECT_EQ(s3.maskedOutput(), prompt("Subway Reader (Quillbay)") + charged(0, 3950) +
                                     prompt("Subway Reader (Quillbay)"))
        << stall.what;
    s2.unblockConsole();
    EXPECT_EQ(s2.finish(), 0);
    EXPECT_EQ(s3.masked(network.card("1")),
              stall.card + "\r\n<now>,SUBWAY,IN,3950,S2_1\r\n<now>,SUBWAY,OUT,3950,S3_1")
        << stall.what;
  }
}

class EveryReader : public ::testing::TestWithParam<std::array<const char*, 5>> {};

TEST_P(EveryReader, ShowsItsBannerAndWritesOnlyItsOwnLog) {
  auto [name, banner, id, mode, log] = GetParam();
  Network network;
  std::string card = freshCard(5000);
  network.writeCard("77", card);
  ReaderRun run = runToEnd(network, program(name), "77\n");
  EXPECT_EQ(run.output, prompt(banner) + charged(1050, 3950) + prompt(banner));
  EXPECT_EQ(run.errors, "");
  std::string newId = std::string(id) + "_1";
  EXPECT_EQ(run.masked(network.card("77")).substr(card.size()),
            "\r\n<now>," + std::string(mode) + ",IN,3950," + newId);
  // Its log, and beside it its journal, idle once the tap is recorded.
  std::vector<std::string> files = logsIn(network);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{log, std::string(log) + ".pending"}));
  TapIntent journal;
  ASSERT_TRUE(readWritersJournal(
      kHere, (network.root() + "/Reader_txt/" + log + ".pending").c_str(), &journal));
  EXPECT_EQ(journal.state, kIdle);
  EXPECT_EQ(run.masked(network.log(log)),
            "<now>," + std::string(mode) + ",IN,1050," + newId + "\r\n");
  // One copy of it runs on a network: a second would share its log and its
  // tap numbers, and could settle a tap the first is still recording.
  Reader first(network, program(name));
  ASSERT_TRUE(first.waitForPrompts(1));
  ReaderRun second = runToEnd(network, program(name), "77\n");
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(
      second.errors.find("another process writes Reader_txt/" + std::string(log) + ".pending"),
      std::string::npos)
      << second.errors;
  EXPECT_EQ(first.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, EveryReader,
    ::testing::Values(std::array<const char*, 5>{"subway_reader_s1", "Subway Reader (Tollvane)",
                                                 "S1", "SUBWAY", "Subway1.txt"},
                      std::array<const char*, 5>{"subway_reader_s2", "Subway Reader (Merrowick)",
                                                 "S2", "SUBWAY", "Subway2.txt"},
                      std::array<const char*, 5>{"subway_reader_s3", "Subway Reader (Quillbay)",
                                                 "S3", "SUBWAY", "Subway3.txt"},
                      std::array<const char*, 5>{"subway_reader_s4", "Subway Reader (Farnsett)",
                                                 "S4", "SUBWAY", "Subway4.txt"},
                      std::array<const char*, 5>{"subway_reader_s5", "Subway Reader (Doveholm)",
                                                 "S5", "SUBWAY", "Subway5.txt"},
                      std::array<const char*, 5>{"bus_reader", "Bus Redaer", "B", "BUS",
                                                 "Bus.txt"}),
    [](const auto& info) { return std::string(info.param[2]); });
