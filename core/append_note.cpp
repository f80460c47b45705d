// The notes beside files being appended, and finishing what they describe.
#include "core/append_note.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

static std::string notePath(const char* path) {
  return std::string(path) + ".pending";
}

static int64_t sizeOf(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

// Reads a note: "<start> <length>\n" and the bytes to append. Returns
// false for no note, or one its writer did not live to finish.
static bool readNote(const std::string& path, int64_t* start, std::string* bytes) {
  FILE* note = fopen(path.c_str(), "rb");
  if (note == nullptr) return false;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, note)) > 0;) text.append(buffer, n);
  fclose(note);
  // The bytes may begin with a CR LF: the header ends at the first LF.
  size_t lineEnd = text.find('\n');
  int64_t length = -1;
  if (lineEnd == std::string::npos ||
      sscanf(text.c_str(), "%" SCNd64 " %" SCNd64, start, &length) != 2) {
    return false;
  }
  if (length < 0 || lineEnd + 1 + static_cast<uint64_t>(length) != text.size()) return false;
  *bytes = text.substr(lineEnd + 1);
  return true;
}

// Finishes the append described by the note at `note` in the locked file
// `fd`: when the file holds a first part of the bytes, appends the rest.
// The note goes once nothing is left to finish.
static void finishFromNote(int fd, const std::string& note) {
  int64_t start = 0;
  std::string bytes;
  if (!readNote(note, &start, &bytes)) {
    unlink(note.c_str());
    return;
  }
  int64_t size = sizeOf(fd);
  int64_t end = start + static_cast<int64_t>(bytes.size());
  if (size > start && size < end) {
    std::string written(static_cast<size_t>(size - start), '\0');
    bool ours =
        pread(fd, written.data(), written.size(), start) == static_cast<ssize_t>(written.size()) &&
        bytes.compare(0, written.size(), written) == 0;
    std::string rest = bytes.substr(written.size());
    bool finished =
        !ours || (write(fd, rest.data(), rest.size()) == static_cast<ssize_t>(rest.size()) &&
                  fsync(fd) == 0);
    // Keep the note while the rest cannot be written: the next try finishes it.
    if (!finished) return;
  }
  unlink(note.c_str());
}

int openLockedForAppend(const char* path, bool create) {
  // Read access too: finishing a record first reads the part already written.
  int fd = open(path, O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX) != 0) {
    close(fd);
    return -1;
  }
  finishFromNote(fd, notePath(path));
  return fd;
}

bool appendWithNote(int fd, const char* path, const std::string& bytes) {
  int64_t start = sizeOf(fd);
  std::string note = notePath(path);
  FILE* file = fopen(note.c_str(), "wb");
  bool noted = file != nullptr && fprintf(file, "%" PRId64 " %zu\n", start, bytes.size()) > 0 &&
               fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (file != nullptr && fclose(file) != 0) noted = false;
  if (!noted || start < 0) {
    unlink(note.c_str());
    return false;
  }
  ssize_t written = write(fd, bytes.data(), bytes.size());
  if (written == static_cast<ssize_t>(bytes.size())) return true;
  // Take back a part the disk had room for, so the file stays whole.
  if (written > 0 && ftruncate(fd, start) != 0) return false;
  unlink(note.c_str());
  return false;
}

bool settleAppend(int fd, const char* path) {
  bool synced = fsync(fd) == 0;
  unlink(notePath(path).c_str());
  return synced;
}

void finishInterruptedAppend(const char* path) {
  std::string note = notePath(path);
  if (access(note.c_str(), F_OK) != 0) return;
  int fd = openLockedForAppend(path, false);
  if (fd >= 0) close(fd);
}
