// The operators' tools: what the card tool issues, tops up and refuses, how
// it shows and lists cards and reads its command line, its audit of a
// simulated day (clean, with top-ups, and with each kind of fault put into
// it, one case a fault), its report's page as a browser shows it, and what
// the simulator refuses.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "bus/dispatch.h"
#include "bus/trip_state.h"
#include "core/card_file.h"
#include "core/card_transaction.h"
#include "core/packed_time.h"
#include "core/tap_journal.h"
#include "core/trip_facts.h"
#include "office/escape.h"
#include "office/next_tap.h"
#include "office/report.h"
#include "office/simulation.h"
#include "readers/network.h"
#include "subway/dispatch.h"
#include "subway/trip_state.h"
#include "tests/e2e/network.h"
#include "tests/support/programs.h"

namespace {

struct ToolRun {
  int status;
  std::string output;  // standard output and error together, or as `Collected` says
};

// What of a tool's two streams a run collects: both, in the order written,
// as a terminal shows them; its standard output alone, its errors dropped;
// or neither, both dropped.
enum class Collected { kOutputAndErrors, kOutput, kNothing };

// Runs `argv` (a program and its arguments) to its end and collects what it
// prints as `collected` says. It runs in `dir`, or, when none is given, in
// a directory of its own that holds nothing but its fake `clear`; with the
// test's time zone and clock; its console input `input`, then ended.
ToolRun runTool(const std::vector<std::string>& argv,
                Collected collected = Collected::kOutputAndErrors, const std::string& dir = "",
                const std::string& input = "") {
  ScratchDir own;
  ProgramRun run;
  run.argv = argv;
  run.dir = dir.empty() ? own.path() : dir;
  run.environment = sharedEnvironment();
  if (collected != Collected::kNothing) run.console = own / "output.txt";
  // The error stream is the console (or nowhere with it) unless dropped.
  if (collected == Collected::kOutput) run.errors = "/dev/null";
  Program program = startProgram(run);
  typeInto(program, input);
  int status = finishProgram(&program);
  // A run that hangs fails, as the test would waiting on it.
  EXPECT_NE(status, -1) << argv[0] << " did not start, or did not end and was killed";
  return {status, run.console.empty() ? "" : readFile(run.console)};
}

// `argv` and after it the words of `args`, split as a shell splits a
// command line of plain words and single-quoted parts; a part in single
// quotes is kept byte for byte (spaces, tabs, any byte but the quote).
// Whatever else a shell would read otherwise (double quotes, backslashes,
// '$', redirections) fails the test: a caller passes such bytes quoted.
std::vector<std::string> withWords(std::vector<std::string> argv, const std::string& args) {
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < args.size(); i++) {
    char c = args[i];
    if (c == ' ') {
      if (inWord) argv.push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '\'') {
      size_t end = args.find('\'', i + 1);
      if (end == std::string::npos) {
        ADD_FAILURE() << "an unended quote in: " << args;
        break;
      }
      word += args.substr(i + 1, end - i - 1);
      inWord = true;
      i = end;
    } else if (strchr("\"\\$`|&;<>()*?[]{}~#!\t\n", c) != nullptr) {
      ADD_FAILURE() << "'" << c << "' would be read by a shell, unquoted, in: " << args;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) argv.push_back(word);
  return argv;
}

ToolRun cardTool(const Network& network, const std::string& args) {
  return runTool(withWords({program("card_tool"), "--dir", network.root()}, args));
}

// The exit statuses a help prints after "Exit status:", each with its
// meaning, its lines joined.
std::map<int, std::string> exitStatuses(const std::string& help) {
  std::map<int, std::string> statuses;
  std::istringstream lines(help.substr(std::min(help.find("\nExit status:\n"), help.size())));
  std::string line;
  int status = -1;
  while (std::getline(lines, line)) {
    if (line.size() > 5 && line.compare(0, 2, "  ") == 0 && isdigit(line[2]) && line[3] == ' ') {
      status = line[2] - '0';
      statuses[status] = line.substr(5);
    } else if (status >= 0 && line.rfind("     ", 0) == 0) {
      statuses[status] += " " + line.substr(5);
    }
  }
  return statuses;
}

// Runs the card tool as cardTool does, its standard output on a full disk
// (/dev/full); collects its error stream.
ToolRun onFullDisk(const Network& network, const std::string& args) {
  ScratchDir own;
  ProgramRun run;
  run.argv = withWords({program("card_tool"), "--dir", network.root()}, args);
  run.dir = own.path();
  run.environment = sharedEnvironment();
  run.console = "/dev/full";
  run.errors = own / "errors.txt";
  Program program = startProgram(run);
  int status = finishProgram(&program);
  EXPECT_NE(status, -1) << args << " did not start, or did not end and was killed";
  return {status, readFile(run.errors)};
}

}  // namespace

TEST(CardTool, IssuesACardEveryReaderTakesForANewRide) {
  Network network;
  ASSERT_EQ(cardTool(network, "issue 0042 5000").status, 0);
  CardRecord records[2];
  ASSERT_EQ(loadCardTail(kHere, (network.root() + "/Card/0042.txt").c_str(), records),
            LoadStatus::kLoaded);
  EXPECT_STREQ(records[1].inOut, "OUT");
  EXPECT_EQ(records[1].balance, 5000);
  int64_t now = calendarNow();
  for (const char* reader : {"S1", "S4", "B"}) {
    bool subway = reader[0] == 'S';
    // The card is read the moment it is issued, inside the reader's period.
    CardData card =
        subway
            ? subway::deriveTripState(records[0], records[1], "Card/0042.txt", reader, now - 5, now)
            : bus::deriveTripState(records[0], records[1], "Card/0042.txt", reader, now - 5, now);
    EXPECT_EQ(card.lastIn + card.transferWindow + card.transfer, 0) << reader;
    TapStamp stamp{reader, 1, timetolong(now), now};
    TapResult tap = subway ? subway::chooseFare(card, stamp) : bus::chooseFare(card, stamp);
    EXPECT_EQ(tap.fare, 1050) << reader;
    EXPECT_STREQ(tap.entry.inOut, "IN") << reader;
  }
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
      {"issue 8 12x", 2, "balance is a whole number from 0 to 2147483647, not '12x'"},
      {"issue 8", 2, "issue takes NUMBER and BALANCE"},
      {"issue 1,2 5", 2, "no ','"},
      {"issue 'a\tb' 5", 2, "1 to 10 characters"},
      {"issue 'a\001' 5", 2, "printable ASCII"},
      {"show 12345678901", 2, "1 to 10 characters"},
      {"show 8", 1, "there is no card file Card/8.txt"},
      {"frobnicate", 2, "unknown command 'frobnicate'"},
      {"--frob show 7", 2, "unknown option '--frob'"},
      {"", 2, "no command"},
      // One fault, one status, from every command: DIR is no network
      // directory (the tool's own scratch directory, ".") or is not there.
      {"--dir . issue 8 5", 3, ". is not a network directory: it needs Card/ and Reader_txt/"},
      {"--dir . topup 7 5", 3, ". is not a network directory: it needs Card/ and Reader_txt/"},
      {"--dir . show 7", 3, ". is not a network directory: it needs Card/ and Reader_txt/"},
      {"--dir . list", 3, ". is not a network directory: it needs Card/ and Reader_txt/"},
      {"--dir . audit", 3, ". is not a network directory: it needs Card/ and Reader_txt/"},
      {"--dir nowhere issue 8 5", 3, "nowhere: open: No such file or directory"},
      {"--dir nowhere topup 7 5", 3, "nowhere: open: No such file or directory"},
      {"--dir nowhere show 7", 3, "nowhere: open: No such file or directory"},
      {"--dir nowhere list", 3, "nowhere: open: No such file or directory"},
      {"--dir nowhere audit", 3, "nowhere: open: No such file or directory"},
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
  // A network directory without its Card/ is none, to every command alike.
  ASSERT_EQ(system(("rm -rf '" + network.root() + "/Card'").c_str()), 0);
  for (const char* args : {"issue 10 5", "topup 9 5", "show 9", "list", "audit"}) {
    ToolRun run = cardTool(network, args);
    EXPECT_EQ(run.status, 3) << args << ": " << run.output;
    EXPECT_EQ(run.output, "card_tool: " + network.root() +
                              " is not a network directory: it needs Card/ and Reader_txt/\n")
        << args;
  }
}

TEST(CardTool, ShowsHistoryAndStateOrWhereACardBreaks) {
  Network network;
  network.writeCard("5",
                    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081530,SUBWAY,IN,8950,S1_3");
  ToolRun shown = cardTool(network, "show 5");
  EXPECT_EQ(shown.status, 0);
  // Entered long ago: every reader has begun a new period since, and the
  // next tap settles the trip left open.
  EXPECT_EQ(shown.output,
            "Card 5 (Card/5.txt), 2 records\n\n"
            "     #  date and time        mode    dir      balance  tap id          change  note\n"
            "     1  2026-03-06 08:00:00  SUBWAY  OUT         9000  S2_4\n"
            "     2  2026-03-06 08:15:30  SUBWAY  IN          8950  S1_3               -50\n\n"
            "In a trip: entered the subway at S1 on 2026-03-06 08:15:30 (tap S1_3).\n"
            "Next tap, now that every running reader's operating period began after the entry "
            "(all did by 2026-03-06 08:18:31):\n"
            "  at every station: an entry that settles the open trip for 1250 and begins a new "
            "trip\n"
            "  on the bus: a boarding that settles the open trip for 1250 and begins a new ride\n"
            "Balance: 8950\n");
  // Issued, topped up (a line of the office's log tells it), a new ride,
  // then money that no office line tells.
  network.writeCard("16",
                    "20260306080000,SUBWAY,OUT,100,ISSUE_1\r\n20260306080000,SUBWAY,OUT,100,ISSUE_2"
                    "\r\n20260306080000,SUBWAY,OUT,5100,ISSUE_2\r\n20260306090000,SUBWAY,IN,4050,"
                    "S2_1\r\n20260306090000,SUBWAY,IN,4550,S2_1");
  // Topped up in a trip begun by a transfer: the office repeats the bus
  // exit and the entry after it, both with the new balance.
  network.writeCard("15",
                    "20260306080000,SUBWAY,OUT,2000,ISSUE_1\r\n20260306080000,SUBWAY,OUT,2000,"
                    "ISSUE_2\r\n20260306081000,BUS,IN,950,B_3\r\n20260306081520,BUS,OUT,950,B_4"
                    "\r\n20260306081530,SUBWAY,IN,950,S1_3\r\n20260306081520,BUS,OUT,5950,B_4\r\n"
                    "20260306081530,SUBWAY,IN,5950,S1_3");
  writeFile(network.root() + "/" + kTopUpLog,
            "20260306083000,TOPUP,16,5000,5100\r\n20260306083100,TOPUP,15,5000,5950\r\n");
  EXPECT_EQ(
      cardTool(network, "show 16").output,
      "Card 16 (Card/16.txt), 5 records\n\n"
      "     #  date and time        mode    dir      balance  tap id          change  note\n"
      "     1  2026-03-06 08:00:00  SUBWAY  OUT          100  ISSUE_1                 issue\n"
      "     2  2026-03-06 08:00:00  SUBWAY  OUT          100  ISSUE_2              0  issue\n"
      "     3  2026-03-06 08:00:00  SUBWAY  OUT         5100  ISSUE_2          +5000  office: "
      "top-up +5000 (Reader_txt/Topup.txt:1)\n"
      "     4  2026-03-06 09:00:00  SUBWAY  IN          4050  S2_1             -1050\n"
      "     5  2026-03-06 09:00:00  SUBWAY  IN          4550  S2_1              +500  balance "
      "changed with no office line\n\n"
      "In a trip: entered the subway at S2 on 2026-03-06 09:00:00 (tap S2_1).\n"
      "Next tap, now that every running reader's operating period began after the entry "
      "(all did by 2026-03-06 09:03:01):\n"
      "  at every station: an entry that settles the open trip for 1250 and begins a new "
      "trip\n"
      "  on the bus: a boarding that settles the open trip for 1250 and begins a new ride\n"
      "Balance: 4550\n");
  EXPECT_EQ(cardTool(network, "show 16 --format csv").output,
            "line,time,mode,direction,balance,tap_id,change,office,office_line,note\n"
            "1,2026-03-06T08:00:00,SUBWAY,OUT,100,ISSUE_1,,issue,,issue\n"
            "2,2026-03-06T08:00:00,SUBWAY,OUT,100,ISSUE_2,0,issue,,issue\n"
            "3,2026-03-06T08:00:00,SUBWAY,OUT,5100,ISSUE_2,5000,top-up,1,office: top-up +5000 "
            "(Reader_txt/Topup.txt:1)\n"
            "4,2026-03-06T09:00:00,SUBWAY,IN,4050,S2_1,-1050,,,\n"
            "5,2026-03-06T09:00:00,SUBWAY,IN,4550,S2_1,500,no_office_line,,balance changed with "
            "no office line\n");
  ToolRun json = cardTool(network, "show 15 --format=json");
  EXPECT_EQ(json.status, 0);
  // The office's first of two records repeats one older than the record
  // before it: the audit judges no clock by it.
  std::string anomalies = cardTool(network, "audit --format csv --anomalies").output;
  EXPECT_EQ(anomalies.find("clock_ahead"), std::string::npos) << anomalies;
  nlohmann::json card = nlohmann::json::parse(json.output, nullptr, false);
  ASSERT_FALSE(card.is_discarded()) << json.output;
  EXPECT_EQ(card["card"], "15");
  EXPECT_EQ(card["path"], "Card/15.txt");
  EXPECT_EQ(card["balance"], 5950);
  const nlohmann::json& state = card["state"];
  EXPECT_EQ(state["in_trip"], true);
  EXPECT_EQ(state["entry"], nlohmann::json::parse(R"({"time": "2026-03-06T08:15:30",
            "mode": "SUBWAY", "reader": "S1", "tap_id": "S1_3", "by_transfer": true})"));
  EXPECT_EQ(state["summary"],
            "In a trip: entered the subway at S1 on 2026-03-06 08:15:30 (tap S1_3), by transfer "
            "from the bus.");
  EXPECT_EQ(state["next_tap"],
            "Next tap, now that every running reader's operating period began after the entry "
            "(all did by 2026-03-06 08:18:31): at every station: an entry that settles the open "
            "trip for 1650 and begins a new trip; on the bus: a boarding that settles the open "
            "trip for 1650 and begins a new ride.");
  ASSERT_EQ(state["cases"].size(), 1u);
  EXPECT_EQ(state["cases"][0]["when"], "period_after_entry");
  EXPECT_EQ(state["cases"][0]["time"], "2026-03-06T08:18:31");
  ASSERT_EQ(state["cases"][0]["readers"].size(), 6u);
  for (const nlohmann::json& reader : state["cases"][0]["readers"]) {
    EXPECT_EQ(reader["outcome"], "accepted") << reader;
    EXPECT_EQ(reader["kind"], "settlement") << reader;
    EXPECT_EQ(reader["fare"], kOpenBusToSubwayFare) << reader;
    EXPECT_EQ(reader["direction"], "IN") << reader;
  }
  const nlohmann::json& records = card["records"];
  ASSERT_EQ(records.size(), 7u);
  EXPECT_EQ(records[0]["office"], "issue");
  EXPECT_EQ(records[0]["change"], nullptr);
  EXPECT_EQ(records[2]["office"], nullptr);
  EXPECT_EQ(records[2]["change"], -1050);
  EXPECT_EQ(records[2]["time"], "2026-03-06T08:10:00");
  EXPECT_EQ(records[2]["tap_id"], "B_3");
  for (size_t i : {5u, 6u}) {
    EXPECT_EQ(records[i]["office"], "top-up") << i;
    EXPECT_EQ(records[i]["office_line"], 2) << i;
  }
  EXPECT_EQ(records[5]["change"], 5000);
  EXPECT_EQ(records[5]["note"],
            "office: top-up +5000 (Reader_txt/Topup.txt:2), first of two records");
  EXPECT_EQ(records[6]["direction"], "IN");
  EXPECT_EQ(records[6]["change"], 0);
  network.writeCard("6", "");
  EXPECT_EQ(cardTool(network, "show 6").output,
            "card_tool: Card/6.txt: the readers refuse this card: a card needs at least two "
            "records\n");
  network.writeCard("7",
                    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n\r\n20260306081530,BUS,IN,8950,B_3");
  ToolRun broken = cardTool(network, "show 7");
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.output,
            "card_tool: Card/7.txt: the readers refuse this card: line 2 is not a card record: "
            "\"\\x0d\"\n");
  // So it is in every format, and nothing else is printed.
  for (const char* format : {"json", "csv", "text"}) {
    ToolRun refused = cardTool(network, std::string("show 7 --format ") + format);
    EXPECT_EQ(refused.status, 1) << format;
    EXPECT_EQ(refused.output, broken.output) << format;
  }
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
  for (const CorpusSeed& seed : cardTailSeeds()) {
    // The seeds whose first byte is 1 are whole card files.
    if (seed.bytes.empty() || seed.bytes[0] != 1) continue;
    network.writeCard("1", seed.bytes.substr(1));
    CardRecord records[2];
    bool readable = loadCardTail(kHere, (network.root() + "/Card/1.txt").c_str(), records) ==
                    LoadStatus::kLoaded;
    EXPECT_EQ(cardTool(network, "show 1").status, readable ? 0 : 1) << seed.name;
    compared++;
  }
  EXPECT_GT(compared, 20);
  // What the next tap does is the readers' own choice, in the circumstances
  // that change it: the transfer window of an exit and after it; at a
  // reader whose period began before an open entry and after it.
  const int64_t entered = makeTime(20260306081530);
  const struct {
    CardRecord older, latest;
    int64_t age;  // seconds from the latest record to when show asks
    std::vector<std::string> first, then;
  } cases[] = {
      {record(20260306081030, "BUS", "IN", 2150, "B_3"),
       record(20260306081530, "BUS", "OUT", 1100, "B_4"),
       5,
       {"Next tap, up to 2026-03-06 08:15:45 (within 15 s of leaving the bus):",
        "at every station: a transfer, an entry, free",
        "on the bus: a new ride, a boarding that charges 1050"},
       {"From 2026-03-06 08:15:46 on:",
        "at every station: refused: a new ride, an entry that charges 1050, needs a balance of "
        "1250"}},
      {record(20260306080000, "SUBWAY", "OUT", 2350, "S2_4"),
       record(20260306081530, "SUBWAY", "IN", 1300, "S3_3"),
       60,
       {"Next tap, at a reader whose operating period began before the entry:",
        "at S1 or S5: an exit that charges 200", "at S2, S3 or S4: an exit, free",
        "on the bus: a boarding that settles the open trip for 1250 and begins a new ride"},
       {"At a reader whose operating period began after the entry (every running reader's did "
        "by 2026-03-06 08:18:31):",
        "at every station: refused: an entry that settles the open trip for 1250 and begins a "
        "new trip, needs a balance of 1450"}},
      {record(20260306081520, "SUBWAY", "OUT", 9000, "S3_4"),
       record(20260306081530, "BUS", "IN", 9000, "B_3"),
       95,
       {"Next tap, at a reader whose operating period began before the entry:",
        "at every station: an entry that settles the open trip for 1750 and begins a new trip",
        "on the bus: an exit that charges 100 for each whole 30 s since the boarding, at most "
        "700 (300 if tapped now)"},
       {"At a reader whose operating period began after the entry (every running reader's did "
        "by 2026-03-06 08:18:31):",
        "on the bus: a boarding that settles the open trip for 1750 and begins a new ride"}},
  };
  for (const auto& c : cases) {
    NextTap next = nextTap(c.older, c.latest, "Card/1.txt", entered + c.age);
    ASSERT_EQ(next.casesUsed, 2) << c.first[0];
    EXPECT_EQ(caseLines(next, 0), c.first);
    EXPECT_EQ(caseLines(next, 1), c.then);
  }
}

namespace {

// A simulated day on 40 cards, in the network directory.
void simulate(const Network& network) {
  SimulationPlan plan;
  plan.cards = 40;
  plan.taps = 1200;
  plan.seed = 11;
  SimulationResult result;
  std::string problem;
  ASSERT_TRUE(simulateDay(network.root(), plan, &result, &problem)) << problem;
}

nlohmann::json auditJson(const Network& network, int* status) {
  ToolRun run = cardTool(network, "audit --format json");
  *status = run.status;
  return nlohmann::json::parse(run.output, nullptr, false);
}

// The lines of a file, split at CR LF.
std::vector<std::string> linesOf(const std::string& bytes) {
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    size_t end = bytes.find("\r\n", start);
    lines.push_back(bytes.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return lines;
    start = end + 2;
  }
}

std::string joined(const std::vector<std::string>& lines, const char* separator) {
  std::string bytes;
  for (size_t i = 0; i < lines.size(); i++) bytes += (i ? separator : "") + lines[i];
  return bytes;
}

// How many lines a log has (each ends in CR LF), or a card (the last
// without).
int64_t logLines(const std::string& path) {
  return static_cast<int64_t>(linesOf(readFile(path)).size()) - 1;
}
int64_t cardLines(const std::string& path) {
  return static_cast<int64_t>(linesOf(readFile(path)).size());
}

// The rows of CSV text, each a list of its fields, quotes undone.
std::vector<std::vector<std::string>> csvRows(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      rows.back().back() += '"';
      i++;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ',') {
      rows.back().emplace_back();
    } else if (!quoted && c == '\n') {
      rows.emplace_back(1);
    } else {
      rows.back().back() += c;
    }
  }
  if (rows.back() == std::vector<std::string>(1)) rows.pop_back();
  return rows;
}

}  // namespace

