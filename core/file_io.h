// The few file operations the readers build their transactions from: each
// opens nothing it could hang on or be led astray by (no FIFO, no link, no
// file with a second name), reads and writes whole runs of bytes, and
// waits for a lock only so long.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Whether `info` tells of a plain file: a regular file with one name
// (no FIFO, directory or link, and no second name another path could
// change it by).
inline bool isPlainFile(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// Every path below is taken from the directory `dir` (a network
// directory's descriptor, or kHere).

// Opens `path` with `flags` (O_CLOEXEC, O_NONBLOCK and O_NOFOLLOW are
// added, so that a FIFO cannot stall the reader and a link cannot lead it
// elsewhere) and keeps it only if it is a regular file with one name.
// Returns the descriptor, or -1 with errno set (EINVAL: a FIFO, a
// directory, a link, or a file with another name too). Fills `info`, when
// given, with what fstat said of the file.
[[nodiscard]] int openRegular(int dir, const char* path, int flags, mode_t mode = 0644,
                              struct stat* info = nullptr);

// Whether a call failed because the file system lost the file it was made
// on: a network file system's client that has gone (ENOTCONN), a descriptor
// it did not open again when it reconnected, its locks lost (EBADFD), or a
// file handle its servers no longer know (ESTALE). The file is found again
// by its name, where the name now leads.
bool lostByItsFileSystem(int error);

// Makes sure descriptors 0, 1 and 2 are taken, each one closed given
// /dev/null, opened for reading only: a program started with a standard
// stream closed would otherwise be given that number by its first open,
// and a card, a log or a journal would take the console's text. Writes
// to a stream that was closed still fail, as they did. Returns false when
// /dev/null cannot be opened (nothing may be opened then).
[[nodiscard]] bool takeStandardStreams();

// Whether a call failed because the file could not be reached or read now
// (lostByItsFileSystem, or EIO: a replica with no good copy up, a failing
// disk), which tells nothing of what the file is.
bool unreachable(int error);

// Opens the directory `path` to read its names; nullptr when it cannot.
DIR* openDirectory(int dir, const char* path);

// The size of the open file, or -1.
int64_t sizeOf(int fd);

// The inode number of the open file (the same on every host that shares
// it), or 0.
uint64_t inodeOf(int fd);

// Reads exactly `length` bytes at `offset`. Returns false if it cannot.
[[nodiscard]] bool readAt(int fd, char* buffer, size_t length, int64_t offset);

// Reads the `length` bytes at `offset` into a string; empty when it cannot.
std::string bytesAt(int fd, int64_t offset, size_t length);

// Appends `bytes` through a descriptor opened with O_APPEND, in one write,
// to a file whose size is `size` (-1: unknown, asked of the file). Returns
// false, with the file as it was, when the write is not whole (a full disk,
// a file-size limit): a part that was written is cut off again.
[[nodiscard]] bool appendWhole(int fd, const std::string& bytes, int64_t size = -1);

// Writes `bytes` at `offset` of the open file, in one write: what a failed
// flush may have lost is written again where it belongs, from a copy that
// is not the file's cache. `fd` must be opened without O_APPEND (a network
// file system's client appends through such a descriptor whatever the
// offset). Returns whether the write was whole.
[[nodiscard]] bool writeAt(int fd, const std::string& bytes, int64_t offset);

// Opens the plain file at `path` for writing at offsets (without O_APPEND)
// if it is the file `inode`. Returns the descriptor, or -1.
[[nodiscard]] int openToRewrite(int dir, const std::string& path, uint64_t inode);

// Flushes two files to disk at once: both start writing before either is
// waited for. Returns whether both flushes succeeded.
[[nodiscard]] bool flushBoth(int first, int second);

// Takes the exclusive lock of the byte at `offset` of the open file `fd`
// (an open file description's lock: another descriptor, in this process or
// another, on this host or another that shares the file, is kept out),
// trying again for at most `waitMs` while a holder keeps it. Leaves no
// request for the lock behind when it gives up. Returns whether the lock
// is held.
[[nodiscard]] bool lockWithin(int fd, int64_t offset, int waitMs);

// Lets go of the lock of the byte at `offset`.
void unlock(int fd, int64_t offset);

// Takes a shared lock of a byte far past anything written (kFencedByte)
// through the open file `fd`, without waiting: a network file system's
// client that must not open a file again behind a descriptor that held a
// lock it lost (GlusterFS's strict locks) then fails every later write
// through it, instead of letting a writer that lost its card's lock write
// on. Returns whether it is held; a file another process holds locked
// whole is written without it.
[[nodiscard]] bool fenceByLock(int fd);
constexpr int64_t kFencedByte = int64_t{1} << 41;

// Makes the names in the directory holding `path` durable.
[[nodiscard]] bool syncDirectoryOf(int dir, const char* path);

// Gives what stands at `path` (from `dir`) the name `to`, never replacing
// anything there (errno EEXIST then), and removes the name `path`. A file
// system that cannot rename without replacing (a FUSE file system may not)
// does it by a second name (a link); for what has no second name (a
// directory), by a rename once nothing is there.
[[nodiscard]] bool moveWithoutReplacing(int dir, const std::string& path, const std::string& to);
