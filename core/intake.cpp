// Card intake. The word is read a character at a time into a bounded
// buffer; the card is held for the tap and read at its tail only, so a tap
// costs the same however long the card's history is.
#include "core/intake.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/card_file.h"
#include "core/console.h"
#include "core/messages.h"
#include "core/reader_state.h"
#include "core/tap_journal.h"

// The pause after a refused number or card, so the message can be read.
constexpr int kMessagePauseMs = 2500;

// This reader's banner, the first line of every prompt.
static const char* banner = "";

void showBanner(const char* text) {
  banner = text;
}

WordStatus readCardWord(FILE* in, char (&word)[kCardNumberMax + 1]) {
  int c;
  do {
    c = getc(in);
  } while (c != EOF && isspace(c));
  if (c == EOF) return WordStatus::kEndOfInput;

  // One character more than a number may have tells a word that is too long.
  char seen[kCardNumberMax + 1];
  size_t length = 0;
  for (; c != EOF && !isspace(c); c = getc(in)) {
    if (length < sizeof seen) seen[length] = static_cast<char>(c);
    length++;
  }
  if (length > kCardNumberMax || !isCardNumber(seen, length)) return WordStatus::kRefused;
  memcpy(word, seen, length);
  word[length] = '\0';
  return WordStatus::kWord;
}

// Ends the reader when its console input is gone: no card can come.
[[noreturn]] static void endOfInput() {
  flushConsole();
  exit(ferror(stdin) ? EXIT_FAILURE : EXIT_SUCCESS);
}

const CardRecord* receivingCardInterface() {
  for (;;) {
    clearScreen();
    sayLine(banner);
    say(kPromptText);
    flushConsole();
    char number[kCardNumberMax + 1];
    WordStatus word = readCardWord(stdin, number);
    if (word == WordStatus::kEndOfInput) endOfInput();
    if (word == WordStatus::kRefused) {
      sayLine(kBadNumberText);
      pauseMs(kMessagePauseMs);
      continue;
    }
    copyText(name, cardPath(number).c_str());
    // A tap of this reader's cut short (a kill, a lost flush) is settled
    // before the next begins; another card's taps left in flight are
    // settled by holdCard.
    recoverJournal(readerTxt);
    LoadStatus load = holdCard(name, &heldCard, ud);
    if (load == LoadStatus::kLoaded) return ud;
    sayLine(load == LoadStatus::kNoCard ? kNoCardText : kUnreadableCardText);
    pauseMs(kMessagePauseMs);
  }
}
