// Settling taps in flight from their journals.
#include "core/settle.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "core/card_file.h"
#include "core/file_io.h"
#include "core/tap_journal.h"

namespace {

// A tap in flight, with the log whose journal tells it.
struct InFlight {
  std::string logPath;
  TapIntent intent;
  bool foreign;             // its journal was made by another user than the network's owner
  bool unreadable = false;  // a journal there that cannot be read: what it holds is unknown
};

// The taps in flight on `cardPath` (every card when empty) in the journals
// of `logs`, read through `cache` when given, in the order of their
// offsets on their card.
std::vector<InFlight> inFlightOn(int dir, const std::string& cardPath,
                                 const std::vector<std::string>& logs, JournalCache* cache) {
  std::vector<InFlight> found;
  for (const std::string& log : logs) {
    TapIntent intent;
    bool unreadable = false;
    if (readCachedJournal(dir, cache, journalPath(log), &intent, &unreadable) &&
        intent.state != kIdle && intent.logPath == log &&
        (cardPath.empty() || intent.cardPath == cardPath)) {
      struct stat info {};
      bool foreign = fstatat(dir, journalPath(log).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
                     info.st_uid != geteuid();
      found.push_back({log, intent, foreign});
    } else if (unreadable) {
      // It may hold a tap on any card: none is read until it can be.
      found.push_back({log, TapIntent{kPending, "", 0, 0, "", "", "", 0, 0, ""}, true, true});
    }
  }
  std::stable_sort(found.begin(), found.end(), [](const InFlight& a, const InFlight& b) {
    return a.intent.cardOffset < b.intent.cardOffset;
  });
  return found;
}

// What a file holds where an intent puts its bytes.
enum class Holds {
  kNothing,  // it ends where the bytes begin
  kPart,     // it ends with a first part of them, or holds them with zeros
             // where a failed flush lost some (the file's size kept)
  kWhole,    // it holds them all
  kOther,    // something else: shorter, other bytes, or not a place they could go
};

// What the file `fd` holds of `bytes` at `offset`. A card's bytes must follow
// a record (a card never ends with a line break); a log's must begin a line.
// `last` tells whether the bytes found are the last thing in the file.
Holds holds(int fd, int64_t offset, const std::string& bytes, bool card, bool* last) {
  int64_t size = fd >= 0 ? sizeOf(fd) : -1;
  if (size < offset || offset < 0) return Holds::kOther;
  std::string before = offset > 0 ? bytesAt(fd, offset - 1, 1) : "";
  bool follows = card ? before.size() == 1 && before != "\n" : offset == 0 || before == "\n";
  if (!follows) return Holds::kOther;
  size_t present = static_cast<size_t>(std::min<int64_t>(size - offset, bytes.size()));
  std::string there = bytesAt(fd, offset, present);
  if (there.size() != present) return Holds::kOther;
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

// Whether the open file `card` is the card the intent was decided from:
// the same file, and the tail the writer read just before the record.
bool sameCard(int card, const TapIntent& intent) {
  int64_t start = intent.cardOffset - static_cast<int64_t>(intent.cardTail.size());
  return card >= 0 && inodeOf(card) == intent.cardInode && start >= 0 &&
         sizeOf(card) >= intent.cardOffset &&
         bytesAt(card, start, intent.cardTail.size()) == intent.cardTail;
}

// Writes the bytes where they go, whole, from the intent rather than from
// what the file shows: after a flush failed, what the file's cache holds
// is no proof of what is on disk.
bool complete(int fd, int64_t offset, const std::string& bytes) {
  return writeAt(fd, bytes, offset);
}

// Cuts the bytes off again when they, or a first part of them, end the file.
// (takeBackBytes, below, is this for a writer taking back its own tap.)
bool takeBack(int fd, Holds held, bool last, int64_t offset) {
  if (held == Holds::kNothing || held == Holds::kOther || !last) return true;
  return ftruncate(fd, static_cast<off_t>(offset)) == 0;
}

// The tap's record and line, both whole where the intent puts them: it is
// committed and its writer, alive, will flush them.
bool wholeInBoth(int dir, int card, const InFlight& tap) {
  if (tap.intent.state != kPending || !sameCard(card, tap.intent)) return false;
  bool last = false;
  if (holds(card, tap.intent.cardOffset, tap.intent.cardBytes, true, &last) != Holds::kWhole) {
    return false;
  }
  int log = openRegular(dir, tap.logPath.c_str(), O_RDONLY);
  bool whole = log >= 0 && inodeOf(log) == tap.intent.logInode &&
               holds(log, tap.intent.logOffset, tap.intent.logBytes, false, &last) == Holds::kWhole;
  if (log >= 0) close(log);
  return whole;
}

// Opens the log an intent's line was written to, for writing at offsets
// (without O_APPEND): the log at its path if
// it is still that file, else the file of the log directory it was renamed
// to (a rotated log). Sets `atPath` when it is the log at the path. -1 when
// it is nowhere to be found.
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

// Completes a pending tap whose record goes onto `card`: the record, and
// the line in the log it was written to (at
// its path, or rotated under another name). When that log holds nothing of
// the line and is not the log at its path any more, or holds other bytes
// at its place (truncated, removed), the line goes whole to the end of the
// log as it now is, the journal told so first, so that settling again
// finds it there and does not write it twice.
bool completeTap(int dir, int journal, TapIntent intent, int card,
                 std::vector<std::string>* notices) {
  // The card is held through a descriptor that appends: it is written at
  // the record's offset through one of its own.
  int rewriter = openToRewrite(dir, intent.cardPath, inodeOf(card));
  bool written = rewriter >= 0 && complete(rewriter, intent.cardOffset, intent.cardBytes);
  if (rewriter >= 0) close(rewriter);
  if (!written) return false;
  bool atPath = false, last = false;
  int log = openLogOf(dir, intent, &atPath);
  Holds inLog =
      log >= 0 ? holds(log, intent.logOffset, intent.logBytes, false, &last) : Holds::kOther;
  bool done = true;
  if (inLog == Holds::kOther || (inLog == Holds::kNothing && !atPath)) {
    if (log >= 0) close(log);
    // Its writer appends to it only under the journal's byte, held here.
    log = openRegular(dir, intent.logPath.c_str(), O_RDWR | O_CREAT);
    if (log < 0) return false;
    intent.logInode = inodeOf(log);
    intent.logOffset = sizeOf(log);
    done = intent.logOffset >= 0 && writeIntent(journal, intent) &&
           syncDirectoryOf(dir, intent.logPath.c_str());
    notices->push_back("a tap on " + intent.cardPath + " was completed and its line written to " +
                       intent.logPath + " as it now is: the log it was written to no longer " +
                       "holds its place");
  }
  done = done && complete(log, intent.logOffset, intent.logBytes) && flushBoth(card, log);
  close(log);
  return done;
}

// Takes back what is there of a tap's line, where it ends the log it was
// written to. A log that is gone (nothing at its path, or another plain
// file) holds nothing to take back; one that stands there but cannot be
// opened (a link, no permission) cannot be settled now.
bool takeBackLine(int dir, const TapIntent& intent) {
  bool atPath = false, last = false;
  int log = openLogOf(dir, intent, &atPath);
  struct stat named {};
  if (log < 0) {
    bool there = fstatat(dir, intent.logPath.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
    return there ? isPlainFile(named) && named.st_ino != intent.logInode : errno == ENOENT;
  }
  Holds inLog = holds(log, intent.logOffset, intent.logBytes, false, &last);
  bool done = takeBack(log, inLog, last, intent.logOffset) && fdatasync(log) == 0;
  close(log);
  return done;
}

// Settles one tap in flight, its journal held: completes a pending tap on
// its card, drops one whose card is gone or other, and takes back an
// abandoned one. Returns whether the journal is idle again.
bool settleTap(int dir, const InFlight& tap, int card, std::vector<std::string>* notices) {
  std::string path = journalPath(tap.logPath);
  int journal = openRegular(dir, path.c_str(), O_RDWR);
  if (journal < 0) return false;
  const TapIntent& intent = tap.intent;
  bool ours = sameCard(card, intent), last = false;
  Holds onCard =
      ours ? holds(card, intent.cardOffset, intent.cardBytes, true, &last) : Holds::kOther;
  bool settled;
  if (intent.state == kPending && onCard != Holds::kOther) {
    settled = completeTap(dir, journal, intent, card, notices);
  } else if (intent.state == kPending) {
    // Committed, but its card can hold it no more: the card was removed,
    // issued anew or written behind the readers' backs. Never completed
    // onto another file; the operator gets a copy of it.
    settled = takeBackLine(dir, intent) && keepDroppedIntent(dir, path, intent);
    notices->push_back("a tap on " + intent.cardPath +
                       " could not be completed: the card is gone or is another file now; its "
                       "intent is kept beside " +
                       path);
  } else {
    settled = takeBack(card, onCard, last, intent.cardOffset) && takeBackLine(dir, intent) &&
              (card < 0 || fdatasync(card) == 0);
  }
  settled = settled && markJournal(journal, kIdle, false);
  close(journal);
  return settled;
}

}  // namespace

bool readCachedJournal(int dir, JournalCache* cache, const std::string& path, TapIntent* intent,
                       bool* unreadable) {
  JournalCache once;
  if (cache == nullptr) cache = &once;
  OpenJournal* open = nullptr;
  for (OpenJournal& journal : *cache) {
    if (journal.path == path) open = &journal;
  }
  if (open == nullptr) {
    cache->push_back({path, -1, 0});
    open = &cache->back();
  }
  // The name decides which file is the journal: a plain file with one
  // name. Whoever made it, a tap in flight in it is never passed over. A
  // journal made anew between the look at its name and the open is looked
  // at again.
  bool read = false;
  for (int look = 0; look < 2 && !read; look++) {
    struct stat named {};
    bool there = fstatat(dir, path.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && isPlainFile(named);
    if (!there || named.st_ino != open->inode) {
      if (open->fd >= 0) close(open->fd);
      open->fd = -1;
      open->inode = 0;
    }
    if (!there) break;
    if (open->fd < 0) {
      open->fd = openat(dir, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (open->fd < 0 && (errno == EACCES || errno == EPERM) && unreadable != nullptr) {
        *unreadable = true;
      }
      if (open->fd < 0) break;
      open->inode = inodeOf(open->fd);
      if (open->inode != named.st_ino) continue;
    }
    read = readJournalBlock(open->fd, intent, path);
    if (!read) break;
  }
  if (cache == &once && open->fd >= 0) close(open->fd);
  return read;
}

// Why the tap in flight cannot be settled by this writer now, or empty
// when it can: its journal is another user's (which the readers may not
// write), or it was made under another lock file than the one held here
// (Card/taps.lock removed or replaced since), so its writer may still be
// recording it; only that writer settles such a tap, or a settler once no
// process claims its journal. A tap whose record and line are whole is no
// harm to the card's next reader either way.
static std::string cannotSettle(const InFlight& tap, int locks, const std::string& ownLog) {
  if (tap.unreadable) {
    return journalPath(tap.logPath) +
           " cannot be read (another user's file?): it may hold a tap in flight on any card, so "
           "no card is read until the network's owner can read it";
  }
  if (tap.foreign) {
    return journalPath(tap.logPath) + " holds a tap in flight on " + tap.intent.cardPath +
           " but was made by another user than the network's owner: the card is refused until "
           "the file is given to the owner (chown)";
  }
  if (tap.intent.lockInode != 0 && tap.intent.lockInode != inodeOf(locks) &&
      tap.logPath != ownLog) {
    return "a tap in flight on " + tap.intent.cardPath + " (" + journalPath(tap.logPath) +
           ") was made under another lock file: " + kLockFile +
           " was removed or replaced while it "
           "was recorded, and its writer may still be recording it; the card is refused until "
           "that writer settles it or ends";
  }
  return "";
}

// Claims the journal of a tap in flight, when no process claims it (its
// writer has ended): the claim is let go when the descriptor returned is
// closed. -1 while another process holds it, or when the file at the
// journal's path is not the one the intent was written to (a copy put
// there: its writer's claim is on the file it still writes).
static int claimUnclaimed(int dir, const InFlight& tap) {
  std::string path = journalPath(tap.logPath);
  int journal = openRegular(dir, path.c_str(), O_RDWR);
  if (journal < 0) return -1;
  if (tap.intent.journalInode == 0 || inodeOf(journal) != tap.intent.journalInode ||
      !lockWithin(journal, kWriterByte, 0)) {
    close(journal);
    return -1;
  }
  return journal;
}

bool settleCard(int dir, const std::string& cardPath, int card, int locks,
                const std::vector<std::string>& logs, bool finishWhole,
                std::vector<std::string>* notices, bool* anySettled, JournalCache* cache,
                const std::string& ownLog) {
  // A lock on a file that is no longer the lock file keeps no one out.
  if (!locksStillNamed(dir, locks)) {
    notices->push_back(std::string(kLockFile) + " was removed or replaced as " + cardPath +
                       " was held: the card is not read; the next tap opens the lock file anew");
    return false;
  }
  for (const InFlight& seen : inFlightOn(dir, cardPath, logs, cache)) {
    // The common case after a tap: committed, both appends whole, the
    // writer flushing them in its pause.
    if (!finishWhole && !seen.unreadable && wholeInBoth(dir, card, seen)) continue;
    std::string why = cannotSettle(seen, locks, ownLog);
    if (!why.empty() && (seen.foreign || seen.unreadable)) {
      notices->push_back(why);
      return false;
    }
    int64_t byte = journalLockByte(seen.logPath);
    if (!lockWithin(locks, byte, kLockWaitMs)) return false;
    // A tap made under another lock file whose journal no process claims
    // has no writer left to record it: the settler claims the journal
    // itself for as long as it settles it, so that none starts meanwhile
    // (claimed only once the journal's byte is held: the claim is held no
    // longer than settling takes).
    int claim = why.empty() ? -1 : claimUnclaimed(dir, seen);
    if (!why.empty() && claim < 0) {
      unlock(locks, byte);
      notices->push_back(why);
      return false;
    }
    // Read again under the journal's lock: its writer may have finished.
    TapIntent now;
    bool settled = true;
    if (readWritersJournal(dir, journalPath(seen.logPath), &now) && now.state != kIdle &&
        formatIntent(now) == formatIntent(seen.intent)) {
      settled = settleTap(dir, seen, card, notices);
      if (anySettled != nullptr) *anySettled = true;
    }
    unlock(locks, byte);
    if (claim >= 0) close(claim);
    if (!settled) return false;
  }
  return true;
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

// Moves aside every note in the log directory that is no journal of the
// network's writers (a name no writer has), and every journal that another
// user made: no reader acts on them.
static void setAsideStrangeNotes(int dir, const std::vector<std::string>& logs,
                                 std::vector<std::string>* notices) {
  DIR* directory = openDirectory(dir, kLogDirectory);
  if (directory == nullptr) return;
  std::vector<std::string> strange;
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name, path = logPath(name);
    if (!isJournalName(name)) continue;
    bool known = false;
    for (const std::string& log : logs) known = known || journalPath(log) == path;
    struct stat info {};
    bool own =
        fstatat(dir, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && info.st_uid == geteuid();
    // Another user's journal that holds a tap in flight stays where it is:
    // the card it names is refused until the operator gives it back.
    TapIntent intent;
    bool unreadable = false;
    bool inFlight =
        readCachedJournal(dir, nullptr, path, &intent, &unreadable) && intent.state != kIdle;
    if (known && !own && (inFlight || unreadable)) {
      notices->push_back(path + " was made by another user than the network's owner and " +
                         (unreadable ? "cannot be read" : "holds a tap in flight") +
                         ": it is left in place, and cards refused, until the file is given to "
                         "the owner (chown)");
      continue;
    }
    if (!known || !own) strange.push_back(path);
  }
  closedir(directory);
  for (const std::string& path : strange) {
    if (setAside(dir, path)) {
      notices->push_back(path + " is no journal of this network's readers: it was moved aside");
    }
  }
}

bool settleEveryJournal(int dir, const std::vector<std::string>& logs,
                        std::vector<std::string>* notices, const std::string& ownLog) {
  if (!networkMissing(dir).empty()) return false;
  setAsideStrangeNotes(dir, logs, notices);
  std::map<std::string, bool> cards;
  bool settled = true;
  for (const InFlight& tap : inFlightOn(dir, "", logs, nullptr)) {
    if (tap.unreadable) {
      notices->push_back(cannotSettle(tap, -1, ownLog));
      settled = false;
    } else {
      cards[tap.intent.cardPath] = true;
    }
  }
  for (const auto& [cardPath, unused] : cards) {
    int locks = openLocks(dir);
    if (locks < 0 || !lockWithin(locks, cardLockByte(cardPath), kLockWaitMs)) {
      if (locks >= 0) close(locks);
      settled = false;
      continue;
    }
    // A card removed since holds nothing of its taps; one that is no plain
    // file now (a link, a second name) is left alone.
    int card = openRegular(dir, cardPath.c_str(), O_RDWR | O_APPEND);
    if (card >= 0 || errno == ENOENT) {
      settled =
          settleCard(dir, cardPath, card, locks, logs, true, notices, nullptr, nullptr, ownLog) &&
          settled;
    } else {
      settled = false;
    }
    if (card >= 0) close(card);
    close(locks);
  }
  return settled;
}

bool takeBackBytes(int fd, int64_t offset, const std::string& bytes, bool card) {
  bool last = false;
  Holds held = holds(fd, offset, bytes, card, &last);
  return takeBack(fd, held, last, offset);
}
