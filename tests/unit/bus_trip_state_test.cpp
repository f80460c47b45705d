// The bus trip state, flag by flag, where it differs from the subway's.
#include "bus/trip_state.h"

#include <gtest/gtest.h>

#include "tests/support/trip_cards.h"

namespace {

CardData at(const CardRecord& older, const CardRecord& latest) {
  return bus::deriveTripState(older, latest, "Card/1.txt", "B", kPeriodStart, kNow);
}

int32_t flagsSet(const CardData& c) {
  return c.staleEntry + c.transfer + c.transferWindow + c.enteredByTransfer + c.lastIn + c.lastBus +
         c.otherStation + c.subwayToBus + c.busToSubway + c.stationDistance;
}

}  // namespace

TEST(BusTransferWindow, OpensOnlyAfterLeavingTheSubway) {
  const struct {
    const char* latest;
    int64_t age;
    int32_t open;
  } cases[] = {{"SUBWAY OUT", 10, 1},  {"SUBWAY OUT", 15, 1},   {"SUBWAY OUT", 16, 0},
               {"SUBWAY OUT", -30, 1}, {"SUBWAY OUT", 3605, 0}, {"SUBWAY OUT", 3616, 0},
               {"BUS OUT", 5, 0}};
  for (const auto& c : cases) {
    CardData card =
        at(tapAt("SUBWAY IN", c.age + 300, 800, "S1_1"), tapAt(c.latest, c.age, 800, "S3_7"));
    EXPECT_EQ(card.transferWindow, c.open) << c.latest << " " << c.age;
    if (c.open) {
      EXPECT_EQ(flagsSet(card), 1) << "the window is the only flag set";
    }
    EXPECT_EQ(card.balance, 800);
  }
}

TEST(BusStaleEntry, IsOnlyABusRideFromBeforeThePeriodBegan) {
  CardData ride = at(tapAt("BUS OUT", 400, 2000, "B_1"), tapAt("BUS IN", 300, 2000, "B_2"));
  EXPECT_EQ(ride.staleEntry, 1);
  EXPECT_EQ(ride.lastIn + ride.lastBus, 2);
  EXPECT_EQ(ride.enteredByTransfer + ride.transfer, 0);
  CardData subway =
      at(tapAt("SUBWAY OUT", 400, 2000, "S1_1"), tapAt("SUBWAY IN", 300, 2000, "S2_3"));
  EXPECT_EQ(subway.staleEntry, 0);
  EXPECT_EQ(subway.otherStation, 1);
  EXPECT_EQ(subway.transfer, 1);
}

TEST(BusEnteredByTransfer, IncludesFifteenSecondsExactly) {
  CardData card = at(tapAt("BUS OUT", 70, 2000, "B_1"), tapAt("SUBWAY IN", 60, 2000, "S3_4"));
  EXPECT_EQ(card.enteredByTransfer + card.busToSubway + card.transfer, 3);
  EXPECT_EQ(card.otherStation, 0);
  EXPECT_STREQ(card.lastTapId, "S3_4");

  card = at(tapAt("BUS OUT", 80, 2000, "B_1"), tapAt("SUBWAY IN", 60, 2000, "S3_4"));
  EXPECT_EQ(card.enteredByTransfer + card.busToSubway, 0);
  EXPECT_EQ(card.otherStation + card.transfer, 2);

  card = at(tapAt("SUBWAY OUT", 75, 2000, "S3_1"), tapAt("BUS IN", 60, 2000, "B_2"));
  EXPECT_EQ(card.enteredByTransfer + card.subwayToBus + card.transfer, 3);

  card = at(tapAt("BUS OUT", 65, 2000, "B_1"), tapAt("BUS IN", 60, 2000, "B_2"));
  EXPECT_EQ(card.enteredByTransfer, 0);
}

TEST(BusOtherStation, AnEntryMarkedWithTheBusIdIsNotAnotherStation) {
  CardData card = at(tapAt("SUBWAY OUT", 400, 2000, "S1_1"), tapAt("SUBWAY IN", 60, 2000, "B_3"));
  EXPECT_EQ(card.otherStation + card.busToSubway + card.transfer + card.stationDistance, 0);
  EXPECT_EQ(card.lastIn, 1);
  // An id without a reader part was not made here either.
  card = at(tapAt("SUBWAY OUT", 400, 2000, "S1_1"), tapAt("SUBWAY IN", 60, 2000, "_"));
  EXPECT_EQ(card.otherStation, 1);
}