TEST(CardTool, AuditOfASimulatedDayMatchesEveryTapAndTotalsTheLogs) {
  Network network;
  simulate(network);
  int status = 0;
  nlohmann::json report = auditJson(network, &status);
  ASSERT_FALSE(report.is_discarded());
  EXPECT_EQ(status, 0) << report["anomalies"].dump();
  EXPECT_EQ(report["anomalies"].size(), 0u);
  // The totals are what the logs charge, reader by reader.
  int64_t taps = 0, revenue = 0;
  for (const ReaderConfig& reader : kNetworkReaders) {
    int64_t readerTaps = 0, readerRevenue = 0;
    for (const std::string& line : linesOf(readFile(network.root() + "/" + logPathOf(reader)))) {
      if (line.empty()) continue;
      readerTaps++;
      readerRevenue += std::stoll(line.substr(line.find(',', line.find(',', 15) + 1) + 1));
    }
    EXPECT_EQ(report["readers"][reader.readerId]["taps"], readerTaps) << reader.readerId;
    EXPECT_EQ(report["readers"][reader.readerId]["revenue"], readerRevenue) << reader.readerId;
    taps += readerTaps;
    revenue += readerRevenue;
  }
  EXPECT_GT(taps, 1000);
  EXPECT_EQ(report["total_taps"], taps);
  EXPECT_EQ(report["total_revenue"], revenue);
  // Every tap is what its reader's rules give, or one the logs cannot place
  // in a period that decides it; none is of another reader.
  const nlohmann::json& fares = report["fares"];
  EXPECT_EQ(fares["differs"], 0) << fares.dump();
  EXPECT_EQ(fares["undecided"], 0) << fares.dump();
  EXPECT_EQ(fares["agrees"].get<int64_t>() + fares["unverifiable"].get<int64_t>(), taps)
      << fares.dump();
  std::string text = cardTool(network, "audit").output;
  size_t said = text.find("\nFares decided again by the readers' rules: ");
  EXPECT_NE(said, std::string::npos) << text;
  EXPECT_NE(text.find(" as recorded, 0 otherwise", said), std::string::npos) << text;
  // The CSV rows add up to the same; the database holds every line.
  // Each row names the days the report covers.
  std::string csv = cardTool(network, "audit --format csv").output;
  int64_t csvRevenue = 0;
  for (const std::vector<std::string>& row : csvRows(csv)) {
    EXPECT_EQ(row.size(), 6u) << joined(row, ",");
    if (row[0] == "network") csvRevenue += std::stoll(row[3]);
    if (row[0] != "reader") {
      EXPECT_EQ(row[4] + " " + row[5], "2026-03-06 2026-03-06");
    }
  }
  EXPECT_EQ(csvRevenue, revenue) << csv;
  // So do the hours, reader by reader, each with a row for every hour of
  // the day (the simulated day ends before midnight).
  std::map<std::string, int64_t> hourly;
  std::vector<std::vector<std::string>> hours =
      csvRows(cardTool(network, "audit --format csv --hours").output);
  ASSERT_EQ(hours.size(), 1 + 24 * 7u);
  EXPECT_EQ(hours[0], (std::vector<std::string>{"reader", "date", "hour", "taps", "revenue"}));
  for (size_t i = 1; i < hours.size(); i++) {
    EXPECT_EQ(hours[i][1], "2026-03-06") << "row " << i;
    EXPECT_EQ(hours[i][2], std::to_string((i - 1) % 24)) << "row " << i;
    hourly[hours[i][0]] += std::stoll(hours[i][4]);
  }
  for (const ReaderConfig& reader : kNetworkReaders) {
    EXPECT_EQ(hourly[reader.readerId], report["readers"][reader.readerId]["revenue"])
        << reader.readerId;
  }
  EXPECT_EQ(hourly["network"], revenue);
  // The money on the cards reconciles: what they were issued with, less
  // what the logs charged, is what they hold, and what the list adds up.
  EXPECT_EQ(report["days"]["from"], "2026-03-06");
  EXPECT_EQ(report["days"]["to"], "2026-03-06");
  ASSERT_EQ(report["held"].size(), 1u) << report["held"].dump();
  const nlohmann::json& day = report["held"][0];
  EXPECT_EQ(day["held_before"], 0);
  EXPECT_EQ(day["revenue"], revenue);
  EXPECT_EQ(day["difference"], 0) << day.dump();
  nlohmann::json listed = nlohmann::json::parse(cardTool(network, "list --format json").output);
  EXPECT_EQ(listed["held"], day["held"]);
  std::string db = network.root() + "/audit.db";
  // A file that is no audit's database is never replaced, nor one that
  // stands where the database is built; an audit's own is.
  for (const std::string& other : {db, db + ".building"}) {
    writeFile(other, "the operator's notes\n");
    ToolRun kept = cardTool(network, "audit --sqlite " + db);
    EXPECT_EQ(kept.status, 4) << other;
    EXPECT_NE(kept.output.find(other + " exists and is not a database an audit wrote"),
              std::string::npos)
        << kept.output;
    EXPECT_EQ(readFile(other), "the operator's notes\n");
    ASSERT_EQ(unlink(other.c_str()), 0);
  }
  ASSERT_EQ(cardTool(network, "audit --sqlite " + db).status, 0);
  ASSERT_EQ(cardTool(network, "audit --sqlite " + db).status, 0);
  sqlite3* sql = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &sql), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(sql,
                               "select (select sum(fare) from log_lines), (select count(*) from "
                               "records where matched), (select count(*) from cards), (select "
                               "count(*) from records where rules = 'agrees'), (select count(*) "
                               "from records where rules = 'unverifiable')",
                               -1, &query, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int64(query, 0), revenue);
  EXPECT_EQ(sqlite3_column_int64(query, 1), taps);
  EXPECT_EQ(sqlite3_column_int64(query, 2), 40);
  EXPECT_EQ(sqlite3_column_int64(query, 3), fares["agrees"].get<int64_t>());
  EXPECT_EQ(sqlite3_column_int64(query, 4), fares["unverifiable"].get<int64_t>());
  sqlite3_finalize(query);
  // Cards and records are told by their number, their files apart.
  ASSERT_EQ(sqlite3_prepare_v2(sql,
                               "select (select count(*) from cards where card = '7' and path = "
                               "'Card/7.txt'), (select count(*) from cards where path != 'Card/' "
                               "|| card || '.txt'), (select count(*) from records where path != "
                               "'Card/' || card || '.txt'), (select count(*) from records where "
                               "card = '7')",
                               -1, &query, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int64(query, 0), 1);
  EXPECT_EQ(sqlite3_column_int64(query, 1), 0);
  EXPECT_EQ(sqlite3_column_int64(query, 2), 0);
  EXPECT_EQ(sqlite3_column_int64(query, 3), cardLines(network.root() + "/Card/7.txt") - 2);
  sqlite3_finalize(query);
  sqlite3_close(sql);
}

namespace {

// An anomaly the audit must report: its kind, its file (any file under it
// when the name ends in '/'), its line (any line when -1), and what its
// detail must say beside the line it quotes (the other file to look in).
struct Expected {
  std::string kind, file;
  int64_t line;
  std::string says = "";
};

// Appends a tap at `time` that took `fare` to card `number` (after its last
// record) and its line to the log of reader `log`, as a reader would write
// them; returns the card's line that holds it.
int64_t appendTap(const std::string& root, int number, const std::string& time,
                  const std::string& modeAndDirection, int fare, const std::string& id,
                  const std::string& log) {
  std::string card = root + "/Card/" + std::to_string(number) + ".txt";
  std::string last = linesOf(readFile(card)).back();
  int64_t balance = std::stoll(last.substr(last.find(',', last.find(',', 15) + 1) + 1));
  writeFile(card, readFile(card) + "\r\n" + time + "," + modeAndDirection + "," +
                      std::to_string(balance - fare) + "," + id);
  std::string logPath = root + "/Reader_txt/" + log;
  writeFile(logPath, readFile(logPath) + time + "," + modeAndDirection + "," +
                         std::to_string(fare) + "," + id + "\r\n");
  return cardLines(card);
}

// Loads `amount` onto card `number` at packed time `time` as the office's
// top-up does: the card's latest record again with its balance raised, and
// a line in the top-up log; either may be left out. Returns the card's line
// that holds the record.
// Another `kind` of change takes `amount` off instead (a close or a
// replacement, to card `detail`, takes the whole balance).
int64_t topUp(const std::string& root, int number, int32_t amount, int64_t time,
              bool withRecord = true, bool withLine = true, OfficeKind kind = OfficeKind::kTopUp,
              const char* detail = "") {
  std::string card = root + "/Card/" + std::to_string(number) + ".txt";
  std::string last = linesOf(readFile(card)).back();
  CardRecord latest;
  EXPECT_TRUE(parseCardLine(last.data(), last.size(), true, &latest)) << last;
  bool whole = kind == OfficeKind::kClose || kind == OfficeKind::kReplace;
  if (whole) amount = latest.balance;
  TopUpLine line{
      time, {}, amount, latest.balance + (kind == OfficeKind::kTopUp ? amount : -amount)};
  line.kind = kind;
  copyText(line.detail, detail);
  copyText(line.number, std::to_string(number).c_str());
  if (withRecord) writeFile(card, readFile(card) + formatTopUpRecord(latest, line.balance));
  std::string log = root + "/" + kTopUpLog;
  if (withLine) writeFile(log, (fileExists(log) ? readFile(log) : "") + formatTopUpLine(line));
  return cardLines(card);
}

// What is wrong between the anomalies reported and those expected: each
// expected one must be reported, and nothing else.
std::string unexpected(const nlohmann::json& anomalies, std::vector<Expected> expected) {
  std::string wrong;
  for (const nlohmann::json& a : anomalies) {
    auto found = std::find_if(expected.begin(), expected.end(), [&](const Expected& e) {
      std::string file = a["file"];
      bool fileFits = e.file.back() == '/' ? file.rfind(e.file, 0) == 0 : file == e.file;
      std::string detail = a["detail"];
      return a["kind"] == e.kind && fileFits && (e.line < 0 || a["line"] == e.line) &&
             detail.find(e.says) != std::string::npos;
    });
    if (found == expected.end()) {
      wrong += " extra " + a.dump();
    } else {
      expected.erase(found);
    }
  }
  for (const Expected& e : expected) {
    wrong += " missing " + e.kind + " " + e.file + ":" + std::to_string(e.line) + " saying '" +
             e.says + "'";
  }
  return wrong;
}

// The anomalies whose detail does not quote the line they are about (the
// line before it, for a card whose last two lines the readers refuse), as
// the audit shows lines.
std::string unquoted(const std::string& root, const nlohmann::json& anomalies) {
  std::string wrong;
  std::map<std::string, std::vector<std::string>> linesOfFile;  // each file read once
  for (const nlohmann::json& a : anomalies) {
    int64_t line = a["line"];
    if (line == 0) continue;
    std::string file = a["file"];
    auto read = linesOfFile.find(file);
    if (read == linesOfFile.end()) {
      read = linesOfFile.emplace(file, linesOf(readFile(root + "/" + file))).first;
    }
    const std::vector<std::string>& lines = read->second;
    std::string detail = a["detail"];
    bool quoted = detail.find(quotedLine(lines.at(line - 1))) != std::string::npos ||
                  (a["kind"] == "unreadable_card" &&
                   detail.find(quotedLine(lines.at(line - 2))) != std::string::npos);
    if (!quoted) wrong += " " + a.dump();
  }
  return wrong;
}

}  // namespace

