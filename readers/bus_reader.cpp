// The bus.
#include "bus/dispatch.h"
#include "readers/network.h"

int main() {
  return runReader(kBusReader, networkLogPaths(), bus::determineController);
}
