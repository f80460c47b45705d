// Checks of cards and logs after readers were killed, failed or raced.
#include "tests/reliability/card_checks.h"

#include <dirent.h>

#include <cstring>
#include <map>

#include "bus/fares.h"
#include "core/card_file.h"
#include "core/card_transaction.h"
#include "core/tap_journal.h"
#include "core/trip_facts.h"
#include "subway/fares.h"
#include "tests/support/test_support.h"

std::vector<std::string> split(const std::string& bytes, const std::string& separator) {
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    size_t end = bytes.find(separator, start);
    lines.push_back(bytes.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return lines;
    start = end + separator.size();
  }
}

std::string wholeCard(const std::string& root, const std::string& card,
                      std::vector<CardRecord>* records) {
  NetworkDir network(root);
  std::string path = network.at(card);
  CardRecord tail[2];
  if (loadCardTail(network.dir(), card.c_str(), tail) != LoadStatus::kLoaded) {
    return path + ": its last two records do not read as a card's";
  }
  std::vector<std::string> lines = split(readFile(path), "\r\n");
  records->assign(lines.size(), CardRecord{});
  for (size_t i = 0; i < lines.size(); i++) {
    std::string line = lines[i] + (i + 1 < lines.size() ? "\r" : "");
    if (!parseCardLine(line.data(), line.size(), i + 1 == lines.size(), &(*records)[i])) {
      return path + ": record " + std::to_string(i + 1) + " is torn: \"" + lines[i] + "\"";
    }
  }
  return "";
}

bool wholeLog(const std::string& path, size_t* lines) {
  std::string bytes = readFile(path);
  *lines = 0;
  if (bytes.empty()) return true;
  if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) return false;
  std::vector<std::string> all = split(bytes.substr(0, bytes.size() - 2), "\r\n");
  for (const std::string& line : all) {
    CardRecord r;
    if (!parseCardLine(line.data(), line.size(), true, &r)) return false;
  }
  *lines = all.size();
  return true;
}

std::string logOf(const std::string& reader, const std::string& root) {
  std::string log =
      reader == "B" ? "Reader_txt/Bus.txt" : "Reader_txt/Subway" + reader.substr(1) + ".txt";
  return root.empty() ? log : root + "/" + log;
}

// A tap id without the CR an older record keeps.
static std::string idOf(const CardRecord& record) {
  std::string id = record.tapId;
  if (!id.empty() && id.back() == '\r') id.pop_back();
  return id;
}

// Whether `fare` is what an entry costs at either kind of reader: a new
// ride, or a transfer when `transfers` count too.
static bool entryFare(int64_t fare, bool transfers) {
  return fare == subway::kRideFare || fare == bus::kBoardingFare ||
         (transfers && (fare == subway::kTransferFare || fare == bus::kTransferFare));
}

// Whether a tap of `fare` in direction `now` can follow the record `before`.
static bool follows(const CardRecord& before, const CardRecord& now, int64_t fare) {
  bool in = strcmp(now.inOut, "IN") == 0, wasIn = strcmp(before.inOut, "IN") == 0;
  if (!in) return wasIn;
  if (!wasIn) return entryFare(fare, true);
  // An entry over an open trip: a new ride after a bus ride, else a settling
  // at one of the flat fares of a trip left open.
  if (entryFare(fare, false)) return strcmp(before.mode, "BUS") == 0;
  return fare == kOpenSubwayFare || fare == kOpenBusToSubwayFare || fare == kOpenSubwayToBusFare;
}

std::string disagreement(const std::string& card, const std::vector<std::string>& readers,
                         const std::string& root, size_t* taps) {
  std::vector<CardRecord> records;
  std::string torn = wholeCard(root, card, &records);
  if (!torn.empty()) return torn;
  std::map<std::string, std::vector<std::string>> logs;
  for (const std::string& reader : readers) {
    size_t lines = 0;
    if (!wholeLog(logOf(reader, root), &lines)) return logOf(reader, root) + " is not whole";
    logs[reader] = split(readFile(logOf(reader, root)), "\r\n");
    logs[reader].pop_back();  // what follows the last CR LF: nothing
  }
  std::map<std::string, size_t> next;
  *taps = records.size() - 2;
  for (size_t i = 2; i < records.size(); i++) {
    const CardRecord &before = records[i - 1], &now = records[i];
    std::string id = idOf(now), reader = id.substr(0, id.find('_'));
    std::string where = "record " + std::to_string(i + 1) + " (" + std::to_string(now.time) + "," +
                        now.mode + "," + now.inOut + "," + std::to_string(now.balance) + "," + id +
                        ")";
    if (!logs.count(reader)) return where + " was made by a reader that is not checked";
    if (next[reader] == logs[reader].size()) return where + " has no log line";
    std::string line = logs[reader][next[reader]++];
    std::vector<std::string> fields = split(line, ",");
    int64_t fare = static_cast<int64_t>(before.balance) - now.balance;
    bool matches = fields.size() == 5 && fields[0] == std::to_string(now.time) &&
                   fields[1] == now.mode && fields[2] == now.inOut &&
                   fields[3] == std::to_string(fare) &&
                   (fields[4] == id || fields[4] == idOf(before));
    if (!matches) return where + " is logged as " + line;
    if (!follows(before, now, fare)) {
      return where + " cannot follow " + before.inOut + " with the fare " + std::to_string(fare);
    }
  }
  for (const std::string& reader : readers) {
    if (next[reader] != logs[reader].size()) {
      return logOf(reader, root) + " logs a tap the card lacks: " + logs[reader][next[reader]];
    }
  }
  return "";
}

std::string agreement(const std::string& card, const std::vector<std::string>& readers,
                      const std::string& root) {
  size_t taps = 0;
  std::string wrong = disagreement(card, readers, root, &taps);
  NetworkDir network(root);
  for (const std::string& reader : readers) {
    TapIntent intent;
    std::string journal = journalPath(logOf(reader));
    if (readAnyJournal(network.dir(), journal, &intent) && intent.state != kIdle) {
      wrong += " " + network.at(journal) + " is not idle";
    }
  }
  for (const char* directory : {"Card", "Reader_txt"}) {
    DIR* files = opendir((root + "/" + directory).c_str());
    while (dirent* entry = files != nullptr ? readdir(files) : nullptr) {
      std::string name = entry->d_name;
      if (name.find(".set-aside.") != std::string::npos ||
          (std::string(directory) == "Card" && name.find(".pending") != std::string::npos)) {
        wrong += " a note is left: " + std::string(directory) + "/" + name;
      }
    }
    if (files != nullptr) closedir(files);
  }
  return wrong;
}
