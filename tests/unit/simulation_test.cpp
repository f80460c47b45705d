// The simulated day: the same plan and seed give the same files, byte for
// byte; another seed another day; and about as many taps as planned.
#include "office/simulation.h"

#include <gtest/gtest.h>

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
  EXPECT_NE(simulated(6, &other), day);
  EXPECT_EQ(first.taps, again.taps);
  EXPECT_GT(first.taps, 900 * 8 / 10);
  EXPECT_LT(first.taps, 900 * 12 / 10);
}
