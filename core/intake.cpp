// Card intake. The word is read a character at a time into a bounded
// buffer; the card file is read at its tail only, so a tap costs the same
// however long the card's history is.
#include "core/intake.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/append_note.h"
#include "core/card_file.h"
#include "core/console.h"
#include "core/messages.h"

// The pause after a refused number or card, so the message can be read.
constexpr int kMessagePauseMs = 2500;

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

// Reads exactly `length` bytes at `offset`, in as few reads as it takes.
static bool readAt(int fd, char* buffer, size_t length, off_t offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, buffer + done, length - done, offset + static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

LoadStatus loadCardTail(const char* path, CardRecord records[2]) {
  // O_NONBLOCK keeps a FIFO in Card/ from stalling the reader.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return LoadStatus::kNoCard;
  struct stat info {};
  char tail[kTailBytes];
  bool read = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  size_t size = read ? static_cast<size_t>(info.st_size) : 0;
  size_t length = size < kTailBytes ? size : kTailBytes;
  read = read && readAt(fd, tail, length, static_cast<off_t>(size - length));
  close(fd);
  if (!read || !parseCardTail(tail, length, length == size, records)) {
    return LoadStatus::kUnreadable;
  }
  return LoadStatus::kLoaded;
}

// Ends the reader when its console input is gone: no card can come.
[[noreturn]] static void endOfInput() {
  flushConsole();
  exit(ferror(stdin) ? EXIT_FAILURE : EXIT_SUCCESS);
}

const CardRecord* receivingCardInterface() {
  for (;;) {
    clearScreen();
    sayLine(readerBanner);
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
    // A reader killed while appending to this card may have left its last
    // record unfinished: finish it before reading.
    finishInterruptedAppend(name);
    LoadStatus load = loadCardTail(name, ud);
    if (load == LoadStatus::kLoaded) return ud;
    sayLine(load == LoadStatus::kNoCard ? kNoCardText : kUnreadableCardText);
    pauseMs(kMessagePauseMs);
  }
}
