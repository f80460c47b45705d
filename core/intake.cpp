// Card intake. The word is read a character at a time into a bounded
// buffer; the card is held for the tap and read at its tail only, so a tap
// costs the same however long the card's history is.
#include "core/intake.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/card_file.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/file_io.h"
#include "core/messages.h"
#include "core/packed_time.h"
#include "core/reader.h"
#include "core/reader_state.h"
#include "core/trip_facts.h"

// This reader's banner, the first line of every prompt.
static const char* banner = "";

void showBanner(const char* text) {
  banner = text;
}

void warnOperator(const std::string& text) {
  tellOperator("reader " + std::string(readerID) + ": warning: " + text);
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

// Tells the operator what settling found.
static void tellNotices(const std::vector<std::string>& notices) {
  for (const std::string& notice : notices) warnOperator(notice);
}

// Settles what is left in flight before this tap: the whole network's
// taps, once, if start-up found no network directory to settle; and a tap
// of this reader's own that it could not take back.
static bool settleBeforeTap() {
  if (!checkNetwork(false)) return false;
  std::vector<std::string> notices;
  // Should its own journal stay in flight, this tap's recording fails and
  // says so, and the next intake tries again: nothing to do with the
  // result here.
  (void)settleOwnJournal(&writer, networkLogs, &notices);
  tellNotices(notices);
  return true;
}

// Notes, for the operator, when the card's latest record is dated ahead of
// this reader's clock by more than hosts' clocks may differ: one of the two
// clocks is wrong, and a transfer window would be measured from the wrong
// moment.
static void noteIfDatedAhead(const CardRecord& latest, std::vector<std::string>* notices) {
  int64_t ahead = -recordAge(latest, calendarNow());
  if (ahead <= kClockToleranceSeconds) return;
  notices->push_back(std::string(name) + ": its latest record (" + latest.tapId + ") is dated " +
                     std::to_string(ahead) +
                     " s ahead of this reader's clock: check the clocks of this host and of the "
                     "reader that recorded it");
}

const CardRecord* receivingCardInterface(HeldCard* card) {
  for (;;) {
    clearScreen();
    sayLine(banner);
    say(kPromptText);
    flushConsole();
    char number[kCardNumberMax + 1];
    WordStatus word = readCardWord(stdin, number);
    if (word == WordStatus::kEndOfInput) {
      // No card can come: the reader ends.
      exitStatus = ferror(stdin) ? EXIT_FAILURE : EXIT_SUCCESS;
      return nullptr;
    }
    if (word == WordStatus::kRefused) {
      sayLine(kBadNumberText);
      pauseMs(kPauseMs);
      continue;
    }
    copyText(name, cardPath(number).c_str());
    if (!settleBeforeTap()) return nullptr;
    std::vector<std::string> notices;
    LoadStatus load =
        holdCard(kHere, name, networkLogs, card, ud, &notices, writerLocks(&writer), &journals);
    // No card, or a file system that lost its files: the network directory
    // may have been mounted (again) where the reader was started. If so,
    // the tap is taken once more from there (docs/many-hosts.md).
    if (load != LoadStatus::kLoaded &&
        (load == LoadStatus::kNoCard || lostByItsFileSystem(errno)) && followNetworkDirectory()) {
      tellNotices(notices);
      notices.clear();
      if (!settleBeforeTap()) return nullptr;
      load =
          holdCard(kHere, name, networkLogs, card, ud, &notices, writerLocks(&writer), &journals);
    }
    if (load == LoadStatus::kLoaded) {
      // Nothing is written while the card is held (an error stream nobody
      // reads would hold it): what there is to say waits for its release.
      noteIfDatedAhead(ud[1], &notices);
      card->notices = notices;
      return ud;
    }
    tellNotices(notices);
    sayLine(load == LoadStatus::kNoCard ? kNoCardText : kUnreadableCardText);
    pauseMs(kPauseMs);
  }
}
