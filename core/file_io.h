// The few file operations the readers build their transactions from: each
// opens nothing it could hang on, reads and writes whole runs of bytes, and
// waits for a lock only so long.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Opens `path` with `flags` (O_CLOEXEC and O_NONBLOCK are added, so that a
// FIFO cannot stall the reader) and keeps it only if it is a regular file.
// Returns the descriptor, or -1 with errno set (EINVAL: not a regular file).
int openRegular(const char* path, int flags, mode_t mode = 0644);

// The size of the open file, or -1.
int64_t sizeOf(int fd);

// Reads exactly `length` bytes at `offset`. Returns false if it cannot.
bool readAt(int fd, char* buffer, size_t length, int64_t offset);

// Reads the `length` bytes at `offset` into a string; empty when it cannot.
std::string bytesAt(int fd, int64_t offset, size_t length);

// Appends `bytes` through a descriptor opened with O_APPEND, in one write.
// Returns false, with the file as it was, when the write is not whole (a
// full disk, a file-size limit): a part that was written is cut off again.
bool appendWhole(int fd, const std::string& bytes);

// Flushes two files to disk at once: both start writing before either is
// waited for. Returns whether both flushes succeeded.
bool flushBoth(int first, int second);

// Takes the exclusive lock of an open file, waiting at most `waitMs` for a
// holder to let it go; the wait is ended by a timer signal (SIGRTMIN) sent
// to the calling thread. Returns whether the lock is held.
bool lockWithin(int fd, int waitMs);

// Makes the names in the directory holding `path` durable.
bool syncDirectoryOf(const char* path);

// Whether `path` still names the file open as `fd`: not removed, renamed
// or replaced since it was opened.
bool stillNamed(int fd, const char* path);
