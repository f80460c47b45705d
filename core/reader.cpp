// Reader start-up and the tap loop, and the reader's process-wide state.
#include "core/reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "core/console.h"
#include "core/intake.h"
#include "core/period.h"
#include "core/records.h"
#include "core/tap_journal.h"

char readerID[kReaderIdWidth];
char readerTxt[kReaderTxtWidth];
const char* readerBanner = "";
char name[kNameWidth];
CardRecord ud[2];
HeldCard heldCard;

// How long a tap's outcome stays on the screen before the next prompt.
constexpr int kTapPauseMs = 2500;

// Warns the operator, on the error stream, when the reader does not run in
// a network directory: without Card/ every card is unknown, and without
// Reader_txt/ no tap can be recorded.
static void warnIfNotInANetwork() {
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr) here[0] = '\0';
  const struct {
    const char* name;
    const char* consequence;
  } needed[] = {{"Card", "every card will be unknown"}, {"Reader_txt", "no tap can be recorded"}};
  for (const auto& directory : needed) {
    struct stat info {};
    if (stat(directory.name, &info) == 0 && S_ISDIR(info.st_mode)) continue;
    fprintf(stderr, "reader %s: warning: there is no %s/ directory in %s: %s\n", readerID,
            directory.name, here, directory.consequence);
  }
}

void runReader(const ReaderConfig& config, void (*determineController)()) {
  copyText(readerID, config.readerId);
  copyText(readerTxt, config.logPath);
  readerBanner = config.banner;
  warnIfNotInANetwork();
  // A write past a file-size limit fails (and is taken back) instead of
  // killing the reader between a tap's two appends.
  signal(SIGXFSZ, SIG_IGN);
  // Taps left in flight by any reader (this one stopped part-way, or all of
  // them by a power cut) are settled before the first tap.
  settleEveryJournal();
  // Without the timer the reader still works: ids keep rising and no
  // entry is ever stale.
  startPeriodTimer();
  for (;;) {
    determineController();
    pauseMs(kTapPauseMs);
  }
}
