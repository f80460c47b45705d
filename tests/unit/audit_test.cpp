// The kinds of tap the audit tells apart, told on the journey of a card
// across the network, and on a trip left open, and the rides ridership
// counts them as; the order the anomalies are reported in; the days an
// audit is asked for; an audit that reads its network without entering it;
// and one of a network whose taps run across midnight, day by day, with
// each reader's last tap and the office's changes by hour.
#include "office/audit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bus/trip_state.h"
#include "core/card_file.h"
#include "core/clock.h"
#include "core/packed_time.h"
#include "core/tap_journal.h"
#include "core/trip_facts.h"
#include "office/audit_state.h"
#include "office/fare_replay.h"
#include "office/local_hours.h"
#include "office/report.h"
#include "office/simulation.h"
#include "subway/trip_state.h"

#include "tests/support/test_support.h"

TEST(TapKinds, AJourneyAcrossTheNetworkIsToldTapByTap) {
  const CardRecord issued = record(20260306080000, "SUBWAY", "OUT", 10000, "ISSUE_2"),
                   in = record(20260306081000, "SUBWAY", "IN", 8950, "S1_1"),
                   out = record(20260306081200, "SUBWAY", "OUT", 8750, "S3_1"),
                   board = record(20260306081210, "BUS", "IN", 8750, "B_1"),
                   leave = record(20260306081345, "BUS", "OUT", 8450, "B_2"),
                   lateBoard = record(20260306081230, "BUS", "IN", 7700, "B_1"),
                   settle = record(20260306090000, "SUBWAY", "IN", 7500, "S2_1");
  const struct {
    CardRecord older, before, now;
    int64_t fare;
    TapKind kind;
    RideKind ride;
  } taps[] = {
      {issued, issued, in, 1050, TapKind::kNewRide, RideKind::kEntry},
      {issued, in, out, 200, TapKind::kExit, RideKind::kExit},
      {in, out, board, 0, TapKind::kTransfer, RideKind::kTransfer},
      {out, board, leave, 300, TapKind::kExitAfterTransfer, RideKind::kExit},
      // Boarded 20 s after leaving the subway, and paid: no transfer, an
      // ordinary ride.
      {out, lateBoard, leave, 0, TapKind::kExit, RideKind::kExit},
      {in, out, settle, 1250, TapKind::kSettlement, RideKind::kSettlement},
  };
  for (const auto& t : taps) {
    EXPECT_EQ(tapKindOf(t.older, t.before, t.now, t.fare), t.kind) << t.now.tapId;
    EXPECT_EQ(rideKindOf(t.kind), t.ride) << t.now.tapId;
  }
}

namespace {

// Tap `now`, after `older` and `latest` on Card/1.txt, decided again, each
// time converted as the readers convert it.
Redecided redecideTap(const CardRecord& older, const CardRecord& latest, const CardRecord& now) {
  return redecide(older, latest, now, "Card/1.txt",
                  {makeTime(older.time), makeTime(latest.time), makeTime(now.time), 0});
}

}  // namespace

