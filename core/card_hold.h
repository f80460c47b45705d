// Holding a card for one tap: its byte of the lock file taken, then the
// card opened by its name, what is in flight on it settled, and its last
// two records read, all before the tap is decided; the tap is recorded
// through the same descriptor (card_transaction.h), and only then is the
// card let go. Every path is taken from the network directory `dir`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/card_file.h"
#include "core/network.h"
#include "core/records.h"
#include "core/settle.h"

// A card held for one tap.
struct HeldCard {
  std::vector<std::string> notices;  // for the operator, told once the card is let go
  int dir = kHere;                   // the network directory it is in
  int fd = -1;                       // open; -1 when no card is held
  int locks = -1;                    // the lock file, the card's byte locked
  bool ownLocks = false;             // whether `locks` was opened for this card (else lent)
  std::string path;                  // Card/<number>.txt
  uint64_t inode;                    // the card's inode
  int64_t size;                      // its size when its tail was read
  char tail[kTailBytes];             // the bytes of that tail
  size_t tailLength;
  bool listed = false;               // whether the log directory was listed while it was held
  std::vector<ListedName> logNames;  // that listing: which file each name of Reader_txt/ led to
};

// What opening a card for a tap gave.
enum class LoadStatus {
  kLoaded,      // held, and both records filled
  kNoCard,      // no file that can be opened for this card
  kUnreadable,  // a file that breaks the card format, cannot be read, is no
                // plain file, or is held by another reader for too long
};

// Reads the card at `path` as a reader would, without holding it: for tools
// that only look. On anything but kLoaded the records are left untouched.
[[nodiscard]] LoadStatus loadCardTail(int dir, const char* path, CardRecord records[2]);

// Takes the card's lock (waiting a few seconds at most for another writer
// to finish with it) through the lock file open as `locks` (-1: opened for
// this card), opens the card at `path`, settles any tap in flight on it
// that the journals of the logs `logs` tell of (adding what the operator
// should know to `notices`), and parses its last two records into
// `records`, older first. On kLoaded the card is held in `card`; on
// anything else nothing is held and the records are left untouched, and
// errno tells why the call that failed did (lostByItsFileSystem: the
// network directory's file system lost its files).
// The journals are read through `cache` when given (see settle.h), and the
// log directory's listing made then is kept in `card`. A lock file lent
// that is no longer the file named Card/taps.lock holds no card: the card
// is then held through the lock file opened anew, for this card alone.
[[nodiscard]] LoadStatus holdCard(int dir, const char* path, const std::vector<std::string>& logs,
                                  HeldCard* card, CardRecord records[2],
                                  std::vector<std::string>* notices, int locks = -1,
                                  JournalCache* cache = nullptr);

// Lets go of a held card: closes it and drops its lock.
void releaseCard(HeldCard* card);
