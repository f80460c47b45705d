// Subway station S5 of the ring, Doveholm.
#include "readers/network.h"
#include "subway/dispatch.h"

int main() {
  return runReader(kStationS5, networkLogPaths(), subway::determineController);
}
