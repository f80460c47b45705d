// What the office writes on cards: issue, top-up, refund, close and replace.
#include "office/card_writes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bus/fares.h"
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
#include "subway/fares.h"

// The most an exit may charge a card in a trip, of either rule set.
constexpr int32_t kMostAnExitCharges =
    std::max({subway::kExitTwoAwayFare, subway::kTransferExitOneAwayFare,
              subway::kTransferExitTwoAwayFare, bus::kRideFareCap});

// A new card's records are dated this long before it is issued, so that no
// reader sees them as an exit a moment ago and opens a transfer window.
constexpr int64_t kIssueBackdate = 60;

// What the office changes on one card, as one transaction with one line of
// its log.
struct OfficeChange {
  OfficeKind kind;
  std::string number;  // the card
  int32_t amount = 0;  // a top-up's or a refund's; the balance, for a card retired
  std::string detail;  // a refund's reason, a replacement's new card
};

// Why the records `appended` cannot go onto card `card`, whose last two
// records are `records`, to change its balance to `balance`: the readers
// must read the same two records after it but for the balance, and the
// latest must still be a record they read once another follows it. Empty
// when they can.
static std::string unrepeatable(const HeldCard& card, const CardRecord records[2],
                                const std::string& appended, int32_t balance) {
  std::string bytes = std::string(card.tail, card.tailLength) + appended;
  size_t tail = std::min(bytes.size(), kTailBytes);
  bool whole = card.size == static_cast<int64_t>(card.tailLength) && tail == bytes.size();
  CardRecord after[2], later;
  std::string asOlder = appended.substr(appended.rfind("\r\n") + 2) + "\r";
  auto same = [balance](const CardRecord& x, const CardRecord& y) {
    return x.time == y.time && strcmp(x.mode, y.mode) == 0 && strcmp(x.inOut, y.inOut) == 0 &&
           x.balance == balance && bareTapId(x.tapId) == bareTapId(y.tapId);
  };
  bool both = appended.find("\r\n", 2) != std::string::npos;
  if (parseCardTail(bytes.data() + bytes.size() - tail, tail, whole, after) &&
      parseCardLine(asOlder.data(), asOlder.size(), false, &later) &&
      (both ? same(after[0], records[0]) : after[0].balance == records[1].balance) &&
      same(after[1], records[1]) && same(later, records[1])) {
    return "";
  }
  return "its latest record is not as a reader writes one, and repeated with the new balance "
         "it would make a card the readers refuse: repair its last line from the logs";
}

// Tells the operator on the error stream what settling the card found.
static void tellNotices(const std::vector<std::string>& notices) {
  for (const std::string& notice : notices) warn(notice);
}

