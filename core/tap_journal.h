// The tap journal: one block beside each reader's log (<log>.pending) that
// makes a tap's two appends, the card's record and the log's line, one
// transaction. Before either append the reader writes its intent there and
// flushes it to disk: which card, where its record starts and what it is,
// and the same for the log line. A reader killed part-way, or a machine
// that loses power, leaves the intent behind, and the card's next reader
// (any reader, led there by a hint beside the card), the log's own reader
// tapping again, or any reader starting, brings both files to where the
// intent says. A tap whose writes fail while the reader lives is marked
// abandoned and taken back instead.
#pragma once

#include <cstdint>
#include <string>

// What a journal says of the tap in flight.
struct TapIntent {
  char state;             // kPending, kAbandoned or kIdle
  std::string cardPath;   // the card: Card/<number>.txt
  int64_t cardOffset;     // the card's size before the record
  std::string cardBytes;  // what the card gets: CR LF and the record
  std::string logPath;    // the log: Reader_txt/<name>, the journal's own
  int64_t logOffset;      // the log's size before the line
  std::string logBytes;   // what the log gets: the line and CR LF
};

constexpr char kPending = 'P';    // being recorded: both appends are to be whole
constexpr char kAbandoned = 'A';  // recording failed: both appends are to be taken back
constexpr char kIdle = '-';       // no tap in flight

// A journal is one block of this size, rewritten in place, so that writing
// it never changes the file's size and a flush has only the block to write.
constexpr size_t kJournalBytes = 256;

// How long a reader waits for another to finish with a card or a log.
constexpr int kLockWaitMs = 3000;

// The directory of the reader logs, where every journal lies.
constexpr char kLogDirectory[] = "Reader_txt";

// The journal of the log at `logPath`.
std::string journalPath(const char* logPath);

// The block for an intent: the card line, the log line, the bytes of both,
// a checksum of all that, padding, and the state as the block's last byte
// (a write cut short leaves the state it had).
std::string formatIntent(const TapIntent& intent);

// Parses a block. An idle block is read as idle whatever else it holds.
// Anything else must be exactly a block that formatIntent makes for one
// card record and one log line of the same tap; returns false otherwise.
bool parseIntent(const std::string& block, TapIntent* intent);

// Brings the card and the log, both open and locked by the caller, to
// where the intent says: a pending tap's record and line are completed
// wherever each was cut; an abandoned tap's, or a pending tap's that one
// of the files no longer has room for (other bytes where it goes, or a
// write that fails), are cut off again where they are the last thing in
// their file. Returns whether both files were flushed.
bool settleIntent(const TapIntent& intent, int card, int log);

// Opens this reader's journal for writing, creating an idle one if there is
// none, and reads what it holds into `intent`. Anything at the journal's
// path that is not a journal block (a FIFO, a directory, a link, a file of
// another size or shape) is moved aside to <journal>.set-aside.<time>.<pid>
// (never over anything), never followed, read whole or truncated. Returns
// the descriptor, or -1.
int openJournal(const char* logPath, TapIntent* intent);

// Writes a whole intent into the journal and flushes it. Returns whether
// it is on disk.
bool writeIntent(int journal, const TapIntent& intent);

// Changes the state byte of the journal, flushing it when `flush`.
bool markJournal(int journal, char state, bool flush);

// Reads the block of the open journal `fd`; false when it holds none.
bool readJournalBlock(int fd, TapIntent* intent);

// Reads the journal at `path` without following a link or blocking.
// Returns false when there is no journal block there.
bool readJournal(const char* path, TapIntent* intent);

// While a tap is being recorded, its card has a hint beside it,
// <card>.pending, holding the path of the journal of that tap, so that the
// card's next reader finds the tap at once if its reader is stopped. Hints
// are not flushed: after a power cut every reader settles every journal
// when it starts (settleEveryJournal).
std::string hintPath(const char* cardPath);

// Leaves the hint beside a card, before its tap's intent is written:
// never over anything that stands there. Returns false if it could not.
bool leaveHint(const char* cardPath, const std::string& journal);

// Removes the hint beside a card.
void dropHint(const char* cardPath);

// Settles the tap whose hint stands beside the card `cardPath`, open and
// locked as `card`, and removes the hint. A hint that is not a journal's
// path is moved aside (an empty one, left by a reader stopped as it wrote
// it, is removed); one whose journal is idle, or holds another card's tap,
// is removed. Returns false, and keeps the hint, when a tap in flight on
// this card could not be settled (its log is held too long, or cannot be
// opened): the card is then not to be read.
bool settleHinted(const char* cardPath, int card);

// Settles every tap in flight in every journal of the network, taking each
// card's lock and then its log's: what a reader does when it starts, so that
// a power cut leaves nothing in flight once any reader is running again. A
// tap it cannot settle gets its hint back beside its card, so that no
// reader reads that card until it is settled. Returns whether all were
// settled.
bool settleEveryJournal();

// Settles this reader's own journal if a tap is in flight there, taking the
// card's lock and then the log's. Returns whether the journal is idle.
bool recoverJournal(const char* logPath);
