// Packed time conversions, on the re-entrant local-time functions.
#include "core/packed_time.h"

#include <ctime>

#include "core/messages.h"
#include "core/text.h"

// The digits YYYYMMDDhhmmss of a broken-down time.
static int64_t pack(const struct tm& t) {
  return (t.tm_year + 1900LL) * 10000000000LL + (t.tm_mon + 1LL) * 100000000LL +
         t.tm_mday * 1000000LL + t.tm_hour * 10000LL + t.tm_min * 100LL + t.tm_sec;
}

int64_t timetolong(int64_t t) {
  time_t clock = static_cast<time_t>(t);
  struct tm local {};
  return localtime_r(&clock, &local) == nullptr ? 0 : pack(local);
}

int64_t packedUtc(int64_t t) {
  time_t clock = static_cast<time_t>(t);
  struct tm utc {};
  return gmtime_r(&clock, &utc) == nullptr ? 0 : pack(utc);
}

PackedGroups splitPacked(int64_t p) {
  return {
      static_cast<int>(p / 10000000000LL),       static_cast<int>(p % 10000000000LL / 100000000),
      static_cast<int>(p % 100000000 / 1000000), static_cast<int>(p % 1000000 / 10000),
      static_cast<int>(p % 10000 / 100),         static_cast<int>(p % 100)};
}

int64_t makeTime(int64_t p) {
  PackedGroups g = splitPacked(p);
  struct tm local {};
  local.tm_year = g.year - 1900;
  local.tm_mon = g.month - 1;
  local.tm_mday = g.day;
  local.tm_hour = g.hour;
  local.tm_min = g.minute;
  local.tm_sec = g.second;
  local.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&local));
}

std::string formatTimeLine(int64_t p) {
  PackedGroups g = splitPacked(p);
  return formatText(kTimeFormat, g.year, g.month, g.day, g.hour, g.minute, g.second);
}

std::string formatDateTime(int64_t p) {
  PackedGroups g = splitPacked(p);
  return formatText("%04d-%02d-%02d %02d:%02d:%02d", g.year, g.month, g.day, g.hour, g.minute,
                    g.second);
}
