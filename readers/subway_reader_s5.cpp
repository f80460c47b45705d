// Subway station S5 of the ring, Doveholm.
#include "core/reader.h"
#include "subway/dispatch.h"

int main() {
  runReader({"S5", "Subway Reader (Doveholm)", "Reader_txt/Subway5.txt"},
            subway::determineController);
}
