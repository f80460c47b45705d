// Where a tap's bytes stand in its card and log.
#include "core/tap_bytes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/file_io.h"
#include "core/network.h"

// What holds says, and whether a stat or read of the file failed.
static Holds holdsRead(int fd, int64_t offset, const std::string& bytes, bool card, bool* last,
                       bool* failed) {
  int64_t size = fd >= 0 ? sizeOf(fd) : -1;
  *failed = fd >= 0 && size < 0;
  if (size < offset || offset < 0) return Holds::kOther;
  std::string before = offset > 0 ? bytesAt(fd, offset - 1, 1) : "";
  *failed = offset > 0 && before.size() != 1;
  bool follows = card ? before.size() == 1 && before != "\n" : offset == 0 || before == "\n";
  if (!follows) return Holds::kOther;
  size_t present = static_cast<size_t>(std::min<int64_t>(size - offset, bytes.size()));
  std::string there = bytesAt(fd, offset, present);
  *failed = there.size() != present;
  if (*failed) return Holds::kOther;
  bool lost = false;
  for (size_t i = 0; i < present; i++) {
    if (there[i] == '\0' && bytes[i] != '\0') {
      lost = true;
    } else if (there[i] != bytes[i]) {
      return Holds::kOther;
    }
  }
  *last = size == offset + static_cast<int64_t>(present);
  if (present == 0) return Holds::kNothing;
  return present < bytes.size() || lost ? Holds::kPart : Holds::kWhole;
}

Holds holds(int fd, int64_t offset, const std::string& bytes, bool card, bool* last,
            bool* unreadable) {
  bool failed = false;
  Holds held = holdsRead(fd, offset, bytes, card, last, &failed);
  if (unreadable != nullptr && failed) *unreadable = true;
  return held;
}

bool sameCard(int card, const TapIntent& intent, bool* unreadable) {
  int64_t start = intent.cardOffset - static_cast<int64_t>(intent.cardTail.size());
  struct stat info {};
  if (card < 0) return false;
  if (fstat(card, &info) != 0) {
    if (unreadable != nullptr) *unreadable = true;
    return false;
  }
  if (info.st_ino != intent.cardInode || start < 0 || info.st_size < intent.cardOffset) {
    return false;
  }
  std::string tail = bytesAt(card, start, intent.cardTail.size());
  if (tail.size() != intent.cardTail.size() && unreadable != nullptr) *unreadable = true;
  return tail == intent.cardTail;
}

bool complete(int fd, int64_t offset, const std::string& bytes) {
  return writeAt(fd, bytes, offset);
}

bool takeBack(int fd, Holds held, bool last, int64_t offset) {
  if (held == Holds::kNothing || held == Holds::kOther || !last) return true;
  return ftruncate(fd, static_cast<off_t>(offset)) == 0;
}

int openLogOf(int dir, const TapIntent& intent, bool* atPath) {
  int log = openRegular(dir, intent.logPath.c_str(), O_RDWR);
  *atPath = log >= 0 && inodeOf(log) == intent.logInode;
  if (*atPath) return log;
  if (log >= 0) close(log);
  DIR* directory = openDirectory(dir, kLogDirectory);
  if (directory == nullptr) return -1;
  std::string renamed;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_ino == intent.logInode) renamed = std::string(kLogDirectory) + "/" + entry->d_name;
  }
  closedir(directory);
  log = renamed.empty() ? -1 : openRegular(dir, renamed.c_str(), O_RDWR);
  if (log >= 0 && inodeOf(log) != intent.logInode) {
    close(log);
    log = -1;
  }
  return log;
}

bool takeBackLine(int dir, const TapIntent& intent) {
  bool atPath = false, last = false;
  int log = openLogOf(dir, intent, &atPath);
  struct stat named {};
  if (log < 0) {
    bool there = fstatat(dir, intent.logPath.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
    return there ? isPlainFile(named) && named.st_ino != intent.logInode : errno == ENOENT;
  }
  bool unreadable = false;
  Holds inLog = holds(log, intent.logOffset, intent.logBytes, false, &last, &unreadable);
  // A log that could not be read may hold the line: nothing is decided.
  bool done = !unreadable && takeBack(log, inLog, last, intent.logOffset) && fdatasync(log) == 0;
  close(log);
  return done;
}

bool flushCommitted(int dir, const TapIntent& intent) {
  if (intent.state != kPending) return false;
  int card = openRegular(dir, intent.cardPath.c_str(), O_RDWR);
  bool atPath = false, last = false;
  int log = openLogOf(dir, intent, &atPath);
  // Written again before the flush: only a flush that follows a write of
  // its own tells that the bytes are on disk.
  auto whole = [](Holds held) { return held == Holds::kWhole || held == Holds::kPart; };
  bool flushed = sameCard(card, intent) && log >= 0 &&
                 whole(holds(card, intent.cardOffset, intent.cardBytes, true, &last)) &&
                 whole(holds(log, intent.logOffset, intent.logBytes, false, &last)) &&
                 complete(card, intent.cardOffset, intent.cardBytes) &&
                 complete(log, intent.logOffset, intent.logBytes) && flushBoth(card, log);
  if (card >= 0) close(card);
  if (log >= 0) close(log);
  return flushed;
}

bool takeBackBytes(int fd, int64_t offset, const std::string& bytes, bool card) {
  bool last = false;
  Holds held = holds(fd, offset, bytes, card, &last);
  return takeBack(fd, held, last, offset);
}

bool markAbandoned(int journal, TapIntent intent) {
  intent.state = kAbandoned;
  return writeIntent(journal, intent);
}

Mark abandon(int journal, TapIntent intent, int card, int log) {
  intent.state = kAbandoned;
  if (!putIntent(journal, intent)) return Mark::kNotWritten;
  if (fdatasync(journal) != 0) return Mark::kUnknown;
  bool cut = takeBackBytes(card, intent.cardOffset, intent.cardBytes, true) &&
             takeBackBytes(log, intent.logOffset, intent.logBytes, false) && flushBoth(card, log);
  if (cut) (void)markJournal(journal, kIdle, false);
  return Mark::kOnDisk;
}
