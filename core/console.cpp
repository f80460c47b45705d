// The reader's console output, built on stdio.
#include "core/console.h"

#include <chrono>
#include <cstdarg>
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

std::string formatText(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) >= sizeof buffer) length = sizeof buffer - 1;
  return std::string(buffer, static_cast<size_t>(length));
}
