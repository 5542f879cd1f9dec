// Tests of the Squish base's lock on byte 0 of the .sqd against another
// process that uses classic fcntl record locks, as FidoNet tossers do.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "indexed/squish_base.h"
#include "indexed/squish_test_util.h"

namespace quil::squish::testing {
namespace {

// Runs `child` in a forked process and returns its exit status.
template <typename Child>
int InChild(Child child) {
  pid_t pid = fork();
  if (pid == 0) _exit(child());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A classic fcntl lock on byte 0 of `path`: 0 when taken, 1 when refused.
int TryClassicLock(const std::string& path, short type) {
  int fd = open(path.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
  if (fd < 0) return 2;
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  int result = fcntl(fd, F_SETLK, &lock) == 0 ? 0 : 1;
  close(fd);
  return result;
}

using SquishLockTest = SquishFixture;

TEST_F(SquishLockTest, OpenBaseKeepsTossersOut) {
  CreateWith(1).reset();
  const std::string sqd_path = base_path() + ".sqd";
  {
    auto base = Open();  // deny write: a shared lock
    ASSERT_TRUE(base);
    EXPECT_EQ(InChild([&] { return TryClassicLock(sqd_path, F_WRLCK); }), 1);
    EXPECT_EQ(InChild([&] { return TryClassicLock(sqd_path, F_RDLCK); }), 0);
  }
  EXPECT_EQ(InChild([&] { return TryClassicLock(sqd_path, F_WRLCK); }), 0);
  {
    SquishBase base;
    ASSERT_TRUE(base.Open(platform::kDenyAll, base_path()));
    EXPECT_EQ(InChild([&] { return TryClassicLock(sqd_path, F_RDLCK); }), 1);
  }
  {
    SquishBase base;  // deny none takes no lock
    ASSERT_TRUE(base.Open(platform::kDenyNone, base_path()));
    EXPECT_EQ(InChild([&] { return TryClassicLock(sqd_path, F_WRLCK); }), 0);
  }
}

TEST_F(SquishLockTest, WriteLockedBaseDoesNotOpen) {
  CreateWith(1).reset();
  const std::string sqd_path = base_path() + ".sqd";
  const std::string before = sqd();
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t pid = fork();
  if (pid == 0) {
    // The tosser: holds its write lock until told to let go.
    int fd = open(sqd_path.c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    char byte = fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    if (read(release[0], &byte, 1) < 0) _exit(3);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');

  SquishBase base;
  EXPECT_FALSE(base.Open(platform::kDenyWrite, base_path()));
  EXPECT_EQ(base.error_state(), kBaseBad);
  SquishBase fresh;
  EXPECT_FALSE(fresh.Create(platform::kDenyWrite, base_path()));
  EXPECT_EQ(sqd(), before);  // not truncated under the tosser

  byte = 'x';
  ASSERT_EQ(write(release[1], &byte, 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  EXPECT_TRUE(base.Open(platform::kDenyWrite, base_path()));
  EXPECT_EQ(base.count(), 1);
}

}  // namespace
}  // namespace quil::squish::testing
