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
     "the card's lock and as one transaction with the office's log\n"
     "Reader_txt/Topup.txt: both are written or neither, as with a tap.\n"
     "The card gets its latest record again with only the balance raised\n"
     "(for a trip begun by a transfer, its last two records), so every\n"
     "reader decides as it did before, balance aside, in a trip too.\n"
     "Refused for a card the readers refuse, and a balance that would\n"
     "pass 2147483647.\n",
     ""},
    {"refund", "NUMBER AMOUNT REASON",
     "Takes AMOUNT (from 1 up to the balance) off the card's balance, paid\n"
     "back to the passenger for REASON (1 to 24 printable ASCII characters,\n"
     "no ','), recorded as a top-up is, as a REFUND line of\n"
     "Reader_txt/Topup.txt. A card in a trip keeps at least 700, the most\n"
     "its exit may charge. The audit counts refunds apart from revenue.\n",
     ""},
    {"close", "NUMBER",
     "Pays out the card's whole balance and retires the card: its balance\n"
     "goes to 0 with a CLOSE line of Reader_txt/Topup.txt, as one\n"
     "transaction, and the card is then kept as Card/NUMBER.txt.retired,\n"
     "where no reader finds it (they answer as for no card). Refused for a\n"
     "card in a trip, whose fare is still to be paid: close it once the\n"
     "passenger has tapped out, or replace it. A retired number is never\n"
     "issued again.\n",
     ""},
    {"replace", "NUMBER NEW",
     "Replaces a lost or broken card by the new card NEW: NEW is made\n"
     "holding NUMBER's balance and its trip (NUMBER's last two records\n"
     "again), so a passenger in a trip taps out with NEW and is charged as\n"
     "with NUMBER. NUMBER's balance goes to 0 with a REPLACE line of\n"
     "Reader_txt/Topup.txt naming NEW, as one transaction under NUMBER's\n"
     "lock; then NEW takes its name and NUMBER is retired as by close.\n"
     "Both or neither: a replacement cut short after its line was written\n"
     "is finished by the office's next topup, refund, close or replace.\n",
     ""},
    {"show", "NUMBER [--format text|json|csv]",
     "Prints the card's history, one record per row with the change of\n"
     "balance and who made it: 'issue' for its first two records, the\n"
     "office's kind and line for a record the office appended (the record\n"
     "before it again, or for a trip begun by a transfer the two before it,\n"
     "with another balance), told by Reader_txt/Topup.txt: 'office: top-up\n"
     "+5000 (Reader_txt/Topup.txt:3)', or 'balance changed with no office\n"
     "line' when no line of that log tells it. Then its state now: in a\n"
     "trip or not, where and how it entered, and what its next tap does at\n"
     "each reader, as the readers' rules decide it: in the transfer window\n"
     "of the latest exit and after it, or, in a trip, at a reader whose\n"
     "operating period began before the entry and at one whose period began\n"
     "after it (every running reader's, 181 s after the entry), which\n"
     "settles the open trip. A card the office closed or replaced is shown\n"
     "from Card/NUMBER.txt.retired, with what became of it. A card the\n"
     "readers refuse is reported with the line where it breaks, in every\n"
     "format.\n",
     "  --format FORMAT  text (the default), json (one object: card, path,\n"
     "                   balance, state, records) or csv (a row a record)\n"},
    {"list", "[--format text|json|csv]",
     "Prints every card of Card/ with its balance, whether it is in a trip,\n"
     "and its last tap: date and time, reader and direction (a card not\n"
     "tapped since it was issued shows the reader ISSUE). A card the\n"
     "readers refuse, or one that cannot be read, is listed as unreadable\n"
     "with the reason, in the words show and audit use.\n",
     "  --format FORMAT  text (a table, the default), json or csv\n"},
    {"audit",
     "[--format text|json|csv] [--sqlite FILE] [--from DAY] [--to DAY] [--checkpoint FILE] "
     "[--anomalies|--hours|--topups|--ridership|--held]",
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
     "file as a whole, a note or a line that is no record is always shown.\n"
     "\n"
     "With --checkpoint FILE, the first audit reads everything and keeps in\n"
     "FILE where each card and log ended and what the audit needs to go on;\n"
     "each later one reads only what was appended since, and reports what a\n"
     "full audit would. A file that shrank, was replaced or whose bytes where\n"
     "the last audit stopped changed is told (history_changed), and the\n"
     "network audited again in full. An edit deep inside what was read\n"
     "before is not seen: audit without it now and then (docs/audit.md).\n",
     "  --format FORMAT  text (a report to read, the default), json or csv\n"
     "  --sqlite FILE    also write every card, record, log line, top-up and\n"
     "                   anomaly, and the days' tables, into the SQLite\n"
     "                   database FILE (replacing only a database an audit wrote)\n"
     "  --from DAY       count from DAY on (YYYY-MM-DD, included)\n"
     "  --to DAY         count up to DAY (YYYY-MM-DD, included; not before --from)\n"
     "  --checkpoint FILE  go on from the audit that wrote FILE, and write it anew\n"
     "                   (every day; not with --from, --to or --sqlite)\n"
     "  --anomalies      with --format csv: print the anomalies, a row each\n"
     "  --hours          with --format csv: print the taps and revenue per day and hour\n"
     "  --topups         with --format csv: print the top-ups per day and hour\n"
     "  --ridership      with --format csv: print the taps per reader, day and hour\n"
     "                   by kind of tap\n"
     "  --held           with --format csv: print the money held at the end of each\n"
     "                   day and how it reconciles\n"},
    {"report", "--html FILE [--from DAY] [--to DAY]",
     "Audits the network as audit does and writes what it found as one HTML\n"
     "page, FILE, that any browser opens offline: it needs no other file and\n"
     "makes no request. For each day: the taps per reader and hour by kind\n"
     "of ride as a heat map, the revenue per hour, the top-ups, refunds,\n"
     "closes and replacements per hour, and the money on the cards from the\n"
     "day's start to its end, reconciled. Then each reader's last tap and\n"
     "whether its journal holds a tap in flight (a reader whose last tap\n"
     "came more than an hour before the network's last is marked quiet), the\n"
     "taps and revenue by reader and kind of tap, and every anomaly with its\n"
     "detail and what to do (up to 1000 of a kind: audit --format csv\n"
     "--anomalies lists them all). The page names its days, the network\n"
     "directory, when it was made and the version that made it. FILE is\n"
     "built as FILE.building and renamed into place; it replaces only a page\n"
     "report wrote. Prints where the page is and what it counts.\n",
     "  --html FILE      write the page to FILE (also --html=FILE)\n"
     "  --from DAY       count from DAY on (YYYY-MM-DD, included), as audit does\n"
     "  --to DAY         count up to DAY (YYYY-MM-DD, included; not before --from)\n"
     "  --checkpoint FILE  go on from the audit that wrote FILE, and write it anew\n"
     "                   (every day; not with --from, --to or --sqlite)\n"},
    {"help", "[COMMAND]", "Prints this help, or the help of COMMAND alone.\n", ""},
};