namespace {

// A fault put into a simulated day: what it is, what the audit must find,
// and whether the totals, which are what the logs charge, stay as they were.
struct Fault {
  const char* what;
  std::function<std::vector<Expected>(const std::string& root)> fault;
  bool sameTotals;
  // The fault is made after an audit with the checkpoint kCheckpointName,
  // and audited on from it.
  bool afterCheckpoint = false;
};

// Where a fault made after an audit with a checkpoint keeps it, in the
// network directory.
constexpr char kCheckpointName[] = "audit.checkpoint";

// Audits the network at `root` with the checkpoint kCheckpointName, as
// the first audit of a fault made after one.
void auditWithCheckpoint(const std::string& root) {
  ToolRun run = runTool(
      {program("card_tool"), "--dir", root, "audit", "--checkpoint", root + "/" + kCheckpointName});
  EXPECT_EQ(run.status, 0) << run.output;
}

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.what;
}

// The name of a fault's case: its words run together, each capitalised,
// with only letters and digits.
std::string caseName(const ::testing::TestParamInfo<Fault>& info) {
  std::string name;
  bool wordStarts = true;
  for (const char* c = info.param.what; *c != '\0'; c++) {
    if (isalnum(static_cast<unsigned char>(*c))) {
      name += wordStarts ? static_cast<char>(toupper(static_cast<unsigned char>(*c))) : *c;
      wordStarts = false;
    } else if (*c == ' ' || *c == ',' || *c == '-') {
      wordStarts = true;
    }
  }
  return name;
}

// The day of `simulate` again, in the network directory at `root`, by
// readers of which `misbuilt` charges one fare wrong on card and log alike.
void simulateMisbuilt(const std::string& root, const char* misbuilt) {
  for (const char* dir : {"/Card", "/Reader_txt"}) {
    ASSERT_EQ(system(("rm -rf '" + root + dir + "'").c_str()), 0);
  }
  SimulationPlan plan;
  plan.cards = 40;
  plan.taps = 1200;
  plan.seed = 11;
  ASSERT_TRUE(parseMisbuilt(misbuilt, &plan.misbuilt)) << misbuilt;
  SimulationResult result;
  std::string problem;
  ASSERT_TRUE(simulateDay(root, plan, &result, &problem)) << problem;
  ASSERT_GT(result.mischarged, 0) << misbuilt;
}

// A fare_mismatch saying `says` for every tap record of the cards at
// `root` that `wrong` picks, given the two records before it.
std::vector<Expected> mismatchesWhere(
    const std::string& root, const std::string& says,
    const std::function<bool(const CardRecord&, const CardRecord&, const CardRecord&)>& wrong) {
  std::vector<Expected> expected;
  for (int number = 1; number <= 40; number++) {
    std::string card = "Card/" + std::to_string(number) + ".txt";
    std::vector<std::string> lines = linesOf(readFile(root + "/" + card));
    for (size_t i = 2; i < lines.size(); i++) {
      CardRecord older, before, now;
      bool read = parseCardLine(lines[i - 2].data(), lines[i - 2].size(), false, &older) &&
                  parseCardLine(lines[i - 1].data(), lines[i - 1].size(), false, &before) &&
                  parseCardLine(lines[i].data(), lines[i].size(), i + 1 == lines.size(), &now);
      if (read && wrong(older, before, now)) {
        expected.push_back({"fare_mismatch", card, static_cast<int64_t>(i + 1), says});
      }
    }
  }
  EXPECT_FALSE(expected.empty()) << "no tap the fault made wrong";
  return expected;
}

// Whether `now` is a tap of reader `reader`, `modeAndDirection`
// ("SUBWAY,IN"), that took `fare` from `before`'s balance.
bool took(const CardRecord& before, const CardRecord& now, const char* reader,
          const std::string& modeAndDirection, int64_t fare) {
  return readerOfTapId(now.tapId) == reader &&
         std::string(now.mode) + "," + now.inOut == modeAndDirection &&
         int64_t{before.balance} - now.balance == fare;
}

const Fault kFaults[] = {
    {"a wrong fare on both sides, from a station built with 1100 for a new ride",
     [](const std::string& root) -> std::vector<Expected> {
       // Every other tap of the day is what the rules give the cards as they
       // are, the balances the wrong fare left included.
       simulateMisbuilt(root, "S3:new_ride:1100");
       return mismatchesWhere(
           root,
           "an entry that charged 1100; the rules of reader S3 give a new ride, "
           "an entry that charges 1050",
           [](const CardRecord&, const CardRecord& before, const CardRecord& now) {
             return took(before, now, "S3", "SUBWAY,IN", 1100);
           });
     },
     false},
    {"a wrong fare on both sides, from a bus built with a flat fare after a transfer",
     [](const std::string& root) -> std::vector<Expected> {
       // Leaving a bus boarded free just after a subway exit is charged by
       // the time on board: the rides of 210 s or more cost the 700 charged.
       simulateMisbuilt(root, "B:exit_after_transfer:700");
       return mismatchesWhere(
           root, "an exit that charged 700; the rules of reader B give an exit after a transfer",
           [](const CardRecord& older, const CardRecord& before, const CardRecord& now) {
             bool boardedFree = std::string(older.mode) + "," + older.inOut == "SUBWAY,OUT" &&
                                std::string(before.mode) + "," + before.inOut == "BUS,IN" &&
                                before.balance == older.balance;
             return boardedFree && took(before, now, "B", "BUS,OUT", 700) &&
                    makeTime(now.time) - makeTime(before.time) < 210;
           });
     },
     false},
    {"a tap on a card after the office closed it",
     [](const std::string& root) -> std::vector<Expected> {
       int64_t closed = topUp(root, 3, 0, 20260306235000, true, true, OfficeKind::kClose);
       int64_t line = appendTap(root, 3, "20260306235500", "BUS,OUT", 0, "B_990", "Bus.txt");
       std::string card = root + "/Card/3.txt";
       EXPECT_EQ(rename(card.c_str(), (card + ".retired").c_str()), 0);
       // With nothing left on it, the bus's rules refuse the tap as well.
       return {
           {"record_after_retired", "Card/3.txt.retired", line,
            "the office closed this card at line " + std::to_string(closed)},
           {"fare_mismatch", "Card/3.txt.retired", line, "the rules of reader B give a refusal"}};
     },
     false},
    {"a replacement whose new card holds less than the old one did",
     [](const std::string& root) -> std::vector<Expected> {
       std::string card = root + "/Card/4.txt";
       std::vector<std::string> lines = linesOf(readFile(card));
       CardRecord records[2];
       std::string tail = "\n" + lines[lines.size() - 2] + "\r\n" + lines.back();
       EXPECT_TRUE(parseCardTail(tail.data(), tail.size(), false, records));
       topUp(root, 4, 0, 20260306235000, true, true, OfficeKind::kReplace, "904");
       EXPECT_EQ(rename(card.c_str(), (card + ".retired").c_str()), 0);
       int32_t less = records[1].balance - 10;
       writeFile(root + "/Card/904.txt", formatTopUpRecord(records[0], less).substr(2) +
                                             formatTopUpRecord(records[1], less));
       return {{"replacement_differs", "Reader_txt/Topup.txt", 1,
                "its new card Card/904.txt was made holding " + std::to_string(less) + ", not " +
                    std::to_string(records[1].balance)}};
     },
     true},

    {"a log line removed",
     [](const std::string& root) -> std::vector<Expected> {
       std::vector<std::string> lines = linesOf(readFile(root + "/Reader_txt/Subway2.txt"));
       lines.erase(lines.begin() + 3);
       writeFile(root + "/Reader_txt/Subway2.txt", joined(lines, "\r\n"));
       return {{"record_without_log_line", "Card/", -1, "no line of Reader_txt/Subway2.txt"}};
     },
     false},
    {"a stray log line",
     [](const std::string& root) -> std::vector<Expected> {
       std::string log = root + "/Reader_txt/Bus.txt";
       int64_t line = logLines(log) + 1;
       writeFile(log, readFile(log) + "20260306120000,BUS,IN,1050,B_999\r\n");
       return {{"log_line_without_record", "Reader_txt/Bus.txt", line, "look at the cards"}};
     },
     false},
    {"a balance raised",
     [](const std::string& root) -> std::vector<Expected> {
       std::vector<std::string> lines = linesOf(readFile(root + "/Card/7.txt"));
       std::string& record = lines.back();
       size_t balance = record.find(',', record.find(',', 15) + 1) + 1;
       record.insert(balance, "9");
       writeFile(root + "/Card/7.txt", joined(lines, "\r\n"));
       // No rule adds money: the rules give the tap another answer too.
       int64_t line = static_cast<int64_t>(lines.size());
       return {{"balance_rises", "Card/7.txt", line},
               {"fare_mismatch", "Card/7.txt", line, "raised the balance by"}};
     },
     true},
    {"a fare changed in a log",
     [](const std::string& root) -> std::vector<Expected> {
       std::vector<std::string> lines = linesOf(readFile(root + "/Reader_txt/Bus.txt"));
       std::string& line = lines[0];
       size_t fare = line.find(',', line.find(',', 15) + 1) + 1;
       line.insert(fare, "1");
       writeFile(root + "/Reader_txt/Bus.txt", joined(lines, "\r\n"));
       return {{"fare_differs", "Card/", -1, "Reader_txt/Bus.txt:1 "}};
     },
     false},
    {"a card torn",
     [](const std::string& root) -> std::vector<Expected> {
       std::string card = readFile(root + "/Card/9.txt");
       writeFile(root + "/Card/9.txt", card.substr(0, card.size() - 6));
       // Its last record is lost with it: its log line has no record.
       return {{"unreadable_card", "Card/9.txt", cardLines(root + "/Card/9.txt")},
               {"log_line_without_record", "Reader_txt/", -1}};
     },
     true},
    {"an old line that is no record",
     [](const std::string& root) -> std::vector<Expected> {
       std::vector<std::string> lines = linesOf(readFile(root + "/Card/12.txt"));
       lines.insert(lines.begin() + 1, "garbage");
       writeFile(root + "/Card/12.txt", joined(lines, "\r\n"));
       return {{"not_a_record", "Card/12.txt", 2}};
     },
     true},
    {"a card copied",
     [](const std::string& root) -> std::vector<Expected> {
       writeFile(root + "/Card/999.txt", readFile(root + "/Card/7.txt"));
       std::vector<Expected> copies;
       for (int64_t line = 3; line <= cardLines(root + "/Card/7.txt"); line++) {
         copies.push_back({"record_without_log_line", "Card/999.txt", line});
       }
       return copies;
     },
     true},
    {"a card that is a link",
     [](const std::string& root) -> std::vector<Expected> {
       // Not followed, as no reader follows it, in the words show uses.
       EXPECT_EQ(symlink("7.txt", (root + "/Card/555.txt").c_str()), 0);
       return {{"unreadable_file", "Card/555.txt", 0, "cannot read this card: not a regular file"}};
     },
     true},
    {"a hint left beside a card",
     [](const std::string& root) -> std::vector<Expected> {
       writeFile(root + "/Card/3.txt.pending", "Reader_txt/Subway1.txt.pending");
       return {{"note_left", "Card/3.txt.pending", 0}};
     },
     true},
    {"a tap in flight in a journal",
     [](const std::string& root) -> std::vector<Expected> {
       TapIntent intent{kPending,
                        "Card/3.txt",
                        5,
                        100,
                        "20260306110000,SUBWAY,OUT,1150,S3_1",
                        "\r\n20260306120000,SUBWAY,IN,100,S1_1",
                        "Reader_txt/Subway1.txt",
                        6,
                        0,
                        "20260306120000,SUBWAY,IN,1050,S1_1\r\n"};
       writeFile(root + "/Reader_txt/Subway1.txt.pending", formatIntent(intent));
       return {{"note_left", "Reader_txt/Subway1.txt.pending", 0, "Card/3.txt"}};
     },
     true},
    {"a line no reader writes",
     [](const std::string& root) -> std::vector<Expected> {
       std::string log = root + "/Reader_txt/Subway3.txt";
       int64_t line = logLines(log) + 1;
       writeFile(log, readFile(log) + "garbage\r\n");
       return {{"not_a_log_line", "Reader_txt/Subway3.txt", line}};
     },
     true},
    {"a line of 3 MiB, then a line no reader writes",
     [](const std::string& root) -> std::vector<Expected> {
       std::string log = root + "/Reader_txt/Subway1.txt";
       int64_t line = logLines(log) + 1;
       writeFile(log, readFile(log) + std::string(3 << 20, '7') + "\r\ngarbage\r\n");
       return {{"not_a_log_line", "Reader_txt/Subway1.txt", line},
               {"not_a_log_line", "Reader_txt/Subway1.txt", line + 1}};
     },
     true},
    {"a log of 5 MiB with lines no reader writes in its middle and across its runs",
     [](const std::string& root) -> std::vector<Expected> {
       // Large enough to be parsed on a thread of its own and handed on in
       // runs of 8,192 lines: its lines no reader writes run across the
       // first run's end, and each keeps its own line.
       const std::string log = root + "/Reader_txt/Subway2.txt", bytes = readFile(log);
       size_t middle = bytes.find("\r\n", bytes.size() / 2) + 2;
       int64_t line = std::count(bytes.begin(), bytes.begin() + middle, '\n') + 1;
       std::string after;
       int64_t lines = logLines(log) + 2, more = 8192 + 100 - lines;
       for (int64_t i = 0; i < more; i++) after += "garbage " + std::to_string(i) + "\r\n";
       writeFile(log, bytes.substr(0, middle) + "garbage\r\n" + std::string(5 << 20, '7') + "\r\n" +
                          bytes.substr(middle) + after);
       std::vector<Expected> expected = {{"not_a_log_line", "Reader_txt/Subway2.txt", line},
                                         {"not_a_log_line", "Reader_txt/Subway2.txt", line + 1}};
       for (int64_t i = 1; i <= more; i++) {
         expected.push_back({"not_a_log_line", "Reader_txt/Subway2.txt", lines + i,
                             "\"garbage " + std::to_string(i - 1) + "\""});
       }
       return expected;
     },
     true},
    {"a tap id that is no text",
     [](const std::string& root) -> std::vector<Expected> {
       std::string log = root + "/Reader_txt/Bus.txt";
       int64_t line = logLines(log) + 1;
       writeFile(log, readFile(log) + "20260306120000,BUS,IN,1050,B_\xff\r\n");
       return {{"log_line_without_record", "Reader_txt/Bus.txt", line}};
     },
     false},
    {"a new ride logged with the id of the tap before it",
     [](const std::string& root) -> std::vector<Expected> {
       // The first card whose third record is a new ride at S1..S5: its
       // log line takes the issue's id instead of its own.
       for (int number = 1; number <= 40; number++) {
         std::string card = "Card/" + std::to_string(number) + ".txt";
         std::vector<std::string> records = linesOf(readFile(root + "/" + card));
         if (records.size() < 3 || records[2].find(",SUBWAY,IN,") == std::string::npos) continue;
         std::string id = records[2].substr(records[2].rfind(',') + 1);
         std::string previous = records[1].substr(records[1].rfind(',') + 1);
         std::string log = root + "/Reader_txt/Subway" + id.substr(1, 1) + ".txt";
         std::string bytes = readFile(log);
         size_t at = bytes.find(records[2].substr(0, 14) + ",SUBWAY,IN,1050," + id + "\r\n");
         if (at == std::string::npos) continue;
         bytes.replace(bytes.find(id + "\r\n", at), id.size(), previous);
         writeFile(log, bytes);
         return {{"log_id_differs", card, 3, log.substr(root.size() + 1) + ":"}};
       }
       ADD_FAILURE() << "no new ride at a station on a third record";
       return {};
     },
     true},
    {"a stray line in the 300th log",
     [](const std::string& root) -> std::vector<Expected> {
       for (int i = 0; i < 299; i++)
         writeFile(root + "/Reader_txt/T" + std::to_string(1000 + i) + ".txt", "");
       writeFile(root + "/Reader_txt/zz.txt", "20260306120000,BUS,IN,1050,B_999\r\n");
       return {{"log_line_without_record", "Reader_txt/zz.txt", 1}};
     },
     false},
    {"a station's clock ahead of the next reader's",
     [](const std::string& root) -> std::vector<Expected> {
       // Entered at S1 at 23:50 by its clock, left at S2 at 23:45 by S2's.
       int64_t entry =
           appendTap(root, 5, "20260306235000", "SUBWAY,IN", 1050, "S1_900", "Subway1.txt");
       appendTap(root, 5, "20260306234500", "SUBWAY,OUT", 200, "S2_900", "Subway2.txt");
       // Card 5's day ends in a trip left open, which S1 closes or settles,
       // not a new ride; and S1 is next to S2, which charges no exit fare.
       return {{"clock_ahead", "Card/5.txt", entry, "reader S1"},
               {"fare_mismatch", "Card/5.txt", entry, "the rules of reader S1 give an exit"},
               {"fare_mismatch", "Card/5.txt", entry + 1,
                "the rules of reader S2 give an exit that charges 0"}};
     },
     false},
    {"a tap dated after the audit",
     [](const std::string& root) -> std::vector<Expected> {
       int64_t line = appendTap(root, 6, "20991231120000", "BUS,IN", 1050, "B_900", "Bus.txt");
       return {{"clock_ahead", "Card/6.txt", line, "reader B"}};
     },
     false},
    {"a top-up whose line is lost",
     [](const std::string& root) -> std::vector<Expected> {
       int64_t line = topUp(root, 8, 5000, 20260306233000, true, false);
       return {{"balance_rises", "Card/8.txt", line, kTopUpLog}};
     },
     true},
    {"a top-up line no card holds",
     [](const std::string& root) -> std::vector<Expected> {
       topUp(root, 8, 5000, 20260306233000, false, true);
       return {{"topup_without_record", kTopUpLog, 1, "Card/8.txt"}};
     },
     true},
    {"a tap's line in the top-up log, which is no reader's",
     [](const std::string& root) -> std::vector<Expected> {
       writeFile(root + "/" + kTopUpLog, "20260306120000,BUS,IN,1050,B_999\r\n");
       return {{"not_a_log_line", kTopUpLog, 1}};
     },
     true},
    {"history changed at the boundary after a checkpoint: a log's last fare edited",
     [](const std::string& root) -> std::vector<Expected> {
       auditWithCheckpoint(root);
       std::vector<std::string> lines = linesOf(readFile(root + "/Reader_txt/Bus.txt"));
       std::string& line = lines[lines.size() - 2];  // the last, before the empty one
       size_t fare = line.find(',', line.find(',', 15) + 1) + 1;
       line.insert(fare, "1");
       writeFile(root + "/Reader_txt/Bus.txt", joined(lines, "\r\n"));
       std::string at = "Reader_txt/Bus.txt:" + std::to_string(lines.size() - 1) + " ";
       return {
           {"history_changed", "Reader_txt/Bus.txt", 0, "where the last audit stopped, changed"},
           {"fare_differs", "Card/", -1, at}};
     },
     false, true},
    {"a log shrunk after a checkpoint",
     [](const std::string& root) -> std::vector<Expected> {
       auditWithCheckpoint(root);
       std::vector<std::string> lines = linesOf(readFile(root + "/Reader_txt/Subway2.txt"));
       lines.erase(lines.end() - 2);
       writeFile(root + "/Reader_txt/Subway2.txt", joined(lines, "\r\n"));
       return {{"history_changed", "Reader_txt/Subway2.txt", 0, "it shrank from"},
               {"record_without_log_line", "Card/", -1, "no line of Reader_txt/Subway2.txt"}};
     },
     false, true},
    {"a card replaced by a copy after a checkpoint",
     [](const std::string& root) -> std::vector<Expected> {
       auditWithCheckpoint(root);
       std::string card = root + "/Card/7.txt";
       writeFile(card + ".copy", readFile(card));
       EXPECT_EQ(rename((card + ".copy").c_str(), card.c_str()), 0);
       return {{"history_changed", "Card/7.txt", 0, "it is another file"}};
     },
     true, true},
    {"a log and a card that are no files",
     [](const std::string& root) -> std::vector<Expected> {
       mkdir((root + "/Reader_txt/Broken.txt").c_str(), 0755);
       mkfifo((root + "/Card/77.txt").c_str(), 0644);
       return {{"unreadable_file", "Reader_txt/Broken.txt", 0},
               {"unreadable_file", "Card/77.txt", 0}};
     },
     true},
};

