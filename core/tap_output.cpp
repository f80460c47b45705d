// Recording and display of a tap. The recording itself, the card's record
// and the log's line as one transaction, is recordTap's.
#include "core/tap_output.h"

#include <cerrno>
#include <cstring>

#include "core/card_file.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/intake.h"
#include "core/messages.h"
#include "core/packed_time.h"
#include "core/reader.h"
#include "core/reader_state.h"
#include "core/tap_result.h"
#include "core/text.h"

std::string formatOutcome(int32_t fare, int32_t balance) {
  std::string text = fare == kRefusedFare ? kRefusedText : formatText(kFareFormat, fare);
  return text + formatText(kBalanceFormat, balance);
}

void printTime(int64_t p) {
  say(formatTimeLine(p));
}

void moniterInterface(const TapResult& result, bool recorded) {
  if (isShown(result)) {
    say(formatOutcome(result.fare, result.balance));
    printTime(getTime());
    if (!recorded) sayLine(kWriteFailedText);
  } else if (const char* message = unsettledMessage(result.fare)) {
    sayLine(message);
  }
  flushConsole();
}

bool writingInterface(HeldCard* card, const TapEntry& entry) {
  // The record goes to the card the entry names, which must be the card
  // held since intake read it: never to another.
  bool heldCard = entry.charged < 0 || card->path == entry.cardFile;
  if (!heldCard) {
    writer.problem = "its entry names " + std::string(entry.cardFile) + ", not the card held";
  }
  bool recorded = entry.charged < 0 || (heldCard && recordTap(*card, formatCardRecord(entry),
                                                              formatLogLine(entry), &writer));
  // The card was held from intake on: the next reader to tap it goes on
  // from this tap's record. Only then is anything said.
  releaseCard(card);
  // An undecided tap keeps its journal locked until the disk takes the
  // mark that it was not recorded: nothing is said until then either.
  bool undecided = writer.undecided;
  // A tap another reader settled while this one's files were lost (its
  // host cut off, its mount gone) stands recorded: it is shown so.
  if (decideTap(&writer, followNetworkDirectory)) recorded = true;
  for (const std::string& notice : card->notices) warnOperator(notice);
  if (!recorded) {
    warnOperator("the tap on " + card->path + " could not be recorded: " + writer.problem +
                 (undecided ? " (the reader waited for the disk to take that it was not)" : ""));
  } else if (entry.charged >= 0 && !writer.problem.empty()) {
    warnOperator(writer.problem);
  }
  return recorded;
}
