// Formatting text.
#include "core/text.h"

#include <cstdarg>
#include <cstdio>

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

std::string counted(long long count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}
