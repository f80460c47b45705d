// A reader for the crash test: the real tap of a subway or the bus reader,
// card numbers from standard input, but no pause between taps, so that it
// is busy recording most of the time it runs. Usage: crash_reader S1|S3|B
#include <cstring>
#include <string>

#include "bus/dispatch.h"
#include "core/period.h"
#include "core/records.h"
#include "core/tap_journal.h"
#include "subway/dispatch.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  bool bus = strcmp(argv[1], "B") == 0;
  copyText(readerID, argv[1]);
  copyText(readerTxt, bus ? "Reader_txt/Bus.txt"
                          : (std::string("Reader_txt/Subway") + argv[1][1] + ".txt").c_str());
  readerBanner = "Crash test reader";
  // As every reader does at start: taps left in flight are settled.
  settleEveryJournal();
  startPeriodTimer();
  for (;;) {
    if (bus) {
      bus::determineController();
    } else {
      subway::determineController();
    }
  }
}