// What each exit status means. The rows of command "" are the one table,
// the same for every command, which the tool's help prints. Each command
// has a row for every status it can give, in its own words where they say
// more than the table's (meaning nullptr: the table's words).
struct ExitMeaning {
  const char* command;
  int status;
  const char* meaning;  // lines at the margin; the status is put before the first
};

const ExitMeaning kExitStatuses[] = {
    {"", kDone, "done (audit: and everything matches)\n"},
    {"", kRefused,
     "refused, saying why: what was asked cannot be done to this card or\n"
     "in this network, and nothing is written (audit: it found anomalies)\n"},
    {"", kUsage,
     "the command line is wrong: an unknown command or option, a missing\n"
     "or extra operand, a bad number, balance, amount or format\n"},
    {"", kNoNetwork,
     "DIR is not a network directory (it needs Card/ and Reader_txt/), or\n"
     "it, Card/ or Reader_txt/ cannot be opened or listed\n"},
    {"", kNoOutput,
     "the output could not be written: what the command prints, the\n"
     "database FILE of audit --sqlite or the page FILE of report --html\n"
     "(never replacing one the command did not write), or audit\n"
     "--checkpoint's FILE, or it is another network's, of another format\n"
     "or damaged (and left as it is)\n"},
    {"issue", kDone, "the card was issued\n"},
    {"issue", kRefused,
     "the card exists already or could not be written, or this user or\n"
     "file system may not write the network\n"},
    {"issue", kUsage, nullptr},
    {"issue", kNoNetwork, nullptr},
    {"topup", kDone, "the card was topped up\n"},
    {"topup", kRefused,
     "the card is missing, retired, refused by the readers or held by a\n"
     "reader, its balance would pass the limit, the top-up could not be\n"
     "recorded, or this user or file system may not write the network\n"},
    {"topup", kUsage, nullptr},
    {"topup", kNoNetwork, nullptr},
    {"refund", kDone, "the money was taken off the card\n"},
    {"refund", kRefused,
     "the card is missing, retired, refused by the readers or held by a\n"
     "reader, holds less than AMOUNT, or the refund could not be recorded\n"},
    {"refund", kUsage, nullptr},
    {"refund", kNoNetwork, nullptr},
    {"close", kDone, "the card was closed\n"},
    {"close", kRefused,
     "the card is missing, retired, in a trip, refused by the readers or\n"
     "held by a reader, or the close could not be recorded\n"},
    {"close", kUsage, nullptr},
    {"close", kNoNetwork, nullptr},
    {"replace", kDone, "the card was replaced\n"},
    {"replace", kRefused,
     "the card is missing, retired, refused by the readers or held by a\n"
     "reader, NEW exists or was retired, or the move could not be recorded\n"},
    {"replace", kUsage, nullptr},
    {"replace", kNoNetwork, nullptr},
    {"show", kDone, "the card was shown\n"},
    {"show", kRefused, "the card is missing, cannot be read, or is one the readers refuse\n"},
    {"show", kUsage, nullptr},
    {"show", kNoNetwork, nullptr},
    {"show", kNoOutput, "the card could not be printed\n"},
    {"list", kDone, "the cards were listed, unreadable ones among them\n"},
    {"list", kUsage, nullptr},
    {"list", kNoNetwork, nullptr},
    {"list", kNoOutput, "the list could not be printed\n"},
    {"audit", kDone, "everything matches\n"},
    {"audit", kRefused, "it found anomalies, which the report names\n"},
    {"audit", kUsage, nullptr},
    {"audit", kNoNetwork, nullptr},
    {"audit", kNoOutput,
     "the report could not be printed, or the database FILE written (or\n"
     "it is not one an audit wrote, which is left alone)\n"},
    {"report", kDone, "the page was written, whatever anomalies it shows\n"},
    {"report", kUsage, nullptr},
    {"report", kNoNetwork, nullptr},
    {"report", kNoOutput,
     "the page FILE could not be written, or something is there that is\n"
     "not a page report wrote (it is left alone)\n"},
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

// The table's row of `status`, or nullptr.
static const ExitMeaning* tableRow(int status) {
  for (const ExitMeaning& row : kExitStatuses) {
    if (row.command[0] == '\0' && row.status == status) return &row;
  }
  return nullptr;
}

std::string exitStatusHelp(const std::string& command) {
  std::string out;
  for (const ExitMeaning& row : kExitStatuses) {
    if (row.command != command) continue;
    const char* meaning = row.meaning != nullptr ? row.meaning : tableRow(row.status)->meaning;
    out += exitLines(row.status, meaning);
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
  // A usage line each, however long: the man page's synopsis is made of
  // these lines, and a line that continues one would end it.
  for (const CommandHelp& c : kCommands) {
    std::string operands = c.operands;
    for (size_t at; (at = operands.find("\n")) != std::string::npos;) {
      size_t next = operands.find_first_not_of(' ', at + 1);
      operands.replace(at, next - at, " ");
    }
    printf("%s %s [--dir DIR] %s %s\n", &c == &kCommands[0] ? "Usage:" : "  or: ", name, c.name,
           operands.c_str());
  }
  printf("  or:  %s --help | --version\n\n", name);
  printf(
      "Issues, tops up, refunds, closes, replaces, lists and shows the cards of a\n"
      "fare network, audits them against the readers' logs, and makes the\n"
      "audit's report as an HTML page. DIR is the\n"
      "network directory, the one the\n"
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
