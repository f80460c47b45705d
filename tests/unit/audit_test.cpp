// The kinds of tap the audit tells apart, told on the journey of a card
// across the network, and on a trip left open, and the rides ridership
// counts them as; the order the anomalies are reported in; the days an
// audit is asked for; an audit that reads its network without entering it;
// and one of a network whose taps run across midnight, day by day, with
// each reader's last tap and the office's changes by hour.
#include "office/audit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/card_file.h"
#include "core/clock.h"
#include "core/tap_journal.h"
#include "office/audit_state.h"
#include "office/simulation.h"

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
  ASSERT_EQ(both.anomalies.size(), 1u);
  EXPECT_EQ(both.anomalies[0].file, "Reader_txt/Subway4.txt");
  // Day and hour are the key: S1's two entries fall on two days.
  const ReaderTotals& s1 = both.readers.at("S1");
  ASSERT_EQ(s1.days.size(), 2u);
  EXPECT_EQ(s1.days.at(20260306).hours[23].tally.taps, 1);
  EXPECT_EQ(s1.days.at(20260307).hours[6].tally.revenue, 1050);
  EXPECT_EQ(both.network.days.at(20260306).all.taps, 3);
  EXPECT_EQ(both.network.days.at(20260307).all.revenue, 3200);
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
  EXPECT_EQ(money(both.held.at(20260307)), (std::vector<int64_t>{10900, 2000, 5000, 3200, 14700}));
  EXPECT_EQ(heldDifference(both.held.at(20260307)), 0);
  EXPECT_EQ(coveredDays(both).from, 20260306);
  EXPECT_EQ(coveredDays(both).to, 20260307);
  // Each reader's last tap is its log's last line, S5's log has none.
  const LastTap& s1Last = both.now.at("S1").last;
  EXPECT_EQ(s1Last.line, 2);
  EXPECT_EQ(s1Last.time, 20260307061000);
  EXPECT_EQ(std::string(s1Last.tapId) + (s1Last.in ? " in " : " out ") + (s1Last.bus ? "bus" : ""),
            "S1_2 in ");
  EXPECT_EQ(s1Last.fare, 1050);
  EXPECT_EQ(both.now.at("B").last.line, 3);
  EXPECT_TRUE(both.now.at("B").last.bus);
  EXPECT_EQ(both.now.at("S5").last.line, 0);

  // The 7th alone: the same matching, the 6th in no total, its anomaly
  // left out, and what the cards held at its end carried in; the last
  // taps are the logs', whatever the days.
  ScratchDir later;
  AuditReport seventh = auditMidnight(later, AuditDays{20260307, 0});
  EXPECT_EQ(seventh.matched, 7);
  EXPECT_TRUE(seventh.anomalies.empty());
  EXPECT_EQ(seventh.network.all.taps, 5);
  EXPECT_EQ(seventh.network.all.revenue, 3200);
  EXPECT_EQ(seventh.network.days.count(20260306), 0u);
  EXPECT_EQ(seventh.topUps.all.amount, 5000);
  ASSERT_EQ(seventh.held.size(), 1u);
  EXPECT_EQ(money(seventh.held.at(20260307)),
            (std::vector<int64_t>{10900, 2000, 5000, 3200, 14700}));
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
