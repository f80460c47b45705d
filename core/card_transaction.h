// One tap as one transaction on its card. Intake holds the card, open and
// locked, from before it reads the card's last two records until the tap
// ends; the writer records the tap through that same descriptor, with its
// log line, all or nothing (see tap_journal.h). Two readers that tap one
// card at once therefore act one after the other, the second deciding from
// the first's record. No lock is held between taps or while a reader waits
// for its console input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/card_file.h"
#include "core/records.h"

// A card held for one tap.
struct HeldCard {
  int fd = -1;            // open and locked; -1 when no card is held
  int64_t size;           // its size when its tail was read
  char tail[kTailBytes];  // the bytes of that tail
  size_t tailLength;
};

// What opening a card for a tap gave.
enum class LoadStatus {
  kLoaded,      // held, and both records filled
  kNoCard,      // no file that can be opened for this card
  kUnreadable,  // a file that breaks the card format, cannot be read, or is
                // held by another reader for too long
};

// Reads the card at `path` as a reader would, without holding it: for tools
// that only look. On anything but kLoaded the records are left untouched.
LoadStatus loadCardTail(const char* path, CardRecord records[2]);

// Opens the card at `path`, takes its lock (waiting a few seconds at most
// for another reader to finish with it), settles any tap left in flight on
// it, and parses its last two records into `records`, older first. On
// kLoaded the card is held in `card`; on anything else nothing is held and
// the records are left untouched.
LoadStatus holdCard(const char* path, HeldCard* card, CardRecord records[2]);

// Lets go of a held card: closes it, which drops its lock.
void releaseCard(HeldCard* card);

// Records an accepted tap: its record on the held card and its line in the
// log at `logPath`, both or neither, flushed to disk. Refuses when the card
// has changed since its tail was read, or its path no longer names it. A
// tap with nothing to record (charged < 0) touches no file. Returns false
// when the tap could not be recorded; then neither file holds any of it.
bool recordTap(const HeldCard& card, const TapEntry& entry, const char* logPath);
