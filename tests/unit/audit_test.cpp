// The kinds of tap the audit tells apart, told on the journey of a card
// across the network, and on a trip left open; the order the anomalies are
// reported in; and an audit that reads its network without entering it.
#include "office/audit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
  bool audited =
      auditNetwork(dir, network.path(), calendarNow(), false, AuditSinks{}, &report, &problem);
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
}
