// Simulates a day of the network: makes a network directory with N cards
// and fills its cards and logs with a day of passengers, each tap decided
// by the readers' own rules. Usage:
//   simulate_network DIR [--cards N] [--taps T] [--seed S] [--date YYYYMMDD]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "office/simulation.h"

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    fprintf(stderr,
            "Usage: simulate_network DIR [--cards N] [--taps T] [--seed S] [--date YYYYMMDD]\n"
            "Makes the network directory DIR (no cards in it yet) with N cards (1000) and a\n"
            "day of about T taps (10000) on them, the same for the same seed (1).\n");
    return 2;
  }
  SimulationPlan plan;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    char* end = nullptr;
    long long value = strtoll(argv[i + 1], &end, 10);
    if (*end != '\0' || value <= 0) {
      fprintf(stderr, "simulate_network: %s needs a positive whole number\n", option.c_str());
      return 2;
    }
    if (option == "--cards") {
      plan.cards = value;
    } else if (option == "--taps") {
      plan.taps = value;
    } else if (option == "--seed") {
      plan.seed = static_cast<uint64_t>(value);
    } else if (option == "--date") {
      plan.date = value;
    } else {
      fprintf(stderr, "simulate_network: unknown option '%s'\n", option.c_str());
      return 2;
    }
  }
  if (argc % 2 != 0) {
    fprintf(stderr, "simulate_network: option '%s' needs a value\n", argv[argc - 1]);
    return 2;
  }
  SimulationResult result;
  std::string problem;
  auto start = std::chrono::steady_clock::now();
  if (!simulateDay(argv[1], plan, &result, &problem)) {
    fprintf(stderr, "simulate_network: %s\n", problem.c_str());
    return 1;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf(
      "Simulated %lld cards: %lld journeys, %lld taps recorded, %lld refused, in %.1f s "
      "(%.0f taps a second)\n",
      static_cast<long long>(plan.cards), static_cast<long long>(result.journeys),
      static_cast<long long>(result.taps), static_cast<long long>(result.refused), seconds,
      static_cast<double>(result.taps + result.refused) / seconds);
  return 0;
}
