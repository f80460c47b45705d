// The tap journal: one block beside each writer's log (<log>.pending) that
// makes a tap's two appends, the card's record and the log's line, one
// transaction, and the lock file that says who may touch a card or a
// journal. The design, and what it survives, is told in docs/transaction.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/network.h"

// What a journal says of the tap in flight. An intent names the card it
// was decided from (its inode, its size and the tail the reader read), so
// that it is never completed onto another file under the same name, and
// the log as it stood when it was written.
struct TapIntent {
  char state;                 // kPending, kAbandoned or kIdle
  std::string cardPath;       // the card: Card/<number>.txt
  uint64_t cardInode;         // the card's inode
  int64_t cardOffset;         // the card's size before the record
  std::string cardTail;       // the card's bytes just before the record: what it continues
  std::string cardBytes;      // what the card gets: CR LF and the record
  std::string logPath;        // the log: Reader_txt/<name>, the journal's own
  uint64_t logInode;          // the log's inode
  int64_t logOffset;          // the log's size before the line
  std::string logBytes;       // what the log gets: the line and CR LF
  uint64_t lockInode = 0;     // the lock file the writer held the card by (0: not told)
  uint64_t journalInode = 0;  // the journal the intent was written to (0: not told)
};

constexpr char kPending = 'P';    // committed: both appends are to be whole
constexpr char kAbandoned = 'A';  // recording failed: both appends are to be taken back
constexpr char kIdle = '-';       // no tap in flight

// The intent of a journal with no tap in flight.
inline const TapIntent kIdleIntent{kIdle, "", 0, 0, "", "", "", 0, 0, ""};

// A journal is one block of this size, rewritten in place, so that writing
// it never changes the file's size and a flush has only the block to write.
constexpr size_t kJournalBytes = 512;

// The byte of a journal that its writer's process holds for as long as it
// writes it (its claim): far past the block, so that nothing reading the
// block meets it.
constexpr int64_t kWriterByte = int64_t{1} << 40;

// How long a reader waits for another to finish with a card or a journal.
constexpr int kLockWaitMs = 3000;

// The block for an intent: its card and log lines, the bytes it continues
// and appends, a checksum of all that, padding, and the state as the
// block's last byte (a write cut short leaves the state it had).
std::string formatIntent(const TapIntent& intent);

// Parses a block. An idle block is read as idle whatever else it holds.
// Anything else must be exactly a block that formatIntent makes for one
// card record (two for the office's log) continuing a card's tail and one
// line of the same tap, for a card of Card/ and a log of the log
// directory; returns false otherwise.
[[nodiscard]] bool parseIntent(const std::string& block, TapIntent* intent);

// Every path below is taken from the network directory `dir`.

// Reads the journal at `path` without following a link or blocking.
// Returns false when there is no journal block there, one for another log
// than the one it stands beside, or one another user made (no reader acts
// on it).
[[nodiscard]] bool readWritersJournal(int dir, const std::string& path, TapIntent* intent);

// Reads the journal at `path` as the office looks at it, whoever made it;
// otherwise as readWritersJournal.
[[nodiscard]] bool readAnyJournal(int dir, const std::string& path, TapIntent* intent);

// Opens the journal of the log at `logPath` for writing, creating an idle
// one if there is none, and reads what it holds into `intent`. An empty
// file is made an idle journal in place; anything else at the journal's
// path that is not its journal block (a FIFO, a directory, a link, a file
// with a second name, a file of another size or shape) is moved aside
// (see setAside), never followed, read whole or truncated. A journal it
// made and could not write is removed again. Returns the descriptor, or -1.
[[nodiscard]] int openJournal(int dir, const std::string& logPath, TapIntent* intent);

// Reads the block of the open journal `fd`: the one reader of a journal
// block, which every other goes through. False when it holds none, or,
// when `path` (where the journal stands) is given, when it holds an intent
// for another log than the one it stands beside (a copy of another's).
[[nodiscard]] bool readJournalBlock(int fd, TapIntent* intent, const std::string& path = "");

// Writes a whole block for the intent into the journal, in one write,
// without flushing it. Returns whether the write was whole.
[[nodiscard]] bool putIntent(int journal, const TapIntent& intent);

// Writes a whole block for the intent into the journal and flushes it.
// Returns whether it is on disk.
[[nodiscard]] bool writeIntent(int journal, const TapIntent& intent);

// Changes the state byte of the journal, flushing it when `flush`.
[[nodiscard]] bool markJournal(int journal, char state, bool flush);

// Moves whatever stands at `path` to <path>.set-aside.<time>.<pid>.<n>,
// without opening it and never over anything moved aside before.
[[nodiscard]] bool setAside(int dir, const std::string& path);

// Keeps a copy of an intent that settling had to drop, for the operator:
// <journal>.set-aside.<time>.<pid>.<n>, made anew. Returns whether it is
// written.
[[nodiscard]] bool keepDroppedIntent(int dir, const std::string& journal, const TapIntent& intent);

// The lock file of the network, Card/taps.lock: a card is held, and a
// journal written or settled, by the lock of one byte of it. Only the
// readers and the office can open it (it is made with mode 0600), so no
// other user who may read a card or a log can hold up a tap. Returns the
// descriptor of a new open of it, or -1.
[[nodiscard]] int openLocks(int dir);

// Whether the lock file open as `locks` is still the file named
// Card/taps.lock: a lock held on a file that was removed or replaced keeps
// no other writer out, who locks the file now under that name.
[[nodiscard]] bool locksStillNamed(int dir, int locks);

// The byte of the lock file that holds the card at `cardPath`, and the one
// that holds the journal of the log at `logPath`. Two cards (or journals)
// may share a byte; they are then held one after the other.
int64_t cardLockByte(const std::string& cardPath);
int64_t journalLockByte(const std::string& logPath);
