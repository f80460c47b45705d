// Cards as the office shows them: one card, or the list of every card.
#include "office/card_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/card_file.h"
#include "core/card_transaction.h"
#include "core/file_io.h"
#include "core/packed_time.h"
#include "core/text.h"
#include "office/audit.h"
#include "office/line_reader.h"
#include "office/office_command.h"
#include "office/report.h"

// Reads a whole card file into `view`: its lines, or, for a file that is
// not there or cannot be read, `found` and `problem`. Returns whether it
// was read.
[[nodiscard]] static bool readCardLines(int dir, const std::string& path, CardView* view) {
  // O_NONBLOCK keeps a FIFO from stalling the tool, and O_NOFOLLOW a link
  // from leading it to another file, as they do a reader.
  int fd = openat(dir, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  view->found = fd >= 0 || errno != ENOENT;
  if (fd < 0) {
    view->problem = std::string("cannot read this card: ") +
                    (errno == ELOOP ? "not a regular file" : strerror(errno));
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    close(fd);
    view->problem = std::string("cannot read this card: ") +
                    (S_ISREG(info.st_mode) && info.st_nlink > 1 ? kSecondName : kNotRegular);
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

CardView viewCard(int dir, const std::string& path, bool withLines) {
  CardView view;
  if (!withLines && loadCardTail(dir, path.c_str(), view.records) == LoadStatus::kLoaded) {
    view.found = view.readable = true;
    return view;
  }
  if (!readCardLines(dir, path, &view)) return view;
  view.readable = loadCardTail(dir, path.c_str(), view.records) == LoadStatus::kLoaded;
  if (!view.readable) {
    size_t n = view.lines.size();
    view.problem = "the readers refuse this card: " +
                   whereCardBreaks(n >= 2 ? view.lines[n - 2] : "", view.lines[n - 1],
                                   static_cast<int64_t>(n));
  }
  return view;
}

std::string cardFault(const std::string& path, const CardView& view) {
  return view.found ? path + ": " + view.problem : "there is no card file " + path;
}

std::string entryText(const CardRecord& latest) {
  return std::string("entered the ") + (strcmp(latest.mode, "BUS") == 0 ? "bus" : "subway") +
         " at " + readerOfTapId(latest.tapId) + " on " + formatDateTime(latest.time) + " (tap " +
         bareTapId(latest.tapId) + ")";
}

bool inTrip(const CardRecord& latest) {
  return strcmp(latest.inOut, "IN") == 0;
}

int showCard(int dir, const char* number) {
  if (!isCardNumber(number, strlen(number))) return usage(kCardNumberRule, "show");
  std::string path = cardPath(number);
  CardView view = viewCard(dir, path, true);
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
static bool countingOrder(const std::string& a, const std::string& b) {
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
[[nodiscard]] static bool cardNumbers(int dir, std::vector<std::string>* numbers) {
  DIR* cards = openDirectory(dir, kCardDirectory);
  if (cards == nullptr) return false;
  while (dirent* entry = readdir(cards)) {
    std::string path = std::string(kCardDirectory) + "/" + entry->d_name;
    if (entry->d_name[0] != '.' && isCardPath(path)) numbers->push_back(cardNumberOf(path));
  }
  closedir(cards);
  std::sort(numbers->begin(), numbers->end(), countingOrder);
  return true;
}

// One card of the list as JSON: the number as it can be shown, and either
// its balance, trip and last tap or why it is unreadable.
static nlohmann::ordered_json cardJson(const std::string& number, const CardView& view) {
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

int listCards(int dir, const std::string& format) {
  std::vector<std::string> numbers;
  if (!cardNumbers(dir, &numbers)) {
    return refuse(systemError("read", std::string(kCardDirectory) + "/") +
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
  long long held = 0;  // the money on the readable cards: what the network owes their holders
  for (const std::string& number : numbers) {
    CardView view = viewCard(dir, cardPath(number.c_str()), false);
    // A card gone since the directory was read is no card of the list.
    if (!view.found) continue;
    cards++;
    const CardRecord& latest = view.records[1];
    trips += view.readable && inTrip(latest);
    unreadable += !view.readable;
    if (view.readable) held += latest.balance;
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
  if (format == "json") printf("%s],\n  \"held\": %lld\n}\n", cards == 0 ? "" : "\n  ", held);
  // No card's number is empty: the row of the total is told by that.
  if (format == "csv") printf(",,%lld,,,,,\n", held);
  if (format == "text") {
    printf("\n%s: %lld in a trip, %lld unreadable\nHeld on the readable cards: %lld\n",
           counted(cards, "card", "cards").c_str(), trips, unreadable, held);
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    return refuse(systemError("write the list", "standard output"));
  }
  return kDone;
}
