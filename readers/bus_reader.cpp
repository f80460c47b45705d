// The bus.
#include "bus/dispatch.h"
#include "core/reader.h"

int main() {
  runReader({"B", "Bus Redaer", "Reader_txt/Bus.txt"}, bus::determineController);
}
