// The operating period: its 180-second boundary and the tap numbers that
// restart with every period.
#include "core/period.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "core/reader.h"
#include "core/reader_state.h"
#include "core/records.h"
#include "core/tap_result.h"

TEST(OperatingPeriod, EndsOnlyWhenMoreThan180SecondsHavePassed) {
  EXPECT_FALSE(periodExpired(1000, 1180));
  EXPECT_TRUE(periodExpired(1000, 1181));
  EXPECT_FALSE(periodExpired(1000, 900));  // a clock set back opens no period
  EXPECT_EQ(nextPeriodStart(1000), 1181);
}

TEST(OperatingPeriod, ANewPeriodRestartsTapNumbersAtOne) {
  init.store(1000);
  count.store(0);
  EXPECT_EQ(nextTapNumber(), 1);
  EXPECT_EQ(nextTapNumber(), 1);  // a number is taken only when claimed
  EXPECT_TRUE(claimTapNumber(1));
  EXPECT_TRUE(claimTapNumber(2));
  periodTick(1180);
  EXPECT_EQ(init.load(), 1000);
  EXPECT_EQ(nextTapNumber(), 3);
  periodTick(1181);
  EXPECT_EQ(init.load(), 1181);
  // A number chosen before the period changed is not claimed after it.
  EXPECT_FALSE(claimTapNumber(3));
  EXPECT_EQ(nextTapNumber(), 1);
}

namespace {

CardData aCard() {
  CardData card{};
  card.balance = 1000000000;
  copyText(card.cardFile, "Card/1.txt");
  return card;
}
TapResult accept(const CardData& card, const TapStamp& stamp) {
  return acceptTap(card, stamp, 0, TapKind::kNewRide, "SUBWAY", "IN");
}
TapResult refuse(const CardData& card, const TapStamp&) {
  return refuseTap(card);
}
TapResult noRule(const CardData&, const TapStamp&) {
  return noFareEntry(kNoRuleFits);
}
// Accepts, but the first time only after the timer has opened a new period.
bool periodOpensDuringChoice = false;
TapResult acceptAcrossAPeriod(const CardData& card, const TapStamp& stamp) {
  if (periodOpensDuringChoice) {
    periodOpensDuringChoice = false;
    periodTick(init.load() + 181);
  }
  return accept(card, stamp);
}

}  // namespace

TEST(TapNumbers, OnlyAnAcceptedTapTakesOneAndANewPeriodRenumbersIt) {
  copyText(readerID, "S1");
  init.store(1000);
  count.store(4);
  EXPECT_EQ(chooseAndClaim(aCard(), refuse).fare, kRefusedFare);
  EXPECT_EQ(chooseAndClaim(aCard(), noRule).fare, kNoRuleFits);
  EXPECT_EQ(nextTapNumber(), 5) << "a tap not accepted took a number";
  EXPECT_STREQ(chooseAndClaim(aCard(), accept).entry.tapId, "S1_5");
  periodOpensDuringChoice = true;
  EXPECT_STREQ(chooseAndClaim(aCard(), acceptAcrossAPeriod).entry.tapId, "S1_1");
  EXPECT_EQ(nextTapNumber(), 2);
}

TEST(OperatingPeriod, ResetsBesideTapsNeverCutAnIdOrGetLost) {
  copyText(readerID, "S1");
  init.store(1000);
  count.store(0);
  std::atomic<bool> tapping{true};
  // The timer opens a new period as fast as it can while taps are issued.
  std::thread timer([&] {
    for (int64_t now = 1000; tapping.load(); now += 181) periodTick(now);
  });
  int badIds = 0;
  for (int i = 0; i < 20000; i++) {
    TapResult tap = chooseAndClaim(aCard(), accept);
    if (strncmp(tap.entry.tapId, "S1_", 3) != 0 || atoi(tap.entry.tapId + 3) < 1) badIds++;
  }
  tapping.store(false);
  timer.join();
  EXPECT_EQ(badIds, 0);
  periodTick(init.load() + 181);
  EXPECT_EQ(nextTapNumber(), 1);
}

TEST(TapNumbers, AnIdIsItsReaderAndNumberCutToTheWidthOfAnId) {
  // What the format "%s_%d" gives, cut by snprintf to an id's width.
  const struct {
    const char* reader;
    int32_t number;
  } stamps[] = {{"S1", 1},        {"B", 10},       {"S5", 999999},     {"B", 1234567},
                {"S3", 12345678}, {"S2", 0},       {"S4", -7},         {"B", INT32_MAX},
                {"B", INT32_MIN}, {"LONGNAME", 5}, {"LONGERNAME", 42}, {"", 3}};
  for (const auto& s : stamps) {
    char expected[kEntryTapIdWidth];
    snprintf(expected, sizeof expected, "%s_%d", s.reader, s.number);
    TapResult tap = acceptTap(aCard(), TapStamp{s.reader, s.number, 0, 0}, 0, TapKind::kNewRide,
                              "SUBWAY", "IN");
    EXPECT_STREQ(tap.entry.tapId, expected) << s.reader << " " << s.number;
    EXPECT_STREQ(tap.entry.logTapId, expected) << s.reader << " " << s.number;
  }
}
