// card_tool's help: what each command does, its options, and what its
// exit statuses mean, printed for the tool or for one command.
#include "tools/card_tool_help.h"

#include <cstdio>
#include <cstring>

#include "office/office_command.h"

namespace {

const CommandHelp kCommands[] = {
    {"issue", "NUMBER BALANCE",
     "Creates the card NUMBER holding BALANCE (0 to 2147483647). Its two\n"
     "records are subway exits dated one minute earlier, with tap ids\n"
     "ISSUE_1 and ISSUE_2, so the card is not in a trip and its first tap\n"
     "at any reader is an ordinary new ride. An existing card is never\n"
     "overwritten; a new card's number does not begin with '.'.\n",
     ""},
    {"topup", "NUMBER AMOUNT",
     "Adds AMOUNT (a whole number from 1 up) to the card's balance, under\n"
     "the card's lock and as one transaction with the office's top-up log\n"
     "Reader_txt/Topup.txt: both are written or neither, as with a tap.\n"
     "The card gets its latest record again with only the balance raised,\n"
     "so every reader decides as it did before, balance aside, in a trip\n"
     "too. Refused for a trip begun by a transfer, which a repeated entry\n"
     "would lose (top it up once the passenger has tapped out), a card the\n"
     "readers refuse, and a balance that would pass 2147483647.\n",
     ""},
    {"show", "NUMBER",
     "Prints the card's history, one record per row, and its state now:\n"
     "in a trip or not, where it entered, the balance. A card the readers\n"
     "refuse is reported with the line where it breaks.\n",
     ""},
    {"list", "[--format text|json|csv]",
     "Prints every card of Card/ with its balance, whether it is in a trip,\n"
     "and its last tap: date and time, reader and direction (a card not\n"
     "tapped since it was issued shows the reader ISSUE). A card the\n"
     "readers refuse, or one that cannot be read, is listed as unreadable\n"
     "with the reason, in the words show and audit use.\n",
     "  --format FORMAT  text (a table, the default), json or csv\n"},
    {"audit",
     "[--format text|json|csv] [--sqlite FILE] [--from DAY] [--to DAY]\n"
     "        [--anomalies|--hours|--topups|--ridership|--held]",
     "Checks every card against every reader log: each tap on a card must\n"
     "have exactly one line in its reader's log, and each line its tap.\n"
     "Prints what does not match (with file and line), and taps and\n"
     "revenue per reader, per kind of tap and per day and hour, ridership\n"
     "per reader, day and hour by kind of tap (entry, exit, transfer,\n"
     "settlement), the money top-ups loaded, apart from the revenue, and\n"
     "the money the cards held at the end of each day, reconciled: held the\n"
     "day before + issued + top-ups - revenue = held (any difference shown).\n"
     "Every report names the first and last day it covers.\n"
     "\n"
     "With --from or --to, every card and log is still read and every tap\n"
     "matched whatever its day, but the totals, the days' money and the\n"
     "database's records, lines and top-ups are those dated in the days\n"
     "asked for, and so are the anomalies about one record or line (a clock\n"
     "ahead when either of the times it compares is); an anomaly about a\n"
     "file as a whole, a note or a line that is no record is always shown.\n",
     "  --format FORMAT  text (a report to read, the default), json or csv\n"
     "  --sqlite FILE    also write every card, record, log line, top-up and\n"
     "                   anomaly, and the days' tables, into the SQLite\n"
     "                   database FILE (replacing only a database an audit wrote)\n"
     "  --from DAY       count from DAY on (YYYY-MM-DD, included)\n"
     "  --to DAY         count up to DAY (YYYY-MM-DD, included; not before --from)\n"
     "  --anomalies      with --format csv: print the anomalies, a row each\n"
     "  --hours          with --format csv: print the taps and revenue per day and hour\n"
     "  --topups         with --format csv: print the top-ups per day and hour\n"
     "  --ridership      with --format csv: print the taps per reader, day and hour\n"
     "                   by kind of tap\n"
     "  --held           with --format csv: print the money held at the end of each\n"
     "                   day and how it reconciles\n"},
    {"help", "[COMMAND]", "    Prints this help, or the help of COMMAND alone.\n", ""},
};

// What each exit status means: one row per command and status, the rows
// every command shares (command "*"), and the rows of the tool as a whole
// (command ""), which its help prints.
struct ExitMeaning {
  const char* command;
  int status;
  const char* meaning;  // lines at the margin; the status is put before the first
};

const ExitMeaning kExitStatuses[] = {
    {"", kDone, "done (audit: everything matches)\n"},
    {"", kRefused,
     "refused: the card exists already, is missing, in a trip begun by a\n"
     "transfer or one the readers refuse, there is no Card/ directory, or\n"
     "a top-up could not be recorded (audit: an anomaly was found)\n"},
    {"", kUsage, "the command line is wrong (audit: or DIR is not a network directory)\n"},
    {"*", kUsage, "the command line is wrong\n"},
    {"issue", kDone, "the card was issued\n"},
    {"issue", kRefused, "the card exists already, or there is no Card/ directory\n"},
    {"topup", kDone, "the card was topped up\n"},
    {"topup", kRefused,
     "the card is missing, in a trip begun by a transfer, refused by the\n"
     "readers or held by a reader, its balance would pass the limit, or\n"
     "the top-up could not be recorded\n"},
    {"show", kDone, "the card was shown\n"},
    {"show", kRefused, "the card is missing, cannot be read, or is one the readers refuse\n"},
    {"list", kDone, "the cards were listed, unreadable ones among them\n"},
    {"list", kRefused, "Card/ cannot be read\n"},
    {"audit", kDone, "everything matches\n"},
    {"audit", kRefused, "an anomaly was found\n"},
    {"audit", kUsage,
     "the command line is wrong, DIR is not a network directory, or the\n"
     "database cannot be written\n"},
    {"help", kDone, "the help was printed\n"},
    {"help", kUsage, "there is no such command\n"},
};

// The lines of one exit status: "  1  meaning", continued lines indented.
std::string exitLines(int status, const char* meaning) {
  std::string out;
  for (const char* line = meaning; *line != '\0';) {
    const char* end = strchr(line, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - line) + 1 : strlen(line);
    out += (line == meaning ? "  " + std::to_string(status) + "  " : std::string(5, ' ')) +
           std::string(line, length);
    line += length;
  }
  return out;
}

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

}  // namespace

