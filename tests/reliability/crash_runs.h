// Runs of the crash-test reader (the real tap, no pause): started in a
// network directory, as seen from one host or another, killed at random,
// and what they left settled as the network settles it; and the race of
// three readers on one card, which the one-host and the many-host tests
// both run.
#pragma once

#include <sys/types.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/programs.h"

// A card no tap can run dry: two issue records of 2,000,000,000.
extern const char kFreshCard[];

// A crash-test reader `reader` ("S1", "S3", "B") started in the network
// directory `dir` on the card numbers `taps`, far more than it can tap
// before it is killed. With `trustStorage` it taps whatever the file
// system under `dir` is.
Program startCrashReader(const std::string& reader, const std::string& taps, const std::string& dir,
                         bool trustStorage = false);

// Lets the readers run for a random 20 to 400 ms, then kills them all.
void killAtRandom(std::vector<Program>* readers, std::mt19937& random);

// What the killed readers left in the network directory `dir`, settled as
// the network settles it: each card by the next reader to hold it, each
// log by its reader starting again.
void settleAsTheNextReadersDo(int dir, const std::vector<std::string>& cards,
                              const std::vector<std::string>& readers);

// What a race of three readers on one card gave.
struct RaceResult {
  int rounds = 0;
  unsigned seed = 0;
  size_t taps = 0;      // records on the card after its first two
  std::string wrong;    // what disagrees (see disagreement); empty when nothing
  int64_t charged = 0;  // what the three logs charge
  int64_t dropped = 0;  // what the card's balance dropped
};

// Three readers (S1, S3, B; reader i running in dirs[i % dirs.size()], the
// same network seen from one host or several) tap card 1 as fast as they
// can, all at once, and are killed at random, for at least `rounds` rounds
// and more while fewer than `fewest` taps are on the card (at most 400);
// `beforeRound` runs before each round, given its number. The card is made
// in the network directory at `root` (one of `dirs`, or the same network
// as they are), and what they left is settled there after each round, and
// checked there (unless `checked` is false: see checkRace).
RaceResult raceOnOneCard(const std::string& root, const std::vector<std::string>& dirs, int rounds,
                         size_t fewest, const std::function<void(int round)>& beforeRound = nullptr,
                         bool trustStorage = false, bool checked = true);

// Checks what a race left in the network directory `root`: the taps on
// card 1, whether card and logs agree, what the logs charge and what the
// card dropped.
void checkRace(const std::string& root, RaceResult* race);
