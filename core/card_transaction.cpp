// Holding a card for a tap, and recording the tap through it.
#include "core/card_transaction.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/file_io.h"
#include "core/tap_journal.h"

// Reads the tail of the open card `fd` into `card` (size, tail bytes) and
// parses its last two records. Returns false for a tail that breaks the
// card format.
static bool readTail(int fd, HeldCard* card, CardRecord records[2]) {
  int64_t size = sizeOf(fd);
  if (size < 0) return false;
  size_t length = size < static_cast<int64_t>(kTailBytes) ? static_cast<size_t>(size) : kTailBytes;
  if (!readAt(fd, card->tail, length, size - static_cast<int64_t>(length))) return false;
  card->size = size;
  card->tailLength = length;
  return parseCardTail(card->tail, length, static_cast<int64_t>(length) == size, records);
}

// Opens a card for reading and appending; a card that may only be read is
// read, and its tap fails when it is recorded.
static int openCard(const char* path) {
  int fd = openRegular(path, O_RDWR | O_APPEND);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = openRegular(path, O_RDONLY);
  return fd;
}

// What a failed open of a card means.
static LoadStatus failedOpen() {
  return errno == EINVAL ? LoadStatus::kUnreadable : LoadStatus::kNoCard;
}

LoadStatus loadCardTail(const char* path, CardRecord records[2]) {
  int fd = openRegular(path, O_RDONLY);
  if (fd < 0) return failedOpen();
  HeldCard card{};
  CardRecord parsed[2];
  bool read = readTail(fd, &card, parsed);
  close(fd);
  if (!read) return LoadStatus::kUnreadable;
  records[0] = parsed[0];
  records[1] = parsed[1];
  return LoadStatus::kLoaded;
}

LoadStatus holdCard(const char* path, HeldCard* card, CardRecord records[2]) {
  int fd = openCard(path);
  if (fd < 0) return failedOpen();
  HeldCard held{};
  CardRecord parsed[2];
  // A tap left in flight on this card is settled before anything is read.
  bool read = lockWithin(fd, kLockWaitMs) && settleHinted(path, fd) && readTail(fd, &held, parsed);
  if (!read) {
    close(fd);
    return LoadStatus::kUnreadable;
  }
  held.fd = fd;
  *card = held;
  records[0] = parsed[0];
  records[1] = parsed[1];
  return LoadStatus::kLoaded;
}

void releaseCard(HeldCard* card) {
  if (card->fd >= 0) close(card->fd);
  card->fd = -1;
}

// Whether the held card is still as its tail was read, under the name it
// was read by: nothing that ignores the lock has changed or replaced it.
static bool unchanged(const HeldCard& card, const char* path) {
  return card.fd >= 0 && sizeOf(card.fd) == card.size &&
         bytesAt(card.fd, card.size - static_cast<int64_t>(card.tailLength), card.tailLength) ==
             std::string(card.tail, card.tailLength) &&
         stillNamed(card.fd, path);
}

// Opens the log for appending, creating it if need be, never through a
// link, and takes its lock. Sets `created` when this tap made it.
static int openLog(const char* logPath, bool* created) {
  int log = openRegular(logPath, O_RDWR | O_APPEND | O_NOFOLLOW);
  *created = log < 0 && errno == ENOENT;
  if (*created) log = openRegular(logPath, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW);
  if (log >= 0 && !lockWithin(log, kLockWaitMs)) {
    close(log);
    return -1;
  }
  return log;
}

// Takes back a tap whose recording failed: marks it abandoned on disk
// first, so that no later settling can complete it, then cuts off what was
// written. Returns whether the journal is idle again; if not, the
// abandoned journal (and the hint beside the card) undo the rest later.
static bool abandon(int journal, TapIntent intent, int card, int log) {
  intent.state = kAbandoned;
  bool marked = markJournal(journal, kAbandoned, true);
  return marked && settleIntent(intent, card, log) && markJournal(journal, kIdle, false);
}

bool recordTap(const HeldCard& card, const TapEntry& entry, const char* logPath) {
  if (entry.charged < 0) return true;
  if (!unchanged(card, entry.cardFile)) return false;
  bool created = false;
  int log = openLog(logPath, &created);
  if (log < 0) return false;
  // The journal is idle unless an earlier tap of this reader's could not
  // be settled; then this one waits its turn.
  TapIntent current;
  int journal = openJournal(logPath, &current);
  bool ready = journal >= 0 && current.state == kIdle && (!created || syncDirectoryOf(logPath));
  TapIntent intent{kPending, entry.cardFile, card.size,           formatCardRecord(entry),
                   logPath,  sizeOf(log),    formatLogLine(entry)};

  // First the hint beside the card, which leads its next reader to this
  // reader's journal should this reader stop; then the intent, on disk
  // before either file is touched: from then on the tap ends whole or
  // taken back, whatever stops it.
  bool hinted = ready && leaveHint(entry.cardFile, journalPath(logPath));
  bool written = hinted && writeIntent(journal, intent);
  bool recorded = written && appendWhole(card.fd, intent.cardBytes) &&
                  appendWhole(log, intent.logBytes) && flushBoth(card.fd, log) &&
                  stillNamed(card.fd, entry.cardFile);
  bool idle = recorded ? markJournal(journal, kIdle, false)
                       : !hinted || abandon(journal, intent, card.fd, log);
  // The hint goes once the journal is idle; a tap left abandoned keeps it.
  if (hinted && idle) dropHint(entry.cardFile);
  if (journal >= 0) close(journal);
  close(log);
  return recorded;
}
