// File operations on POSIX descriptors.
#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

int openRegular(int dir, const char* path, int flags, mode_t mode, struct stat* stated) {
  int fd = openat(dir, path, flags | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, mode);
  if (fd < 0) {
    // O_NOFOLLOW fails a link with ELOOP: to the caller it is not a file.
    if (errno == ELOOP) errno = EINVAL;
    return -1;
  }
  struct stat own {};
  struct stat& info = stated != nullptr ? *stated : own;
  // A look that fails keeps its error (a file system that cannot answer
  // now is no sign that the file is something else); only a file that is
  // not a plain one is EINVAL.
  const bool looked = fstat(fd, &info) == 0;
  if (!looked || !isPlainFile(info)) {
    const int error = looked ? EINVAL : errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool takeStandardStreams() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest number free is this one: those below it are taken.
    int null = open("/dev/null", O_RDONLY);
    if (null != fd) {
      if (null >= 0) close(null);
      return false;
    }
  }
  return true;
}

bool lostByItsFileSystem(int error) {
  return error == ENOTCONN || error == EBADFD || error == ESTALE;
}

bool unreachable(int error) {
  return lostByItsFileSystem(error) || error == EIO;
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

// Sets (F_WRLCK) or clears (F_UNLCK) the lock of one byte, without waiting.
static int lockByte(int fd, int64_t offset, short type) {
  struct flock byte {};
  byte.l_type = type;
  byte.l_whence = SEEK_SET;
  byte.l_start = static_cast<off_t>(offset);
  byte.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &byte);
}

bool lockWithin(int fd, int64_t offset, int waitMs) {
  // Asked again and again until the deadline, never waited for in a
  // blocking request: a network file system's client may answer an
  // interrupted request at once yet leave it queued on its servers, to be
  // granted later to a descriptor that no longer wants it, a lock no code
  // knows of that would shut the card to everyone. Each try is answered
  // and over; the pause between tries grows from 1 to 8 ms.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (int pauseMs = 1;; pauseMs = std::min(2 * pauseMs, 8)) {
    if (lockByte(fd, offset, F_WRLCK) == 0) return true;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
    Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(std::chrono::milliseconds(pauseMs), deadline - now));
  }
}

void unlock(int fd, int64_t offset) {
  lockByte(fd, offset, F_UNLCK);
}

bool fenceByLock(int fd) {
  return lockByte(fd, kFencedByte, F_RDLCK) == 0;
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

bool moveWithoutReplacing(int dir, const std::string& path, const std::string& aside) {
  if (renameat2(dir, path.c_str(), dir, aside.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (linkat(dir, path.c_str(), dir, aside.c_str(), 0) == 0) {
    return unlinkat(dir, path.c_str(), 0) == 0;
  }
  if (errno == EEXIST) return false;
  struct stat there {};
  if (fstatat(dir, aside.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return renameat(dir, path.c_str(), dir, aside.c_str()) == 0;
}
