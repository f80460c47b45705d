// Display and recording of a tap. Each record reaches its file in a single
// append-mode write under the file's lock, so readers appending to one card
// never interleave bytes; a note beside the file lets the next writer
// finish a record whose writer was killed part-way; and both files are
// fsynced before they are closed, so a finished tap survives a power cut.
#include "core/tap_output.h"

#include <fcntl.h>
#include <unistd.h>

#include "core/append_note.h"
#include "core/card_file.h"
#include "core/console.h"
#include "core/messages.h"
#include "core/packed_time.h"

std::string formatOutcome(int32_t fare, int32_t balance) {
  std::string text = fare == kRefusedFare ? kRefusedText : formatText(kFareFormat, fare);
  return text + formatText(kBalanceFormat, balance);
}

void moniterInterface(int32_t fare, int32_t balance) {
  say(formatOutcome(fare, balance));
  printTime(getTime());
  // The outcome is on the screen before anything is written.
  flushConsole();
}

// Makes a newly created file's name durable too, as far as the platform
// lets it: the records themselves are already on disk.
static void syncDirectoryOf(const char* path) {
  std::string directory(path);
  size_t slash = directory.rfind('/');
  directory = slash == std::string::npos ? "." : directory.substr(0, slash);
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool appendTap(const TapEntry& entry, const char* logPath) {
  if (entry.charged < 0) return true;
  int card = openLockedForAppend(entry.cardFile, false);
  int log = openLockedForAppend(logPath, true);
  bool opened = card >= 0 && log >= 0;
  bool newLog = opened && lseek(log, 0, SEEK_END) == 0;
  // The log line follows only a card record that was written, at once, so
  // that a reader killed in between leaves the log short of a line as
  // seldom as can be; then both are flushed to disk before the tap ends.
  bool cardWritten = opened && appendWithNote(card, entry.cardFile, formatCardRecord(entry));
  bool logWritten = cardWritten && appendWithNote(log, logPath, formatLogLine(entry));
  bool durable = (!cardWritten || settleAppend(card, entry.cardFile)) &&
                 (!logWritten || settleAppend(log, logPath));
  if (logWritten && newLog) syncDirectoryOf(logPath);
  if (card >= 0) close(card);
  if (log >= 0) close(log);
  return cardWritten && logWritten && durable;
}

void writingInterface(TapEntry entry) {
  if (!appendTap(entry, readerTxt)) sayLine(kWriteFailedText);
}
