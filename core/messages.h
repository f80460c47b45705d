// Every text the readers print, in one place. The console speaks EUC-KR, so
// the Korean texts are kept as their EUC-KR bytes, the text beside each.
#pragma once

// "\nInput Card : "
constexpr char kPromptText[] = "\nInput Card : ";

// "카드의 정보가 없습니다."  (there is no information about this card)
constexpr char kNoCardText[] =
    "\xc4\xab\xb5\xe5\xc0\xc7 \xc1\xa4\xba\xb8\xb0\xa1 \xbe\xf8\xbd\xc0\xb4\xcf\xb4\xd9.";

// "카드 번호가 올바르지 않습니다."  (the card number is not valid)
constexpr char kBadNumberText[] =
    "\xc4\xab\xb5\xe5 \xb9\xf8\xc8\xa3\xb0\xa1 \xbf\xc3\xb9\xd9\xb8\xa3\xc1\xf6 "
    "\xbe\xca\xbd\xc0\xb4\xcf\xb4\xd9.";

// "카드 정보를 읽을 수 없습니다."  (the card cannot be read)
constexpr char kUnreadableCardText[] =
    "\xc4\xab\xb5\xe5 \xc1\xa4\xba\xb8\xb8\xa6 \xc0\xd0\xc0\xbb \xbc\xf6 "
    "\xbe\xf8\xbd\xc0\xb4\xcf\xb4\xd9.";

// "기록에 실패했습니다."  (recording failed)
constexpr char kWriteFailedText[] =
    "\xb1\xe2\xb7\xcf\xbf\xa1 \xbd\xc7\xc6\xd0\xc7\xdf\xbd\xc0\xb4\xcf\xb4\xd9.";

// "\n잔액이 부족합니다.\n"  (the balance is insufficient)
constexpr char kRefusedText[] =
    "\n\xc0\xdc\xbe\xd7\xc0\xcc \xba\xce\xc1\xb7\xc7\xd5\xb4\xcf\xb4\xd9.\n";

// "\n요금 : %d\n"  (fare)
constexpr char kFareFormat[] = "\n\xbf\xe4\xb1\xdd : %d\n";

// "잔액 : %d\n"  (balance)
constexpr char kBalanceFormat[] = "\xc0\xdc\xbe\xd7 : %d\n";

// "현재 시간 : %d-%d-%d, %d:%d:%d\n"  (current time)
constexpr char kTimeFormat[] = "\xc7\xf6\xc0\xe7 \xbd\xc3\xb0\xa3 : %d-%d-%d, %d:%d:%d\n";

constexpr char kError1Text[] = "Error 1";
constexpr char kError2Text[] = "Error 2";
