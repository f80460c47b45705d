// Subway station S2 of the ring, Merrowick.
#include "core/reader.h"
#include "subway/dispatch.h"

int main() {
  runReader({"S2", "Subway Reader (Merrowick)", "Reader_txt/Subway2.txt"},
            subway::determineController);
}
