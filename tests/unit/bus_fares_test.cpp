// Bus fares: the dispatcher's choice for every worked situation, the
// time-based exit fare, and the controller's thresholds.
#include <gtest/gtest.h>

#include "bus/controllers.h"
#include "bus/dispatch.h"
#include "bus/fare_entries.h"
#include "bus/trip_state.h"
#include "core/packed_time.h"
#include "tests/support/trip_cards.h"

namespace {

constexpr int32_t kNo = kRefusedFare;

// Worked taps at the bus; the latest record lies in the current period
// unless it is 300 s old.
const WorkedTap kWorkedTaps[] = {
    // older,      gap, latest,      id,     age, balance, fare, direction, log previous
    {"SUBWAY IN", 600, "SUBWAY OUT", "S3_7", 300, 5000, 1050, "IN", false},  // 1
    {"SUBWAY IN", 600, "SUBWAY OUT", "S3_7", 300, 1050, 1050, "IN", false},  // 2
    {"SUBWAY IN", 600, "SUBWAY OUT", "S3_7", 300, 1049, kNo, "", false},     // 3
    {"SUBWAY IN", 600, "SUBWAY OUT", "S3_7", 10, 700, 0, "IN", true},        // 4
    {"SUBWAY IN", 600, "SUBWAY OUT", "S3_7", 10, 699, kNo, "", false},       // 5
    {"SUBWAY IN", 600, "SUBWAY OUT", "S3_7", 16, 2000, 1050, "IN", false},   // 6
    // 7: an hour and five seconds after a subway exit is no transfer.
    {"SUBWAY IN", 600, "SUBWAY OUT", "S3_7", 3605, 700, kNo, "", false},        // 7
    {"BUS IN", 600, "BUS OUT", "B_4", 10, 2000, 1050, "IN", false},             // 8
    {"BUS OUT", 600, "BUS IN", "B_4", 100, 0, 0, "OUT", false},                 // 9
    {"BUS OUT", 600, "BUS IN", "B_4", 300, 2000, 1050, "IN", false},            // 10
    {"BUS OUT", 600, "BUS IN", "B_4", 300, 1000, 0, "OUT", false},              // 11
    {"SUBWAY OUT", 5, "BUS IN", "B_5", 95, 3000, 300, "OUT", true},             // 12
    {"SUBWAY OUT", 5, "BUS IN", "B_5", 20, 3000, 0, "OUT", true},               // 13
    {"SUBWAY OUT", 5, "BUS IN", "B_5", 300, 2000, 1750, "IN", false},           // 14
    {"SUBWAY OUT", 5, "BUS IN", "B_5", 300, 1749, kNo, "", false},              // 15
    {"SUBWAY OUT", 600, "SUBWAY IN", "S4_2", 60, 1250, 1250, "IN", false},      // 16
    {"SUBWAY OUT", 600, "SUBWAY IN", "S4_2", 60, 1249, kNo, "", false},         // 17
    {"BUS OUT", 10, "SUBWAY IN", "S2_2", 60, 1650, 1650, "IN", false},          // 18
    {"BUS OUT", 10, "SUBWAY IN", "S2_2", 60, 1649, kNo, "", false},             // 19
    {"BUS OUT", 20, "SUBWAY IN", "S2_2", 60, 1650, 1250, "IN", false},          // 20
    {"SUBWAY OUT", 600, "SUBWAY IN", "B_3", 60, 5000, kNoRuleFits, "", false},  // 21
    // The other card no reader writes: a transfer ride from an unknown mode.
    {"TRAM OUT", 5, "BUS IN", "B_5", 300, 5000, kNoRuleFits, "", false},
    // An open subway ride from an earlier period is the same at the bus.
    {"SUBWAY OUT", 600, "SUBWAY IN", "S4_2", 300, 1250, 1250, "IN", false},
    {"BUS OUT", 10, "SUBWAY IN", "S2_2", 300, 1650, 1650, "IN", false},
    // Leaving a bus is never refused, even in debt.
    {"BUS OUT", 600, "BUS IN", "B_4", 100, -500, 0, "OUT", false},
    {"SUBWAY OUT", 5, "BUS IN", "B_5", 95, -500, 300, "OUT", true},
    {"SUBWAY OUT", 5, "BUS IN", "B_5", 300, 1750, 1750, "IN", false},
};

const TapStamp kStamp{"B", 1, 0, 0};

CardData card(int32_t balance) {
  CardData c{};
  c.balance = balance;
  copyText(c.lastTapId, "S3_7");
  copyText(c.cardFile, "Card/1.txt");
  return c;
}

}  // namespace

