// A library the explorer preloads into the programs it starts: it counts
// their file system calls on the network's files, records every write and
// flush of a regular file to a shared event file (for the explorer's model
// of the page cache), and injects the one fault it is given at the Nth call.
//
// EXPLORE_EVENTS  the event file (appended to, one line per event):
//                   W <dev> <ino> <offset> <length>   a write
//                   F <dev> <ino>                     a flush that succeeded
//                   X <dev> <ino>                     a flush that failed
//                   ! <pid> <fault>                   the fault was injected
// EXPLORE_SNAPSHOTS  a directory: after each flush that succeeded, the
//                 file's bytes are copied to <dir>/<dev>.<ino>, what its disk
//                 holds of it from then on
// EXPLORE_FAULT   "<kind> <n> [<ms>]", the kind one of:
//                   kill     SIGKILL at the nth call of any kind counted
//                   stall    sleep <ms> real milliseconds at the nth call
//                   enospc   the nth write fails with ENOSPC
//                   eio      the nth flush or truncate fails with EIO
//                   flaky    the nth flush fails with EIO; later ones succeed
//                   die      from the nth write, flush or truncate on, all fail
//                            with EIO: the disk is gone for this process
//                   readeio  the nth read of a network file fails with EIO
//                            (reads are counted apart from every other call)
//                   readdie  from the nth read on, every read fails with EIO
// EXPLORE_FILE_LIMIT  a file-size limit on the network's files, as
//                 RLIMIT_FSIZE would set it (a write is cut at the limit, one
//                 past it fails with EFBIG and raises SIGXFSZ). It is kept
//                 here rather than by the kernel, whose limit would also cut
//                 this library's own event file and snapshots.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

enum class Call { kOpen, kWrite, kFlush, kTruncate, kName, kRead };

char faultKind[16];
long faultAt = 0;  // 0: no fault
long stallMs = 0;
long counts[6];  // calls counted so far, by Call
long allCalls = 0;
bool dead = false;  // "die" has struck
int eventsFd = -2;  // -2: not opened yet

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long long fileLimit = -1;  // -1: none

void readFault() {
  static bool read = false;
  if (read) return;
  read = true;
  const char* fault = getenv("EXPLORE_FAULT");
  if (fault != nullptr) sscanf(fault, "%15s %ld %ld", faultKind, &faultAt, &stallMs);
  const char* limit = getenv("EXPLORE_FILE_LIMIT");
  if (limit != nullptr) fileLimit = atoll(limit);
}

// How much of a write of `size` bytes at `start` the file-size limit lets
// through: all, a first part, or nothing (-1, errno EFBIG, SIGXFSZ raised).
ssize_t withinLimit(off_t start, size_t size) {
  readFault();
  if (fileLimit < 0 || start + static_cast<long long>(size) <= fileLimit) {
    return static_cast<ssize_t>(size);
  }
  if (start >= fileLimit) {
    raise(SIGXFSZ);
    errno = EFBIG;
    return -1;
  }
  return static_cast<ssize_t>(fileLimit - start);
}

// Appends one event line with a single write, so that processes never
// interleave within a line.
void event(const char* format, ...) {
  if (eventsFd == -2) {
    const char* path = getenv("EXPLORE_EVENTS");
    eventsFd = path == nullptr
                   ? -1
                   : static_cast<int>(syscall(SYS_open, path, O_WRONLY | O_APPEND | O_CLOEXEC));
  }
  if (eventsFd < 0) return;
  char line[128];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) syscall(SYS_write, eventsFd, line, static_cast<size_t>(n));
}

// Whether `fd` is a regular file of the network: not the console or the
// error stream, not the event file.
bool networkFile(int fd, struct stat* st) {
  return fd > 2 && fd != eventsFd && fstat(fd, st) == 0 && S_ISREG(st->st_mode);
}

bool networkPath(const char* path) {
  return path != nullptr &&
         (strstr(path, "Card") != nullptr || strstr(path, "Reader_txt") != nullptr);
}

