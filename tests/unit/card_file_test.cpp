// Card file and reader log formats: the tail parser on valid and on every
// kind of malformed card, and the exact bytes a tap appends.
#include "core/card_file.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

const std::string kOlder = "20150303074002,SUBWAY,IN,11050,S1_7";
const std::string kLatest = "20150303075500,SUBWAY,OUT,10000,S3_8";

// Parses a whole file; returns whether it was accepted.
bool parse(const std::string& file, CardRecord records[2]) {
  return parseCardTail(file.data(), file.size(), true, records);
}

void expectRecord(const CardRecord& r, int64_t time, const char* mode, const char* inOut,
                  int32_t balance, const char* tapId) {
  EXPECT_EQ(r.time, time);
  EXPECT_STREQ(r.mode, mode);
  EXPECT_STREQ(r.inOut, inOut);
  EXPECT_EQ(r.balance, balance);
  EXPECT_STREQ(r.tapId, tapId);
}

}  // namespace

TEST(CardTail, TwoRecordsReadOlderThenLatest) {
  CardRecord r[2];
  ASSERT_TRUE(parse(kOlder + "\r\n" + kLatest, r));
  // The older record keeps the CR of its CR LF break in its tap id.
  expectRecord(r[0], 20150303074002, "SUBWAY", "IN", 11050, "S1_7\r");
  expectRecord(r[1], 20150303075500, "SUBWAY", "OUT", 10000, "S3_8");
}

TEST(CardTail, OnlyTheLastTwoOfAHundredRecordsAreRead) {
  std::string file;
  for (int i = 1; i <= 100; i++) {
    file += (i > 1 ? "\r\n" : "") + std::to_string(20150303070000 + i) + ",BUS,OUT," +
            std::to_string(i) + ",B_" + std::to_string(i);
  }
  CardRecord r[2];
  // Only the tail is handed over, as intake reads it.
  size_t tail = file.size() - kTailBytes;
  ASSERT_TRUE(parseCardTail(file.data() + tail, kTailBytes, false, r));
  expectRecord(r[0], 20150303070099, "BUS", "OUT", 99, "B_99\r");
  expectRecord(r[1], 20150303070100, "BUS", "OUT", 100, "B_100");
}

TEST(CardTail, LineFeedsAloneSeparateRecordsToo) {
  CardRecord r[2];
  ASSERT_TRUE(parse("x\n" + kOlder + "\n" + kLatest, r));
  expectRecord(r[0], 20150303074002, "SUBWAY", "IN", 11050, "S1_7");
  expectRecord(r[1], 20150303075500, "SUBWAY", "OUT", 10000, "S3_8");
}

TEST(CardTail, NegativeAndExtremeBalancesReadBack) {
  CardRecord r[2];
  ASSERT_TRUE(parse(kOlder + "\r\n20150303075500,BUS,IN,-150,B_1", r));
  EXPECT_EQ(r[1].balance, -150);
  ASSERT_TRUE(parse(kOlder + "\r\n20150303075500,BUS,IN,-2147483648,B_1", r));
  EXPECT_EQ(r[1].balance, INT32_MIN);
  ASSERT_TRUE(parse(kOlder + "\r\n20150303075500,BUS,IN,00000000000000000000150,B_1", r));
  EXPECT_EQ(r[1].balance, 150);
  // Numbers at the edges of what their fields hold, and one past them.
  const struct {
    const char* time;
    const char* balance;
    bool read;
  } edges[] = {
      {"9223372036854775807", "2147483647", true}, {"-9223372036854775808", "1", true},
      {"9223372036854775808", "1", false},         {"-9223372036854775809", "1", false},
      {"20150303075500", "2147483648", false},     {"20150303075500", "-2147483649", false},
      {"99999999999999999999", "1", false},
  };
  for (const auto& e : edges) {
    std::string latest = std::string(e.time) + ",BUS,IN," + e.balance + ",B_1";
    EXPECT_EQ(parse(kOlder + "\r\n" + latest, r), e.read) << latest;
    if (e.read) {
      EXPECT_EQ(std::to_string(r[1].time), e.time);
    }
  }
}

TEST(CardTail, LinesOfExactly49BytesAreAccepted) {
  // 14 + 6 + 3 + 11 + 9 characters and four commas: the longest record,
  // 47 bytes, and 49 with its CR LF.
  std::string longest = "20150303074002,SUBWAY,OUT,-2147483648,S1_123456";
  ASSERT_EQ(longest.size(), 47u);
  std::string latest = "0020150303074002,SUBWAY,OUT,-2147483648,S1_123456";
  ASSERT_EQ(latest.size(), 49u);
  std::string file = std::string(60, 'x') + "\n" + longest + "\r\n" + latest;
  CardRecord r[2];
  EXPECT_TRUE(parseCardTail(file.data() + file.size() - kTailBytes, kTailBytes, false, r));
}

