// The operators' card tool: what it issues, what it refuses, and how it
// shows a card.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include "bus/dispatch.h"
#include "bus/trip_state.h"
#include "core/intake.h"
#include "core/packed_time.h"
#include "subway/dispatch.h"
#include "subway/trip_state.h"
#include "tests/e2e/network.h"

namespace {

struct ToolRun {
  int status;
  std::string output;  // standard output and error together
};

ToolRun cardTool(const Network& network, const std::string& args) {
  std::string command = program("card_tool") + " --dir '" + network.root() + "' " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace

TEST(CardTool, IssuesACardEveryReaderTakesForANewRide) {
  Network network;
  ASSERT_EQ(cardTool(network, "issue 0042 5000").status, 0);
  CardRecord records[2];
  ASSERT_EQ(loadCardTail((network.root() + "/Card/0042.txt").c_str(), records),
            LoadStatus::kLoaded);
  EXPECT_STREQ(records[1].inOut, "OUT");
  EXPECT_EQ(records[1].balance, 5000);
  int64_t now = calendarNow();
  pinClock(now);
  for (const char* reader : {"S1", "S4", "B"}) {
    copyText(readerID, reader);
    bool subway = reader[0] == 'S';
    // The card is read the moment it is issued, inside the reader's period.
    CardData card =
        subway
            ? subway::deriveTripState(records[0], records[1], "Card/0042.txt", reader, now - 5, now)
            : bus::deriveTripState(records[0], records[1], "Card/0042.txt", reader, now - 5, now);
    EXPECT_EQ(card.lastIn + card.transferWindow + card.transfer, 0) << reader;
    TapResult tap = subway ? subway::chooseFare(card) : bus::chooseFare(card);
    EXPECT_EQ(tap.fare, 1050) << reader;
    EXPECT_STREQ(tap.entry.inOut, "IN") << reader;
  }
  pinClock(0);
}

TEST(CardTool, RefusesWhatItMustNotDo) {
  Network network;
  ASSERT_EQ(cardTool(network, "issue 7 100").status, 0);
  std::string issued = network.card("7");
  // Each refusal names what was wrong.
  const struct {
    const char* args;
    int status;
    const char* names;
  } refusals[] = {
      {"issue 7 999", 1, "exists already"},
      {"issue 12345678901 5", 2, "1 to 10 characters"},
      {"issue a/b 5", 2, "1 to 10 characters"},
      {"issue 'a\\b' 5", 2, "1 to 10 characters"},
      {"issue '' 5", 2, "1 to 10 characters"},
      {"issue .x 5", 2, "begin with '.'"},
      {"issue .. 5", 2, "begin with '.'"},
      {"issue 8 -1", 2, "balance"},
      {"issue 8 2147483648", 2, "balance"},
      {"issue 8 12x", 2, "balance"},
      {"issue 8", 2, "issue takes NUMBER and BALANCE"},
      {"show 12345678901", 2, "1 to 10 characters"},
      {"frobnicate", 2, "unknown command 'frobnicate'"},
      {"--frob show 7", 2, "unknown option '--frob'"},
      {"", 2, "no command"},
  };
  for (const auto& r : refusals) {
    ToolRun run = cardTool(network, r.args);
    EXPECT_EQ(run.status, r.status) << r.args << ": " << run.output;
    EXPECT_EQ(run.output.rfind("card_tool: ", 0), 0u) << r.args;
    EXPECT_NE(run.output.find(r.names), std::string::npos) << r.args << ": " << run.output;
  }
  EXPECT_EQ(network.card("7"), issued);
  EXPECT_FALSE(fileExists(network.root() + "/Card/8.txt"));
  EXPECT_FALSE(fileExists(network.root() + "/Card/.x.txt"));
  EXPECT_FALSE(fileExists(network.root() + "/Card/...txt"));
  // Help and version go to standard output and succeed.
  ToolRun version = cardTool(network, "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output.rfind("card_tool (fare readers) ", 0), 0u) << version.output;
  ToolRun help = cardTool(network, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("Usage: card_tool", 0), 0u) << help.output;
  EXPECT_EQ(cardTool(network, "issue 9 2147483647").status, 0);
  ASSERT_EQ(system(("rm -rf '" + network.root() + "/Card'").c_str()), 0);
  EXPECT_EQ(cardTool(network, "issue 10 5").status, 1);
}

TEST(CardTool, ShowsHistoryAndStateOrWhereACardBreaks) {
  Network network;
  network.writeCard("5",
                    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081530,SUBWAY,IN,8950,S1_3");
  ToolRun shown = cardTool(network, "show 5");
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.output,
            "Card 5 (Card/5.txt), 2 records\n\n"
            "     #  date and time        mode    dir      balance  tap id\n"
            "     1  2026-03-06 08:00:00  SUBWAY  OUT         9000  S2_4\n"
            "     2  2026-03-06 08:15:30  SUBWAY  IN          8950  S1_3\n\n"
            "In a trip: entered the subway at S1 on 2026-03-06 08:15:30 (tap S1_3).\n"
            "Balance: 8950\n");
  network.writeCard("6", "");
  EXPECT_EQ(cardTool(network, "show 6").output,
            "card_tool: Card/6.txt is empty: it is not a card the readers can read\n");
  network.writeCard("7",
                    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n\r\n20260306081530,BUS,IN,8950,B_3");
  ToolRun broken = cardTool(network, "show 7");
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.output,
            "card_tool: Card/7.txt: the readers refuse this card: line 2 is not a card record: "
            "\"\\x0d\"\n");
  EXPECT_EQ(cardTool(network, "show 8").status, 1);
  // Not a card at all, and nothing to wait on.
  ASSERT_EQ(mkfifo((network.root() + "/Card/9.txt").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((network.root() + "/Card/10.txt").c_str(), 0755), 0);
  EXPECT_EQ(cardTool(network, "show 9").status, 1);
  EXPECT_EQ(cardTool(network, "show 10").status, 1);
}

TEST(CardTool, ShowJudgesACardAsTheReadersDo) {
  Network network;
  int compared = 0;
  DIR* corpus = opendir(CARD_TAIL_CORPUS);
  ASSERT_NE(corpus, nullptr);
  while (dirent* seed = readdir(corpus)) {
    std::string bytes = readFile(std::string(CARD_TAIL_CORPUS) + "/" + seed->d_name);
    // The seeds whose first byte is 1 are whole card files.
    if (bytes.empty() || bytes[0] != 1) continue;
    network.writeCard("1", bytes.substr(1));
    CardRecord records[2];
    bool readable =
        loadCardTail((network.root() + "/Card/1.txt").c_str(), records) == LoadStatus::kLoaded;
    EXPECT_EQ(cardTool(network, "show 1").status, readable ? 0 : 1) << seed->d_name;
    compared++;
  }
  closedir(corpus);
  EXPECT_GT(compared, 20);
}
