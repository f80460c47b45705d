// Subway station S3 of the ring, Quillbay.
#include "core/reader.h"
#include "subway/dispatch.h"

int main() {
  runReader({"S3", "Subway Reader (Quillbay)", "Reader_txt/Subway3.txt"},
            subway::determineController);
}
