// Waiting for a lock: in line with the other waiters, for a bounded time,
// and leaving no signal behind to interrupt what the reader does next.
#include "core/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(LockWithin, GivesUpAfterTheWaitAndLeavesNothingPending) {
  ScratchDir dir;
  std::string path = dir / "card";
  writeFile(path, "x");
  int holder = open(path.c_str(), O_RDWR), waiter = open(path.c_str(), O_RDWR);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(lockWithin(waiter, 200));
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
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  std::thread letGo([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(holder);
  });
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(lockWithin(waiter, 5000));
  EXPECT_LT(secondsSince(start), 2.0);
  letGo.join();
  close(waiter);
}