class AuditFindsEveryKindOfAnomaly : public ::testing::TestWithParam<Fault> {};

}  // namespace

// One fault at a time in the same simulated day: everything the audit must
// find, in JSON and CSV, each detail quoting its line, in the order of files
// and lines, and the totals as they were where the fault leaves them.
TEST_P(AuditFindsEveryKindOfAnomaly, AndNothingElse) {
  const Fault& f = GetParam();
  Network network;
  simulate(network);
  int64_t cleanTaps = 0, cleanRevenue = 0;
  if (f.sameTotals) {
    int status = 0;
    nlohmann::json clean = auditJson(network, &status);
    ASSERT_EQ(status, 0) << "the simulated day itself has anomalies: " << clean["anomalies"].dump();
    cleanTaps = clean["total_taps"];
    cleanRevenue = clean["total_revenue"];
  }
  std::vector<Expected> expected = f.fault(network.root());
  // After a checkpoint, both reports go on from it as the fault left it.
  std::string checkpoint = network.root() + "/" + kCheckpointName,
              withCheckpoint = f.afterCheckpoint ? " --checkpoint " + checkpoint : "",
              made = f.afterCheckpoint ? readFile(checkpoint) : "";
  int status = 0;
  ToolRun run = cardTool(network, "audit --format json" + withCheckpoint);
  status = run.status;
  nlohmann::json report = nlohmann::json::parse(run.output, nullptr, false);
  if (f.afterCheckpoint) writeFile(checkpoint, made);
  ASSERT_FALSE(report.is_discarded()) << f.what << ": the JSON report does not parse";
  EXPECT_EQ(status, 1) << f.what;
  EXPECT_EQ(unexpected(report["anomalies"], expected), "") << f.what;
  EXPECT_EQ(unquoted(network.root(), report["anomalies"]), "")
      << f.what << ": details that do not quote their line";
  // The CSV of the anomalies says what the JSON says, row by row; the second
  // run may name another second as the time the audit ran.
  auto sameRun = [](std::string detail) {
    return std::regex_replace(detail, std::regex(R"(audit ran \([0-9 :-]+\))"), "audit ran (T)");
  };
  std::vector<std::vector<std::string>> rows =
      csvRows(cardTool(network, "audit --format csv --anomalies" + withCheckpoint).output);
  ASSERT_EQ(rows.size(), report["anomalies"].size() + 1) << f.what;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"kind", "file", "line", "detail", "from", "to"}))
      << f.what;
  for (size_t i = 1; i < rows.size(); i++) {
    const nlohmann::json& a = report["anomalies"][i - 1];
    rows[i].at(3) = sameRun(rows[i].at(3));
    EXPECT_EQ(rows[i], (std::vector<std::string>{
                           a["kind"], a["file"], std::to_string(a["line"].get<int64_t>()),
                           sameRun(a["detail"]), report["days"]["from"], report["days"]["to"]}))
        << f.what;
  }
  // In the order of their files and lines, whatever order they were found in.
  EXPECT_TRUE(std::is_sorted(report["anomalies"].begin(), report["anomalies"].end(),
                             [](const nlohmann::json& x, const nlohmann::json& y) {
                               return x["file"] < y["file"] ||
                                      (x["file"] == y["file"] && x["line"] < y["line"]);
                             }))
      << f.what;
  if (f.sameTotals) {
    EXPECT_EQ(report["total_taps"], cleanTaps) << f.what;
    EXPECT_EQ(report["total_revenue"], cleanRevenue) << f.what;
  }
}

INSTANTIATE_TEST_SUITE_P(CardTool, AuditFindsEveryKindOfAnomaly, ::testing::ValuesIn(kFaults),
                         caseName);

TEST(CardTool, AuditRefusesAWrongCommandLineOrNoNetworkDirectory) {
  // A wrong command line, or no network directory, is not an anomaly.
  Network network;
  EXPECT_EQ(cardTool(network, "audit --format xml").status, 2);
  EXPECT_EQ(cardTool(network, "audit --format json --hours").status, 2);
  EXPECT_EQ(cardTool(network, "audit --format csv --hours --anomalies").status, 2);
  ToolRun unknown = cardTool(network, "audit --frob --format json");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.output.find("'--frob'"), std::string::npos) << unknown.output;
  ASSERT_EQ(system(("rm -rf '" + network.root() + "/Card'").c_str()), 0);
  // Named as it was given, and no database begun.
  ToolRun nowhere = cardTool(network, "audit --sqlite " + network.root() + "/audit.db");
  EXPECT_EQ(nowhere.status, 3);
  EXPECT_NE(nowhere.output.find(network.root() + " is not a network directory"), std::string::npos)
      << nowhere.output;
  EXPECT_FALSE(fileExists(network.root() + "/audit.db.building"));
  EXPECT_FALSE(fileExists(network.root() + "/audit.db"));
  // Nor any page begun.
  ToolRun noPage = cardTool(network, "report --html " + network.root() + "/day.html");
  EXPECT_EQ(noPage.status, 3) << noPage.output;
  EXPECT_FALSE(fileExists(network.root() + "/day.html.building"));
  EXPECT_FALSE(fileExists(network.root() + "/day.html"));
}

namespace {

const std::string kS1 = "Subway Reader (Tollvane)";

// Every file of the network a top-up may write, as it stands.
std::string topUpFiles(const Network& network, const std::string& number) {
  std::string log = network.root() + "/" + kTopUpLog;
  return network.card(number) + "|" + (fileExists(log) ? readFile(log) : "(no log)");
}

}  // namespace

TEST(CardTool, TopUpRaisesTheBalanceAndTheCardTapsAsBefore) {
  Network network;
  Reader s1(network, program("subway_reader_s1"));
  waitForPeriods({&s1});
  // Issued below the new-ride fare's threshold, then topped up over it.
  ASSERT_EQ(cardTool(network, "issue 23 1000").status, 0);
  std::string issued = network.card("23");
  // In a trip left open an hour ago, with too little to settle it: no
  // reader could take the card until it was topped up in its trip.
  network.writeCard("24", cardLine("SUBWAY OUT", 7200, 1300, "ISSUE_2") + "\r\n" +
                              cardLine("SUBWAY IN", 3600, 250, "S1_9"));
  // The same, for a trip begun by a transfer from the bus: the top-up
  // repeats both records, or the trip would settle as a plain entry.
  std::string byTransfer =
      cardLine("BUS OUT", 3610, 250, "B_7") + "\r\n" + cardLine("SUBWAY IN", 3600, 250, "S1_9");
  network.writeCard("25", byTransfer);
  // Just off a bus, in the subway's transfer window (15 s, a second at the
  // tests' fast clock: one top-up and two taps fit in it): the topped-up
  // card and its twin that holds the same money already must tap alike.
  std::string offBus =
      cardLine("BUS IN", 600, 1650, "B_3") + "\r\n" + cardLine("BUS OUT", 0, 600, "B_4");
  network.writeCard("21", offBus);
  std::string twin = offBus.substr(0, offBus.rfind(",600,")) + ",5600,B_4";
  network.writeCard("22", twin);
  int64_t before = timetolong(calendarNow());
  ToolRun topUp = cardTool(network, "topup 21 5000");
  s1.type("21 22\n");
  EXPECT_EQ(topUp.status, 0) << topUp.output;
  EXPECT_EQ(
      topUp.output,
      "Topped up card 21 by 5000: balance 5600, was 600 (Card/21.txt, Reader_txt/Topup.txt)\n");
  ASSERT_EQ(cardTool(network, "topup 23 4000").status, 0);
  ToolRun inTrip = cardTool(network, "topup 24 5000");
  EXPECT_EQ(inTrip.status, 0) << inTrip.output;
  ToolRun inTransfer = cardTool(network, "topup 25 5000");
  EXPECT_EQ(inTransfer.status, 0) << inTransfer.output;
  int64_t after = timetolong(calendarNow());
  s1.type("23 24 25\n");
  ASSERT_EQ(s1.finish(), 0);

  // The transfer is free and logged under the bus's id, as for the twin.
  EXPECT_EQ(s1.maskedOutput(), prompt(kS1) + charged(0, 5600) + prompt(kS1) + charged(0, 5600) +
                                   prompt(kS1) + charged(1050, 3950) + prompt(kS1) +
                                   charged(kOpenSubwayFare, 5250 - kOpenSubwayFare) + prompt(kS1) +
                                   charged(kOpenBusToSubwayFare, 5250 - kOpenBusToSubwayFare) +
                                   prompt(kS1));
  auto withBalance = [](const std::string& record, int balance) {
    size_t id = record.rfind(',');
    return record.substr(0, record.rfind(',', id - 1) + 1) + std::to_string(balance) +
           record.substr(id);
  };
  std::string entry = byTransfer.substr(byTransfer.rfind('\n') + 1);
  EXPECT_EQ(s1.masked(network.card("25")),
            s1.masked(byTransfer + "\r\n" +
                      withBalance(byTransfer.substr(0, byTransfer.find('\r')), 5250) + "\r\n" +
                      withBalance(entry, 5250) + "\r\n<now>,SUBWAY,IN," +
                      std::to_string(5250 - kOpenBusToSubwayFare) + ",S1_5"));
  std::string latest = offBus.substr(offBus.rfind('\n') + 1);
  EXPECT_EQ(s1.masked(network.card("21")),
            s1.masked(offBus + "\r\n" + latest.substr(0, latest.rfind(",600,")) +
                      ",5600,B_4\r\n<now>,SUBWAY,IN,5600,S1_1"));
  EXPECT_EQ(s1.masked(network.card("23")),
            s1.masked(issued + "\r\n" + issued.substr(issued.rfind('\n') + 1, 14) +
                      ",SUBWAY,OUT,5000,ISSUE_2\r\n<now>,SUBWAY,IN,3950,S1_3"));
  EXPECT_EQ(s1.masked(network.log("Subway1.txt")),
            "<now>,SUBWAY,IN,0,B_4\r\n<now>,SUBWAY,IN,0,B_4\r\n<now>,SUBWAY,IN,1050,S1_3\r\n"
            "<now>,SUBWAY,IN,1250,S1_4\r\n<now>,SUBWAY,IN,1650,S1_5\r\n");
  // One line a top-up in the office's log, dated when it was made; its
  // journal left idle.
  EXPECT_EQ(maskTimes(network.log("Topup.txt"), before, after),
            "<now>,TOPUP,21,5000,5600\r\n<now>,TOPUP,23,4000,5000\r\n<now>,TOPUP,24,5000,5250\r\n"
            "<now>,TOPUP,25,5000,5250\r\n");
  TapIntent journal;
  ASSERT_TRUE(
      readWritersJournal(kHere, network.root() + "/Reader_txt/Topup.txt.pending", &journal));
  EXPECT_EQ(journal.state, kIdle);
  // The audit takes each top-up, of one record or of two, as the office's
  // change and not a tap: every tap after one is the fare the rules give
  // the trip the top-up left as it was.
  int status = 0;
  nlohmann::json report = auditJson(network, &status);
  EXPECT_EQ(status, 0) << report["anomalies"].dump();
  EXPECT_EQ(report["fares"]["differs"], 0) << report["fares"].dump();
  EXPECT_EQ(
      report["fares"]["agrees"].get<int64_t>() + report["fares"]["unverifiable"].get<int64_t>(), 5)
      << report["fares"].dump();
}

