// Subway station S1 of the ring, Tollvane.
#include "readers/network.h"
#include "subway/dispatch.h"

int main() {
  return runReader(kStationS1, networkLogPaths(), subway::determineController);
}
