// Where a tap's bytes stand: what a card or a log holds of the record or
// line an intent puts there, and the few ways settling and a writer act on
// it (written again whole, taken back, flushed, a writer's tap abandoned).
// Every path is taken from the network directory `dir`.
#pragma once

#include <cstdint>
#include <string>

#include "core/tap_journal.h"

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
// Sets `unreadable`, when given, when the file could not be looked at (a
// failed stat or read: kOther then says nothing of what it holds).
Holds holds(int fd, int64_t offset, const std::string& bytes, bool card, bool* last,
            bool* unreadable = nullptr);

// Whether the open file `card` is the card the intent was decided from:
// the same file, and the tail the writer read just before the record.
// Sets `unreadable`, when given, when that could not be told (a failed
// stat or read).
bool sameCard(int card, const TapIntent& intent, bool* unreadable = nullptr);

// Writes the bytes where they go, whole, from the intent rather than from
// what the file shows: after a flush failed, what the file's cache holds
// is no proof of what is on disk.
[[nodiscard]] bool complete(int fd, int64_t offset, const std::string& bytes);

// Cuts the bytes off again when they, or a first part of them, end the
// file (`held` and `last` as holds found them).
[[nodiscard]] bool takeBack(int fd, Holds held, bool last, int64_t offset);

// Cuts off `bytes` (a card's record when `card`, else a log's line), or
// the first part of them that is there, when they stand at `offset` and end
// the open file; leaves the file alone when anything else is there (another
// writer's record). Returns false when a cut that was due failed.
[[nodiscard]] bool takeBackBytes(int fd, int64_t offset, const std::string& bytes, bool card);

// Opens the log an intent's line was written to, for writing at offsets
// (without O_APPEND): the log at its path if it is still that file, else
// the file of the log directory it was renamed to (a rotated log). Sets
// `atPath` when it is the log at the path. -1 when it is nowhere to be
// found.
[[nodiscard]] int openLogOf(int dir, const TapIntent& intent, bool* atPath);

// Takes back what is there of a tap's line, where it ends the log it was
// written to. A log that is gone (nothing at its path, or another plain
// file) holds nothing to take back; one that stands there but cannot be
// opened (a link, no permission) cannot be settled now.
[[nodiscard]] bool takeBackLine(int dir, const TapIntent& intent);

// Writes again and flushes the record and line of a committed tap when
// both are where its intent puts them (on the card it names, in the log it
// was written to), whole or with bytes a failed flush lost. Returns
// whether they are whole and on disk.
[[nodiscard]] bool flushCommitted(int dir, const TapIntent& intent);

// Makes the journal say on disk that its intent was abandoned, so that no
// settling completes it: the whole block written again with that state
// (after a failed flush the cache is no proof of what is on disk) and
// flushed. Returns whether the flush succeeded.
[[nodiscard]] bool markAbandoned(int journal, TapIntent intent);

// What became of the mark that takes a tap back.
enum class Mark {
  kOnDisk,      // flushed: no settling completes the tap
  kNotWritten,  // its write failed: the journal holds the intent as it was
  kUnknown,     // written but its flush failed: what the disk holds is not known
};

// Takes back a writer's tap that is not to be recorded once its intent may
// be on disk: the journal (open as `journal`) marked abandoned on disk,
// then what was written cut off from the open card and log (only this
// tap's own bytes, where they end their file: after a lock file was
// replaced another writer's record may follow the place this one's would
// have taken). Should the cutting fail, the abandoned journal is settled
// at the writer's next intake, or by the card's next reader.
Mark abandon(int journal, TapIntent intent, int card, int log);