// Counts a call and says whether it must fail (errno set); kills or
// stalls the process when that is the fault.
bool injected(Call call) {
  readFault();
  long nth = ++counts[static_cast<int>(call)];
  if (call == Call::kRead) {
    bool once = strcmp(faultKind, "readeio") == 0 && nth == faultAt;
    bool dies = strcmp(faultKind, "readdie") == 0 && nth >= faultAt;
    if (faultAt == 0 || (!once && !dies)) return false;
    if (nth == faultAt) event("! %d %s\n", getpid(), faultKind);
    errno = EIO;
    return true;
  }
  long any = ++allCalls;
  if (faultAt == 0) return false;
  bool io = call == Call::kWrite || call == Call::kFlush || call == Call::kTruncate;
  if (dead && io) {
    errno = EIO;
    return true;
  }
  auto fire = [](const char* what) { event("! %d %s\n", getpid(), what); };
  if (strcmp(faultKind, "kill") == 0 && any == faultAt) {
    fire("kill");
    raise(SIGKILL);
  }
  if (strcmp(faultKind, "stall") == 0 && any == faultAt) {
    fire("stall");
    timespec pause = {stallMs / 1000, (stallMs % 1000) * 1000000};
    syscall(SYS_nanosleep, &pause, nullptr);  // the real time, whatever clock is faked
  }
  if (strcmp(faultKind, "enospc") == 0 && call == Call::kWrite && nth == faultAt) {
    fire("enospc");
    errno = ENOSPC;
    return true;
  }
  bool flushOrCut = call == Call::kFlush || call == Call::kTruncate;
  if (strcmp(faultKind, "eio") == 0 && flushOrCut &&
      counts[static_cast<int>(Call::kFlush)] + counts[static_cast<int>(Call::kTruncate)] ==
          faultAt) {
    fire("eio");
    errno = EIO;
    return true;
  }
  if (strcmp(faultKind, "flaky") == 0 && call == Call::kFlush && nth == faultAt) {
    fire("flaky");
    errno = EIO;
    return true;
  }
  long ios = counts[1] + counts[2] + counts[3];
  if (strcmp(faultKind, "die") == 0 && io && ios == faultAt) {
    fire("die");
    dead = true;
    errno = EIO;
    return true;
  }
  return false;
}

// A write of `n` bytes at `offset` to a network file, recorded.
void recordWrite(const struct stat& st, off_t offset, ssize_t n) {
  if (n > 0) {
    event("W %lu %lu %lld %zd\n", static_cast<unsigned long>(st.st_dev),
          static_cast<unsigned long>(st.st_ino), static_cast<long long>(offset), n);
  }
}

