// The console texts are the EUC-KR bytes of their Korean texts.
#include "core/messages.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

TEST(Messages, AreTheEucKrBytesOfTheirTexts) {
  EXPECT_EQ(std::string(kNoCardText),
            "\xc4\xab\xb5\xe5\xc0\xc7\x20\xc1\xa4\xba\xb8\xb0\xa1\x20\xbe\xf8\xbd\xc0\xb4\xcf\xb4"
            "\xd9\x2e");
  EXPECT_EQ(kNoCardText, euckr("카드의 정보가 없습니다."));
  EXPECT_EQ(kBadNumberText, euckr("카드 번호가 올바르지 않습니다."));
  EXPECT_EQ(kUnreadableCardText, euckr("카드 정보를 읽을 수 없습니다."));
  EXPECT_EQ(kWriteFailedText, euckr("기록에 실패했습니다."));
  EXPECT_EQ(kRefusedText, euckr("\n잔액이 부족합니다.\n"));
  EXPECT_EQ(kFareFormat, euckr("\n요금 : %d\n"));
  EXPECT_EQ(kBalanceFormat, euckr("잔액 : %d\n"));
  EXPECT_EQ(kTimeFormat, euckr("현재 시간 : %d-%d-%d, %d:%d:%d\n"));
}
