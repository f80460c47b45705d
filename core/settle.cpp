// Settling taps in flight from their journals.
#include "core/settle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "core/card_file.h"
#include "core/file_io.h"
#include "core/tap_bytes.h"
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
  // A listing that fails leaves each name to be looked at on its own.
  if (cache != nullptr) (void)listLogDirectory(dir, cache);
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
  bool atPath = false, last = false, unreadable = false;
  int log = openLogOf(dir, intent, &atPath);
  Holds inLog = log >= 0 ? holds(log, intent.logOffset, intent.logBytes, false, &last, &unreadable)
                         : Holds::kOther;
  // A log that could not be read may hold the line already: it is not
  // written a second time; the tap is completed by whoever settles next.
  if (unreadable) {
    close(log);
    return false;
  }
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

// Settles one tap in flight, its journal held: completes a pending tap on
// its card, drops one whose card is gone or other, and takes back an
// abandoned one. Returns whether the journal is idle again.
bool settleTap(int dir, const InFlight& tap, int card, std::vector<std::string>* notices) {
  std::string path = journalPath(tap.logPath);
  int journal = openRegular(dir, path.c_str(), O_RDWR);
  if (journal < 0) return false;
  const TapIntent& intent = tap.intent;
  bool unreadable = false, last = false;
  bool ours = sameCard(card, intent, &unreadable);
  Holds onCard = ours ? holds(card, intent.cardOffset, intent.cardBytes, true, &last, &unreadable)
                      : Holds::kOther;
  // A card that could not be read tells nothing: the tap is settled by
  // whoever reads it next, never dropped for a failed read.
  if (unreadable) {
    notices->push_back(intent.cardPath + " could not be read to settle the tap in flight on it (" +
                       path + "): the tap is kept until the card can be read");
    close(journal);
    return false;
  }
  // The block was read from the cache: its writer's flush of it may have
  // failed (the writer then died waiting for the disk), and the disk may
  // still hold the journal as it was before. Nothing is written to the
  // card or the log for it before the block is written again and flushed:
  // otherwise a record made durable here could outlive the intent that
  // tells of its line, and a line lost by a failed flush would never be
  // written again.
  if (!writeIntent(journal, intent)) {
    notices->push_back(path + " could not be written to disk (" +
                       strerror(errno != 0 ? errno : EIO) + "): the tap in flight on " +
                       intent.cardPath + " is kept until it can be");
    close(journal);
    return false;
  }
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

void closeJournals(JournalCache* cache) {
  for (OpenJournal& journal : cache->journals) {
    if (journal.fd >= 0) close(journal.fd);
  }
  if (cache->directory != nullptr) closedir(cache->directory);
  *cache = JournalCache{};
}

bool listLogDirectory(int dir, JournalCache* cache) {
  cache->listed = false;
  cache->names.clear();
  // The directory held must still be the one named Reader_txt/: one made in
  // its place holds the journals now.
  struct stat named {};
  bool there =
      fstatat(dir, kLogDirectory, &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(named.st_mode);
  if (cache->directory != nullptr &&
      (!there || named.st_ino != cache->directoryInode || named.st_dev != cache->directoryDevice)) {
    closedir(cache->directory);
    cache->directory = nullptr;
  }
  if (!there) return false;
  if (cache->directory == nullptr) {
    cache->directory = openDirectory(dir, kLogDirectory);
    struct stat open {};
    if (cache->directory == nullptr || fstat(dirfd(cache->directory), &open) != 0) return false;
    cache->directoryInode = static_cast<uint64_t>(open.st_ino);
    cache->directoryDevice = static_cast<uint64_t>(open.st_dev);
    if (open.st_ino != named.st_ino || open.st_dev != named.st_dev) return false;
  }
  // Read from its start each time: the names as they are now.
  rewinddir(cache->directory);
  errno = 0;
  while (dirent* entry = readdir(cache->directory)) {
    if (entry->d_type == DT_REG) {
      cache->names.push_back({logPath(entry->d_name), static_cast<uint64_t>(entry->d_ino)});
    } else if (entry->d_type == DT_UNKNOWN) {
      // A file system that does not tell the kind of a name: each is looked at.
      cache->names.clear();
      return false;
    }
    errno = 0;
  }
  if (errno != 0) {
    // A stream that failed (its file system lost, say) is opened anew
    // next time rather than read again.
    cache->names.clear();
    closedir(cache->directory);
    cache->directory = nullptr;
    return false;
  }
  cache->listed = true;
  return true;
}

bool listedInode(const std::vector<ListedName>& names, const std::string& path, uint64_t* inode) {
  for (const ListedName& name : names) {
    if (name.path == path) {
      *inode = name.inode;
      return true;
    }
  }
  return false;
}

bool readCachedJournal(int dir, JournalCache* cache, const std::string& path, TapIntent* intent,
                       bool* unreadable) {
  JournalCache once;
  if (cache == nullptr) cache = &once;
  OpenJournal* open = nullptr;
  for (OpenJournal& journal : cache->journals) {
    if (journal.path == path) open = &journal;
  }
  if (open == nullptr) {
    cache->journals.push_back({path, -1, 0});
    open = &cache->journals.back();
  }
  // The listing made for the card held tells, without a look at each name,
  // that no journal is there, or that the one open is still the file its
  // name leads to (a plain file, as its own descriptor tells).
  uint64_t listed = 0;
  if (cache->listed && !listedInode(cache->names, path, &listed)) {
    if (open->fd >= 0) close(open->fd);
    open->fd = -1;
    open->inode = 0;
    return false;
  }
  struct stat own {};
  if (cache->listed && open->fd >= 0 && listed == open->inode && fstat(open->fd, &own) == 0 &&
      isPlainFile(own) && static_cast<uint64_t>(own.st_ino) == listed) {
    errno = 0;
    bool read = readJournalBlock(open->fd, intent, path);
    if (!read && unreachable(errno) && unreadable != nullptr) *unreadable = true;
    return read;
  }
  // The name decides which file is the journal: a plain file with one
  // name. Whoever made it, a tap in flight in it is never passed over. A
  // journal made anew between the look at its name and the open is looked
  // at again.
  // One that cannot be reached or read now (its file system cannot serve
  // it) may hold a tap in flight as well.
  bool read = false, unknown = false;
  for (int look = 0; look < 2 && !read; look++) {
    struct stat named {};
    bool looked = fstatat(dir, path.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
    unknown = !looked && unreachable(errno);
    bool there = looked && isPlainFile(named);
    if (!there || named.st_ino != open->inode) {
      if (open->fd >= 0) close(open->fd);
      open->fd = -1;
      open->inode = 0;
    }
    if (!there) break;
    if (open->fd < 0) {
      open->fd = openat(dir, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      unknown = open->fd < 0 && (errno == EACCES || errno == EPERM || unreachable(errno));
      if (open->fd < 0) break;
      open->inode = inodeOf(open->fd);
      if (open->inode != named.st_ino) continue;
    }
    errno = 0;
    read = readJournalBlock(open->fd, intent, path);
    unknown = !read && unreachable(errno);
    if (!read) break;
  }
  if (unknown && unreadable != nullptr) *unreadable = true;
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
           " cannot be read (another user's file?, or one its file system cannot serve now): it "
           "may hold a tap in flight on any card, so no card is read until the network's owner "
           "can read it";
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
    bool looked = fstatat(dir, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    // A journal that cannot be looked at now (its file system cannot serve
    // it) is left where it is: what it is cannot be told.
    if (!looked && unreachable(errno)) continue;
    bool own = looked && info.st_uid == geteuid();
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