TEST(FareReplay, EachTapIsWhatItsReadersRulesGiveOrIsToldOtherwise) {
  const CardRecord issued = record(20260306080000, "SUBWAY", "OUT", 10000, "ISSUE_2"),
                   in = record(20260306081000, "SUBWAY", "IN", 8950, "S1_1"),
                   out = record(20260306081200, "SUBWAY", "OUT", 8750, "S3_1"),
                   board = record(20260306081210, "BUS", "IN", 8750, "B_1"),
                   leave = record(20260306081345, "BUS", "OUT", 8450, "B_2"),
                   dear = record(20260306081000, "SUBWAY", "IN", 8900, "S1_1"),
                   low = record(20260306080000, "SUBWAY", "OUT", 1000, "ISSUE_2"),
                   lowIn = record(20260306081000, "SUBWAY", "IN", -50, "S1_1"),
                   stranger = record(20260306081000, "SUBWAY", "IN", 8950, "T9_1");
  // The latest record keeps the CR of its line, as the audit reads it.
  CardRecord inWithCr = in;
  copyText(inWithCr.tapId, "S1_1\r");
  const struct {
    const char* what;
    CardRecord older, latest, now;
    PeriodNeed need;
    bool kindKnown;
    TapKind kind;
  } taps[] = {
      {"a new ride", issued, issued, in, PeriodNeed::kAny, true, TapKind::kNewRide},
      // An exit two stations away, if S3's period began at or before the
      // entry; a settlement of the entry, for 1250, if after it.
      {"an exit", issued, inWithCr, out, PeriodNeed::kUpToEntry, true, TapKind::kExit},
      {"a transfer", in, out, board, PeriodNeed::kAny, true, TapKind::kTransfer},
      // 95 s on the bus after a transfer: three whole 30 s.
      {"an exit after a transfer", out, board, leave, PeriodNeed::kUpToEntry, true,
       TapKind::kExitAfterTransfer},
      // The rules charge 1050: the wrong fare of a misbuilt reader, with
      // the kind of the rules' answer of its mode and direction.
      {"a new ride for 1100", issued, issued, dear, PeriodNeed::kNone, true, TapKind::kNewRide},
      // 1000 is short of the 1250 a new ride needs: refused.
      {"an entry the rules refuse", low, low, lowIn, PeriodNeed::kNone, false, TapKind::kNewRide},
  };
  for (const auto& t : taps) {
    Redecided r = redecideTap(t.older, t.latest, t.now);
    EXPECT_TRUE(r.decided) << t.what;
    EXPECT_EQ(r.need, t.need) << t.what;
    EXPECT_EQ(r.kindKnown, t.kindKnown) << t.what;
    if (t.kindKnown) {
      EXPECT_EQ(r.kind, t.kind) << t.what;
    }
  }
  Redecided exit = redecideTap(issued, inWithCr, out);
  EXPECT_TRUE(exit.dependsOnPeriod);
  EXPECT_EQ(answerWords(exit.upTo, exit.bus), "an exit that charges 200");
  EXPECT_EQ(answerWords(exit.after, exit.bus),
            "a settlement of the trip left open, an entry that charges 1250");
  EXPECT_FALSE(redecideTap(in, out, board).dependsOnPeriod);
  Redecided dearRide = redecideTap(issued, issued, dear);
  EXPECT_EQ(recordWords(dear, issued.balance), "an entry that charged 1100");
  EXPECT_EQ(answerWords(dearRide.upTo, dearRide.bus), "a new ride, an entry that charges 1050");
  Redecided refused = redecideTap(low, low, lowIn);
  EXPECT_EQ(answerWords(refused.upTo, refused.bus),
            "a refusal: the balance is short of what the tap needs");
  EXPECT_EQ(recordWords(record(20260306081000, "SUBWAY", "IN", 10500, "S1_1"), issued.balance),
            "an entry that raised the balance by 500");
  // A tap of no reader of the network has no rule set to ask.
  EXPECT_FALSE(redecideTap(issued, issued, stranger).decided);
  EXPECT_EQ(tapNumberOf("S3_12"), 12);
  EXPECT_EQ(tapNumberOf("B_7\r"), 7);
  EXPECT_EQ(tapNumberOf("ISSUE"), 0);
}

TEST(FareReplay, APeriodStartDecidesStalenessAndNothingElse) {
  // What lets a replay derive a card's state once for both periods.
  const char* const shapes[][2] = {
      {"SUBWAY", "IN"}, {"SUBWAY", "OUT"}, {"BUS", "IN"}, {"BUS", "OUT"}};
  int stale = 0;
  for (const auto& o : shapes) {
    for (const auto& l : shapes) {
      for (int64_t gap : {5, 20, 600}) {
        for (const char* reader : {"S1", "S3", "B"}) {
          CardRecord older = record(20260306120000, o[0], o[1], 5000, "B_4");
          CardRecord latest = record(20260306120000 + gap, l[0], l[1], 5000, "S2_3");
          TripTimes times{makeTime(older.time), makeTime(latest.time), makeTime(latest.time) + 10,
                          0};
          bool bus = reader[0] == 'B';
          auto derive = [&](int64_t start) {
            times.periodStart = start;
            return bus ? bus::deriveTripStateAt(older, latest, "Card/1.txt", reader, times)
                       : subway::deriveTripStateAt(older, latest, "Card/1.txt", reader, times);
          };
          CardData before = derive(0), after = derive(INT64_MAX);
          stale += after.staleEntry;
          EXPECT_EQ(before.staleEntry, 0);
          auto fields = [](const CardData& c) {
            return std::vector<int64_t>{c.lastTime,          c.lastAt,      c.transfer,
                                        c.transferWindow,    c.lastIn,      c.lastBus,
                                        c.otherStation,      c.subwayToBus, c.busToSubway,
                                        c.enteredByTransfer, c.balance,     c.stationDistance};
          };
          EXPECT_EQ(fields(before), fields(after)) << o[0] << o[1] << l[0] << l[1] << reader;
          EXPECT_STREQ(before.cardFile, after.cardFile);
          EXPECT_STREQ(before.lastTapId, after.lastTapId);
        }
      }
    }
  }
  EXPECT_GT(stale, 0);
}

