// docs/fares.md against the code: every constant of the rule sets' fares
// and of the trip facts, by its name and value, and every worked example
// run through the rules of the reader it is made at.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bus/dispatch.h"
#include "bus/fares.h"
#include "bus/trip_state.h"
#include "core/trip_facts.h"
#include "subway/dispatch.h"
#include "subway/fares.h"
#include "subway/trip_state.h"
#include "tests/support/test_support.h"
#include "tests/support/trip_cards.h"

namespace {

// Every constant the fare table gives, by the name it gives it.
const std::map<std::string, int64_t> kConstants = {
    {"subway::kTransferWindow", subway::kTransferWindow},
    {"subway::kExitFare", subway::kExitFare},
    {"subway::kExitTwoAwayFare", subway::kExitTwoAwayFare},
    {"subway::kTransferExitFare", subway::kTransferExitFare},
    {"subway::kTransferExitOneAwayFare", subway::kTransferExitOneAwayFare},
    {"subway::kTransferExitTwoAwayFare", subway::kTransferExitTwoAwayFare},
    {"subway::kRideFare", subway::kRideFare},
    {"subway::kRideThreshold", subway::kRideThreshold},
    {"subway::kTransferFare", subway::kTransferFare},
    {"subway::kTransferThreshold", subway::kTransferThreshold},
    {"subway::kOpenSubwayThreshold", subway::kOpenSubwayThreshold},
    {"subway::kOpenBusToSubwayThreshold", subway::kOpenBusToSubwayThreshold},
    {"subway::kOpenSubwayToBusThreshold", subway::kOpenSubwayToBusThreshold},
    {"subway::kStations", subway::kStations},
    {"bus::kTransferWindow", bus::kTransferWindow},
    {"bus::kExitFare", bus::kExitFare},
    {"bus::kRideUnitSeconds", bus::kRideUnitSeconds},
    {"bus::kRideUnitFare", bus::kRideUnitFare},
    {"bus::kRideFareCap", bus::kRideFareCap},
    {"bus::kBoardingFare", bus::kBoardingFare},
    {"bus::kBoardingThreshold", bus::kBoardingThreshold},
    {"bus::kTransferFare", bus::kTransferFare},
    {"bus::kTransferThreshold", bus::kTransferThreshold},
    {"bus::kOpenSubwayThreshold", bus::kOpenSubwayThreshold},
    {"bus::kOpenBusToSubwayThreshold", bus::kOpenBusToSubwayThreshold},
    {"bus::kOpenSubwayToBusThreshold", bus::kOpenSubwayToBusThreshold},
    {"kTransferWindowSeconds", kTransferWindowSeconds},
    {"kOpenSubwayFare", kOpenSubwayFare},
    {"kOpenBusToSubwayFare", kOpenBusToSubwayFare},
    {"kOpenSubwayToBusFare", kOpenSubwayToBusFare},
    {"kClockToleranceSeconds", kClockToleranceSeconds},
};

// The headers every constant of which the table must give, and the
// prefix of their names there.
const struct {
  const char* path;
  const char* prefix;
} kHeaders[] = {
    {"subway/fares.h", "subway::"}, {"bus/fares.h", "bus::"}, {"core/trip_facts.h", ""}};

std::string sourceFile(const std::string& path) {
  return readFile(std::string(SOURCE_ROOT) + "/" + path);
}

// The cells of a line of a markdown table, trimmed; none for a line that
// is no table row.
std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> found;
  if (line.size() < 2 || line.front() != '|' || line.back() != '|') return found;
  std::istringstream row(line.substr(1, line.size() - 2));
  std::string cell;
  while (std::getline(row, cell, '|')) {
    size_t first = cell.find_first_not_of(' '), last = cell.find_last_not_of(' ');
    found.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
  }
  return found;
}

