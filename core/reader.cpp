// Reader start-up and the tap loop, and the reader's process-wide state.
#include "core/reader.h"

#include "core/console.h"
#include "core/period.h"
#include "core/records.h"

char readerID[kReaderIdWidth];
char readerTxt[kReaderTxtWidth];
const char* readerBanner = "";
char name[kNameWidth];
CardRecord ud[2];

// How long a tap's outcome stays on the screen before the next prompt.
constexpr int kTapPauseMs = 2500;

void runReader(const ReaderConfig& config, void (*determineController)()) {
  copyText(readerID, config.readerId);
  copyText(readerTxt, config.logPath);
  readerBanner = config.banner;
  // Without the timer the reader still works: ids keep rising and no
  // entry is ever stale.
  startPeriodTimer();
  for (;;) {
    determineController();
    pauseMs(kTapPauseMs);
  }
}
