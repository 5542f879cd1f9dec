// The JAM base and other programs' write locks on byte 0 of the .jhr: a
// forked child plays the other program with a classic fcntl lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "indexed/jam_base.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

// Tries a classic write lock on byte 0 of `path`: 0 when it was granted,
// 1 when another holder refused it, 2 when the file could not be opened.
int TryWriteLock(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) return 2;
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  int result = fcntl(fd, F_SETLK, &lock) == 0 ? 0 : 1;
  close(fd);
  return result;
}

// The result of TryWriteLock in another process.
int TryWriteLockElsewhere(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) _exit(TryWriteLock(path));
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another process holding its write lock on byte 0 until destroyed.
class LockingChild {
 public:
  explicit LockingChild(const std::string& path) {
    int ready[2], done[2];
    if (pipe(ready) != 0 || pipe(done) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(done[1]);
      int fd = open(path.c_str(), O_RDWR);
      struct flock lock = {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = 0;
      lock.l_len = 1;
      char state = (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0) ? 'L' : 'E';
      if (write(ready[1], &state, 1) != 1) _exit(1);
      char wait_for_parent;
      (void)!read(done[0], &wait_for_parent, 1);
      _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    done_ = done[1];
    char state = 0;
    locked_ = read(ready[0], &state, 1) == 1 && state == 'L';
    close(ready[0]);
  }
  ~LockingChild() {
    if (pid_ <= 0) return;
    close(done_);
    waitpid(pid_, nullptr, 0);
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  int done_ = -1;
  bool locked_ = false;
};

class JamLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    JamBase base;
    ASSERT_TRUE(base.Create(platform::kDenyWrite, area_));
    MessageRecord r;
    r.to_name = "All";
    ASSERT_TRUE(base.WriteMessage(1, r));
  }
  std::string Header() const { return dir_ / "area.jhr"; }

  TempDir dir_;
  std::string area_ = dir_ / "area";
};

TEST_F(JamLockTest, AnotherProgramWritingKeepsUsOut) {
  const std::string before = ReadFileBytes(Header());
  {
    LockingChild tosser(Header());
    ASSERT_TRUE(tosser.locked());
    JamBase base;
    EXPECT_FALSE(base.Open(platform::kDenyWrite, area_));
    EXPECT_EQ(base.error_state(), kBaseBad);
    // Nor may a create truncate the base under it.
    EXPECT_FALSE(base.Create(platform::kDenyWrite, area_));
    EXPECT_EQ(ReadFileBytes(Header()), before);
  }
  JamBase base;
  EXPECT_TRUE(base.Open(platform::kDenyWrite, area_));
  EXPECT_EQ(base.count(), 1);
}

TEST_F(JamLockTest, OurOpenBaseKeepsOthersFromWriting) {
  EXPECT_EQ(TryWriteLockElsewhere(Header()), 0);
  for (uint32_t sharing : {platform::kDenyWrite, platform::kDenyAll}) {
    JamBase base;
    ASSERT_TRUE(base.Open(sharing, area_));
    EXPECT_EQ(TryWriteLockElsewhere(Header()), 1) << sharing;
  }
  {
    JamBase created;
    ASSERT_TRUE(created.Create(platform::kDenyWrite, area_));
    EXPECT_EQ(TryWriteLockElsewhere(Header()), 1);
  }
  // Deny none shares the base with writers: no lock.
  JamBase shared;
  ASSERT_TRUE(shared.Open(platform::kDenyNone, area_));
  EXPECT_EQ(TryWriteLockElsewhere(Header()), 0);
}

}  // namespace
}  // namespace quil
