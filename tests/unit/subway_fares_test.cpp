// Subway fares: the dispatcher's choice for every worked situation, the
// fare entries' results and tap ids, and the controllers' edges.
#include <gtest/gtest.h>

#include "core/packed_time.h"
#include "subway/controllers.h"
#include "subway/dispatch.h"
#include "subway/fare_entries.h"
#include "subway/trip_state.h"
#include "tests/support/trip_cards.h"

namespace {

constexpr int32_t kNo = kRefusedFare;

// Worked taps at reader S1; the latest record lies in the current period
// unless it is 300 s old.
const WorkedTap kWorkedTaps[] = {
    // older,      gap, latest,      id,     age, balance, fare, direction, log previous
    {"SUBWAY OUT", 900, "SUBWAY OUT", "S3_8", 300, 5000, 1050, "IN", false},  // 1
    {"SUBWAY OUT", 900, "SUBWAY OUT", "S3_8", 300, 1250, 1050, "IN", false},  // 2
    {"SUBWAY OUT", 900, "SUBWAY OUT", "S3_8", 300, 1249, kNo, "", false},     // 3
    {"BUS IN", 600, "BUS OUT", "B_4", 10, 600, 0, "IN", true},                // 4
    {"BUS IN", 600, "BUS OUT", "B_4", 10, 599, kNo, "", false},               // 5
    {"BUS IN", 600, "BUS OUT", "B_4", 16, 2000, 1050, "IN", false},           // 6
    {"BUS IN", 600, "BUS OUT", "B_4", 16, 1000, kNo, "", false},              // 7
    // 8: an hour and five seconds after a bus exit is no transfer.
    {"BUS IN", 600, "BUS OUT", "B_4", 3605, 700, kNo, "", false},            // 8
    {"BUS OUT", 600, "BUS IN", "B_4", 300, 2000, 1050, "IN", false},         // 9
    {"SUBWAY OUT", 5, "BUS IN", "B_4", 60, 2000, 1750, "IN", false},         // 10
    {"SUBWAY OUT", 5, "BUS IN", "B_4", 60, 1949, kNo, "", false},            // 11
    {"SUBWAY OUT", 5, "BUS IN", "B_4", 60, 1249, kNo, "", false},            // 12
    {"SUBWAY OUT", 900, "SUBWAY IN", "S1_2", 60, 3000, 0, "OUT", false},     // 13
    {"SUBWAY OUT", 900, "SUBWAY IN", "S2_2", 60, 3000, 0, "OUT", false},     // 14
    {"SUBWAY OUT", 900, "SUBWAY IN", "S5_2", 60, 3000, 0, "OUT", false},     // 14
    {"SUBWAY OUT", 900, "SUBWAY IN", "S3_2", 60, 3000, 200, "OUT", false},   // 15
    {"SUBWAY OUT", 900, "SUBWAY IN", "S4_2", 60, 3000, 200, "OUT", false},   // 15
    {"SUBWAY OUT", 900, "SUBWAY IN", "S3_2", 60, 100, 200, "OUT", false},    // 16
    {"BUS OUT", 10, "SUBWAY IN", "S1_5", 60, 3000, 0, "OUT", true},          // 17
    {"BUS OUT", 10, "SUBWAY IN", "S2_5", 60, 3000, 300, "OUT", true},        // 18
    {"BUS OUT", 10, "SUBWAY IN", "S3_5", 60, 3000, 600, "OUT", true},        // 19
    {"SUBWAY OUT", 900, "SUBWAY IN", "S3_2", 300, 2000, 1250, "IN", false},  // 20
    {"SUBWAY OUT", 900, "SUBWAY IN", "S3_2", 300, 1449, kNo, "", false},     // 21
    {"SUBWAY OUT", 900, "SUBWAY IN", "S1_2", 300, 2000, 1250, "IN", false},  // 22
    {"BUS OUT", 10, "SUBWAY IN", "S3_2", 300, 1850, 1650, "IN", false},      // 23
    {"BUS OUT", 10, "SUBWAY IN", "S3_2", 300, 1849, kNo, "", false},         // 24
    // A card in debt still leaves: an exit never looks at the balance.
    {"SUBWAY OUT", 900, "SUBWAY IN", "S2_2", 60, -500, 0, "OUT", false},
    {"BUS OUT", 10, "SUBWAY IN", "S2_5", 60, -500, 300, "OUT", true},
    {"SUBWAY OUT", 900, "SUBWAY IN", "S3_2", 300, 1450, 1250, "IN", false},
    {"SUBWAY OUT", 5, "BUS IN", "B_4", 60, 1950, 1750, "IN", false},
};

// A card with the given balance whose latest record has tap id `lastTapId`.
CardData card(int32_t balance, const char* lastTapId = "B_4") {
  CardData c{};
  c.balance = balance;
  copyText(c.lastTapId, lastTapId);
  copyText(c.cardFile, "Card/1.txt");
  return c;
}

// The stamp of the period's tap number `number` at S1.
TapStamp stamp(int32_t number) {
  return TapStamp{"S1", number, 0, 0};
}

}  // namespace

