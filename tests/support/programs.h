// The one way the tests start the real programs (readers, the crash-test
// reader, the card tool under strace): in a network directory, with a fake
// `clear` on their PATH, their console input on a pipe, their output on a
// file, a pipe or nowhere, and whatever limits and environment a test sets.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// How to start a program.
struct ProgramRun {
  std::vector<std::string> argv;         // the program (or strace and it) and its arguments
  std::string dir;                       // where it runs; empty: here
  std::vector<std::string> environment;  // what it sees besides PATH
  std::string clearMarker;               // what its `clear` prints ("[clear]"), or nothing
  std::string console;        // file for its standard output; empty: /dev/null (or the test's)
  std::string errors;         // file for its error stream; empty: the console's (or the test's)
  bool testsStreams = false;  // an empty console or errors is the test's own stream
  std::vector<std::string> morePath;     // folders its PATH has after the usual ones
  size_t consoleRoom = 0;                // > 0: its output is a pipe with room for that alone
  bool errorsToConsole = false;          // its error stream is its console (the pipe too)
  size_t errorRoom = 0;                  // > 0: its error stream is such a pipe, never read
  rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE, with SIGXFSZ at its default
  int closedStream = -1;                 // a standard stream (0, 1 or 2) it starts without
};

// A program started, its console input open.
struct Program {
  pid_t pid = -1;
  int input = -1;    // its console input; -1 once ended
  int console = -1;  // the read end of a console pipe (consoleRoom), or -1
  int errors = -1;   // the read end of an error pipe (errorRoom), or -1
};

// Starts a program. Its `clear` is a script in <dir or here>/bin.
Program startProgram(const ProgramRun& run);

// Types text at the program's console.
void typeInto(const Program& program, const std::string& text);

// Ends the program's console input and waits for it to exit, at most
// `seconds` (then it is killed). Returns its exit status, 128 + a signal
// that killed it, or -1 if it had to be killed.
int finishProgram(Program* program, double seconds = 120);

// Reads what a console pipe holds, so that a program blocked writing goes on.
void drainConsole(const Program& program);

// Polls until `ready` holds, for at most `seconds`; returns whether it did.
bool waitUntil(const std::function<bool()>& ready, double seconds);

// The environment variables of this process the programs must share with
// it: the time zone, the sanitizers' options, and a faster clock
// (libfaketime) when the tests run under one.
std::vector<std::string> sharedEnvironment();
