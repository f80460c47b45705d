// Card intake: the console dialogue that asks for a card number, and the
// reading of the presented card's last two records from disk.
#pragma once

#include <cstdio>

#include "core/records.h"

// What reading a card number from the console gave.
enum class WordStatus {
  kWord,        // a card number, in the buffer
  kRefused,     // too long, or not usable as a file name
  kEndOfInput,  // the input has ended (or failed)
};

// Reads one whitespace-delimited word from `in`, never more than the
// buffer holds. A word longer than kCardNumberMax, or holding a path
// separator or a NUL byte, is consumed whole and refused.
WordStatus readCardWord(FILE* in, char (&word)[kCardNumberMax + 1]);

// What loading a card's tail gave.
enum class LoadStatus {
  kLoaded,      // both records filled
  kNoCard,      // no file that can be opened for this card
  kUnreadable,  // a file that breaks the card format, or cannot be read
};

// Reads the tail of the card file at `path` in one or two reads and parses
// its last two records into `records` (older first). On anything but
// kLoaded the records are left untouched.
LoadStatus loadCardTail(const char* path, CardRecord records[2]);

// Clears the screen, shows the banner and the prompt, and insists until a
// card number names a card that can be read; sets name and ud and returns
// ud. When the console input ends, the reader exits with status 0.
const CardRecord* receivingCardInterface();
