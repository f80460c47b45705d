// Reader start-up and the tap loop.
#include "core/reader.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/console.h"
#include "core/file_io.h"
#include "core/intake.h"
#include "core/packed_time.h"
#include "core/period.h"
#include "core/reader_state.h"
#include "core/settle.h"
#include "core/storage.h"
#include "core/tap_journal.h"

TapResult chooseAndClaim(const CardData& card, ChooseFare choose) {
  for (;;) {
    int32_t number = nextTapNumber();
    int64_t now = calendarNow();
    TapResult result = choose(card, TapStamp{readerID, number, timetolong(now), now});
    if (!isAccepted(result) || claimTapNumber(number)) return result;
  }
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
  } needed[] = {{kCardDirectory, "every card will be unknown"},
                {kLogDirectory, "no tap can be recorded"}};
  for (const auto& directory : needed) {
    if (hasDirectory(kHere, directory.name)) continue;
    warnOperator(std::string("there is no ") + directory.name + "/ directory in " + here + ": " +
                 directory.consequence);
  }
}

// Whether two looks name the same directory.
static bool sameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// The path the reader runs in, as the operator gave it: $PWD when it names
// the working directory (a path through a link stays that path), else the
// working directory's own; empty when neither can be had.
static std::string startedIn() {
  struct stat here {
  }, named{};
  const char* given = getenv("PWD");
  if (given != nullptr && given[0] == '/' && stat(".", &here) == 0 && stat(given, &named) == 0 &&
      sameFile(here, named)) {
    return given;
  }
  char path[PATH_MAX];
  return getcwd(path, sizeof path) != nullptr ? path : "";
}

// The inode of the Card/ directory of the network this reader has recorded
// in, 0 before it found one. The same volume mounted again shows the same
// Card/ (its inode numbers are the servers'); a copy or a restore put at
// the path, or an old local folder under a mount gone, shows another.
static ino_t networkCards = 0;

static ino_t cardsInode(const std::string& where) {
  struct stat cards {};
  std::string path = where + "/" + kCardDirectory;
  return stat(path.c_str(), &cards) == 0 && S_ISDIR(cards.st_mode) ? cards.st_ino : 0;
}

bool followNetworkDirectory() {
  struct stat named {
  }, held{};
  if (networkPath.empty() || stat(networkPath.c_str(), &named) != 0 || !S_ISDIR(named.st_mode)) {
    return false;
  }
  // Moved only when the directory held answers no more (its file system
  // gone) or holds no network, and the path names another directory now:
  // while the network held is there, every reader stays with it, whatever
  // is put at the path, so that no two readers record a card's taps in two
  // places.
  if (stat(".", &held) == 0 && (sameFile(held, named) || networkMissing(kHere).empty())) {
    return false;
  }
  // Only into the network recorded in so far, found again.
  if (networkCards != 0 && cardsInode(networkPath) != networkCards) {
    static bool told = false;
    if (!told) {
      warnOperator(networkPath +
                   " holds another network now than the one this reader records in (another "
                   "Card/ directory): the reader does not record there; restart it to do so");
    }
    told = true;
    return false;
  }
  if (chdir(networkPath.c_str()) != 0) {
    warnOperator(networkPath +
                 " names another directory now, which cannot be entered: " + strerror(errno));
    return false;
  }
  // A tap not yet flushed stays committed in its journal on the servers,
  // for the next settler; an undecided one is decided by its name.
  letGoOfFiles(&writer);
  closeJournals(&journals);
  networkReady = false;
  warnOperator(networkPath +
               " is another directory now (a file system mounted there, or mounted again): the "
               "reader records there from this tap on");
  return true;
}

bool checkNetwork(bool atStart) {
  if (networkReady) return true;
  // Before anything is made there (the lock file, a journal): a reader of
  // another user would make files the network's own readers cannot open.
  std::string wrongUser = notOwner(kHere);
  if (!wrongUser.empty()) {
    warnOperator("no tap is recorded here: " + wrongUser);
    exitStatus = EXIT_FAILURE;
    return false;
  }
  std::string missing = networkMissing(kHere);
  if (!missing.empty()) {
    // A missing directory was told of already; an empty Card/ is told here.
    if (atStart && missing == kCardsEmpty) {
      warnOperator(std::string(kCardsEmpty) +
                   ": every card will be unknown, and taps left in flight are not settled until "
                   "cards are there: is the network's file system mounted?");
    }
    return true;
  }
  if (networkCards == 0) networkCards = cardsInode(".");
  // Where the cards and logs are: the network directory's Card/ and
  // Reader_txt/, which may each be a mount of their own.
  std::string stale = trustStorage ? "" : staleStorage(kHere, kCardDirectory);
  if (stale.empty() && !trustStorage) stale = staleStorage(kHere, kLogDirectory);
  if (!stale.empty()) {
    warnOperator("no tap is recorded here: " + stale);
    exitStatus = EXIT_FAILURE;
    return false;
  }
  // Taps left in flight by any writer (this reader stopped part-way, or all
  // of them by a power cut) are settled before the first tap.
  // One process writes this reader's journal: a second copy of the reader
  // would share its log and tap numbers, and could settle a tap the first
  // is still recording. (A settler holds the claim of a journal whose
  // writer has ended for as long as it settles its tap, which may wait
  // for a card: it is waited for.)
  if (!writer.sole && !claimJournal(&writer, 2 * kLockWaitMs)) {
    warnOperator("no tap is recorded here: " + writer.problem);
    exitStatus = EXIT_FAILURE;
    return false;
  }
  std::vector<std::string> notices;
  networkReady = settleEveryJournal(kHere, networkLogs, &notices, writer.logPath);
  for (const std::string& notice : notices) warnOperator(notice);
  return true;
}

bool startReader(const ReaderConfig& config, const std::vector<std::string>& logs) {
  copyText(readerID, config.readerId);
  copyText(readerTxt, logPathOf(config).c_str());
  networkLogs = logs;
  networkPath = startedIn();
  writer = tapWriter(kHere, logPathOf(config));
  showBanner(config.banner);
  warnIfNotInANetwork();
  // A write past a file-size limit fails (and is taken back) instead of
  // killing the reader between a tap's two appends.
  signal(SIGXFSZ, SIG_IGN);
  if (!checkNetwork(true)) return false;
  // Without the timer the reader still works: ids keep rising and no
  // entry is ever stale. The operator is told.
  if (!startPeriodTimer()) {
    warnOperator("the period timer could not be started: no entry is ever taken as stale");
  }
  return true;
}

void pauseAfterTap() {
  // A tap whose flush fails stays committed in the journal, and is written
  // and flushed again before the next tap's intent; the operator is told.
  if (!finishTap(&writer)) warnOperator(writer.problem);
  pauseMs(kPauseMs);
}

int runReader(const ReaderConfig& config, const std::vector<std::string>& logs,
              void (*determineController)()) {
  if (!takeStandardStreams()) return EXIT_FAILURE;
  if (startReader(config, logs)) {
    for (;;) {
      determineController();
      if (exitStatus >= 0) break;
      pauseAfterTap();
    }
  }
  flushConsole();
  return exitStatus;
}
