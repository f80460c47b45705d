// The subway trip state, flag by flag.
#include "subway/trip_state.h"

#include <gtest/gtest.h>

#include "core/packed_time.h"
#include "tests/support/trip_cards.h"

namespace {

CardData at(const char* reader, const CardRecord& older, const CardRecord& latest,
            int64_t periodStart = kPeriodStart) {
  return subway::deriveTripState(older, latest, "Card/1.txt", reader, periodStart, kNow);
}

// A card whose latest record is an entry with `tapId`, 60 s ago, after
// an ordinary subway exit.
CardData entryAt(const char* reader, const char* tapId) {
  return at(reader, tapAt("SUBWAY OUT", 400, 5000, "S2_1"), tapAt("SUBWAY IN", 60, 5000, tapId));
}

}  // namespace

TEST(SubwayStationDistance, IsTheShorterWayRoundTheRing) {
  const struct {
    const char* reader;
    const char* tapId;
    int32_t distance;
    int32_t otherStation;
  } cases[] = {
      {"S1", "S3_12", 2, 1}, {"S1", "S4_2", 2, 1}, {"S1", "S5_7", 1, 1}, {"S1", "S1_9", 0, 0},
      {"S1", "S2_1", 1, 1},  {"S5", "S1_3", 1, 1}, {"S3", "S5_1", 2, 1}, {"S4", "S4_1", 0, 0},
  };
  for (const auto& c : cases) {
    CardData card = entryAt(c.reader, c.tapId);
    EXPECT_EQ(card.stationDistance, c.distance) << c.reader << " " << c.tapId;
    EXPECT_EQ(card.otherStation, c.otherStation) << c.reader << " " << c.tapId;
    EXPECT_EQ(card.transfer, c.otherStation) << c.reader << " " << c.tapId;
  }
}

TEST(SubwayStationDistance, EntryElsewhereKeepsItsWholeTapId) {
  CardData card = entryAt("S1", "S3_12");
  EXPECT_STREQ(card.lastTapId, "S3_12");
  EXPECT_EQ(card.lastIn, 1);
  EXPECT_EQ(card.lastBus, 0);
  EXPECT_EQ(card.enteredByTransfer, 0);
  EXPECT_EQ(card.staleEntry, 0);
  EXPECT_EQ(card.balance, 5000);
  EXPECT_STREQ(card.cardFile, "Card/1.txt");
}

TEST(SubwayOtherStation, AnIdWithoutReaderPartIsAnotherStation) {
  EXPECT_EQ(entryAt("S1", "_").otherStation, 1);
  EXPECT_EQ(entryAt("S1", "__5").otherStation, 1);
  EXPECT_EQ(entryAt("S1", "_S1_5").otherStation, 0);
  EXPECT_EQ(entryAt("S1", "S12_5").otherStation, 1);
}

TEST(SubwayTransferWindow, OpensForFifteenSecondsAfterABusExit) {
  const struct {
    int64_t age;
    int32_t open;
  } cases[] = {{10, 1}, {15, 1}, {16, 0}, {3605, 0}, {3616, 0}, {-100, 1}};
  for (const auto& c : cases) {
    CardData card =
        at("S1", tapAt("BUS IN", c.age + 300, 900, "B_1"), tapAt("BUS OUT", c.age, 900, "B_2"));
    EXPECT_EQ(card.transferWindow, c.open) << "age " << c.age;
  }
  // Leaving the subway opens nothing: every flag stays 0.
  CardData card =
      at("S1", tapAt("SUBWAY IN", 60, 900, "S2_1"), tapAt("SUBWAY OUT", 5, 900, "S3_2"));
  EXPECT_EQ(card.transferWindow + card.lastIn + card.lastBus + card.transfer + card.staleEntry +
                card.enteredByTransfer + card.otherStation + card.subwayToBus + card.busToSubway +
                card.stationDistance,
            0);
}

TEST(SubwayEnteredByTransfer, IsAnEntryWithinFifteenSecondsOfLeavingTheOtherVehicle) {
  CardData card = at("S1", tapAt("BUS OUT", 75, 3000, "B_1"), tapAt("SUBWAY IN", 60, 3000, "S3_4"));
  EXPECT_EQ(card.enteredByTransfer, 1);
  EXPECT_EQ(card.busToSubway, 1);
  EXPECT_EQ(card.otherStation, 0);  // although S3 is not this reader
  EXPECT_EQ(card.transfer, 1);
  EXPECT_EQ(card.stationDistance, 2);

  card = at("S1", tapAt("BUS OUT", 76, 3000, "B_1"), tapAt("SUBWAY IN", 60, 3000, "S3_4"));
  EXPECT_EQ(card.enteredByTransfer, 0);
  EXPECT_EQ(card.busToSubway, 0);
  EXPECT_EQ(card.otherStation, 1);

  // Records out of order count as a transfer.
  card = at("S1", tapAt("BUS OUT", 30, 3000, "B_1"), tapAt("SUBWAY IN", 60, 3000, "S3_4"));
  EXPECT_EQ(card.busToSubway, 1);

  card = at("S1", tapAt("BUS IN", 65, 3000, "B_1"), tapAt("SUBWAY IN", 60, 3000, "S3_4"));
  EXPECT_EQ(card.enteredByTransfer, 0);

  card = at("S1", tapAt("SUBWAY OUT", 65, 3000, "S2_1"), tapAt("BUS IN", 60, 3000, "B_2"));
  EXPECT_EQ(card.enteredByTransfer, 1);
  EXPECT_EQ(card.subwayToBus, 1);
  EXPECT_EQ(card.transfer, 1);
  EXPECT_EQ(card.otherStation + card.staleEntry + card.stationDistance, 0);

  card = at("S1", tapAt("BUS OUT", 65, 3000, "B_1"), tapAt("BUS IN", 60, 3000, "B_2"));
  EXPECT_EQ(card.enteredByTransfer, 0);
  EXPECT_EQ(card.transfer, 0);
}

TEST(SubwayStaleEntry, IsASubwayEntryFromBeforeThePeriodBegan) {
  CardRecord older = tapAt("SUBWAY OUT", 400, 3000, "S2_1");
  CardRecord entry = tapAt("SUBWAY IN", 300, 3000, "S1_1");
  int64_t entered = kNow - 300;
  EXPECT_EQ(at("S1", older, entry, entered + 1).staleEntry, 1);
  EXPECT_EQ(at("S1", older, entry, entered).staleEntry, 0);
  EXPECT_EQ(at("S1", older, tapAt("BUS IN", 300, 3000, "B_1"), entered + 1).staleEntry, 0);
}

TEST(SubwayTexts, AreComparedExactly) {
  CardData card = at("S1", tapAt("SUBWAY OUT", 65, 3000, "S2_1"), tapAt("bus in", 60, 3000, "B_2"));
  EXPECT_EQ(card.lastBus, 0);
  EXPECT_EQ(card.lastIn, 0);
}
