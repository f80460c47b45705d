// The operators' card tool: issues new cards and shows a card's history
// and state. It reads and writes cards in the readers' own format, with the
// readers' own parser, and never touches an existing card file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/card_file.h"
#include "core/card_transaction.h"
#include "core/clock.h"
#include "core/packed_time.h"
#include "core/records.h"
#include "office/audit.h"
#include "office/audit_db.h"
#include "office/report.h"

namespace {

// Exit statuses a script can rely on.
constexpr int kDone = 0;
constexpr int kRefused = 1;  // the card could not be issued, found or read
constexpr int kUsage = 2;    // the command line was wrong

// A new card's records are dated this long before it is issued, so that no
// reader sees them as an exit a moment ago and opens a transfer window.
constexpr int64_t kIssueBackdate = 60;

const char kHelp[] =
    "Usage: card_tool [--dir DIR] issue NUMBER BALANCE\n"
    "       card_tool [--dir DIR] show NUMBER\n"
    "       card_tool [--dir DIR] audit [--format text|json|csv] [--sqlite FILE]\n"
    "       card_tool [--dir DIR] audit --format csv --anomalies|--hours|--topups\n"
    "       card_tool --help | --version\n"
    "\n"
    "Issues and inspects the cards of a fare network. DIR is the network\n"
    "directory, the one the readers run in (default: the current directory);\n"
    "cards are the files DIR/Card/NUMBER.txt.\n"
    "\n"
    "issue   creates the card NUMBER holding BALANCE (0 to 2147483647). Its two\n"
    "        records are subway exits dated one minute earlier, with tap ids\n"
    "        ISSUE_1 and ISSUE_2, so the card is not in a trip and its first tap\n"
    "        at any reader is an ordinary new ride. An existing card is never\n"
    "        overwritten.\n"
    "show    prints the card's history, one record per row, and its state now:\n"
    "        in a trip or not, where it entered, the balance. A card the readers\n"
    "        refuse is reported with the line where it breaks.\n"
    "audit   checks every card against every reader log: each tap on a card must\n"
    "        have exactly one line in its reader's log, and each line its tap.\n"
    "        Prints what does not match (with file and line), and taps and\n"
    "        revenue per reader, per kind of tap and per hour, and the money\n"
    "        top-ups loaded apart from it. --format json or csv prints them for\n"
    "        scripts; with csv, --anomalies, --hours or --topups prints the\n"
    "        anomalies, the taps by hour or the top-ups by hour instead. --sqlite\n"
    "        FILE also writes every card, record, log line, top-up and anomaly\n"
    "        into an SQLite database.\n"
    "\n"
    "NUMBER has 1 to 10 characters and no '/', '\\' or white space, as at the\n"
    "readers' prompt; a new card's number does not begin with '.'.\n"
    "\n"
    "Options:\n"
    "  --dir DIR   work in the network directory DIR (also --dir=DIR)\n"
    "  --help      print this help and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Exit status: 0 done (audit: everything matches); 1 the card exists\n"
    "already, is missing, or is one the readers refuse, or there is no Card/\n"
    "directory (audit: an anomaly was found); 2 the command line is wrong (audit:\n"
    "or DIR is not a network directory).\n";

int usage(const std::string& problem) {
  fprintf(stderr, "card_tool: %s\nTry 'card_tool --help' for more information.\n", problem.c_str());
  return kUsage;
}

int refuse(const std::string& problem) {
  fprintf(stderr, "card_tool: %s\n", problem.c_str());
  return kRefused;
}

// Parses a balance: digits only, at most what a card can hold.
bool parseBalance(const char* text, int32_t* balance) {
  size_t length = strlen(text);
  if (length == 0 || strspn(text, "0123456789") != length) return false;
  const char* digits = text + strspn(text, "0");
  if (strlen(digits) > 10) return false;
  long long value = strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return false;
  *balance = static_cast<int32_t>(value);
  return true;
}

int issueCard(const char* number, const char* balanceText) {
  int32_t balance = 0;
  if (!isCardNumber(number, strlen(number))) {
    return usage("a card number has 1 to 10 characters and no '/', '\\' or white space");
  }
  // Card/.x.txt would be a hidden file that a listing of Card/ does not show.
  if (number[0] == '.') return usage("a new card's number does not begin with '.'");
  if (!parseBalance(balanceText, &balance)) {
    return usage("a balance is a whole number from 0 to 2147483647");
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
  int directory = open("Card", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  printf("Issued card %s with balance %d: %s\n", number, balance, path.c_str());
  return kDone;
}

// Reads a whole card file; returns false with the reason for anything that
// is not a regular file that can be read.
bool readCard(const std::string& path, std::string* bytes, std::string* problem) {
  // O_NONBLOCK keeps a FIFO from stalling the tool, as it does a reader.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *problem = "there is no card file " + path;
    return false;
  }
  struct stat info {};
  bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  char buffer[65536];
  ssize_t n = 0;
  while (regular && (n = read(fd, buffer, sizeof buffer)) > 0)
    bytes->append(buffer, static_cast<size_t>(n));
  close(fd);
  if (!regular || n < 0) *problem = path + " is not a file that can be read";
  return regular && n == 0;
}

int showCard(const char* number) {
  if (!isCardNumber(number, strlen(number))) {
    return usage("a card number has 1 to 10 characters and no '/', '\\' or white space");
  }
  std::string path = cardPath(number), bytes, problem;
  if (!readCard(path, &bytes, &problem)) return refuse(problem);
  if (bytes.empty()) return refuse(path + " is empty: it is not a card the readers can read");
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    size_t end = bytes.find('\n', start);
    lines.push_back(bytes.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // The card is judged as the readers judge it, by its last two records.
  CardRecord tail[2];
  if (loadCardTail(path.c_str(), tail) != LoadStatus::kLoaded) {
    size_t n = lines.size();
    return refuse(
        path + ": the readers refuse this card: " +
        whereCardBreaks(n >= 2 ? lines[n - 2] : "", lines[n - 1], static_cast<int64_t>(n)));
  }

  printf("Card %s (%s), %zu records\n\n", number, path.c_str(), lines.size());
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
  const CardRecord& latest = tail[1];
  printf("\n");
  if (strcmp(latest.inOut, "IN") == 0) {
    std::string reader = readerOfTapId(latest.tapId);
    printf("In a trip: entered the %s at %s on %s (tap %s).\n",
           strcmp(latest.mode, "BUS") == 0 ? "bus" : "subway", reader.c_str(),
           formatDateTime(latest.time).c_str(), latest.tapId);
  } else {
    printf("Not in a trip.\n");
  }
  printf("Balance: %d\n", latest.balance);
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string dir;
  size_t at = 0;
  for (; at < args.size() && args[at].size() > 1 && args[at][0] == '-'; at++) {
    const std::string& option = args[at];
    if (option == "--help" || option == "-h") {
      fputs(kHelp, stdout);
      return kDone;
    }
    if (option == "--version") {
      printf("card_tool (fare readers) %s\n", FARE_VERSION);
      return kDone;
    }
    if (option == "--dir" && at + 1 < args.size()) {
      dir = args[++at];
    } else if (option.rfind("--dir=", 0) == 0) {
      dir = option.substr(6);
    } else if (option == "--dir") {
      return usage("option '--dir' needs a directory");
    } else {
      return usage("unknown option '" + option + "'");
    }
  }
  if (at == args.size()) return usage("no command given: expected 'issue', 'show' or 'audit'");
  const std::string& command = args[at];
  std::vector<std::string> operands(args.begin() + static_cast<long>(at) + 1, args.end());
  if (command != "issue" && command != "show" && command != "audit") {
    return usage("unknown command '" + command + "'");
  }
  if (command == "issue" && operands.size() != 2) return usage("issue takes NUMBER and BALANCE");
  if (command == "show" && operands.size() != 1) return usage("show takes NUMBER");
  std::string format = "text", sqlite, problem;
  if (command == "audit" && !auditOptions(operands, &format, &sqlite, &problem)) {
    return usage(problem);
  }
  // The database's path is the user's, not the network directory's.
  char here[4096];
  if (!sqlite.empty() && sqlite[0] != '/' && getcwd(here, sizeof here) != nullptr) {
    sqlite = std::string(here) + "/" + sqlite;
  }
  if (!dir.empty() && chdir(dir.c_str()) != 0) {
    if (command == "audit") return usage("cannot enter " + dir + ": " + strerror(errno));
    return refuse("cannot enter " + dir + ": " + strerror(errno));
  }
  if (command == "audit") return auditCommand(dir, format, sqlite);
  if (command == "issue") return issueCard(operands[0].c_str(), operands[1].c_str());
  return showCard(operands[0].c_str());
}
