// What every office command shares: the exit statuses a script can rely
// on, the name the tool was run by, and how a command says that its
// command line was wrong or that it was refused.
#pragma once

#include <cstdint>
#include <string>

// Exit statuses a script can rely on, each meaning the same for every
// command (card_tool's help prints the table; docs/operations.md says why
// these five).
constexpr int kDone = 0;       // done; the audit: and everything matches
constexpr int kRefused = 1;    // refused, naming why; the audit: anomalies were found
constexpr int kUsage = 2;      // the command line was wrong
constexpr int kNoNetwork = 3;  // DIR is not a network directory, or cannot be opened or listed
constexpr int kNoOutput = 4;   // the command's output could not be written

// What a card number is, as a wrong one is told.
inline constexpr char kCardNumberRule[] =
    "a card number has 1 to 10 characters and no '/', '\\' or white space";
inline constexpr char kOfficeCardNumberRule[] =
    "a card number has 1 to 10 characters, printable ASCII, and no ',', '/', '\\' or white "
    "space";

// The name the tool was run by (card_tool, or fare-card-tool as installed),
// for its usage lines and messages; set once, first thing in main.
extern std::string programName;

// Reports a wrong command line, pointing to the help of `command` (the
// tool's own when empty). Returns kUsage.
int usage(const std::string& problem, const std::string& command = "");

// Reports a command that was refused, naming why. Returns kRefused.
int refuse(const std::string& problem);

// Reports that the network directory is none, or cannot be opened or
// listed, naming why. Returns kNoNetwork.
int noNetwork(const std::string& problem);

// Reports that what a command made (a list or report on standard output,
// the audit's database) could not be written, naming why. Returns
// kNoOutput.
int outputLost(const std::string& problem);

// What a failed system call tells the operator, in one shape for every
// command: the file, what was tried (`call`: "open", "read", "write",
// "flush to disk") and the system's reason, from `error` (errno when not
// given): "Card/7.txt: open: Permission denied".
std::string systemError(const char* call, const std::string& file, int error = -1);

// Tells the operator a warning on the error stream.
void warn(const std::string& warning);

// Parses a balance: digits only, at most what a card can hold. Returns
// false, leaving `balance` alone, for anything else.
[[nodiscard]] bool parseBalance(const char* text, int32_t* balance);
