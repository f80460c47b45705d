// The operators' card tool: issues cards, tops them up, lists them, shows
// one's history and state, audits them against the readers' logs, and
// makes the audit's report as an HTML page. This file is its command line
// (options, help, exit statuses); each command's work is in office/.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/network.h"
#include "core/settle.h"
#include "core/storage.h"
#include "office/audit_command.h"
#include "office/card_view.h"
#include "office/card_writes.h"
#include "office/office_command.h"
#include "tools/card_tool_help.h"

namespace {

// The CSV tables of the audit besides its first, as their options name them.
const char* const kAuditTables[] = {"--anomalies", "--hours", "--topups", "--ridership", "--held"};

// Whether a word is an option: '-' and more, but not a negative number,
// which is an operand (an amount or balance, refused as such).
bool isOption(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !isdigit(static_cast<unsigned char>(word[1]));
}

// Reads the value of --from or --to, `option`, into `days`. Returns false,
// with `problem` set, for anything but a real date written YYYY-MM-DD.
bool dayOption(const std::string& option, const std::string& value, AuditDays* days,
               std::string* problem) {
  if (parseDay(value, option == "--from" ? &days->from : &days->to)) return true;
  *problem = "option '" + option + "' needs a day as YYYY-MM-DD that exists, not '" + value + "'";
  return false;
}

// Whether `days` run forwards: the first not after the last. Returns
// false, with `problem` set, when they do not.
bool daysInOrder(const AuditDays& days, std::string* problem) {
  if (days.from == 0 || days.to == 0 || days.from <= days.to) return true;
  *problem = "'--from " + dayText(days.from) + "' is after '--to " + dayText(days.to) + "'";
  return false;
}

// An option of `operands` at `i`, and its value: the part after '=', or
// the next word (then `i` moves past it); empty when there is none.
std::string optionAt(const std::vector<std::string>& operands, size_t* i, std::string* value) {
  std::string option = operands[*i];
  size_t equals = option.find('=');
  if (equals != std::string::npos) {
    *value = option.substr(equals + 1);
    return option.substr(0, equals);
  }
  *value = *i + 1 < operands.size() ? operands[++*i] : "";
  return option;
}

// Reads the report's options: --html FILE, which it needs, --from DAY and
// --to DAY, each also as --option=VALUE. Returns false, with `problem`
// set, for anything else.
bool reportOptions(const std::vector<std::string>& operands, std::string* html, AuditDays* days,
                   std::string* problem) {
  for (size_t i = 0; i < operands.size(); i++) {
    const std::string given = operands[i];
    std::string value, option = optionAt(operands, &i, &value);
    if (option != "--html" && option != "--from" && option != "--to") {
      *problem =
          (isOption(given) ? "unknown option '" : "unexpected operand '") + given + "' for report";
      return false;
    }
    if (value.empty()) {
      *problem = "option '" + option + "' needs a value";
      return false;
    }
    if (option == "--html") {
      *html = value;
    } else if (!dayOption(option, value, days, problem)) {
      return false;
    }
  }
  if (html->empty()) {
    *problem = "report needs --html FILE";
    return false;
  }
  return daysInOrder(*days, problem);
}

// Reads the audit's options: --format FORMAT, --sqlite FILE, --from DAY,
// --to DAY (YYYY-MM-DD, real dates, the first not after the second) and
// --checkpoint FILE (with none of --from, --to or --sqlite), each
// also as --option=VALUE, and with --format csv one of kAuditTables, which
// rides in `format` ("csv:hours"). Returns false, with `problem` set, for
// anything else.
bool auditOptions(const std::vector<std::string>& operands, std::string* format,
                  std::string* sqlite, AuditDays* days, std::string* checkpoint,
                  std::string* problem) {
  std::string table;  // the CSV table asked for, as given
  for (size_t i = 0; i < operands.size(); i++) {
    const std::string given = operands[i];
    if (std::find(std::begin(kAuditTables), std::end(kAuditTables), given) !=
        std::end(kAuditTables)) {
      if (!table.empty() && table != given) {
        *problem = "options '" + table + "' and '" + given + "' ask for different tables";
        return false;
      }
      table = given;
      continue;
    }
    std::string value, option = optionAt(operands, &i, &value);
    if (option != "--format" && option != "--sqlite" && option != "--from" && option != "--to" &&
        option != "--checkpoint") {
      *problem = "unknown option '" + given + "' for audit";
      return false;
    }
    if (value.empty()) {
      *problem = "option '" + option + "' needs a value";
      return false;
    }
    if (option == "--from" || option == "--to") {
      if (!dayOption(option, value, days, problem)) return false;
      continue;
    }
    (option == "--format" ? *format : option == "--sqlite" ? *sqlite : *checkpoint) = value;
  }
  if (!daysInOrder(*days, problem)) return false;
  // A checkpoint carries every day, and hands nothing on line by line.
  if (!checkpoint->empty() && (days->from != 0 || days->to != 0 || !sqlite->empty())) {
    *problem =
        "option '--checkpoint' audits every day into no database: it takes no --from, "
        "--to or --sqlite";
    return false;
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

// Reads the options of `command` (list or show): --format FORMAT, also as
// --format=FORMAT, and for show its operands, into `operands`. Returns
// false, with `problem` set, for anything else, or any operand when
// `operands` is null.
[[nodiscard]] bool formatOptions(const std::string& command, const std::vector<std::string>& args,
                                 std::string* format, std::vector<std::string>* operands,
                                 std::string* problem) {
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& given = args[i];
    bool joined = given.rfind("--format=", 0) == 0;
    if (given != "--format" && !joined && operands != nullptr && !isOption(given)) {
      operands->push_back(given);
      continue;
    }
    if (given != "--format" && !joined) {
      *problem = (given[0] == '-' ? "unknown option '" : "unexpected operand '") + given +
                 "' for " + command;
      return false;
    }
    if (!joined && i + 1 == args.size()) {
      *problem = "option '--format' needs a value";
      return false;
    }
    *format = joined ? given.substr(9) : args[++i];
  }
  if (*format != "text" && *format != "json" && *format != "csv") {
    *problem = "unknown format '" + *format + "': text, json or csv";
    return false;
  }
  return true;
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
  std::string problem, format = "text", sqlite, html, checkpoint;
  AuditDays days;
  if (command == "audit" || command == "list" || command == "report") {
    if (!line.after.empty()) {
      return usage("unexpected operand '" + line.after.front() + "' for " + command, command);
    }
    bool read =
        command == "audit" ? auditOptions(line.args, &format, &sqlite, &days, &checkpoint, &problem)
        : command == "report" ? reportOptions(line.args, &html, &days, &problem)
                              : formatOptions(command, line.args, &format, nullptr, &problem);
    if (!read) return usage(problem, command);
  } else if (command == "show") {
    if (!formatOptions(command, line.args, &format, &operands, &problem)) {
      return usage(problem, command);
    }
    operands.insert(operands.end(), line.after.begin(), line.after.end());
  } else if (!operandsOnly(line, &operands, &problem)) {
    return usage(problem, command);
  }
  bool writes = command == "issue" || command == "topup" || command == "refund" ||
                command == "close" || command == "replace";
  size_t wanted = command == "refund"                                                ? 3
                  : command == "issue" || command == "topup" || command == "replace" ? 2
                  : command == "show" || command == "close"                          ? 1
                                                                                     : 0;
  if (operands.size() != wanted) {
    // The operands named, without the options that follow them.
    std::string names = findCommand(command)->operands;
    names = names.substr(0, names.find(" ["));
    size_t space = names.find(' ');
    size_t last = names.rfind(' ');
    if (last != std::string::npos) names.replace(last, 1, " and ");
    if (space != last) names.replace(space, 1, ", ");
    return usage(command + " takes " + names, command);
  }
  // The network directory, held open (O_PATH: searching it is all that is
  // needed, as with a chdir): every file is reached from it.
  std::string shownAs = line.dir.empty() ? "." : line.dir;
  int dir = line.dir.empty() ? kHere : open(line.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 && dir != kHere) return noNetwork(systemError("open", line.dir));
  // Every command works on a network directory, and says alike that DIR
  // is none.
  std::string notNetwork = notANetwork(dir, shownAs);
  if (!notNetwork.empty()) return noNetwork(notNetwork);
  // On a network file system whose client may serve cards from its caches,
  // nothing is written (a top-up could be made on a stale card), and what
  // is read may be stale: the operator is told.
  std::string stale = staleStorage(dir, kCardDirectory);
  if (stale.empty()) stale = staleStorage(dir, kLogDirectory);
  if (!stale.empty() && writes) {
    return refuse("nothing is written here: " + stale);
  }
  // The network has one owner, whom every writer runs as: a file made by
  // another user (root's lock file, root's journal) would stop the readers.
  std::string owner = notOwner(dir);
  if (!owner.empty() && writes) {
    return refuse("nothing is written here: " + owner);
  }
  if (!stale.empty()) {
    warn("what is read here may be stale: " + stale);
  }
  if (command == "audit") return auditCommand(dir, shownAs, format, sqlite, days, checkpoint);
  if (command == "report") return reportCommand(dir, shownAs, html, days, FARE_VERSION);
  if (command == "list") return listCards(dir, format);
  if (command == "issue") return issueCard(dir, operands[0].c_str(), operands[1].c_str());
  if (command == "topup") return topUpCard(dir, operands[0], operands[1].c_str());
  if (command == "refund") {
    return refundCard(dir, operands[0], operands[1].c_str(), operands[2].c_str());
  }
  if (command == "close") return closeCard(dir, operands[0]);
  if (command == "replace") return replaceCard(dir, operands[0], operands[1]);
  return showCard(dir, operands[0].c_str(), format);
}

}  // namespace

int main(int argc, char** argv) {
  if (!takeStandardStreams()) return kNoOutput;
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
    return usage(
        "no command given: expected issue, topup, refund, close, replace, show, list, audit, "
        "report or help");
  }
  return runCommand(line);
}
