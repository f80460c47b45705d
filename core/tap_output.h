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

// Appends an accepted tap's record to its card file and its line to the
// log at `logPath`, each in one append-mode write flushed to disk. Both
// files are opened before either is written; a card file is never
// created. A tap with nothing to record (charged < 0) touches neither.
// Returns false when the tap could not be recorded.
bool appendTap(const TapEntry& entry, const char* logPath);

// Records the tap in the card file and this reader's log, and says so on
// the console when it cannot.
void writingInterface(TapEntry entry);
