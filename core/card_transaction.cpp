// Holding a card for a tap, and recording the tap through it.
#include "core/card_transaction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/file_io.h"
#include "core/settle.h"
#include "core/tap_bytes.h"
#include "core/tap_journal.h"

int writerLocks(TapWriter* writer) {
  if (writer->locks < 0) writer->locks = openLocks(writer->dir);
  return writer->locks;
}

TapWriter tapWriter(int dir, const std::string& logPath) {
  TapWriter writer;
  writer.dir = dir;
  writer.logPath = logPath;
  return writer;
}

// Whether the held card is still as its tail was read: nothing that ignores
// the lock has removed, replaced, grown or rewritten it (told by its
// descriptor alone).
static bool unchanged(const HeldCard& card) {
  struct stat info {};
  return card.fd >= 0 && fstat(card.fd, &info) == 0 && info.st_nlink > 0 &&
         info.st_size == card.size &&
         bytesAt(card.fd, card.size - static_cast<int64_t>(card.tailLength), card.tailLength) ==
             std::string(card.tail, card.tailLength);
}

// The inode of the file named `path` if it is a plain file with one name;
// 0 otherwise.
static uint64_t namedInode(int dir, const std::string& path) {
  struct stat info {};
  return fstatat(dir, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && isPlainFile(info)
             ? static_cast<uint64_t>(info.st_ino)
             : 0;
}

// Whether `path` still names the open file `fd` of inode `inode`, a plain
// file with one name: told by the listing of the log directory made while
// `card` was held when there is one (and by the file's own descriptor),
// else by a look at the name.
static bool stillNamed(const HeldCard* card, int dir, const std::string& path, int fd,
                       uint64_t inode) {
  uint64_t listed = 0;
  if (card == nullptr || !card->listed) return namedInode(dir, path) == inode;
  struct stat own {};
  return listedInode(card->logNames, path, &listed) && listed == inode && fstat(fd, &own) == 0 &&
         isPlainFile(own) && static_cast<uint64_t>(own.st_ino) == inode;
}

// Why a tap is refused when the lock file it holds its card by is no
// longer the file named Card/taps.lock.
static const std::string kLockChanged =
    std::string(kLockFile) + " was removed or replaced during the tap";

// Notes what failed, for the operator: the files, and the system's reason
// (`reason`, or errno when it is 0). Returns false, as the step did.
static bool failed(TapWriter* writer, const std::string& what, int reason = 0) {
  // A file its file system lost is opened anew before the next tap.
  if (reason == 0 && lostByItsFileSystem(errno)) writer->lost = true;
  if (reason != 0) errno = reason;
  writer->problem = what + ": " + strerror(errno != 0 ? errno : EIO);
  return false;
}

// Flushes the record and line of the writer's last tap, whose intent is
// `last`; after a flush of them failed, they are first written again where
// settling would find them. A failure is noted, so that the next try writes
// them again too. Returns whether they are on disk.
static bool flushLastBytes(TapWriter* writer, const TapIntent& last) {
  bool flushed = writer->flushFailed ? flushCommitted(writer->dir, last)
                                     : flushBoth(writer->lastCard, writer->log);
  if (!flushed) writer->flushFailed = true;
  return flushed;
}

// Flushes the last tap's record and line and marks the journal idle if it
// still tells of that tap (another process writing the same log may have
// flushed it and written its own since), the journal's byte held by the
// caller. After a flush of them failed, they are first written again from
// the journal's copy: the failed pages were dropped as if written, and only
// a flush that follows a write of its own tells that they are on disk.
static bool flushLastTap(TapWriter* writer) {
  if (writer->lastCard < 0) return true;
  // A journal that no longer tells of the tap was settled by someone else
  // (the card's next reader, a reader starting), who flushed it.
  // One that cannot be read is not written over until it can be read
  // (readyJournal): its tap stays committed there, and is flushed then.
  TapIntent current;
  bool ours =
      readJournalBlock(writer->journal, &current) && formatIntent(current) == writer->lastBlock;
  if (ours) {
    if (!flushLastBytes(writer, current)) {
      return failed(writer, "the disk failed: " + current.cardPath + " and " + current.logPath +
                                " could not be written to disk; the tap stays in " +
                                journalPath(writer->logPath) + " and is written again");
    }
    // Idle on disk or not, the journal then tells of a tap whose record and
    // line are both on disk: settling it again does nothing.
    if (!markJournal(writer->journal, kIdle, false)) {
      return failed(writer, journalPath(writer->logPath) + " could not be marked idle");
    }
  }
  close(writer->lastCard);
  writer->lastCard = -1;
  writer->lastBlock.clear();
  writer->flushFailed = false;
  return true;
}

// Why a writer records nothing: another process claims its journal.
static std::string claimedElsewhere(const std::string& journal) {
  return "another process writes " + journal +
         " (a second copy of this program, or a lock another user took on it)";
}

// Makes the writer's journal ready for an intent, its byte held: open (a
// journal renamed or removed since is opened anew), and idle once the tap
// it tells of is flushed: this writer's last, or one that another process
// writing the same log committed (it is flushed here, being whole, before
// its block is written over). Returns false when it is not.
static bool readyJournal(TapWriter* writer, const HeldCard& card) {
  std::string path = journalPath(writer->logPath);
  if (writer->journal >= 0 &&
      !stillNamed(&card, writer->dir, path, writer->journal, writer->journalInode)) {
    // The journal at the path is not this writer's any more: the last tap
    // is flushed before it is let go.
    if (!flushLastTap(writer)) return false;
    close(writer->journal);
    writer->journal = -1;
    writer->sole = false;  // the claim went with the file
  }
  if (writer->journal < 0) {
    TapIntent current;
    writer->journal = openJournal(writer->dir, writer->logPath, &current);
    if (writer->journal < 0) return false;
    writer->journalInode = inodeOf(writer->journal);
  }
  // No intent is written without the claim of the journal at its path: a
  // settler that finds a journal unclaimed takes its writer for ended.
  // Another process holding it writes it too, and this writer records
  // nothing until it lets go.
  if (!writer->sole && !(writer->sole = lockWithin(writer->journal, kWriterByte, 0))) {
    close(writer->journal);
    writer->journal = -1;
    errno = EBUSY;
    return false;
  }
  TapIntent current;
  if (!readJournalBlock(writer->journal, &current)) {
    // A journal that cannot be read now is decided nothing of.
    if (errno != 0) return false;
    // Not a block: an intent of this writer's whose write failed, torn (the
    // journal is written by its writers alone, under its byte). It was
    // never committed; the journal is made idle again, once the last tap
    // (its intent kept in lastBlock) is on disk.
    TapIntent last;
    if (writer->lastCard >= 0 &&
        !(parseIntent(writer->lastBlock, &last) && flushLastBytes(writer, last))) {
      return false;
    }
    if (writer->lastCard >= 0) close(writer->lastCard);
    writer->lastCard = -1;
    writer->flushFailed = false;
    return writeIntent(writer->journal, kIdleIntent);
  }
  if (current.state == kIdle || formatIntent(current) == writer->lastBlock) {
    return flushLastTap(writer);
  }
  // Another process's tap, read from the cache: that process may have died
  // after its flush of the block failed, so the block is written again and
  // flushed before its record and line are made durable (as settling does).
  return writeIntent(writer->journal, current) && flushCommitted(writer->dir, current) &&
         markJournal(writer->journal, kIdle, false);
}

// Makes the writer's log ready for a line: a log rotated or removed since
// the last tap (noticed by its name, as the held card's listing tells when
// `card` is given) is opened anew, and created, its name made durable, when
// there is none.
static bool readyLog(TapWriter* writer, const HeldCard* card) {
  if (writer->log >= 0 &&
      stillNamed(card, writer->dir, writer->logPath, writer->log, writer->logInode)) {
    return true;
  }
  if (!flushLastTap(writer)) return false;
  if (writer->log >= 0) close(writer->log);
  int dir = writer->dir;
  writer->log = openRegular(dir, writer->logPath.c_str(), O_RDWR | O_APPEND);
  if (writer->log < 0 && errno == ENOENT) {
    writer->log = openRegular(dir, writer->logPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL);
    if (writer->log >= 0 && !syncDirectoryOf(dir, writer->logPath.c_str())) {
      close(writer->log);
      writer->log = -1;
    }
  }
  writer->logInode = writer->log >= 0 ? inodeOf(writer->log) : 0;
  // Fenced as a card is (card_hold.cpp), once, for as long as it is open.
  if (writer->log >= 0) (void)fenceByLock(writer->log);
  return writer->log >= 0;
}

// Writes the intent into the writer's journal. Should the write fail
// because the file system lost the journal's descriptor (a client that
// reconnected without the journal's claim, whose reads still go through),
// the journal and the log are opened anew, and the journal claimed again,
// and the intent written once more: nothing of the tap is on disk yet, and
// the card's lock, on the lock file, is held still.
static bool putIntentOnce(TapWriter* writer, const TapIntent& intent) {
  errno = 0;
  if (putIntent(writer->journal, intent)) return true;
  if (!lostByItsFileSystem(errno)) return false;
  for (int* fd : {&writer->journal, &writer->log}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  writer->sole = false;
  TapIntent current;
  writer->journal = openJournal(writer->dir, writer->logPath, &current);
  if (writer->journal < 0) return false;
  writer->sole = lockWithin(writer->journal, kWriterByte, 0);
  if (!writer->sole) errno = EBUSY;
  bool same = writer->sole && inodeOf(writer->journal) == intent.journalInode &&
              readyLog(writer, nullptr) && writer->logInode == intent.logInode;
  if (writer->sole && !same) errno = ESTALE;
  return same && putIntent(writer->journal, intent);
}

// Whether the intent reads back from its block as it was written: a card
// number or line that a block cannot carry (a comma in a top-up line's
// number) would make an intent no one could ever settle.
static bool readsBack(const TapIntent& intent) {
  TapIntent back;
  return parseIntent(formatIntent(intent), &back) && formatIntent(back) == formatIntent(intent);
}

// Completes, now, a committed tap that could be neither appended whole nor
// marked abandoned, under the card's lock the caller holds: its record and
// line written again where the intent puts them, from the intent, and
// flushed. Returns whether both are then whole on disk (the journal is
// made idle); anything else (a file that cannot be read, or holds other
// bytes there) leaves the tap pending for whoever settles next.
static bool completeNow(TapWriter* writer, const HeldCard& card, const TapIntent& intent) {
  bool atPath = false, last = false;
  int rewriter = openToRewrite(writer->dir, card.path, card.inode);
  int log = openLogOf(writer->dir, intent, &atPath);
  auto fits = [&](int fd, int64_t offset, const std::string& bytes, bool onCard) {
    return holds(fd, offset, bytes, onCard, &last) != Holds::kOther && complete(fd, offset, bytes);
  };
  bool done = rewriter >= 0 && log >= 0 && atPath &&
              fits(rewriter, intent.cardOffset, intent.cardBytes, true) &&
              fits(log, intent.logOffset, intent.logBytes, false) && flushBoth(rewriter, log) &&
              holds(rewriter, intent.cardOffset, intent.cardBytes, true, &last) == Holds::kWhole &&
              holds(log, intent.logOffset, intent.logBytes, false, &last) == Holds::kWhole;
  if (rewriter >= 0) close(rewriter);
  if (log >= 0) close(log);
  if (done) (void)markJournal(writer->journal, kIdle, false);
  return done;
}

bool recordTap(const HeldCard& card, const std::string& cardBytes, const std::string& logBytes,
               TapWriter* writer) {
  writer->undecided = false;
  writer->problem.clear();
  errno = 0;
  const std::string journal = journalPath(writer->logPath);
  const int64_t byte = journalLockByte(writer->logPath);
  // The lock file as it is open (the card may be held by it: then it is
  // never closed here), or opened for the journal alone; opened anew when
  // the card is held by another (the file named Card/taps.lock once the
  // card was held, when the writer's was not). An open file keeps its
  // inode: each is asked once.
  const uint64_t heldBy = inodeOf(card.locks);
  uint64_t own = writer->locks == card.locks ? heldBy : inodeOf(writer->locks);
  if (writer->locks >= 0 && own != heldBy) {
    close(writer->locks);
    writer->locks = -1;
  }
  if (writer->locks < 0) {
    writer->locks = openLocks(writer->dir);
    own = inodeOf(writer->locks);
  }

  // The steps of a tap, in order, each taken only while every one before
  // it succeeded; the first that fails says what (writer->problem) and
  // why (errno), and what they came to is looked at once, after the last.
  bool ok = unchanged(card) || failed(writer, card.path + " changed behind its lock", ESTALE);
  bool locked = ok && (writer->locks >= 0 && lockWithin(writer->locks, byte, kLockWaitMs));
  ok = locked || (ok && failed(writer, journal + " could not be locked"));
  // The journal's byte keeps settlers out only on the file the card is held
  // by, the one its intent will name.
  ok = ok && (own == heldBy || failed(writer, kLockChanged, ESTALE));
  ok = ok &&
       (readyJournal(writer, card) ||
        failed(writer, errno == EBUSY ? claimedElsewhere(journal) : journal + " cannot be made"));
  ok = ok && (readyLog(writer, &card) || failed(writer, writer->logPath + " cannot be opened"));
  int64_t logSize = ok ? sizeOf(writer->log) : -1;
  ok = ok && (logSize >= 0 || failed(writer, writer->logPath));
  TapIntent intent{kPending,
                   card.path,
                   card.inode,
                   card.size,
                   std::string(card.tail, card.tailLength),
                   cardBytes,
                   writer->logPath,
                   writer->logInode,
                   logSize,
                   logBytes,
                   heldBy,
                   writer->journalInode};
  ok = ok && (readsBack(intent) ||
              failed(writer, "an intent for " + card.path + " would not read back", EINVAL));
  ok = ok && (putIntentOnce(writer, intent) || failed(writer, journal + " could not be written"));
  const bool written = ok;
  // The intent on disk is the commit: from then on the tap ends whole,
  // whatever stops this writer, unless it lives to take it back. Only a
  // flush that succeeds tells that it is on disk.
  ok = ok && (fdatasync(writer->journal) == 0 ||
              failed(writer, "the disk failed: " + journal + " could not be written to disk"));
  // Checked once the intent is on disk: a writer that locks the file named
  // Card/taps.lock from now on finds this intent; one that locked another
  // file before is seen here, and this tap is taken back.
  ok = ok && (locksStillNamed(card.dir, card.locks) || failed(writer, kLockChanged, ESTALE));
  // So is the journal's name: the intent is where a settler looks for it
  // (the listing the journal was last checked by was made before settling,
  // which may wait). One moved away meanwhile takes the tap back.
  ok = ok && (namedInode(writer->dir, journal) == writer->journalInode ||
              failed(writer, journal + " was moved or replaced during the tap", ESTALE));
  const bool fenced = ok;
  ok = ok && (appendWhole(card.fd, cardBytes, card.size) || failed(writer, card.path));
  ok = ok && (appendWhole(writer->log, logBytes, logSize) || failed(writer, writer->logPath));
  const bool recorded = ok;
  const int reason = errno;

  // What the steps came to.
  if (recorded) {
    writer->lastBlock = formatIntent(intent);
    writer->lastCard = fcntl(card.fd, F_DUPFD_CLOEXEC, 0);
    // Without a descriptor to flush it by later, the tap is flushed now;
    // should that fail, it is committed all the same, and settled later.
    if (writer->lastCard < 0 && flushBoth(card.fd, writer->log)) {
      (void)markJournal(writer->journal, kIdle, false);
    }
  }
  Mark mark =
      !recorded && written ? abandon(writer->journal, intent, card.fd, writer->log) : Mark::kOnDisk;
  if (mark == Mark::kUnknown || (mark == Mark::kNotWritten && !fenced)) {
    // Whether the journal holds this intent on disk is not known (or, the
    // lock file changed, another writer may have gone on from the card
    // meanwhile): the journal stays locked until the mark is on disk.
    writer->undecided = true;
    writer->lastBlock = formatIntent(intent);
    errno = reason;
    return false;
  }
  if (locked) unlock(writer->locks, byte);
  if (mark == Mark::kNotWritten) {
    // Committed under the lock file as it is named, and the journal still
    // holds it as it was: the tap is recorded, whole, now if the disk
    // takes it, else by whoever settles next (this writer, before its next
    // tap): it is never taken back.
    writer->problem = completeNow(writer, card, intent)
                          ? "the tap on " + card.path + " was written again from " + journal +
                                " after " + writer->problem
                          : "the tap on " + card.path + " is committed, but " + writer->problem +
                                "; it is completed from " + journal + " by whoever settles next";
    errno = 0;
    return true;
  }
  errno = reason;
  return recorded;
}

void letGoOfFiles(TapWriter* writer) {
  for (int* fd : {&writer->log, &writer->journal, &writer->locks, &writer->lastCard}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  writer->logInode = 0;
  writer->sole = false;
  writer->flushFailed = false;
  writer->lost = false;
  if (!writer->undecided) writer->lastBlock.clear();
}

// What became of an undecided tap.
enum class Decided {
  kUnknown,    // not known yet: its files cannot be reached
  kTakenBack,  // marked abandoned on disk, or never to be completed: not recorded
  kRecorded,   // settled by another writer: its record is on its card
};

// Whether the card of the intent holds its record, whole, where it goes:
// read without the card's lock, as the bytes of a settled tap stay where
// they are. A card gone, or another file under its name, holds nothing of
// it (a settler drops such a tap).
static Decided onItsCard(int dir, const TapIntent& intent) {
  int card = openRegular(dir, intent.cardPath.c_str(), O_RDONLY);
  if (card < 0) {
    return errno == ENOENT || errno == EINVAL ? Decided::kTakenBack : Decided::kUnknown;
  }
  bool last = false, unreadable = false;
  Holds held = inodeOf(card) == intent.cardInode
                   ? holds(card, intent.cardOffset, intent.cardBytes, true, &last, &unreadable)
                   : Holds::kNothing;
  close(card);
  if (unreadable) return Decided::kUnknown;
  return held == Holds::kWhole ? Decided::kRecorded : Decided::kTakenBack;
}

// What became of the undecided tap `intent`, told through its journal
// found again by its name, its byte held on a lock file opened anew: still
// the intent as written (no one settled it), it is marked abandoned there;
// anything else there (or no such journal any more) means that no one
// will complete it from now on, and it is recorded if a settler did.
static Decided decideByName(TapWriter* writer, const TapIntent& intent) {
  const std::string path = journalPath(writer->logPath);
  const int64_t byte = journalLockByte(writer->logPath);
  int locks = openLocks(writer->dir);
  if (locks < 0) return Decided::kUnknown;
  if (!lockWithin(locks, byte, kLockWaitMs)) {
    close(locks);
    return Decided::kUnknown;
  }
  Decided decided = Decided::kUnknown;
  int journal = openRegular(writer->dir, path.c_str(), O_RDWR);
  const int notOpened = journal < 0 ? errno : 0;
  TapIntent now;
  errno = 0;
  if (journal < 0) {
    // Removed, or something else in its place: nothing completes it now.
    if (notOpened == ENOENT || notOpened == EINVAL) decided = onItsCard(writer->dir, intent);
  } else if (inodeOf(journal) != intent.journalInode) {
    decided = onItsCard(writer->dir, intent);
  } else if (readJournalBlock(journal, &now) && formatIntent(now) == formatIntent(intent)) {
    decided = markAbandoned(journal, intent) ? Decided::kTakenBack : Decided::kUnknown;
  } else if (errno == 0) {
    decided = onItsCard(writer->dir, intent);
  }
  if (journal >= 0) close(journal);
  unlock(locks, byte);
  close(locks);
  return decided;
}

bool decideTap(TapWriter* writer, bool (*lookAgain)()) {
  if (!writer->undecided) return false;
  TapIntent intent;
  bool parsed = parseIntent(writer->lastBlock, &intent);
  Decided decided = Decided::kUnknown;
  while (parsed) {
    errno = 0;
    if (writer->journal >= 0 && markAbandoned(writer->journal, intent)) break;
    if (writer->journal < 0 || lostByItsFileSystem(errno)) {
      // Its journal's descriptor is lost, and with it the journal's claim
      // and byte: another writer may settle the tap meanwhile.
      writer->lost = true;
      if (lookAgain != nullptr) (void)lookAgain();
      decided = decideByName(writer, intent);
      if (decided != Decided::kUnknown) break;
    }
    sleep(1);
  }
  writer->undecided = false;
  writer->lastBlock.clear();
  if (writer->locks >= 0) unlock(writer->locks, journalLockByte(writer->logPath));
  if (decided != Decided::kRecorded) return false;
  writer->problem = "the tap on " + intent.cardPath + " was completed from " +
                    journalPath(writer->logPath) + " by another writer after " + writer->problem;
  return true;
}

bool finishTap(TapWriter* writer) {
  if (writer->lastCard < 0) return true;
  int64_t byte = journalLockByte(writer->logPath);
  if (!lockWithin(writer->locks, byte, kLockWaitMs)) {
    return failed(writer, journalPath(writer->logPath) + " could not be locked");
  }
  bool flushed = flushLastTap(writer);
  unlock(writer->locks, byte);
  return flushed;
}

// The network's logs and the writer's own, once.
static std::vector<std::string> withOwnLog(std::vector<std::string> logs, const std::string& own) {
  if (std::find(logs.begin(), logs.end(), own) == logs.end()) logs.push_back(own);
  return logs;
}

bool settleOwnJournal(TapWriter* writer, const std::vector<std::string>& logs,
                      std::vector<std::string>* notices) {
  if (writer->lost) letGoOfFiles(writer);
  // A tap whose flush failed, and that cannot be written again where it
  // was (its card or its log moved on), is settled as any other.
  if (!finishTap(writer)) notices->push_back(writer->problem);
  // Through the writer's own descriptor when it has one: only the writer
  // writes its journal.
  TapIntent intent;
  errno = 0;
  bool read = writer->journal >= 0 && readJournalBlock(writer->journal, &intent);
  // A journal its file system lost (a client that reconnected without the
  // journal's claim) is let go, with every file of the writer's, and read
  // by its name; it is claimed again before the next intent.
  if (writer->journal >= 0 && !read && lostByItsFileSystem(errno)) letGoOfFiles(writer);
  if (writer->journal < 0) {
    read = readWritersJournal(writer->dir, journalPath(writer->logPath), &intent);
  }
  if (!read || intent.state == kIdle) return true;
  int locks = openLocks(writer->dir);
  if (locks < 0 || !lockWithin(locks, cardLockByte(intent.cardPath), kLockWaitMs)) {
    if (locks >= 0) close(locks);
    return false;
  }
  // A card that is not there is dropped only when the network directory
  // is: a file system not mounted yet hides every card.
  int card = openRegular(writer->dir, intent.cardPath.c_str(), O_RDWR | O_APPEND);
  bool settled =
      (card >= 0 || (errno == ENOENT && networkMissing(writer->dir).empty())) &&
      settleCard(writer->dir, intent.cardPath, card, locks, withOwnLog(logs, writer->logPath), true,
                 notices, nullptr, nullptr, writer->sole ? writer->logPath : "");
  if (card >= 0) close(card);
  close(locks);
  return settled;
}

bool claimJournal(TapWriter* writer, int waitMs) {
  if (writer->journal < 0) {
    TapIntent current;
    writer->journal = openJournal(writer->dir, writer->logPath, &current);
    if (writer->journal < 0) {
      return failed(writer, journalPath(writer->logPath) + " cannot be opened");
    }
    writer->journalInode = inodeOf(writer->journal);
  }
  writer->sole = lockWithin(writer->journal, kWriterByte, waitMs);
  if (!writer->sole) {
    writer->problem = claimedElsewhere(journalPath(writer->logPath));
  }
  return writer->sole;
}

void closeTapWriter(TapWriter* writer) {
  if (!finishTap(writer) && writer->lastCard >= 0) close(writer->lastCard);
  for (int fd : {writer->log, writer->journal, writer->locks}) {
    if (fd >= 0) close(fd);
  }
  *writer = tapWriter(writer->dir, writer->logPath);
}
