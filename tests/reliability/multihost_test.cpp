// The network on many hosts: readers on several clients of one GlusterFS
// volume tap shared cards, through a brick's failure, a reader killed on
// one host and settled from another, a host cut off mid-tap, and storage
// that is not there yet; a plain mount is refused, and each volume and
// mount option the readers need is shown to be needed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "core/file_io.h"
#include "core/messages.h"
#include "core/settle.h"
#include "core/storage.h"
#include "core/tap_journal.h"
#include "tests/reliability/card_checks.h"
#include "tests/reliability/cluster.h"
#include "tests/reliability/crash_runs.h"
#include "tests/support/programs.h"
#include "tests/support/test_support.h"

namespace {

// A test on a cluster of its own (made as `setup` says), which sees the
// network through host 1's view of it, held open as InScratchNetwork holds
// its network: net() for the core calls, at() for the test's own file
// calls.
class OnCluster : public ::testing::Test {
 protected:
  virtual ClusterSetup setup() const { return {}; }
  void SetUp() override {
    cluster_ = std::make_unique<Cluster>(setup());
    if (cluster_->cannotRun()) GTEST_SKIP() << cluster_->missing();
    ASSERT_EQ(cluster_->missing(), "");
    host1_ = std::make_unique<NetworkDir>(cluster_->host(1));
  }
  void TearDown() override {
    host1_.reset();
    cluster_.reset();
  }
  int net() const { return host1_->dir(); }
  const std::string& root() const { return host1_->root(); }
  std::string at(const std::string& relative) const { return host1_->at(relative); }
  // A copy of the network directory as the servers hold it (a brick's
  // files, read once the hosts' caches have lapsed), in `scratch`.
  std::string onServers(const ScratchDir& scratch) const {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string brick = cluster_->brick(1), copy = scratch.path();
    EXPECT_EQ(system(("mkdir -p '" + copy + "/Card' '" + copy + "/Reader_txt' && cp '" + brick +
                      "'/Card/*.txt '" + copy + "/Card/' && cp '" + brick + "'/Reader_txt/*.txt '" +
                      copy + "/Reader_txt/'")
                         .c_str()),
              0);
    return copy;
  }

