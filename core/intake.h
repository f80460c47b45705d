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

// Sets the banner intake shows above every prompt: this reader's.
void showBanner(const char* banner);

// Clears the screen, shows the banner and the prompt, and insists until a
// card number names a card that can be read; holds that card (heldCard,
// see reader_state.h), sets name and ud and returns ud. A tap of this reader's that was cut
// short is settled first. When the console input ends, the reader exits
// with status 0.
const CardRecord* receivingCardInterface();
