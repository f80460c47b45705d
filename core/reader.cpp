// Reader start-up, the tap transaction and the tap loop.
#include "core/reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "core/clock.h"
#include "core/console.h"
#include "core/intake.h"
#include "core/period.h"
#include "core/reader_state.h"
#include "core/tap_journal.h"
#include "core/tap_output.h"

// How long a tap's outcome stays on the screen before the next prompt.
constexpr int kTapPauseMs = 2500;

CardData arrangeCardData(DeriveTripState derive, const CardRecord records[2]) {
  return derive(records[0], records[1], name, readerID, init.load(), calendarNow());
}

TapResult chooseAndClaim(const CardData& card, const char* readerId, ChooseFare choose) {
  // Should the timer open a new period between the choice and the claim,
  // the number is gone: the tap is chosen again with the new period's.
  for (;;) {
    int32_t number = nextTapNumber();
    TapResult result = choose(card, TapStamp{readerId, number, getTime()});
    if (result.fare < 0 || claimTapNumber(number)) return result;
  }
}

void tapTransaction(CardData (*arrange)(const CardRecord records[2]), ChooseFare choose) {
  const CardRecord* records = receivingCardInterface();
  CardData card = arrange(records);
  TapResult result = chooseAndClaim(card, readerID, choose);
  if (result.fare >= kRefusedFare) {
    moniterInterface(result.fare, result.balance);
    writingInterface(result.entry);
  } else if (const char* message = unsettledMessage(result.fare)) {
    sayLine(message);
  }
  // The card was held from intake on: the next reader to tap it goes on
  // from this tap's record.
  releaseCard(&heldCard);
}

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

void startReader(const ReaderConfig& config) {
  copyText(readerID, config.readerId);
  copyText(readerTxt, config.logPath);
  showBanner(config.banner);
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
}

void runReader(const ReaderConfig& config, void (*determineController)()) {
  startReader(config);
  for (;;) {
    determineController();
    pauseMs(kTapPauseMs);
  }
}