  // Card 1 and the lock file made on host 3 a while before, as a
  // network's are: a host's own creation of them would hold up the other
  // hosts' calls on them (not only their locks) until that host is gone.
  void cardMadeOnHost3() const {
    writeFile(cluster_->host(3) + "/Card/1.txt", kFreshCard);
    close(
        open((cluster_->host(3) + "/Card/taps.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    std::this_thread::sleep_for(std::chrono::seconds(3));
  }

  std::unique_ptr<Cluster> cluster_;
  std::unique_ptr<NetworkDir> host1_;
};

using Multihost = OnCluster;

}  // namespace

namespace {

// How a reader's run on a host ended.
struct HostRun {
  int status;           // exit status, or 128 + a signal
  std::string console;  // its standard output
  std::string errors;   // its error stream
};

// Runs reader `id` ("S1", "S3", "B") in the network directory `dir` on the
// console input `input`, under strace with `strace` when given.
HostRun runReaderIn(const std::string& id, const std::string& dir, const std::string& input,
                    const std::vector<std::string>& strace = {}) {
  static int runs = 0;
  ScratchDir scratch;
  ProgramRun run;
  run.argv = strace;
  if (!strace.empty()) run.argv.insert(run.argv.begin(), STRACE_PROGRAM);
  run.argv.push_back(std::string(READERS_DIR) + "/" +
                     (id == "B" ? "bus_reader" : "subway_reader_s" + id.substr(1)));
  run.dir = dir;
  run.console = scratch / ("console-" + std::to_string(++runs));
  run.errors = run.console + ".err";
  Program program = startProgram(run);
  typeInto(program, input);
  int status = finishProgram(&program, 180);
  return {status, readFile(run.console), readFile(run.errors)};
}

// The command line of `program` under strace, which injects `inject` into
// its calls `call` on the file at `path` (a whole path): as
// "delay_enter=3000000:when=1".
std::vector<std::string> underStrace(const std::string& path, const std::string& call,
                                     const std::string& inject,
                                     const std::vector<std::string>& program) {
  std::vector<std::string> argv = {STRACE_PROGRAM, "-qq",
                                   "-o",           "/dev/null",
                                   "-P",           path,
                                   "-e",           "trace=" + call,
                                   "-e",           "inject=" + call + ":" + inject};
  argv.insert(argv.end(), program.begin(), program.end());
  return argv;
}

// A crash-test reader `id` on the host whose view of the network is `dir`,
// made to tap whatever the mount, waiting at its console (`console`).
Program waitingReader(const std::string& id, const std::string& dir, const std::string& console) {
  ProgramRun run;
  run.argv = {CRASH_READER, id, "trust-storage"};
  run.dir = dir;
  run.console = console;
  Program program = startProgram(run);
  EXPECT_TRUE(
      waitUntil([&] { return readFile(console).find("Input Card") != std::string::npos; }, 30));
  return program;
}

// A program that ends with the test, whatever its checks found: its
// console input is closed and it is waited for (killed after `seconds`).
struct EndsWithTest {
  Program* program;
  double seconds;
  ~EndsWithTest() { finishProgram(program, seconds); }
};

// How many times `text` stands in `bytes`.
size_t countOf(const std::string& bytes, const std::string& text) {
  size_t count = 0;
  for (size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1)) {
    count++;
  }
  return count;
}

}  // namespace

// A fault of the cluster's, made while readers race: the cluster tool's
// commands, each begun before a round of the race and running on while the
// readers tap (each waits for the one before it to end).
struct RaceFault {
  const char* name;                             // as the test is named
  std::vector<std::pair<int, const char*>> at;  // before which round, which command
  ClusterSetup setup = {};                      // the cluster it is made on
  bool keepsLocks = false;  // whether a lock taken before the race must outlive it
};

// How a failure names the fault.
void PrintTo(const RaceFault& fault, std::ostream* out) {
  *out << fault.name;
}

class ThroughAFault : public OnCluster, public ::testing::WithParamInterface<RaceFault> {
 protected:
  ClusterSetup setup() const override { return GetParam().setup; }
};

TEST_P(ThroughAFault, ReadersOnThreeHostsTapOneCardAndAgree) {
  // S1, S3 and B, each on a host of its own, race on one card while the
  // fault is made; S5 waits at its prompt on host 3 all the while, its
  // files open. The card and the logs agree as on one host, and S5 then
  // taps a card of its own: a reader whose descriptors outlived the fault
  // (a lock lost with a brick, the client reconnected) records again.
  const RaceFault& fault = GetParam();
  writeFile(at("Card/2.txt"), kFreshCard);
  ScratchDir consoles;
  Program s5 = waitingReader("S5", cluster_->host(3), consoles / "s5");
  EndsWithTest ends{&s5, 60};
  // A byte of the lock file held on host 1 all through: what became of it
  // is printed (a brick's restart forgets its locks).
  int held =
      open((cluster_->host(1) + "/Card/taps.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  EXPECT_TRUE(held >= 0 && lockWithin(held, cardLockByte("Card/3.txt"), 0));
  std::future<int> running;
  int unreadable = 0;  // rounds before which the card could not be read
  RaceResult race = raceOnOneCard(
      root(), cluster_->hosts(), 30, 100,
      [&](int round) {
        if (readFile(at("Card/1.txt")).empty()) unreadable++;
        for (const auto& [before, command] : fault.at) {
          if (before != round) continue;
          if (running.valid()) {
            EXPECT_EQ(running.get(), 0) << "before round " << round;
          }
          running = std::async(std::launch::async, [this, command = std::string(command)] {
            return cluster_->tool(command);
          });
        }
      },
      false, false);
  if (running.valid()) {
    EXPECT_EQ(running.get(), 0) << "the last command";
  }
  // Checked once every brick is back and healed: a card whose only good
  // copy was on the brick down last cannot be read until then (and was
  // refused by every reader meanwhile).
  EXPECT_EQ(cluster_->tool("heal"), 0);
  checkRace(root(), &race);
  EXPECT_EQ(race.wrong, "") << "seed " << race.seed;
  EXPECT_GE(race.taps, 100u);
  EXPECT_EQ(race.charged, race.dropped);
  int probe = open((cluster_->host(2) + "/Card/taps.lock").c_str(), O_RDWR | O_CLOEXEC);
  bool taken = probe >= 0 && lockWithin(probe, cardLockByte("Card/3.txt"), 0);
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_start = cardLockByte("Card/3.txt");
  query.l_len = 1;
  bool fails = fcntl(held, F_OFD_GETLK, &query) != 0;
  std::string lock = std::string("a byte host 1 locked before the race was ") +
                     (taken ? "taken by host 2 after it" : "still held after it") +
                     ", host 1's descriptor " +
                     (fails ? "failing: " + std::string(strerror(errno)) : "working");
  if (fault.keepsLocks) {
    EXPECT_TRUE(!taken && !fails) << lock;
  }
  if (probe >= 0) close(probe);
  if (held >= 0) close(held);
  typeInto(s5, "2\n");
  EXPECT_TRUE(waitUntil([&] { return split(readFile(at("Card/2.txt")), "\r\n").size() == 3; }, 60))
      << "S5 did not tap after the fault: " << readFile(consoles / "s5");
  EXPECT_EQ(finishProgram(&s5, 60), 0);
  std::vector<std::string> notices;
  EXPECT_TRUE(settleEveryJournal(net(), logsWith(), &notices));
  EXPECT_EQ(agreement("Card/2.txt", {"S5"}, root()), "");
  printf(
      "multihost race through %s: 3 readers on 3 hosts tapped one card for %d rounds (seed %u), "
      "%d of them begun with the card unreadable: %zu taps (%s); the logs charge %lld, the card "
      "dropped %lld; %s\n",
      fault.name, race.rounds, race.seed, unreadable, race.taps,
      race.wrong.empty() ? "all agree" : race.wrong.c_str(), static_cast<long long>(race.charged),
      static_cast<long long>(race.dropped), lock.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Multihost, ThroughAFault,
    ::testing::Values(
        // A brick killed a third of the way through, brought back two
        // thirds through.
        RaceFault{"ABrickFailure", {{10, "brick kill 2"}, {20, "brick start"}}},
        // Every brick killed and brought back, one after the other: a lock
        // taken before the first is on no brick after the last.
        RaceFault{"EachBrickInTurn",
                  {{4, "brick kill 1"},
                   {8, "brick start"},
                   {12, "brick kill 2"},
                   {16, "brick start"},
                   {20, "brick kill 3"},
                   {24, "brick start"}}},
        // The GlusterFS daemon restarted, twice: the bricks and the mounts
        // stay up, and the clients reconnect to it.
        RaceFault{"DaemonRestart", {{8, "daemon restart"}, {18, "daemon restart"}}},
        // Bricks that revoke a lock held over a second, or any lock one
        // request waits behind, all of them at once: they revoke the
        // replication's own locks, never a byte a reader locks (nor the
        // journal's claim S5 holds all through).
        RaceFault{"LockRevocation",
                  {},
                  {3,
                   false,
                   {"features.locks-revocation-secs=1", "features.locks-revocation-max-blocked=1",
                    "features.locks-revocation-clear-all=true"},
                   ""},
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

// An option of the cluster set otherwise than the cluster tool sets it.
struct OtherOption {
  const char* name;    // as the test is named
  ClusterSetup setup;  // the cluster with that one option otherwise
  const char* needed;  // what the readers' check names, if the option is needed; or nothing
  bool always = true;  // when needed: whether its fault shows in every run
};

// How a failure names the option.
void PrintTo(const OtherOption& option, std::ostream* out) {
  *out << option.name;
}

class EachOption : public OnCluster, public ::testing::WithParamInterface<OtherOption> {
 protected:
  ClusterSetup setup() const override { return GetParam().setup; }
};

namespace {

// What a reader on host 2 does with a tap in flight that S1 on host 1
// (whose view of the network is `host1`) left, once host 2 has read S1's
// journal while it was idle: it must find the tap in the journal
// (rewritten in place since, its size the same), complete it, and go on
// from it. Returns what is wrong with the card and the logs afterwards;
// empty when nothing is.
std::string tapLeftOnAnotherHost(const Cluster& cluster, const NetworkDir& host1) {
  const char* card = "Card/5.txt";
  const std::string journal = "Reader_txt/Subway1.txt.pending";
  EXPECT_TRUE(resetNetwork(host1.root(), NetworkFolders::kLogsOnly));
  writeFile(host1.at(card), kFreshCard);
  writeFile(host1.at("Reader_txt/Subway1.txt"), "");
  writeFile(host1.at(journal), formatIntent(TapIntent{kIdle, "", 0, 0, "", "", "", 0, 0, ""}));
  readFile(cluster.host(2) + "/" + journal);
  // S1's tap: its intent committed, a part of its record written, then
  // stopped.
  struct stat cardFile {
  }, logFile{};
  EXPECT_EQ(stat(host1.at(card).c_str(), &cardFile), 0);
  EXPECT_EQ(stat(host1.at("Reader_txt/Subway1.txt").c_str(), &logFile), 0);
  const std::string record = "\r\n20260306081000,SUBWAY,IN,1999998950,S1_1",
                    line = "20260306081000,SUBWAY,IN,1050,S1_1\r\n";
  std::string before = kFreshCard;
  writeFile(
      host1.at(journal),
      formatIntent(TapIntent{kPending, card, cardFile.st_ino, static_cast<int64_t>(before.size()),
                             before, record, "Reader_txt/Subway1.txt", logFile.st_ino, 0, line}));
  writeFile(host1.at(card), before + record.substr(0, 30));
  // The reader on host 2, made to tap whatever the mount: S1's tap must be
  // on the card, and its own after it.
  Program next = startCrashReader("S3", "5 ", cluster.host(2), true);
  int status = finishProgram(&next, 120);
  std::vector<std::string> records = split(readFile(host1.at(card)), "\r\n");
  std::string wrong = status == 0 ? "" : "S3 ended with " + std::to_string(status) + " ";
  if (records.size() != 4 || "\r\n" + records[2] != record) {
    wrong += "S3 did not go on from S1's tap: " + std::to_string(records.size()) + " records ";
  }
  // The crash-test reader leaves its own last tap to be flushed, as a
  // reader starting would.
  std::vector<std::string> notices;
  EXPECT_TRUE(settleEveryJournal(host1.dir(), logsWith(), &notices));
  return wrong + agreement(card, {"S1", "S3"}, host1.root());
}

// What a reader on host 2 makes of a card that S1 on host 1 (whose view of
// the network is `host1`) has just tapped, host 2 having read the card the
// moment before: it must go on from S1's record (S1's entry makes S3's tap
// an exit). The two taps follow each other at once, well within any
// cache's second. Returns what is wrong; empty when nothing is.
std::string tapJustMadeOnAnotherHost(const Cluster& cluster, const NetworkDir& host1) {
  EXPECT_TRUE(resetNetwork(host1.root(), NetworkFolders::kLogsOnly));
  const char* card = "Card/6.txt";
  writeFile(host1.at(card), kFreshCard);
  ScratchDir consoles;
  Program s1 = waitingReader("S1", cluster.host(1), consoles / "s1");
  Program s3 = waitingReader("S3", cluster.host(2), consoles / "s3");
  readFile(cluster.host(2) + "/" + card);
  typeInto(s1, "6\n");
  bool tapped = waitUntil([&] { return split(readFile(host1.at(card)), "\r\n").size() == 3; }, 30);
  typeInto(s3, "6\n");
  tapped =
      waitUntil([&] { return split(readFile(host1.at(card)), "\r\n").size() == 4; }, 30) && tapped;
  int s1Status = finishProgram(&s1, 60), s3Status = finishProgram(&s3, 60);
  std::vector<std::string> records = split(readFile(host1.at(card)), "\r\n");
  std::string wrong;
  if (!tapped || s1Status != 0 || s3Status != 0) wrong = "a reader did not tap or ended otherwise ";
  if (records.size() != 4 || records[3].find(",SUBWAY,OUT,") == std::string::npos) {
    wrong += "S3 did not go on from S1's entry: " + records.back() + " ";
  }
  std::vector<std::string> notices;
  EXPECT_TRUE(settleEveryJournal(host1.dir(), logsWith(), &notices));
  return wrong + agreement(card, {"S1", "S3"}, host1.root());
}

}  // namespace

TEST_P(EachOption, IsNeededOrHarmless) {
  const OtherOption& other = GetParam();
  // Readers on three hosts race on one card, made to tap whatever the
  // mount; then a reader on one host meets a tap another host left in
  // flight, and one taps a card another host has just tapped. Where the
  // option is needed, one of them goes wrong (the card and the logs, as the
  // servers hold them, disagree) in every run, or in some (then the fault
  // is printed, not required), and a reader refuses the mount, naming the
  // option; where it is not, all go right and a reader accepts the mount.
  RaceResult race = raceOnOneCard(root(), cluster_->hosts(), 20, 100, nullptr, true, false);
  ScratchDir copy;
  checkRace(onServers(copy), &race);
  std::string left =
      tapLeftOnAnotherHost(*cluster_, *host1_) + tapJustMadeOnAnotherHost(*cluster_, *host1_);
  std::string stale = staleStorage(net(), kCardDirectory);
  if (*other.needed != '\0') {
    if (other.always) {
      EXPECT_NE(race.wrong + left, "")
          << "no fault in " << race.taps << " taps with " << other.name;
    }
    EXPECT_NE(stale.find(other.needed), std::string::npos) << stale;
  } else {
    EXPECT_EQ(race.wrong, "") << other.name << ", seed " << race.seed;
    EXPECT_EQ(left, "") << other.name;
    EXPECT_EQ(stale, "");
  }
  printf("with %s: %zu taps on 3 hosts, %s; a tap left on another host: %s\n", other.name,
         race.taps, race.wrong.empty() ? "all agree" : race.wrong.c_str(),
         left.empty() ? "completed" : left.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Multihost, EachOption,
    ::testing::Values(
        // Needed: md-cache off, names looked up afresh, and reads that go
        // to the servers, each shown in every run; write-behind off, shown
        // in some races.
        OtherOption{"StatPrefetchOn",
                    {3, false, {"performance.stat-prefetch=on"}, ""},
                    "performance.stat-prefetch off"},
        OtherOption{"NoEntryTimeout", {3, false, {}, "direct-io-mode=enable"}, "entry-timeout=0"},
        OtherOption{"NoDirectIo", {3, false, {}, "entry-timeout=0"}, "direct-io-mode=enable"},
        OtherOption{"WriteBehindOn",
                    {3, false, {"performance.write-behind=on"}, ""},
                    "performance.write-behind off",
                    false},
        // attribute-timeout=0 in place of entry-timeout=0 went right in
        // every race seen, but leaves a card's name cached for a second
        // (a reissued card's name could still lead to the removed file):
        // the readers ask for entry-timeout=0 and refuse this mount.
        OtherOption{"AttributeTimeoutInstead",
                    {3, false, {}, "attribute-timeout=0,direct-io-mode=enable"},
                    "entry-timeout=0",
                    false},
        // Harmless: io-cache and read-ahead on (GlusterFS has them off by
        // default); and quick-read and open-behind, on in every cluster of
        // these tests (on by default).
        OtherOption{"IoCacheOn", {3, false, {"performance.io-cache=on"}, ""}, ""},
        OtherOption{"ReadAheadOn", {3, false, {"performance.read-ahead=on"}, ""}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Multihost, AReaderKilledOnOneHostIsSettledByAReaderOnAnother) {
  // S1 on host 1 is killed at each point of a tap that leaves something in
  // flight: before its intent is on disk, after it and before its record,
  // between its record and its line, before both are flushed. S3 on host 2
  // then taps the card, and S1 starts again: the card and the logs agree,
  // no journal is in flight, no note is left.
  const struct {
    const char* point;
    const char* path;
    const char* call;
    int nth;
  } kills[] = {
      {"before its intent is on disk", "Reader_txt/Subway1.txt.pending", "fdatasync", 2},
      {"after its intent, before its record", "Card/1.txt", "write", 1},
      {"between its record and its line", "Reader_txt/Subway1.txt", "write", 1},
      {"before its record and line are flushed", "Card/1.txt", "fdatasync", 1},
  };
  for (const auto& kill : kills) {
    SCOPED_TRACE(kill.point);
    // The logs made anew, and of the cards only the one tapped here.
    ASSERT_TRUE(resetNetwork(root(), NetworkFolders::kLogsOnly));
    std::error_code error;
    std::filesystem::remove(at("Card/1.txt"), error);
    ASSERT_FALSE(error) << "cannot remove Card/1.txt: " << error.message();
    writeFile(at("Card/1.txt"), kFreshCard);
    std::string inject =
        std::string("inject=") + kill.call + ":signal=SIGKILL:when=" + std::to_string(kill.nth);
    // strace matches a file that is not there yet by its whole path.
    std::string path = cluster_->host(1) + "/" + kill.path;
    HostRun killed = runReaderIn("S1", cluster_->host(1), "1\n",
                                 {"-qq", "-o", "/dev/null", "-P", path, "-e",
                                  std::string("trace=") + kill.call, "-e", inject});
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    HostRun next = runReaderIn("S3", cluster_->host(2), "1\n");
    EXPECT_EQ(next.status, 0) << next.errors;
    HostRun again = runReaderIn("S1", cluster_->host(1), "");
    EXPECT_EQ(again.status, 0) << again.errors;
    EXPECT_EQ(agreement("Card/1.txt", {"S1", "S3"}, root()), "");
  }
}

TEST_F(Multihost, AReaderFindsAJournalMadeOrReplacedOnAnotherHostSinceItsLastTap) {
  // S3 on host 2 keeps the journals open between taps and lists the log
  // directory once per card it holds, instead of looking at every
  // journal's name. S1 on host 1 is killed after its intent, before its
  // record: first with a journal it made since S3's last tap, then with
  // one made in place of the one S3 holds open (the old one moved away).
  // S3's next tap must settle S1's each time, and go on from it.
  ASSERT_TRUE(resetNetwork(root(), NetworkFolders::kLogsOnly));
  const std::string card = "Card/7.txt", journal = "Reader_txt/Subway1.txt.pending";
  writeFile(at(card), kFreshCard);
  ScratchDir consoles;
  Program s3 = waitingReader("S3", cluster_->host(2), consoles / "s3");
  EndsWithTest ends{&s3, 60};
  auto records = [&] { return split(readFile(at(card)), "\r\n").size(); };
  typeInto(s3, "7\n");
  ASSERT_TRUE(waitUntil([&] { return records() == 3; }, 30)) << "S3 did not tap";
  for (const char* how : {"made since", "made in place of the one S3 holds open"}) {
    SCOPED_TRACE(how);
    if (std::string(how) != "made since") {
      ASSERT_EQ(rename(at(journal).c_str(), at("Subway1.moved").c_str()), 0);
    }
    size_t before = records();
    HostRun killed = runReaderIn("S1", cluster_->host(1), "7\n",
                                 {"-qq", "-o", "/dev/null", "-P", at(card), "-e", "trace=write",
                                  "-e", "inject=write:signal=SIGKILL:when=1"});
    ASSERT_EQ(killed.status, 128 + SIGKILL);
    TapIntent intent;
    ASSERT_TRUE(readAnyJournal(net(), journal, &intent) && intent.state == kPending);
    ASSERT_EQ(records(), before) << "S1 was not killed before its record";
    typeInto(s3, "7\n");
    EXPECT_TRUE(waitUntil([&] { return records() == before + 2; }, 30))
        << "S3 did not settle S1's tap and go on from it: " << readFile(at(card));
  }
  EXPECT_EQ(finishProgram(&s3, 60), 0);
  // The crash-test reader leaves its own last tap to be flushed, as a
  // reader starting would.
  std::vector<std::string> notices;
  EXPECT_TRUE(settleEveryJournal(net(), logsWith(), &notices));
  EXPECT_EQ(agreement(card, {"S1", "S3"}, root()), "");
  EXPECT_EQ(unlink(at("Subway1.moved").c_str()), 0);
}

TEST_F(Multihost, AHostCutOffMidTapLeavesItWholeAndAnotherHostSettlesIt) {
  // S1 on host 1 has committed a tap and is writing its record when host 1
  // is cut off. S1 ends the tap (its file system gone, it cannot take the
  // tap back, so the tap stands committed); host 1's lock on the card
  // lapses with its connection, and S3 on host 2 then settles the tap and
  // taps the card. Once host 1 is back, S1 starts again and finds nothing
  // to do.
  writeFile(at("Card/1.txt"), kFreshCard);
  ScratchDir scratch;
  ProgramRun run;
  run.argv = {STRACE_PROGRAM,
              "-qq",
              "-o",
              "/dev/null",
              "-P",
              "Card/1.txt",
              "-e",
              "trace=write",
              "-e",
              "inject=write:delay_enter=3000000:when=1",
              std::string(READERS_DIR) + "/subway_reader_s1"};
  run.dir = cluster_->host(1);
  run.console = scratch / "s1";
  Program s1 = startProgram(run);
  typeInto(s1, "1\n");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(cluster_->tool("cut 1"), 0);
  auto cut = std::chrono::steady_clock::now();
  // How long host 1's lock on the card lasts: a probe on host 2 takes it
  // the moment it lapses.
  int locks = open((cluster_->host(2) + "/Card/taps.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(locks, 0);
  bool lapsed = false;
  while (!lapsed && std::chrono::steady_clock::now() - cut < std::chrono::seconds(120)) {
    lapsed = lockWithin(locks, cardLockByte("Card/1.txt"), 500);
  }
  double lapse = std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count();
  close(locks);
  EXPECT_TRUE(lapsed);
  // S3 on host 2 then taps the card, S1's committed tap settled first.
  HostRun s3 = runReaderIn("S3", cluster_->host(2), "1\n");
  EXPECT_NE(s3.console.find(euckr("요금 : ")), std::string::npos) << s3.console << s3.errors;
  EXPECT_EQ(finishProgram(&s1, 120), 0);
  ASSERT_EQ(cluster_->tool("join 1"), 0);
  EXPECT_EQ(readFile(run.console).find(euckr("기록에 실패했습니다.")), std::string::npos)
      << "the tap stood committed, yet S1 said it failed";
  HostRun again = runReaderIn("S1", cluster_->host(1), "");
  EXPECT_EQ(again.status, 0) << again.errors;
  EXPECT_EQ(agreement("Card/1.txt", {"S1", "S3"}, root()), "");
  printf(
      "cut: host 1 cut off mid-tap; its lock on the card lapsed %.1f s after the cut, and S3 on "
      "host 2 settled its tap\n",
      lapse);
}

// The cluster as the cluster tool makes it, or with one option otherwise,
// for the tap a host holds across its cut and its return.
class ACutHostRejoining : public OnCluster, public ::testing::WithParamInterface<OtherOption> {
 protected:
  ClusterSetup setup() const override { return GetParam().setup; }
};

TEST_P(ACutHostRejoining, WhileAnotherHostHoldsItsCardChargesOnce) {
  // S1 on host 1 has committed a tap on card 1, and stalls before its
  // record, when host 1 is cut off. Its lock lapses; S3 on host 2 settles
  // S1's tap and taps the card, and holds it (stalled before its own
  // record) while host 1 comes back and S1 goes on. S1 must not write on
  // as if it still held the card: with strict locks its lock file and
  // journal fail once host 1 reconnects, it takes nothing further on the
  // card, and finds its tap settled by S3 (so says it is charged); without,
  // it appends its record a second time after S3's settling, and a reader
  // refuses such a mount. The readers are made to tap whatever the mount.
  const OtherOption& other = GetParam();
  const std::string s1Journal = cluster_->host(1) + "/Reader_txt/Subway1.txt.pending";
  cardMadeOnHost3();
  ScratchDir scratch;
  ProgramRun first;
  // S1's second flush of its journal (its first made the journal) is its
  // tap's intent: it stalls for 30 s once that is on disk.
  first.argv = underStrace(s1Journal, "fdatasync", "delay_exit=30000000:when=2",
                           {CRASH_READER, "S1", "trust-storage"});
  first.dir = cluster_->host(1);
  first.console = scratch / "s1";
  Program s1 = startProgram(first);
  EndsWithTest endsS1{&s1, 120};
  typeInto(s1, "1 ");
  TapIntent intent;
  EXPECT_TRUE(waitUntil(
      [&] {
        return readAnyJournal(net(), "Reader_txt/Subway1.txt.pending", &intent) &&
               intent.state == kPending;
      },
      20));
  ASSERT_EQ(cluster_->tool("cut 1"), 0);
  auto cut = std::chrono::steady_clock::now();
  auto since = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count();
  };
  int locks = open((cluster_->host(2) + "/Card/taps.lock").c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_GE(locks, 0);
  EXPECT_TRUE(waitUntil([&] { return lockWithin(locks, cardLockByte("Card/1.txt"), 0); }, 60));
  close(locks);
  double lapsed = since();
  // S3 settles S1's tap, then stalls 25 s before its own record, holding
  // the card.
  ProgramRun next;
  next.argv = underStrace(cluster_->host(2) + "/Card/1.txt", "write", "delay_enter=25000000:when=1",
                          {CRASH_READER, "S3", "trust-storage"});
  next.dir = cluster_->host(2);
  next.console = scratch / "s3";
  Program s3 = startProgram(next);
  EndsWithTest endsS3{&s3, 120};
  typeInto(s3, "1 ");
  const std::string onHost2 = cluster_->host(2) + "/Card/1.txt";
  EXPECT_TRUE(waitUntil([&] { return split(readFile(onHost2), "\r\n").size() == 3; }, 30))
      << "S3 did not settle S1's tap";
  EXPECT_EQ(cluster_->tool("join 1"), 0);
  double joined = since();
  EXPECT_EQ(finishProgram(&s1, 120), 0);
  double s1Ended = since();
  EXPECT_EQ(finishProgram(&s3, 120), 0);
  // What either left, settled as a reader starting settles it.
  Program again = startCrashReader("S1", "", cluster_->host(1), true);
  EXPECT_EQ(finishProgram(&again, 60), 0);
  std::string wrong = agreement("Card/1.txt", {"S1", "S3"}, root());
  bool failedShown = readFile(first.console).find(kWriteFailedText) != std::string::npos;
  size_t s1Lines = split(readFile(at("Reader_txt/Subway1.txt")), "\r\n").size() - 1;
  std::string stale = staleStorage(net(), kCardDirectory);
  if (*other.needed != '\0') {
    EXPECT_NE(wrong, "") << "no fault with " << other.name;
    EXPECT_NE(stale.find(other.needed), std::string::npos) << stale;
  } else {
    EXPECT_EQ(wrong, "");
    EXPECT_EQ(failedShown, s1Lines == 0)
        << "S1 said its tap " << (failedShown ? "failed" : "was charged") << ", and its log holds "
        << s1Lines << " lines";
    EXPECT_EQ(stale, "");
  }
  std::string said;
  for (const std::string& line : split(readFile(first.console), "\n")) {
    if (line.find("reader S1: warning:") != std::string::npos) said += "\n  " + line;
  }
  printf(
      "with %s: host 1 cut off holding card 1; its lock lapsed %.1f s after the cut, host 1 was "
      "back %.1f s after, S1 ended %.1f s after (%s): %s%s\n",
      other.name, lapsed, joined, s1Ended, failedShown ? "said failed" : "said charged",
      wrong.empty() ? "card and logs agree" : wrong.c_str(), said.c_str());
}

INSTANTIATE_TEST_SUITE_P(Multihost, ACutHostRejoining,
                         ::testing::Values(OtherOption{"StrictLocks", {}, ""},
                                           OtherOption{"StrictLocksOff",
                                                       {3, false, {"client.strict-locks=off"}, ""},
                                                       "volume option client.strict-locks on"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Multihost, AReaderThatGaveUpOnACardLeavesNoLockBehind) {
  // Host 1 holds card 1 when it is cut off. S3 on host 2 taps the card,
  // waits for it and gives up; it goes on running, its lock file open.
  // Once host 1's lock lapses the card's byte must be free: no request S3
  // gave up on may be granted to it later, a lock no reader knows of that
  // would shut the card on every host.
  cardMadeOnHost3();
  // S3 is waiting at its prompt on host 2 when host 1 takes the card and
  // is cut off; then the card is typed at S3.
  ScratchDir scratch;
  ProgramRun run;
  run.argv = {std::string(READERS_DIR) + "/subway_reader_s3"};
  run.dir = cluster_->host(2);
  run.console = scratch / "s3";
  run.errors = scratch / "s3.err";
  Program s3 = startProgram(run);
  ASSERT_TRUE(
      waitUntil([&] { return readFile(run.console).find("Input Card") != std::string::npos; }, 60));
  int held =
      open((cluster_->host(1) + "/Card/taps.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(lockWithin(held, cardLockByte("Card/1.txt"), 0));
  ASSERT_EQ(cluster_->tool("cut 1"), 0);
  auto cut = std::chrono::steady_clock::now();
  typeInto(s3, "1\n");
  EXPECT_TRUE(waitUntil(
      [&] { return readFile(run.console).find(kUnreadableCardText) != std::string::npos; }, 60))
      << readFile(run.console) << readFile(run.errors);
  double gaveUp = std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count();
  // A probe on host 3 that only ever asks, never waits, takes the byte the
  // moment host 1's lock lapses, unless something else was granted it.
  int probe = open((cluster_->host(3) + "/Card/taps.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  bool free = waitUntil([&] { return lockWithin(probe, cardLockByte("Card/1.txt"), 0); }, 150);
  double lapse = std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count();
  EXPECT_TRUE(free) << "the card's byte stayed taken after host 1's lock lapsed: a request a "
                       "reader gave up on was granted";
  close(probe);
  // The card serves S3's next tap, and S1's once host 1 is back.
  typeInto(s3, "1\n");
  EXPECT_EQ(finishProgram(&s3, 120), 0);
  EXPECT_NE(readFile(run.console).find(euckr("요금 : ")), std::string::npos)
      << readFile(run.console) << readFile(run.errors);
  close(held);
  ASSERT_EQ(cluster_->tool("join 1"), 0);
  ASSERT_EQ(cluster_->tool("heal"), 0);
  HostRun s1 = runReaderIn("S1", cluster_->host(1), "1\n");
  EXPECT_NE(s1.console.find(euckr("요금 : ")), std::string::npos) << s1.console << s1.errors;
  EXPECT_EQ(agreement("Card/1.txt", {"S1", "S3"}, root()), "");
  printf(
      "ghost: S3 gave up on the card host 1 held %.1f s after the cut; the byte was free %.1f s "
      "after the cut\n",
      gaveUp, lapse);
}

TEST_F(Multihost, AReaderSettlesNothingUntilItsNetworkDirectoryIsThere) {
  // S1 was killed on host 1 after both appends, before its flush: its
  // journal holds a committed tap. S3 starts on host 2 where the volume is
  // to be mounted, in its mount point, as a station's reader runs in the
  // volume's root; the volume is not mounted there yet. S3 says so and
  // touches no journal. Once the volume is mounted there, S3's first tap
  // settles S1's tap and goes on from it: it finds its network directory
  // by the path it was started in.
  writeFile(at("Card/1.txt"), kFreshCard);
  HostRun killed = runReaderIn("S1", cluster_->host(1), "1\n",
                               {"-qq", "-o", "/dev/null", "-P", "Card/1.txt", "-e",
                                "trace=fdatasync", "-e", "inject=fdatasync:signal=SIGKILL:when=1"});
  ASSERT_EQ(killed.status, 128 + SIGKILL);
  std::string log = readFile(at("Reader_txt/Subway1.txt")), card = readFile(at("Card/1.txt"));
  ASSERT_NE(log, "");
  ASSERT_EQ(cluster_->tool("client unmount 2"), 0);
  ScratchDir scratch;
  ProgramRun run;
  run.argv = {std::string(READERS_DIR) + "/subway_reader_s3"};
  run.dir = cluster_->host(2);
  run.console = scratch / "console";
  run.errors = scratch / "errors";
  Program s3 = startProgram(run);
  EndsWithTest ends{&s3, 60};
  EXPECT_TRUE(waitUntil(
      [&] { return readFile(run.errors).find("there is no Card/ directory") != std::string::npos; },
      30))
      << readFile(run.errors);
  EXPECT_EQ(readFile(at("Reader_txt/Subway1.txt")), log);
  TapIntent intent;
  EXPECT_TRUE(readAnyJournal(net(), "Reader_txt/Subway1.txt.pending", &intent) &&
              intent.state == kPending);
  EXPECT_EQ(cluster_->tool("client mount 2"), 0);
  typeInto(s3, "1\n");
  EXPECT_EQ(finishProgram(&s3, 60), 0);
  std::string console = readFile(run.console);
  EXPECT_EQ(console.find(kNoCardText), std::string::npos)
      << "S3 did not find the volume mounted where it runs: " << readFile(run.errors);
  EXPECT_NE(console.find(euckr("요금 : ")), std::string::npos) << readFile(run.errors);
  EXPECT_EQ(readFile(at("Card/1.txt")).compare(0, card.size(), card), 0);
  EXPECT_EQ(agreement("Card/1.txt", {"S1", "S3"}, root()), "") << readFile(run.errors);
}

TEST_F(Multihost, AReaderWhoseClientWasKilledTapsOnceTheVolumeIsMountedAgain) {
  // S3 runs on host 2 in the volume's root and taps card 1. Host 2's
  // GlusterFS client is killed (its mount answers "Transport endpoint is
  // not connected"); S1 on host 1 taps the card meanwhile; then the volume
  // is mounted on host 2 again. S3, never restarted, finds its network
  // directory again by its path: its next tap goes on from S1's record.
  writeFile(at("Card/1.txt"), kFreshCard);
  ScratchDir scratch;
  ProgramRun run;
  run.argv = {std::string(READERS_DIR) + "/subway_reader_s3"};
  run.dir = cluster_->host(2);
  run.console = scratch / "console";
  run.errors = scratch / "errors";
  Program s3 = startProgram(run);
  EndsWithTest ends{&s3, 60};
  const std::string fare = euckr("요금 : ");
  typeInto(s3, "1\n");
  EXPECT_TRUE(waitUntil([&] { return countOf(readFile(run.console), fare) == 1; }, 30))
      << readFile(run.console) << readFile(run.errors);
  EXPECT_EQ(cluster_->tool("client kill 2"), 0);
  HostRun s1 = runReaderIn("S1", cluster_->host(1), "1\n");
  EXPECT_NE(s1.console.find(fare), std::string::npos) << s1.console << s1.errors;
  EXPECT_EQ(cluster_->tool("client mount 2"), 0);
  typeInto(s3, "1\n");
  EXPECT_EQ(finishProgram(&s3, 60), 0);
  std::string console = readFile(run.console), errors = readFile(run.errors);
  EXPECT_EQ(countOf(console, fare), 2u) << "S3 did not tap on the volume mounted again: " << errors;
  EXPECT_NE(errors.find("is another directory now"), std::string::npos) << errors;
  std::vector<std::string> records = split(readFile(at("Card/1.txt")), "\r\n");
  EXPECT_EQ(records.size(), 5u);
  EXPECT_EQ(agreement("Card/1.txt", {"S1", "S3"}, root()), "") << errors;
}

namespace {

// The pid of the one program a program started (strace's tracee), or -1.
pid_t childOf(pid_t parent) {
  std::string children =
      readFile("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
  return children.empty() ? -1 : static_cast<pid_t>(std::stol(children));
}

// The number of the system call a process is in (-1: none, or gone).
long syscallOf(pid_t pid) {
  std::string call = readFile("/proc/" + std::to_string(pid) + "/syscall");
  return call.empty() || !isdigit(static_cast<unsigned char>(call[0])) ? -1 : std::stol(call);
}

// The state letter of a process (R, S, D, Z...), or '?' once it is gone.
char stateOf(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t end = stat.rfind(')');
  return end == std::string::npos || end + 2 >= stat.size() ? '?' : stat[end + 2];
}

}  // namespace

TEST_F(Multihost, AWriteInFlightWhenItsReaderIsKilledLandsBeforeItsLockIsLetGo) {
  // S1 on host 1 has committed a tap, and its record is on its way to the
  // bricks, which are paused: the write is in flight, taken by host 1's
  // GlusterFS client, when S1 is killed. S1 cannot end before its client
  // answers the write, nor let go of its files, and so of the card's lock,
  // before it ends: what host 2 finds on the card once it can take the
  // card's lock is the card from then on, until host 2 lets it go: no
  // record of S1's lands after. (A write held back on the client,
  // write-behind's, is what the readers' check refuses.)
  cardMadeOnHost3();
  ScratchDir scratch;
  ProgramRun run;
  run.argv = underStrace(cluster_->host(1) + "/Card/1.txt", "write", "delay_enter=4000000:when=1",
                         {std::string(READERS_DIR) + "/subway_reader_s1"});
  run.dir = cluster_->host(1);
  run.console = scratch / "s1";
  Program s1 = startProgram(run);
  EndsWithTest ends{&s1, 60};
  EXPECT_TRUE(
      waitUntil([&] { return readFile(run.console).find("Input Card") != std::string::npos; }, 60));
  pid_t reader = childOf(s1.pid);
  EXPECT_GT(reader, 0);
  typeInto(s1, "1\n");
  // The bricks are paused while S1's record waits, held by strace, to be
  // written; then it is written, and S1 waits on the paused bricks (well
  // within the 10 s after which its client would give them up).
  EXPECT_TRUE(waitUntil([&] { return reader > 0 && syscallOf(reader) == SYS_write; }, 30));
  EXPECT_EQ(cluster_->tool("brick pause"), 0);
  EXPECT_TRUE(waitUntil(
      [&] { return reader > 0 && syscallOf(reader) == SYS_write && stateOf(reader) == 'S'; }, 8))
      << "S1's write did not reach its file system";
  if (reader > 0) kill(reader, SIGKILL);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  char killedState = reader > 0 ? stateOf(reader) : '?';
  EXPECT_EQ(killedState, 'D') << "S1, killed with its write in flight, did not wait for it";
  for (int n = 1; n <= 3; n++) {
    EXPECT_EQ(split(readFile(cluster_->brick(n) + "/Card/1.txt"), "\r\n").size(), 2u)
        << "S1's record reached brick " << n << " before it was paused";
  }
  EXPECT_EQ(cluster_->tool("brick resume"), 0);
  auto resumed = std::chrono::steady_clock::now();
  // The card as host 2 finds it the first moment it can take the card's
  // lock, and while it holds it.
  int probe = open((cluster_->host(2) + "/Card/taps.lock").c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_GE(probe, 0);
  std::string seen;
  EXPECT_TRUE(waitUntil(
      [&] {
        if (!lockWithin(probe, cardLockByte("Card/1.txt"), 0)) return false;
        seen = readFile(cluster_->host(2) + "/Card/1.txt");
        return true;
      },
      60));
  double free = std::chrono::duration<double>(std::chrono::steady_clock::now() - resumed).count();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::string later = readFile(cluster_->host(2) + "/Card/1.txt");
  close(probe);
  EXPECT_EQ(later, seen) << "S1's record landed after host 2 took the card's lock";
  finishProgram(&s1, 60);
  // Its line and flush are left to the next reader, as for any reader
  // killed mid-tap.
  HostRun s3 = runReaderIn("S3", cluster_->host(2), "1\n");
  EXPECT_EQ(s3.status, 0) << s3.errors;
  HostRun again = runReaderIn("S1", cluster_->host(1), "");
  EXPECT_EQ(again.status, 0) << again.errors;
  EXPECT_EQ(agreement("Card/1.txt", {"S1", "S3"}, root()), "");
  printf(
      "in flight: S1, killed with its record sent to paused bricks, was in state %c until they "
      "went on; host 2 took the card's lock %.2f s after they did, the card then holding %zu "
      "records, and %zu 3 s later\n",
      killedState, free, split(seen, "\r\n").size(), split(later, "\r\n").size());
}

namespace {

class PlainMount : public OnCluster {
 protected:
  ClusterSetup setup() const override { return {2, true, {}, ""}; }
};

}  // namespace

TEST_F(PlainMount, IsRefusedByTheReadersAndTheCardTool) {
  // A plain mount serves cards from its client's caches: a reader ends at
  // once, naming what to change, and the card tool writes nothing.
  std::string card = readFile(at("Card/1001.txt"));
  HostRun s1 = runReaderIn("S1", cluster_->host(1), "1001\n");
  EXPECT_EQ(s1.status, 1);
  for (const char* option : {"performance.stat-prefetch off", "entry-timeout=0"}) {
    EXPECT_NE(s1.errors.find(option), std::string::npos) << option << " in " << s1.errors;
  }
  EXPECT_EQ(readFile(at("Card/1001.txt")), card);
  ScratchDir scratch;
  ProgramRun run;
  run.argv = {
      std::string(READERS_DIR) + "/card_tool", "--dir", cluster_->host(2), "topup", "1001", "500"};
  run.dir = scratch.path();  // where its fake `clear` goes: off the cluster
  run.environment = sharedEnvironment();
  run.console = scratch / "card_tool.txt";
  Program tool = startProgram(run);
  int status = finishProgram(&tool);
  EXPECT_NE(status, 0) << readFile(run.console);
  EXPECT_NE(status, -1) << "the card tool did not start, or did not end and was killed";
  EXPECT_EQ(readFile(at("Card/1001.txt")), card);
}