TEST(CardTail, MalformedCardsAreRefusedAndLeaveTheRecordsAlone) {
  // 48 bytes: 50 with a CR LF; and a latest line of 50 bytes.
  const std::string longOlder = "20150303074002,SUBWAY,OUT,-2147483648,S1_1234567";
  const std::string longLatest = "00020150303074002,SUBWAY,OUT,-2147483648,S1_123456";
  const struct {
    const char* what;
    std::string file;
  } cases[] = {
      {"one record only", kLatest},
      {"empty file", ""},
      {"older time of 13 digits", "2015030307400,SUBWAY,IN,1,S1_7\r\n" + kLatest},
      {"older time of 15 digits", "201503030740020,SUBWAY,IN,1,S1_7\r\n" + kLatest},
      {"older time not digits", "2015030307400x,SUBWAY,IN,1,S1_7\r\n" + kLatest},
      {"empty line between", kOlder + "\r\n\r\n" + kLatest},
      {"line terminator at the end", kOlder + "\r\n" + kLatest + "\r\n"},
      {"CR at the end", kOlder + "\r\n" + kLatest + "\r"},
      {"empty mode", kOlder + "\r\n20150303075500,,OUT,1,S3_8"},
      {"empty tap id", kOlder + "\r\n20150303075500,BUS,OUT,1,"},
      {"older tap id only a CR", "20150303074002,BUS,IN,1,\r\n" + kLatest},
      {"older line over 49 bytes", longOlder + "\r\n" + kLatest},
      {"latest line over 49 bytes", kOlder + "\r\n" + longLatest},
      {"mode wider than its field", kOlder + "\r\n20150303075500,SUBWAYS,OUT,1,S3_8"},
      {"direction wider than its field", kOlder + "\r\n20150303075500,BUS,OUTXX,1,S3_8"},
      {"older tap id wider than its field",
       "20150303074002,BUS,IN,1,S1_1234567890123\r\n" + kLatest},
      {"latest tap id over 9 characters", kOlder + "\r\n20150303075500,BUS,OUT,1,S3_1234567"},
      {"comma in the tap id", kOlder + "\r\n20150303075500,BUS,OUT,1,S3,8"},
      {"balance not a number", kOlder + "\r\n20150303075500,BUS,OUT,12a,S3_8"},
      {"balance with a plus sign", kOlder + "\r\n20150303075500,BUS,OUT,+12,S3_8"},
      {"balance too large", kOlder + "\r\n20150303075500,BUS,OUT,2147483648,S3_8"},
      {"balance too small", kOlder + "\r\n20150303075500,BUS,OUT,-2147483649,S3_8"},
      {"latest time too large", kOlder + "\r\n9223372036854775808,BUS,OUT,1,S3_8"},
      {"NUL byte", kOlder + "\r\n20150303075500,BUS,OU" + std::string(1, '\0') + ",1,S3_8"},
  };
  for (const auto& c : cases) {
    CardRecord r[2];
    r[0] = record(1, "M", "D", 7, "T");
    EXPECT_FALSE(parse(c.file, r)) << c.what;
    EXPECT_EQ(r[0].time, 1) << c.what;
  }
  // A tail that starts inside the older line: that line is too long.
  std::string file = std::string(70, '7') + ",BUS,IN,1,B_1\r\n" + kLatest;
  CardRecord r[2];
  EXPECT_FALSE(parseCardTail(file.data() + file.size() - kTailBytes, kTailBytes, false, r));
}

TEST(CardFormat, AnAppendedRecordIsCrLfThenTheRecord) {
  TapEntry e = sampleTap("Card/1.txt", "S1_3", 8950, 20150303081530);
  copyText(e.logTapId, "B_4");
  EXPECT_EQ(formatCardRecord(e), "\r\n20150303081530,SUBWAY,IN,8950,S1_3");
  EXPECT_EQ(formatLogLine(e), "20150303081530,SUBWAY,IN,1050,B_4\r\n");
  e.newBalance = -150;
  EXPECT_EQ(formatCardRecord(e), "\r\n20150303081530,SUBWAY,IN,-150,S1_3");
}

TEST(CardFormat, AWrittenRecordReadsBackTheSame) {
  TapEntry e = sampleTap("Card/1.txt", "B_1234567", -150, 20150303081530);
  copyText(e.mode, "BUS");
  copyText(e.inOut, "OUT");
  CardRecord r[2];
  ASSERT_TRUE(parse(kOlder + formatCardRecord(e), r));
  expectRecord(r[1], 20150303081530, "BUS", "OUT", -150, "B_1234567");
}

TEST(CardFormat, CardNumbersAreFileNamesTakenVerbatim) {
  EXPECT_EQ(cardPath("1234"), "Card/1234.txt");
  EXPECT_NE(cardPath("0012"), cardPath("12"));
  EXPECT_EQ(cardPath("ab"), "Card/ab.txt");
}

TEST(CardTail, EverySeedOfTheFuzzCorpusIsJudgedAsItsNameSays) {
  std::vector<CorpusSeed> seeds = cardTailSeeds();
  for (const CorpusSeed& seed : seeds) {
    const std::string& bytes = seed.bytes;
    CardRecord r[2];
    bool accepted =
        !bytes.empty() && parseCardTail(bytes.data() + 1, bytes.size() - 1, bytes[0] & 1, r);
    EXPECT_EQ(accepted, seed.name.rfind("valid_", 0) == 0) << seed.name;
  }
  EXPECT_GE(seeds.size(), 33u);
}
