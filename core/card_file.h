// The two text formats of the network: a card history file (records
// separated by CR LF, read only at its tail) and a reader log (lines ended
// by CR LF), and the paths where both lie.
#pragma once

#include <cstddef>
#include <string>

#include "core/records.h"

// Longest line of a card file, its terminator included.
constexpr size_t kMaxLineBytes = 49;
// Bytes of a card's tail that hold its last two lines and the line break
// before them: all that intake ever reads.
constexpr size_t kTailBytes = 2 * kMaxLineBytes + 1;

// Parses the last two records of a card file from its tail. `wholeFile`
// says whether the bytes start at the beginning of the file. On success
// fills records (older first) and returns true; a tail that breaks the
// format returns false and leaves records untouched.
[[nodiscard]] bool parseCardTail(const char* bytes, size_t length, bool wholeFile,
                                 CardRecord records[2]);

// Parses one line of a card file, without its line feed: every line but
// the last keeps the CR of a CR LF break and needs a time of exactly 14
// digits; the last line must not end with a CR, and its tap id must fit
// the 9 characters of a tap id.
// Returns false, leaving `record` alone, for a line that breaks the format.
[[nodiscard]] bool parseCardLine(const char* line, size_t length, bool last, CardRecord* record);

// The record appended to a card file for an accepted tap: CR LF first.
std::string formatCardRecord(const TapEntry& entry);

// The line appended to a reader log for an accepted tap: CR LF last.
std::string formatLogLine(const TapEntry& entry);

// Whether `length` bytes can name a card: 1 to 10 characters, none of them
// a path separator, white space or NUL, so that the name stays one file
// inside Card/.
bool isCardNumber(const char* text, size_t length);

// Whether the office may write a card of this number: one isCardNumber
// accepts, of printable ASCII alone and without a comma, so that a top-up
// line and a journal carry the number back as it was written.
bool isOfficeCardNumber(const char* text, size_t length);

// The reader part of a tap id: its first run of characters other than "_"
// (S3 of S3_12, S1 of _S1_3), without a CR an older record keeps; empty
// when it has none. What names the reader that recorded a tap.
std::string readerOfTapId(const char* tapId);

// A tap id without the CR that an older record keeps from its CR LF.
std::string bareTapId(const char* tapId);

// The two records a card is issued with, as its file begins: two subway
// exits of `balance` made at packed time `time`, with tap ids ISSUE_1 and
// ISSUE_2, separated by CR LF, nothing after them.
std::string issueRecords(int64_t time, int32_t balance);

// Whether `record`, line `line` of its card (from 1), is one of the two
// the card was issued with: ISSUE_1 on line 1, ISSUE_2 on line 2.
bool isIssueRecord(const CardRecord& record, int64_t line);

// The record a top-up appends (CR LF first): the card's latest record again,
// the same in every field but its balance, so that every reader decides as
// it did before but for the balance. (officeRecords in trip_facts.h says
// when the older record must be repeated too.)
std::string formatTopUpRecord(const CardRecord& latest, int32_t newBalance);

// What an office line records: money loaded, money paid back, a card
// closed and its balance paid out, or a card replaced and its balance
// moved to another.
enum class OfficeKind : uint8_t { kTopUp, kRefund, kClose, kReplace };

// The word an office line gives its kind: TOPUP, REFUND, CLOSE, REPLACE.
const char* officeWord(OfficeKind kind);

// Longest reason a refund line keeps.
constexpr size_t kReasonMax = 24;

// A line of the office's log (Reader_txt/Topup.txt): when, the card, the
// money and the card's balance after it, CR LF last. Written as
//   time,TOPUP,number,amount,balance           20260306091502,TOPUP,1001,5000,13950
//   time,REFUND,number,amount,balance,reason   money paid back, with why
//   time,CLOSE,number,amount,0                 the balance paid out, the card retired
//   time,REPLACE,number,amount,0,new           the balance moved to card `new`, retired
// A reason is 1 to 24 printable ASCII characters, no comma.
struct TopUpLine {
  int64_t time;                     // packed local time of the change
  char number[kCardNumberMax + 1];  // the card number
  int32_t amount;                   // money moved: more than 0 for a top-up or a refund
  int32_t balance;                  // the card's balance after it (0 once closed or replaced)
  OfficeKind kind = OfficeKind::kTopUp;
  char detail[kReasonMax + 1] = "";  // a refund's reason, a replacement's new card
};

// Longest office line, CR LF included: 14 + 6 + 10 + 10 + 11 + 24
// characters, five commas, CR LF.
constexpr size_t kMaxTopUpLineBytes = 82;

// Whether `text` can be a refund's reason.
bool isReason(const char* text, size_t length);

// The line, CR LF last.
std::string formatTopUpLine(const TopUpLine& line);

// Parses a line of the office log without its CR LF. Returns false,
// leaving `line` alone, for anything else.
[[nodiscard]] bool parseTopUpLine(const char* text, size_t length, TopUpLine* line);
