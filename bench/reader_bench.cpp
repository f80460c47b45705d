// What one tap costs on disk: reading a card's last two records, for a
// card of two records and one of a million (history length must not
// matter); appending an accepted tap as one transaction, against a floor
// of two plain appends and two flushes, for 1, 6 and 60 writers at once;
// and a whole tap's work on disk, here and in every network directory that
// FARE_BENCH_NETWORKS names ("name=DIR,..."), such as a cluster's mount.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/card_file.h"
#include "core/card_transaction.h"
#include "core/file_io.h"
#include "tests/support/samples.h"

namespace {

// Makes Card/ and Reader_txt/ in the directory at `path`, and opens it as
// a network directory. Aborts when it cannot.
int openNetwork(const std::string& path) {
  int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || mkdirat(dir, "Card", 0755) != 0 || mkdirat(dir, "Reader_txt", 0755) != 0) {
    abort();
  }
  return dir;
}

// A scratch network directory, made once and held open for all
// benchmarks, and removed with its million-record card at exit.
struct ScratchNetwork {
  std::string path = "/tmp/fare-bench-XXXXXX";
  int dir = -1;
  ScratchNetwork() {
    if (mkdtemp(path.data()) == nullptr) abort();
    dir = openNetwork(path);
  }
  ~ScratchNetwork() {
    close(dir);
    int ignored = system(("rm -rf '" + path + "'").c_str());
    (void)ignored;
  }
};

// The scratch network directory, open.
int networkDir() {
  static ScratchNetwork network;
  return network.dir;
}

