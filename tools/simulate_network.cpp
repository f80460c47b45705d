// Simulates a day of the network: makes a new network directory with N
// cards and fills its cards and logs with a day of passengers, each tap
// decided by the readers' own rules. It refuses a directory that holds
// anything, so that it can never add cards and lines to a live network.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/text.h"
#include "office/simulation.h"
#include "office/tap_kind.h"

namespace {

// Exit statuses a script can rely on, as the card tool's.
constexpr int kDone = 0;
constexpr int kRefused = 1;  // DIR holds something, or the day could not be written
constexpr int kUsage = 2;    // the command line was wrong

// Card numbers have at most 10 characters; the day is simulated in memory,
// a passenger for each card, so far fewer cards than that fit.
constexpr int64_t kMaxCardNumber = 9999999999;
constexpr int64_t kMaxCards = 10000000;
// More taps than this would take the simulation hours.
constexpr int64_t kMaxTaps = 1000000000;
// The day's packed times need a four-digit year, and its last taps run
// past midnight.
constexpr int64_t kFirstDate = 19700101;
constexpr int64_t kLastDate = 99991230;

// The name the simulator was run by (simulate_network, or
// fare-simulate-network as installed); set once, first thing in main.
std::string programName = "simulate_network";

int usage(const std::string& problem) {
  fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", programName.c_str(),
          problem.c_str(), programName.c_str());
  return kUsage;
}

void printHelp() {
  const SimulationPlan defaults;
  const char* name = programName.c_str();
  printf(
      "Usage: %s DIR [--cards N] [--taps T] [--seed S] [--date YYYYMMDD]\n"
      "          [--misbuilt READER:KIND:FARE]\n"
      "  or:  %s --help | --version\n"
      "\n"
      "Makes the network directory DIR, which must be empty or not exist yet,\n"
      "and fills it with a simulated day: N cards issued, numbered from 1, and\n"
      "about T taps on them at the six readers, each decided by the readers'\n"
      "own rules, on a clock in UTC. The same options give the same files, byte\n"
      "for byte. A directory that holds anything is refused, so that a live\n"
      "network is never added to.\n"
      "\n"
      "Options:\n"
      "  --cards N        cards to issue, 1 to %lld (default %lld)\n"
      "  --taps T         about how many taps the day holds, 1 to %lld\n"
      "                   (default %lld)\n"
      "  --seed S         the passengers' choices, a whole number (default %llu)\n"
      "  --date YYYYMMDD  the day, a real date from %lld to %lld\n"
      "                   (default %lld)\n"
      "  --misbuilt READER:KIND:FARE\n"
      "                   a test of the audit: reader READER (S1 to S5, or B)\n"
      "                   decides by the rules but charges FARE for every tap\n"
      "                   of KIND (new_ride, transfer, exit,\n"
      "                   exit_after_transfer or settlement), as a reader built\n"
      "                   with that one fare wrong would; the audit reports\n"
      "                   each such tap as a fare_mismatch\n"
      "  -h, --help       print this help and exit\n"
      "  --version        print the version and exit\n"
      "\n"
      "Each option also takes its value after '=' (--cards=N); '--' ends the\n"
      "options.\n"
      "\n"
      "Exit status:\n"
      "  0  the day was simulated\n"
      "  1  DIR holds something or is no directory, or the day could not be\n"
      "     written\n"
      "  2  the command line is wrong\n",
      name, name, static_cast<long long>(kMaxCards), static_cast<long long>(defaults.cards),
      static_cast<long long>(kMaxTaps), static_cast<long long>(defaults.taps),
      static_cast<unsigned long long>(defaults.seed), static_cast<long long>(kFirstDate),
      static_cast<long long>(kLastDate), static_cast<long long>(defaults.date));
}

// Parses a whole number of digits alone, with no sign, that fits 64 bits
// unsigned. Returns false, leaving `value` alone, for anything else.
[[nodiscard]] bool parseWhole(const std::string& text, uint64_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  uint64_t parsed = 0;
  for (char c : text) {
    if (__builtin_mul_overflow(parsed, 10, &parsed) ||
        __builtin_add_overflow(parsed, static_cast<uint64_t>(c - '0'), &parsed)) {
      return false;
    }
  }
  *value = parsed;
  return true;
}

// Whether YYYYMMDD names a day of the calendar.
bool isRealDate(uint64_t date) {
  uint64_t year = date / 10000, month = date / 100 % 100, day = date % 100;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const uint64_t days[] = {31, leap ? 29u : 28u, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1];
}

