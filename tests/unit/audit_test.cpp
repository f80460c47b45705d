// The kinds of tap the audit tells apart, told on the journey of a card
// across the network, and on a trip left open.
#include "office/audit.h"

#include <gtest/gtest.h>

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
  } taps[] = {
      {issued, issued, in, 1050, TapKind::kNewRide},
      {issued, in, out, 200, TapKind::kExit},
      {in, out, board, 0, TapKind::kTransfer},
      {out, board, leave, 300, TapKind::kExitAfterTransfer},
      // Boarded 20 s after leaving the subway, and paid: no transfer, an
      // ordinary ride.
      {out, lateBoard, leave, 0, TapKind::kExit},
      {in, out, settle, 1250, TapKind::kSettlement},
  };
  for (const auto& t : taps) {
    EXPECT_EQ(tapKindOf(t.older, t.before, t.now, t.fare), t.kind) << t.now.tapId;
  }
}