TEST(BusWorkedTaps, EachSituationGetsItsFareAndRecord) {
  // Only the two cards no reader could have written match no rule
  // ("Error 1").
  int row = 0;
  for (const WorkedTap& tap : kWorkedTaps) {
    row++;
    EXPECT_EQ(checkWorkedTap(tap, "B", bus::deriveTripState, bus::chooseFare), "") << "row " << row;
  }
}

TEST(BusRideTimeFare, Is100PerWhole30SecondsFrom0To700) {
  const struct {
    int64_t ride;
    int32_t fare;
  } scale[] = {{-45, 0},   {-1, 0},    {0, 0},     {29, 0},     {30, 100},       {59, 100},
               {60, 200},  {95, 300},  {119, 300}, {120, 400},  {150, 500},      {179, 500},
               {180, 600}, {209, 600}, {210, 700}, {1000, 700}, {400000000, 700}};
  for (const auto& s : scale) {
    EXPECT_EQ(bus::rideTimeFare(kNow - s.ride, kNow), s.fare) << s.ride;
  }
}

TEST(BusController, ThresholdsAreTheFaresLessOne) {
  const struct {
    int32_t CardData::*flag;
    int32_t balance;
    int32_t fare;
  } cases[] = {{&CardData::otherStation, 1250, 1250}, {&CardData::otherStation, 1249, -1},
               {&CardData::busToSubway, 1650, 1650},  {&CardData::busToSubway, 1649, -1},
               {&CardData::subwayToBus, 1750, 1750},  {&CardData::subwayToBus, 1749, -1}};
  for (const auto& c : cases) {
    CardData open = card(c.balance);
    open.*c.flag = 1;
    TapResult result = bus::uncalculatedController(open, kStamp);
    EXPECT_EQ(result.fare, c.fare) << c.balance;
    if (c.fare > 0) {
      EXPECT_EQ(result.balance, 0);
      EXPECT_STREQ(result.entry.inOut, "IN");
    }
  }
  TapResult none = bus::uncalculatedController(card(5000), kStamp);
  EXPECT_EQ(none.fare, kNoSettlementFits);
  EXPECT_STREQ(unsettledMessage(none.fare), "Error 2");
}

TEST(BusEntries, NumberAcceptedTapsAndLogTheTransferId) {
  EXPECT_STREQ(bus::ridingEnable(card(1050), TapStamp{"B", 1, 0, 0}).entry.tapId, "B_1");
  EXPECT_EQ(bus::ridingDisable(card(1000)).fare, kRefusedFare);
  TapResult transfer = bus::transferEnable(card(700), TapStamp{"B", 2, 0, 0});
  EXPECT_STREQ(transfer.entry.tapId, "B_2");
  EXPECT_STREQ(transfer.entry.logTapId, "S3_7");
  EXPECT_EQ(transfer.balance, 700);
  TapResult exit = bus::normalExit(card(0), TapStamp{"B", 3, 0, 0});
  EXPECT_STREQ(exit.entry.tapId, "B_3");
  EXPECT_STREQ(exit.entry.logTapId, "B_3");
  EXPECT_STREQ(exit.entry.inOut, "OUT");
  EXPECT_EQ(exit.entry.charged, 0);
}