// Copies the file open at `fd`, just flushed, to its snapshot.
void snapshot(int fd, const struct stat& st) {
  const char* dir = getenv("EXPLORE_SNAPSHOTS");
  if (dir == nullptr || st.st_size > (1 << 20)) return;
  char path[4096], temporary[4200];
  snprintf(path, sizeof path, "%s/%lu.%lu", dir, static_cast<unsigned long>(st.st_dev),
           static_cast<unsigned long>(st.st_ino));
  snprintf(temporary, sizeof temporary, "%s.%d", path, getpid());
  int out = static_cast<int>(
      syscall(SYS_open, temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out < 0) return;
  char buffer[65536];
  ssize_t n;
  for (off_t at = 0;
       (n = static_cast<ssize_t>(syscall(SYS_pread64, fd, buffer, sizeof buffer, at))) > 0;
       at += n) {
    if (syscall(SYS_write, out, buffer, static_cast<size_t>(n)) != n) break;
  }
  syscall(SYS_close, out);
  syscall(SYS_rename, temporary, path);
}

int flush(const char* name, int fd) {
  struct stat st;
  if (!networkFile(fd, &st)) return real<int (*)(int)>(name)(fd);
  bool fails = injected(Call::kFlush);
  int result = fails ? -1 : real<int (*)(int)>(name)(fd);
  int saved = errno;
  struct stat now;
  if (result == 0 && fstat(fd, &now) == 0) snapshot(fd, now);
  // A flush that failed leaves its pages marked clean but not on disk.
  event("%c %lu %lu\n", result == 0 ? 'F' : 'X', static_cast<unsigned long>(st.st_dev),
        static_cast<unsigned long>(st.st_ino));
  errno = saved;
  return result;
}

int opened(const char* name, int dirfd, const char* path, int flags, mode_t mode, bool at) {
  if (networkPath(path) && injected(Call::kOpen)) return -1;
  if (at) return real<int (*)(int, const char*, int, mode_t)>(name)(dirfd, path, flags, mode);
  return real<int (*)(const char*, int, mode_t)>(name)(path, flags, mode);
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buffer, size_t size) {
  struct stat st;
  if (!networkFile(fd, &st))
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, size);
  if (injected(Call::kWrite)) return -1;
  off_t start = (fcntl(fd, F_GETFL) & O_APPEND) != 0 ? st.st_size : lseek(fd, 0, SEEK_CUR);
  ssize_t allowed = withinLimit(start, size);
  if (allowed < 0) return -1;
  ssize_t n = real<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer,
                                                                   static_cast<size_t>(allowed));
  int saved = errno;
  // After a write the offset is where it ended, appending or not.
  if (n > 0) recordWrite(st, lseek(fd, 0, SEEK_CUR) - n, n);
  errno = saved;
  return n;
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  struct stat st;
  auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (!networkFile(fd, &st)) return next(fd, buffer, size, offset);
  if (injected(Call::kWrite)) return -1;
  ssize_t allowed = withinLimit(offset, size);
  if (allowed < 0) return -1;
  ssize_t n = next(fd, buffer, static_cast<size_t>(allowed), offset);
  int saved = errno;
  recordWrite(st, offset, n);
  errno = saved;
  return n;
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off_t offset) {
  return pwrite(fd, buffer, size, offset);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  struct stat st;
  auto next = real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  if (!networkFile(fd, &st)) return next(fd, buffer, size, offset);
  if (injected(Call::kRead)) return -1;
  return next(fd, buffer, size, offset);
}

ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
  return pread(fd, buffer, size, offset);
}

int fsync(int fd) {
  return flush("fsync", fd);
}
int fdatasync(int fd) {
  return flush("fdatasync", fd);
}

int ftruncate(int fd, off_t length) {
  struct stat st;
  if (networkFile(fd, &st) && injected(Call::kTruncate)) return -1;
  return real<int (*)(int, off_t)>("ftruncate")(fd, length);
}
int ftruncate64(int fd, off_t length) {
  return ftruncate(fd, length);
}

// The mode, which open and openat take after `flags` only when creating.
#define EXPLORE_MODE(flags)                                                      \
  va_list args;                                                                  \
  va_start(args, flags);                                                         \
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0; \
  va_end(args)

int open(const char* path, int flags, ...) {
  EXPLORE_MODE(flags);
  return opened("open", AT_FDCWD, path, flags, mode, false);
}
int open64(const char* path, int flags, ...) {
  EXPLORE_MODE(flags);
  return opened("open64", AT_FDCWD, path, flags, mode, false);
}
int openat(int dirfd, const char* path, int flags, ...) {
  EXPLORE_MODE(flags);
  return opened("openat", dirfd, path, flags, mode, true);
}
int openat64(int dirfd, const char* path, int flags, ...) {
  EXPLORE_MODE(flags);
  return opened("openat64", dirfd, path, flags, mode, true);
}

int rename(const char* from, const char* to) {
  if (networkPath(from) && injected(Call::kName)) return -1;
  return real<int (*)(const char*, const char*)>("rename")(from, to);
}
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (networkPath(from) && injected(Call::kName)) return -1;
  return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(fromDir, from,
                                                                                  toDir, to, flags);
}
int unlink(const char* path) {
  if (networkPath(path) && injected(Call::kName)) return -1;
  return real<int (*)(const char*)>("unlink")(path);
}
}
