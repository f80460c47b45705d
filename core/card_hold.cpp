// Holding a card for a tap.
#include "core/card_hold.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/file_io.h"
#include "core/tap_journal.h"

// Reads the tail of the open card `fd`, of `size` bytes (-1: asked of the
// file), into `card` (size, tail bytes) and parses its last two records.
// Returns false for a tail that breaks the card format.
static bool readTail(int fd, int64_t size, HeldCard* card, CardRecord records[2]) {
  if (size < 0) size = sizeOf(fd);
  if (size < 0) return false;
  size_t length = size < static_cast<int64_t>(kTailBytes) ? static_cast<size_t>(size) : kTailBytes;
  if (!readAt(fd, card->tail, length, size - static_cast<int64_t>(length))) return false;
  card->size = size;
  card->tailLength = length;
  return parseCardTail(card->tail, length, static_cast<int64_t>(length) == size, records);
}

// Opens a card for reading and appending; a card that may only be read is
// read, and its tap fails when it is recorded.
static int openCard(int dir, const char* path, struct stat* info) {
  int fd = openRegular(dir, path, O_RDWR | O_APPEND, 0644, info);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    fd = openRegular(dir, path, O_RDONLY, 0644, info);
  }
  return fd;
}

// What a failed open of a card means: a card its file system cannot reach
// now (a replica whose one good copy is down) is there, but unreadable.
static LoadStatus failedOpen() {
  return errno == EINVAL || unreachable(errno) ? LoadStatus::kUnreadable : LoadStatus::kNoCard;
}

LoadStatus loadCardTail(int dir, const char* path, CardRecord records[2]) {
  int fd = openRegular(dir, path, O_RDONLY);
  if (fd < 0) return failedOpen();
  HeldCard card{};
  CardRecord parsed[2];
  bool read = readTail(fd, -1, &card, parsed);
  close(fd);
  if (!read) return LoadStatus::kUnreadable;
  records[0] = parsed[0];
  records[1] = parsed[1];
  return LoadStatus::kLoaded;
}

// Lets go of the lock file as a card held it: its byte unlocked if it was
// lent, closed if it was opened for the card.
static void letGoOfLocks(int locks, bool own, const char* path) {
  if (locks < 0) return;
  if (own) {
    close(locks);
  } else {
    unlock(locks, cardLockByte(path));
  }
}

LoadStatus holdCard(int dir, const char* path, const std::vector<std::string>& logs, HeldCard* card,
                    CardRecord records[2], std::vector<std::string>* notices, int locks,
                    JournalCache* cache) {
  // The lock first, then the card by its name: whatever was done to the
  // card under that name before the lock was taken is seen.
  bool own = locks < 0;
  if (own) locks = openLocks(dir);
  if (locks < 0 && errno == ENOENT) return LoadStatus::kNoCard;
  if (locks < 0) {
    // The reason stays in errno for the caller: a file system that lost the
    // network directory is looked for again.
    int reason = errno;
    notices->push_back(std::string(kLockFile) + " cannot be opened: " + strerror(reason) +
                       (lostByItsFileSystem(reason)
                            ? ""
                            : ": no card can be held until it belongs to the network's owner"));
    errno = reason;
    return LoadStatus::kUnreadable;
  }
  if (!lockWithin(locks, cardLockByte(path), kLockWaitMs)) {
    if (own) close(locks);
    // A lent lock file no longer named so keeps no one out, nor in: the
    // card is held by the file named so now.
    if (!own && !locksStillNamed(dir, locks)) {
      return holdCard(dir, path, logs, card, records, notices, -1, cache);
    }
    return LoadStatus::kUnreadable;
  }
  struct stat info {};
  int fd = openCard(dir, path, &info);
  if (fd < 0) {
    LoadStatus status = failedOpen();
    letGoOfLocks(locks, own, path);
    return status;
  }
  // The card is written only through a descriptor that is fenced by a lock
  // of its own: should its client lose the card's lock and reconnect, a
  // record written late through it fails rather than lands after another
  // host's (docs/many-hosts.md). Without it the tap goes on as on a local
  // disk.
  (void)fenceByLock(fd);
  HeldCard held{};
  CardRecord parsed[2];
  // A tap left in flight on this card is settled before anything is read
  // (settling changes the card's size), once settling has made sure that
  // the card is held by the file named Card/taps.lock.
  bool changed = false;
  size_t told = notices->size();
  bool settled = settleCard(dir, path, fd, locks, logs, false, notices, &changed, cache);
  if (!settled && !own && !changed && !locksStillNamed(dir, locks)) {
    // The lent lock file was removed or replaced since it was opened (its
    // name is looked at here, once the card is held, not before each
    // tap): the card is held again by the file named so now.
    close(fd);
    letGoOfLocks(locks, own, path);
    notices->resize(told);
    return holdCard(dir, path, logs, card, records, notices, -1, cache);
  }
  bool read =
      settled && readTail(fd, changed ? -1 : static_cast<int64_t>(info.st_size), &held, parsed);
  if (!read) {
    close(fd);
    letGoOfLocks(locks, own, path);
    return LoadStatus::kUnreadable;
  }
  held.dir = dir;
  held.fd = fd;
  held.locks = locks;
  held.ownLocks = own;
  held.path = path;
  held.inode = static_cast<uint64_t>(info.st_ino);
  if (cache != nullptr && cache->listed) {
    held.listed = true;
    held.logNames = cache->names;
  }
  *card = held;
  records[0] = parsed[0];
  records[1] = parsed[1];
  return LoadStatus::kLoaded;
}

void releaseCard(HeldCard* card) {
  if (card->fd >= 0) close(card->fd);
  letGoOfLocks(card->locks, card->ownLocks, card->path.c_str());
  card->fd = -1;
  card->locks = -1;
}
