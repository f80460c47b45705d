// The sample data every test and benchmark builds from: a tap to record,
// and a card record, as a value and as its line in a card file. Header
// only, so that the benchmarks use them without the test framework.
#pragma once

#include <cstdint>
#include <string>

#include "core/clock.h"
#include "core/packed_time.h"
#include "core/records.h"

// A sample accepted tap: "SUBWAY IN", charged 1050, made at the packed
// `time`, recorded on `cardFile` with the card's new balance and with
// `tapId` in both files. Tests change the fields they are about.
inline TapEntry sampleTap(const char* cardFile, const char* tapId, int32_t newBalance,
                          int64_t time) {
  TapEntry entry{};
  entry.charged = 1050;
  entry.time = time;
  copyText(entry.mode, "SUBWAY");
  copyText(entry.inOut, "IN");
  entry.newBalance = newBalance;
  copyText(entry.tapId, tapId);
  copyText(entry.logTapId, tapId);
  copyText(entry.cardFile, cardFile);
  return entry;
}

// A card record with the given fields.
inline CardRecord record(int64_t time, const char* mode, const char* inOut, int32_t balance,
                         const char* tapId) {
  CardRecord r{};
  r.time = time;
  copyText(r.mode, mode);
  copyText(r.inOut, inOut);
  r.balance = balance;
  copyText(r.tapId, tapId);
  return r;
}

// A record as a card file holds it: "time,MODE,DIRECTION,balance,id",
// without the CR LF that separates it from the next.
inline std::string cardLine(const CardRecord& r) {
  return std::to_string(r.time) + "," + r.mode + "," + r.inOut + "," + std::to_string(r.balance) +
         "," + r.tapId;
}

// A record of "MODE DIRECTION" (for example "BUS OUT") made at `when`, in
// calendar seconds.
inline CardRecord recordAt(const char* modeAndDirection, int64_t when, int32_t balance,
                           const char* tapId) {
  std::string mode = modeAndDirection;
  size_t space = mode.find(' ');
  std::string direction = mode.substr(space + 1);
  mode.resize(space);
  return record(timetolong(when), mode.c_str(), direction.c_str(), balance, tapId);
}

// The line of a record of "MODE DIRECTION" made `age` seconds ago by the
// clock.
inline std::string cardLine(const char* modeAndDirection, int64_t age, int32_t balance,
                            const char* tapId) {
  return cardLine(recordAt(modeAndDirection, calendarNow() - age, balance, tapId));
}
