// Display and recording of a tap. Each record reaches its file in a single
// append-mode write, so readers appending to one card never interleave
// bytes, and is fsynced before the file is closed, so a finished tap
// survives a power cut.
#include "core/tap_output.h"

#include <fcntl.h>
#include <unistd.h>

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

// Writes `text` in one write.
static bool writeWhole(int fd, const std::string& text) {
  return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
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
  int card = open(entry.cardFile, O_WRONLY | O_APPEND | O_CLOEXEC);
  int log = open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  bool recorded = card >= 0 && log >= 0;
  bool newLog = recorded && lseek(log, 0, SEEK_END) == 0;
  // The log line follows only a card record that was written, at once, so
  // that a reader killed in between leaves the log short of a line as
  // seldom as can be; then both are flushed to disk before the tap ends.
  recorded = recorded && writeWhole(card, formatCardRecord(entry));
  recorded = recorded && writeWhole(log, formatLogLine(entry));
  recorded = recorded && fsync(card) == 0 && fsync(log) == 0;
  if (recorded && newLog) syncDirectoryOf(logPath);
  if (card >= 0) close(card);
  if (log >= 0) close(log);
  return recorded;
}

void writingInterface(TapEntry entry) {
  if (!appendTap(entry, readerTxt)) sayLine(kWriteFailedText);
}
