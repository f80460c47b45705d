// End-to-end harness: a scratch network directory (Card/, Reader_txt/) in
// which the real reader programs run with their console on files, and the
// helpers that turn their output into bytes a test can compare exactly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "tests/support/programs.h"
#include "tests/support/test_support.h"

// A network directory; the readers started in it (Reader) have a `clear`
// that prints "[clear]", so tests see where the screen is cleared.
class Network {
 public:
  Network();
  std::string root() const { return dir_.path(); }
  void writeCard(const std::string& number, const std::string& bytes) const;
  std::string card(const std::string& number) const;
  std::string log(const std::string& file) const;

 private:
  ScratchDir dir_;
};

// Replaces every current-time line whose time lies in [from, to] by
// "<time>\n", and every 14-digit packed time in [from, to] by "<now>".
std::string maskTimes(const std::string& bytes, int64_t from, int64_t to);

// A reader program running in a network, its console input on a pipe and
// its console output on a file.
class Reader {
 public:
  // With `consoleRoom`, the console is a pipe that nobody reads and that has
  // room for that many bytes only: the reader blocks writing past them, as
  // on a terminal stopped with Ctrl-S, until unblockConsole. With
  // `errorsToConsole` its error stream is that console too.
  Reader(const Network& network, const std::string& program, size_t consoleRoom = 0,
         bool errorsToConsole = false);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Types text at the console.
  void type(const std::string& text);
  // Ends the console input and waits for the reader to exit; returns its
  // exit status, or -1 if it had to be killed.
  int finish();
  // Everything the reader has printed so far, and what it wrote to its
  // error stream.
  std::string output() const;
  std::string errors() const;
  // Reads what a blocked console holds, so that the reader goes on.
  void unblockConsole();
  // Waits until the reader has shown its card prompt `n` times.
  bool waitForPrompts(int n) const;
  // The console output with the times of the run masked.
  std::string maskedOutput() const { return maskTimes(output(), started_, finished_); }
  std::string masked(const std::string& bytes) const {
    return maskTimes(bytes, started_, finished_);
  }
  // Packed times just before the reader started and after it finished.
  int64_t started() const { return started_; }
  int64_t finished() const { return finished_; }

 private:
  Program program_;
  std::string outputPath_;
  int64_t started_ = 0, finished_ = 0;
};

// Waits until each reader shows its prompt and has begun its operating
// period, so that taps made from now on lie within it.
void waitForPeriods(std::initializer_list<Reader*> readers);

// Runs a reader on the given console input to its end.
struct ReaderRun {
  std::string output;  // console bytes, current-time lines masked
  std::string errors;  // what it wrote to its error stream
  int status;          // exit status
  int64_t from, to;    // packed times around the run
  // Masks the times that fall within the run.
  std::string masked(const std::string& bytes) const { return maskTimes(bytes, from, to); }
};
ReaderRun runToEnd(const Network& network, const std::string& program, const std::string& input);

// The path of a reader program.
std::string program(const std::string& name);

// What the console shows for one prompt of a reader with `banner`.
std::string prompt(const std::string& banner);

// The console lines of an accepted tap and of a refused one.
std::string charged(int fare, int balance);
std::string refused(int balance);
