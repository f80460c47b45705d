// The last two stages of a tap: showing its outcome on the console, and
// recording an accepted tap in the card history file and the reader log.
#pragma once

#include <cstdint>
#include <string>

#include "core/records.h"

// The fare (or refusal) and balance lines of the display.
std::string formatOutcome(int32_t fare, int32_t balance);

// Shows the fare or the refusal, the balance and the current time.
void moniterInterface(int32_t fare, int32_t balance);

// Prints the current-time line for packed time p.
void printTime(int64_t p);

// Records the tap on the held card and in this reader's log, both or
// neither, and says so on the console when it cannot.
void writingInterface(TapEntry entry);
