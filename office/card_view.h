// Cards as the office shows them: one card's history and state, and the
// list of every card, judged as the readers judge a card (by its last two
// records) and worded as the audit words a fault.
#pragma once

#include <string>
#include <vector>

#include "core/records.h"

// A card file as the tool judges it: as the readers do, by its last two
// records. Its problem is worded as the audit words the same fault.
struct CardView {
  bool found = false;              // a file is there by the card's name
  bool readable = false;           // the readers take it: `records` hold its last two
  CardRecord records[2];           // older first; valid when readable
  std::vector<std::string> lines;  // every line, without its line feed; read when asked for
  std::string problem;             // why the card is of no use, when found and not readable
};

// The network directory is open as `dir` in every function below.

// Judges the card at `path`. Reads the whole file only when `withLines`
// asks for its lines, or to tell where a card the readers refuse breaks.
CardView viewCard(int dir, const std::string& path, bool withLines);

// Why a card that was found cannot be used, as the audit says it, or that
// there is none.
std::string cardFault(const std::string& path, const CardView& view);

// Where and when the trip of a card whose latest record is an entry began:
// "entered the subway at S1 on 2026-03-06 08:15:30 (tap S1_3)".
std::string entryText(const CardRecord& latest);

// Whether a card whose latest record is `latest` is in a trip.
bool inTrip(const CardRecord& latest);

// Prints card `number` in `format` (text, json or csv): its records, each
// marked with who made it (a reader's tap, the issue, the office, told by a
// line of the office's log), and its state now, with what its next tap does
// at each reader. Returns the exit status: kRefused for a card that is
// missing or the readers refuse, in every format; kNoOutput when what it
// prints cannot be written.
int showCard(int dir, const char* number, const std::string& format);

// Prints every card of Card/ in `format` (text, json or csv), and last the
// money the readable cards hold (their balances added up: in JSON "held",
// in CSV a row with no number). Returns the exit status: kNoNetwork when
// Card/ cannot be listed, kNoOutput when the list cannot be written; an
// unreadable card is listed, not refused.
int listCards(int dir, const std::string& format);