// The rows of every table of docs/fares.md.
std::vector<std::vector<std::string>> docRows() {
  std::vector<std::vector<std::string>> rows;
  std::istringstream doc(sourceFile("docs/fares.md"));
  std::string line;
  while (std::getline(doc, line)) {
    std::vector<std::string> row = cells(line);
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

// Whether `text` is a whole number, perhaps negative, and its value.
bool number(const std::string& text, int64_t* value) {
  if (!std::regex_match(text, std::regex("-?[0-9]+"))) return false;
  *value = std::stoll(text);
  return true;
}

// One worked example as the table gives it.
struct Example {
  int64_t row = 0;
  std::string kind, reader, older, latest, latestId, why;
  int64_t gap = 0, age = 0, balance = 0, fare = 0, after = 0;
};

// What a kind of tap appends, whether its log line takes the card's
// previous tap id, and the kind the fare entry that accepts it names.
const struct {
  const char* kind;
  const char* direction;
  bool logsPreviousId;
  TapKind tapKind;
} kKinds[] = {{"new ride", "IN", false, TapKind::kNewRide},
              {"exit", "OUT", false, TapKind::kExit},
              {"transfer", "IN", true, TapKind::kTransfer},
              {"exit after a transfer", "OUT", true, TapKind::kExitAfterTransfer},
              {"settles a trip left open", "IN", false, TapKind::kSettlement},
              {"refused", "", false, TapKind::kNewRide}};

// Reads the worked example in `row`, a table row of nine cells whose first
// is its number. Returns a text naming what it cannot read, empty when it
// reads all.
std::string readExample(const std::vector<std::string>& row, Example* e) {
  static const std::regex older("`([A-Z]+ [A-Z]+)`, ([0-9]+) s before the latest");
  static const std::regex latest("`([A-Z]+ [A-Z]+) ([A-Z0-9_]+)`, ([0-9]+) s before the tap");
  std::smatch m;
  number(row[0], &e->row);
  e->kind = row[1];
  e->reader = row[2];
  e->why = row[8];
  if (!std::regex_match(row[3], m, older)) return "older record '" + row[3] + "'";
  e->older = m[1];
  e->gap = std::stoll(m[2]);
  if (!std::regex_match(row[4], m, latest)) return "latest record '" + row[4] + "'";
  e->latest = m[1];
  e->latestId = m[2];
  e->age = std::stoll(m[3]);
  if (!number(row[5], &e->balance)) return "balance '" + row[5] + "'";
  if (row[6] == "refused") {
    e->fare = kRefusedFare;
  } else if (!number(row[6], &e->fare)) {
    return "fare '" + row[6] + "'";
  }
  if (!number(row[7], &e->after)) return "balance after '" + row[7] + "'";
  return "";
}

// The worked examples of docs/fares.md.
std::vector<std::vector<std::string>> exampleRows() {
  std::vector<std::vector<std::string>> examples;
  int64_t n = 0;
  for (const std::vector<std::string>& row : docRows()) {
    if (row.size() == 9 && number(row[0], &n)) examples.push_back(row);
  }
  return examples;
}

}  // namespace

TEST(FaresDoc, GivesEveryConstantOfTheRulesWithItsValue) {
  std::map<std::string, int64_t> given;
  for (const std::vector<std::string>& row : docRows()) {
    int64_t value = 0;
    if (row.size() < 2 || row[0].size() < 3 || row[0].front() != '`' || row[0].back() != '`' ||
        !number(row[1], &value)) {
      continue;
    }
    std::string name = row[0].substr(1, row[0].size() - 2);
    EXPECT_EQ(given.count(name), 0u) << name << " is given twice in docs/fares.md";
    given[name] = value;
  }
  // Each constant the headers define is one the table must give.
  std::regex defined(R"(constexpr\s+\w+\s+(k\w+)\s*=)");
  size_t defines = 0;
  for (const auto& header : kHeaders) {
    std::string text = sourceFile(header.path);
    for (std::sregex_iterator i(text.begin(), text.end(), defined), end; i != end; ++i) {
      std::string name = header.prefix + (*i)[1].str();
      defines++;
      EXPECT_EQ(kConstants.count(name), 1u)
          << header.path << " defines " << name << ", which this test does not know: add it";
      EXPECT_EQ(given.count(name), 1u) << "docs/fares.md does not give " << name;
    }
  }
  EXPECT_GE(defines, 25u) << "the headers' constants were not found";
  for (const auto& [name, value] : kConstants) {
    ASSERT_EQ(given.count(name), 1u) << "docs/fares.md does not give " << name;
    EXPECT_EQ(given[name], value) << "docs/fares.md gives " << name << " another value";
  }
  for (const auto& [name, value] : given) {
    EXPECT_EQ(kConstants.count(name), 1u)
        << "docs/fares.md gives " << name << " = " << value << ", which the code does not define";
  }
}

TEST(FaresDoc, WorkedExamplesAreWhatTheRulesDo) {
  std::vector<std::vector<std::string>> rows = exampleRows();
  ASSERT_GE(rows.size(), 30u) << "docs/fares.md lost its worked examples";
  std::set<std::string> shown;  // kind and vehicle of each example
  int64_t expected = 0;
  for (const std::vector<std::string>& row : rows) {
    Example e;
    std::string unread = readExample(row, &e);
    EXPECT_EQ(unread, "") << "example " << row[0] << ": cannot read its " << unread;
    if (!unread.empty()) continue;
    EXPECT_EQ(e.row, ++expected) << "examples are numbered in order";
    bool bus = e.reader == "B";
    EXPECT_TRUE(bus || std::regex_match(e.reader, std::regex("S[1-5]")))
        << "example " << e.row << ": no reader " << e.reader;
    const auto* kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                    [&](const auto& k) { return e.kind == k.kind; });
    ASSERT_NE(kind, std::end(kKinds)) << "example " << e.row << ": no kind of tap " << e.kind;
    EXPECT_EQ(e.kind == "refused", e.fare == kRefusedFare)
        << "example " << e.row << ": a refused tap, and only one, has no fare";
    EXPECT_EQ(e.after, e.fare == kRefusedFare ? e.balance : e.balance - e.fare)
        << "example " << e.row << ": the balance after is not the balance less the fare";
    WorkedTap tap{e.older.c_str(),
                  e.gap,
                  e.latest.c_str(),
                  e.latestId.c_str(),
                  e.age,
                  static_cast<int32_t>(e.balance),
                  static_cast<int32_t>(e.fare),
                  kind->direction,
                  kind->logsPreviousId,
                  e.fare == kRefusedFare ? nullptr : &kind->tapKind};
    std::string wrong =
        bus ? checkWorkedTap(tap, "B", bus::deriveTripState, bus::chooseFare)
            : checkWorkedTap(tap, e.reader.c_str(), subway::deriveTripState, subway::chooseFare);
    EXPECT_EQ(wrong, "") << "example " << e.row << " (" << e.kind << " at " << e.reader
                         << "): the rules give another";
    shown.insert(e.kind + (bus ? " on the bus" : " at a station"));
  }
  // Every kind of tap is worked, at a station and on the bus.
  for (const auto& kind : kKinds) {
    for (const char* where : {" at a station", " on the bus"}) {
      EXPECT_EQ(shown.count(kind.kind + std::string(where)), 1u)
          << "docs/fares.md works no example of " << kind.kind << where;
    }
  }
}
