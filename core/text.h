// Formatting text, for the file formats and the console alike.
#pragma once

#include <string>

// Formats like printf into a string (at most 255 bytes).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
