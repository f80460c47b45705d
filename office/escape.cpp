// Escaping names and lines for the audit's reports: one byte at a time,
// and only where a name needs it.
#include "office/escape.h"

#include <algorithm>
#include <cstdio>

std::string shownName(const std::string& name) {
  bool plain = std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
  if (plain) return name;
  std::string shown;
  for (unsigned char c : name) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, c < 0x20 || c > 0x7e ? "\\x%02x" : "%c", c);
    shown += escaped;
  }
  return shown;
}

std::string quotedLine(const std::string& line) {
  size_t length = line.size();
  if (length > 0 && line[length - 1] == '\n') length--;
  if (length > 0 && line[length - 1] == '\r') length--;
  return "\"" + printable(line.substr(0, length)) + "\"";
}

std::string printable(const std::string& line) {
  return line.size() > kShownLineBytes ? shownName(line.substr(0, kShownLineBytes)) + "..."
                                       : shownName(line);
}
