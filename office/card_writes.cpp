// What the office writes on cards: issue and top-up.
#include "office/card_writes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/card_file.h"
#include "core/card_transaction.h"
#include "core/clock.h"
#include "core/file_io.h"
#include "core/packed_time.h"
#include "core/records.h"
#include "core/settle.h"
#include "core/storage.h"
#include "core/text.h"
#include "core/trip_facts.h"
#include "office/card_view.h"
#include "office/escape.h"
#include "office/office_command.h"
#include "readers/network.h"

// A new card's records are dated this long before it is issued, so that no
// reader sees them as an exit a moment ago and opens a transfer window.
constexpr int64_t kIssueBackdate = 60;

int issueCard(int dir, const char* number, const char* balanceText) {
  int32_t balance = 0;
  if (!isOfficeCardNumber(number, strlen(number))) {
    return usage(std::string(kOfficeCardNumberRule) + ", not '" + number + "'", "issue");
  }
  // Card/.x.txt would be a hidden file that a listing of Card/ does not show.
  if (number[0] == '.') return usage("a new card's number does not begin with '.'", "issue");
  if (!parseBalance(balanceText, &balance)) {
    return usage(std::string("a balance is a whole number from 0 to 2147483647, not '") +
                     printable(balanceText) + "'",
                 "issue");
  }
  if (!hasDirectory(dir, kCardDirectory)) {
    return noNetwork(std::string("there is no ") + kCardDirectory +
                     "/ directory here: is this a network directory?");
  }
  std::string path = cardPath(number);
  // Created exclusively: an existing card is never truncated or replaced.
  int fd = openat(dir, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) return refuse("card " + std::string(number) + " exists already");
  if (fd < 0) return refuse(systemError("open", path));
  int64_t issued = timetolong(calendarNow() - kIssueBackdate);
  std::string text = issueRecords(issued, balance);
  bool written =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  close(fd);
  if (!written) {
    unlinkat(dir, path.c_str(), 0);
    return refuse(path + ": could not be written");
  }
  // The card's name is flushed too; should that fail, the card stands but
  // a power cut could still lose it, and the operator is told.
  if (!syncDirectoryOf(dir, path.c_str())) {
    warn(systemError("flush its name to disk", path));
  }
  printf("Issued card %s with balance %d: %s\n", number, balance, path.c_str());
  return kDone;
}

// Why card `number`'s latest record `latest` cannot be repeated with
// `balance` as a top-up: the record appended to the held card must leave
// the readers reading `latest` as the older record and its copy as the
// latest, the copy the same in every field but the balance, and still a
// record they read once another follows it. Empty when it can.
static std::string unrepeatable(const HeldCard& card, const CardRecord& latest, int32_t balance) {
  std::string record = formatTopUpRecord(latest, balance);
  std::string bytes = std::string(card.tail, card.tailLength) + record;
  size_t tail = std::min(bytes.size(), kTailBytes);
  bool whole = card.size == static_cast<int64_t>(card.tailLength) && tail == bytes.size();
  CardRecord after[2], later;
  std::string asOlder = record.substr(2) + "\r";
  CardRecord copy = latest;
  copy.balance = balance;
  auto same = [](const CardRecord& x, const CardRecord& y) {
    return x.time == y.time && strcmp(x.mode, y.mode) == 0 && strcmp(x.inOut, y.inOut) == 0 &&
           x.balance == y.balance && bareTapId(x.tapId) == bareTapId(y.tapId);
  };
  if (parseCardTail(bytes.data() + bytes.size() - tail, tail, whole, after) &&
      parseCardLine(asOlder.data(), asOlder.size(), false, &later) && same(after[0], latest) &&
      same(after[1], copy) && same(later, copy)) {
    return "";
  }
  return "its latest record is not as a reader writes one, and repeated with the new balance "
         "it would make a card the readers refuse: repair its last line from the logs";
}

// Tells the operator on the error stream what settling the card found.
static void tellNotices(const std::vector<std::string>& notices) {
  for (const std::string& notice : notices) warn(notice);
}

