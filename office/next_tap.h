// What a card's next tap will do at each reader of the network, as the
// readers' own rule sets decide it, and how show words it. Pure: the card's
// last two records and the time are handed in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/records.h"
#include "office/tap_kind.h"
#include "readers/network.h"

// The readers asked, in the order of the network's table.
constexpr size_t kAskedReaders = sizeof kNetworkReaders / sizeof kNetworkReaders[0];

// One reader's answer to the card's next tap.
struct ReaderAnswer {
  const char* readerId;  // "S1" ... "S5" or "B"
  bool bus;              // the reader runs the bus's rule set
  TapResult result;      // what the reader does at the card's balance
  TapResult funded;      // what it does with enough money: `result` unless refused
  TapKind kind;          // the kind of tap `funded` is, when accepted
  int32_t needs;         // when refused: the least balance it is taken with; 0 if none
};

// When the answers hold, the circumstance that decides them.
enum class TapWhen {
  kNow,                // latest record an exit, its transfer window closed
  kTransferWindow,     // within the transfer window of the latest exit
  kAfterWindow,        // once that window has closed
  kPeriodBeforeEntry,  // at a reader whose operating period began before the open entry
  kPeriodAfterEntry,   // at one whose period began after it: the entry was left open
};

// The answers of every reader in one circumstance.
struct TapCase {
  TapWhen when;
  int64_t time;  // packed: the window's last second (kTransferWindow), the first second after
                 // it (kAfterWindow), when every reader's period has begun since the entry
                 // (kPeriodAfterEntry); 0 otherwise
  ReaderAnswer answers[kAskedReaders];
};

// The next tap of a card: the circumstances in the order they can come.
struct NextTap {
  bool inTrip;             // the latest record is an entry
  bool enteredByTransfer;  // that entry was a transfer from the other vehicle
  bool lastBus;            // the latest record was made on the bus
  int casesUsed;           // 1 or 2
  TapCase cases[2];
};

// The next tap of the card at `cardFile` whose last two records are
// `older` and `latest`, asked of every reader at calendar time `now`.
// An exit opens a transfer window; an entry is settled by a reader whose
// period began after it, which every running reader's has from
// nextPeriodStart(entry) on: from then only that circumstance is given.
NextTap nextTap(const CardRecord& older, const CardRecord& latest, const char* cardFile,
                int64_t now);

// What a reader's answer does, in words: "an exit that charges 200",
// "refused: a new ride, an entry that charges 1050, needs a balance of 1250".
std::string answerWords(const ReaderAnswer& answer);

// Name of an answer's outcome: "accepted", "refused", "error_1", "error_2"
// (the reader shows the error and records nothing) or "nothing" (it
// records and shows nothing).
const char* outcomeName(const TapResult& result);

// Name of a circumstance, as the JSON gives it: "now", "transfer_window", ...
const char* whenName(TapWhen when);

// Circumstance `index` of `next` in words: its header, ending with ':',
// then a line per group of readers that answer alike ("at S1, S2 or S5: an
// exit, free"). A second circumstance leaves out the readers that answer
// as in the first.
std::vector<std::string> caseLines(const NextTap& next, int index);
