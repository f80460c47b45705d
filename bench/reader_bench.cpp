// What one tap costs on disk: reading a card's last two records, for a
// card of two records and one of a million (history length must not
// matter), and appending an accepted tap with its fsync.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/card_transaction.h"

namespace {

// A scratch network directory, made once and entered for all benchmarks,
// and removed with its million-record card at exit.
struct ScratchNetwork {
  std::string path = "/tmp/fare-bench-XXXXXX";
  ScratchNetwork() {
    if (mkdtemp(path.data()) == nullptr || chdir(path.c_str()) != 0) abort();
    mkdir("Card", 0755);
    mkdir("Reader_txt", 0755);
  }
  ~ScratchNetwork() {
    int ignored = system(("rm -rf '" + path + "'").c_str());
    (void)ignored;
  }
};

void networkDir() {
  static ScratchNetwork network;
}

// Writes a card of `records` records and returns its path.
std::string makeCard(const char* number, long records) {
  networkDir();
  std::string path = std::string("Card/") + number + ".txt";
  FILE* card = fopen(path.c_str(), "w");
  for (long i = 0; i < records; i++) {
    fprintf(card, "%s20260306091502,SUBWAY,%s,%ld,S3_%ld", i ? "\r\n" : "", i % 2 ? "OUT" : "IN",
            100000 - i % 1000, i % 100 + 1);
  }
  fclose(card);
  return path;
}

void intake(benchmark::State& state, const std::string& path) {
  CardRecord records[2];
  for (auto _ : state) {
    if (loadCardTail(path.c_str(), records) != LoadStatus::kLoaded) state.SkipWithError("unread");
    benchmark::DoNotOptimize(records);
  }
}

void BM_IntakeTwoRecords(benchmark::State& state) {
  intake(state, makeCard("2", 2));
}
void BM_IntakeMillionRecords(benchmark::State& state) {
  intake(state, makeCard("1000000", 1000000));
}

void BM_AppendTapWithFsync(benchmark::State& state) {
  TapEntry entry{};
  entry.charged = 1050;
  entry.time = 20260306091502;
  snprintf(entry.mode, sizeof entry.mode, "SUBWAY");
  snprintf(entry.inOut, sizeof entry.inOut, "IN");
  entry.newBalance = 8950;
  snprintf(entry.tapId, sizeof entry.tapId, "S1_1");
  snprintf(entry.logTapId, sizeof entry.logTapId, "S1_1");
  snprintf(entry.cardFile, sizeof entry.cardFile, "%s", makeCard("append", 2).c_str());
  for (auto _ : state) {
    HeldCard card;
    CardRecord records[2];
    holdCard(entry.cardFile, &card, records);
    if (!recordTap(card, entry, "Reader_txt/Subway1.txt")) state.SkipWithError("not recorded");
    releaseCard(&card);
  }
}

}  // namespace

BENCHMARK(BM_IntakeTwoRecords);
BENCHMARK(BM_IntakeMillionRecords);
BENCHMARK(BM_AppendTapWithFsync);
