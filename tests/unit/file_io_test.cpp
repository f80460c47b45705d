// Waiting for the lock of a byte: in line with the other waiters, for a
// bounded time, and leaving no signal behind to interrupt what the reader
// does next; another byte of the same file is not held up.
#include "core/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Takes the lock of byte `offset` through `fd`, as another reader would.
void holdByte(int fd, int64_t offset) {
  struct flock byte {};
  byte.l_type = F_WRLCK;
  byte.l_whence = SEEK_SET;
  byte.l_start = offset;
  byte.l_len = 1;
  ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &byte), 0);
}

}  // namespace

TEST(LockWithin, GivesUpAfterTheWaitAndLeavesNothingPending) {
  ScratchDir dir;
  std::string path = dir / "card";
  writeFile(path, "x");
  int holder = open(path.c_str(), O_RDWR), waiter = open(path.c_str(), O_RDWR);
  holdByte(holder, 1LL << 40);
  EXPECT_TRUE(lockWithin(waiter, 7, 200));
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(lockWithin(waiter, 1LL << 40, 200));
  EXPECT_GE(secondsSince(start), 0.2);
  EXPECT_LT(secondsSince(start), 2.0);
  // A blocking read afterwards is not cut short by a late timer signal.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(write(pipeFds[1], "1", 1), 1);
  });
  char c = 0;
  EXPECT_EQ(read(pipeFds[0], &c, 1), 1);
  writer.join();
  close(holder);
  close(waiter);
  close(pipeFds[0]);
  close(pipeFds[1]);
}

TEST(LockWithin, TakesTheLockOnceItsHolderLetsGo) {
  ScratchDir dir;
  std::string path = dir / "card";
  writeFile(path, "x");
  int holder = open(path.c_str(), O_RDWR), waiter = open(path.c_str(), O_RDWR);
  holdByte(holder, 5);
  std::thread letGo([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(holder);
  });
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(lockWithin(waiter, 5, 5000));
  EXPECT_LT(secondsSince(start), 2.0);
  letGo.join();
  close(waiter);
}
