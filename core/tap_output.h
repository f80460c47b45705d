// The last two stages of a tap: recording an accepted tap in the card
// history file and the reader log (then letting go of the card), and
// showing its outcome on the console, once nothing is held.
#pragma once

#include <cstdint>
#include <string>

#include "core/card_transaction.h"
#include "core/records.h"

// The fare (or refusal) and balance lines of the display.
std::string formatOutcome(int32_t fare, int32_t balance);

// Shows the outcome of a tap: the fare or the refusal, the balance and the
// current time, then "기록에 실패했습니다." when an accepted tap could not
// be recorded; for a tap no fare entry settled, only its "Error" line.
// Called after the card is let go, so that a console that blocks holds
// nothing.
void moniterInterface(const TapResult& result, bool recorded);

// Prints the current-time line for packed time p.
void printTime(int64_t p);

// Records an accepted tap on the held card and in this reader's log, both
// or neither, then lets go of the card. A tap with nothing to record
// touches no file. Returns whether the tap is recorded (true when there was
// nothing to record); when it is not, tells the operator why on the error
// stream.
[[nodiscard]] bool writingInterface(HeldCard* card, const TapEntry& entry);