TEST(CardTool, TopUpRefusalsLeaveTheCardAndTheLogAlone) {
  Network network;
  // In a trip begun by a transfer (off the bus 10 s before the entry).
  network.writeCard("5", "20260306081520,BUS,OUT,9000,B_4\r\n20260306081530,SUBWAY,IN,9000,S1_3");
  network.writeCard("6", "20260306080000,SUBWAY,OUT,9000,S2_4\r\n\r\n20260306081530,BUS,OUT,0,B_3");
  network.writeCard("7", "20260306080000,BUS,IN,9000,B_4\r\n20260306081530,BUS,OUT,2147483000,B_5");
  // A latest record no reader writes (a time of one digit; a line one
  // byte short of the longest): repeated, it would break the card.
  network.writeCard("8", "20260306080000,SUBWAY,OUT,9000,S2_4\r\n5,SUBWAY,OUT,100,S1_1");
  network.writeCard("9",
                    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n"
                    "20260306081530,SUBWAY,OFFF,-2147483648,S1_123456");
  // A card the readers take, whose number a top-up line could not carry
  // back (the line's fields are parted by commas).
  network.writeCard("1,2", "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081530,BUS,OUT,0,B_3");
  ASSERT_EQ(cardTool(network, "issue 10 100").status, 0);
  ASSERT_EQ(mkfifo((network.root() + "/Card/11.txt").c_str(), 0644), 0);
  // A link is no card, whatever it leads to.
  ASSERT_EQ(symlink("10.txt", (network.root() + "/Card/13.txt").c_str()), 0);
  const struct {
    const char* args;
    int status;
    const char* says;
  } refusals[] = {
      {"refund 5 9001 lost", 1, "card 5 holds 9000: a refund of 9001 would take it below 0"},
      {"refund 5 8301 lost", 1,
       "card 5 holds 9000 and is in a trip: it entered the subway at S1 on 2026-03-06 08:15:30 "
       "(tap S1_3); a refund leaves it at least 700"},
      {"close 5", 1,
       "card 5 is in a trip: it entered the subway at S1 on 2026-03-06 08:15:30 (tap S1_3); "
       "close it once the passenger has tapped out"},
      {"replace 10 7", 1, "card 10 was not replaced: card 7 exists already"},
      {"refund 6 1 x", 1, "Card/6.txt: the readers refuse this card: line 2 is not a card record"},
      {"close 12", 1, "there is no card file Card/12.txt"},
      {"refund 10 5 a,b", 2,
       "a reason has 1 to 24 printable ASCII characters and no ',', not 'a,b'"},
      {"refund 10 5", 2, "refund takes NUMBER, AMOUNT and REASON"},
      {"replace 10 10", 2, "a card is replaced by another number"},
      {"replace 10 .x", 2, "a new card's number does not begin with '.'"},
      {"topup 6 100", 1, "Card/6.txt: the readers refuse this card: line 2 is not a card record"},
      {"topup 7 648", 1,
       "card 7 holds 2147483000: a top-up of 648 would take its balance past 2147483647"},
      {"topup 8 100", 1, "card 8 cannot be topped up: its latest record is not as a reader writes"},
      {"topup 9 100", 1, "card 9 cannot be topped up"},
      {"topup 11 100", 1, "Card/11.txt: cannot read this card: not a regular file"},
      {"topup 13 100", 1, "Card/13.txt: cannot read this card: not a regular file"},
      {"topup 12 100", 1, "there is no card file Card/12.txt"},
      {"topup 10 0", 2, "an amount is a whole number from 1 to 2147483647"},
      {"topup 10 -5", 2, "an amount is a whole number from 1 to 2147483647"},
      {"topup 10 5x", 2, "an amount is a whole number from 1 to 2147483647, not '5x'"},
      {"topup 10 2147483648", 2, "an amount is a whole number from 1 to 2147483647"},
      {"topup 10", 2, "topup takes NUMBER and AMOUNT"},
      {"topup 12345678901 5", 2, "a card number has 1 to 10 characters"},
      {"topup 1,2 5", 2, "a card number has 1 to 10 characters, printable ASCII, and no ','"},
  };
  for (const auto& r : refusals) {
    std::string args = r.args, number = args.substr(args.find(' ') + 1);
    number = number.substr(0, number.find(' '));
    bool isFile = number != "11" && number != "12" && number != "13" && number != "12345678901";
    std::string before = isFile ? topUpFiles(network, number) : "";
    ToolRun run = cardTool(network, r.args);
    EXPECT_EQ(run.status, r.status) << r.args << ": " << run.output;
    EXPECT_EQ(run.output.rfind(std::string("card_tool: ") + r.says, 0), 0u)
        << r.args << ": " << run.output;
    if (isFile) {
      EXPECT_EQ(topUpFiles(network, number), before) << r.args;
    }
  }
  // A reason of spaces only (one word to the shell) says nothing: refused.
  ToolRun blank =
      runTool({program("card_tool"), "--dir", network.root(), "refund", "10", "5", "   "});
  EXPECT_EQ(blank.status, 2) << blank.output;
  EXPECT_NE(blank.output.find("not '   '"), std::string::npos) << blank.output;
  // The limit itself can be reached, and only a top-up writes the log.
  EXPECT_FALSE(fileExists(network.root() + "/" + kTopUpLog));
  EXPECT_EQ(cardTool(network, "topup 7 647").status, 0);
  EXPECT_NE(network.card("7").find(",BUS,OUT,2147483647,B_5"), std::string::npos);
  ASSERT_EQ(system(("rm -rf '" + network.root() + "/Reader_txt'").c_str()), 0);
  ToolRun nowhere = cardTool(network, "topup 10 5");
  EXPECT_EQ(nowhere.status, 3);
  EXPECT_NE(nowhere.output.find("is not a network directory: it needs Card/ and Reader_txt/"),
            std::string::npos)
      << nowhere.output;
}

TEST(CardTool, ReplaceRefundAndCloseMoveOnlyWhatTheOfficeLogSays) {
  Network network;
  const std::string& root = network.root();
  const std::string kS3 = "Subway Reader (Quillbay)";
  Reader s1(network, program("subway_reader_s1"));
  Reader s3(network, program("subway_reader_s3"));
  waitForPeriods({&s1, &s3});
  // Card 31 is lost in a trip; its twin 33 takes the same trip untouched.
  for (const char* args : {"issue 31 5000", "issue 33 5000", "issue 40 100", "issue 50 700"}) {
    ASSERT_EQ(cardTool(network, args).status, 0) << args;
  }
  s1.type("31\n33\n");
  ASSERT_TRUE(s1.waitForPrompts(3));
  ToolRun replaced = cardTool(network, "replace 31 32");
  EXPECT_EQ(replaced.status, 0) << replaced.output;
  EXPECT_EQ(replaced.output,
            "Replaced card 31 by card 32: moved its balance 3950 and its trip; no reader takes 31 "
            "again (Card/32.txt, Reader_txt/Topup.txt)\n");
  EXPECT_FALSE(fileExists(root + "/Card/31.txt"));
  EXPECT_TRUE(fileExists(root + "/Card/31.txt.retired"));
  // The old card is no card; the new one taps out as its twin does.
  s3.type("31\n32\n33\n");
  ASSERT_EQ(s3.finish(), 0);
  ASSERT_EQ(s1.finish(), 0);
  std::string out = s3.maskedOutput();
  std::string noCard = prompt(kS3) + euckr("카드의 정보가 없습니다.\n");
  ASSERT_EQ(out.rfind(noCard, 0), 0u) << out;
  std::string rest = out.substr(noCard.size());
  size_t second = rest.find(prompt(kS3), 1), third = rest.find(prompt(kS3), second + 1);
  ASSERT_NE(third, std::string::npos) << out;
  EXPECT_EQ(rest.substr(0, second), rest.substr(second, third - second)) << out;
  std::string exitLine = linesOf(network.card("33")).back();
  std::string newExit = linesOf(network.card("32")).at(2);
  EXPECT_EQ(newExit.substr(14, newExit.rfind(',') - 14),
            exitLine.substr(14, exitLine.rfind(',') - 14));

  // A refund and a close take money off, each with its line; what is
  // retired is never written again, nor its number issued again.
  int32_t balance = std::stoi(exitLine.substr(exitLine.find(",OUT,") + 5));
  ToolRun refund = cardTool(network, "refund 32 500 fare dispute");
  EXPECT_EQ(refund.status, 2) << refund.output;  // one word too many
  refund = cardTool(network, "refund 32 500 'fare dispute'");
  EXPECT_EQ(refund.status, 0) << refund.output;
  EXPECT_EQ(cardTool(network, "close 32").output,
            "Closed card 32: paid out " + std::to_string(balance - 500) +
                "; no reader takes it again (Card/32.txt.retired, Reader_txt/Topup.txt)\n");
  EXPECT_EQ(
      cardTool(network, "topup 31 5")
          .output.rfind(
              "card_tool: card 31 was closed or replaced: it is kept as Card/31.txt.retired", 0),
      0u);
  EXPECT_EQ(cardTool(network, "issue 32 5").status, 1);
  // show finds a retired card where it is kept, and says what became of it.
  ToolRun shown = cardTool(network, "show 31");
  EXPECT_EQ(shown.status, 0) << shown.output;
  EXPECT_NE(shown.output.find("Card 31 (Card/31.txt.retired)"), std::string::npos) << shown.output;
  EXPECT_NE(
      shown.output.find("\nRetired: replaced by card 32, its balance of 3950 moved there, on "),
      std::string::npos)
      << shown.output;
  // And the new card's first records are told as the move that made them.
  shown = cardTool(network, "show 32");
  EXPECT_NE(shown.output.find("replacement of card 31 (Reader_txt/Topup.txt:1)"), std::string::npos)
      << shown.output;
  EXPECT_EQ(cardTool(network, "replace 40 31").status, 1);

  // A replacement cut short once its line was written is finished by the
  // office's next change: the new card takes its name, the old one retires.
  // A name left where the new card is made is removed, never written
  // through: here it is another card's second name.
  std::string card40 = network.card("40");
  ASSERT_EQ(link((root + "/Card/40.txt").c_str(), (root + "/Card/51.txt.replacing").c_str()), 0);
  ASSERT_EQ(cardTool(network, "replace 50 51").status, 0);
  EXPECT_EQ(network.card("40"), card40);
  ASSERT_EQ(rename((root + "/Card/51.txt").c_str(), (root + "/Card/51.txt.replacing").c_str()), 0);
  ASSERT_EQ(rename((root + "/Card/50.txt.retired").c_str(), (root + "/Card/50.txt").c_str()), 0);
  ASSERT_EQ(cardTool(network, "topup 40 1").status, 0);
  EXPECT_TRUE(fileExists(root + "/Card/51.txt"));
  EXPECT_TRUE(fileExists(root + "/Card/50.txt.retired"));
  EXPECT_FALSE(fileExists(root + "/Card/50.txt"));
  EXPECT_FALSE(fileExists(root + "/Card/51.txt.replacing"));

  // The audit accounts for every won: refunds, payouts and moves apart
  // from revenue and top-ups, and nothing amiss.
  int status = 0;
  nlohmann::json report = auditJson(network, &status);
  EXPECT_EQ(status, 0) << report["anomalies"].dump();
  // The new card starts in its old card's trip: its exit is decided by the
  // rules as the twin's is, and the move is no tap.
  EXPECT_EQ(report["fares"]["differs"], 0) << report["fares"].dump();
  EXPECT_EQ(
      report["fares"]["agrees"].get<int64_t>() + report["fares"]["unverifiable"].get<int64_t>(), 4)
      << report["fares"].dump();
  // Every day's money reconciles: what was paid back, paid out and moved
  // is a movement like revenue; a move takes from one card what it gives
  // the other.
  for (const nlohmann::json& day : report["held"]) {
    EXPECT_EQ(day["difference"], 0) << day.dump();
    EXPECT_EQ(day["moved_out"], day["moved_in"]) << day.dump();
  }
  const nlohmann::json& office = report["topups"];
  EXPECT_EQ(office["count"], 1);
  EXPECT_EQ(office["refunds"], (nlohmann::json{{"count", 1}, {"amount", 500}}));
  EXPECT_EQ(office["closes"], (nlohmann::json{{"count", 1}, {"amount", balance - 500}}));
  EXPECT_EQ(office["replacements"], (nlohmann::json{{"count", 2}, {"amount", 3950 + 700}}));
  EXPECT_EQ(maskTimes(network.log("Topup.txt"), 20000101000000, 29991231235959),
            "<now>,REPLACE,31,3950,0,32\r\n<now>,REFUND,32,500," + std::to_string(balance - 500) +
                ",fare dispute\r\n<now>,CLOSE,32," + std::to_string(balance - 500) +
                ",0\r\n<now>,REPLACE,50,700,0,51\r\n<now>,TOPUP,40,1,101\r\n");

  // Killed at a step of its own, a replacement is whole or not there once
  // the office's next command has run: no reader or settler takes its line
  // back, nor is the new card's number given away, nor its money left
  // where no reader reads it, whatever was tapped on the old card.
  if (access(STRACE_PROGRAM, X_OK) != 0) GTEST_SKIP() << "strace is needed";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer's runtime makes write calls of its own (it probes memory
  // through a pipe), so a count of calls names another step of the tool.
  GTEST_SKIP() << "the kill points count system calls a sanitizer adds to";
#endif
  const struct {
    const char* killedAt;  // strace's injection: the system call and its count
    bool recorded;         // the line was committed before the kill
    bool charged;          // an exit charged on the old card after the kill
    const char* next;      // the office's next command, and its status
    int status;
  } cuts[] = {
      {"fsync:when=2", false, false, "topup 40 1", 0},     // the new card made, not yet named
      {"write:when=2", true, false, "topup 40 1", 0},      // committed, the card's record written
      {"fdatasync:when=2", true, false, "topup 40 1", 0},  // not yet flushed
      {"renameat2:when=1", true, true, "topup 40 1", 0},   // before the new card takes its name
      {"renameat2:when=1", true, false, "issue 74 5", 1},  // its number is not free
      {"renameat2:when=2", true, true, "topup 40 1", 0},   // before the old card retires
  };
  int old = 60;
  for (const auto& cut : cuts) {
    std::string from = std::to_string(old), to = std::to_string(old + 10);
    old++;
    SCOPED_TRACE(std::string(cut.killedAt) + " " + from + " " + to);
    ASSERT_EQ(cardTool(network, "issue " + from + " 700").status, 0);
    ToolRun killed = runTool({STRACE_PROGRAM, "-f", "-o", "/dev/null", "-e",
                              std::string("inject=") + cut.killedAt + ":signal=SIGKILL",
                              program("card_tool"), "--dir", root, "replace", from, to});
    EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.output;
    std::string card = root + "/Card/" + from + ".txt";
    if (fileExists(root + "/Card/" + to + ".txt.replacing")) {
      EXPECT_NE(cardTool(network, "show " + to).output.find(" is not named yet: a replacement"),
                std::string::npos);
    }
    if (cut.charged && fileExists(card)) {
      std::string at = linesOf(readFile(card)).back().substr(0, 14);
      appendTap(root, std::stoi(from), at, "SUBWAY,OUT", 200, "S3_9", "Subway3.txt");
    }
    EXPECT_EQ(cardTool(network, cut.next).status, cut.status);
    EXPECT_EQ(
        network.log("Topup.txt").find(",REPLACE," + from + ",700,0," + to) != std::string::npos,
        cut.recorded);
    EXPECT_EQ(fileExists(root + "/Card/" + to + ".txt"), cut.recorded);
    EXPECT_EQ(fileExists(card + ".retired"), cut.recorded);
    EXPECT_EQ(fileExists(card), !cut.recorded);
    if (cut.recorded) {
      EXPECT_NE(linesOf(network.card(to)).back().find(",700,"), std::string::npos);
    }
  }
  report = auditJson(network, &status);
  for (const nlohmann::json& day : report["held"]) EXPECT_EQ(day["difference"], 0) << day.dump();
  // An exit charged on a card already retired is told twice: as taken
  // after the office retired the card, and as a fare its rules refuse
  // (the card held nothing).
  EXPECT_EQ(unexpected(report["anomalies"], {{"note_left", "Card/70.txt.replacing", 0},
                                             {"record_after_retired", "Card/63.txt.retired", 4},
                                             {"fare_mismatch", "Card/63.txt.retired", 4},
                                             {"record_after_retired", "Card/65.txt.retired", 4},
                                             {"fare_mismatch", "Card/65.txt.retired", 4}}),
            "");
}

