// Display and recording of a tap. The recording itself, the card's record
// and the log's line as one transaction, is recordTap's.
#include "core/tap_output.h"

#include "core/card_transaction.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/messages.h"
#include "core/packed_time.h"
#include "core/reader_state.h"
#include "core/text.h"

std::string formatOutcome(int32_t fare, int32_t balance) {
  std::string text = fare == kRefusedFare ? kRefusedText : formatText(kFareFormat, fare);
  return text + formatText(kBalanceFormat, balance);
}

void printTime(int64_t p) {
  say(formatTimeLine(p));
}

void moniterInterface(int32_t fare, int32_t balance) {
  say(formatOutcome(fare, balance));
  printTime(getTime());
  // The outcome is on the screen before anything is written.
  flushConsole();
}

void writingInterface(TapEntry entry) {
  if (!recordTap(heldCard, entry, readerTxt)) sayLine(kWriteFailedText);
}
