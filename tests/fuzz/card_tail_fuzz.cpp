// Fuzzes the card tail parser with any bytes a card file could end with.
// A tail that is accepted must yield records whose texts are terminated
// within their fields and whose lines, written again, parse back to the
// same records; a refused tail must leave the records untouched.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/card_file.h"

namespace {

bool terminatedWithin(const char* text, size_t width) {
  return memchr(text, '\0', width) != nullptr;
}

bool sameRecord(const CardRecord& a, const CardRecord& b) {
  return a.time == b.time && a.balance == b.balance && strcmp(a.mode, b.mode) == 0 &&
         strcmp(a.inOut, b.inOut) == 0 && strcmp(a.tapId, b.tapId) == 0;
}

// A record written as a card line; the older record's time keeps its
// fourteen digits, leading zeros included.
std::string line(const CardRecord& r, bool older) {
  char text[96];
  snprintf(text, sizeof text, older ? "%014lld,%s,%s,%d,%s" : "%lld,%s,%s,%d,%s",
           static_cast<long long>(r.time), r.mode, r.inOut, r.balance, r.tapId);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte says whether the bytes start at the beginning of the file.
  bool wholeFile = data[0] & 1;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  CardRecord sentinel{};
  sentinel.time = 4242;
  CardRecord records[2] = {sentinel, sentinel};
  if (!parseCardTail(bytes, size - 1, wholeFile, records)) {
    if (!sameRecord(records[0], sentinel) || !sameRecord(records[1], sentinel)) abort();
    return 0;
  }
  for (const CardRecord& r : records) {
    if (!terminatedWithin(r.mode, sizeof r.mode) || !terminatedWithin(r.inOut, sizeof r.inOut) ||
        !terminatedWithin(r.tapId, sizeof r.tapId) || r.mode[0] == '\0' || r.inOut[0] == '\0') {
      abort();
    }
  }
  // What the format promises of an accepted tail, stated on its own: the
  // older time has 14 digits, no text holds a separator or a line feed,
  // the latest tap id does not end with a CR (a file never ends with one),
  // and it fits the id of a record a reader writes.
  if (records[0].time < 0 || records[0].time > 99999999999999) abort();
  for (const CardRecord& r : records) {
    std::string texts = std::string(r.mode) + "," + r.inOut + "," + r.tapId;
    if (std::count(texts.begin(), texts.end(), ',') != 2 || texts.find('\n') != std::string::npos) {
      abort();
    }
  }
  size_t latestLength = strlen(records[1].tapId);
  if (latestLength > 0 && records[1].tapId[latestLength - 1] == '\r') abort();
  if (strlen(records[1].tapId) >= kEntryTapIdWidth) abort();
  std::string again = line(records[0], true) + "\n" + line(records[1], false);
  CardRecord reread[2];
  if (!parseCardTail(again.data(), again.size(), true, reread)) abort();
  if (!sameRecord(reread[0], records[0]) || !sameRecord(reread[1], records[1])) abort();
  return 0;
}
