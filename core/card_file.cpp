// Card history file and reader log formats. The tail parser trusts nothing:
// it accepts only the last two records of a well-formed card and refuses
// everything else without touching the records it was given.
#include "core/card_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/text.h"

static std::string recordLine(int64_t time, const char* mode, const char* inOut, int32_t balance,
                              const char* tapId);

// A run of bytes within the tail.
struct Span {
  const char* data;
  size_t length;
};

// Returns the last line feed within the first `length` bytes, or nullptr.
static const char* lastLineFeed(const char* bytes, size_t length) {
  for (size_t i = length; i > 0; i--) {
    if (bytes[i - 1] == '\n') return bytes + i - 1;
  }
  return nullptr;
}

static bool allDigits(Span s) {
  for (size_t i = 0; i < s.length; i++) {
    if (s.data[i] < '0' || s.data[i] > '9') return false;
  }
  return true;
}

// Parses a span that is exactly an optional minus sign and one or more
// digits, within [low, high]. Returns false for anything else, a number
// too large for 64 bits among it. The value is built downwards, so that
// the most negative number fits on the way.
static bool parseDecimal(Span s, int64_t low, int64_t high, int64_t* value) {
  bool negative = s.length > 0 && s.data[0] == '-';
  size_t at = negative ? 1 : 0;
  if (at == s.length) return false;
  // Eighteen digits or fewer cannot overflow: they are added up unchecked.
  if (s.length - at <= 18) {
    int64_t parsed = 0;
    for (; at < s.length; at++) {
      unsigned digit = static_cast<unsigned char>(s.data[at]) - unsigned{'0'};
      if (digit > 9) return false;
      parsed = parsed * 10 + digit;
    }
    if (negative) parsed = -parsed;
    if (parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
  }
  int64_t parsed = 0;
  for (; at < s.length; at++) {
    if (s.data[at] < '0' || s.data[at] > '9') return false;
    if (__builtin_mul_overflow(parsed, 10, &parsed) ||
        __builtin_sub_overflow(parsed, s.data[at] - '0', &parsed)) {
      return false;
    }
  }
  if (!negative && __builtin_sub_overflow(int64_t{0}, parsed, &parsed)) return false;
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// Copies a non-empty span into a text field if it fits with its terminator.
template <size_t N>
static bool takeText(Span s, char (&field)[N]) {
  if (s.length == 0 || s.length >= N) return false;
  memcpy(field, s.data, s.length);
  field[s.length] = '\0';
  return true;
}

bool parseCardLine(const char* text, size_t length, bool last, CardRecord* record) {
  Span line = {text, length};
  bool older = !last;
  // A line feed ends every line but the last; 49 bytes in all at most.
  if (length + (last ? 0 : 1) > kMaxLineBytes) return false;
  if (memchr(line.data, '\0', line.length) != nullptr) return false;
  Span fields[5];
  size_t start = 0;
  for (Span& field : fields) {
    if (&field == &fields[4]) break;
    const void* comma = memchr(line.data + start, ',', line.length - start);
    if (comma == nullptr) return false;
    size_t at = static_cast<size_t>(static_cast<const char*>(comma) - line.data);
    field = {line.data + start, at - start};
    start = at + 1;
  }
  fields[4] = {line.data + start, line.length - start};
  if (memchr(fields[4].data, ',', fields[4].length) != nullptr) return false;

  Span tapId = fields[4];
  size_t idLength = tapId.length;
  bool endsWithCr = idLength > 0 && tapId.data[idLength - 1] == '\r';
  // A file must not end with a line terminator, nor with the CR of one:
  // the tap id would carry that CR into every record and log line that
  // copies it.
  if (last && endsWithCr) return false;
  if (endsWithCr) idLength--;
  if (idLength == 0) return false;
  if (!older && tapId.length >= kEntryTapIdWidth) return false;

  int64_t time = 0, balance = 0;
  if (older && (fields[0].length != 14 || !allDigits(fields[0]))) return false;
  if (!parseDecimal(fields[0], INT64_MIN, INT64_MAX, &time)) return false;
  if (!parseDecimal(fields[3], INT32_MIN, INT32_MAX, &balance)) return false;
  CardRecord parsed{};
  parsed.time = time;
  parsed.balance = static_cast<int32_t>(balance);
  if (!takeText(fields[1], parsed.mode) || !takeText(fields[2], parsed.inOut) ||
      !takeText(tapId, parsed.tapId)) {
    return false;
  }
  *record = parsed;
  return true;
}

bool parseCardTail(const char* bytes, size_t length, bool wholeFile, CardRecord records[2]) {
  // The latest record runs from the last line feed to the end of the file.
  const char* lastBreak = lastLineFeed(bytes, length);
  if (lastBreak == nullptr) return false;
  Span latest = {lastBreak + 1, static_cast<size_t>(bytes + length - lastBreak - 1)};
  // The older one starts after the line feed before it, or at the start of
  // the file; a tail without either holds an older line that is too long.
  const char* olderStart = lastLineFeed(bytes, static_cast<size_t>(lastBreak - bytes));
  if (olderStart != nullptr) {
    olderStart++;
  } else if (wholeFile) {
    olderStart = bytes;
  } else {
    return false;
  }
  Span older = {olderStart, static_cast<size_t>(lastBreak - olderStart)};

  CardRecord parsed[2];
  if (!parseCardLine(older.data, older.length, false, &parsed[0]) ||
      !parseCardLine(latest.data, latest.length, true, &parsed[1])) {
    return false;
  }
  records[0] = parsed[0];
  records[1] = parsed[1];
  return true;
}

std::string formatCardRecord(const TapEntry& entry) {
  return recordLine(entry.time, entry.mode, entry.inOut, entry.newBalance, entry.tapId);
}

std::string formatLogLine(const TapEntry& entry) {
  return formatText("%lld,%s,%s,%d,%s\r\n", static_cast<long long>(entry.time), entry.mode,
                    entry.inOut, entry.charged, entry.logTapId);
}

bool isCardNumber(const char* text, size_t length) {
  if (length == 0 || length > kCardNumberMax) return false;
  for (size_t i = 0; i < length; i++) {
    char c = text[i];
    if (c == '/' || c == '\\' || c == '\0' || isspace(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool isOfficeCardNumber(const char* text, size_t length) {
  if (!isCardNumber(text, length)) return false;
  for (size_t i = 0; i < length; i++) {
    if (text[i] < '!' || text[i] > '~' || text[i] == ',') return false;
  }
  return true;
}

std::string readerOfTapId(const char* tapId) {
  const char* part = tapId + strspn(tapId, "_");
  return std::string(part, strcspn(part, "_\r"));
}

std::string bareTapId(const char* tapId) {
  return std::string(tapId, strcspn(tapId, "\r"));
}

// A record of the given fields, as a reader would write it: CR LF first.
static std::string recordLine(int64_t time, const char* mode, const char* inOut, int32_t balance,
                              const char* tapId) {
  return formatText("\r\n%lld,%s,%s,%d,%s", static_cast<long long>(time), mode, inOut, balance,
                    tapId);
}

// The tap ids of a card's first two records, made when it was issued.
static const char* const kIssueTapIds[2] = {"ISSUE_1", "ISSUE_2"};

std::string issueRecords(int64_t time, int32_t balance) {
  // The first record has no CR LF before it.
  return recordLine(time, "SUBWAY", "OUT", balance, kIssueTapIds[0]).substr(2) +
         recordLine(time, "SUBWAY", "OUT", balance, kIssueTapIds[1]);
}

bool isIssueRecord(const CardRecord& record, int64_t line) {
  return (line == 1 || line == 2) && bareTapId(record.tapId) == kIssueTapIds[line - 1];
}

std::string formatTopUpRecord(const CardRecord& latest, int32_t newBalance) {
  return recordLine(latest.time, latest.mode, latest.inOut, newBalance,
                    bareTapId(latest.tapId).c_str());
}

const char* officeWord(OfficeKind kind) {
  switch (kind) {
    case OfficeKind::kTopUp:
      return "TOPUP";
    case OfficeKind::kRefund:
      return "REFUND";
    case OfficeKind::kClose:
      return "CLOSE";
    case OfficeKind::kReplace:
      return "REPLACE";
  }
  return "";
}

bool isReason(const char* text, size_t length) {
  if (length == 0 || length > kReasonMax) return false;
  for (size_t i = 0; i < length; i++) {
    if (text[i] < 0x20 || text[i] > 0x7e || text[i] == ',') return false;
  }
  return true;
}

std::string formatTopUpLine(const TopUpLine& line) {
  std::string text = formatText("%lld,%s,%s,%d,%d", static_cast<long long>(line.time),
                                officeWord(line.kind), line.number, line.amount, line.balance);
  if (line.kind == OfficeKind::kRefund || line.kind == OfficeKind::kReplace) {
    text += std::string(",") + line.detail;
  }
  return text + "\r\n";
}

bool parseTopUpLine(const char* text, size_t length, TopUpLine* line) {
  Span fields[6];
  size_t start = 0, field = 0;
  for (size_t i = 0; i <= length && field < 6; i++) {
    if (i == length || text[i] == ',') {
      fields[field++] = {text + start, i - start};
      start = i + 1;
    }
  }
  if (field < 5 || start != length + 1) return false;
  std::string word(fields[1].data, fields[1].length);
  TopUpLine parsed{};
  size_t wanted = 5;
  int64_t least = 1;  // the smallest amount
  if (word == "TOPUP") {
    parsed.kind = OfficeKind::kTopUp;
  } else if (word == "REFUND") {
    parsed.kind = OfficeKind::kRefund;
    wanted = 6;
  } else if (word == "CLOSE") {
    parsed.kind = OfficeKind::kClose;
    least = 0;
  } else if (word == "REPLACE") {
    parsed.kind = OfficeKind::kReplace;
    wanted = 6;
    least = 0;
  } else {
    return false;
  }
  int64_t time = 0, amount = 0, balance = 0;
  if (field != wanted || fields[0].length != 14 || !allDigits(fields[0]) ||
      !parseDecimal(fields[0], 0, INT64_MAX, &time) ||
      !isCardNumber(fields[2].data, fields[2].length) ||
      memchr(fields[2].data, ',', fields[2].length) != nullptr ||
      !parseDecimal(fields[3], least, INT32_MAX, &amount) ||
      !parseDecimal(fields[4], INT32_MIN, INT32_MAX, &balance)) {
    return false;
  }
  // A closed or replaced card keeps nothing.
  bool retires = parsed.kind == OfficeKind::kClose || parsed.kind == OfficeKind::kReplace;
  if (retires && balance != 0) return false;
  if (parsed.kind == OfficeKind::kRefund && !isReason(fields[5].data, fields[5].length)) {
    return false;
  }
  if (parsed.kind == OfficeKind::kReplace &&
      (!isCardNumber(fields[5].data, fields[5].length) ||
       memchr(fields[5].data, ',', fields[5].length) != nullptr ||
       std::string(fields[5].data, fields[5].length) ==
           std::string(fields[2].data, fields[2].length))) {
    return false;
  }
  if (wanted == 6) {
    memcpy(parsed.detail, fields[5].data, fields[5].length);
    parsed.detail[fields[5].length] = '\0';
  }
  parsed.time = time;
  memcpy(parsed.number, fields[2].data, fields[2].length);
  parsed.number[fields[2].length] = '\0';
  parsed.amount = static_cast<int32_t>(amount);
  parsed.balance = static_cast<int32_t>(balance);
  *line = parsed;
  return true;
}
