// Start-up and the endless tap loop that all six readers share, and the
// step of a tap that calls back into the rule set: the fare choice, made
// again should the operating period roll over before its number is taken.
#pragma once

#include <string>
#include <vector>

#include "core/network.h"
#include "core/records.h"
#include "core/tap_result.h"

// What tells one reader from another; fixed in each program.
struct ReaderConfig {
  const char* readerId;  // "S1" ... "S5", or "B"
  const char* banner;    // first line of every prompt
  const char* logName;   // this reader's log, in the log directory: "Subway1.txt"
};

// The path of the reader's log: Reader_txt/<logName>.
inline std::string logPathOf(const ReaderConfig& reader) {
  return logPath(reader.logName);
}

// A rule set's fare choice for a card's trip state and a tap's stamp.
using ChooseFare = TapResult (*)(const CardData& card, const TapStamp& stamp);

// The fare `choose` gives the card now at this reader, stamped with the
// next tap number of the period; the number is taken (claimed) only if the
// tap is accepted. Should the timer open a new period between the choice
// and the claim, the fare is chosen again with the new period's number.
TapResult chooseAndClaim(const CardData& card, ChooseFare choose);

// Sets the reader's identity, banner and log and the logs of the network
// it belongs to (`networkLogs`: every writer's, whose journals it reads),
// warns when it does not run in a network directory, settles every tap left
// in flight (once the network directory is there), and starts the
// operating period timer: all that comes before the first tap.
// Returns false when the reader is to end (exitStatus set; see checkNetwork).
[[nodiscard]] bool startReader(const ReaderConfig& config, const std::vector<std::string>& logs);

// Once the network directory is there (its file system mounted), makes
// sure that this reader may record there (it runs as the network's owner,
// the file system shows cards as they are, no other process writes its
// journal) and settles every tap left in flight. Until then, or when
// `atStart` and it is not there, says why on the error stream and settles
// nothing. Returns false when the reader may not record there, saying why:
// it is to end with exitStatus (1).
[[nodiscard]] bool checkNetwork(bool atStart);

// Whether the path the reader was started in (networkPath) names another
// directory than its working directory now: a file system mounted there
// after the reader started, or mounted again after its client ended, or the
// directory made anew. If so, makes it the working directory and lets go of
// every file of the old one (the writer's lock file, log and journal, the
// network's journals), so that the next intake checks and settles the
// network there as at start-up, and says so on the error stream. Costs two
// look-ups: only a tap that found no card, or a file system that lost its
// files, calls it (and a tap undecided, when its journal was lost).
// Returns whether it moved; false leaves all untouched.
[[nodiscard]] bool followNetworkDirectory();

// How long a tap's outcome, or the message of a refused number or card,
// stays on the screen before the next prompt.
constexpr int kPauseMs = 2500;

// The pause after a tap: the tap's record and line are flushed to disk,
// then its outcome stays on the screen for kPauseMs.
void pauseAfterTap();

// Starts the reader, then runs one tap after another with the pause after
// each, until the reader is to end: its console input ends (see
// receivingCardInterface), or it may not record in the network directory.
// Returns the status the reader's main returns.
[[nodiscard]] int runReader(const ReaderConfig& config, const std::vector<std::string>& logs,
                            void (*determineController)());
