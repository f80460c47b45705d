// The end-to-end harness.
#include "tests/e2e/network.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "core/clock.h"

Network::Network() {
  mkdir((dir_ / "Card").c_str(), 0755);
  mkdir((dir_ / "Reader_txt").c_str(), 0755);
}

void Network::writeCard(const std::string& number, const std::string& bytes) const {
  writeFile(dir_ / ("Card/" + number + ".txt"), bytes);
}

std::string Network::card(const std::string& number) const {
  return readFile(dir_ / ("Card/" + number + ".txt"));
}

std::string Network::log(const std::string& file) const {
  return readFile(dir_ / ("Reader_txt/" + file));
}

std::string program(const std::string& name) {
  return std::string(READERS_DIR) + "/" + name;
}

Reader::Reader(const Network& network, const std::string& programPath, size_t consoleRoom,
               bool errorsToConsole) {
  static int readers = 0;
  outputPath_ = network.root() + "/console-" + std::to_string(++readers) + ".txt";
  ProgramRun run;
  run.argv = {programPath};
  run.dir = network.root();
  // Under a faster clock (the tests run under libfaketime), the readers
  // share the test's clock: same start, same speed.
  run.environment = sharedEnvironment();
  run.clearMarker = "[clear]";
  run.console = outputPath_;
  run.errors = outputPath_ + ".err";
  run.consoleRoom = consoleRoom;
  run.errorsToConsole = errorsToConsole;
  started_ = getTime();
  program_ = startProgram(run);
}

Reader::~Reader() {
  if (program_.pid > 0 && finished_ == 0) finish();
}

void Reader::type(const std::string& text) {
  typeInto(program_, text);
}

void Reader::unblockConsole() {
  drainConsole(program_);
}

int Reader::finish() {
  int status = finishProgram(&program_);
  finished_ = getTime();
  return status;
}

std::string Reader::output() const {
  return readFile(outputPath_);
}

std::string Reader::errors() const {
  return readFile(outputPath_ + ".err");
}

bool Reader::waitForPrompts(int n) const {
  return waitUntil(
      [&] {
        std::string text = output();
        int prompts = 0;
        for (size_t at = 0; (at = text.find("Input Card : ", at)) != std::string::npos; at++) {
          prompts++;
        }
        return prompts >= n;
      },
      30);
}

ReaderRun runToEnd(const Network& network, const std::string& programPath,
                   const std::string& input) {
  Reader reader(network, programPath);
  reader.type(input);
  int status = reader.finish();
  return {maskTimes(reader.output(), reader.started(), reader.finished()), reader.errors(), status,
          reader.started(), reader.finished()};
}

void waitForPeriods(std::initializer_list<Reader*> readers) {
  for (Reader* reader : readers) ASSERT_TRUE(reader->waitForPrompts(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
}

// Masks the current-time lines of the console.
static std::string maskTimeLines(const std::string& bytes, int64_t from, int64_t to) {
  const std::string label = euckr("현재 시간 : ");
  std::string out;
  size_t at = 0, found;
  while ((found = bytes.find(label, at)) != std::string::npos) {
    size_t end = bytes.find('\n', found);
    if (end == std::string::npos) break;
    int y, mo, d, h, mi, s;
    std::string line = bytes.substr(found + label.size(), end - found - label.size());
    bool parsed = sscanf(line.c_str(), "%d-%d-%d, %d:%d:%d", &y, &mo, &d, &h, &mi, &s) == 6;
    int64_t packed =
        y * 10000000000LL + mo * 100000000LL + d * 1000000LL + h * 10000 + mi * 100 + s;
    bool now = parsed && packed >= from && packed <= to;
    out += bytes.substr(at, found - at) + (now ? "<time>" : bytes.substr(found, end - found));
    at = end;
  }
  return out + bytes.substr(at);
}

std::string maskTimes(const std::string& bytes, int64_t from, int64_t to) {
  std::string masked = maskTimeLines(bytes, from, to), out;
  for (size_t i = 0; i < masked.size();) {
    size_t digits = 0;
    while (i + digits < masked.size() && isdigit(static_cast<unsigned char>(masked[i + digits]))) {
      digits++;
    }
    if (digits == 14) {
      int64_t packed = std::stoll(masked.substr(i, 14));
      out += packed >= from && packed <= to ? "<now>" : masked.substr(i, 14);
    } else {
      out += masked.substr(i, digits ? digits : 1);
    }
    i += digits ? digits : 1;
  }
  return out;
}

std::string prompt(const std::string& banner) {
  return "[clear]" + banner + "\n\nInput Card : ";
}

std::string charged(int fare, int balance) {
  return euckr("\n요금 : " + std::to_string(fare) + "\n잔액 : " + std::to_string(balance) + "\n") +
         "<time>\n";
}

std::string refused(int balance) {
  return euckr("\n잔액이 부족합니다.\n잔액 : " + std::to_string(balance) + "\n") + "<time>\n";
}
