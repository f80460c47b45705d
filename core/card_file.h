// The two text formats of the network: a card history file (records
// separated by CR LF, read only at its tail) and a reader log (lines ended
// by CR LF), and the paths where both lie.
#pragma once

#include <cstddef>
#include <string>

#include "core/records.h"

// Longest line of a card file, its terminator included.
constexpr size_t kMaxLineBytes = 49;
// Bytes of a card's tail that hold its last two lines and the line break
// before them: all that intake ever reads.
constexpr size_t kTailBytes = 2 * kMaxLineBytes + 1;

// Parses the last two records of a card file from its tail. `wholeFile`
// says whether the bytes start at the beginning of the file. On success
// fills records (older first) and returns true; a tail that breaks the
// format returns false and leaves records untouched.
bool parseCardTail(const char* bytes, size_t length, bool wholeFile, CardRecord records[2]);

// The record appended to a card file for an accepted tap: CR LF first.
std::string formatCardRecord(const TapEntry& entry);

// The line appended to a reader log for an accepted tap: CR LF last.
std::string formatLogLine(const TapEntry& entry);

// The path of card `number`'s history file: Card/<number>.txt.
std::string cardPath(const char* number);
