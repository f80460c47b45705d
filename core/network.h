// The network directory: the one place every program of the network finds
// its files. Card/ holds the cards (Card/<number>.txt) and the lock file;
// Reader_txt/ holds each writer's log, its journal beside it
// (<log>.pending), and whatever settling set aside (<name>.set-aside.…).
//
// A program holds the network directory open, as a directory descriptor,
// and reaches every file from it with the *at calls, by the relative paths
// below (the paths a journal block names). The readers hold their working
// directory (kHere); the office and the tests hold the directory they were
// given, and no program changes directory.
#pragma once

#include <fcntl.h>

#include <string>

// The network directory of a program that runs in it: its working directory.
constexpr int kHere = AT_FDCWD;

constexpr char kCardDirectory[] = "Card";
constexpr char kLogDirectory[] = "Reader_txt";
constexpr char kCardSuffix[] = ".txt";           // Card/<number>.txt
constexpr char kJournalSuffix[] = ".pending";    // Reader_txt/<log>.pending
constexpr char kSetAsideMark[] = ".set-aside.";  // <name>.set-aside.<time>.<pid>.<n>

// A card the office closed or replaced is kept, never tapped again, as
// Card/<number>.txt.retired; a replacement card is made as
// Card/<number>.txt.replacing and takes its name once the move is recorded.
constexpr char kRetiredSuffix[] = ".retired";
constexpr char kReplacingSuffix[] = ".replacing";

// The lock file: a card is held, and a journal written or settled, by the
// lock of one byte of it (tap_journal.h).
constexpr char kLockFile[] = "Card/taps.lock";

// The office's log of the money it loads onto cards (card_tool topup): a
// file beside the reader logs that no reader reads.
constexpr char kTopUpLog[] = "Reader_txt/Topup.txt";

// The path of the card numbered `number`: Card/<number>.txt.
std::string cardPath(const char* number);

// Whether `path` names a card: Card/<number>.txt with a card number.
bool isCardPath(const std::string& path);

// The card number in a card path; empty when `path` names no card.
std::string cardNumberOf(const std::string& path);

// The path a retired card is kept at, and the card number of such a path
// (empty when `path` names none).
std::string retiredPath(const char* number);
std::string retiredNumberOf(const std::string& path);

// The path a replacement card is made at before it takes its name.
std::string replacingPath(const char* number);

// The path of the log named `name` (as "Subway1.txt"): Reader_txt/<name>.
std::string logPath(const std::string& name);

// Whether `path` can name a log: Reader_txt/<name>, and no journal.
bool isLogPath(const std::string& path);

// The journal of the log at `logPath`: <log>.pending.
std::string journalPath(const std::string& logPath);

// Whether a name in Reader_txt/ is a journal's, and whether it is
// something settling set aside.
bool isJournalName(const std::string& name);
bool isSetAsideName(const std::string& name);

// The name <path>.set-aside.<time>.<pid>.<n> a note at `path` is set aside
// under (the n-th try of this process this second).
std::string setAsidePath(const std::string& path, int n);

// Whether the network directory `dir` has the directory `name` (kCardDirectory
// or kLogDirectory): the one test of what a network directory is made of.
bool hasDirectory(int dir, const char* name);

// Why the network directory `dir` cannot be settled yet: Card/ or
// Reader_txt/ is not a directory, or Card/ is empty (kCardsEmpty: a file
// system not mounted yet). Empty when it is there.
std::string networkMissing(int dir);
constexpr char kCardsEmpty[] = "Card/ is empty";

// Why the directory `dir` is no network directory at all, as `shownAs`:
// Card/ or Reader_txt/ is missing. Empty when both are there.
std::string notANetwork(int dir, const std::string& shownAs);

// Why this process may not write the network directory `dir`: it has one
// owner, the user that owns Card/, and every program that writes it runs
// as that user, root included, so that no file of it is made by another
// user (a lock file or a journal the readers could not open). Names the
// user to run as. Empty when this process runs as the owner, or when
// Card/ is not there.
std::string notOwner(int dir);