std::string exitStatusHelp(const std::string& command) {
  std::string out;
  for (int status : {kDone, kRefused, kUsage}) {
    const ExitMeaning* found = nullptr;
    for (const char* whose : {command.c_str(), command.empty() ? "" : "*"}) {
      for (const ExitMeaning& row : kExitStatuses) {
        if (found == nullptr && row.status == status && strcmp(row.command, whose) == 0) {
          found = &row;
        }
      }
    }
    if (found != nullptr) out += exitLines(status, found->meaning);
  }
  return out;
}

// The command called `name`, or nullptr when there is none.
const CommandHelp* findCommand(const std::string& name) {
  for (const CommandHelp& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// `text` with `indent` put before each of its lines.
static std::string indented(const char* text, const char* indent) {
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
  printf("Exit status:\n%s", exitStatusHelp("").c_str());
}

// One command's help: its usage, what it does, its own options and the
// options of every command, and its exit statuses.
void printCommandHelp(const CommandHelp& c) {
  printf("Usage: %s [--dir DIR] %s %s\n\n%s", programName.c_str(), c.name, c.operands,
         c.description);
  if (c.options[0] != '\0') printf("\nOptions:\n%s", c.options);
  printf("\nOptions of every command:\n%s", kOptionsHelp);
  if (strstr(c.operands, "NUMBER") != nullptr) printf("\n%s", kNumberHelp);
  printf("\nExit status:\n%s", exitStatusHelp(c.name).c_str());
}