TEST(SubwayWorkedTaps, EachSituationGetsItsFareAndRecord) {
  int row = 0;
  for (const WorkedTap& tap : kWorkedTaps) {
    row++;
    EXPECT_EQ(checkWorkedTap(tap, "S1", subway::deriveTripState, subway::chooseFare), "")
        << "row " << row;
  }
}

TEST(SubwayFares, OnlyAcceptedTapsTakeTheirNumber) {
  EXPECT_STREQ(subway::ridingEnable(card(5000), stamp(1)).entry.tapId, "S1_1");
  TapResult refused = subway::ridingDisable(card(1200));
  EXPECT_EQ(refused.fare, -1);
  EXPECT_EQ(refused.entry.charged, -1);
  EXPECT_EQ(refused.balance, 1200);
  EXPECT_STREQ(refused.entry.tapId, "");
  TapResult free = subway::noAddFeeN(card(5000), stamp(2));
  EXPECT_STREQ(free.entry.tapId, "S1_2");
  EXPECT_EQ(free.entry.charged, 0);
}

TEST(SubwayFares, TransferEntriesLogThePreviousId) {
  TapResult transfer = subway::transferEnable(card(600, "B_4"), stamp(3));
  EXPECT_STREQ(transfer.entry.tapId, "S1_3");
  EXPECT_STREQ(transfer.entry.logTapId, "B_4");
  TapResult exit = subway::addFeeTwo(card(600, "S2_5"), stamp(4));
  EXPECT_STREQ(exit.entry.tapId, "S1_4");
  EXPECT_STREQ(exit.entry.logTapId, "S2_5");
}

TEST(SubwayFares, BalancesNeverWrap) {
  TapResult exit = subway::addFee(card(INT32_MIN + 200), stamp(1));
  EXPECT_EQ(exit.balance, INT32_MIN);
  TapResult wrapping = subway::addFee(card(INT32_MIN + 199), stamp(2));
  EXPECT_EQ(wrapping.fare, kRefusedFare);
  EXPECT_EQ(wrapping.balance, INT32_MIN + 199);
  EXPECT_STREQ(wrapping.entry.tapId, "");
}

TEST(SubwayFares, UnsettledTapsIssueNoId) {
  CardData far = card(5000);
  for (int32_t distance : {3, 4, 49, -1}) {
    far.stationDistance = distance;
    TapResult unsettled = subway::afterTransExitController(far, stamp(1));
    EXPECT_EQ(unsettled.fare, kNoFareEntry) << distance;
    EXPECT_STREQ(unsettled.entry.tapId, "") << distance;
    EXPECT_EQ(unsettledMessage(unsettled.fare), nullptr) << "an unsettled exit ends silently";
    EXPECT_EQ(subway::normalExitController(far, stamp(1)).fare, distance < 2 ? 0 : 200) << distance;
  }
  // A trip state no card can give (a transfer without a trip) matches no
  // rule; one with no kind of open trip fits no case of the controller.
  CardData impossible = card(5000);
  impossible.transfer = 1;
  TapResult noRule = subway::chooseFare(impossible, stamp(1));
  EXPECT_EQ(noRule.fare, kNoRuleFits);
  EXPECT_STREQ(unsettledMessage(noRule.fare), "Error 1");
  TapResult none = subway::uncalculatedController(card(5000), stamp(1));
  EXPECT_EQ(none.fare, kNoSettlementFits);
  EXPECT_EQ(none.entry.charged, kNoSettlementFits);
  EXPECT_STREQ(none.entry.tapId, "");
  EXPECT_STREQ(unsettledMessage(none.fare), "Error 2");
}

TEST(SubwayFares, IdsAndPathsThatCannotBeHeldGetNoEntry) {
  TapResult unheld = subway::transferEnable(card(5000, "S1_1234567"), stamp(1));
  EXPECT_EQ(unheld.fare, kNoFareEntry);
  EXPECT_STREQ(unheld.entry.tapId, "");
}
