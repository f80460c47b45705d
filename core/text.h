// Formatting text, for the file formats and the console alike, and counts
// told in words.
#pragma once

#include <string>

// Formats like printf into a string (at most 255 bytes).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A count and its noun, the noun singular for exactly one: counted(1,
// "record", "records") is "1 record", counted(0, ...) "0 records".
std::string counted(long long count, const char* singular, const char* plural);
