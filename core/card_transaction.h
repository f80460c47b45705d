// One tap as one transaction on its card. Intake holds the card (its byte
// of the lock file taken, then the card opened: card_hold.h) from before it reads the
// card's last two records until the tap is recorded; the writer records
// the tap through that same descriptor, with its log line, all or nothing:
// the tap is committed once its intent is on disk in the writer's journal,
// and its record and line are flushed after the card is let go. Two readers
// that tap one card at once therefore act one after the other, the second
// deciding from the first's record. No lock is held between taps or while
// a reader waits for its console. The design is told in docs/transaction.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/card_file.h"
#include "core/card_hold.h"
#include "core/records.h"
#include "core/settle.h"

// A writer's own log and journal (a reader's, or the office's top-up log),
// kept open between taps, and its last tap until that tap's record and line
// are on disk.
struct TapWriter {
  int dir = kHere;        // the network directory it writes
  std::string logPath;    // its log, under Reader_txt/; the journal is beside it
  int log = -1;           // the log, open for appending
  uint64_t logInode = 0;  // the log's inode, to notice a log rotated or removed
  int journal = -1;       // the journal, open
  uint64_t journalInode = 0;
  int locks = -1;            // the lock file, for the journal's byte
  int lastCard = -1;         // the card of the tap recorded last, until it is flushed
  std::string lastBlock;     // that tap's journal block
  bool flushFailed = false;  // a flush of that tap failed: its bytes are written again first
  bool undecided = false;    // recordTap could not tell the disk the tap was abandoned
  bool sole = false;         // holds its journal's writer byte: no other process writes it
  bool lost = false;         // its file system lost a file it keeps open (lostByItsFileSystem):
                             // all are let go, and opened anew, before its next tap
  std::string problem;       // what failed last, naming the file and the reason
};

// Lets go of every file the writer keeps open (its log, journal and lock
// file, and the card of its last tap, unflushed: that tap stays committed
// in its journal for whoever settles next) and of its journal's claim, so
// that each is opened where its name now leads, and the journal claimed
// again, when next used: for a writer whose file system lost them (a client
// that reconnected without their locks, a mount that went). What it knows
// of an undecided tap is kept.
void letGoOfFiles(TapWriter* writer);

// The writer's own open of the lock file (opened on first use), to lend to
// holdCard; -1 when it cannot be opened. Whether Card/taps.lock is still
// the file it opened is looked at once the card is held (holdCard), and a
// writer whose lock file is not the one its card is held by opens it anew
// as it records the tap.
int writerLocks(TapWriter* writer);

// Opens nothing yet: a writer whose log is at `logPath`.
TapWriter tapWriter(int dir, const std::string& logPath);

// Records an accepted tap: `cardBytes` (CR LF and the record) on the held
// card and `logBytes` (the line and CR LF) in the writer's log, both or
// neither. The tap is committed, and true returned, once its intent is
// known to be on disk (its flush succeeded, and Card/taps.lock is still
// the file the card is held by) and both appends are whole; their flush
// follows in finishTap. Refuses when the card has changed behind its lock
// since its tail was read, and an intent that would not read back as
// written. Returns false when the tap is not recorded, saying why in
// `writer->problem`: the journal then says so on disk, and what was
// written is cut off now or by the card's next holder. Should even that
// mark not reach the disk, `writer->undecided` is set and the journal's
// lock kept: the caller lets go of the card, then calls decideTap before
// it says anything of the tap.
[[nodiscard]] bool recordTap(const HeldCard& card, const std::string& cardBytes,
                             const std::string& logBytes, TapWriter* writer);

// Waits, retrying every second, until the disk takes the mark that the
// undecided tap was abandoned (so no settling ever completes it), then
// lets go of the journal. Should the journal's descriptor be lost by its
// file system (its client reconnected without its locks, or its mount
// went), the journal is found again by its name (after `lookAgain`, when
// given, has looked for the network directory where the writer was
// started) under its byte of a lock file opened anew: if it still holds
// the intent, the mark is written there; if not, another writer settled
// the tap meanwhile, and it is recorded if its card holds its record.
// Returns whether the tap stands recorded so (writer->problem says how);
// false when it was taken back, or when no tap was undecided.
[[nodiscard]] bool decideTap(TapWriter* writer, bool (*lookAgain)() = nullptr);

// Flushes the record and line of the tap the writer recorded last, and
// marks its journal idle. After a flush that failed, both are written again
// from the journal's copy before a flush counts. Returns false when they
// could not be flushed, saying why in `writer->problem`: the tap stays
// committed in the journal, and is written and flushed again before the
// writer's next intent (or settled by whoever comes next).
[[nodiscard]] bool finishTap(TapWriter* writer);

// Settles the writer's own journal if a tap of its own is left in flight
// there (one it could not take back), under that tap's card's lock.
// Returns whether the journal is idle.
[[nodiscard]] bool settleOwnJournal(TapWriter* writer, const std::vector<std::string>& logs,
                                    std::vector<std::string>* notices);

// Claims the writer's journal for this process (a lock on a byte of the
// journal itself, held until the writer is closed), waiting at most
// `waitMs` for another process that holds it: a second copy of a reader,
// or another office command. Only a writer that holds its claim settles a
// tap of its own made under another lock file: no other process can then
// be recording it. Returns whether it is held; false also when the journal
// cannot be opened (see writer->problem).
[[nodiscard]] bool claimJournal(TapWriter* writer, int waitMs);

// Finishes the writer's last tap and closes its files.
void closeTapWriter(TapWriter* writer);
