// Packed time: its digits, its round trip through calendar time, and the
// display's time line.
#include "core/packed_time.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "core/clock.h"
#include "tests/support/test_support.h"

TEST(PackedTime, DigitsReadAsTheLocalDateAndTime) {
  InZone zone("UTC0");
  int64_t t = 1772788502;  // 2026-03-06 09:15:02 UTC
  EXPECT_EQ(timetolong(t), 20260306091502);
  pinClock(t);
  EXPECT_EQ(getTime(), 20260306091502);
  pinClock(0);
  EXPECT_EQ(makeTime(20260306091502), t);
}

TEST(PackedTime, PackedUtcIsTheSameInEveryZone) {
  const int64_t t = 1772788502;  // 2026-03-06 09:15:02 UTC
  for (const char* name : {"UTC0", "Asia/Seoul", "America/New_York"}) {
    InZone zone(name);
    EXPECT_EQ(packedUtc(t), 20260306091502) << name;
  }
  InZone zone("Asia/Seoul");
  EXPECT_EQ(timetolong(t), 20260306181502) << "time zone data missing";
}

TEST(PackedTime, RoundTripsThroughCalendarTimeAcrossDaylightSaving) {
  InZone zone("Europe/Berlin");
  // 1 July 2026 12:00 in Berlin is 10:00 UTC: summer time must be applied.
  ASSERT_EQ(timetolong(1782900000), 20260701120000) << "time zone data missing";
  EXPECT_EQ(makeTime(20260701120000), 1782900000);
  int mismatches = 0;
  for (int64_t t = 1767225600; t < 1767225600 + 366 * 86400; t += 997) {
    int64_t packed = timetolong(t);
    // Only a local time repeated by the autumn change may come back as the
    // other of its two moments.
    bool repeated = timetolong(t - 3600) == packed || timetolong(t + 3600) == packed;
    if (makeTime(packed) != t && !repeated) mismatches++;
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(PackedTime, OutOfRangeGroupsAreNormalised) {
  InZone zone("UTC0");
  EXPECT_EQ(makeTime(20260306091560), makeTime(20260306091600));
  EXPECT_EQ(makeTime(20260306096000), makeTime(20260306100000));
  EXPECT_EQ(makeTime(20260306091575), makeTime(20260306091615));
}

TEST(PackedTime, PackedTimesCompareInTimeOrderButDoNotSubtract) {
  InZone zone("UTC0");
  EXPECT_LT(20260306085959, 20260306090000);
  EXPECT_EQ(makeTime(20260306090000) - makeTime(20260306085959), 1);
}

TEST(TimeLine, PrintsGroupsWithoutLeadingZeros) {
  EXPECT_EQ(formatTimeLine(20260306091502), euckr("현재 시간 : 2026-3-6, 9:15:2\n"));
  EXPECT_EQ(formatTimeLine(20261399256161), euckr("현재 시간 : 2026-13-99, 25:61:61\n"));
}