// Sets the plan's field for `option` from `value`. Returns why the value
// does not fit, or "" when it does.
std::string setOption(const std::string& option, const std::string& value, SimulationPlan* plan) {
  uint64_t n = 0;
  bool whole = parseWhole(value, &n);
  if (option == "--cards") {
    if (!whole || n == 0)
      return "--cards takes a whole number of cards from 1 up, not '" + value + "'";
    if (n > static_cast<uint64_t>(kMaxCardNumber)) {
      return "card numbers have at most 10 characters: --cards " + value + " is too many";
    }
    if (n > static_cast<uint64_t>(kMaxCards)) {
      return "--cards " + value + " would need too much memory: at most " +
             std::to_string(kMaxCards) + " cards";
    }
    plan->cards = static_cast<int64_t>(n);
  } else if (option == "--taps") {
    if (!whole || n == 0 || n > static_cast<uint64_t>(kMaxTaps)) {
      return "--taps takes a whole number from 1 to " + std::to_string(kMaxTaps) + ", not '" +
             value + "'";
    }
    plan->taps = static_cast<int64_t>(n);
  } else if (option == "--seed") {
    if (!whole) return "--seed takes a whole number, not '" + value + "'";
    plan->seed = n;
  } else if (option == "--misbuilt") {
    if (!parseMisbuilt(value, &plan->misbuilt)) {
      return "--misbuilt takes READER:KIND:FARE, as S3:new_ride:1100, not '" + value + "'";
    }
  } else {
    if (value.size() != 8 || !whole || !isRealDate(n) || n < static_cast<uint64_t>(kFirstDate) ||
        n > static_cast<uint64_t>(kLastDate)) {
      return "--date takes a real date YYYYMMDD from " + std::to_string(kFirstDate) + " to " +
             std::to_string(kLastDate) + ", not '" + value + "'";
    }
    plan->date = static_cast<int64_t>(n);
  }
  return "";
}

// Why the day cannot be made in `dir`: it exists and is no directory, or
// holds anything; or it is missing and cannot be made (then it is made).
// Empty when it is an empty directory now.
std::string unusableDirectory(const std::string& dir) {
  struct stat info {};
  if (stat(dir.c_str(), &info) != 0) {
    if (errno == ENOENT && mkdir(dir.c_str(), 0755) == 0) return "";
    return "cannot make " + dir + ": " + strerror(errno);
  }
  if (!S_ISDIR(info.st_mode)) return dir + " is not a directory";
  DIR* entries = opendir(dir.c_str());
  if (entries == nullptr) return "cannot read " + dir + ": " + strerror(errno);
  bool empty = true;
  while (dirent* entry = empty ? readdir(entries) : nullptr) {
    empty = strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0;
  }
  closedir(entries);
  if (empty) return "";
  return dir +
         " holds files already: the simulator makes a new network and never adds to one; give a "
         "directory that is empty or does not exist yet";
}

}  // namespace

int main(int argc, char** argv) {
  if (!takeStandardStreams()) return EXIT_FAILURE;
  const char* slash = argc > 0 ? strrchr(argv[0], '/') : nullptr;
  if (argc > 0 && argv[0][0] != '\0') programName = slash != nullptr ? slash + 1 : argv[0];
  // Help and version answer whatever else the command line holds.
  for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      printHelp();
      return kDone;
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("%s (fare readers) %s\n", programName.c_str(), FARE_VERSION);
      return kDone;
    }
  }
  SimulationPlan plan;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; i++) {
    std::string word = argv[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      operands.push_back(word);
    } else if (word == "--") {
      optionsEnded = true;
    } else {
      size_t equals = word.find('=');
      std::string option = word.substr(0, equals);
      if (option != "--cards" && option != "--taps" && option != "--seed" && option != "--date" &&
          option != "--misbuilt") {
        return usage("unknown option '" + word + "'");
      }
      if (equals == std::string::npos && i + 1 == argc) {
        return usage("option '" + option + "' needs a value");
      }
      std::string value = equals != std::string::npos ? word.substr(equals + 1) : argv[++i];
      std::string problem = setOption(option, value, &plan);
      if (!problem.empty()) return usage(problem);
    }
  }
  if (operands.size() != 1) {
    return usage(operands.empty() ? "no DIR given: the network directory to make"
                                  : "one DIR only, not '" + operands[1] + "' as well");
  }
  const std::string& dir = operands[0];
  std::string problem = unusableDirectory(dir);
  if (!problem.empty()) {
    fprintf(stderr, "%s: %s\n", programName.c_str(), problem.c_str());
    return kRefused;
  }
  SimulationResult result;
  auto start = std::chrono::steady_clock::now();
  if (!simulateDay(dir, plan, &result, &problem)) {
    fprintf(stderr, "%s: %s\n", programName.c_str(), problem.c_str());
    return kRefused;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("Simulated %s: %s, %s recorded, %lld refused, in %.1f s (%.0f taps a second)\n",
         counted(plan.cards, "card", "cards").c_str(),
         counted(result.journeys, "journey", "journeys").c_str(),
         counted(result.taps, "tap", "taps").c_str(), static_cast<long long>(result.refused),
         seconds, static_cast<double>(result.taps + result.refused) / seconds);
  if (plan.misbuilt.readerId[0] != '\0') {
    printf("Reader %s charged %d for each %s: %s charged otherwise than its rules\n",
           plan.misbuilt.readerId, plan.misbuilt.fare, tapKindName(plan.misbuilt.kind),
           counted(result.mischarged, "tap", "taps").c_str());
  }
  return kDone;
}
