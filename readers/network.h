// The readers of the network, one row each: identity, banner and log. The
// six programs start from their row; the back office finds each reader's
// log by it. Beside them, the office's top-up log: every writer's journal
// is read when a card is held.
#pragma once

#include <string>
#include <vector>

#include "core/network.h"
#include "core/reader.h"

constexpr ReaderConfig kStationS1 = {"S1", "Subway Reader (Tollvane)", "Subway1.txt"};
constexpr ReaderConfig kStationS2 = {"S2", "Subway Reader (Merrowick)", "Subway2.txt"};
constexpr ReaderConfig kStationS3 = {"S3", "Subway Reader (Quillbay)", "Subway3.txt"};
constexpr ReaderConfig kStationS4 = {"S4", "Subway Reader (Farnsett)", "Subway4.txt"};
constexpr ReaderConfig kStationS5 = {"S5", "Subway Reader (Doveholm)", "Subway5.txt"};
constexpr ReaderConfig kBusReader = {"B", "Bus Redaer", "Bus.txt"};

constexpr ReaderConfig kNetworkReaders[] = {kStationS1, kStationS2, kStationS3,
                                            kStationS4, kStationS5, kBusReader};
constexpr size_t kNetworkReaderCount = sizeof kNetworkReaders / sizeof kNetworkReaders[0];

// The logs of every writer of the network, the readers' and the office's:
// the only journals (<log>.pending) a reader reads or settles. Made once,
// for the life of the process (a reader never returns from main).
inline const std::vector<std::string>& networkLogPaths() {
  static const std::vector<std::string> logs = [] {
    std::vector<std::string> all;
    for (const ReaderConfig& reader : kNetworkReaders) all.push_back(logPathOf(reader));
    all.push_back(kTopUpLog);
    return all;
  }();
  return logs;
}
