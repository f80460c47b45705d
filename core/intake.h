// Card intake: the console dialogue that asks for a card number, and the
// holding and reading of the presented card's last two records.
#pragma once

#include <cstdio>

#include "core/card_transaction.h"
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

// Writes a line for the operator on the error stream:
// "reader <id>: warning: <text>".
void warnOperator(const std::string& text);

// Clears the screen, shows the banner and the prompt, and insists until a
// card number names a card that can be read; holds that card in `card`
// (writingInterface lets go of it), sets name and ud and returns ud. Taps
// left in flight are settled first: those of the network once its
// directory is there (if start-up could not), this reader's own, and any
// on the card. Returns nullptr, holding nothing, when the reader is to end
// (exitStatus set): its console input ended (status 0, or 1 when reading
// it failed), or the network directory is one it may not record in.
const CardRecord* receivingCardInterface(HeldCard* card);
