// File operations on POSIX descriptors.
#include "core/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

int openRegular(const char* path, int flags, mode_t mode) {
  int fd = open(path, flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

int64_t sizeOf(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

bool readAt(int fd, char* buffer, size_t length, int64_t offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string bytesAt(int fd, int64_t offset, size_t length) {
  std::string bytes(length, '\0');
  if (!readAt(fd, bytes.data(), length, offset)) return std::string();
  return bytes;
}

bool appendWhole(int fd, const std::string& bytes) {
  int64_t start = sizeOf(fd);
  if (start < 0) return false;
  ssize_t written = write(fd, bytes.data(), bytes.size());
  if (written == static_cast<ssize_t>(bytes.size())) return true;
  if (written > 0 && ftruncate(fd, static_cast<off_t>(start)) != 0) return false;
  return false;
}

bool flushBoth(int first, int second) {
  // Starting the second file's write-back before waiting on the first lets
  // the disk take both at once.
  sync_file_range(first, 0, 0, SYNC_FILE_RANGE_WRITE);
  sync_file_range(second, 0, 0, SYNC_FILE_RANGE_WRITE);
  bool firstFlushed = fsync(first) == 0;
  bool secondFlushed = fsync(second) == 0;
  return firstFlushed && secondFlushed;
}

bool lockWithin(int fd, int waitMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

bool syncDirectoryOf(const char* path) {
  std::string directory(path);
  size_t slash = directory.rfind('/');
  directory = slash == std::string::npos ? "." : directory.substr(0, slash);
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

bool stillNamed(int fd, const char* path) {
  struct stat open {
  }, named{};
  return fstat(fd, &open) == 0 && stat(path, &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}
