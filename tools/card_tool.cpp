// The operators' card tool: issues cards, tops them up, lists them, shows
// one's history and state, and audits them against the readers' logs. It
// reads and writes cards in the readers' own format, with the readers' own
// parser and transaction, and never rewrites what a card file holds.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
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
#include "office/audit.h"
#include "office/audit_db.h"
#include "office/report.h"
#include "readers/network.h"

namespace {

// Exit statuses a script can rely on.
constexpr int kDone = 0;
constexpr int kRefused = 1;  // the card could not be issued, found, read or topped up
constexpr int kUsage = 2;    // the command line was wrong

// A new card's records are dated this long before it is issued, so that no
// reader sees them as an exit a moment ago and opens a transfer window.
constexpr int64_t kIssueBackdate = 60;

// What a card number is, as a wrong one is told.
const char kCardNumberRule[] =
    "a card number has 1 to 10 characters and no '/', '\\' or white space";
const char kOfficeCardNumberRule[] =
    "a card number has 1 to 10 characters, printable ASCII, and no ',', '/', '\\' or white "
    "space";

// The name the tool was run by (card_tool, or fare-card-tool as installed),
// for its usage lines and messages; set once, first thing in main.
std::string programName = "card_tool";

// Reports a wrong command line, pointing to the help of `command` (the
// tool's own when empty).
int usage(const std::string& problem, const std::string& command = "") {
  std::string help = command.empty() ? "--help" : "help " + command;
  fprintf(stderr, "%s: %s\nTry '%s %s' for more information.\n", programName.c_str(),
          problem.c_str(), programName.c_str(), help.c_str());
  return kUsage;
}

// Reports a command that was refused, naming why.
int refuse(const std::string& problem) {
  fprintf(stderr, "%s: %s\n", programName.c_str(), problem.c_str());
  return kRefused;
}

// Parses a balance: digits only, at most what a card can hold. Returns
// false, leaving `balance` alone, for anything else.
[[nodiscard]] bool parseBalance(const char* text, int32_t* balance) {
  size_t length = strlen(text);
  if (length == 0 || strspn(text, "0123456789") != length) return false;
  const char* digits = text + strspn(text, "0");
  if (strlen(digits) > 10) return false;
  long long value = strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return false;
  *balance = static_cast<int32_t>(value);
  return true;
}

// Creates card `number` holding `balanceText`, never over an existing
// file. Returns the exit status; a card that could not be written whole is
// removed again.
int issueCard(const char* number, const char* balanceText) {
  int32_t balance = 0;
  if (!isOfficeCardNumber(number, strlen(number))) {
    return usage(std::string(kOfficeCardNumberRule) + ", not '" + number + "'", "issue");
  }
  // Card/.x.txt would be a hidden file that a listing of Card/ does not show.
  if (number[0] == '.') return usage("a new card's number does not begin with '.'", "issue");
  if (!parseBalance(balanceText, &balance)) {
    return usage("a balance is a whole number from 0 to 2147483647", "issue");
  }
  struct stat cards {};
  if (stat("Card", &cards) != 0 || !S_ISDIR(cards.st_mode)) {
    return refuse("there is no Card/ directory here: is this a network directory?");
  }
  std::string path = cardPath(number);
  // Created exclusively: an existing card is never truncated or replaced.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) return refuse("card " + std::string(number) + " exists already");
  if (fd < 0) return refuse(path + ": " + strerror(errno));
  int64_t issued = timetolong(calendarNow() - kIssueBackdate);
  std::string text = issueRecords(issued, balance);
  bool written =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  close(fd);
  if (!written) {
    unlink(path.c_str());
    return refuse(path + ": could not be written");
  }
  // The card's name is flushed too; should that fail, the card stands but
  // a power cut could still lose it, and the operator is told.
  if (!syncDirectoryOf(path.c_str())) {
    fprintf(stderr, "%s: warning: %s: its name could not be flushed to disk: %s\n",
            programName.c_str(), path.c_str(), strerror(errno));
  }
  printf("Issued card %s with balance %d: %s\n", number, balance, path.c_str());
  return kDone;
}

// A card file as the tool judges it: as the readers do, by its last two
// records. Its problem is worded as the audit words the same fault.
struct CardView {
  bool found = false;              // a file is there by the card's name
  bool readable = false;           // the readers take it: `records` hold its last two
  CardRecord records[2];           // older first; valid when readable
  std::vector<std::string> lines;  // every line, without its line feed; read when asked for
  std::string problem;             // why the card is of no use, when found and not readable
};

// Reads a whole card file into `view`: its lines, or, for a file that is
// not there or cannot be read, `found` and `problem`. Returns whether it
// was read.
[[nodiscard]] bool readCardLines(const std::string& path, CardView* view) {
  // O_NONBLOCK keeps a FIFO from stalling the tool, as it does a reader.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  view->found = fd >= 0 || errno != ENOENT;
  if (fd < 0) {
    view->problem = std::string("cannot read this card: ") + strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    view->problem = "cannot read this card: not a regular file";
    return false;
  }
  std::string bytes;
  char buffer[65536];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  int reason = errno;
  close(fd);
  if (n < 0) {
    view->problem = std::string("cannot read this card: ") + strerror(reason);
    return false;
  }
  for (size_t start = 0;;) {
    size_t end = bytes.find('\n', start);
    view->lines.push_back(bytes.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

// Judges the card at `path`. Reads the whole file only when `withLines`
// asks for its lines, or to tell where a card the readers refuse breaks.
CardView viewCard(const std::string& path, bool withLines) {
  CardView view;
  if (!withLines && loadCardTail(path.c_str(), view.records) == LoadStatus::kLoaded) {
    view.found = view.readable = true;
    return view;
  }
  if (!readCardLines(path, &view)) return view;
  view.readable = loadCardTail(path.c_str(), view.records) == LoadStatus::kLoaded;
  if (!view.readable) {
    size_t n = view.lines.size();
    view.problem = "the readers refuse this card: " +
                   whereCardBreaks(n >= 2 ? view.lines[n - 2] : "", view.lines[n - 1],
                                   static_cast<int64_t>(n));
  }
  return view;
}

// Why a card that was found cannot be used, as the audit says it, or that
// there is none.
std::string cardFault(const std::string& path, const CardView& view) {
  return view.found ? path + ": " + view.problem : "there is no card file " + path;
}

// Where and when the trip of a card whose latest record is an entry began:
// "entered the subway at S1 on 2026-03-06 08:15:30 (tap S1_3)".
std::string entryText(const CardRecord& latest) {
  return std::string("entered the ") + (strcmp(latest.mode, "BUS") == 0 ? "bus" : "subway") +
         " at " + readerOfTapId(latest.tapId) + " on " + formatDateTime(latest.time) + " (tap " +
         bareTapId(latest.tapId) + ")";
}

// Whether a card whose latest record is `latest` is in a trip.
bool inTrip(const CardRecord& latest) {
  return strcmp(latest.inOut, "IN") == 0;
}

// Prints card `number`'s records and its state now. Returns the exit
// status: refused for a card that is missing or the readers refuse.
int showCard(const char* number) {
  if (!isCardNumber(number, strlen(number))) return usage(kCardNumberRule, "show");
  std::string path = cardPath(number);
  CardView view = viewCard(path, true);
  if (!view.readable) return refuse(cardFault(path, view));
  const std::vector<std::string>& lines = view.lines;
  printf("Card %s (%s), %s\n\n", number, path.c_str(),
         counted(static_cast<long long>(lines.size()), "record", "records").c_str());
  printf("%6s  %-19s  %-6s  %-3s  %11s  %s\n", "#", "date and time", "mode", "dir", "balance",
         "tap id");
  for (size_t i = 0; i < lines.size(); i++) {
    CardRecord r;
    // Lines before the last two are never read by a reader: one that is
    // not a record is shown as it stands.
    if (!parseCardLine(lines[i].data(), lines[i].size(), i + 1 == lines.size(), &r)) {
      printf("%6zu  (not a record: \"%s\")\n", i + 1, printable(lines[i]).c_str());
      continue;
    }
    std::string tapId = bareTapId(r.tapId);
    printf("%6zu  %-19s  %-6s  %-3s  %11d  %s\n", i + 1, formatDateTime(r.time).c_str(), r.mode,
           r.inOut, r.balance, tapId.c_str());
  }
  const CardRecord& latest = view.records[1];
  printf("\n");
  if (inTrip(latest)) {
    printf("In a trip: %s.\n", entryText(latest).c_str());
  } else {
    printf("Not in a trip.\n");
  }
  printf("Balance: %d\n", latest.balance);
  return kDone;
}

// Card numbers in the order people count them: numbers of digits alone by
// their value (7 before 10, then 7 before 007), before any other number,
// which go by their bytes.
bool countingOrder(const std::string& a, const std::string& b) {
  auto digits = [](const std::string& s) {
    return s.find_first_not_of("0123456789") == std::string::npos;
  };
  if (digits(a) != digits(b)) return digits(a);
  if (!digits(a)) return a < b;
  std::string x = a.substr(std::min(a.find_first_not_of('0'), a.size()));
  std::string y = b.substr(std::min(b.find_first_not_of('0'), b.size()));
  if (x.size() != y.size()) return x.size() < y.size();
  return x != y ? x < y : a.size() < b.size();
}

// The numbers of the cards in Card/, in counting order: every name that
// is a card's (Card/<number>.txt), hidden ones aside, as the audit reads
// them. Returns false when Card/ cannot be read.
[[nodiscard]] bool cardNumbers(std::vector<std::string>* numbers) {
  DIR* dir = opendir("Card");
  if (dir == nullptr) return false;
  while (dirent* entry = readdir(dir)) {
    std::string path = std::string("Card/") + entry->d_name;
    if (entry->d_name[0] != '.' && isCardPath(path)) numbers->push_back(cardNumberOf(path));
  }
  closedir(dir);
  std::sort(numbers->begin(), numbers->end(), countingOrder);
  return true;
}

// A CSV field: quoted, with its quotes doubled, when it holds a comma, a
// quote or a line break.
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// One card of the list as JSON: the number as it can be shown, and either
// its balance, trip and last tap or why it is unreadable.
nlohmann::ordered_json cardJson(const std::string& number, const CardView& view) {
  nlohmann::ordered_json card = {{"number", printable(number)}, {"readable", view.readable}};
  if (!view.readable) {
    card["problem"] = view.problem;
    return card;
  }
  const CardRecord& latest = view.records[1];
  card["balance"] = latest.balance;
  card["in_trip"] = inTrip(latest);
  card["last_tap"] = {{"time", formatDateTime(latest.time)},
                      {"reader", printable(readerOfTapId(latest.tapId))},
                      {"direction", printable(latest.inOut)},
                      {"tap_id", printable(bareTapId(latest.tapId))}};
  return card;
}

// Prints every card of Card/ in `format` (text, json or csv). Returns the
// exit status: refused only when Card/ cannot be read.
int listCards(const std::string& format) {
  std::vector<std::string> numbers;
  if (!cardNumbers(&numbers)) {
    return refuse(std::string("Card/ cannot be read: ") + strerror(errno) +
                  ": is this a network directory?");
  }
  long long trips = 0, unreadable = 0;
  if (format == "json") printf("{\n  \"cards\": [");
  if (format == "csv")
    printf("number,readable,balance,in_trip,last_tap,reader,direction,problem\n");
  if (format == "text") {
    printf("%-10s  %11s  %-7s  %-19s  %-6s  %s\n", "card", "balance", "in trip", "last tap",
           "reader", "dir");
  }
  long long cards = 0;
  for (const std::string& number : numbers) {
    CardView view = viewCard(cardPath(number.c_str()), false);
    // A card gone since the directory was read is no card of the list.
    if (!view.found) continue;
    cards++;
    const CardRecord& latest = view.records[1];
    trips += view.readable && inTrip(latest);
    unreadable += !view.readable;
    std::string shown = printable(number);
    if (format == "json") {
      printf("%s\n    %s", cards > 1 ? "," : "",
             cardJson(number, view)
                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                 .c_str());
    } else if (format == "csv" && view.readable) {
      printf("%s,true,%d,%s,%s,%s,%s,\n", csvField(shown).c_str(), latest.balance,
             inTrip(latest) ? "true" : "false", formatDateTime(latest.time).c_str(),
             csvField(printable(readerOfTapId(latest.tapId))).c_str(),
             csvField(printable(latest.inOut)).c_str());
    } else if (format == "csv") {
      printf("%s,false,,,,,,%s\n", csvField(shown).c_str(), csvField(view.problem).c_str());
    } else if (view.readable) {
      printf("%-10s  %11d  %-7s  %-19s  %-6s  %s\n", shown.c_str(), latest.balance,
             inTrip(latest) ? "yes" : "no", formatDateTime(latest.time).c_str(),
             printable(readerOfTapId(latest.tapId)).c_str(), printable(latest.inOut).c_str());
    } else {
      printf("%-10s  %11s  %s\n", shown.c_str(), "unreadable", view.problem.c_str());
    }
  }
  if (format == "json") printf("%s]\n}\n", cards == 0 ? "" : "\n  ");
  if (format == "text") {
    printf("\n%s: %lld in a trip, %lld unreadable\n", counted(cards, "card", "cards").c_str(),
           trips, unreadable);
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    return refuse(std::string("the list could not be written: ") + strerror(errno));
  }
  return kDone;
}

// Why card `number`'s latest record `latest` cannot be repeated with
// `balance` as a top-up: the record appended to the held card must leave
// the readers reading `latest` as the older record and its copy as the
// latest, the copy the same in every field but the balance, and still a
// record they read once another follows it. Empty when it can.
std::string unrepeatable(const HeldCard& card, const CardRecord& latest, int32_t balance) {
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
void tellNotices(const std::vector<std::string>& notices) {
  for (const std::string& notice : notices) {
    fprintf(stderr, "%s: warning: %s\n", programName.c_str(), notice.c_str());
  }
}

// Why card `number` could not be held for a top-up: the card's own fault
// as show words it, or that another writer has it.
std::string notHeld(const std::string& number, LoadStatus load) {
  std::string path = cardPath(number.c_str());
  if (load == LoadStatus::kNoCard) return "there is no card file " + path;
  CardView view = viewCard(path, false);
  if (!view.readable) return cardFault(path, view);
  return "card " + number +
         " could not be held: a reader is tapping it, or a tap in flight on it could not be "
         "settled; try again";
}

// Adds `amountText` to card `number`'s balance: its latest record again,
// with only the balance raised, and a line in the top-up log, as one
// transaction under the card's lock, as a reader records a tap.
int topUpCard(const std::string& number, const char* amountText) {
  if (!isOfficeCardNumber(number.data(), number.size())) {
    return usage(std::string(kOfficeCardNumberRule) + ", not '" + number + "'", "topup");
  }
  int32_t amount = 0;
  if (!parseBalance(amountText, &amount) || amount == 0) {
    return usage("an amount is a whole number from 1 to 2147483647", "topup");
  }
  std::string missing = networkMissing();
  if (!missing.empty() && missing != kCardsEmpty) {
    return refuse(missing + " here: is this a network directory?");
  }
  std::string path = cardPath(number.c_str());
  std::vector<std::string> logs = networkLogPaths(), notices;
  TapWriter writer = tapWriter(kTopUpLog);
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
  LoadStatus load = holdCard(path.c_str(), logs, &card, records, &notices);
  if (load != LoadStatus::kLoaded) {
    tellNotices(notices);
    closeTapWriter(&writer);
    return refuse(notHeld(number, load));
  }
  const CardRecord& latest = records[1];
  std::string problem;
  if (inTrip(latest)) {
    problem = "card " + number + " is in a trip: it " + entryText(latest) +
              "; top it up once the passenger has tapped out";
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
    fprintf(stderr, "%s: warning: the top-up is recorded, but not yet flushed to disk: %s\n",
            programName.c_str(), writer.problem.c_str());
  }
  closeTapWriter(&writer);
  printf("Topped up card %s by %d: balance %d, was %d (%s, %s)\n", number.c_str(), amount, balance,
         latest.balance, path.c_str(), kTopUpLog);
  return kDone;
}

// Audits the network directory "." and prints the report. Exit status: 0
// when everything matches, 1 for any anomaly, 2 when "." is not a network
// directory or the database cannot be written.
int auditCommand(const std::string& dir, const std::string& format, const std::string& sqlite) {
  AuditDatabase* db = nullptr;
  std::string problem = notANetwork(".", dir.empty() ? "." : dir);
  if (!problem.empty()) {
    fprintf(stderr, "card_tool: %s\n", problem.c_str());
    return kUsage;
  }
  if (!sqlite.empty() && (db = createAuditDatabase(sqlite, &problem)) == nullptr) {
    fprintf(stderr, "card_tool: %s\n", problem.c_str());
    return kUsage;
  }
  AuditReport report;
  AuditSinks sinks = db != nullptr ? databaseSinks(db) : AuditSinks{};
  if (!auditNetwork(".", calendarNow(), isatty(2), sinks, &report, &problem)) {
    fprintf(stderr, "card_tool: %s\n", problem.c_str());
    return kUsage;
  }
  if (db != nullptr && !finishAuditDatabase(db, report, &problem)) {
    fprintf(stderr, "card_tool: %s\n", problem.c_str());
    return kUsage;
  }
  if (format == "json") {
    writeReportJson(stdout, report);
  } else if (format == "csv") {
    writeReportCsv(stdout, report);
  } else if (format == "csv:anomalies") {
    writeAnomaliesCsv(stdout, report);
  } else if (format == "csv:hours") {
    writeHoursCsv(stdout, report);
  } else if (format == "csv:topups") {
    writeTopUpsCsv(stdout, report);
  } else {
    writeReportText(stdout, report, dir.empty() ? "." : dir, isatty(1));
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "card_tool: the report could not be written: %s\n", strerror(errno));
    return kUsage;
  }
  return report.anomalies.empty() ? kDone : kRefused;
}

// Reads the audit's options: --format FORMAT and --sqlite FILE, each also
// as --option=VALUE, and with --format csv one of the tables --anomalies,
// --hours or --topups, which rides in `format` ("csv:hours"). Returns
// false, with `problem` set, for anything else.
bool auditOptions(const std::vector<std::string>& operands, std::string* format,
                  std::string* sqlite, std::string* problem) {
  std::string table;  // the CSV table asked for, as given
  for (size_t i = 0; i < operands.size(); i++) {
    const std::string given = operands[i];
    if (given == "--anomalies" || given == "--hours" || given == "--topups") {
      if (!table.empty() && table != given) {
        *problem = "options '" + table + "' and '" + given + "' ask for different tables";
        return false;
      }
      table = given;
      continue;
    }
    std::string option = given, value;
    size_t equals = option.find('=');
    if (equals != std::string::npos) {
      value = option.substr(equals + 1);
      option = option.substr(0, equals);
    } else if (i + 1 < operands.size()) {
      value = operands[++i];
    }
    if (option != "--format" && option != "--sqlite") {
      *problem = "unknown option '" + given + "' for audit";
      return false;
    }
    if (value.empty()) {
      *problem = "option '" + option + "' needs a value";
      return false;
    }
    (option == "--format" ? *format : *sqlite) = value;
  }
  if (*format != "text" && *format != "json" && *format != "csv") {
    *problem = "unknown format '" + *format + "': text, json or csv";
    return false;
  }
  if (!table.empty()) {
    if (*format != "csv") {
      *problem = "option '" + table + "' needs --format csv";
      return false;
    }
    *format = "csv:" + table.substr(2);
  }
  return true;
}

// Reads the list's options: --format FORMAT, also as --format=FORMAT.
// Returns false, with `problem` set, for anything else.
[[nodiscard]] bool listOptions(const std::vector<std::string>& operands, std::string* format,
                               std::string* problem) {
  for (size_t i = 0; i < operands.size(); i++) {
    const std::string& given = operands[i];
    bool joined = given.rfind("--format=", 0) == 0;
    if (given != "--format" && !joined) {
      *problem =
          (given[0] == '-' ? "unknown option '" : "unexpected operand '") + given + "' for list";
      return false;
    }
    if (!joined && i + 1 == operands.size()) {
      *problem = "option '--format' needs a value";
      return false;
    }
    *format = joined ? given.substr(9) : operands[++i];
  }
  if (*format != "text" && *format != "json" && *format != "csv") {
    *problem = "unknown format '" + *format + "': text, json or csv";
    return false;
  }
  return true;
}

// A command's help: its operands, what it does, its own options, and what
// its exit statuses mean. The tool's help is every command's, in order.
struct CommandHelp {
  const char* name;
  const char* operands;     // after the name on its usage line
  const char* description;  // what it does, in lines at the margin
  const char* options;      // its own options, lines indented by two; "" for none
  const char* exitStatus;   // what each exit status means for it, a line each
};

const CommandHelp kCommands[] = {
    {"issue", "NUMBER BALANCE",
     "Creates the card NUMBER holding BALANCE (0 to 2147483647). Its two\n"
     "records are subway exits dated one minute earlier, with tap ids\n"
     "ISSUE_1 and ISSUE_2, so the card is not in a trip and its first tap\n"
     "at any reader is an ordinary new ride. An existing card is never\n"
     "overwritten; a new card's number does not begin with '.'.\n",
     "",
     "  0  the card was issued\n"
     "  1  the card exists already, or there is no Card/ directory\n"
     "  2  the command line is wrong\n"},
    {"topup", "NUMBER AMOUNT",
     "Adds AMOUNT (a whole number from 1 up) to the card's balance, under\n"
     "the card's lock and as one transaction with the office's top-up log\n"
     "Reader_txt/Topup.txt: both are written or neither, as with a tap.\n"
     "The card gets its latest record again with only the balance raised,\n"
     "so every reader decides as it did before, balance aside. Refused for\n"
     "a card in a trip (top it up once the passenger has tapped out), a\n"
     "card the readers refuse, and a balance that would pass 2147483647.\n",
     "",
     "  0  the card was topped up\n"
     "  1  the card is missing, in a trip, refused by the readers or held by a\n"
     "     reader, its balance would pass the limit, or the top-up could not\n"
     "     be recorded\n"
     "  2  the command line is wrong\n"},
    {"show", "NUMBER",
     "Prints the card's history, one record per row, and its state now:\n"
     "in a trip or not, where it entered, the balance. A card the readers\n"
     "refuse is reported with the line where it breaks.\n",
     "",
     "  0  the card was shown\n"
     "  1  the card is missing, cannot be read, or is one the readers refuse\n"
     "  2  the command line is wrong\n"},
    {"list", "[--format text|json|csv]",
     "Prints every card of Card/ with its balance, whether it is in a trip,\n"
     "and its last tap: date and time, reader and direction (a card not\n"
     "tapped since it was issued shows the reader ISSUE). A card the\n"
     "readers refuse, or one that cannot be read, is listed as unreadable\n"
     "with the reason, in the words show and audit use.\n",
     "  --format FORMAT  text (a table, the default), json or csv\n",
     "  0  the cards were listed, unreadable ones among them\n"
     "  1  Card/ cannot be read\n"
     "  2  the command line is wrong\n"},
    {"audit", "[--format text|json|csv] [--sqlite FILE] [--anomalies|--hours|--topups]",
     "Checks every card against every reader log: each tap on a card must\n"
     "have exactly one line in its reader's log, and each line its tap.\n"
     "Prints what does not match (with file and line), and taps and\n"
     "revenue per reader, per kind of tap and per hour, and the money\n"
     "top-ups loaded, apart from the revenue.\n",
     "  --format FORMAT  text (a report to read, the default), json or csv\n"
     "  --sqlite FILE    also write every card, record, log line, top-up and\n"
     "                   anomaly into the SQLite database FILE\n"
     "  --anomalies      with --format csv: print the anomalies, a row each\n"
     "  --hours          with --format csv: print the taps and revenue per hour\n"
     "  --topups         with --format csv: print the top-ups per hour\n",
     "  0  everything matches\n"
     "  1  an anomaly was found\n"
     "  2  the command line is wrong, DIR is not a network directory, or the\n"
     "     database cannot be written\n"},
    {"help", "[COMMAND]", "    Prints this help, or the help of COMMAND alone.\n", "",
     "  0  the help was printed\n"
     "  2  there is no such command\n"},
};

const char kOptionsHelp[] =
    "  --dir DIR        work in the network directory DIR (also --dir=DIR), given\n"
    "                   before or after the command\n"
    "  -h, --help       print the help (after a command: that command's) and exit\n"
    "  --version        print the version and exit\n"
    "  --               end the options: what follows is an operand, even when it\n"
    "                   begins with '-'\n";

const char kNumberHelp[] =
    "NUMBER has 1 to 10 characters and no '/', '\\' or white space, as at the\n"
    "readers' prompt; after '--' it may begin with '-'.\n";

// The command called `name`, or nullptr when there is none.
const CommandHelp* findCommand(const std::string& name) {
  for (const CommandHelp& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// `text` with `indent` put before each of its lines.
std::string indented(const char* text, const char* indent) {
  std::string out;
  for (const char* line = text; *line != '\0';) {
    const char* end = strchr(line, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - line) + 1 : strlen(line);
    out += indent + std::string(line, length);
    line += length;
  }
  return out;
}

// The tool's help: every command's usage, what it does and its options,
// then the options of every command and the exit statuses.
void printHelp() {
  const char* name = programName.c_str();
  for (const CommandHelp& c : kCommands) {
    printf("%s %s [--dir DIR] %s %s\n", &c == &kCommands[0] ? "Usage:" : "  or: ", name, c.name,
           c.operands);
  }
  printf("  or:  %s --help | --version\n\n", name);
  printf(
      "Issues, tops up, lists and shows the cards of a fare network, and audits\n"
      "them against the readers' logs. DIR is the network directory, the one the\n"
      "readers run in (default: the current directory); cards are the files\n"
      "DIR/Card/NUMBER.txt. '%s help COMMAND' prints one command's help.\n\n"
      "Commands:\n",
      name);
  for (const CommandHelp& c : kCommands) {
    printf("  %s %s\n%s%s", c.name, c.operands, indented(c.description, "    ").c_str(),
           indented(c.options, "    ").c_str());
  }
  printf("\nOptions:\n%s\n%s\n", kOptionsHelp, kNumberHelp);
  printf(
      "Exit status:\n"
      "  0  done (audit: everything matches)\n"
      "  1  refused: the card exists already, is missing, in a trip or one the\n"
      "     readers refuse, there is no Card/ directory, or a top-up could not\n"
      "     be recorded (audit: an anomaly was found)\n"
      "  2  the command line is wrong (audit: or DIR is not a network directory)\n");
}

// One command's help: its usage, what it does, its own options and the
// options of every command, and its exit statuses.
void printCommandHelp(const CommandHelp& c) {
  printf("Usage: %s [--dir DIR] %s %s\n\n%s", programName.c_str(), c.name, c.operands,
         c.description);
  if (c.options[0] != '\0') printf("\nOptions:\n%s", c.options);
  printf("\nOptions of every command:\n%s", kOptionsHelp);
  if (strstr(c.operands, "NUMBER") != nullptr) printf("\n%s", kNumberHelp);
  printf("\nExit status:\n%s", c.exitStatus);
}

// The command line, with the options of every command taken out.
struct CommandLine {
  std::string dir;                 // --dir: the network directory; empty for "."
  bool help = false;               // --help or -h
  bool version = false;            // --version
  std::string command;             // the first operand; empty when none was given
  std::vector<std::string> args;   // the command's own options and operands before "--"
  std::vector<std::string> after;  // the operands after "--"
};

// Whether a word is an option: '-' and more, but not a negative number,
// which is an operand (an amount or balance, refused as such).
bool isOption(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !isdigit(static_cast<unsigned char>(word[1]));
}

// Reads the command line into `line`. Returns false, with `problem` set,
// for an option no command takes before the command, or --dir without a
// directory.
[[nodiscard]] bool parseCommandLine(const std::vector<std::string>& words, CommandLine* line,
                                    std::string* problem) {
  for (size_t i = 0; i < words.size(); i++) {
    const std::string& word = words[i];
    if (word == "--") {
      line->after.assign(words.begin() + static_cast<long>(i) + 1, words.end());
      break;
    }
    if (word == "--help" || word == "-h") {
      line->help = true;
    } else if (word == "--version") {
      line->version = true;
    } else if (word == "--dir" || word.rfind("--dir=", 0) == 0) {
      line->dir = word == "--dir" ? (i + 1 < words.size() ? words[++i] : "") : word.substr(6);
      if (line->dir.empty()) {
        *problem = "option '--dir' needs a directory";
        return false;
      }
    } else if (line->command.empty() && isOption(word)) {
      *problem = "unknown option '" + word + "'";
      return false;
    } else if (line->command.empty()) {
      line->command = word;
    } else {
      line->args.push_back(word);
    }
  }
  // The first operand after "--" is the command when none came before it.
  if (line->command.empty() && !line->after.empty()) {
    line->command = line->after.front();
    line->after.erase(line->after.begin());
  }
  return true;
}

// The operands of a command that takes no options: every word but "--",
// or `problem` set for an option.
[[nodiscard]] bool operandsOnly(const CommandLine& line, std::vector<std::string>* operands,
                                std::string* problem) {
  for (const std::string& word : line.args) {
    if (isOption(word)) {
      *problem = "unknown option '" + word + "' for " + line.command;
      return false;
    }
    operands->push_back(word);
  }
  operands->insert(operands->end(), line.after.begin(), line.after.end());
  return true;
}

// Runs the command of `line`, in the network directory it names.
int runCommand(const CommandLine& line) {
  const std::string& command = line.command;
  std::vector<std::string> operands;
  std::string problem, format = "text", sqlite;
  if (command == "audit" || command == "list") {
    if (!line.after.empty()) {
      return usage("unexpected operand '" + line.after.front() + "' for " + command, command);
    }
    bool read = command == "audit" ? auditOptions(line.args, &format, &sqlite, &problem)
                                   : listOptions(line.args, &format, &problem);
    if (!read) return usage(problem, command);
  } else if (!operandsOnly(line, &operands, &problem)) {
    return usage(problem, command);
  }
  size_t wanted = command == "issue" || command == "topup" ? 2 : command == "show" ? 1 : 0;
  if (operands.size() != wanted) {
    std::string names = findCommand(command)->operands;
    size_t space = names.find(' ');
    if (space != std::string::npos) names.replace(space, 1, " and ");
    return usage(command + " takes " + names, command);
  }
  // The database's path is the user's, not the network directory's.
  char here[4096];
  if (!sqlite.empty() && sqlite[0] != '/' && getcwd(here, sizeof here) != nullptr) {
    sqlite = std::string(here) + "/" + sqlite;
  }
  if (!line.dir.empty() && chdir(line.dir.c_str()) != 0) {
    std::string why = "cannot enter " + line.dir + ": " + strerror(errno);
    return command == "audit" ? usage(why, command) : refuse(why);
  }
  // On a network file system whose client may serve cards from its caches,
  // nothing is written (a top-up could be made on a stale card), and what
  // is read may be stale: the operator is told.
  std::string stale = staleStorage("Card");
  if (stale.empty()) stale = staleStorage("Reader_txt");
  if (!stale.empty() && (command == "issue" || command == "topup")) {
    return refuse("nothing is written here: " + stale);
  }
  // The network has one owner, whom every writer runs as: a file made by
  // another user (root's lock file, root's journal) would stop the readers.
  std::string owner = notOwner();
  if (!owner.empty() && (command == "issue" || command == "topup")) {
    return refuse("nothing is written here: " + owner);
  }
  if (!stale.empty()) {
    fprintf(stderr, "%s: warning: what is read here may be stale: %s\n", programName.c_str(),
            stale.c_str());
  }
  if (command == "audit") return auditCommand(line.dir, format, sqlite);
  if (command == "list") return listCards(format);
  if (command == "issue") return issueCard(operands[0].c_str(), operands[1].c_str());
  if (command == "topup") return topUpCard(operands[0], operands[1].c_str());
  return showCard(operands[0].c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const char* slash = argc > 0 ? strrchr(argv[0], '/') : nullptr;
  if (argc > 0 && argv[0][0] != '\0') programName = slash != nullptr ? slash + 1 : argv[0];
  CommandLine line;
  std::string problem;
  if (!parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &line, &problem)) {
    return usage(problem);
  }
  if (line.version) {
    printf("%s (fare readers) %s\n", programName.c_str(), FARE_VERSION);
    return kDone;
  }
  const CommandHelp* command = findCommand(line.command);
  if (!line.command.empty() && command == nullptr) {
    return usage("unknown command '" + line.command + "'");
  }
  // "help COMMAND" is "COMMAND --help".
  if (command != nullptr && line.command == "help") {
    std::vector<std::string> operands;
    if (!operandsOnly(line, &operands, &problem)) return usage(problem, "help");
    if (operands.size() > 1) return usage("help takes at most one COMMAND", "help");
    if (!operands.empty() && (command = findCommand(operands[0])) == nullptr) {
      return usage("unknown command '" + operands[0] + "'");
    }
    if (operands.empty() && !line.help) command = nullptr;
    line.help = true;
  }
  if (line.help && command != nullptr) {
    printCommandHelp(*command);
    return kDone;
  }
  if (line.help) {
    printHelp();
    return kDone;
  }
  if (command == nullptr) {
    return usage("no command given: expected issue, topup, show, list, audit or help");
  }
  return runCommand(line);
}
