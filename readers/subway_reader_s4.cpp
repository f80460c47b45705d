// Subway station S4 of the ring, Farnsett.
#include "readers/network.h"
#include "subway/dispatch.h"

int main() {
  return runReader(kStationS4, networkLogPaths(), subway::determineController);
}