// Why card `number` could not be held for a top-up: the card's own fault
// as show words it, or that another writer has it.
static std::string notHeld(int dir, const std::string& number, LoadStatus load) {
  std::string path = cardPath(number.c_str());
  if (load == LoadStatus::kNoCard) return "there is no card file " + path;
  CardView view = viewCard(dir, path, false);
  if (!view.readable) return cardFault(path, view);
  return "card " + number +
         " could not be held: a reader is tapping it, or a tap in flight on it could not be "
         "settled; try again";
}

int topUpCard(int dir, const std::string& number, const char* amountText) {
  if (!isOfficeCardNumber(number.data(), number.size())) {
    return usage(std::string(kOfficeCardNumberRule) + ", not '" + number + "'", "topup");
  }
  int32_t amount = 0;
  if (!parseBalance(amountText, &amount) || amount == 0) {
    return usage(std::string("an amount is a whole number from 1 to 2147483647, not '") +
                     printable(amountText) + "'",
                 "topup");
  }
  std::string missing = networkMissing(dir);
  if (!missing.empty() && missing != kCardsEmpty) {
    return noNetwork(missing + " here: is this a network directory?");
  }
  std::string path = cardPath(number.c_str());
  std::vector<std::string> logs = networkLogPaths(), notices;
  TapWriter writer = tapWriter(dir, kTopUpLog);
  // One office command records at a time: the top-up journal is claimed
  // for this run, so that none settles a top-up another is recording.
  if (!claimJournal(&writer, kLockWaitMs)) {
    closeTapWriter(&writer);
    return refuse("card " + number + " was not topped up: " + writer.problem + "; try again");
  }
  // A top-up an earlier run left in flight is settled under its own card's
  // lock before this card is held, never two at once. Should it stay in
  // flight, recording this one fails and says so.
  (void)settleOwnJournal(&writer, logs, &notices);
  HeldCard card;
  CardRecord records[2];
  LoadStatus load = holdCard(dir, path.c_str(), logs, &card, records, &notices);
  if (load != LoadStatus::kLoaded) {
    tellNotices(notices);
    closeTapWriter(&writer);
    return refuse(notHeld(dir, number, load));
  }
  const CardRecord& latest = records[1];
  std::string problem;
  if (!repeatKeepsTrip(records[0], latest)) {
    problem = "card " + number + " is in a trip begun by a transfer: it " + entryText(latest) +
              ", and a top-up now would lose the transfer; top it up once the passenger has "
              "tapped out";
  } else if (static_cast<int64_t>(latest.balance) + amount > INT32_MAX) {
    problem = "card " + number + " holds " + std::to_string(latest.balance) + ": a top-up of " +
              std::to_string(amount) + " would take its balance past 2147483647";
  } else {
    std::string why = unrepeatable(card, latest, latest.balance + amount);
    if (!why.empty()) problem = "card " + number + " cannot be topped up: " + why;
  }
  if (!problem.empty()) {
    releaseCard(&card);
    tellNotices(notices);
    closeTapWriter(&writer);
    return refuse(problem);
  }
  int32_t balance = latest.balance + amount;
  TopUpLine line{};
  line.time = timetolong(calendarNow());
  copyText(line.number, number.c_str());
  line.amount = amount;
  line.balance = balance;
  bool recorded =
      recordTap(card, formatTopUpRecord(latest, balance), formatTopUpLine(line), &writer);
  // Nothing is said while the card is held: an error stream that blocks
  // would hold it.
  releaseCard(&card);
  decideTap(&writer);
  tellNotices(notices);
  if (recorded && !writer.problem.empty()) tellNotices({writer.problem});
  if (!recorded) {
    closeTapWriter(&writer);
    return refuse("card " + number + " was not topped up: " + writer.problem);
  }
  // Committed: the tap is whole even if its flush fails now; the card's
  // next holder flushes it then.
  if (!finishTap(&writer)) {
    warn("the top-up is recorded, but not yet flushed to disk: " + writer.problem);
  }
  closeTapWriter(&writer);
  printf("Topped up card %s by %d: balance %d, was %d (%s, %s)\n", number.c_str(), amount, balance,
         latest.balance, path.c_str(), kTopUpLog);
  return kDone;
}
