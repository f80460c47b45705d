// Cards as the office shows them: one card, or the list of every card.
#include "office/card_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/card_file.h"
#include "core/card_transaction.h"
#include "core/clock.h"
#include "core/file_io.h"
#include "core/packed_time.h"
#include "core/text.h"
#include "office/audit.h"
#include "office/line_reader.h"
#include "office/next_tap.h"
#include "office/office_command.h"
#include "office/report.h"
#include "office/tap_kind.h"

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

// A line of the office's log that tells a change to one card's balance.
struct OfficeLine {
  int64_t line;      // its line in the log, from 1
  std::string kind;  // what the office did, in words ("top-up")
  int32_t amount;    // the money moved, more than 0
  int32_t balance;   // the card's balance after it
  bool told;         // a record of the card is paired with it already
  TopUpLine parsed;  // the line as read
};

// What an office line did, in words, from the kind it names in its second
// field: "top-up" for TOPUP, any other kind in lower case.
static std::string officeKindWords(const std::string& line) {
  size_t start = line.find(',') + 1;
  std::string kind = line.substr(start, line.find(',', start) - start);
  if (kind == "TOPUP") return "top-up";
  for (char& c : kind) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return kind;
}

// Reads the lines of the office's log that tell a change to card `number`,
// in the log's order, into `lines`; no log is no line. Returns false, with
// `problem` set, when the log is there but cannot be read.
[[nodiscard]] static bool readOfficeLines(int dir, const std::string& number,
                                          std::vector<OfficeLine>* lines, std::string* problem) {
  struct stat info {};
  if (fstatat(dir, kTopUpLog, &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return true;
  std::vector<char> buffer(kReadBufferBytes);
  std::string error = forEachLine(
      dir, kTopUpLog, &buffer, [&](const char* text, size_t length, int64_t line, bool ended) {
        // A line tells a change once its CR LF is written, as the audit reads it.
        TopUpLine parsed;
        if (!ended || length == 0 || text[length - 1] != '\r' ||
            !parseTopUpLine(text, length - 1, &parsed)) {
          return;
        }
        // The card's own lines, and the replacement that made it, which
        // no record of its own pairs with (told already).
        bool into = parsed.kind == OfficeKind::kReplace && number == parsed.detail;
        if (number != parsed.number && !into) return;
        lines->push_back({line, officeKindWords(std::string(text, length - 1)), parsed.amount,
                          parsed.balance, into, parsed});
      });
  if (error.empty()) return true;
  *problem = std::string(kTopUpLog) + ": " + error;
  return false;
}

// Who made a record of a card, as show tells it.
enum class RecordMaker {
  kReader,           // a reader's tap
  kIssue,            // the card's issue: ISSUE_1 and ISSUE_2, its first two records
  kReplacement,      // its first two records, copied from the card it replaced
  kOffice,           // the office: a repeat with another balance, told by a line of its log
  kNoOfficeLine,     // a repeat with another balance that no line of the office's log tells
  kOfficeLogUnread,  // a repeat with another balance, and the office's log could not be read
};

// One line of a card as show tells it.
struct ShownLine {
  bool isRecord = false;  // the line is a card record: `record` holds it
  CardRecord record{};
  bool hasChange = false;  // a record is just before it: `change` holds the difference
  int64_t change = 0;      // its balance less that record's
  RecordMaker maker = RecordMaker::kReader;
  int part = 0;                        // of an office change made in two records: 1 or 2; 0 for one
  int64_t officeChange = 0;            // what the office's change moved the balance by
  const OfficeLine* office = nullptr;  // the line that tells it (kOffice, kReplacement)
};

// How many records an office change that begins at line `i` of `shown`
// takes, 0 when none begins there. The office appends the card's latest
// record again; for a trip begun by a transfer, the two before it again,
// the older first, so that the transfer stays. Either way in every field
// but the balance, which is the new one.
static int officeRecordsAt(const std::vector<ShownLine>& shown, size_t i) {
  auto isRecord = [&](size_t k) { return k < shown.size() && shown[k].isRecord; };
  if (i < 1 || !isRecord(i) || !isRecord(i - 1)) return 0;
  const CardRecord& now = shown[i].record;
  const CardRecord& before = shown[i - 1].record;
  if (repeatsButBalance(before, now)) return now.balance != before.balance ? 1 : 0;
  bool twoAgain =
      i >= 2 && isRecord(i - 2) && isRecord(i + 1) && repeatsButBalance(shown[i - 2].record, now) &&
      repeatsButBalance(before, shown[i + 1].record) && shown[i + 1].record.balance == now.balance;
  return twoAgain && now.balance != before.balance ? 2 : 0;
}

// The lines of a card as show tells them: each record with its change of
// balance and who made it. An office change is paired with the first line
// of the office's log (`office`, marked as told) not paired yet that leaves
// the card at its balance, having moved it by its amount. `officeRead`
// says whether the log could be read.
static std::vector<ShownLine> shownLines(const std::string& number,
                                         const std::vector<std::string>& lines,
                                         std::vector<OfficeLine>* office, bool officeRead) {
  std::vector<ShownLine> shown(lines.size());
  for (size_t i = 0; i < lines.size(); i++) {
    ShownLine& s = shown[i];
    // Lines before the last two are never read by a reader: one that is
    // not a record is shown as it stands.
    s.isRecord = parseCardLine(lines[i].data(), lines[i].size(), i + 1 == lines.size(), &s.record);
    s.hasChange = s.isRecord && i > 0 && shown[i - 1].isRecord;
    if (s.hasChange) {
      s.change = static_cast<int64_t>(s.record.balance) - shown[i - 1].record.balance;
    }
  }
  for (size_t i = 0; i < shown.size(); i++) {
    ShownLine& s = shown[i];
    if (!s.isRecord || s.part == 2) continue;
    if (isIssueRecord(s.record, static_cast<int64_t>(i) + 1)) {
      s.maker = RecordMaker::kIssue;
      continue;
    }
    if (i < 2) {
      for (const OfficeLine& line : *office) {
        if (line.parsed.kind == OfficeKind::kReplace && number == line.parsed.detail) {
          s.maker = RecordMaker::kReplacement;
          s.office = &line;
        }
      }
      if (s.maker == RecordMaker::kReplacement) continue;
    }
    int records = officeRecordsAt(shown, i);
    if (records == 0) continue;
    OfficeLine* told = nullptr;
    for (OfficeLine& line : *office) {
      if (!line.told && line.balance == s.record.balance && line.amount == std::llabs(s.change)) {
        told = &line;
        break;
      }
    }
    if (told != nullptr) told->told = true;
    for (int part = 0; part < records; part++) {
      ShownLine& r = shown[i + static_cast<size_t>(part)];
      r.maker = told != nullptr ? RecordMaker::kOffice
                : officeRead    ? RecordMaker::kNoOfficeLine
                                : RecordMaker::kOfficeLogUnread;
      r.part = records == 2 ? part + 1 : 0;
      r.officeChange = s.change;
      r.office = told;
    }
  }
  return shown;
}

// An amount with its sign: "+5000", "-1050", "0".
static std::string signedAmount(int64_t amount) {
  return amount == 0 ? "0" : formatText("%+lld", static_cast<long long>(amount));
}

// Who made a record, in words: "issue", "office: top-up +5000
// (Reader_txt/Topup.txt:3)", ...; empty for a reader's tap.
static std::string recordNote(const ShownLine& s) {
  std::string part = s.part == 1   ? ", first of two records"
                     : s.part == 2 ? ", second of two records"
                                   : "";
  switch (s.maker) {
    case RecordMaker::kReader:
      return "";
    case RecordMaker::kIssue:
      return "issue";
    case RecordMaker::kReplacement:
      return "replacement of card " + printable(s.office->parsed.number) + " (" + kTopUpLog + ":" +
             std::to_string(s.office->line) + ")";
    case RecordMaker::kOffice:
      if (s.part == 2) return "office: " + s.office->kind + part;
      return "office: " + s.office->kind + " " + signedAmount(s.officeChange) + " (" + kTopUpLog +
             ":" + std::to_string(s.office->line) + ")" + part;
    case RecordMaker::kNoOfficeLine:
      return "balance changed with no office line" + part;
    case RecordMaker::kOfficeLogUnread:
      return "balance changed; the office's log could not be read" + part;
  }
  return "";
}

// Who made a record, as a name for scripts: "issue", the office's kind
// ("top-up"), "no_office_line" or "office_log_unread"; empty for a tap.
static std::string makerName(const ShownLine& s) {
  switch (s.maker) {
    case RecordMaker::kReader:
      return "";
    case RecordMaker::kIssue:
      return "issue";
    case RecordMaker::kReplacement:
      return "replacement";
    case RecordMaker::kOffice:
      return s.office->kind;
    case RecordMaker::kNoOfficeLine:
      return "no_office_line";
    case RecordMaker::kOfficeLogUnread:
      return "office_log_unread";
  }
  return "";
}

// Packed time p for scripts: "2026-03-06T08:15:30".
static std::string isoTime(int64_t p) {
  std::string text = formatDateTime(p);
  std::replace(text.begin(), text.end(), ' ', 'T');
  return text;
}

// The card's state in a sentence: in a trip (where and how it began) or not.
static std::string stateLine(const CardRecord& latest, const NextTap& next) {
  if (!next.inTrip) return "Not in a trip.";
  const char* transfer = !next.enteredByTransfer ? ""
                         : next.lastBus          ? ", by transfer from the subway"
                                                 : ", by transfer from the bus";
  return "In a trip: " + entryText(latest) + transfer + ".";
}

// What the next tap does, in one paragraph: each circumstance's header
// and its readers' lines, parted by "; ".
static std::string nextTapParagraph(const NextTap& next) {
  std::string text;
  for (int c = 0; c < next.casesUsed; c++) {
    std::vector<std::string> lines = caseLines(next, c);
    for (size_t i = 0; i < lines.size(); i++) {
      text += (i == 0 ? (text.empty() ? "" : " ") : i == 1 ? " " : "; ") + lines[i];
    }
    if (!lines.empty()) text += ".";
  }
  return text;
}

// The columns of a record's row, as far as the tap id.
static const char kRowFormat[] = "%6s  %-19s  %-6s  %-3s  %11s  %-9s  %11s  ";

// A row without the spaces that would end it.
static std::string trimmed(std::string row) {
  row.erase(row.find_last_not_of(' ') + 1);
  return row;
}

static void printShownText(const char* number, const std::string& path, const CardView& view,
                           const std::vector<ShownLine>& shown, const NextTap& next,
                           const std::string& retired) {
  printf("Card %s (%s), %s\n\n", number, path.c_str(),
         counted(static_cast<long long>(shown.size()), "record", "records").c_str());
  printf("%s\n", (formatText(kRowFormat, "#", "date and time", "mode", "dir", "balance", "tap id",
                             "change") +
                  "note")
                     .c_str());
  for (size_t i = 0; i < shown.size(); i++) {
    const ShownLine& s = shown[i];
    if (!s.isRecord) {
      printf("%6zu  (not a record: \"%s\")\n", i + 1, printable(view.lines[i]).c_str());
      continue;
    }
    const CardRecord& r = s.record;
    std::string row = formatText(
        kRowFormat, std::to_string(i + 1).c_str(), formatDateTime(r.time).c_str(), r.mode, r.inOut,
        std::to_string(r.balance).c_str(), printable(bareTapId(r.tapId)).c_str(),
        s.hasChange ? signedAmount(s.change).c_str() : "");
    printf("%s\n", trimmed(row + recordNote(s)).c_str());
  }
  if (!retired.empty()) {
    printf("\n%s\nBalance: %d\n", retired.c_str(), view.records[1].balance);
    return;
  }
  printf("\n%s\n", stateLine(view.records[1], next).c_str());
  for (int c = 0; c < next.casesUsed; c++) {
    std::vector<std::string> lines = caseLines(next, c);
    for (size_t i = 0; i < lines.size(); i++)
      printf("%s%s\n", i == 0 ? "" : "  ", lines[i].c_str());
  }
  printf("Balance: %d\n", view.records[1].balance);
}

// A value for JSON, or null when there is none.
template <typename T>
static nlohmann::ordered_json orNull(bool present, const T& value) {
  return present ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

// One reader's answer to the next tap, for scripts.
static nlohmann::ordered_json answerJson(const ReaderAnswer& a) {
  bool known = isAccepted(a.funded);
  return {{"reader", a.readerId},
          {"outcome", outcomeName(a.result)},
          {"kind", orNull(known, tapKindName(a.kind))},
          {"direction", orNull(known, std::string(a.funded.entry.inOut))},
          {"fare", orNull(known, a.funded.fare)},
          {"needs", orNull(a.needs > 0, a.needs)},
          {"words", answerWords(a)}};
}

// The card's state for scripts: in a trip or not, the entry, and the next
// tap, as a paragraph and by circumstance and reader.
static nlohmann::ordered_json stateJson(const CardRecord& latest, const NextTap& next) {
  nlohmann::ordered_json state = {{"in_trip", next.inTrip},
                                  {"summary", stateLine(latest, next)},
                                  {"entry", nullptr},
                                  {"next_tap", nextTapParagraph(next)},
                                  {"cases", nlohmann::ordered_json::array()}};
  if (next.inTrip) {
    state["entry"] = {{"time", isoTime(latest.time)},
                      {"mode", printable(latest.mode)},
                      {"reader", printable(readerOfTapId(latest.tapId))},
                      {"tap_id", printable(bareTapId(latest.tapId))},
                      {"by_transfer", next.enteredByTransfer}};
  }
  for (int c = 0; c < next.casesUsed; c++) {
    const TapCase& tapCase = next.cases[c];
    nlohmann::ordered_json readers = nlohmann::ordered_json::array();
    for (const ReaderAnswer& answer : tapCase.answers) readers.push_back(answerJson(answer));
    state["cases"].push_back({{"when", whenName(tapCase.when)},
                              {"time", orNull(tapCase.time != 0, isoTime(tapCase.time))},
                              {"readers", readers}});
  }
  return state;
}

// One line of the card for scripts.
static nlohmann::ordered_json lineJson(size_t index, const std::string& text, const ShownLine& s) {
  const CardRecord& r = s.record;
  std::string maker = makerName(s), note = s.isRecord ? recordNote(s) : "";
  if (!s.isRecord) note = "not a record: " + quotedLine(text);
  return {{"line", index + 1},
          {"time", orNull(s.isRecord, isoTime(r.time))},
          {"mode", orNull(s.isRecord, std::string(r.mode))},
          {"direction", orNull(s.isRecord, std::string(r.inOut))},
          {"balance", orNull(s.isRecord, r.balance)},
          {"tap_id", orNull(s.isRecord, printable(bareTapId(r.tapId)))},
          {"change", orNull(s.hasChange, s.change)},
          {"office", orNull(!maker.empty(), maker)},
          {"office_line", orNull(s.office != nullptr, s.office != nullptr ? s.office->line : 0)},
          {"note", orNull(!note.empty(), note)}};
}

static void printShownJson(const char* number, const std::string& path, const CardView& view,
                           const std::vector<ShownLine>& shown, const NextTap& next,
                           const std::string& retired) {
  nlohmann::ordered_json records = nlohmann::ordered_json::array();
  for (size_t i = 0; i < shown.size(); i++) {
    records.push_back(lineJson(i, view.lines[i], shown[i]));
  }
  nlohmann::ordered_json card = {{"card", printable(number)},
                                 {"path", printable(path)},
                                 {"balance", view.records[1].balance},
                                 {"state", stateJson(view.records[1], next)},
                                 {"records", records}};
  if (!retired.empty()) {
    card["state"] = {{"retired", true}, {"summary", retired}};
  }
  printf("%s\n", card.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

static void printShownCsv(const CardView& view, const std::vector<ShownLine>& shown) {
  printf("line,time,mode,direction,balance,tap_id,change,office,office_line,note\n");
  for (size_t i = 0; i < shown.size(); i++) {
    const ShownLine& s = shown[i];
    if (!s.isRecord) {
      printf("%zu,,,,,,,,,%s\n", i + 1,
             csvField("not a record: " + quotedLine(view.lines[i])).c_str());
      continue;
    }
    const CardRecord& r = s.record;
    printf("%zu,%s,%s,%s,%d,%s,%s,%s,%s,%s\n", i + 1, isoTime(r.time).c_str(), r.mode, r.inOut,
           r.balance, csvField(printable(bareTapId(r.tapId))).c_str(),
           s.hasChange ? std::to_string(s.change).c_str() : "", csvField(makerName(s)).c_str(),
           s.office != nullptr ? std::to_string(s.office->line).c_str() : "",
           csvField(recordNote(s)).c_str());
  }
}

// What became of a card the office retired, from the close or the
// replacement its records tell: "Retired: replaced by card 32 on ...".
static std::string retiredText(const std::vector<ShownLine>& shown) {
  for (auto s = shown.rbegin(); s != shown.rend(); ++s) {
    if (s->office == nullptr) continue;
    const TopUpLine& line = s->office->parsed;
    if (line.kind != OfficeKind::kClose && line.kind != OfficeKind::kReplace) continue;
    std::string how = line.kind == OfficeKind::kClose
                          ? "closed, its balance of " + std::to_string(line.amount) + " paid out"
                          : "replaced by card " + printable(line.detail) + ", its balance of " +
                                std::to_string(line.amount) + " moved there";
    return "Retired: " + how + ", on " + formatDateTime(line.time) + " (" + kTopUpLog + ":" +
           std::to_string(s->office->line) + "); no reader takes it again.";
  }
  return "Retired: no reader takes it again; no line of the office's log tells how.";
}

int showCard(int dir, const char* number, const std::string& format) {
  if (!isCardNumber(number, strlen(number))) return usage(kCardNumberRule, "show");
  std::string path = cardPath(number);
  CardView view = viewCard(dir, path, true);
  // A card the office closed or replaced is shown from where it is kept.
  bool retired = false;
  if (!view.found) {
    CardView kept = viewCard(dir, retiredPath(number), true);
    if (kept.found) {
      view = kept;
      path = retiredPath(number);
      retired = true;
    }
  }
  // A replacement's new card not yet named: no reader reads it yet.
  if (!view.found && !retired) {
    struct stat made {};
    if (fstatat(dir, replacingPath(number).c_str(), &made, AT_SYMLINK_NOFOLLOW) == 0) {
      return refuse("card " + printable(number) + " is not named yet: a replacement made it as " +
                    replacingPath(number) +
                    ", which the office's next command names if the replacement is recorded "
                    "in " +
                    kTopUpLog);
    }
  }
  if (!view.readable) return refuse(cardFault(path, view));
  std::vector<OfficeLine> office;
  std::string problem;
  bool officeRead = readOfficeLines(dir, number, &office, &problem);
  if (!officeRead) warn(problem + ": the records the office made are shown without its lines");
  std::vector<ShownLine> shown = shownLines(number, view.lines, &office, officeRead);
  std::string gone = retired ? retiredText(shown) : "";
  NextTap next = nextTap(view.records[0], view.records[1], path.c_str(), calendarNow());
  if (format == "json") {
    printShownJson(number, path, view, shown, next, gone);
  } else if (format == "csv") {
    printShownCsv(view, shown);
  } else {
    printShownText(number, path, view, shown, next, gone);
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    return outputLost(systemError("write the card", "standard output"));
  }
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
    return noNetwork(systemError("read", std::string(kCardDirectory) + "/") +
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
    return outputLost(systemError("write the list", "standard output"));
  }
  return kDone;
}
