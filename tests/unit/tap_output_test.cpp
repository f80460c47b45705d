// Display and recording of a tap: the exact console text, the exact bytes
// appended to the card file and the log, and what happens when a file
// cannot be written.
#include "core/tap_output.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "core/card_transaction.h"
#include "core/reader_state.h"
#include "tests/support/test_support.h"

TEST(Outcome, FareOrRefusalThenBalance) {
  EXPECT_EQ(formatOutcome(1050, 8950), euckr("\n요금 : 1050\n잔액 : 8950\n"));
  EXPECT_EQ(formatOutcome(0, 600), euckr("\n요금 : 0\n잔액 : 600\n"));
  EXPECT_EQ(formatOutcome(-1, 1200), euckr("\n잔액이 부족합니다.\n잔액 : 1200\n"));
  EXPECT_EQ(formatOutcome(200, -100), euckr("\n요금 : 200\n잔액 : -100\n"));
}

class Recording : public InScratchNetwork {
 protected:
  // Without its log directory until a test makes one.
  void SetUp() override {
    InScratchNetwork::SetUp();
    rmdir(at("Reader_txt").c_str());
    writeFile(at(card), kCard);
    entry = sampleTap(card.c_str(), "S1_3", 8950, 20150303081530);
    copyText(entry.logTapId, "B_4");
  }
  const std::string kCard =
      "20150303074002,SUBWAY,IN,11050,S1_7\r\n20150303075500,BUS,OUT,10000,B_4";
  std::string card = "Card/1234.txt";
  std::string log = "Reader_txt/Subway1.txt";
  TapEntry entry{};
};

TEST_F(Recording, AnAcceptedTapAddsOneRecordToEachFile) {
  ASSERT_EQ(mkdir(at("Reader_txt").c_str(), 0755), 0);
  ASSERT_TRUE(recordOnCard(net(), entry, log.c_str()));
  EXPECT_EQ(readFile(at(card)), kCard + "\r\n20150303081530,SUBWAY,IN,8950,S1_3");
  EXPECT_EQ(readFile(at(log)), "20150303081530,SUBWAY,IN,1050,B_4\r\n");
  entry.charged = 0;
  ASSERT_TRUE(recordOnCard(net(), entry, log.c_str()));
  EXPECT_EQ(readFile(at(log)),
            "20150303081530,SUBWAY,IN,1050,B_4\r\n20150303081530,SUBWAY,IN,0,B_4\r\n");
  // An entry that names another card than the one held is recorded on
  // neither: the record goes only to the card intake read.
  std::string recorded = readFile(at(card));
  HeldCard held;
  CardRecord records[2];
  std::vector<std::string> notices;
  ASSERT_EQ(holdCard(net(), card.c_str(), logsWith(), &held, records, &notices),
            LoadStatus::kLoaded);
  TapEntry other = entry;
  copyText(other.cardFile, "Card/12345.txt");
  writer = tapWriter(net(), log);  // the reader's own, as intake leaves it
  EXPECT_FALSE(writingInterface(&held, other));
  closeTapWriter(&writer);
  EXPECT_EQ(readFile(at(card)), recorded);
  EXPECT_FALSE(fileExists(at("Card/12345.txt")));
}

TEST_F(Recording, ATapWithNothingToRecordTouchesNoFile) {
  // Not even a missing log directory is noticed.
  std::string missingLog = "Reader_txt/Subway1.txt";
  for (int32_t charged : {kRefusedFare, kNoFareEntry}) {
    entry.charged = charged;
    EXPECT_TRUE(recordOnCard(net(), entry, missingLog.c_str()));
    EXPECT_EQ(readFile(at(card)), kCard);
  }
}

TEST_F(Recording, AFileThatCannotBeOpenedMeansNeitherIsWritten) {
  EXPECT_FALSE(recordOnCard(net(), entry, "Reader_txt/Subway1.txt"));
  EXPECT_EQ(readFile(at(card)), kCard);
  // A card removed, replaced or changed behind the lock since its tail was
  // read is never written, nor created again; nor is the log.
  const struct {
    const char* what;
    std::function<void()> change;
  } changes[] = {
      {"removed", [&] { unlink(at(card).c_str()); }},
      {"replaced",
       [&] {
         writeFile(at("Card/new.txt"), kCard), rename(at("Card/new.txt").c_str(), at(card).c_str());
       }},
      {"rewritten in place", [&] { writeFile(at(card), kCard.substr(0, kCard.size() - 1) + "5"); }},
  };
  for (const auto& c : changes) {
    writeFile(at(card), kCard);
    HeldCard held;
    CardRecord records[2];
    std::vector<std::string> notices;
    ASSERT_EQ(holdCard(net(), card.c_str(), logsWith(), &held, records, &notices),
              LoadStatus::kLoaded);
    c.change();
    std::string now = fileExists(at(card)) ? readFile(at(card)) : "";
    TapWriter writer = tapWriter(net(), log);
    EXPECT_FALSE(recordTap(held, formatCardRecord(entry), formatLogLine(entry), &writer)) << c.what;
    releaseCard(&held);
    closeTapWriter(&writer);
    EXPECT_EQ(fileExists(at(card)) ? readFile(at(card)) : "", now) << c.what;
    EXPECT_EQ(readFile(at(log)), "") << c.what;
  }
}
