// File operations on POSIX descriptors.
#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <mutex>

int openRegular(int dir, const char* path, int flags, mode_t mode, struct stat* stated) {
  int fd = openat(dir, path, flags | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, mode);
  if (fd < 0) {
    // O_NOFOLLOW fails a link with ELOOP: to the caller it is not a file.
    if (errno == ELOOP) errno = EINVAL;
    return -1;
  }
  struct stat own {};
  struct stat& info = stated != nullptr ? *stated : own;
  if (fstat(fd, &info) != 0 || !isPlainFile(info)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

DIR* openDirectory(int dir, const char* path) {
  int fd = openat(dir, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* directory = fd >= 0 ? fdopendir(fd) : nullptr;
  if (directory == nullptr && fd >= 0) close(fd);
  return directory;
}

int64_t sizeOf(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

uint64_t inodeOf(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 ? static_cast<uint64_t>(info.st_ino) : 0;
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

bool appendWhole(int fd, const std::string& bytes, int64_t size) {
  int64_t start = size >= 0 ? size : sizeOf(fd);
  if (start < 0) return false;
  ssize_t written = write(fd, bytes.data(), bytes.size());
  if (written == static_cast<ssize_t>(bytes.size())) return true;
  // What a short write left is taken back; should that fail too, the
  // journal's abandoned intent takes it back later.
  if (written > 0 && ftruncate(fd, static_cast<off_t>(start)) != 0) return false;
  return false;
}

bool writeAt(int fd, const std::string& bytes, int64_t offset) {
  return pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(bytes.size());
}

int openToRewrite(int dir, const std::string& path, uint64_t inode) {
  int fd = openRegular(dir, path.c_str(), O_RDWR);
  if (fd >= 0 && inodeOf(fd) != inode) {
    close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

bool flushBoth(int first, int second) {
  // Starting the second file's write-back before waiting on the first lets
  // the disk take both at once.
  sync_file_range(first, 0, 0, SYNC_FILE_RANGE_WRITE);
  sync_file_range(second, 0, 0, SYNC_FILE_RANGE_WRITE);
  bool firstFlushed = fdatasync(first) == 0;
  bool secondFlushed = fdatasync(second) == 0;
  return firstFlushed && secondFlushed;
}

// Does nothing: the signal that ends a wait for a lock is there only to
// interrupt the wait.
static void endWait(int) {}

// Sets (F_WRLCK) or clears (F_UNLCK) the lock of one byte, waiting when
// `wait`.
static int lockByte(int fd, int64_t offset, short type, bool wait) {
  struct flock byte {};
  byte.l_type = type;
  byte.l_whence = SEEK_SET;
  byte.l_start = static_cast<off_t>(offset);
  byte.l_len = 1;
  return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &byte);
}

bool lockWithin(int fd, int64_t offset, int waitMs) {
  if (lockByte(fd, offset, F_WRLCK, false) == 0) return true;
  if ((errno != EAGAIN && errno != EACCES) || waitMs <= 0) return false;
  // Wait in the kernel (or the file system's lock server), in line with
  // every other waiter, until a timer sent to this thread alone interrupts
  // the wait. The timer goes on ringing every 20 ms after the wait is
  // over, so that a ring that comes between two tries cannot leave the
  // next try waiting for ever.
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = endWait;  // without SA_RESTART, so the wait ends
    sigemptyset(&action.sa_mask);
    sigaction(SIGRTMIN, &action, nullptr);
  });
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = SIGRTMIN;
  event._sigev_un._tid = gettid();
  timer_t timer;
  if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return false;
  itimerspec when{};
  when.it_value.tv_sec = waitMs / 1000;
  when.it_value.tv_nsec = (waitMs % 1000) * 1000000L;
  when.it_interval.tv_nsec = 20 * 1000000L;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  timer_settime(timer, 0, &when, nullptr);
  int locked;
  do {
    locked = lockByte(fd, offset, F_WRLCK, true);
  } while (locked != 0 && errno == EINTR && std::chrono::steady_clock::now() < deadline);
  timer_delete(timer);
  return locked == 0;
}

void unlock(int fd, int64_t offset) {
  lockByte(fd, offset, F_UNLCK, false);
}

bool syncDirectoryOf(int dir, const char* path) {
  std::string directory(path);
  size_t slash = directory.rfind('/');
  directory = slash == std::string::npos ? "." : directory.substr(0, slash);
  int fd = openat(dir, directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}