// Whether anything stands at `path` in `dir` (a link counts, not followed).
static bool standsAt(int dir, const std::string& path) {
  struct stat info {};
  return fstatat(dir, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

// Why card `number` could not be held: the card's own fault as show words
// it, that it was retired, or that another writer has it.
static std::string notHeld(int dir, const std::string& number, LoadStatus load) {
  std::string path = cardPath(number.c_str());
  if (load == LoadStatus::kNoCard && standsAt(dir, retiredPath(number.c_str()))) {
    return "card " + number + " was closed or replaced: it is kept as " +
           retiredPath(number.c_str()) + ", and no reader or command takes it again";
  }
  if (load == LoadStatus::kNoCard) return "there is no card file " + path;
  CardView view = viewCard(dir, path, false);
  if (!view.readable) return cardFault(path, view);
  return "card " + number +
         " could not be held: a reader is tapping it, or a tap in flight on it could not be "
         "settled; try again";
}

// Why a new card cannot be made as `number`: a card or a retired card of
// that number stands. Empty when it can.
static std::string numberTaken(int dir, const std::string& number) {
  if (standsAt(dir, cardPath(number.c_str()))) return "card " + number + " exists already";
  if (standsAt(dir, retiredPath(number.c_str()))) {
    return "card " + number + " was closed or replaced (" + retiredPath(number.c_str()) +
           "): a retired number is never issued again";
  }
  return "";
}

static int issueClaimed(int dir, const char* number, int32_t balance);
static std::string finishEarlier(int dir, TapWriter* writer, const std::vector<std::string>& logs,
                                 std::vector<std::string>* notices);

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
  // The office makes one change at a time, issues among them: no card is
  // issued under a number a replacement has checked is free and is about
  // to give its new card.
  TapWriter writer = tapWriter(dir, kTopUpLog);
  if (!claimJournal(&writer, kLockWaitMs)) {
    std::string why = writer.problem;
    closeTapWriter(&writer);
    return refuse("card " + std::string(number) + " was not issued: " + why + "; try again");
  }
  // A replacement recorded but cut short is finished first: its new card
  // may be the number asked for.
  std::vector<std::string> notices;
  std::string unfinished = finishEarlier(dir, &writer, networkLogPaths(), &notices);
  tellNotices(notices);
  if (!unfinished.empty()) {
    closeTapWriter(&writer);
    return refuse("card " + std::string(number) + " was not issued: " + unfinished + "; try again");
  }
  int status = issueClaimed(dir, number, balance);
  closeTapWriter(&writer);
  return status;
}

// Issues card `number` holding `balance`, the office's journal claimed.
static int issueClaimed(int dir, const char* number, int32_t balance) {
  std::string path = cardPath(number);
  if (standsAt(dir, retiredPath(number))) return refuse(numberTaken(dir, number));
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

// Makes the replacement card `number` at its making name, holding
// `balance` and the trip of the card whose last two records are `records`:
// those two records again, the latest with that balance. Empty when it is
// on disk.
static std::string makeReplacement(int dir, const std::string& number, const CardRecord records[2],
                                   int32_t balance) {
  std::string path = replacingPath(number.c_str());
  // What stands there is an earlier replacement cut short before it was
  // recorded (the office records one change at a time): its name is
  // removed and the card made anew, so that no other file it may be a
  // name of is ever cut.
  if (unlinkat(dir, path.c_str(), 0) != 0 && errno != ENOENT) return systemError("remove", path);
  int fd = openat(dir, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return systemError("open", path);
  struct stat info {};
  // The older record keeps how far it stood from the latest (the audit
  // tells a free entry by an older record of the same balance); only the
  // latest's balance counts for the readers.
  int64_t older = static_cast<int64_t>(balance) + records[0].balance - records[1].balance;
  if (older < INT32_MIN || older > INT32_MAX) older = balance;
  std::string text = formatTopUpRecord(records[0], static_cast<int32_t>(older)).substr(2) +
                     formatTopUpRecord(records[1], balance);
  bool written = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
                 write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                 fsync(fd) == 0;
  int error = errno;
  close(fd);
  if (!written) return systemError("write", path, error);
  // Its name too is on disk before the move is recorded.
  if (!syncDirectoryOf(dir, path.c_str())) return systemError("flush its name to disk", path);
  return "";
}

// Retires the card `number` once its last change is recorded and on disk:
// the new card of a replacement takes its name, then the card is kept
// under its retired name, where no reader finds it (`number` empty: only
// the new card is moved). Both names are flushed. Empty when done.
static std::string retire(int dir, const std::string& number, const std::string& replacement) {
  if (!replacement.empty()) {
    std::string made = replacingPath(replacement.c_str()), path = cardPath(replacement.c_str());
    if (standsAt(dir, made) && !moveWithoutReplacing(dir, made, path)) {
      return systemError("rename", made + " to " + path);
    }
    if (!syncDirectoryOf(dir, path.c_str())) return systemError("flush its name to disk", path);
  }
  if (number.empty()) return "";
  std::string path = cardPath(number.c_str()), kept = retiredPath(number.c_str());
  struct stat card {
  }, retired{};
  // A move left as two names of the card (a file system that renames by a
  // link) loses its first.
  if (fstatat(dir, path.c_str(), &card, AT_SYMLINK_NOFOLLOW) == 0 &&
      fstatat(dir, kept.c_str(), &retired, AT_SYMLINK_NOFOLLOW) == 0 &&
      card.st_ino == retired.st_ino && card.st_dev == retired.st_dev) {
    if (unlinkat(dir, path.c_str(), 0) != 0) return systemError("remove", path);
  } else if (!moveWithoutReplacing(dir, path, kept)) {
    return systemError("rename", path + " to " + kept);
  }
  if (!syncDirectoryOf(dir, kept.c_str())) return systemError("flush its name to disk", kept);
  return "";
}

// The last line of the office log, parsed; false when there is none that
// parses.
static bool lastOfficeLine(int dir, TopUpLine* line) {
  int fd = openat(dir, kTopUpLog, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  int64_t size = sizeOf(fd);
  size_t length =
      static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(size, 0), kMaxTopUpLineBytes + 1));
  std::string bytes = size > 0 ? bytesAt(fd, size - static_cast<int64_t>(length), length) : "";
  close(fd);
  if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) return false;
  bytes.resize(bytes.size() - 2);
  size_t start = bytes.rfind('\n');
  start = start == std::string::npos ? 0 : start + 1;
  return parseTopUpLine(bytes.data() + start, bytes.size() - start, line);
}

// Finishes a close or a replacement that was recorded but cut short
// before its card was retired: the office log's last line tells it, as
// the office records one change at a time. A replacement's new card takes
// its name first, whatever became of the old card: its money was moved
// when the change was recorded. The old card is retired if it holds
// nothing to pay out (a reader may have charged an exit on it meanwhile:
// the audit reports that record). Returns what is left unfinished, if
// anything: the office then records no other change, whose line would
// hide this one.
static std::string finishRetirement(int dir, TapWriter* writer,
                                    const std::vector<std::string>& logs,
                                    std::vector<std::string>* notices) {
  TopUpLine last;
  if (!lastOfficeLine(dir, &last) ||
      (last.kind != OfficeKind::kClose && last.kind != OfficeKind::kReplace)) {
    return "";
  }
  std::string number = last.number;
  std::string replacement = last.kind == OfficeKind::kReplace ? last.detail : "";
  std::string unfinished = "the " + std::string(officeWord(last.kind)) + " of card " + number +
                           " is recorded (the last line of " + kTopUpLog + "), but ";
  bool madeLeft = !replacement.empty() && standsAt(dir, replacingPath(replacement.c_str())) &&
                  !standsAt(dir, cardPath(replacement.c_str()));
  bool cardLeft = standsAt(dir, cardPath(number.c_str()));
  if (!madeLeft && !cardLeft) return "";
  // Nothing is renamed before the journal is idle on disk.
  if (writer->journal >= 0 && fdatasync(writer->journal) != 0) {
    return unfinished + systemError("flush", journalPath(kTopUpLog));
  }
  if (madeLeft) {
    std::string problem = retire(dir, "", replacement);
    if (!problem.empty()) return unfinished + problem;
  }
  if (!cardLeft) return "";
  HeldCard card;
  CardRecord records[2];
  LoadStatus load = holdCard(dir, cardPath(number.c_str()).c_str(), logs, &card, records, notices,
                             writerLocks(writer));
  if (load != LoadStatus::kLoaded) {
    return unfinished + notHeld(dir, number, load) + ", so it is not yet retired";
  }
  // Money on it again was put there by hand: told, and left to the
  // operator.
  if (records[1].balance > 0) {
    releaseCard(&card);
    notices->push_back(unfinished + "card " + number + " holds " +
                       std::to_string(records[1].balance) +
                       " again, so it is not retired: see 'show " + number + "'");
    return "";
  }
  std::string problem = retire(dir, number, "");
  releaseCard(&card);
  return problem.empty() ? "" : unfinished + problem;
}

// Brings the office to where its last change left it, its journal
// claimed: a change left in flight is settled under its own card's lock,
// before any other card is held, and a card it closed or replaced is
// retired. Returns what is left unfinished; notices gather what settling
// found.
static std::string finishEarlier(int dir, TapWriter* writer, const std::vector<std::string>& logs,
                                 std::vector<std::string>* notices) {
  // A change still in flight names its card by its name: nothing is
  // renamed until it is settled.
  if (!settleOwnJournal(writer, logs, notices)) {
    return "the office's last change is still in flight in " + journalPath(kTopUpLog) +
           " and could not be settled";
  }
  return finishRetirement(dir, writer, logs, notices);
}

// Why `change` cannot be made on the held card whose last two records are
// `records`; fills in the amount of a card retired. Empty when it can.
static std::string refused(OfficeChange* change, const CardRecord records[2]) {
  const CardRecord& latest = records[1];
  const std::string& number = change->number;
  std::string holds = "card " + number + " holds " + std::to_string(latest.balance);
  switch (change->kind) {
    case OfficeKind::kTopUp:
      if (static_cast<int64_t>(latest.balance) + change->amount > INT32_MAX) {
        return holds + ": a top-up of " + std::to_string(change->amount) +
               " would take its balance past 2147483647";
      }
      return "";
    case OfficeKind::kRefund:
      if (change->amount > latest.balance) {
        return holds + ": a refund of " + std::to_string(change->amount) + " would take it below 0";
      }
      // An exit charges whatever the card holds: the readers let a trip
      // begin only with its most costly exit covered, which a refund may
      // not take back.
      if (inTrip(latest) && latest.balance - change->amount < kMostAnExitCharges) {
        return holds + " and is in a trip: it " + entryText(latest) +
               "; a refund leaves it at least " + std::to_string(kMostAnExitCharges) +
               ", the most its exit may charge, until the passenger has tapped out";
      }
      return "";
    case OfficeKind::kClose:
      // Paying out a card in a trip would let the trip go unpaid.
      if (inTrip(latest)) {
        return "card " + number + " is in a trip: it " + entryText(latest) +
               "; close it once the passenger has tapped out (a tap at any reader settles a "
               "trip left open), or replace it to carry the trip";
      }
      [[fallthrough]];
    case OfficeKind::kReplace:
      if (latest.balance < 0) return holds + ": top it up to 0 first";
      change->amount = latest.balance;
      return "";
  }
  return "";
}

// What the change does to a card, as a refusal words it: "topped up".
static const char* doneTo(OfficeKind kind) {
  switch (kind) {
    case OfficeKind::kTopUp:
      return "topped up";
    case OfficeKind::kRefund:
      return "refunded";
    case OfficeKind::kClose:
      return "closed";
    case OfficeKind::kReplace:
      return "replaced";
  }
  return "changed";
}

// The card's balance after `change`.
static int32_t balanceAfter(const OfficeChange& change, int32_t balance) {
  switch (change.kind) {
    case OfficeKind::kTopUp:
      return balance + change.amount;
    case OfficeKind::kRefund:
      return balance - change.amount;
    default:
      return 0;
  }
}

// Records `change` on its card, under the card's lock and as one
// transaction with its line in the office log, retiring the card after a
// close or a replacement.
static int changeCard(int dir, OfficeChange change) {
  std::string missing = networkMissing(dir);
  if (!missing.empty() && missing != kCardsEmpty) {
    return noNetwork(missing + " here: is this a network directory?");
  }
  const std::string& number = change.number;
  std::string path = cardPath(number.c_str());
  std::vector<std::string> logs = networkLogPaths(), notices;
  TapWriter writer = tapWriter(dir, kTopUpLog);
  std::string notDone = "card " + number + " was not " + doneTo(change.kind) + ": ";
  // One office command records at a time: the office journal is claimed
  // for this run, so that none settles a change another is recording.
  if (!claimJournal(&writer, kLockWaitMs)) {
    std::string why = writer.problem;
    closeTapWriter(&writer);
    return refuse(notDone + why + "; try again");
  }
  // What an earlier run left is finished first; until it is, no other
  // change is recorded.
  std::string unfinished = finishEarlier(dir, &writer, logs, &notices);
  if (!unfinished.empty()) {
    tellNotices(notices);
    closeTapWriter(&writer);
    return refuse(notDone + unfinished + "; try again");
  }
  bool replacing = change.kind == OfficeKind::kReplace;
  std::string taken = replacing ? numberTaken(dir, change.detail) : "";
  HeldCard card;
  CardRecord records[2];
  LoadStatus load = taken.empty() ? holdCard(dir, path.c_str(), logs, &card, records, &notices,
                                             writerLocks(&writer))
                                  : LoadStatus::kNoCard;
  if (load != LoadStatus::kLoaded) {
    tellNotices(notices);
    closeTapWriter(&writer);
    return refuse(taken.empty() ? notHeld(dir, number, load) : notDone + taken);
  }
  const CardRecord& latest = records[1];
  std::string problem = refused(&change, records);
  // Worked out only for a change that is not refused: a refused top-up
  // may be one that would pass the most a balance holds.
  int32_t balance = problem.empty() ? balanceAfter(change, latest.balance) : latest.balance;
  std::string appended = officeRecords(records[0], latest, balance);
  if (problem.empty()) {
    std::string why = unrepeatable(card, records, appended, balance);
    if (!why.empty()) problem = "card " + number + " cannot be " + doneTo(change.kind) + ": " + why;
  }
  // A replacement card is on disk, under its making name, before the move
  // is recorded.
  if (problem.empty() && replacing) {
    std::string made = makeReplacement(dir, change.detail, records, change.amount);
    if (!made.empty()) problem = notDone + made;
  }
  if (!problem.empty()) {
    releaseCard(&card);
    tellNotices(notices);
    closeTapWriter(&writer);
    return refuse(problem);
  }
  TopUpLine line{};
  line.time = timetolong(calendarNow());
  copyText(line.number, number.c_str());
  line.amount = change.amount;
  line.balance = balance;
  line.kind = change.kind;
  copyText(line.detail, change.detail.c_str());
  bool recorded = recordTap(card, appended, formatTopUpLine(line), &writer);
  bool retires = change.kind == OfficeKind::kClose || replacing;
  // A card is retired only once its change is on disk and its journal
  // idle on disk, the card still held: whoever settled a change in flight
  // on a card no longer at its name would drop it, and take its line back.
  // Any other change is flushed once the card is let go, as a tap is.
  std::string told = recorded ? writer.problem : "";
  bool early = recorded && retires;
  bool flushed = early && finishTap(&writer);
  if (flushed && fdatasync(writer.journal) != 0) {
    flushed = false;
    writer.problem = systemError("flush", journalPath(kTopUpLog));
  }
  std::string retired;
  if (early) retired = flushed ? retire(dir, number, change.detail) : "it is not yet on disk";
  // Nothing is said while the card is held: an error stream that blocks
  // would hold it.
  releaseCard(&card);
  // Settled by another writer while this one's files were lost: recorded,
  // and a retirement left to the office's next command.
  if (decideTap(&writer)) {
    recorded = true;
    if (retires) retired = "the card is not retired yet";
  }
  tellNotices(notices);
  if (!told.empty()) tellNotices({told});
  if (!recorded) {
    // Closing the writer forgets its problem: told first.
    std::string why = writer.problem;
    closeTapWriter(&writer);
    return refuse(notDone + why);
  }
  // Committed: the change is whole even if its flush fails; the card's
  // next holder flushes it then.
  if (!early) flushed = finishTap(&writer);
  if (!flushed) warn("the change is recorded, but not yet flushed to disk: " + writer.problem);
  closeTapWriter(&writer);
  if (!retired.empty()) {
    warn("the change is recorded, but " + retired +
         "; the office's next command finishes it (run 'show " + number + "' to see)");
  }
  switch (change.kind) {
    case OfficeKind::kTopUp:
      printf("Topped up card %s by %d: balance %d, was %d (%s, %s)\n", number.c_str(),
             change.amount, balance, latest.balance, path.c_str(), kTopUpLog);
      break;
    case OfficeKind::kRefund:
      printf("Refunded %d from card %s (%s): balance %d, was %d (%s, %s)\n", change.amount,
             number.c_str(), change.detail.c_str(), balance, latest.balance, path.c_str(),
             kTopUpLog);
      break;
    case OfficeKind::kClose:
      printf("Closed card %s: paid out %d; no reader takes it again (%s, %s)\n", number.c_str(),
             change.amount, retiredPath(number.c_str()).c_str(), kTopUpLog);
      break;
    case OfficeKind::kReplace:
      printf(
          "Replaced card %s by card %s: moved its balance %d%s; no reader takes %s again (%s, "
          "%s)\n",
          number.c_str(), change.detail.c_str(), change.amount,
          inTrip(latest) ? " and its trip" : "", number.c_str(),
          cardPath(change.detail.c_str()).c_str(), kTopUpLog);
      break;
  }
  return kDone;
}

// Checks a card number and, where given, an amount from the command line.
static int checkNumber(const std::string& number, const char* command) {
  if (!isOfficeCardNumber(number.data(), number.size())) {
    return usage(std::string(kOfficeCardNumberRule) + ", not '" + number + "'", command);
  }
  return kDone;
}

static bool amountOf(const char* text, int32_t* amount) {
  return parseBalance(text, amount) && *amount > 0;
}

static const char kAmountRule[] = "an amount is a whole number from 1 to 2147483647, not '";

int topUpCard(int dir, const std::string& number, const char* amountText) {
  if (int status = checkNumber(number, "topup"); status != kDone) return status;
  OfficeChange change{OfficeKind::kTopUp, number, 0, ""};
  if (!amountOf(amountText, &change.amount)) {
    return usage(kAmountRule + printable(amountText) + "'", "topup");
  }
  return changeCard(dir, change);
}

int refundCard(int dir, const std::string& number, const char* amountText, const char* reason) {
  if (int status = checkNumber(number, "refund"); status != kDone) return status;
  OfficeChange change{OfficeKind::kRefund, number, 0, ""};
  if (!amountOf(amountText, &change.amount)) {
    return usage(kAmountRule + printable(amountText) + "'", "refund");
  }
  // A reason of nothing but spaces says nothing to whoever audits it.
  if (!isReason(reason, strlen(reason)) || strspn(reason, " ") == strlen(reason)) {
    return usage(std::string("a reason has 1 to ") + std::to_string(kReasonMax) +
                     " printable ASCII characters and no ',', not '" + printable(reason) + "'",
                 "refund");
  }
  change.detail = reason;
  return changeCard(dir, change);
}

int closeCard(int dir, const std::string& number) {
  if (int status = checkNumber(number, "close"); status != kDone) return status;
  return changeCard(dir, {OfficeKind::kClose, number, 0, ""});
}

int replaceCard(int dir, const std::string& number, const std::string& replacement) {
  if (int status = checkNumber(number, "replace"); status != kDone) return status;
  if (int status = checkNumber(replacement, "replace"); status != kDone) return status;
  if (replacement[0] == '.') return usage("a new card's number does not begin with '.'", "replace");
  if (replacement == number) return usage("a card is replaced by another number", "replace");
  OfficeChange change{OfficeKind::kReplace, number, 0, ""};
  change.detail = replacement;
  return changeCard(dir, change);
}
