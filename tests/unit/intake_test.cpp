// Card intake: reading the card number from the console, and reading a
// card's last two records from disk.
#include "core/intake.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "core/card_transaction.h"
#include "tests/support/test_support.h"

namespace {

// Reads every word of `input` in turn; refused words read as "!".
std::string words(const std::string& input) {
  FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
  std::string seen;
  char word[kCardNumberMax + 1];
  for (WordStatus s; (s = readCardWord(in, word)) != WordStatus::kEndOfInput;) {
    seen += (s == WordStatus::kWord ? std::string(word) : "!") + "|";
  }
  fclose(in);
  return seen;
}

}  // namespace

TEST(CardNumber, OneWordPerTapWhateverTheLinesHold) {
  EXPECT_EQ(words("1234 5678\n"), "1234|5678|");
  EXPECT_EQ(words("\n\n   \t1234\n"), "1234|");
  EXPECT_EQ(words("0012\n12\nab"), "0012|12|ab|");
  EXPECT_EQ(words(""), "");
  EXPECT_EQ(words("\n \n"), "");
}

TEST(CardNumber, LongOrUnsafeWordsAreRefusedWhole) {
  EXPECT_EQ(words("1234567890 12345678901 5"), "1234567890|!|5|");
  EXPECT_EQ(words(std::string(1 << 20, '9') + " 7"), "!|7|");
  EXPECT_EQ(words("../x a/b a\\b 12"), "!|!|!|12|");
  EXPECT_EQ(words(std::string("1\0002 3", 5)), "!|3|");
}

class CardTailOnDisk : public ::testing::Test {
 protected:
  ScratchDir dir;
  CardRecord records[2] = {record(1, "M", "D", 7, "T"), record(1, "M", "D", 7, "T")};
};

TEST_F(CardTailOnDisk, ReadsTheLastTwoRecordsOfALongCard) {
  std::string file;
  for (int i = 0; i < 5000; i++) file += "20150303070000,BUS,OUT,5,B_1\r\n";
  writeFile(dir / "1.txt", file + "20150303080000,SUBWAY,IN,-150,S2_9");
  ASSERT_EQ(loadCardTail(kHere, (dir / "1.txt").c_str(), records), LoadStatus::kLoaded);
  EXPECT_EQ(records[0].time, 20150303070000);
  EXPECT_STREQ(records[1].tapId, "S2_9");
  EXPECT_EQ(records[1].balance, -150);
}

TEST_F(CardTailOnDisk, AShortCardIsReadFromItsStart) {
  writeFile(dir / "1.txt", "20150303070000,BUS,OUT,5,B_1\n20150303080000,BUS,IN,5,B_2");
  ASSERT_EQ(loadCardTail(kHere, (dir / "1.txt").c_str(), records), LoadStatus::kLoaded);
  EXPECT_STREQ(records[0].tapId, "B_1");
}

TEST_F(CardTailOnDisk, MissingAndUnreadableCardsAreToldApart) {
  EXPECT_EQ(loadCardTail(kHere, (dir / "none.txt").c_str(), records), LoadStatus::kNoCard);
  writeFile(dir / "empty.txt", "");
  EXPECT_EQ(loadCardTail(kHere, (dir / "empty.txt").c_str(), records), LoadStatus::kUnreadable);
  writeFile(dir / "one.txt", "20150303080000,BUS,IN,5,B_2");
  EXPECT_EQ(loadCardTail(kHere, (dir / "one.txt").c_str(), records), LoadStatus::kUnreadable);
  mkdir((dir / "dir.txt").c_str(), 0755);
  EXPECT_EQ(loadCardTail(kHere, (dir / "dir.txt").c_str(), records), LoadStatus::kUnreadable);
  mkfifo((dir / "fifo.txt").c_str(), 0644);
  EXPECT_EQ(loadCardTail(kHere, (dir / "fifo.txt").c_str(), records), LoadStatus::kUnreadable);
  EXPECT_EQ(records[0].time, 1);
  EXPECT_STREQ(records[1].tapId, "T");
}
