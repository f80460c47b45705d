// The reader's console output, built on stdio.
#include "core/console.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

void say(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
}

void sayLine(const char* text) {
  fputs(text, stdout);
  fputc('\n', stdout);
}

void flushConsole() {
  fflush(stdout);
}

void clearScreen() {
  flushConsole();
  // Its outcome does not matter: without a terminal the screen simply stays.
  int ignored = system("clear");
  (void)ignored;
}

void pauseMs(int milliseconds) {
  flushConsole();
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void tellOperator(const std::string& line) {
  fprintf(stderr, "%s\n", line.c_str());
}
