// Subway station S1 of the ring, Tollvane.
#include "core/reader.h"
#include "subway/dispatch.h"

int main() {
  runReader({"S1", "Subway Reader (Tollvane)", "Reader_txt/Subway1.txt"},
            subway::determineController);
}
