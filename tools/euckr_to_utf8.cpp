// Passes a reader's console output to a UTF-8 terminal as it comes: each
// chunk read is converted from EUC-KR and written at once, so prompts show
// without waiting for more output. A character split between two reads is
// kept until its second byte arrives; a byte that cannot start or finish
// an EUC-KR character, and a character cut off by the end of the output,
// are shown as U+FFFD. Used by the demo network between each reader and
// its pane.
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

constexpr char kReplacement[] = "\xef\xbf\xbd";

// Writes all of `length` bytes.
static bool writeAll(const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t n = write(1, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

int main() {
  iconv_t converter = iconv_open("UTF-8", "EUC-KR");
  if (converter == reinterpret_cast<iconv_t>(-1)) return 1;
  char in[4096 + 2];
  size_t pending = 0;  // bytes of an unfinished character kept from the last read
  for (;;) {
    ssize_t n = read(0, in + pending, sizeof in - pending);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char* from = in;
    size_t left = pending + static_cast<size_t>(n);
    char out[sizeof in * 3];
    while (left > 0) {
      char* to = out;
      size_t room = sizeof out;
      size_t done = iconv(converter, &from, &left, &to, &room);
      int problem = errno;
      if (!writeAll(out, sizeof out - room)) return 1;
      if (done != static_cast<size_t>(-1) || problem == EINVAL) break;
      // Not EUC-KR: show the replacement character and go on after it.
      if (!writeAll(kReplacement, 3)) return 1;
      from++;
      left--;
    }
    pending = left;
    memmove(in, from, pending);
  }
  if (pending > 0 && !writeAll(kReplacement, 3)) return 1;
  iconv_close(converter);
  return 0;
}
