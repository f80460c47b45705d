// Fuzzes the reading of card numbers from the console with any input. The
// words read must be exactly the input's whitespace-separated words, each
// accepted when it can name a card and refused otherwise, and never more
// than a card number's room.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/intake.h"
#include "core/records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  // The words as a plain split of the input gives them.
  std::vector<std::string> expected;
  for (size_t i = 0; i < size;) {
    while (i < size && isspace(static_cast<unsigned char>(input[i]))) i++;
    size_t start = i;
    while (i < size && !isspace(static_cast<unsigned char>(input[i]))) i++;
    if (i > start) {
      std::string word = input.substr(start, i - start);
      // A card number: at most 10 characters, none of which leads out of Card/.
      bool usable = word.size() <= kCardNumberMax &&
                    word.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
      expected.push_back(usable ? word : "\x01refused");
    }
  }
  FILE* in = fmemopen(input.empty() ? const_cast<char*>("") : input.data(), size, "r");
  if (in == nullptr) return 0;
  std::vector<std::string> read;
  char word[kCardNumberMax + 1];
  for (WordStatus status; (status = readCardWord(in, word)) != WordStatus::kEndOfInput;) {
    if (status == WordStatus::kWord) {
      size_t length = strnlen(word, sizeof word);
      if (length == 0 || length > kCardNumberMax) abort();
      read.push_back(word);
    } else {
      read.push_back("\x01refused");
    }
    if (read.size() > expected.size()) abort();
  }
  fclose(in);
  if (read != expected) abort();
  return 0;
}