namespace {

// A network of one card of each kind the list tells apart.
void writeListedCards(const Network& network) {
  network.writeCard("10", "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081530,BUS,OUT,8950,B_3");
  network.writeCard("9",
                    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081530,SUBWAY,IN,7950,S1_3");
  network.writeCard("009",
                    "20260306080000,SUBWAY,OUT,-50,ISSUE_1\r\n"
                    "20260306080000,SUBWAY,OUT,-50,ISSUE_2");
  network.writeCard("a,\"b",
                    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n\r\n20260306081530,BUS,IN,1,B_3");
  network.writeCard("x", "");
  network.writeCard(".hidden",
                    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081530,BUS,OUT,1,B_3");
  writeFile(network.root() + "/Card/notes.md", "not a card");
  mkfifo((network.root() + "/Card/77.txt").c_str(), 0644);
}

}  // namespace

TEST(CardTool, ListsEveryCardWithItsStateOrWhyItIsUnreadable) {
  Network network;
  EXPECT_EQ(cardTool(network, "list").output,
            "card            balance  in trip  last tap             reader  dir\n\n"
            "0 cards: 0 in a trip, 0 unreadable\nHeld on the readable cards: 0\n");
  writeListedCards(network);
  // Counted as numbers, those of digits first.
  ToolRun text = cardTool(network, "list");
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.output,
            "card            balance  in trip  last tap             reader  dir\n"
            "9                  7950  yes      2026-03-06 08:15:30  S1      IN\n"
            "009                 -50  no       2026-03-06 08:00:00  ISSUE   OUT\n"
            "10                 8950  no       2026-03-06 08:15:30  B       OUT\n"
            "77           unreadable  cannot read this card: not a regular file\n"
            "a,\"b         unreadable  the readers refuse this card: line 2 is not a card record: "
            "\"\\x0d\"\n"
            "x            unreadable  the readers refuse this card: a card needs at least two "
            "records\n\n"
            "6 cards: 1 in a trip, 3 unreadable\n"
            "Held on the readable cards: 16850\n");

  ToolRun json = cardTool(network, "list --format json");
  EXPECT_EQ(json.status, 0);
  nlohmann::json listed = nlohmann::json::parse(json.output, nullptr, false);
  ASSERT_FALSE(listed.is_discarded()) << json.output;
  ASSERT_EQ(listed["cards"].size(), 6u);
  EXPECT_EQ(listed["cards"][0],
            nlohmann::json::parse(R"({"number": "9", "readable": true, "balance": 7950,
              "in_trip": true, "last_tap": {"time": "2026-03-06 08:15:30", "reader": "S1",
              "direction": "IN", "tap_id": "S1_3"}})"));
  EXPECT_EQ(listed["cards"][4]["number"], "a,\"b");
  EXPECT_EQ(listed["cards"][4]["readable"], false);
  EXPECT_EQ(listed["cards"][5]["problem"],
            "the readers refuse this card: a card needs at least two records");
  // What the readable cards hold: 7950 - 50 + 8950.
  EXPECT_EQ(listed["held"], 16850);

  ToolRun csv = cardTool(network, "--dir '" + network.root() + "' list --format=csv");
  EXPECT_EQ(csv.output,
            "number,readable,balance,in_trip,last_tap,reader,direction,problem\n"
            "9,true,7950,true,2026-03-06 08:15:30,S1,IN,\n"
            "009,true,-50,false,2026-03-06 08:00:00,ISSUE,OUT,\n"
            "10,true,8950,false,2026-03-06 08:15:30,B,OUT,\n"
            "77,false,,,,,,cannot read this card: not a regular file\n"
            "\"a,\"\"b\",false,,,,,,\"the readers refuse this card: line 2 is not a card record: "
            "\"\"\\x0d\"\"\"\n"
            "x,false,,,,,,the readers refuse this card: a card needs at least two records\n"
            ",,16850,,,,,\n");
  EXPECT_EQ(cardTool(network, "list --format xml").status, 2);
  EXPECT_EQ(cardTool(network, "list 9").status, 2);
  // Output that cannot be written is no list, nor a card shown, nor a report.
  for (const char* args : {"list", "show 9", "audit"}) {
    ToolRun lost = onFullDisk(network, args);
    EXPECT_EQ(lost.status, 4) << args << ": " << lost.output;
    EXPECT_NE(lost.output.find("standard output: write"), std::string::npos)
        << args << ": " << lost.output;
  }
  ASSERT_EQ(system(("rm -rf '" + network.root() + "/Card'").c_str()), 0);
  EXPECT_EQ(cardTool(network, "list").status, 3);
}

TEST(CardTool, ShowListAndAuditWordTheSameFaultAlike) {
  Network network;
  writeListedCards(network);
  int status = 0;
  nlohmann::json audit = auditJson(network, &status);
  ASSERT_FALSE(audit.is_discarded());
  nlohmann::json listed = nlohmann::json::parse(cardTool(network, "list --format json").output);
  int compared = 0;
  for (const char* number : {"77", "x", "a,\"b"}) {
    std::string file = std::string("Card/") + number + ".txt", detail;
    for (const nlohmann::json& a : audit["anomalies"]) {
      if (a["file"] == file && (a["kind"] == "unreadable_card" || a["kind"] == "unreadable_file")) {
        detail = a["detail"];
      }
    }
    ASSERT_FALSE(detail.empty()) << "the audit does not report " << file;
    // The audit names, after the fault, where else to look.
    detail = detail.substr(0, detail.find("; "));
    EXPECT_EQ(cardTool(network, std::string("show '") + number + "'").output,
              "card_tool: " + file + ": " + detail + "\n");
    for (const nlohmann::json& card : listed["cards"]) {
      if (card["number"] == number) {
        EXPECT_EQ(card["problem"], detail) << number;
      }
    }
    compared++;
  }
  EXPECT_EQ(compared, 3);
}

TEST(CardTool, ReadsItsCommandLineAsOtherToolsDo) {
  Network network;
  std::string tool = program("card_tool");
  // Help on standard output, the tool's and each command's, however asked for.
  std::string help = runTool({tool, "help"}, Collected::kOutput).output;
  EXPECT_EQ(runTool({tool, "--help"}, Collected::kOutput).output, help);
  for (const char* command : {"issue", "topup", "show", "list", "audit", "report", "help"}) {
    std::string own = runTool({tool, "help", command}, Collected::kOutput).output;
    std::string usage = std::string("Usage: card_tool [--dir DIR] ") + command;
    EXPECT_EQ(own.rfind(usage, 0), 0u) << own;
    EXPECT_NE(help.find(std::string("\n  ") + command + " "), std::string::npos) << command;
    EXPECT_EQ(runTool({tool, command, "--help"}, Collected::kOutput).output, own) << command;
    EXPECT_EQ(runTool({tool, "-h", command}, Collected::kOutput).output, own) << command;
    EXPECT_EQ(runTool({tool, command, "--help"}, Collected::kNothing).status, 0) << command;
  }
  // One table of exit statuses: a command's help says for each status it
  // gives what the tool's help says, or more of it; a wrong command line
  // and no network directory in the table's very words.
  std::map<int, std::string> table = exitStatuses(help);
  ASSERT_EQ(table.size(), 5u) << help;
  for (const char* command :
       {"issue", "topup", "refund", "close", "replace", "show", "list", "audit", "report"}) {
    std::map<int, std::string> own =
        exitStatuses(runTool({tool, "help", command}, Collected::kOutput).output);
    EXPECT_EQ(own[2], table[2]) << command;
    EXPECT_EQ(own[3], table[3]) << command;
    for (const auto& [status, meaning] : own) {
      EXPECT_EQ(table.count(status), 1u) << command << " gives status " << status;
    }
  }
  for (const char* option : {"--format text|json|csv", "--sqlite FILE", "--anomalies", "--hours",
                             "--from DAY", "--to DAY", "--ridership", "--held"}) {
    EXPECT_NE(runTool({tool, "help", "audit"}, Collected::kOutput).output.find(option),
              std::string::npos)
        << option;
  }
  // --dir before or after the command, as one word or two; "--" ends the
  // options, so that a card number may begin with '-'.
  std::string dir = "'" + network.root() + "'";
  EXPECT_EQ(runTool(withWords({tool}, "issue -- -7 100 --dir " + dir)).status, 2);
  EXPECT_EQ(
      runTool(withWords({tool}, "issue --dir=" + dir + " -- -7 100"), Collected::kOutput).status,
      0);
  EXPECT_TRUE(fileExists(network.root() + "/Card/-7.txt"));
  EXPECT_EQ(runTool(withWords({tool}, "show --dir " + dir + " -- -7"), Collected::kOutput).status,
            0);
  // Without --dir, the network directory is the current one: here, none.
  ToolRun shown = runTool({tool, "show", "--", "-7"});
  EXPECT_EQ(shown.status, 3);
  EXPECT_EQ(shown.output,
            "card_tool: . is not a network directory: it needs Card/ and Reader_txt/\n");
  EXPECT_EQ(cardTool(network, "topup -- -7 50").status, 0);
  EXPECT_NE(cardTool(network, "show -- -7").output.find("3 records"), std::string::npos);
  EXPECT_NE(cardTool(network, "list").output.find("\n1 card: 0 in a trip, 0 unreadable\n"),
            std::string::npos);
  // What is unknown is named; a wrong command line is status 2 and says
  // where to look.
  const struct {
    const char* args;
    const char* says;
  } wrong[] = {
      {"show 7 --frob", "card_tool: unknown option '--frob' for show\nTry 'card_tool help show'"},
      {"show -x", "card_tool: unknown option '-x' for show\n"},
      {"list --sqlite x", "card_tool: unknown option '--sqlite' for list\n"},
      {"help frob", "card_tool: unknown command 'frob'\nTry 'card_tool --help'"},
      {"help show list", "card_tool: help takes at most one COMMAND\n"},
      {"show 7 --dir", "card_tool: option '--dir' needs a directory\n"},
      {"show 7 --format xml", "card_tool: unknown format 'xml': text, json or csv\n"},
      {"show 7 --format", "card_tool: option '--format' needs a value\n"},
      {"show --format json", "card_tool: show takes NUMBER\n"},
      {"audit -- x", "card_tool: unexpected operand 'x' for audit\n"},
      {"audit --from 2026-02-30",
       "card_tool: option '--from' needs a day as YYYY-MM-DD that exists, not '2026-02-30'\n"},
      {"audit --to=2026-3-7",
       "card_tool: option '--to' needs a day as YYYY-MM-DD that exists, not '2026-3-7'\n"},
      {"audit --to 2026-03-06 --from 2026-03-07",
       "card_tool: '--from 2026-03-07' is after '--to 2026-03-06'\n"},
      {"audit --ridership", "card_tool: option '--ridership' needs --format csv\n"},
      {"report", "card_tool: report needs --html FILE\nTry 'card_tool help report'"},
      {"report --html", "card_tool: option '--html' needs a value\n"},
      {"report --html x --format json", "card_tool: unknown option '--format' for report\n"},
      {"report --html=x y", "card_tool: unexpected operand 'y' for report\n"},
      {"report --html x --from 2026-03-07 --to=2026-03-06",
       "card_tool: '--from 2026-03-07' is after '--to 2026-03-06'\n"},
  };
  for (const auto& w : wrong) {
    ToolRun run = cardTool(network, w.args);
    EXPECT_EQ(run.status, 2) << w.args;
    EXPECT_EQ(run.output.rfind(w.says, 0), 0u) << w.args << ": " << run.output;
  }
}

namespace {

ToolRun simulator(const std::string& args) {
  return runTool(withWords({program("simulate_network")}, args));
}

}  // namespace

TEST(SimulateNetwork, MakesANewNetworkAndNeverAddsToOne) {
  ScratchDir scratch;
  // A missing directory is made, and filled.
  std::string fresh = scratch / "fresh";
  ToolRun made = simulator("'" + fresh + "' --cards 1 --taps 6 --seed 3");
  EXPECT_EQ(made.status, 0) << made.output;
  EXPECT_EQ(made.output.rfind("Simulated 1 card: ", 0), 0u) << made.output;
  EXPECT_TRUE(fileExists(fresh + "/Card/1.txt"));
  EXPECT_FALSE(fileExists(fresh + "/Card/2.txt"));
  // A live network, or a directory holding anything at all, is refused and
  // left as it was.
  Network live;
  live.writeCard("1", "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081530,SUBWAY,IN,7950,S1_3");
  writeFile(live.root() + "/Reader_txt/Subway1.txt", "20260306081530,SUBWAY,IN,1050,S1_3\r\n");
  writeFile(scratch / "note.txt", "");
  for (const std::string& dir : {live.root(), scratch.path(), live.root() + "/Card/1.txt"}) {
    std::string card = live.card("1"), log = live.log("Subway1.txt");
    ToolRun refused = simulator("--cards 5 -- '" + dir + "'");
    EXPECT_EQ(refused.status, 1) << dir;
    EXPECT_EQ(refused.output.rfind("simulate_network: " + dir, 0), 0u) << refused.output;
    EXPECT_EQ(live.card("1"), card);
    EXPECT_EQ(live.log("Subway1.txt"), log);
    EXPECT_FALSE(fileExists(live.root() + "/Card/2.txt"));
    EXPECT_FALSE(fileExists(scratch / "Card"));
  }
  // An empty directory is a new network; a leap day is a real date.
  ASSERT_EQ(mkdir((scratch / "empty").c_str(), 0755), 0);
  EXPECT_EQ(simulator("--date=20240229 --cards=2 --taps=20 '" + (scratch / "empty") + "'").status,
            0);
  EXPECT_NE(readFile(scratch / "empty/Card/2.txt").find("20240229"), std::string::npos);
  // A reader built with one fare wrong, as a test of the audit asks, says
  // how many taps it charged so.
  ToolRun misbuilt = simulator("'" + (scratch / "misbuilt") +
                               "' --cards 20 --taps 600 --misbuilt=B:new_ride:1000");
  EXPECT_EQ(misbuilt.status, 0) << misbuilt.output;
  EXPECT_NE(misbuilt.output.find("\nReader B charged 1000 for each new_ride: "), std::string::npos)
      << misbuilt.output;
}

TEST(SimulateNetwork, RefusesEveryOptionItCannotKeep) {
  ScratchDir scratch;
  std::string dir = "'" + (scratch / "day") + "'";
  const struct {
    std::string args;
    const char* says;
  } wrong[] = {
      {dir + " --date 20260230", "--date takes a real date YYYYMMDD"},
      {dir + " --date 20250229", "--date takes a real date YYYYMMDD"},
      {dir + " --date 1", "--date takes a real date YYYYMMDD"},
      {dir + " --date 19691231", "--date takes a real date YYYYMMDD"},
      {dir + " --cards 0", "--cards takes a whole number of cards from 1 up, not '0'"},
      {dir + " --cards 10000001", "--cards 10000001 would need too much memory"},
      {dir + " --cards 10000000000", "card numbers have at most 10 characters"},
      {dir + " --cards 99999999999999999999", "--cards takes a whole number"},
      {dir + " --taps 0", "--taps takes a whole number from 1 to 1000000000, not '0'"},
      {dir + " --taps 2.5", "--taps takes a whole number from 1 to 1000000000, not '2.5'"},
      {dir + " --taps 1000000001", "--taps takes a whole number from 1 to 1000000000"},
      {dir + " --seed x", "--seed takes a whole number, not 'x'"},
      {dir + " --misbuilt S9:new_ride:1100", "--misbuilt takes READER:KIND:FARE"},
      {dir + " --misbuilt S3:ride:1100", "--misbuilt takes READER:KIND:FARE"},
      {dir + " --misbuilt S3:new_ride:-50", "--misbuilt takes READER:KIND:FARE"},
      {dir + " --misbuilt S3:new_ride", "--misbuilt takes READER:KIND:FARE"},
      {dir + " --frob 1", "unknown option '--frob'"},
      {dir + " --taps", "option '--taps' needs a value"},
      {"--cards 5", "no DIR given"},
      {dir + " " + dir + "2", "one DIR only"},
  };
  for (const auto& w : wrong) {
    ToolRun run = simulator(w.args);
    EXPECT_EQ(run.status, 2) << w.args;
    EXPECT_EQ(run.output.rfind(std::string("simulate_network: ") + w.says, 0), 0u)
        << w.args << ": " << run.output;
    EXPECT_FALSE(fileExists(scratch / "day")) << w.args;
  }
  // Help on standard output; the version as the card tool gives it.
  ToolRun help =
      runTool({program("simulate_network"), "--cards", "0", "--help"}, Collected::kOutput);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("Usage: simulate_network DIR [--cards N]", 0), 0u) << help.output;
  std::string version =
      runTool({program("simulate_network"), "--version"}, Collected::kOutput).output;
  std::string toolVersion = runTool({program("card_tool"), "--version"}, Collected::kOutput).output;
  EXPECT_EQ(version, "simulate_network" + toolVersion.substr(toolVersion.find(' ')));
}

namespace {

// Cuts every card and log of the network at `root` back to what was
// recorded before packed time `time` (a card keeps its two issue records),
// and returns what was cut off each, by path, to be appended again.
std::map<std::string, std::string> cutBack(const std::string& root, const std::string& time) {
  std::map<std::string, std::string> rest;
  for (const char* folder : {"/Card", "/Reader_txt"}) {
    for (const auto& file : std::filesystem::directory_iterator(root + folder)) {
      std::string path = file.path().string();
      if (file.path().extension() != ".txt" || file.path().filename() == "Topup.txt") continue;
      std::string bytes = readFile(path);
      bool card = std::string(folder) == "/Card";
      // A card's records are parted by CR LF; a log's lines each end in one.
      size_t at = 0;
      for (size_t line = 0; at < bytes.size(); line++) {
        size_t next = bytes.find("\r\n", at);
        if ((!card || line >= 2) && bytes.compare(at, 14, time) >= 0) break;
        at = next == std::string::npos ? bytes.size() : next + 2;
      }
      size_t cut = card && at < bytes.size() ? at - 2 : at;
      if (cut == bytes.size()) continue;
      rest[path] = bytes.substr(cut);
      writeFile(path, bytes.substr(0, cut));
    }
  }
  return rest;
}

// The first card of the simulated day, from `from` on, whose last record
// is an entry of mode `mode`: in a trip at the day's end.
int cardInATrip(const Network& network, int from, const std::string& mode) {
  for (int number = from; number <= 40; number++) {
    if (linesOf(network.card(std::to_string(number))).back().find("," + mode + ",IN,") !=
        std::string::npos) {
      return number;
    }
  }
  ADD_FAILURE() << "no card in a trip by " << mode;
  return from;
}

}  // namespace

// An audit with a checkpoint reads only what was appended to the cards and
// logs since the last, and reports, byte for byte, what a full audit of
// the same files reports: after the day's later taps, the office's top-up
// and replacement of cards in a trip, and taps by a reader on both.
TEST(CardTool, AuditWithACheckpointGoesOnFromTheLastAndReportsAsAFullAudit) {
  Network network;
  simulate(network);
  const std::string& root = network.root();
  std::string checkpoint = root + "/" + kCheckpointName;
  auto sameAsFull = [&](const std::string& when) {
    ToolRun goingOn = cardTool(network, "audit --format json --checkpoint " + checkpoint);
    ToolRun full = cardTool(network, "audit --format json");
    EXPECT_EQ(goingOn.status, full.status) << when;
    EXPECT_EQ(goingOn.output, full.output) << when;
    return goingOn.output;
  };
  std::map<std::string, std::string> rest = cutBack(root, "20260306150000");
  ASSERT_GT(rest.size(), 20u);
  sameAsFull("the day up to 15:00, audited in full");
  for (const auto& [path, bytes] : rest) writeFile(path, readFile(path) + bytes);
  std::string day = sameAsFull("the rest of the day appended");
  EXPECT_NE(day.find("\"total_taps\""), std::string::npos) << day;
  int toppedUp = cardInATrip(network, 1, "SUBWAY"),
      replaced = cardInATrip(network, toppedUp + 1, "SUBWAY");
  ASSERT_EQ(cardTool(network, "topup " + std::to_string(toppedUp) + " 5000").status, 0);
  ToolRun replace = cardTool(
      network, "replace " + std::to_string(replaced) + " " + std::to_string(replaced + 900));
  ASSERT_EQ(replace.status, 0) << replace.output;
  sameAsFull("a card in a trip topped up, another replaced");
  Reader s3(network, program("subway_reader_s3"));
  waitForPeriods({&s3});
  s3.type(std::to_string(toppedUp) + "\n" + std::to_string(replaced + 900) + "\n");
  ASSERT_EQ(s3.finish(), 0);
  std::string tapped = sameAsFull("both tapped out at S3");
  EXPECT_EQ(nlohmann::json::parse(tapped)["fares"]["differs"], 0) << tapped;

  // An edit deep inside the records read before is what a run with a
  // checkpoint cannot see: a full audit finds it.
  int untouched = 1;
  while (untouched == toppedUp || untouched == replaced) untouched++;
  std::string card = root + "/Card/" + std::to_string(untouched) + ".txt", bytes = readFile(card);
  size_t balance = bytes.find(",IN,") + 4;
  bytes[balance] = bytes[balance] == '9' ? '8' : '9';
  writeFile(card, bytes);
  EXPECT_EQ(cardTool(network, "audit --format json --checkpoint " + checkpoint).output, tapped);
  EXPECT_EQ(cardTool(network, "audit --format json").status, 1);

  // A checkpoint of another network, of a newer format, or damaged, is
  // refused, and left as it is.
  Network other;
  simulate(other);
  ToolRun foreign = cardTool(other, "audit --checkpoint " + checkpoint);
  EXPECT_EQ(foreign.status, 4);
  EXPECT_NE(foreign.output.find("is the checkpoint of another network directory"),
            std::string::npos)
      << foreign.output;
  std::string made = readFile(checkpoint);
  writeFile(checkpoint, "fare-audit-checkpoint 2\n" + made.substr(made.find('\n') + 1));
  ToolRun newer = cardTool(network, "audit --checkpoint " + checkpoint);
  EXPECT_EQ(newer.status, 4);
  EXPECT_NE(newer.output.find("is a checkpoint of format 2"), std::string::npos) << newer.output;
  std::string damaged = made;
  damaged[damaged.size() / 2] ^= 1;
  writeFile(checkpoint, damaged);
  ToolRun garbled = cardTool(network, "audit --checkpoint " + checkpoint);
  EXPECT_EQ(garbled.status, 4);
  EXPECT_NE(garbled.output.find("it is damaged"), std::string::npos) << garbled.output;
  EXPECT_EQ(readFile(checkpoint), damaged);
  EXPECT_EQ(cardTool(network, "audit --checkpoint FILE --from 2026-03-06").status, 2);
}

TEST(CardTool, AuditAccountsForEveryTopUpApartFromTheRevenue) {
  Network network;
  simulate(network);
  int status = 0;
  nlohmann::json before = auditJson(network, &status);
  const std::string& root = network.root();
  // Two top-ups of one card after the day, one of another the next morning,
  // and a tap after that, on the balance the top-up raised.
  const int64_t lines[] = {topUp(root, 3, 5000, 20260306233000),
                           topUp(root, 3, 2500, 20260306233500),
                           topUp(root, 4, 10000, 20260307061000)};
  appendTap(root, 4, "20260307062000", "SUBWAY,IN", 1050, "S1_901", "Subway1.txt");
  nlohmann::json report = auditJson(network, &status);
  ASSERT_FALSE(report.is_discarded());
  EXPECT_EQ(status, 0) << report["anomalies"].dump();
  // The money loaded is no fare: the taps and revenue are the logs', one
  // tap more, and no reader is named after the top-up log.
  EXPECT_EQ(report["total_taps"], before["total_taps"].get<int64_t>() + 1);
  EXPECT_EQ(report["total_revenue"], before["total_revenue"].get<int64_t>() + 1050);
  EXPECT_EQ(report["readers"].size(), before["readers"].size()) << report["readers"].dump();
  EXPECT_EQ(report["records"], before["records"].get<int64_t>() + 1);
  const nlohmann::json& topUps = report["topups"];
  EXPECT_EQ(topUps["count"], 3);
  EXPECT_EQ(topUps["amount"], 17500);
  EXPECT_EQ(topUps["without_record"]["count"], 0);
  // By day and hour: 24 hours of the 6th, then 24 of the 7th.
  ASSERT_EQ(topUps["hours"].size(), 48u);
  EXPECT_EQ(topUps["hours"][23],
            nlohmann::json::parse(R"({"date": "2026-03-06", "hour": 23, "count": 2,
                                      "amount": 7500})"));
  EXPECT_EQ(topUps["hours"][24 + 6]["date"], "2026-03-07");
  EXPECT_EQ(topUps["hours"][24 + 6]["amount"], 10000);
  // The money held reconciles on both days: card 4's top-up, whose record
  // repeats its tap of the 6th, is counted on the 7th, as its line is.
  ASSERT_EQ(report["held"].size(), 2u);
  EXPECT_EQ(report["held"][0]["topups"], 7500);
  EXPECT_EQ(report["held"][1]["topups"], 10000);
  EXPECT_EQ(report["held"][1]["revenue"], 1050);
  EXPECT_EQ(report["held"][1]["held_before"], report["held"][0]["held"]);
  EXPECT_EQ(report["held"][0]["difference"], 0) << report["held"].dump();
  EXPECT_EQ(report["held"][1]["difference"], 0) << report["held"].dump();
  // The CSV of the top-ups, by day and hour.
  std::string csv = cardTool(network, "audit --format csv --topups").output;
  EXPECT_EQ(csv.rfind("date,hour,topups,amount\n", 0), 0u) << csv;
  for (const char* row : {"\n2026-03-07,6,1,10000\n", "\n2026-03-06,23,2,7500\n",
                          "\n2026-03-06,6,0,0\n", "\nall,,3,17500\n", "\nwithout_record,,0,0\n"}) {
    EXPECT_NE(csv.find(row), std::string::npos) << row << " in\n" << csv;
  }
  EXPECT_NE(cardTool(network, "audit --format json --topups").status, 0);
  // Each top-up in the database, with the record that tells it.
  std::string db = root + "/audit.db";
  ASSERT_EQ(cardTool(network, "audit --sqlite " + db).status, 0);
  sqlite3* sql = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &sql), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(sql,
                               "select group_concat(card || ':' || amount || ':' || matched || ':' "
                               "|| card_line, ' ') from (select * from topups order by line)",
                               -1, &query, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  EXPECT_EQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)),
            "3:5000:1:" + std::to_string(lines[0]) + " 3:2500:1:" + std::to_string(lines[1]) +
                " 4:10000:1:" + std::to_string(lines[2]));
  sqlite3_finalize(query);
  sqlite3_close(sql);
}

