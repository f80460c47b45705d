// The simulated day: the same plan and seed give the same files, byte for
// byte, in any local time zone; another seed another day; about as many
// taps as planned; and the process's working directory and zone untouched.
#include "office/simulation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"

namespace {

// Every card and log of a simulated network, in one string.
std::string simulated(uint64_t seed, SimulationResult* result) {
  ScratchDir dir;
  SimulationPlan plan;
  plan.cards = 30;
  plan.taps = 900;
  plan.seed = seed;
  std::string problem;
  EXPECT_TRUE(simulateDay(dir.path(), plan, result, &problem)) << problem;
  std::string all;
  for (int card = 1; card <= 30; card++) {
    all += readFile(dir / ("Card/" + std::to_string(card) + ".txt")) + "\n";
  }
  for (const char* log : {"Subway1", "Subway2", "Subway3", "Subway4", "Subway5", "Bus"}) {
    all += readFile(dir / ("Reader_txt/" + std::string(log) + ".txt"));
  }
  return all;
}

}  // namespace

TEST(Simulation, ASeedGivesTheSameDayEveryTime) {
  SimulationResult first, again, other;
  std::string day = simulated(5, &first);
  EXPECT_EQ(simulated(5, &again), day);
  for (const char* zone : {"Asia/Seoul", "America/New_York", "Europe/Berlin"}) {
    InZone in(zone);
    EXPECT_EQ(simulated(5, &again), day) << "in " << zone;
  }
  EXPECT_NE(simulated(6, &other), day);
  EXPECT_EQ(first.taps, again.taps);
  EXPECT_GT(first.taps, 900 * 8 / 10);
  EXPECT_LT(first.taps, 900 * 12 / 10);
}

TEST(Simulation, LeavesTheWorkingDirectoryAndTheZoneAsTheyWere) {
  char home[4096];
  ASSERT_NE(getcwd(home, sizeof home), nullptr);
  const char* zone = getenv("TZ");
  const std::string zoneBefore = zone != nullptr ? zone : "(unset)";
  ScratchDir network, gone;
  // Run from a working directory that is no more: a simulation that
  // entered its network directory could not come back to it. Changing
  // directory is what this test is about; no other test does (they hold
  // their network directory open instead), and it goes back before it
  // checks anything.
  ASSERT_EQ(chdir(gone.path().c_str()), 0);
  ASSERT_EQ(rmdir(gone.path().c_str()), 0);
  SimulationPlan plan;
  plan.cards = 5;
  plan.taps = 50;
  SimulationResult result;
  std::string problem;
  bool simulated = simulateDay(network.path(), plan, &result, &problem);
  char after[4096];
  bool cwdGone = getcwd(after, sizeof after) == nullptr && errno == ENOENT;
  ASSERT_EQ(chdir(home), 0);
  EXPECT_TRUE(simulated) << problem;
  EXPECT_TRUE(cwdGone) << "the working directory changed to " << after;
  zone = getenv("TZ");
  EXPECT_EQ(zone != nullptr ? zone : "(unset)", zoneBefore);
  EXPECT_GT(result.taps, 0);
}
