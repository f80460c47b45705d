// The tap journal: its block format, and settling what a block says.
#include "core/tap_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/card_file.h"
#include "core/file_io.h"

constexpr char kJournalSuffix[] = ".pending";

std::string journalPath(const char* logPath) {
  return std::string(logPath) + kJournalSuffix;
}

// FNV-1a, 64 bits: enough to tell a block cut short or overwritten in part.
static uint64_t checksum(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

// The text of a block up to its checksum: the card line, the log line and
// the bytes of both.
static std::string blockBody(const TapIntent& intent) {
  char head[128];
  snprintf(head, sizeof head, "card %s %" PRId64 " %zu\nlog %s %" PRId64 " %zu\n",
           intent.cardPath.c_str(), intent.cardOffset, intent.cardBytes.size(),
           intent.logPath.c_str(), intent.logOffset, intent.logBytes.size());
  return head + intent.cardBytes + intent.logBytes;
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

// Reads the line "<name> <path> <offset> <length>" that starts at `at`,
// all of it; moves `at` past its line feed.
static bool headLine(const std::string& block, size_t* at, const char* format, char* path,
                     long long* offset, size_t* length) {
  size_t end = block.find('\n', *at);
  if (end == std::string::npos) return false;
  std::string line = block.substr(*at, end - *at);
  int used = 0;
  int got = sscanf(line.c_str(), format, path, offset, length, &used);
  *at = end + 1;
  return got == 3 && static_cast<size_t>(used) == line.size();
}

// Whether `path` can name a log: <log directory>/<name>, and no journal.
static bool isLogPath(const std::string& path) {
  const std::string directory = std::string(kLogDirectory) + "/";
  const size_t suffix = strlen(kJournalSuffix);
  return path.size() > directory.size() && path.rfind(directory, 0) == 0 &&
         path.find('/', directory.size()) == std::string::npos &&
         (path.size() < suffix || path.compare(path.size() - suffix, suffix, kJournalSuffix) != 0);
}

bool parseIntent(const std::string& block, TapIntent* intent) {
  if (block.size() != kJournalBytes) return false;
  char state = block.back();
  if (state == kIdle) {
    *intent = TapIntent{kIdle, "", 0, "", "", 0, ""};
    return true;
  }
  if (state != kPending && state != kAbandoned) return false;

  char card[32], log[48];
  long long cardOffset = -1, logOffset = -1;
  size_t cardLength = 0, logLength = 0, at = 0;
  if (!headLine(block, &at, "card %31s %lld %zu%n", card, &cardOffset, &cardLength) ||
      !headLine(block, &at, "log %47s %lld %zu%n", log, &logOffset, &logLength) ||
      cardLength > kMaxLineBytes || logLength > kMaxLineBytes ||
      at + cardLength + logLength > block.size()) {
    return false;
  }
  TapIntent parsed{state,
                   card,
                   cardOffset,
                   block.substr(at, cardLength),
                   log,
                   logOffset,
                   block.substr(at + cardLength, logLength)};
  // The block must be exactly what formatIntent makes of what it says:
  // numbers as written, the checksum right, nothing but padding after it.
  if (formatIntent(parsed) != block) return false;

  // A card of this network, and a record and a line of one tap.
  CardRecord record, line;
  bool wellFormed = isCardPath(parsed.cardPath) && isLogPath(parsed.logPath) &&
                    parsed.cardOffset > 0 && parsed.logOffset >= 0 &&
                    parsed.cardBytes.rfind("\r\n", 0) == 0 &&
                    oneRecord(parsed.cardBytes.substr(2), &record) && parsed.logBytes.size() >= 2 &&
                    parsed.logBytes.compare(parsed.logBytes.size() - 2, 2, "\r\n") == 0 &&
                    oneRecord(parsed.logBytes.substr(0, parsed.logBytes.size() - 2), &line) &&
                    record.time == line.time && strcmp(record.mode, line.mode) == 0 &&
                    strcmp(record.inOut, line.inOut) == 0;
  if (!wellFormed) return false;
  *intent = parsed;
  return true;
}

// What a file holds where an intent puts its bytes.
enum class Holds {
  kNothing,  // it ends where the bytes begin
  kPart,     // it ends with a first part of them
  kWhole,    // it holds them all
  kOther,    // something else: shorter, other bytes, or not a place they could go
};

// What the file `fd` holds of `bytes` at `offset`. A card's bytes must follow
// a record (a card never ends with a line break); a log's must begin a line.
// `last` tells whether the bytes found are the last thing in the file.
static Holds holds(int fd, int64_t offset, const std::string& bytes, bool card, bool* last) {
  int64_t size = sizeOf(fd);
  if (size < offset || offset < 0) return Holds::kOther;
  std::string before = offset > 0 ? bytesAt(fd, offset - 1, 1) : "";
  bool follows = card ? before.size() == 1 && before != "\n" : offset == 0 || before == "\n";
  if (!follows) return Holds::kOther;
  size_t present = static_cast<size_t>(std::min<int64_t>(size - offset, bytes.size()));
  if (present > 0 && bytesAt(fd, offset, present) != bytes.substr(0, present)) {
    return Holds::kOther;
  }
  *last = size == offset + static_cast<int64_t>(present);
  if (present == 0) return Holds::kNothing;
  return present < bytes.size() ? Holds::kPart : Holds::kWhole;
}

// Appends what the file lacks of bytes it holds a first part of.
static bool complete(int fd, Holds held, int64_t offset, const std::string& bytes) {
  if (held == Holds::kWhole) return true;
  size_t present = static_cast<size_t>(sizeOf(fd) - offset);
  return appendWhole(fd, bytes.substr(present));
}

// Cuts the bytes off again when they, or a first part of them, end the file.
static bool takeBack(int fd, Holds held, bool last, int64_t offset) {
  if (held == Holds::kNothing || held == Holds::kOther || !last) return true;
  return ftruncate(fd, static_cast<off_t>(offset)) == 0;
}

bool settleIntent(const TapIntent& intent, int card, int log) {
  bool cardLast = false, logLast = false;
  Holds onCard = holds(card, intent.cardOffset, intent.cardBytes, true, &cardLast);
  Holds inLog = holds(log, intent.logOffset, intent.logBytes, false, &logLast);
  bool forward = intent.state == kPending && onCard != Holds::kOther && inLog != Holds::kOther;
  bool settled = forward && complete(card, onCard, intent.cardOffset, intent.cardBytes) &&
                 complete(log, inLog, intent.logOffset, intent.logBytes);
  if (!settled) {
    // Taken back instead: what of the tap ends each file, whole or cut.
    onCard = holds(card, intent.cardOffset, intent.cardBytes, true, &cardLast);
    inLog = holds(log, intent.logOffset, intent.logBytes, false, &logLast);
    settled = takeBack(card, onCard, cardLast, intent.cardOffset) &&
              takeBack(log, inLog, logLast, intent.logOffset);
  }
  // A card that is gone (-1) holds nothing to flush.
  return settled && (card >= 0 ? flushBoth(card, log) : fsync(log) == 0);
}

// Moves whatever stands at `path` out of the way, without opening it and
// never over anything moved aside before.
static bool setAside(const std::string& path) {
  for (int n = 0; n < 100; n++) {
    char suffix[80];
    snprintf(suffix, sizeof suffix, ".set-aside.%lld.%d.%d", static_cast<long long>(time(nullptr)),
             static_cast<int>(getpid()), n);
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, (path + suffix).c_str(), RENAME_NOREPLACE) ==
        0) {
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool readJournalBlock(int fd, TapIntent* intent) {
  // One byte more than a block tells a file that is too long; a FIFO or a
  // directory fails the read itself.
  char block[kJournalBytes + 1];
  ssize_t read = pread(fd, block, sizeof block, 0);
  return read == static_cast<ssize_t>(kJournalBytes) &&
         parseIntent(std::string(block, kJournalBytes), intent);
}

// Whether an intent read from the journal at `path` is that journal's own:
// idle, or for the log the journal stands beside (not a copy of another's).
static bool ownIntent(const std::string& path, const TapIntent& intent) {
  return intent.state == kIdle || journalPath(intent.logPath.c_str()) == path;
}

int openJournal(const char* logPath, TapIntent* intent) {
  std::string path = journalPath(logPath);
  int fd = openRegular(path.c_str(), O_RDWR | O_NOFOLLOW);
  if (fd >= 0 && readJournalBlock(fd, intent) && ownIntent(path, *intent)) return fd;
  if (fd >= 0) close(fd);
  if ((fd >= 0 || errno != ENOENT) && !setAside(path)) return -1;
  // A new journal: created where nothing stands, idle, and its name made
  // durable, so that an intent written into it later cannot be lost with it.
  fd = openRegular(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW);
  if (fd < 0) return -1;
  *intent = TapIntent{kIdle, "", 0, "", "", 0, ""};
  std::string idle = formatIntent(*intent);
  if (pwrite(fd, idle.data(), idle.size(), 0) != static_cast<ssize_t>(idle.size()) ||
      fsync(fd) != 0 || !syncDirectoryOf(path.c_str())) {
    close(fd);
    return -1;
  }
  return fd;
}

bool writeIntent(int journal, const TapIntent& intent) {
  std::string block = formatIntent(intent);
  return pwrite(journal, block.data(), block.size(), 0) == static_cast<ssize_t>(block.size()) &&
         fdatasync(journal) == 0;
}

bool markJournal(int journal, char state, bool flush) {
  return pwrite(journal, &state, 1, kJournalBytes - 1) == 1 && (!flush || fdatasync(journal) == 0);
}

bool readJournal(const char* path, TapIntent* intent) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool read = readJournalBlock(fd, intent) && ownIntent(path, *intent);
  close(fd);
  return read;
}

// Opens a log for settling an intent, never through a link, and takes its
// lock.
static int lockLog(const std::string& logPath) {
  int log = openRegular(logPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW);
  if (log >= 0 && !lockWithin(log, kLockWaitMs)) {
    close(log);
    return -1;
  }
  return log;
}

// Settles the intent in the journal at `path` for the card `cardPath`, open
// and locked as `card` (-1 if it is gone), once the journal's log is locked
// too: read again under that lock, the journal may be idle by then.
static bool settleJournal(const std::string& path, const std::string& logPath,
                          const std::string& cardPath, int card) {
  int log = lockLog(logPath);
  if (log < 0) return false;
  int journal = openRegular(path.c_str(), O_RDWR | O_NOFOLLOW);
  TapIntent intent;
  // Anything but a tap in flight on this card, through this log, leaves
  // nothing for this settling to do.
  bool settled = true;
  if (journal >= 0 && readJournalBlock(journal, &intent) && intent.state != kIdle &&
      intent.cardPath == cardPath && intent.logPath == logPath) {
    settled = settleIntent(intent, card, log) && markJournal(journal, kIdle, false);
  }
  if (journal >= 0) close(journal);
  close(log);
  return settled;
}

// Whether `path` can name a journal: <log directory>/<name>.pending.
static bool isJournalPath(const std::string& path) {
  const std::string directory = std::string(kLogDirectory) + "/";
  const size_t suffix = strlen(kJournalSuffix);
  return path.size() > directory.size() + suffix && path.rfind(directory, 0) == 0 &&
         path.find('/', directory.size()) == std::string::npos &&
         path.compare(path.size() - suffix, suffix, kJournalSuffix) == 0;
}

// Settles the journal at `path` if a tap is in flight there: takes the lock
// of the card it names, then its log's.
static bool recoverJournalAt(const std::string& path) {
  TapIntent intent;
  if (!readJournal(path.c_str(), &intent) || intent.state == kIdle) return true;
  // A card removed since can hold nothing of the tap: its log line goes.
  int card = openRegular(intent.cardPath.c_str(), O_RDWR | O_APPEND);
  if ((card < 0 && errno != ENOENT) || (card >= 0 && !lockWithin(card, kLockWaitMs))) {
    if (card >= 0) close(card);
    leaveHint(intent.cardPath.c_str(), path);
    return false;
  }
  std::string logPath = path.substr(0, path.size() - strlen(kJournalSuffix));
  bool settled = settleJournal(path, logPath, intent.cardPath, card);
  // Unsettled, the tap keeps (or gets back, after a power cut took it or
  // cut it short) the hint that keeps the card's next reader from reading
  // past it: the card is held, so no other tap's hint stands there.
  if (!settled && card >= 0) {
    unlink(hintPath(intent.cardPath.c_str()).c_str());
    leaveHint(intent.cardPath.c_str(), path);
  }
  if (card >= 0) close(card);
  return settled;
}

std::string hintPath(const char* cardPath) {
  return std::string(cardPath) + kJournalSuffix;
}

bool leaveHint(const char* cardPath, const std::string& journal) {
  int fd = open(hintPath(cardPath).c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = write(fd, journal.data(), journal.size()) == static_cast<ssize_t>(journal.size());
  close(fd);
  if (!written) unlink(hintPath(cardPath).c_str());
  return written;
}

void dropHint(const char* cardPath) {
  unlink(hintPath(cardPath).c_str());
}

bool settleHinted(const char* cardPath, int card) {
  std::string hint = hintPath(cardPath);
  int fd = open(hint.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return true;
  // A hint is a regular file holding a journal's path and no more; a link
  // fails the open.
  struct stat info {};
  bool regular = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  char text[64];
  ssize_t read = regular ? pread(fd, text, sizeof text, 0) : -1;
  if (fd >= 0) close(fd);
  if (regular && read == 0) return unlink(hint.c_str()) == 0 || errno == ENOENT;
  std::string journal = read > 0 ? std::string(text, static_cast<size_t>(read)) : "";
  if (!isJournalPath(journal)) return setAside(hint);
  TapIntent intent;
  bool ours =
      readJournal(journal.c_str(), &intent) && intent.state != kIdle && intent.cardPath == cardPath;
  std::string logPath = journal.substr(0, journal.size() - strlen(kJournalSuffix));
  if (ours && !settleJournal(journal, logPath, cardPath, card)) return false;
  unlink(hint.c_str());
  return true;
}

bool settleEveryJournal() {
  DIR* directory = opendir(kLogDirectory);
  if (directory == nullptr) return true;
  bool settled = true;
  while (dirent* entry = readdir(directory)) {
    std::string path = std::string(kLogDirectory) + "/" + entry->d_name;
    if (isJournalPath(path)) settled = recoverJournalAt(path) && settled;
  }
  closedir(directory);
  return settled;
}

bool recoverJournal(const char* logPath) {
  return recoverJournalAt(journalPath(logPath));
}
