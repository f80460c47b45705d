// Card history file and reader log formats. The tail parser trusts nothing:
// it accepts only the last two records of a well-formed card and refuses
// everything else without touching the records it was given.
#include "core/card_file.h"

#include <cerrno>
#include <cstdlib>

#include "core/console.h"

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
// digits, within [low, high]. Returns false for anything else.
static bool parseDecimal(Span s, int64_t low, int64_t high, int64_t* value) {
  Span digits = s;
  if (digits.length > 0 && digits.data[0] == '-') digits = {s.data + 1, s.length - 1};
  if (digits.length == 0 || digits.length > 20 || !allDigits(digits)) return false;
  char text[24];
  memcpy(text, s.data, s.length);
  text[s.length] = '\0';
  errno = 0;
  long long parsed = strtoll(text, nullptr, 10);
  if (errno == ERANGE || parsed < low || parsed > high) return false;
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

// Parses one record line (without its line feed) into `record`. The older
// line keeps the CR of a CR LF break at the end of its tap id, and its time
// field must have exactly 14 digits; the latest line's tap id must fit the
// 9 characters of a tap id that can be written again.
static bool parseRecordLine(Span line, bool older, CardRecord* record) {
  if (memchr(line.data, '\0', line.length) != nullptr) return false;
  Span fields[5];
  size_t start = 0, field = 0;
  for (size_t i = 0; i < line.length && field < 4; i++) {
    if (line.data[i] == ',') {
      fields[field++] = {line.data + start, i - start};
      start = i + 1;
    }
  }
  if (field < 4) return false;
  fields[4] = {line.data + start, line.length - start};
  if (memchr(fields[4].data, ',', fields[4].length) != nullptr) return false;

  Span tapId = fields[4];
  size_t idLength = tapId.length;
  if (older && idLength > 0 && tapId.data[idLength - 1] == '\r') idLength--;
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
  if (older.length + 1 > kMaxLineBytes || latest.length > kMaxLineBytes) return false;
  // A file must not end with a line terminator, nor with the CR of one:
  // the next record appended would leave a broken line behind.
  if (latest.length > 0 && latest.data[latest.length - 1] == '\r') return false;

  CardRecord parsed[2];
  if (!parseRecordLine(older, true, &parsed[0]) || !parseRecordLine(latest, false, &parsed[1])) {
    return false;
  }
  records[0] = parsed[0];
  records[1] = parsed[1];
  return true;
}

std::string formatCardRecord(const TapEntry& entry) {
  return formatText("\r\n%lld,%s,%s,%d,%s", static_cast<long long>(entry.time), entry.mode,
                    entry.inOut, entry.newBalance, entry.tapId);
}

std::string formatLogLine(const TapEntry& entry) {
  return formatText("%lld,%s,%s,%d,%s\r\n", static_cast<long long>(entry.time), entry.mode,
                    entry.inOut, entry.charged, entry.logTapId);
}

std::string cardPath(const char* number) {
  return std::string("Card/") + number + ".txt";
}