TEST(CardTool, AuditCountsTheDaysAskedForAcrossMidnight) {
  // The figures of writeMidnightNetwork, worked out by hand there.
  Network network;
  writeMidnightNetwork(network.root());
  ToolRun text = cardTool(network, "audit");
  EXPECT_EQ(text.status, 1);
  for (const char* says :
       {"\nDays: 2026-03-06 to 2026-03-07 (the first and last days read)\n",
        "\n  2026-03-07 00:00            3 taps            500  \n",
        "\n  B        2026-03-07 00:00           0           1           1           0\n",
        "\n  2026-03-06              0         13,000              0          3,150         10,900"
        "          1,050\n",
        "\n  On 2026-03-06 the cards hold 1,050 more than", "\nTotal: 8 taps, revenue 5,950\n"}) {
    EXPECT_NE(text.output.find(says), std::string::npos) << says << " in\n" << text.output;
  }
  const std::string held =
      "date,held_before,issued,topups,revenue,refunds,paid_out,moved_out,moved_in,held,"
      "difference\n";
  EXPECT_EQ(cardTool(network, "audit --format csv --held").output,
            held +
                "2026-03-06,0,13000,0,3150,0,0,0,0,10900,1050\n2026-03-07,10900,2000,5000,2800,0,0,"
                "0,0,15100,0\n");
  // Ridership by reader, day and hour: the network's hours with a tap.
  std::vector<std::string> rides;
  for (const std::vector<std::string>& row :
       csvRows(cardTool(network, "audit --format csv --ridership").output)) {
    if (row[0] == "reader" ||
        (row[0] == "network" && row[3] + row[4] + row[5] + row[6] != "0000")) {
      rides.push_back(joined(row, ","));
    }
  }
  EXPECT_EQ(rides,
            (std::vector<std::string>{
                "reader,date,hour,entry,exit,transfer,settlement", "network,2026-03-06,21,1,0,0,0",
                "network,2026-03-06,23,2,0,0,0", "network,2026-03-07,0,0,2,1,0",
                "network,2026-03-07,6,1,0,0,0", "network,2026-03-07,7,0,0,0,1"}));
  // The list adds up what the cards hold now: 8450 + 5700 + 950.
  EXPECT_NE(cardTool(network, "list").output.find("\nHeld on the readable cards: 15100\n"),
            std::string::npos);

  // The 7th alone: every tap still matched, the line of the 6th that no
  // card tells left out, and what the cards held at the 6th's end carried.
  ToolRun seventh = cardTool(network, "audit --from 2026-03-07 --format json");
  nlohmann::json report = nlohmann::json::parse(seventh.output, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << seventh.output;
  EXPECT_EQ(seventh.status, 0) << report["anomalies"].dump();
  EXPECT_EQ(report["days"], nlohmann::json::parse(R"({"from": "2026-03-07", "to": "2026-03-07",
                                                      "asked": {"from": "2026-03-07", "to": null}})"));
  EXPECT_EQ(report["matched"], 7);
  EXPECT_EQ(report["total_taps"], 5);
  EXPECT_EQ(report["total_revenue"], 2800);
  EXPECT_EQ(report["readers"]["S1"]["taps"], 1);
  EXPECT_EQ(report["topups"]["amount"], 5000);
  EXPECT_EQ(report["network"]["hours"].size(), 24u);
  EXPECT_EQ(report["readers"]["B"]["ridership"][0],
            nlohmann::json::parse(R"({"date": "2026-03-07", "hour": 0, "entry": 0, "exit": 1,
                                      "transfer": 1, "settlement": 0})"));
  EXPECT_EQ(report["held"], nlohmann::json::parse(R"([{"date": "2026-03-07", "held_before": 10900,
    "issued": 2000, "topups": 5000, "revenue": 2800, "refunds": 0, "paid_out": 0, "moved_out": 0,
    "moved_in": 0, "held": 15100, "difference": 0}])"));
  // The 6th alone: its anomaly, its day's rows, and the days in every CSV.
  std::vector<std::vector<std::string>> sixth =
      csvRows(cardTool(network, "audit --to 2026-03-06 --format csv --anomalies").output);
  ASSERT_EQ(sixth.size(), 2u);
  EXPECT_EQ(sixth[1][1] + ":" + sixth[1][2], "Reader_txt/Subway4.txt:1");
  EXPECT_EQ(sixth[1][4] + " " + sixth[1][5], "2026-03-06 2026-03-06");
  EXPECT_EQ(cardTool(network, "audit --to 2026-03-06 --format csv --held").output,
            held + "2026-03-06,0,13000,0,3150,0,0,0,0,10900,1050\n");
  std::string byKind = cardTool(network, "audit --to 2026-03-06 --format csv").output;
  EXPECT_NE(byKind.find("\nnetwork,without_record,1,1050,2026-03-06,2026-03-06\n"),
            std::string::npos)
      << byKind;
  // The database holds the records, lines and days of the 7th, its days
  // asked for, and the money held.
  std::string db = network.root() + "/audit.db";
  ASSERT_EQ(cardTool(network, "audit --from 2026-03-07 --to 2026-03-07 --sqlite " + db).status, 0);
  sqlite3* sql = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &sql), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(
                sql,
                "select (select first_day || ' ' || last_day from covered), (select count(*) from "
                "records), (select count(*) from log_lines), (select group_concat(reader || ' ' || "
                "hour || ' ' || exit || ' ' || transfer, ',') from ridership where reader = 'B'), "
                "(select held_before || ' ' || held || ' ' || difference from held), (select "
                "sum(taps) || ' ' || sum(revenue) from hours)",
                -1, &query, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  std::vector<std::string> columns;
  for (int i = 0; i < 6; i++) {
    const unsigned char* value = sqlite3_column_text(query, i);
    columns.push_back(value != nullptr ? reinterpret_cast<const char*>(value) : "NULL");
  }
  EXPECT_EQ(columns, (std::vector<std::string>{"2026-03-07 2026-03-07", "5", "5", "B 0 1 1",
                                               "10900 15100 0", "5 2800"}));
  sqlite3_finalize(query);
  sqlite3_close(sql);
}

