// Subway station S4 of the ring, Farnsett.
#include "core/reader.h"
#include "subway/dispatch.h"

int main() {
  runReader({"S4", "Subway Reader (Farnsett)", "Reader_txt/Subway4.txt"},
            subway::determineController);
}
