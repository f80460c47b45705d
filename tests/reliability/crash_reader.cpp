// A reader for the crash test: the real tap of a subway or the bus reader,
// card numbers from standard input, but no pause between taps, so that it
// is busy recording most of the time it runs. Usage: crash_reader S1|S3|B
// [trust-storage]; with trust-storage it taps on whatever file system it
// finds, as the tests that show why each mount option is needed must.
#include <cstring>

#include "bus/dispatch.h"
#include "core/reader.h"
#include "core/reader_state.h"
#include "readers/network.h"
#include "subway/dispatch.h"

int main(int argc, char** argv) {
  if (argc != 2 && (argc != 3 || strcmp(argv[2], "trust-storage") != 0)) return 2;
  trustStorage = argc == 3;
  for (const ReaderConfig& reader : kNetworkReaders) {
    if (strcmp(argv[1], reader.readerId) != 0) continue;
    bool bus = reader.readerId[0] == 'B';
    // As every reader does at start: among others, taps left in flight are
    // settled.
    if (!startReader(reader, networkLogPaths())) return exitStatus;
    while (exitStatus < 0) {
      if (bus) {
        bus::determineController();
      } else {
        subway::determineController();
      }
    }
    return exitStatus;
  }
  return 2;
}
