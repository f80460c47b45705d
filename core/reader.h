// Start-up and the endless tap loop that all six readers share.
#pragma once

// What tells one reader from another; fixed in each program.
struct ReaderConfig {
  const char* readerId;  // "S1" ... "S5", or "B"
  const char* banner;    // first line of every prompt
  const char* logPath;   // this reader's log, under Reader_txt/
};

// Sets the reader's identity and log path, starts the operating period
// timer, then runs one tap after another with a 2500 ms pause between
// them. Returns only through the end of console input.
[[noreturn]] void runReader(const ReaderConfig& config, void (*determineController)());
