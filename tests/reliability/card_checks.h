// What the reliability tests check of a network after readers were killed,
// failed or raced: that every card and log is whole, and that the cards
// and the logs tell the same taps.
#pragma once

#include <string>
#include <vector>

#include "core/records.h"

// Splits bytes at `separator`; the part after the last one comes last.
std::vector<std::string> split(const std::string& bytes, const std::string& separator);

// What is torn in the card file `card` of the network directory `root`, or
// nothing when every record is whole: its last two read as intake reads
// them, and each line parses as a record. Fills `records`.
std::string wholeCard(const std::string& root, const std::string& card,
                      std::vector<CardRecord>* records);

// Whether every line of a reader log is whole and ends with CR LF; counts them.
bool wholeLog(const std::string& path, size_t* lines);

// The log of reader "S1" ... "S5" or "B": its path in the network
// directory (as the core calls take it), or its whole path in the network
// directory `root` when one is given.
std::string logOf(const std::string& reader, const std::string& root = "");

// What is wrong with the card `card` of the network directory `root`
// against the logs of `readers`, the only readers to have tapped it since
// its first two records (and the only cards they tapped): empty when every
// record after those two has exactly the next line of its reader's log
// (same time, mode and direction, the balance it took as the fare, its own
// tap id or, for a transfer and the exit after one, the one before), every
// line has its record, and every record follows from the one before (an
// exit follows an entry; an entry over an open trip settles it). Counts
// the taps.
std::string disagreement(const std::string& card, const std::vector<std::string>& readers,
                         const std::string& root, size_t* taps);

// What is wrong with the network at `root` after a tap on its card `card`
// was put to the test: the disagreement of the card and the logs of `readers`, a
// journal of theirs left in flight, or a note left beside the cards or the
// logs (what the audit would report); empty when nothing is.
std::string agreement(const std::string& card, const std::vector<std::string>& readers,
                      const std::string& root);