// Makes the file at `path` in the network directory `dir` anew, open for
// writing. Aborts when it cannot.
FILE* makeFile(int dir, const std::string& path) {
  int fd = openat(dir, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (file == nullptr) abort();
  return file;
}

// Writes a card of `records` records in the scratch network directory and
// returns its path there.
std::string makeCard(const char* number, long records) {
  std::string path = std::string("Card/") + number + ".txt";
  FILE* card = makeFile(networkDir(), path);
  for (long i = 0; i < records; i++) {
    fprintf(card, "%s20260306091502,SUBWAY,%s,%ld,S3_%ld", i ? "\r\n" : "", i % 2 ? "OUT" : "IN",
            100000 - i % 1000, i % 100 + 1);
  }
  fclose(card);
  return path;
}

void intake(benchmark::State& state, const std::string& path) {
  int dir = networkDir();
  CardRecord records[2];
  for (auto _ : state) {
    if (loadCardTail(dir, path.c_str(), records) != LoadStatus::kLoaded) {
      state.SkipWithError("unread");
    }
    benchmark::DoNotOptimize(records);
  }
}

void BM_IntakeTwoRecords(benchmark::State& state) {
  intake(state, makeCard("2", 2));
}
void BM_IntakeMillionRecords(benchmark::State& state) {
  intake(state, makeCard("1000000", 1000000));
}

// The tap every append benchmark records, on the card and log of writer
// `index`: each writer has a card and a log of its own, as each reader has
// its own log.
TapEntry tapOf(int index) {
  static std::mutex made;
  std::lock_guard<std::mutex> guard(made);
  std::string card = makeCard(("w" + std::to_string(index)).c_str(), 2);
  return sampleTap(card.c_str(), "S1_1", 8950, 20260306091502);
}

std::string logOf(int index) {
  return "Reader_txt/w" + std::to_string(index) + ".txt";
}

// The floor the cost goal is set by: writer `index`'s two records appended
// with O_APPEND and flushed, with no lock, no journal and no check; the
// flushes one after the other, or both issued at once as a tap's second
// round issues them.
void appendFloor(benchmark::State& state, bool flushesAtOnce) {
  TapEntry entry = tapOf(state.thread_index());
  std::string record = formatCardRecord(entry), line = formatLogLine(entry);
  int dir = networkDir();
  int card = openat(dir, entry.cardFile, O_WRONLY | O_APPEND | O_CLOEXEC);
  int log = openat(dir, logOf(state.thread_index()).c_str(),
                   O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  for (auto _ : state) {
    bool whole = appendWhole(card, record) && appendWhole(log, line) &&
                 (flushesAtOnce ? flushBoth(card, log) : fsync(card) == 0 && fsync(log) == 0);
    if (!whole) state.SkipWithError("not written");
  }
  close(card);
  close(log);
  state.SetItemsProcessed(state.iterations());
}

void BM_AppendFloor(benchmark::State& state) {
  appendFloor(state, false);
}

// What the journal's flush comes on top of.
void BM_AppendBothFlushedAtOnce(benchmark::State& state) {
  appendFloor(state, true);
}

// The append of one tap as the readers make it: journal written and
// flushed, card record and log line appended, both flushed at once, the
// card's name checked, the journal cleared. Holding the card (its lock,
// settling, reading its tail) is not timed: BM_WholeTapOnDisk times it.
void BM_AppendTap(benchmark::State& state) {
  TapEntry entry = tapOf(state.thread_index());
  int dir = networkDir();
  TapWriter writer = tapWriter(dir, logOf(state.thread_index()));
  std::string record = formatCardRecord(entry), line = formatLogLine(entry);
  std::vector<std::string> logs = {writer.logPath}, notices;
  for (auto _ : state) {
    state.PauseTiming();
    HeldCard card;
    CardRecord records[2];
    if (holdCard(dir, entry.cardFile, logs, &card, records, &notices) != LoadStatus::kLoaded) {
      state.SkipWithError("not held");
    }
    state.ResumeTiming();
    if (!recordTap(card, record, line, &writer)) state.SkipWithError("not recorded");
    state.PauseTiming();
    releaseCard(&card);
    if (!finishTap(&writer)) state.SkipWithError("not flushed");
    state.ResumeTiming();
  }
  closeTapWriter(&writer);
  state.SetItemsProcessed(state.iterations());
}

// Taps `entry` as a reader does in the network directory `dir`, once per
// iteration: holding the card (lock, settling any tap left in flight,
// reading the tail), recording the tap, letting go of the card, finishing
// the tap.
void wholeTaps(benchmark::State& state, int dir, const TapEntry& entry, const std::string& log) {
  TapWriter writer = tapWriter(dir, log);
  std::string record = formatCardRecord(entry), line = formatLogLine(entry);
  std::vector<std::string> logs = {writer.logPath}, notices;
  for (auto _ : state) {
    HeldCard card;
    CardRecord records[2];
    if (holdCard(dir, entry.cardFile, logs, &card, records, &notices, writerLocks(&writer)) !=
            LoadStatus::kLoaded ||
        !recordTap(card, record, line, &writer)) {
      state.SkipWithError("not recorded");
    }
    releaseCard(&card);
    if (!finishTap(&writer)) state.SkipWithError("not flushed");
  }
  closeTapWriter(&writer);
  state.SetItemsProcessed(state.iterations());
}

// A whole tap's work on disk.
void BM_WholeTapOnDisk(benchmark::State& state) {
  wholeTaps(state, networkDir(), tapOf(state.thread_index()), logOf(state.thread_index()));
}

// A whole tap, as BM_WholeTapOnDisk, in the network directory `dir` (made
// there: Card/, Reader_txt/ and a card of its own, removed afterwards).
void wholeTapIn(benchmark::State& state, const std::string& dir) {
  std::string bench = dir + "/bench-" + std::to_string(getpid());
  if (mkdir(bench.c_str(), 0755) != 0) abort();
  int network = openNetwork(bench);
  std::string card = "Card/1.txt";
  FILE* file = makeFile(network, card);
  fputs("20260306091502,SUBWAY,OUT,2000000000,S3_1\r\n20260306091502,SUBWAY,OUT,2000000000,S3_2",
        file);
  fclose(file);
  wholeTaps(state, network, sampleTap(card.c_str(), "S1_1", 8950, 20260306091502),
            "Reader_txt/Subway1.txt");
  close(network);
  int ignored = system(("rm -rf '" + bench + "'").c_str());
  (void)ignored;
}

// The whole-tap benchmarks of the network directories FARE_BENCH_NETWORKS
// names, registered before the benchmarks run.
const bool kNetworksRegistered = [] {
  const char* list = getenv("FARE_BENCH_NETWORKS");
  std::string rest = list != nullptr ? list : "";
  while (!rest.empty()) {
    std::string item = rest.substr(0, rest.find(','));
    rest = item.size() < rest.size() ? rest.substr(item.size() + 1) : "";
    size_t equals = item.find('=');
    if (equals == std::string::npos) continue;
    benchmark::RegisterBenchmark(("BM_WholeTapIn/" + item.substr(0, equals)).c_str(), wholeTapIn,
                                 item.substr(equals + 1))
        ->UseRealTime();
  }
  return true;
}();

}  // namespace

BENCHMARK(BM_IntakeTwoRecords);
BENCHMARK(BM_IntakeMillionRecords);
BENCHMARK(BM_AppendFloor)->Threads(1)->Threads(6)->Threads(60)->UseRealTime();
BENCHMARK(BM_AppendBothFlushedAtOnce)->Threads(1)->Threads(6)->Threads(60)->UseRealTime();
BENCHMARK(BM_AppendTap)->Threads(1)->Threads(6)->Threads(60)->UseRealTime();
BENCHMARK(BM_WholeTapOnDisk)->Threads(1)->UseRealTime();
