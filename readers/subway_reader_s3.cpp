// Subway station S3 of the ring, Quillbay.
#include "readers/network.h"
#include "subway/dispatch.h"

int main() {
  return runReader(kStationS3, networkLogPaths(), subway::determineController);
}
