// The tap journal: its block format, a writer's own journal, notes set
// aside, and the lock file.
#include "core/tap_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/card_file.h"
#include "core/file_io.h"

// FNV-1a, 64 bits: enough to tell a block cut short or overwritten in part.
static uint64_t checksum(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

// The text of a block up to its checksum: the card line, the log line, and
// the bytes the card continues, the card's record and the log's line.
static std::string blockBody(const TapIntent& intent) {
  char head[192];
  snprintf(head, sizeof head,
           "card %s %" PRIu64 " %" PRId64 " %zu %zu\nlog %s %" PRIu64 " %" PRId64 " %zu\n",
           intent.cardPath.c_str(), intent.cardInode, intent.cardOffset, intent.cardTail.size(),
           intent.cardBytes.size(), intent.logPath.c_str(), intent.logInode, intent.logOffset,
           intent.logBytes.size());
  // The lock file's line (and on it the journal's own inode) is written
  // only when it is known, so that a block written before intents named
  // them still reads as it was.
  std::string lock;
  if (intent.lockInode != 0) {
    lock = "lock " + std::to_string(intent.lockInode) +
           (intent.journalInode != 0 ? " " + std::to_string(intent.journalInode) : "") + "\n";
  }
  return head + lock + intent.cardTail + intent.cardBytes + intent.logBytes;
}

std::string formatIntent(const TapIntent& intent) {
  std::string body = blockBody(intent);
  char sum[32];
  snprintf(sum, sizeof sum, "\nsum %016" PRIx64 "\n", checksum(body));
  std::string block = body + sum;
  block.resize(kJournalBytes - 1, ' ');
  return block + intent.state;
}

// Whether a record parses as the last line of a card file would.
static bool oneRecord(const std::string& line, CardRecord* record) {
  return parseCardLine(line.data(), line.size(), true, record);
}

// Splits the head line that starts at `at` into its words, and moves `at`
// past its line feed. Returns false when there is no whole line.
static bool headWords(const std::string& block, size_t* at, std::vector<std::string>* words) {
  size_t end = block.find('\n', *at);
  if (end == std::string::npos) return false;
  words->clear();
  for (size_t word = *at; word <= end;) {
    size_t space = block.find(' ', word);
    size_t stop = space == std::string::npos || space > end ? end : space;
    words->push_back(block.substr(word, stop - word));
    word = stop + 1;
  }
  *at = end + 1;
  return true;
}

// Parses a word of digits alone into a number (a block written by
// formatIntent is checked afterwards to say exactly what it was read as).
static bool number(const std::string& word, uint64_t* value) {
  if (word.empty() || word.size() > 20 || word.find_first_not_of("0123456789") != word.npos) {
    return false;
  }
  errno = 0;
  *value = strtoull(word.c_str(), nullptr, 10);
  return errno == 0;
}

// Whether `bytes` (CR LF first) are what a tap appends to a card: one
// record; or, for the office's log `logPath`, one record or two (a top-up
// that repeats how a trip began, see officeRecords). The last is put in
// `record`.
static bool cardRecords(const std::string& bytes, const std::string& logPath, CardRecord* record) {
  if (bytes.rfind("\r\n", 0) != 0) return false;
  std::string records = bytes.substr(2);
  size_t between = records.find("\r\n");
  if (between == std::string::npos) return oneRecord(records, record);
  CardRecord first;
  return logPath == kTopUpLog && oneRecord(records.substr(0, between), &first) &&
         oneRecord(records.substr(between + 2), record) && first.balance == record->balance;
}

// Whether the log line of a tap goes with its card record: a reader's log
// line of the same tap, or the office's top-up line for this card and
// this balance.
static bool lineOfTap(const std::string& lineBytes, const CardRecord& record,
                      const std::string& cardPath) {
  if (lineBytes.size() < 2 || lineBytes.compare(lineBytes.size() - 2, 2, "\r\n") != 0) {
    return false;
  }
  std::string line = lineBytes.substr(0, lineBytes.size() - 2);
  TopUpLine topUp;
  if (parseTopUpLine(line.data(), line.size(), &topUp)) {
    return cardNumberOf(cardPath) == topUp.number && topUp.balance == record.balance;
  }
  CardRecord logged;
  return oneRecord(line, &logged) && record.time == logged.time &&
         strcmp(record.mode, logged.mode) == 0 && strcmp(record.inOut, logged.inOut) == 0;
}

// Reads the lock file's line if the block has one at `at` (moving `at`
// past it): the lock file's inode, and the journal's when it is told;
// leaves them 0 when it has none. False for a malformed one.
static bool lockLine(const std::string& block, size_t* at, TapIntent* intent) {
  if (block.compare(*at, 5, "lock ") != 0) return true;
  std::vector<std::string> words;
  return headWords(block, at, &words) && (words.size() == 2 || words.size() == 3) &&
         number(words[1], &intent->lockInode) && intent->lockInode != 0 &&
         (words.size() == 2 ||
          (number(words[2], &intent->journalInode) && intent->journalInode != 0));
}

bool parseIntent(const std::string& block, TapIntent* intent) {
  if (block.size() != kJournalBytes) return false;
  char state = block.back();
  if (state == kIdle) {
    *intent = kIdleIntent;
    return true;
  }
  if (state != kPending && state != kAbandoned) return false;

  TapIntent parsed{};
  parsed.state = state;
  std::vector<std::string> card, log;
  uint64_t cardOffset = 0, tailLength = 0, cardLength = 0, logOffset = 0, logLength = 0;
  size_t at = 0;
  if (!headWords(block, &at, &card) || !headWords(block, &at, &log) || card.size() != 6 ||
      log.size() != 5 || card[0] != "card" || log[0] != "log" ||
      !number(card[2], &parsed.cardInode) || !number(card[3], &cardOffset) ||
      !number(card[4], &tailLength) || !number(card[5], &cardLength) ||
      !number(log[2], &parsed.logInode) || !number(log[3], &logOffset) ||
      !number(log[4], &logLength) || !lockLine(block, &at, &parsed) || tailLength > kTailBytes ||
      cardLength > 2 * (kMaxLineBytes + 2) ||
      logLength > std::max(kMaxLineBytes, kMaxTopUpLineBytes) ||
      at + tailLength + cardLength + logLength > block.size()) {
    return false;
  }
  parsed.cardPath = card[1];
  parsed.logPath = log[1];
  parsed.cardOffset = static_cast<int64_t>(cardOffset);
  parsed.logOffset = static_cast<int64_t>(logOffset);
  parsed.cardTail = block.substr(at, tailLength);
  parsed.cardBytes = block.substr(at + tailLength, cardLength);
  parsed.logBytes = block.substr(at + tailLength + cardLength, logLength);
  // The block must be exactly what formatIntent makes of what it says:
  // numbers as written, the checksum right, nothing but padding after it.
  if (formatIntent(parsed) != block) return false;

  // A card of this network continued by one record (or the office's two),
  // and a line of the same tap in a log of the log directory.
  CardRecord record;
  bool wellFormed =
      isCardPath(parsed.cardPath) && isLogPath(parsed.logPath) && parsed.cardOffset > 0 &&
      parsed.logOffset >= 0 && static_cast<int64_t>(parsed.cardTail.size()) <= parsed.cardOffset &&
      !parsed.cardTail.empty() && cardRecords(parsed.cardBytes, parsed.logPath, &record) &&
      lineOfTap(parsed.logBytes, record, parsed.cardPath);
  if (!wellFormed) return false;
  *intent = parsed;
  return true;
}

bool setAside(int dir, const std::string& path) {
  for (int n = 0; n < 100; n++) {
    if (moveWithoutReplacing(dir, path, setAsidePath(path, n))) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

bool keepDroppedIntent(int dir, const std::string& journal, const TapIntent& intent) {
  std::string block = formatIntent(intent);
  for (int n = 0; n < 100; n++) {
    int fd = openRegular(dir, setAsidePath(journal, n).c_str(), O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return false;
    bool written = write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size()) &&
                   fsync(fd) == 0;
    close(fd);
    return written && syncDirectoryOf(dir, journal.c_str());
  }
  return false;
}

bool readJournalBlock(int fd, TapIntent* intent, const std::string& path) {
  // One byte more than a block tells a file that is too long; a FIFO or a
  // directory fails the read itself.
  char block[kJournalBytes + 1];
  ssize_t read = pread(fd, block, sizeof block, 0);
  if (read < 0) return false;  // errno tells why: nothing is known of the block
  // Read, but not a block: errno 0 tells the two apart.
  errno = 0;
  TapIntent parsed;
  if (read != static_cast<ssize_t>(kJournalBytes) ||
      !parseIntent(std::string(block, kJournalBytes), &parsed)) {
    errno = 0;
    return false;
  }
  // An idle block, or one for the log the journal stands beside.
  if (!path.empty() && parsed.state != kIdle && journalPath(parsed.logPath) != path) return false;
  *intent = parsed;
  return true;
}

// Whether the open file is the writers' own: made by the user the readers
// run as (this process's), so that no other user's file is acted on.
static bool writersOwn(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && info.st_uid == geteuid();
}

// Reads the journal at `path`; `anyOwner` takes one another user made.
static bool readJournalAt(int dir, const std::string& path, TapIntent* intent, bool anyOwner) {
  int fd = openat(dir, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool read = (anyOwner || writersOwn(fd)) && readJournalBlock(fd, intent, path);
  close(fd);
  return read;
}

bool readWritersJournal(int dir, const std::string& path, TapIntent* intent) {
  return readJournalAt(dir, path, intent, false);
}

bool readAnyJournal(int dir, const std::string& path, TapIntent* intent) {
  return readJournalAt(dir, path, intent, true);
}

// Writes an idle block into the journal `fd` and flushes it.
static bool writeIdle(int fd) {
  std::string idle = formatIntent(kIdleIntent);
  return pwrite(fd, idle.data(), idle.size(), 0) == static_cast<ssize_t>(idle.size()) &&
         fdatasync(fd) == 0;
}

int openJournal(int dir, const std::string& logPath, TapIntent* intent) {
  std::string path = journalPath(logPath);
  int fd = openRegular(dir, path.c_str(), O_RDWR);
  // A journal this user may not open is never moved aside: it may hold a
  // tap in flight. Nothing is recorded until the operator gives it back.
  if (fd < 0 && (errno == EACCES || errno == EPERM)) return -1;
  // Nor one that cannot be reached or read now (a replica whose one good
  // copy is on a server that is down): what it is cannot be told.
  if (fd < 0 && unreachable(errno)) return -1;
  if (fd >= 0 && !writersOwn(fd)) {
    // Another user's journal is moved aside, unless it holds a tap in
    // flight: that is never passed over, and this writer records nothing
    // until the operator gives the file to the network's owner.
    bool inFlight = readJournalBlock(fd, intent) && intent->state != kIdle;
    close(fd);
    errno = EPERM;
    if (inFlight) return -1;
    fd = -1;
  }
  if (fd >= 0) errno = 0;
  if (fd >= 0 && readJournalBlock(fd, intent, path)) return fd;
  if (fd >= 0 && unreachable(errno)) {
    int reason = errno;
    close(fd);
    errno = reason;
    return -1;
  }
  // An empty journal, left by a writer stopped as it made it or by a full
  // disk, holds nothing: it is made idle where it is.
  if (fd >= 0 && sizeOf(fd) == 0 && writeIdle(fd)) {
    *intent = kIdleIntent;
    return fd;
  }
  if (fd >= 0) close(fd);
  if ((fd >= 0 || errno != ENOENT) && !setAside(dir, path)) return -1;
  // A new journal: created where nothing stands, idle, and its name made
  // durable, so that an intent written into it later cannot be lost with
  // it. One that cannot be written goes again: nothing is left per tap.
  fd = openRegular(dir, path.c_str(), O_RDWR | O_CREAT | O_EXCL);
  if (fd < 0) return -1;
  if (!writeIdle(fd) || !syncDirectoryOf(dir, path.c_str())) {
    close(fd);
    unlinkat(dir, path.c_str(), 0);
    return -1;
  }
  *intent = kIdleIntent;
  return fd;
}

bool putIntent(int journal, const TapIntent& intent) {
  std::string block = formatIntent(intent);
  return pwrite(journal, block.data(), block.size(), 0) == static_cast<ssize_t>(block.size());
}

bool writeIntent(int journal, const TapIntent& intent) {
  return putIntent(journal, intent) && fdatasync(journal) == 0;
}

bool markJournal(int journal, char state, bool flush) {
  return pwrite(journal, &state, 1, kJournalBytes - 1) == 1 && (!flush || fdatasync(journal) == 0);
}

int openLocks(int dir) {
  // Made with mode 0600 and never written: only the readers' user can open
  // it, and so only readers (and the office) can take its locks.
  return openRegular(dir, kLockFile, O_RDWR | O_CREAT, 0600);
}

bool locksStillNamed(int dir, int locks) {
  struct stat named {
  }, held{};
  return fstatat(dir, kLockFile, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(locks, &held) == 0 &&
         named.st_ino == held.st_ino && named.st_dev == held.st_dev;
}

// FNV-1a of a text, kept to 40 bits: a byte far within any file size.
static int64_t lockByteOf(const std::string& text) {
  return static_cast<int64_t>(checksum(text) & ((1ULL << 40) - 1));
}

int64_t cardLockByte(const std::string& cardPath) {
  return (1LL << 40) + lockByteOf(cardPath);
}

int64_t journalLockByte(const std::string& logPath) {
  return lockByteOf(logPath);
}
