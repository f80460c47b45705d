// Subway station S2 of the ring, Merrowick.
#include "readers/network.h"
#include "subway/dispatch.h"

int main() {
  return runReader(kStationS2, networkLogPaths(), subway::determineController);
}
