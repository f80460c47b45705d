// The operating period: its 180-second boundary and the tap numbers that
// restart with every period.
#include "core/period.h"

#include <gtest/gtest.h>

#include "core/records.h"

TEST(OperatingPeriod, EndsOnlyWhenMoreThan180SecondsHavePassed) {
  EXPECT_FALSE(periodExpired(1000, 1180));
  EXPECT_TRUE(periodExpired(1000, 1181));
  EXPECT_FALSE(periodExpired(1000, 900));  // a clock set back opens no period
}

TEST(OperatingPeriod, ANewPeriodRestartsTapNumbersAtOne) {
  init.store(1000);
  count.store(0);
  EXPECT_EQ(nextTapNumber(), 1);
  EXPECT_EQ(nextTapNumber(), 2);
  periodTick(1180);
  EXPECT_EQ(init.load(), 1000);
  EXPECT_EQ(nextTapNumber(), 3);
  periodTick(1181);
  EXPECT_EQ(init.load(), 1181);
  EXPECT_EQ(nextTapNumber(), 1);
}