TEST(FareReplay, APeriodAllowsANeedWhereTheLogPlacesItsStart) {
  // The period began at or after `after` (the last tap of the one before)
  // and by `by` (its first tap); the entry was made at 10:00.
  const int64_t entry = 20260306100000;
  const struct {
    PeriodNeed need;
    int64_t after, by;
    PeriodAllows allows;
  } cases[] = {
      {PeriodNeed::kAny, 0, entry, PeriodAllows::kYes},
      {PeriodNeed::kNone, 0, entry, PeriodAllows::kNo},
      {PeriodNeed::kUpToEntry, 0, entry, PeriodAllows::kYes},
      {PeriodNeed::kUpToEntry, entry, entry + 5, PeriodAllows::kUnknown},
      {PeriodNeed::kUpToEntry, entry + 1, entry + 5, PeriodAllows::kNo},
      {PeriodNeed::kUpToEntry, 0, entry + 5, PeriodAllows::kUnknown},
      {PeriodNeed::kAfterEntry, entry + 1, entry + 5, PeriodAllows::kYes},
      {PeriodNeed::kAfterEntry, entry, entry + 5, PeriodAllows::kUnknown},
      {PeriodNeed::kAfterEntry, 0, entry, PeriodAllows::kNo},
      {PeriodNeed::kAfterEntry, 0, entry + 5, PeriodAllows::kUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(periodAllows(c.need, entry, c.after, c.by), c.allows)
        << static_cast<int>(c.need) << " " << c.after << " " << c.by;
  }
}

TEST(LocalHours, ConvertAsMakeTimeDoesAcrossAClockChange) {
  int shownTwice = 0;
  for (const char* zone : {"UTC", "Europe/Berlin", "Australia/Lord_Howe"}) {
    InZone in(zone);
    LocalHours hours = makeLocalHours();
    // The night Berlin's clocks go forward, and Lord Howe's by half an
    // hour; groups no clock shows, normalised as makeTime normalises them.
    for (int64_t day : {20260329, 20261004, 20261025}) {
      for (int64_t hour = 0; hour < 24; hour++) {
        for (int64_t mmss : {0, 59, 1500, 2959, 3000, 5959}) {
          // A time the clock shows twice, where it goes back, is either,
          // as the platform's last conversion leaves it: not compared.
          int64_t packed = day * 1000000 + hour * 10000 + mmss, made = makeTime(packed);
          int64_t got = calendarTime(&hours, packed);
          bool twice = timetolong(made - 3600) == packed || timetolong(made + 3600) == packed ||
                       timetolong(made - 1800) == packed || timetolong(made + 1800) == packed;
          if (!twice) {
            EXPECT_EQ(got, made) << zone << " " << packed;
          }
          shownTwice += twice;
        }
      }
    }
    for (int64_t odd : {int64_t{20260306126000}, int64_t{20260306120060}, int64_t{20260306250000},
                        int64_t{20260332120000}, int64_t{5}}) {
      int64_t made = makeTime(odd);
      EXPECT_EQ(calendarTime(&hours, odd), made) << zone << " " << odd;
    }
  }
  EXPECT_GT(shownTwice, 0) << "no clock went back in the hours tried";
}

TEST(AnomalyOrder, ByFileAndLineKeepingTheOrderFoundAmongEquals) {
  // Scrambled, with many equal places: the order a stable sort of a copy
  // gives, reached by moving each anomaly along its cycle.
  std::deque<Anomaly> anomalies;
  uint64_t state = 12345;
  for (int i = 0; i < 5000; i++) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    anomalies.push_back({AnomalyKind::kNotARecord, "Card/" + std::to_string(state >> 60) + ".txt",
                         static_cast<int64_t>(state >> 33) % 50, std::to_string(i)});
  }
  std::deque<Anomaly> expected = anomalies;
  std::stable_sort(expected.begin(), expected.end(), [](const Anomaly& x, const Anomaly& y) {
    return x.file != y.file ? x.file < y.file : x.line < y.line;
  });
  sortAnomalies(&anomalies);
  ASSERT_EQ(anomalies.size(), expected.size());
  for (size_t i = 0; i < expected.size(); i++) {
    ASSERT_EQ(anomalies[i].detail, expected[i].detail) << "place " << i;
  }
}

TEST(AuditDays, ADayIsARealDateWrittenYYYYMMDD) {
  const struct {
    const char* text;
    Day day;  // 0: refused
  } days[] = {
      {"2026-03-06", 20260306}, {"2024-02-29", 20240229}, {"2000-02-29", 20000229},
      {"0001-01-01", 10101},    {"9999-12-31", 99991231}, {"2026-02-29", 0},
      {"1900-02-29", 0},        {"2026-04-31", 0},        {"2026-13-01", 0},
      {"2026-00-10", 0},        {"2026-01-00", 0},        {"0000-01-01", 0},
      {"2026-3-06", 0},         {"2026-03-06 ", 0},       {"20260306", 0},
      {"2026/03/06", 0},        {"+026-03-06", 0},        {"", 0},
  };
  for (const auto& d : days) {
    Day day = -1;
    EXPECT_EQ(parseDay(d.text, &day), d.day != 0) << "'" << d.text << "'";
    EXPECT_EQ(day, d.day != 0 ? d.day : -1) << "'" << d.text << "'";
    if (d.day != 0) {
      EXPECT_EQ(dayText(d.day), d.text);
    }
  }
  EXPECT_EQ(dayOf(20260306235959), 20260306);
  EXPECT_TRUE(covers(AuditDays{}, 20260306));
  EXPECT_TRUE(covers(AuditDays{20260306, 20260306}, 20260306));
  EXPECT_FALSE(covers(AuditDays{20260307, 0}, 20260306));
  EXPECT_FALSE(covers(AuditDays{0, 20260305}, 20260306));
}

