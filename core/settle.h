// Settling: bringing a card and the logs to where the journals of the taps
// in flight on it say, in the order of where their records go on the card,
// so that several writers' taps that are committed but not yet on disk are
// completed one after the other. How and when, and what is never done (a
// record completed onto another card, a whole record cut off because of a
// log), is told in docs/transaction.md.
#pragma once

#include <dirent.h>

#include <string>
#include <vector>

#include "core/tap_journal.h"

// The journals of the network's writers as a reader keeps them open between
// taps: each is read through its descriptor once a look at its name shows
// it is still the file there (a journal made anew is opened anew).
struct OpenJournal {
  std::string path;
  int fd = -1;
  uint64_t inode = 0;
};

// A name of the log directory and the file it led to when it was listed.
struct ListedName {
  std::string path;  // Reader_txt/<name>
  uint64_t inode;
};

// What a reader keeps of the log directory between taps: the journals open,
// and the directory itself, listed once for each card held. One listing
// tells which journals are there and which file each name (and the
// reader's own log's) leads to, where a look at each name would be a round
// trip to the storage per name (docs/many-hosts.md).
struct JournalCache {
  std::vector<OpenJournal> journals;
  DIR* directory = nullptr;       // Reader_txt/, open
  uint64_t directoryInode = 0;    // the directory it is, to notice another made in its place
  uint64_t directoryDevice = 0;   // (or a file system mounted over it)
  bool listed = false;            // whether `names` is the listing made for the card held now
  std::vector<ListedName> names;  // the regular files of that listing
};

// Closes every journal and the directory the cache holds open, and empties
// it.
void closeJournals(JournalCache* cache);

// Lists the log directory into `cache` (its regular files and their inodes),
// the directory opened first if need be, and anew when Reader_txt/ is
// another directory now. Returns whether it was listed; when not, `listed`
// is false and each name is looked at on its own.
bool listLogDirectory(int dir, JournalCache* cache);

// Whether a listing holds `path`, and the inode it led to then.
bool listedInode(const std::vector<ListedName>& names, const std::string& path, uint64_t* inode);

// Every path below is taken from the network directory `dir`.

// Reads the journal at `path`, whoever made it, as readAnyJournal does,
// through `cache` when given (opening it there the first time, or when its
// name leads to another file now: told by the cache's listing when it has
// one, else by a look at the name). Sets `unreadable`, when given, when a
// file stands there that this user may not read, or that its file system
// cannot reach or read now (unreachable).
[[nodiscard]] bool readCachedJournal(int dir, JournalCache* cache, const std::string& path,
                                     TapIntent* intent, bool* unreadable = nullptr);

// Settles every tap in flight on the card at `cardPath`, which the caller
// holds (its lock byte taken on `locks`) and has open as `card` (-1: no
// file is there), as the journals of the logs `logs` (the network's
// writers) tell them, in the order of their offsets. A tap whose record and
// line are both whole is left to its writer unless `finishWhole`. A tap
// that can no longer be completed on its card (the card gone, replaced or
// moved on) is dropped: its line taken back, a copy of its intent kept
// beside its journal. What the operator should know is added to `notices`.
// Sets `settled`, when given, if it settled any tap (the card may have
// changed). Returns false when a tap on this card could not be settled (a
// journal held too long, a log that cannot be written, `locks` no longer
// the file named Card/taps.lock, a journal of another user's, a tap made
// under another lock file whose writer may be alive): the card is then not
// to be read. Only the writer of the log `ownLog` settles a tap of its own
// made under another lock file. The journals are read through `cache`
// when given.
[[nodiscard]] bool settleCard(int dir, const std::string& cardPath, int card, int locks,
                              const std::vector<std::string>& logs, bool finishWhole,
                              std::vector<std::string>* notices, bool* settled = nullptr,
                              JournalCache* cache = nullptr, const std::string& ownLog = "");

// Settles every tap in flight in the journals of `logs`, each card's taps
// under that card's lock: what a reader does when it starts, so that a
// power cut leaves nothing in flight once any reader is running again.
// Does nothing while the network directory is missing (networkMissing).
// `ownLog` is the caller's own log (see settleCard). Returns whether all
// were settled.
[[nodiscard]] bool settleEveryJournal(int dir, const std::vector<std::string>& logs,
                                      std::vector<std::string>* notices,
                                      const std::string& ownLog = "");
