// Reading a network directory for the audit: a regular file a buffer at a
// time, handed on line by line without a copy, and the names a directory
// holds. Every path is taken relative to a directory descriptor, so that
// the audit never changes the process's working directory.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The size of the buffer the audit reads every file through.
constexpr size_t kReadBufferBytes = 1 << 20;

// How much of a line longer than the read buffer is kept to be judged and
// shown: no record or log line comes near it.
constexpr size_t kLongLineHead = 4096;

// Why a card or log is not read, in the words `show` uses too.
inline constexpr char kNotRegular[] = "not a regular file";
inline constexpr char kSecondName[] = "a file with a second name, which the readers refuse";

// Opens the regular file at `path`, relative to the directory `dir`
// (AT_FDCWD for the working directory), for reading, as the readers open
// it: without waiting on a FIFO, following a link, or taking a file with a
// second name. Returns the descriptor, or -1 with `why` set to the reason.
[[nodiscard]] int openRegularAt(int dir, const std::string& path, std::string* why);

// The names in the directory `path` under `dir`, sorted, but for those
// beginning with '.'; none, with `problem` set, when it cannot be read.
std::vector<std::string> namesIn(int dir, const std::string& path, std::string* problem);

// Whether `text` ends with `end`.
bool endsWith(const std::string& text, const std::string& end);

// What a file was when an audit read it: enough to tell, on the next
// audit, that it only grew. `boundary` is its last bytes up to `size`.
struct FileMark {
  uint64_t inode = 0;
  int64_t size = 0;
  std::string boundary;
};

// How many bytes before a file's end its mark keeps.
constexpr size_t kBoundaryBytes = 32;

// The mark of the open file `fd` read up to `size`: its inode and the
// bytes just before `size`; a mark of size -1 when they cannot be read.
FileMark markOf(int fd, int64_t size);

// How the open file `fd` differs from `mark` other than by bytes appended
// after it, in words ("it shrank from 120 to 80 bytes"); "" when it only
// grew or stayed the same.
std::string changedSince(int fd, const FileMark& mark);

// Reads the open regular file `fd` from byte `from` on through `buffer`
// (which must not be empty) and calls onLine(text, length, number, ended)
// for each line: its bytes without the line feed, its number (the first
// one `first`), and whether a line feed ended it (only a last line can
// lack one). A line longer than the buffer is handed on once, cut to its
// first kLongLineHead bytes (or the buffer's size, if less). Sets `end` to
// the offset it read to. Returns why the file could not be read, or ""
// when it was read to its end. The descriptor is left open.
template <typename OnLine>
[[nodiscard]] std::string forEachLineFrom(int fd, int64_t from, int64_t first,
                                          std::vector<char>* buffer, int64_t* end, OnLine onLine) {
  std::string error;
  *end = from;
  if (from > 0 && lseek(fd, from, SEEK_SET) != from) return strerror(errno);
  char* data = buffer->data();
  const size_t size = buffer->size();
  std::string longLine;  // the head of a long line, while the rest of it is skipped
  bool skipping = false;
  size_t kept = 0;  // bytes of a line begun, at the buffer's start
  int64_t number = first - 1;
  for (;;) {
    ssize_t n = read(fd, data + kept, size - kept);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = strerror(errno);
      break;
    }
    *end += n;
    size_t filled = kept + static_cast<size_t>(n), start = 0;
    if (skipping) {
      const char* end = static_cast<const char*>(memchr(data, '\n', filled));
      if (end == nullptr && n > 0) continue;  // kept is 0: the buffer is read over
      onLine(longLine.data(), longLine.size(), ++number, end != nullptr);
      if (end == nullptr) break;
      skipping = false;
      start = static_cast<size_t>(end - data) + 1;
    }
    for (const char* end;
         (end = static_cast<const char*>(memchr(data + start, '\n', filled - start))) != nullptr;) {
      size_t length = static_cast<size_t>(end - data) - start;
      onLine(data + start, length, ++number, true);
      start += length + 1;
    }
    kept = filled - start;
    if (n == 0) {
      if (kept > 0) onLine(data + start, kept, ++number, false);
      break;
    }
    if (start == 0 && kept == size) {
      longLine.assign(data, std::min(kLongLineHead, size));
      skipping = true;
      kept = 0;
      continue;
    }
    memmove(data, data + start, kept);
  }
  return error;
}

// Reads the regular file at `path` under `dir` through `buffer` (which must
// not be empty) and calls onLine(text, length, number, ended) for each line,
// from line 1, as forEachLineFrom does. Returns why the file could not be
// read, or "" when it was read to its end.
template <typename OnLine>
[[nodiscard]] std::string forEachLine(int dir, const std::string& path, std::vector<char>* buffer,
                                      OnLine onLine) {
  std::string error;
  int fd = openRegularAt(dir, path, &error);
  if (fd < 0) return error;
  int64_t end = 0;
  error = forEachLineFrom(fd, 0, 1, buffer, &end, onLine);
  close(fd);
  return error;
}