TEST(Audit, ReadsItsNetworkThroughItsPathWithoutEnteringIt) {
  ScratchDir network, gone;
  SimulationPlan plan;
  plan.cards = 8;
  plan.taps = 200;
  SimulationResult day;
  std::string problem;
  ASSERT_TRUE(simulateDay(network.path(), plan, &day, &problem)) << problem;
  // An idle journal is no anomaly, once it is found where it lies.
  writeFile(network / "Reader_txt/Subway1.txt.pending", formatIntent(kIdleIntent));
  char home[4096];
  ASSERT_NE(getcwd(home, sizeof home), nullptr);
  int dir = open(network.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  // Run from a working directory that is no more: an audit that entered
  // its network directory could not come back to it. Changing directory is
  // what this test is about; no other test does (they hold their network
  // directory open instead), and it goes back before it checks anything.
  ASSERT_EQ(chdir(gone.path().c_str()), 0);
  ASSERT_EQ(rmdir(gone.path().c_str()), 0);
  AuditReport report;
  bool audited = auditNetwork(dir, network.path(), calendarNow(), AuditDays{}, false, AuditSinks{},
                              &report, &problem);
  close(dir);
  char after[4096];
  bool cwdGone = getcwd(after, sizeof after) == nullptr && errno == ENOENT;
  ASSERT_EQ(chdir(home), 0);
  ASSERT_TRUE(audited) << problem;
  EXPECT_TRUE(cwdGone) << "the working directory changed to " << after;
  EXPECT_TRUE(report.anomalies.empty())
      << report.anomalies.front().file << ": " << report.anomalies.front().detail;
  EXPECT_EQ(report.cards, 8);
  EXPECT_EQ(report.matched, day.taps);
  EXPECT_EQ(report.network.all.taps, day.taps);
  // Each reader's journal as it was found: S1's idle, S2 with none.
  EXPECT_EQ(report.now.at("S1").journal, JournalState::kIdle);
  EXPECT_EQ(report.now.at("S2").journal, JournalState::kNone);
}

namespace {

// The network directory at `root` audited as it stands, over every day.
AuditReport auditOf(const std::string& root) {
  int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_GE(dir, 0);
  AuditReport report;
  std::string problem;
  EXPECT_TRUE(
      auditNetwork(dir, root, calendarNow(), AuditDays{}, false, AuditSinks{}, &report, &problem))
      << problem;
  close(dir);
  return report;
}

// The taps an audit put under `verdict`.
int64_t verdicts(const AuditReport& report, FareVerdict verdict) {
  return report.fares.byVerdict[static_cast<int>(verdict)];
}

}  // namespace

TEST(Audit, ReportsEveryTapOfAMisbuiltReaderAndNoOther) {
  for (const char* misbuilt : {"", "S3:new_ride:1100", "B:exit_after_transfer:700",
                               "S2:settlement:1300", "S4:exit:0", "B:transfer:50"}) {
    ScratchDir network;
    SimulationPlan plan;
    plan.cards = 60;
    plan.taps = 4000;
    plan.seed = 7;
    if (misbuilt[0] != '\0') {
      ASSERT_TRUE(parseMisbuilt(misbuilt, &plan.misbuilt)) << misbuilt;
    }
    SimulationResult day;
    std::string problem;
    ASSERT_TRUE(simulateDay(network.path(), plan, &day, &problem)) << problem;
    AuditReport report = auditOf(network.path());
    // Every tap the misbuilt reader charged otherwise, told on its record
    // quoting the rules' fare; every other tap as the rules give it, or
    // not verifiable where its reader's log cannot place a period.
    EXPECT_EQ(verdicts(report, FareVerdict::kDiffers), day.mischarged) << misbuilt;
    EXPECT_EQ(static_cast<int64_t>(report.anomalies.size()), day.mischarged) << misbuilt;
    for (const Anomaly& a : report.anomalies) {
      EXPECT_EQ(a.kind, AnomalyKind::kFareMismatch) << misbuilt << ": " << a.detail;
    }
    EXPECT_EQ(verdicts(report, FareVerdict::kAgrees) + verdicts(report, FareVerdict::kDiffers) +
                  verdicts(report, FareVerdict::kUnverifiable),
              day.taps)
        << misbuilt;
    EXPECT_EQ(verdicts(report, FareVerdict::kUndecided), 0) << misbuilt;
    EXPECT_EQ(report.matched, day.taps) << misbuilt;
    if (misbuilt[0] != '\0') {
      EXPECT_GT(day.mischarged, 0) << misbuilt;
    }
  }
}

namespace {

// Everything a report says, as text to compare: what was read, every
// anomaly, the totals of every reader, the taps by verdict, the money held.
std::string reportText(const AuditReport& r) {
  std::string text = std::to_string(r.cards) + " " + std::to_string(r.records) + " " +
                     std::to_string(r.matched) + "\n";
  for (const Anomaly& a : r.anomalies) {
    text += std::string(anomalyName(a.kind)) + " " + a.file + ":" + std::to_string(a.line) + " " +
            a.detail + "\n";
  }
  auto totals = [&](const std::string& name, const ReaderTotals& t) {
    text += name + " " + std::to_string(t.all.taps) + " " + std::to_string(t.all.revenue);
    for (const Tally& k : t.byKind) text += " " + std::to_string(k.revenue);
    text +=
        " " + std::to_string(t.withoutRecord.taps) + " " + std::to_string(t.withoutLogLine.taps);
    for (const auto& [day, d] : t.days) {
      for (const HourTotals& h : d.hours) {
        text += " " + std::to_string(h.tally.taps);
        for (int64_t rides : h.rides) text += "/" + std::to_string(rides);
      }
    }
    text += "\n";
  };
  for (const auto& [name, t] : r.readers) totals(name, t);
  totals("network", r.network);
  for (int64_t v : r.fares.byVerdict) text += std::to_string(v) + " ";
  for (const auto& [day, money] : r.held) {
    text += "\n" + std::to_string(day) + " " + std::to_string(money.heldBefore) + " " +
            std::to_string(money.held);
    for (int64_t m : money.moved) text += " " + std::to_string(m);
  }
  return text;
}

}  // namespace

TEST(Audit, ReadsALargeCardDirectoryOnTwoThreadsWithTheReportOfOne) {
  // 1,200 cards, read on two threads; the same read on one, as it is when
  // what it reads is handed on. Then cards the earlier half reads last are
  // copied to numbers the later half reads first: its thread takes their
  // lines before the earlier one comes to them, out of the order the cards
  // are in, and the cards are read again on one thread.
  for (bool copies : {false, true}) {
    ScratchDir network;
    SimulationPlan plan;
    plan.cards = 1200;
    plan.taps = 12000;
    plan.seed = 3;
    SimulationResult day;
    std::string problem;
    ASSERT_TRUE(simulateDay(network.path(), plan, &day, &problem)) << problem;
    // Card files sort as text, and the listing is cut in the middle: the
    // copies, of cards 60 and more before it, are named to come 5 after it
    // (650.txt, then 6500.txt, 65000.txt, ...: no card has such a number).
    std::vector<std::string> names;
    for (int number = 1; number <= 1200; number++) names.push_back(std::to_string(number));
    std::sort(names.begin(), names.end());
    // An audit with a checkpoint before the copies are made goes on from
    // it after: the cards read again on one thread go on from it too.
    const std::string checkpoint = network / "audit.checkpoint";
    int dir = open(network.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    AuditReport before, goingOn;
    bool ofNetwork = false;
    ASSERT_TRUE(auditWithCheckpoint(dir, network.path(), calendarNow(), false, checkpoint, &before,
                                    &problem, &ofNetwork))
        << problem;
    for (size_t k = 1; copies && k <= 7; k++) {
      std::string original = network / ("Card/" + names[names.size() / 2 - 60 - k] + ".txt");
      // With a tap appended since, with its line, which the copy takes first.
      std::string bytes = readFile(original), time = "2026030623595" + std::to_string(k);
      std::string balance = bytes.substr(bytes.rfind(',', bytes.rfind(',') - 1) + 1);
      balance = std::to_string(std::stoi(balance.substr(0, balance.find(','))) - 1);
      std::string id = "B_9" + std::to_string(k);
      writeFile(original, bytes + "\r\n" + time + ",BUS,IN," + balance + "," + id);
      writeFile(network / "Reader_txt/Bus.txt",
                readFile(network / "Reader_txt/Bus.txt") + time + ",BUS,IN,1," + id + "\r\n");
      writeFile(network / ("Card/" + names[names.size() / 2 + 5] + std::string(k, '0') + ".txt"),
                readFile(original));
    }
    AuditReport two, one;
    AuditSinks handsOn;
    int64_t handed = 0;
    handsOn.card = [&](const AuditedCard&) { handed++; };
    ASSERT_TRUE(auditNetwork(dir, network.path(), calendarNow(), AuditDays{}, false, AuditSinks{},
                             &two, &problem))
        << problem;
    ASSERT_TRUE(auditNetwork(dir, network.path(), calendarNow(), AuditDays{}, false, handsOn, &one,
                             &problem))
        << problem;
    ASSERT_TRUE(auditWithCheckpoint(dir, network.path(), calendarNow(), false, checkpoint, &goingOn,
                                    &problem, &ofNetwork))
        << problem;
    close(dir);
    if (!copies) {
      EXPECT_EQ(reportText(before), reportText(two));
    }
    EXPECT_EQ(reportText(goingOn), reportText(two)) << (copies ? "with copies" : "");
    EXPECT_EQ(goingOn.cards, copies ? 1207 : 1200);
    EXPECT_EQ(handed, copies ? 1207 : 1200);
    EXPECT_EQ(reportText(two), reportText(one)) << (copies ? "with copies" : "");
    EXPECT_EQ(two.anomalies.empty(), !copies);
    EXPECT_EQ(two.matched, day.taps + (copies ? 7 : 0));
  }
}

TEST(Audit, JudgesAnExitByThePeriodItsReadersLogPlaces) {
  // Card 1 enters at S1 at 10:04:00 and leaves at S2, the next station,
  // for nothing at 10:05:30, as S2's tap 2 of its period. Which period
  // that is S2's log says: its tap 1 and the tap before it, cards 2 and 3
  // entering there at `before` and 10:05:00, numbered `numbers`.
  const struct {
    const char* what;
    const char* before;
    const char* numbers[2];
    FareVerdict verdict;
  } cases[] = {
      // The period before ran past the entry: S2's began after it, and an
      // exit is a settlement there.
      {"began after the entry", "100430", {"1", "1"}, FareVerdict::kDiffers},
      // Anywhere from 10:03:30 to 10:05:00: the log cannot tell.
      {"began around the entry", "100330", {"1", "1"}, FareVerdict::kUnverifiable},
      // One period since 10:03:30: it began at or before the entry.
      {"began before the entry", "100330", {"1", "2"}, FareVerdict::kAgrees},
      // A tap 5 where tap 1 should be: the log does not count as a period
      // does, and places nothing.
      {"is not counted", "100430", {"1", "5"}, FareVerdict::kUnverifiable},
  };
  for (const auto& c : cases) {
    ScratchDir network;
    mkdir((network / "Card").c_str(), 0755);
    mkdir((network / "Reader_txt").c_str(), 0755);
    const std::string issue =
        "20260306100000,SUBWAY,OUT,10000,ISSUE_1\r\n20260306100000,SUBWAY,OUT,10000,ISSUE_2\r\n";
    std::string exitId = std::string("S2_") + (c.numbers[1][0] == '2' ? "3" : "2");
    writeFile(network / "Card/1.txt", issue + "20260306100400,SUBWAY,IN,8950,S1_1\r\n" +
                                          "20260306100530,SUBWAY,OUT,8950," + exitId);
    writeFile(network / "Card/2.txt",
              issue + "20260306" + c.before + ",SUBWAY,IN,8950,S2_" + c.numbers[0]);
    writeFile(network / "Card/3.txt", issue + "20260306100500,SUBWAY,IN,8950,S2_" + c.numbers[1]);
    writeFile(network / "Reader_txt/Subway1.txt", "20260306100400,SUBWAY,IN,1050,S1_1\r\n");
    writeFile(network / "Reader_txt/Subway2.txt",
              "20260306" + std::string(c.before) + ",SUBWAY,IN,1050,S2_" + c.numbers[0] +
                  "\r\n20260306100500,SUBWAY,IN,1050,S2_" + c.numbers[1] +
                  "\r\n20260306100530,SUBWAY,OUT,0," + exitId + "\r\n");
    AuditReport report = auditOf(network.path());
    EXPECT_EQ(verdicts(report, c.verdict), c.verdict == FareVerdict::kAgrees ? 4 : 1) << c.what;
    EXPECT_EQ(report.matched, 4) << c.what;
    if (c.verdict != FareVerdict::kDiffers) {
      EXPECT_TRUE(report.anomalies.empty()) << c.what << ": " << report.anomalies[0].detail;
      continue;
    }
    ASSERT_EQ(report.anomalies.size(), 1u) << c.what;
    const Anomaly& a = report.anomalies[0];
    EXPECT_EQ(a.kind, AnomalyKind::kFareMismatch);
    EXPECT_EQ(a.file, "Card/1.txt");
    EXPECT_EQ(a.line, 4);
    EXPECT_EQ(a.detail,
              "\"20260306100530,SUBWAY,OUT,8950,S2_2\": an exit that charged 0, which the rules "
              "of reader S2 give only if its operating period began at or before the entry "
              "(2026-03-06 10:04:00); it began after it, at or after the tap of "
              "Reader_txt/Subway2.txt:1 (2026-03-06 10:04:30), the last of the period before, and "
              "the rules give a settlement of the trip left open, an entry that charges 1250");
  }
}

namespace {

// The network of writeMidnightNetwork, audited for `days`.
AuditReport auditMidnight(const ScratchDir& network, AuditDays days) {
  writeMidnightNetwork(network.path());
  int dir = open(network.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_GE(dir, 0);
  AuditReport report;
  std::string problem;
  EXPECT_TRUE(auditNetwork(dir, network.path(), calendarNow(), days, false, AuditSinks{}, &report,
                           &problem))
      << problem;
  close(dir);
  return report;
}

// A day's money, as its fields stand: held before, issued, top-ups,
// revenue, held.
std::vector<int64_t> money(const DayMoney& m) {
  return {m.heldBefore, m.moved[static_cast<int>(Movement::kIssued)],
          m.moved[static_cast<int>(Movement::kTopUps)],
          m.moved[static_cast<int>(Movement::kRevenue)], m.held};
}

}  // namespace

TEST(Audit, CountsEachDayApartAcrossMidnight) {
  ScratchDir network;
  AuditReport both = auditMidnight(network, AuditDays{});
  // Every tap is matched whatever its day; the line no card tells is the
  // one anomaly.
  EXPECT_EQ(both.matched, 7);
  // Every fare is the rules': two of them only in a period the logs cannot
  // place (S3's exit, and S2's settlement, each its log's first line).
  EXPECT_EQ(verdicts(both, FareVerdict::kAgrees), 5);
  EXPECT_EQ(verdicts(both, FareVerdict::kUnverifiable), 2);
  EXPECT_EQ(verdicts(both, FareVerdict::kDiffers), 0);
  ASSERT_EQ(both.anomalies.size(), 1u);
  EXPECT_EQ(both.anomalies[0].file, "Reader_txt/Subway4.txt");
  // Day and hour are the key: S1's two entries fall on two days.
  const ReaderTotals& s1 = both.readers.at("S1");
  ASSERT_EQ(s1.days.size(), 2u);
  EXPECT_EQ(s1.days.at(20260306).hours[23].tally.taps, 1);
  EXPECT_EQ(s1.days.at(20260307).hours[6].tally.revenue, 1050);
  EXPECT_EQ(both.network.days.at(20260306).all.taps, 3);
  EXPECT_EQ(both.network.days.at(20260307).all.revenue, 2800);
  // The bus at 00:00 on the 7th: a transfer in and the exit after it; the
  // line no record tells rides as an entry, by its own direction and fare.
  const int64_t* bus = both.readers.at("B").days.at(20260307).hours[0].rides;
  EXPECT_EQ(std::vector<int64_t>(bus, bus + kRideKinds), (std::vector<int64_t>{0, 1, 1, 0}));
  EXPECT_EQ(both.readers.at("S4").days.at(20260306).hours[23].rides[0], 1);
  EXPECT_EQ(both.readers.at("S2").days.at(20260307).hours[7].rides[3], 1);
  EXPECT_EQ(both.topUps.days.at(20260307).hours[7].amount, 5000);
  // The money held: card 2's top-up counts from its line's day, not from
  // its record's; card 3, issued on the 7th, holds nothing on the 6th.
  ASSERT_EQ(both.held.size(), 2u);
  EXPECT_EQ(money(both.held.at(20260306)), (std::vector<int64_t>{0, 13000, 0, 3150, 10900}));
  EXPECT_EQ(heldDifference(both.held.at(20260306)), 1050);
  EXPECT_EQ(money(both.held.at(20260307)), (std::vector<int64_t>{10900, 2000, 5000, 2800, 15100}));
  EXPECT_EQ(heldDifference(both.held.at(20260307)), 0);
  EXPECT_EQ(coveredDays(both).from, 20260306);
  EXPECT_EQ(coveredDays(both).to, 20260307);
  // Each reader's last tap is its log's last line.
  const LastTap& s1Last = both.now.at("S1").last;
  EXPECT_EQ(s1Last.line, 2);
  EXPECT_EQ(s1Last.time, 20260307061000);
  EXPECT_EQ(std::string(s1Last.tapId) + (s1Last.in ? " in " : " out ") + (s1Last.bus ? "bus" : ""),
            "S1_2 in ");
  EXPECT_EQ(s1Last.fare, 1050);
  EXPECT_EQ(both.now.at("B").last.line, 2);
  EXPECT_TRUE(both.now.at("B").last.bus);
  EXPECT_EQ(both.now.at("S5").last.line, 1);

  // The 7th alone: the same matching, the 6th in no total, its anomaly
  // left out, and what the cards held at its end carried in; the last
  // taps are the logs', whatever the days.
  ScratchDir later;
  AuditReport seventh = auditMidnight(later, AuditDays{20260307, 0});
  EXPECT_EQ(seventh.matched, 7);
  EXPECT_TRUE(seventh.anomalies.empty());
  EXPECT_EQ(seventh.network.all.taps, 5);
  EXPECT_EQ(seventh.network.all.revenue, 2800);
  EXPECT_EQ(seventh.network.days.count(20260306), 0u);
  EXPECT_EQ(seventh.topUps.all.amount, 5000);
  ASSERT_EQ(seventh.held.size(), 1u);
  EXPECT_EQ(money(seventh.held.at(20260307)),
            (std::vector<int64_t>{10900, 2000, 5000, 2800, 15100}));
  EXPECT_EQ(coveredDays(seventh).from, 20260307);
  EXPECT_EQ(coveredDays(seventh).to, 20260307);
  EXPECT_EQ(seventh.now.at("S4").last.time, 20260306230000);

  // The 6th alone: its anomaly, no top-up, and what was held at its end.
  ScratchDir earlier;
  AuditReport sixth = auditMidnight(earlier, AuditDays{0, 20260306});
  EXPECT_EQ(sixth.anomalies.size(), 1u);
  EXPECT_EQ(sixth.network.all.taps, 3);
  EXPECT_EQ(sixth.network.withoutRecord.revenue, 1050);
  EXPECT_EQ(sixth.topUps.all.count, 0);
  ASSERT_EQ(sixth.held.size(), 1u);
  EXPECT_EQ(money(sixth.held.at(20260306)), (std::vector<int64_t>{0, 13000, 0, 3150, 10900}));
}

TEST(Audit, CountsTheOfficesChangesByDayAndHour) {
  ScratchDir network;
  writeMidnightNetwork(network.path());
  // A refund, a close and a replacement, each dated by its line; no card
  // record tells them (each an anomaly), but the office's log counts them.
  std::string lines = readFile(network / "Reader_txt/Topup.txt");
  TopUpLine refund{20260307081500, "2", 300, 6650, OfficeKind::kRefund, "broken"};
  TopUpLine paidOut{20260307081700, "3", 950, 0, OfficeKind::kClose, ""};
  TopUpLine replace{20260307230000, "1", 8450, 0, OfficeKind::kReplace, "9"};
  for (const TopUpLine& line : {refund, paidOut, replace}) lines += formatTopUpLine(line);
  writeFile(network / "Reader_txt/Topup.txt", lines);
  int dir = open(network.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  AuditReport report;
  std::string problem;
  ASSERT_TRUE(auditNetwork(dir, network.path(), calendarNow(), AuditDays{}, false, AuditSinks{},
                           &report, &problem))
      << problem;
  close(dir);
  const TopUpTotals& t = report.topUps;
  EXPECT_EQ(t.refundDays.at(20260307).hours[8].amount, 300);
  EXPECT_EQ(t.refundDays.at(20260307).all.count, 1);
  EXPECT_EQ(t.closeDays.at(20260307).hours[8].amount, 950);
  EXPECT_EQ(t.replacementDays.at(20260307).hours[23].amount, 8450);
  EXPECT_EQ(t.replacementDays.count(20260306), 0u);
  // Each in its own total too, and none among the top-ups.
  EXPECT_EQ(t.refunds.amount + t.closes.amount + t.replacements.amount, 300 + 950 + 8450);
  EXPECT_EQ(t.days.at(20260307).hours[8].count, 0);
  EXPECT_EQ(t.all.count, 1);
}

namespace {

// The JSON report of the network at `network`: audited in full, or on
// from the checkpoint `checkpoint` when one is named.
std::string reportJson(const ScratchDir& network, const std::string& checkpoint) {
  int dir = open(network.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_GE(dir, 0);
  AuditReport report;
  std::string problem;
  bool ofNetwork = false;
  bool audited = checkpoint.empty()
                     ? auditNetwork(dir, network.path(), calendarNow(), AuditDays{}, false,
                                    AuditSinks{}, &report, &problem)
                     : auditWithCheckpoint(dir, network.path(), calendarNow(), false, checkpoint,
                                           &report, &problem, &ofNetwork);
  EXPECT_TRUE(audited) << problem;
  close(dir);
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  writeReportJson(out, report);
  fclose(out);
  std::string json(text, size);
  free(text);
  return json;
}

}  // namespace

TEST(Audit, GoesOnFromACheckpointMadeBetweenTheOfficesTwoRecords) {
  // Card 1 of the midnight network just after its transfer to the bus, a
  // trip begun by a transfer: the office tops it up with two records, the
  // audit with a checkpoint running before, between and after them, and
  // after the bus exit that ends the trip. Each report is the full one.
  ScratchDir network;
  writeMidnightNetwork(network.path());
  const std::string card = network / "Card/1.txt", bus = network / "Reader_txt/Bus.txt";
  std::string whole = readFile(card), busLog = readFile(bus);
  std::string exit = whole.substr(whole.rfind("\r\n"));
  writeFile(card, whole.substr(0, whole.size() - exit.size()));
  writeFile(bus, busLog.substr(0, busLog.find("\r\n") + 2));
  const std::string checkpoint = network / "audit.checkpoint";
  EXPECT_EQ(reportJson(network, checkpoint), reportJson(network, ""));

  std::vector<std::string> lines;
  std::string bytes = readFile(card);
  for (size_t at = 0, next; at <= bytes.size(); at = next + 2) {
    next = std::min(bytes.find("\r\n", at), bytes.size());
    lines.push_back(bytes.substr(at, next - at));
  }
  CardRecord older, latest;
  ASSERT_TRUE(
      parseCardLine(lines[lines.size() - 2].data(), lines[lines.size() - 2].size(), false, &older));
  ASSERT_TRUE(parseCardLine(lines.back().data(), lines.back().size(), true, &latest));
  std::string office = officeRecords(older, latest, latest.balance + 5000);
  size_t second = office.find("\r\n", 2);
  ASSERT_NE(second, std::string::npos) << "a trip begun by a transfer takes two records";
  writeFile(card, bytes + office.substr(0, second));
  writeFile(network / "Reader_txt/Topup.txt",
            readFile(network / "Reader_txt/Topup.txt") +
                formatTopUpLine(TopUpLine{20260307001100, "1", 5000, latest.balance + 5000}));
  EXPECT_EQ(reportJson(network, checkpoint), reportJson(network, ""));
  writeFile(card, readFile(card) + office.substr(second));
  EXPECT_EQ(reportJson(network, checkpoint), reportJson(network, ""));

  // The exit charges as it would have without the top-up.
  std::string charged = exit.substr(0, exit.find(",8450,")) + "," +
                        std::to_string(latest.balance + 5000 - 300) + ",B_2";
  writeFile(card, readFile(card) + charged);
  writeFile(bus, busLog);
  std::string full = reportJson(network, "");
  EXPECT_EQ(reportJson(network, checkpoint), full);
  EXPECT_NE(full.find("\"differs\": 0"), std::string::npos) << full;
  EXPECT_NE(full.find("\"anomalies\": [\n    {\"kind\": \"log_line_without_record\", \"file\": "
                      "\"Reader_txt/Subway4.txt\""),
            std::string::npos)
      << full;
}