TEST(CardTool, OnlyTheNetworksOwnerWritesIt) {
  // The network belongs to the readers' user. A program run by anyone else,
  // root included, writes nothing there (no lock file or journal that the
  // readers could not open) and says whom to run as.
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give the network to another user";
  Network network;
  ASSERT_EQ(system(("chown -R 65534:65534 '" + network.root() + "'").c_str()), 0);
  // Root's reader on a network with no card yet makes no lock file either.
  EXPECT_EQ(runToEnd(network, program("bus_reader"), "5\n").status, 1);
  EXPECT_FALSE(fileExists(network.root() + "/Card/taps.lock"));
  // What runs a program as the network's owner.
  const std::vector<std::string> ownersPrefix = {"/usr/bin/setpriv", "--reuid=65534",
                                                 "--regid=65534", "--clear-groups"};
  auto asOwner = [&](const std::string& args) {
    std::vector<std::string> argv = ownersPrefix;
    argv.insert(argv.end(), {program("card_tool"), "--dir", network.root()});
    return runTool(withWords(argv, args));
  };
  ASSERT_EQ(asOwner("issue 5 1000").status, 0);
  const std::string card = network.card("5");
  for (const char* args : {"topup 5 100", "issue 6 100"}) {
    ToolRun root = cardTool(network, args);
    EXPECT_EQ(root.status, 1) << args;
    EXPECT_NE(root.output.find("belongs to nobody"), std::string::npos) << root.output;
    EXPECT_NE(root.output.find("sudo -u nobody"), std::string::npos) << root.output;
  }
  ReaderRun reader = runToEnd(network, program("subway_reader_s1"), "5\n");
  EXPECT_EQ(reader.status, 1);
  EXPECT_NE(reader.errors.find("sudo -u nobody"), std::string::npos) << reader.errors;
  EXPECT_EQ(network.card("5"), card);
  // Nothing root made: the office's journal is the owner's, made by its issue.
  EXPECT_FALSE(fileExists(network.root() + "/Card/6.txt"));
  for (const char* made :
       {"Card/taps.lock", "Reader_txt/Topup.txt.pending", "Reader_txt/Subway1.txt.pending"}) {
    struct stat info {};
    EXPECT_TRUE(stat((network.root() + "/" + made).c_str(), &info) != 0 || info.st_uid == 65534u)
        << made;
  }
  // Run as the owner, the same top-up is made.
  ToolRun owner = asOwner("topup 5 100");
  EXPECT_EQ(owner.status, 0) << owner.output;
  struct stat lock {};
  ASSERT_EQ(stat((network.root() + "/Card/taps.lock").c_str(), &lock), 0);
  EXPECT_EQ(lock.st_uid, 65534u);
  // A journal the owner may not read (root's, mode 0600) may hold a tap in
  // flight on any card: it is never moved aside nor passed over, and no
  // card is read until it is given back.
  const std::string rootJournal = network.root() + "/Reader_txt/Subway3.txt.pending";
  writeFile(rootJournal, std::string(kJournalBytes - 1, ' ') + kIdle);
  ASSERT_EQ(chmod(rootJournal.c_str(), 0600), 0);
  const std::string topped = network.card("5");
  std::vector<std::string> s1 = ownersPrefix;
  s1.push_back(program("subway_reader_s1"));
  ToolRun refused = runTool(s1, Collected::kOutputAndErrors, network.root(), "5\n");
  EXPECT_NE(refused.output.find("Subway3.txt.pending cannot be read"), std::string::npos)
      << refused.output;
  EXPECT_EQ(network.card("5"), topped);
  EXPECT_TRUE(fileExists(rootJournal));
}

namespace {

// Headless Chromium, where Debian installs it (tools/ensure-packages.sh
// does); empty when it is not there.
std::string chromiumProgram() {
  return access("/usr/bin/chromium", X_OK) == 0 ? "/usr/bin/chromium" : "";
}

// The addresses a page asked for, by Chromium's net log: each request's
// start names what began it, and the browser's own requests (updates and
// the like) are begun by no origin, a page's by the page.
std::vector<std::string> pageRequests(const nlohmann::json& log) {
  std::vector<std::string> urls;
  const nlohmann::json& types = log["constants"]["logEventTypes"];
  if (!types.contains("URL_REQUEST_START_JOB")) return {"(the net log names no request start)"};
  int start = types["URL_REQUEST_START_JOB"];
  for (const nlohmann::json& event : log["events"]) {
    if (event.value("type", -1) != start || !event.contains("params")) continue;
    // A job's end repeats its type, without the address.
    const nlohmann::json& params = event["params"];
    if (!params.contains("url")) continue;
    if (params.value("initiator", "") != "not an origin") urls.push_back(params.value("url", ""));
  }
  return urls;
}

// What headless Chromium made of a page: its exit status, the DOM as it
// rendered it, what it said on its error stream, its screenshot's path,
// and the addresses the page asked for (by its net log, when it could be
// read).
struct Rendered {
  int status;
  std::string dom, errors, screenshot;
  bool logRead;
  std::vector<std::string> requests;
};

// Renders the page at `page` in headless Chromium, 1280 pixels wide, with
// a profile of its own in `scratch` (files named after `name`) and every
// host name resolving to nothing, so that no request leaves this machine
// even when a page makes one. Chromium runs on the real clock: none of the
// test's faster one reaches it.
Rendered render(const std::string& page, const ScratchDir& scratch, const std::string& name) {
  std::string netLog = scratch / (name + ".netlog.json");
  ProgramRun run;
  run.argv = {chromiumProgram(),
              "--headless",
              "--no-sandbox",
              "--disable-gpu",
              "--no-first-run",
              "--disable-background-networking",
              "--disable-component-update",
              "--user-data-dir=" + scratch / (name + ".profile"),
              "--host-resolver-rules=MAP * ~NOTFOUND",
              "--log-net-log=" + netLog,
              "--screenshot=" + scratch / (name + ".png"),
              "--window-size=1280,1600",
              "--dump-dom",
              "file://" + page};
  run.dir = scratch.path();
  run.environment = {"HOME=" + scratch.path()};
  run.console = scratch / (name + ".dom.html");
  run.errors = scratch / (name + ".errors.txt");
  Program program = startProgram(run);
  Rendered shown;
  shown.status = finishProgram(&program);
  shown.dom = readFile(run.console);
  shown.errors = readFile(run.errors);
  shown.screenshot = scratch / (name + ".png");
  nlohmann::json log = nlohmann::json::parse(readFile(netLog), nullptr, false);
  shown.logRead = !log.is_discarded() && log.contains("events") && log.contains("constants");
  if (shown.logRead) shown.requests = pageRequests(log);
  return shown;
}

// What a screenshot shows: its size, the share of its pixels unlike its
// first (the page's background), and how many colours it has; all 0 when
// it cannot be read.
struct Picture {
  uint32_t width = 0, height = 0;
  double inked = 0;
  size_t colours = 0;
};

Picture lookAt(const std::string& path) {
  Picture picture;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return picture;
  image.format = PNG_FORMAT_RGB;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return picture;
  std::set<uint32_t> colours;
  size_t inked = 0;
  auto colourAt = [&](size_t i) {
    return uint32_t{pixels[i]} << 16 | uint32_t{pixels[i + 1]} << 8 | pixels[i + 2];
  };
  for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
    colours.insert(colourAt(i));
    inked += colourAt(i) != colourAt(0);
  }
  picture.width = image.width;
  picture.height = image.height;
  picture.inked = static_cast<double>(inked) / (pixels.size() / 3);
  picture.colours = colours.size();
  return picture;
}

// Text as a browser writes it back in its DOM, in an element.
std::string domText(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
  }
  return out;
}

}  // namespace

// The report's page of a simulated day, with a tap in flight, in a real
// browser: it shows the audit's figures, makes no request, and draws.
TEST(CardTool, ReportIsAPageABrowserShowsWithNothingElse) {
  if (chromiumProgram().empty()) {
    GTEST_SKIP() << "chromium is not installed (tools/ensure-packages.sh installs it): the "
                    "report's page is not checked in a browser";
  }
  Network network;
  simulate(network);
  TapIntent intent{kPending,
                   "Card/3.txt",
                   5,
                   100,
                   "20260306110000,SUBWAY,OUT,1150,S3_1",
                   "\r\n20260306120000,SUBWAY,IN,100,S1_1",
                   "Reader_txt/Subway1.txt",
                   6,
                   0,
                   "20260306120000,SUBWAY,IN,1050,S1_1\r\n"};
  writeFile(network.root() + "/Reader_txt/Subway1.txt.pending", formatIntent(intent));
  int status = 0;
  nlohmann::json audit = auditJson(network, &status);
  ASSERT_EQ(audit["anomalies"].size(), 1u) << audit["anomalies"].dump();
  const std::string taps = grouped(audit["total_taps"].get<int64_t>());
  const std::string revenue = grouped(audit["total_revenue"].get<int64_t>());

  // The page is made whatever the anomalies, and made again over itself;
  // never over a file of anything else.
  ScratchDir scratch;
  std::string page = scratch / "day.html", notes = scratch / "notes.html";
  ToolRun made = cardTool(network, "report --html " + page);
  ASSERT_EQ(made.status, 0) << made.output;
  EXPECT_EQ(made.output, page + ": 2026-03-06 (the first and last days read), " + taps +
                             " taps, revenue " + revenue + ", 1 anomaly\n");
  EXPECT_EQ(cardTool(network, "report --html=" + page).status, 0);
  EXPECT_FALSE(fileExists(page + ".building"));
  writeFile(notes, "<p>the operator's notes</p>\n");
  ToolRun kept = cardTool(network, "report --html " + notes);
  EXPECT_EQ(kept.status, 4);
  EXPECT_NE(kept.output.find(notes + " exists and is not a page report wrote"), std::string::npos)
      << kept.output;
  EXPECT_EQ(readFile(notes), "<p>the operator's notes</p>\n");
  // The page names nothing outside it.
  std::string html = readFile(page);
  for (const char* outside : {"://", "<script", "<link", "<img", "<iframe", "src=", "@import"}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }

  Rendered shown = render(page, scratch, "report");
  ASSERT_EQ(shown.status, 0) << shown.errors;
  ASSERT_TRUE(shown.logRead) << "chromium wrote no net log: " << shown.errors;
  EXPECT_EQ(joined(shown.requests, " "), "") << "the page asked for these";
  // The check sees a request where a page makes one.
  writeFile(scratch / "fetches.html",
            "<!DOCTYPE html><title>x</title><img src=\"http://fare-report.invalid/pixel.png\">");
  Rendered fetches = render(scratch / "fetches.html", scratch, "fetches");
  ASSERT_EQ(fetches.status, 0) << fetches.errors;
  EXPECT_EQ(joined(fetches.requests, " "), "http://fare-report.invalid/pixel.png")
      << "the net log does not show a page's request: the check above cannot see one";

  // The DOM the browser made of it holds the audit's figures: the totals,
  // the busiest hour of S3's entries, the anomaly's detail and where it is.
  const std::string& dom = shown.dom;
  EXPECT_NE(dom.find("<dd id=\"taps\">" + taps + "</dd>"), std::string::npos);
  EXPECT_NE(dom.find("<dd id=\"revenue\">" + revenue + "</dd>"), std::string::npos);
  EXPECT_NE(dom.find("<dd id=\"anomaly-count\"><a href=\"#anomalies\">1</a></dd>"),
            std::string::npos);
  const nlohmann::json* busiest = nullptr;
  for (const nlohmann::json& hour : audit["readers"]["S3"]["ridership"]) {
    if (busiest == nullptr || hour["entry"] > (*busiest)["entry"]) busiest = &hour;
  }
  ASSERT_NE(busiest, nullptr);
  std::string cell = "<title>S3 " + (*busiest)["date"].get<std::string>() + " " +
                     std::string((*busiest)["hour"] < 10 ? "0" : "") +
                     std::to_string((*busiest)["hour"].get<int>()) +
                     ":00: " + grouped((*busiest)["entry"].get<int64_t>()) + " entries</title>";
  EXPECT_NE(dom.find(cell), std::string::npos) << cell;
  const nlohmann::json& anomaly = audit["anomalies"][0];
  EXPECT_NE(dom.find(domText(anomaly["detail"])), std::string::npos) << anomaly["detail"];
  EXPECT_NE(dom.find("<section id=\"a-note_left\">"), std::string::npos);
  EXPECT_NE(dom.find("<tr id=\"reader-S1\" class=\"attention\">"), std::string::npos);
  EXPECT_NE(dom.find("a tap in flight"), std::string::npos);
  // What it covers, where from, and what made it.
  char whole[PATH_MAX];
  ASSERT_NE(realpath(network.root().c_str(), whole), nullptr);
  EXPECT_NE(dom.find("<code id=\"dir\">" + domText(whole) + "</code>"), std::string::npos);
  std::string version = cardTool(network, "--version").output;
  version = version.substr(version.rfind(' ') + 1);
  version.pop_back();
  EXPECT_NE(dom.find("<span id=\"program\">card_tool " + version + "</span>"), std::string::npos);
  EXPECT_NE(dom.find("<h1>The network's day: 2026-03-06</h1>"), std::string::npos);

  // And it drew: the screenshot is the window's size, and far from blank.
  Picture picture = lookAt(shown.screenshot);
  EXPECT_EQ(picture.width, 1280u);
  EXPECT_EQ(picture.height, 1600u);
  EXPECT_GT(picture.inked, 0.05);
  EXPECT_GE(picture.colours, 16u);
}
