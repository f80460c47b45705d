// The network on many hosts: readers on several clients of one GlusterFS
// volume tap shared cards, through a brick's failure, a reader killed on
// one host and settled from another, a host cut off mid-tap, and storage
// that is not there yet; a plain mount is refused, and each volume and
// mount option the readers need is shown to be needed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "core/storage.h"
#include "tests/reliability/card_checks.h"
#include "tests/reliability/cluster.h"
#include "tests/reliability/crash_runs.h"
#include "tests/support/test_support.h"

namespace {

// A test on a cluster of its own (made as `setup` says), run in host 1's
// view of the network.
class OnCluster : public ::testing::Test {
 protected:
  virtual ClusterSetup setup() const { return {}; }
  void SetUp() override {
    ASSERT_NE(getcwd(home_, sizeof home_), nullptr);
    cluster_ = std::make_unique<Cluster>(setup());
    if (cluster_->cannotRun()) GTEST_SKIP() << cluster_->missing();
    ASSERT_EQ(cluster_->missing(), "");
    ASSERT_EQ(chdir(cluster_->host(1).c_str()), 0);
  }
  void TearDown() override {
    if (home_[0] != '\0') {
      ASSERT_EQ(chdir(home_), 0);
    }
    cluster_.reset();
  }
  // A copy of the network directory as the servers hold it (a brick's
  // files, read once the hosts' caches have lapsed), in `scratch`.
  std::string onServers(const ScratchDir& scratch) const {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string brick = cluster_->host(1) + "/../bricks/b1", copy = scratch.path();
    EXPECT_EQ(system(("mkdir -p '" + copy + "/Card' '" + copy + "/Reader_txt' && cp '" + brick +
                      "'/Card/*.txt '" + copy + "/Card/' && cp '" + brick + "'/Reader_txt/*.txt '" +
                      copy + "/Reader_txt/'")
                         .c_str()),
              0);
    return copy;
  }

  std::unique_ptr<Cluster> cluster_;
  char home_[4096] = "";
};

using Multihost = OnCluster;

}  // namespace

TEST_F(Multihost, ReadersOnThreeHostsTapOneCardThroughABrickFailure) {
  // S1, S3 and B, each on a host of its own, race on one card; a third of
  // the way through a brick's server process is killed, two thirds through
  // it is brought back. The card and the logs agree as on one host.
  RaceResult race = raceOnOneCard(cluster_->hosts(), 30, 100, [&](int round) {
    if (round == 10) {
      EXPECT_EQ(cluster_->tool("brick kill 2"), 0);
    } else if (round == 20) {
      EXPECT_EQ(cluster_->tool("brick start"), 0);
    }
  });
  EXPECT_EQ(race.wrong, "") << "seed " << race.seed;
  EXPECT_GE(race.taps, 100u);
  EXPECT_EQ(race.charged, race.dropped);
  printf(
      "multihost race: 3 readers on 3 hosts tapped one card for %d rounds through a brick's "
      "failure (seed %u): %zu taps (%s); the logs charge %lld, the card dropped %lld\n",
      race.rounds, race.seed, race.taps, race.wrong.empty() ? "all agree" : race.wrong.c_str(),
      static_cast<long long>(race.charged), static_cast<long long>(race.dropped));
}

// An option of the cluster set otherwise than the readers need.
struct WrongOption {
  const char* name;    // as the test is named
  ClusterSetup setup;  // the cluster with that one option wrong
  const char* told;    // what the readers' check names
};

class EachOption : public OnCluster, public ::testing::WithParamInterface<WrongOption> {
 protected:
  ClusterSetup setup() const override { return GetParam().setup; }
};

TEST_P(EachOption, IsNeeded) {
  const WrongOption& wrong = GetParam();
  // The readers refuse this mount, naming the option.
  std::string stale = staleStorage(".");
  EXPECT_NE(stale.find(wrong.told), std::string::npos) << stale;
  // Made to tap on it all the same, readers on three hosts charge from
  // stale cards: the card and the logs, as the servers hold them, disagree.
  RaceResult race = raceOnOneCard(cluster_->hosts(), 20, 100, nullptr, true, false);
  ScratchDir copy;
  checkRace(onServers(copy), &race);
  EXPECT_NE(race.wrong, "") << "no fault in " << race.taps << " taps without " << wrong.name;
  printf("without %s: %zu taps on 3 hosts, %s\n", wrong.name, race.taps,
         race.wrong.empty() ? "no fault found" : race.wrong.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Multihost, EachOption,
    ::testing::Values(
        WrongOption{"StatPrefetch",
                    {3, false, {"performance.stat-prefetch=on"}, ""},
                    "performance.stat-prefetch off"},
        WrongOption{"WriteBehind",
                    {3, false, {"performance.write-behind=on"}, ""},
                    "performance.write-behind off"},
        WrongOption{"QuickRead",
                    {3, false, {"performance.quick-read=on"}, ""},
                    "performance.quick-read off"},
        WrongOption{
            "IoCache", {3, false, {"performance.io-cache=on"}, ""}, "performance.io-cache off"},
        WrongOption{"ReadAhead",
                    {3, false, {"performance.read-ahead=on"}, ""},
                    "performance.read-ahead off"},
        WrongOption{"OpenBehind",
                    {3, false, {"performance.open-behind=on"}, ""},
                    "performance.open-behind off"},
        WrongOption{"AttributeTimeout",
                    {3, false, {}, "entry-timeout=0,negative-timeout=0,direct-io-mode=enable"},
                    "attribute-timeout=0"},
        WrongOption{"EntryTimeout",
                    {3, false, {}, "attribute-timeout=0,negative-timeout=0,direct-io-mode=enable"},
                    "entry-timeout=0"},
        WrongOption{"DirectIo",
                    {3, false, {}, "attribute-timeout=0,entry-timeout=0,negative-timeout=0"},
                    "direct-io-mode=enable"}),
    [](const auto& info) { return std::string(info.param.name); });
