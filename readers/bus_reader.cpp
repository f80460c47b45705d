// The bus.
#include "bus/dispatch.h"
#include "readers/network.h"

int main() {
  runReader(kBusReader, networkLogPaths(), bus::determineController);
}
