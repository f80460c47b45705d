// The records that carry one tap from stage to stage, and the widths of
// their text fields. Every record is a flat value type: no pointers, no
// heap, copied whole between stages. (The reader's process-wide state is in
// reader_state.h.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Widths of the text fields, terminator included.
constexpr size_t kModeWidth = 7;          // "SUBWAY" fits exactly
constexpr size_t kInOutWidth = 5;         // "IN", "OUT"
constexpr size_t kRecordTapIdWidth = 16;  // may keep a trailing CR from the file
constexpr size_t kLastTapIdWidth = 12;
constexpr size_t kEntryTapIdWidth = 10;  // "S1_" and six digits, or "B_" and seven
constexpr size_t kDataCardFileWidth = 24;
constexpr size_t kEntryCardFileWidth = 20;  // "Card/", ten characters, ".txt"
constexpr size_t kReaderIdWidth = 8;
constexpr size_t kReaderTxtWidth = 32;
constexpr size_t kNameWidth = 64;

// Longest card number a reader accepts at the prompt.
constexpr size_t kCardNumberMax = 10;

// One line of a card history file.
struct CardRecord {
  int64_t time;                   // packed local time YYYYMMDDhhmmss
  char mode[kModeWidth];          // "SUBWAY" or "BUS"
  char inOut[kInOutWidth];        // "IN" or "OUT"
  int32_t balance;                // balance after that tap
  char tapId[kRecordTapIdWidth];  // recording reader, "_", number
};

// The trip state of the presented card, derived from its last two records.
// Flags hold 0 or 1.
struct CardData {
  char cardFile[kDataCardFileWidth];  // card history file to append to
  int64_t lastTime;                   // time of the latest record
  int64_t lastAt;                     // the same, as calendar time (seconds)
  char lastTapId[kLastTapIdWidth];    // whole tap id of the latest record
  int32_t staleEntry;                 // open trip begun before the current operating period
  int32_t transfer;                   // otherStation, subwayToBus or busToSubway
  int32_t transferWindow;             // this tap may be a transfer from the other vehicle
  int32_t enteredByTransfer;          // the open trip began as a transfer
  int32_t lastIn;                     // latest record is an entry
  int32_t lastBus;                    // latest record was made on the bus
  int32_t otherStation;               // open subway trip entered at another reader, not by transfer
  int32_t subwayToBus;                // open bus ride begun as a transfer from the subway
  int32_t busToSubway;                // open subway trip begun as a transfer from the bus
  int32_t balance;                    // money on the card now
  int32_t stationDistance;            // subway: stations between entry and here on the ring
};

// What the writer appends for an accepted tap.
struct TapEntry {
  int32_t charged;  // fare written to the reader log; < 0: nothing written
  int64_t time;     // packed time of this tap
  char mode[kModeWidth];
  char inOut[kInOutWidth];
  int32_t newBalance;                  // balance written to the card file
  char tapId[kEntryTapIdWidth];        // id written to the card file
  char logTapId[kEntryTapIdWidth];     // id written to the reader log
  char cardFile[kEntryCardFileWidth];  // card file to append to
};

// What an accepted tap is, as the fare entry that accepted it names it.
enum class TapKind {
  kNewRide,            // an entry that starts a trip
  kTransfer,           // an entry by transfer from the other vehicle
  kExit,               // an exit from a trip begun at a reader
  kExitAfterTransfer,  // an exit from a trip begun by transfer
  kSettlement,         // an entry that settles a trip left open, and starts another
};
constexpr int kTapKinds = 5;

// Whether a tap of `kind` gives the reader log the card's previous tap id
// (a transfer, and the exit after one), which ties it to the trip it
// continues, rather than its own.
constexpr bool logsPreviousId(TapKind kind) {
  return kind == TapKind::kTransfer || kind == TapKind::kExitAfterTransfer;
}

// The outcome of one tap.
struct TapResult {
  int32_t fare;     // amount charged, or one of the two markers below
  int32_t balance;  // balance to show
  TapKind kind;     // what the tap is, when accepted
  TapEntry entry;
};

// Fare of a tap refused for want of balance: shown, never written.
constexpr int32_t kRefusedFare = -1;
// Fares of a tap that no fare entry settles: nothing is shown or written.
// The tap ends silently, or after the line "Error 1" (no rule of the
// dispatcher fits the card) or "Error 2" (no case of the uncalculated
// controller fits it).
constexpr int32_t kNoFareEntry = -2;
constexpr int32_t kNoRuleFits = -3;
constexpr int32_t kNoSettlementFits = -4;

// Copies src into a fixed-width field, truncating if it must, and always
// terminates it. Returns whether the whole text fit.
template <size_t N>
bool copyText(char (&dst)[N], const char* src) {
  size_t length = strnlen(src, N);
  bool fits = length < N;
  if (!fits) length = N - 1;
  memcpy(dst, src, length);
  dst[length] = '\0';
  return fits;
}
