// Tests of the platform layer: file I/O and its errors, names in either
// case, masks, sharing modes within one process and across processes (held
// by a forked child), injected and real write faults, and the clocks.
#include "runtime/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace quil::platform;
using quil::testing::ClassicLock;
using quil::testing::FileSizeOf;
using quil::testing::HeldFile;
using quil::testing::PathExists;
using quil::testing::ReadFileBytes;
using quil::testing::TempDir;
using quil::testing::WriteFileBytes;
using Names = std::vector<std::string>;

class PlatformTest : public ::testing::Test {
 protected:
  void TearDown() override { InjectWriteFault(-1, kOk); }

  Handle MustOpen(const std::string& path, uint32_t mode) {
    int error = -1;
    Handle handle = OpenFile(path, mode, &error);
    EXPECT_NE(handle, kNoHandle) << path << " mode " << std::hex << mode << " error " << std::dec << error;
    EXPECT_EQ(error, kOk);
    return handle;
  }

  // kOk when the open succeeds (the file is closed again), else its error.
  int OpenError(const std::string& path, uint32_t mode) {
    int error = kOk;
    Handle handle = OpenFile(path, mode, &error);
    if (handle != kNoHandle) CloseFile(handle);
    return handle != kNoHandle ? kOk : error;
  }

  std::string ReadAll(Handle handle) {
    char buffer[256];
    int error;
    int64_t got = ReadFile(handle, buffer, sizeof buffer, &error);
    return got < 0 ? "<error>" : std::string(buffer, static_cast<size_t>(got));
  }

  // Sorted names matching `mask`, directories marked with a trailing "/".
  Names Find(const std::string& dir, const char* mask = "*") {
    Names names;
    for (const DirEntry& e : FindFiles(dir, mask)) names.push_back(e.name + (e.is_directory ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
};

// ---------------------------------------------------------------------------
// Files

TEST_F(PlatformTest, ReadReturnsShortCountAtEndOfFile) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "f", "0123456789"));
  Handle h = MustOpen(dir_ / "f", kModeRead);
  EXPECT_TRUE(fcntl(h, F_GETFD) & FD_CLOEXEC);
  char buffer[4];
  int error = -1;
  EXPECT_EQ(ReadFile(h, buffer, 4, &error), 4);
  EXPECT_EQ(ReadAll(h), "456789");
  EXPECT_EQ(ReadAll(h), "");
  EXPECT_EQ(CloseFile(h), kOk);
}

TEST_F(PlatformTest, SeekPastEndAndTruncateKeepThePosition) {
  Handle h = MustOpen(dir_ / "f", kModeCreate);
  int error = -1;
  ASSERT_TRUE(WriteFile(h, "abcdefghij", 10, &error));
  ASSERT_TRUE(TruncateFile(h, 4, &error));
  EXPECT_EQ(FileSize(h, &error), 4);
  ASSERT_TRUE(WriteFile(h, "K", 1, &error));  // still at position 10
  ASSERT_TRUE(SeekFile(h, 13, &error));
  ASSERT_TRUE(WriteFile(h, "Z", 1, &error));
  EXPECT_TRUE(SyncFile(h, &error));
  EXPECT_EQ(CloseFile(h), kOk);
  EXPECT_EQ(ReadFileBytes(dir_ / "f"), std::string("abcd\0\0\0\0\0\0K\0\0Z", 14));
}

TEST_F(PlatformTest, WritingAFileOpenedForReadingIsAccessDenied) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "f", "data"));
  Handle h = MustOpen(dir_ / "f", kModeRead);
  int error = kOk;
  EXPECT_FALSE(WriteFile(h, "x", 1, &error));
  EXPECT_EQ(error, kAccessDenied);
  error = kOk;
  EXPECT_FALSE(TruncateFile(h, 0, &error));
  EXPECT_EQ(error, kAccessDenied);
  EXPECT_EQ(CloseFile(h), kOk);
  EXPECT_EQ(CloseFile(h), kBadHandle);
  EXPECT_EQ(ReadFileBytes(dir_ / "f"), "data");
}

TEST_F(PlatformTest, OnlyRegularFilesOpen) {
  ASSERT_EQ(CreateDirectory(dir_ / "sub"), kOk);
  for (uint32_t mode : {kModeRead, kModeReadWrite, kModeCreate}) {
    EXPECT_EQ(OpenError(dir_ / "sub", mode), kAccessDenied);
  }
  EXPECT_TRUE(DirectoryExists(dir_ / "sub"));
  // A FIFO would block an ordinary open until a writer comes along; the
  // alarm ends the test program instead of letting it hang.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  alarm(10);
  EXPECT_EQ(OpenError(dir_ / "fifo", kModeRead), kAccessDenied);
  EXPECT_EQ(OpenError(dir_ / "fifo", kModeReadWrite), kAccessDenied);
  alarm(0);
}

TEST_F(PlatformTest, MissingNamesSayWhichLevelIsMissing) {
  ASSERT_EQ(CreateDirectory(dir_ / "base"), kOk);
  EXPECT_EQ(OpenError(dir_ / "missing", kModeRead), kNotFound);
  EXPECT_EQ(OpenError(dir_ / "BASE/missing", kModeRead), kNotFound);
  EXPECT_EQ(OpenError(dir_ / "nodir/file", kModeRead), kPathNotFound);
  EXPECT_EQ(OpenError(dir_ / "nodir/file", kModeCreate), kPathNotFound);
  EXPECT_EQ(DeleteFile(dir_ / "missing"), kNotFound);
  EXPECT_EQ(CreateDirectory(dir_ / "nodir/sub"), kPathNotFound);
  EXPECT_EQ(RenameFile(dir_ / "missing", dir_ / "other"), kNotFound);
  EXPECT_FALSE(SyncDirectory(dir_ / "nodir"));
  EXPECT_TRUE(SyncDirectory(dir_ / "BASE"));
}

TEST_F(PlatformTest, BadArgumentsFailCleanly) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "f", "data"));
  EXPECT_EQ(OpenError("", kModeCreate), kInvalid);
  // A NUL would cut the name short and reach another file.
  EXPECT_EQ(OpenError(dir_ / std::string("f\0x", 3), kModeCreate), kInvalid);
  EXPECT_EQ(ReadFileBytes(dir_ / "f"), "data");
  for (uint32_t mode : {0x3D41u, 0x1234u, 0x13D40u}) EXPECT_EQ(OpenError(dir_ / "f", mode), kInvalid);

  int error = kOk;
  char byte;
  EXPECT_EQ(ReadFile(kNoHandle, &byte, 1, &error), -1);
  EXPECT_EQ(error, kBadHandle);
  EXPECT_FALSE(WriteFile(kNoHandle, &byte, 1, &error));
  EXPECT_EQ(CloseFile(kNoHandle), kBadHandle);
  Handle h = MustOpen(dir_ / "f", kModeReadWrite);
  EXPECT_FALSE(SeekFile(h, -1, &error));
  EXPECT_EQ(error, kInvalid);
  EXPECT_FALSE(TruncateFile(h, -1, &error));
  EXPECT_EQ(CloseFile(h), kOk);

  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(DirectoryExists(""));
  EXPECT_EQ(DeleteFile(""), kInvalid);
  EXPECT_EQ(CreateDirectory(""), kInvalid);
  EXPECT_EQ(RenameFile(dir_ / "f", ""), kInvalid);
  EXPECT_EQ(ResolveExisting(""), "");
}

TEST_F(PlatformTest, PathsOfOnlySeparatorsOrTooLongFailCleanly) {
  for (const std::string& path : {std::string(255, '\\'), std::string(255, '/')}) {
    for (uint32_t mode : {kModeRead, kModeReadWrite, kModeCreate}) EXPECT_EQ(OpenError(path, mode), kAccessDenied);
    EXPECT_FALSE(FileExists(path));
    EXPECT_NE(DeleteFile(path), kOk);
  }
  std::string long_name = dir_ / std::string(5000, 'a');
  EXPECT_EQ(OpenError(long_name, kModeCreate), kPathNotFound);
  EXPECT_EQ(OpenError(long_name, kModeRead), kPathNotFound);
}

// ---------------------------------------------------------------------------
// Names in either case

TEST_F(PlatformTest, OpensAnExistingNameAskedInOtherCase) {
  ASSERT_EQ(CreateDirectory(dir_ / "Echo"), kOk);
  ASSERT_TRUE(WriteFileBytes(dir_ / "Echo/AREA.SQD", "squish"));
  for (const char* name : {"Echo/area.sqd", "ECHO/Area.Sqd", "echo\\AREA.sqd"}) {
    Handle h = MustOpen(dir_ / name, kModeReadWrite);
    EXPECT_EQ(ReadAll(h), "squish") << name;
    EXPECT_EQ(CloseFile(h), kOk);
    EXPECT_TRUE(FileExists(dir_ / name));
    EXPECT_EQ(ResolveExisting(dir_ / name), dir_ / "Echo/AREA.SQD");
  }
  EXPECT_TRUE(DirectoryExists(dir_ / "ECHO"));
  EXPECT_FALSE(DirectoryExists(dir_ / "echo/area.sqd"));
  EXPECT_EQ(ResolveExisting(dir_ / "echo\\nothing"), dir_ / "echo/nothing");

  // Two variants: only the exact name is found.
  ASSERT_TRUE(WriteFileBytes(dir_ / "Echo/area.sqd", "other"));
  EXPECT_EQ(OpenError(dir_ / "Echo/Area.sqd", kModeRead), kNotFound);
  Handle h = MustOpen(dir_ / "Echo/area.sqd", kModeRead);
  EXPECT_EQ(ReadAll(h), "other");
  EXPECT_EQ(CloseFile(h), kOk);
}

TEST_F(PlatformTest, NewEntriesTakeTheExactNameInAResolvedDirectory) {
  ASSERT_EQ(CreateDirectory(dir_ / "base"), kOk);
  ASSERT_TRUE(WriteFileBytes(dir_ / "base/AREA.SQD", "keep me"));
  EXPECT_EQ(CloseFile(MustOpen(dir_ / "BASE\\New.Msg", kModeCreate)), kOk);
  EXPECT_EQ(CloseFile(MustOpen(dir_ / "Base/Area.sqd", kModeCreate)), kOk);
  EXPECT_EQ(CreateDirectory(dir_ / "BASE"), kOk);  // exists already
  EXPECT_EQ(CreateDirectory(dir_ / "Base/Sub/"), kOk);
  EXPECT_EQ(CreateDirectory(dir_ / "base/AREA.SQD"), kAccessDenied);
  EXPECT_EQ(Find(dir_.path()), Names({"base/"}));
  EXPECT_EQ(Find(dir_ / "base"), Names({"AREA.SQD", "Area.sqd", "New.Msg", "Sub/"}));
  EXPECT_EQ(ReadFileBytes(dir_ / "base/AREA.SQD"), "keep me");

  EXPECT_EQ(DeleteFile(dir_ / "BASE/new.msg"), kOk);
  EXPECT_FALSE(PathExists(dir_ / "base/New.Msg"));
  EXPECT_EQ(DeleteFile(dir_ / "base/sub"), kAccessDenied);
}

TEST_F(PlatformTest, RenameReplacesTheDestinationInWhateverCaseItHas) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "AREA.SQD", "old"));
  ASSERT_TRUE(WriteFileBytes(dir_ / "area.tmp", "new"));
  EXPECT_EQ(RenameFile(dir_ / "AREA.TMP", dir_ / "area.sqd"), kOk);
  EXPECT_EQ(Find(dir_.path()), Names({"AREA.SQD"}));
  EXPECT_EQ(ReadFileBytes(dir_ / "AREA.SQD"), "new");
  // A rename to another case of the same name changes the case.
  EXPECT_EQ(RenameFile(dir_ / "AREA.SQD", dir_ / "Area.Sqd"), kOk);
  EXPECT_EQ(Find(dir_.path()), Names({"Area.Sqd"}));
}

// A directory that has been quiet for a while is listed once and the
// listing reused; every change to it must still be seen.
TEST_F(PlatformTest, CaseLookupSeesChangesToAQuietDirectory) {
  std::string base = dir_ / "base";
  ASSERT_EQ(CreateDirectory(base), kOk);
  ASSERT_TRUE(WriteFileBytes(base + "/AREA.SQD", "x"));
  auto age_directory = [&] {
    timespec hour_ago[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, base.c_str(), hour_ago, 0), 0);
  };
  age_directory();
  EXPECT_TRUE(FileExists(base + "/area.sqd"));  // read for the name
  EXPECT_FALSE(FileExists(base + "/new.msg"));  // a second miss lists it
  EXPECT_TRUE(FileExists(base + "/Area.Sqd"));  // found through the listing
  ASSERT_TRUE(WriteFileBytes(base + "/NEW.MSG", "y"));
  EXPECT_TRUE(FileExists(base + "/new.msg"));
  age_directory();
  EXPECT_TRUE(FileExists(base + "/new.msg"));
  ASSERT_EQ(DeleteFile(base + "/new.msg"), kOk);
  ASSERT_TRUE(WriteFileBytes(base + "/New.msg", "z"));
  EXPECT_EQ(ResolveExisting(base + "/NEW.msg"), base + "/New.msg");
  ASSERT_TRUE(WriteFileBytes(base + "/new.MSG", "z"));
  EXPECT_FALSE(FileExists(base + "/NEW.msg"));  // two variants now
}

// ---------------------------------------------------------------------------
// Masks and directory search

TEST(MaskTest, MatchesLikeDosMasksWithoutRegardToCase) {
  struct Case {
    const char* mask;
    const char* name;
    bool matches;
  } const cases[] = {
      {"*.msg", "5.MSG", true},    {"*.msg", "5.msgx", false},   {"*.msg", "msg", false},
      {"*.*", "README", true},     {"*.*", "a.b.c", true},       {"*", "any.name", true},
      {"?.msg", "12.msg", false},  {"1?.MSG", "12.msg", true},   {"README.*", "readme", true},
      {"README.*", "READMEX", false}, {"*a*b", "xaybab", true},  {"*a*b", "xayba", false},
      {"*.sq?", "Area.SQD", true}, {"*.sq?", "Area.sq", false},  {"", "x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MaskMatches(c.mask, c.name), c.matches) << c.mask << " vs " << c.name;
}

TEST_F(PlatformTest, FindFilesListsMatchingEntriesOnly) {
  for (const char* name : {"1.msg", "5.MSG", "5.msgx", "README"}) ASSERT_TRUE(WriteFileBytes(dir_ / name, "x"));
  ASSERT_EQ(CreateDirectory(dir_ / "Old.Msg"), kOk);
  EXPECT_EQ(Find(dir_.path(), "*.msg"), Names({"1.msg", "5.MSG", "Old.Msg/"}));
  EXPECT_EQ(Find(dir_.path(), "*.*"), Names({"1.msg", "5.MSG", "5.msgx", "Old.Msg/", "README"}));
  EXPECT_EQ(Find(dir_ / "OLD.MSG", "*.*"), Names());
  EXPECT_EQ(Find(dir_ / "missing", "*.*"), Names());
}

// ---------------------------------------------------------------------------
// Sharing modes

TEST_F(PlatformTest, EveryPairOfOpensFollowsTheSharingRule) {
  struct Access {
    uint32_t code;
    bool writes;
  } const accesses[] = {{kModeRead, false}, {kModeReadWrite, true}, {kModeCreate, true}};
  struct Share {
    uint32_t code;
    bool denies_read, denies_write;
  } const shares[] = {{0, false, false},
                      {kDenyAll, true, true},
                      {kDenyWrite, false, true},
                      {kDenyRead, true, false},
                      {kDenyNone, false, false}};
  std::string path = dir_ / "f";
  ASSERT_TRUE(WriteFileBytes(path, "contents"));
  for (const Access& a1 : accesses) {
    for (const Share& s1 : shares) {
      for (const Access& a2 : accesses) {
        for (const Share& s2 : shares) {
          // Every open reads; a refusal comes from either side's denials.
          bool refused = s1.denies_read || (a2.writes && s1.denies_write) || s2.denies_read ||
                         (a1.writes && s2.denies_write);
          Handle first = MustOpen(path, a1.code | s1.code);
          EXPECT_EQ(OpenError(path, a2.code | s2.code), refused ? kSharingViolation : kOk)
              << std::hex << "first " << (a1.code | s1.code) << " second " << (a2.code | s2.code);
          ASSERT_EQ(CloseFile(first), kOk);
        }
      }
    }
  }
}

TEST_F(PlatformTest, RefusedCreateInOneProcessChangesNothing) {
  std::string path = dir_ / "area.sqd";
  ASSERT_TRUE(WriteFileBytes(path, "frames"));
  Handle holder = MustOpen(path, kModeReadWrite | kDenyWrite);
  EXPECT_EQ(OpenError(path, kModeCreate | kDenyWrite), kSharingViolation);
  EXPECT_EQ(OpenError(dir_ / "AREA.SQD", kModeReadWrite), kSharingViolation);
  EXPECT_EQ(ReadFileBytes(path), "frames");
  EXPECT_EQ(CloseFile(holder), kOk);
  // Closing drops the holder's locks; an unrefused create truncates.
  EXPECT_EQ(OpenError(path, kModeCreate | kDenyAll), kOk);
  EXPECT_EQ(ReadFileBytes(path), "");
}

TEST_F(PlatformTest, AnotherProcessHoldingDenyWriteRefusesWritersAndCreates) {
  std::string path = dir_ / "area.sqd";
  ASSERT_TRUE(WriteFileBytes(path, "frames and more frames"));
  HeldFile holder(path, kModeReadWrite | kDenyWrite);
  ASSERT_EQ(holder.open_error(), kOk);
  EXPECT_EQ(OpenError(path, kModeReadWrite), kSharingViolation);
  EXPECT_EQ(OpenError(dir_ / "AREA.sqd", kModeReadWrite | kDenyWrite), kSharingViolation);
  EXPECT_EQ(OpenError(path, kModeCreate), kSharingViolation);
  EXPECT_EQ(OpenError(path, kModeCreate | kDenyWrite), kSharingViolation);
  EXPECT_EQ(OpenError(path, kModeRead | kDenyWrite), kSharingViolation);  // it holds write
  EXPECT_EQ(ReadFileBytes(path), "frames and more frames");
  Handle reader = MustOpen(path, kModeRead);  // reading, denying nothing
  EXPECT_EQ(ReadAll(reader), "frames and more frames");
  EXPECT_EQ(CloseFile(reader), kOk);
  holder.Release();
  EXPECT_EQ(OpenError(path, kModeReadWrite | kDenyWrite), kOk);
}

TEST_F(PlatformTest, DenyAllAndTheInUseProbeAcrossProcesses) {
  std::string path = dir_ / "1.msg";
  ASSERT_TRUE(WriteFileBytes(path, "x"));
  {
    HeldFile holder(path, kModeRead | kDenyAll);
    ASSERT_EQ(holder.open_error(), kOk);
    EXPECT_EQ(OpenError(path, kModeRead), kSharingViolation);
  }
  HeldFile reader(path, kModeRead);
  ASSERT_EQ(reader.open_error(), kOk);
  EXPECT_EQ(OpenError(path, kModeRead | kDenyAll), kSharingViolation);
  reader.Release();
  EXPECT_EQ(OpenError(path, kModeRead | kDenyAll), kOk);
}

TEST_F(PlatformTest, AKilledHolderLeavesNoStaleLock) {
  std::string path = dir_ / "f";
  ASSERT_TRUE(WriteFileBytes(path, "x"));
  HeldFile holder(path, kModeReadWrite | kDenyAll);
  ASSERT_EQ(holder.open_error(), kOk);
  EXPECT_EQ(OpenError(path, kModeRead), kSharingViolation);
  holder.Kill();
  EXPECT_EQ(OpenError(path, kModeReadWrite | kDenyAll), kOk);
}

TEST_F(PlatformTest, RecordLocksConflictWithOtherProgramsClassicLocks) {
  std::string path = dir_ / "area.jhr";
  ASSERT_TRUE(WriteFileBytes(path, std::string(1024, 'h')));
  auto other = [&](short type) { return ClassicLock(path, type).outcome(); };
  Handle ours = MustOpen(path, kModeReadWrite | kDenyWrite);
  int error = kOk;
  {
    // Another program writing the base holds a write lock: we can not lock.
    ClassicLock writer(path, F_WRLCK);
    ASSERT_EQ(writer.outcome(), ClassicLock::kTaken);
    EXPECT_FALSE(LockRange(ours, 0, 1, false, &error));
    EXPECT_EQ(error, kSharingViolation);
  }
  {
    // A reader's read lock still lets us share, but not take it exclusively.
    ClassicLock reader(path, F_RDLCK);
    ASSERT_EQ(reader.outcome(), ClassicLock::kTaken);
    EXPECT_FALSE(LockRange(ours, 0, 1, true, &error));
    EXPECT_TRUE(LockRange(ours, 0, 1, false, &error));
  }
  // While we hold the shared lock, another program can not take its write
  // lock, but can take a read lock.
  EXPECT_EQ(other(F_WRLCK), ClassicLock::kRefused);
  EXPECT_EQ(other(F_RDLCK), ClassicLock::kTaken);
  // Closing another handle of the same file in this process (a classic lock
  // would be dropped then) keeps our lock.
  Handle second = MustOpen(path, kModeRead);
  EXPECT_TRUE(LockRange(second, 0, 1, false, &error));
  EXPECT_EQ(CloseFile(second), kOk);
  EXPECT_EQ(other(F_WRLCK), ClassicLock::kRefused);
  EXPECT_EQ(CloseFile(ours), kOk);
  EXPECT_EQ(other(F_WRLCK), ClassicLock::kTaken);
}

TEST_F(PlatformTest, MoveTakesTheTargetNameExactly) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "new", "new"));
  ASSERT_TRUE(WriteFileBytes(dir_ / "OLD", "old"));
  ASSERT_TRUE(WriteFileBytes(dir_ / "same", "old"));
  EXPECT_EQ(MoveFile(dir_ / "NEW", dir_ / "old"), kOk);  // the source is found in any case
  EXPECT_EQ(ReadFileBytes(dir_ / "old"), "new");
  EXPECT_EQ(ReadFileBytes(dir_ / "OLD"), "old");  // another case of the name stays
  ASSERT_TRUE(WriteFileBytes(dir_ / "again", "again"));
  EXPECT_EQ(MoveFile(dir_ / "again", dir_ / "same"), kOk);
  EXPECT_EQ(ReadFileBytes(dir_ / "same"), "again");
  EXPECT_NE(MoveFile(dir_ / "missing", dir_ / "x"), kOk);
}

// A rename that never replaces: a taken name is refused and both files stay;
// a file keeps its identity under its new name.
TEST_F(PlatformTest, RenameWithoutReplacingKeepsTheFileAndRefusesATakenName) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "a", "a"));
  ASSERT_TRUE(WriteFileBytes(dir_ / "b", "b"));
  FileIdentity a, b, moved;
  ASSERT_TRUE(IdentifyFile(dir_ / "A", &a));  // found in any case
  ASSERT_TRUE(IdentifyFile(dir_ / "b", &b));
  EXPECT_FALSE(a == b);
  EXPECT_EQ(RenameNoReplace(dir_ / "a", dir_ / "b"), kFileExists);
  EXPECT_EQ(ReadFileBytes(dir_ / "a") + ReadFileBytes(dir_ / "b"), "ab");
  EXPECT_EQ(RenameNoReplace(dir_ / "a", dir_ / "B"), kOk);  // another case is another name
  ASSERT_TRUE(IdentifyFile(dir_ / "B", &moved));
  EXPECT_TRUE(moved == a);
  EXPECT_FALSE(PathExists(dir_ / "a"));
  EXPECT_FALSE(IdentifyFile(dir_ / "a", &moved));
  EXPECT_NE(RenameNoReplace(dir_ / "missing", dir_ / "c"), kOk);
}

// Reserved space changes no byte and no size; a full disk says so.
TEST_F(PlatformTest, ReservingSpaceLeavesTheFileAsItIs) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "f", "0123"));
  Handle h = MustOpen(dir_ / "f", kModeReadWrite);
  int error = -1;
  EXPECT_TRUE(ReserveSpace(h, 1 << 20, &error));
  EXPECT_EQ(error, kOk);
  EXPECT_EQ(FileSize(h, &error), 4);
  InjectWriteFault(0, kDiskFull);
  EXPECT_FALSE(ReserveSpace(h, 1 << 21, &error));
  EXPECT_EQ(error, kDiskFull);
  EXPECT_EQ(CloseFile(h), kOk);
  EXPECT_EQ(ReadFileBytes(dir_ / "f"), "0123");
}

// A file made in another's place takes its owner, group and mode.
TEST_F(PlatformTest, CopyOwnerAndModeFromAnotherFile) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "model", "m"));
  ASSERT_TRUE(WriteFileBytes(dir_ / "made", "n"));
  ASSERT_EQ(chmod((dir_ / "model").c_str(), 0640), 0);
  const bool privileged = geteuid() == 0;
  if (privileged) {
    ASSERT_EQ(chown((dir_ / "model").c_str(), 4321, 8765), 0);
  }
  EXPECT_TRUE(CopyOwnerAndMode(dir_ / "model", dir_ / "MADE"));
  struct stat st {};
  ASSERT_EQ(stat((dir_ / "made").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (privileged) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
  }
  EXPECT_FALSE(CopyOwnerAndMode(dir_ / "missing", dir_ / "made"));
}

TEST_F(PlatformTest, RemoveDirectoryRemovesOnlyEmptyDirectories) {
  ASSERT_EQ(CreateDirectory(dir_ / "d"), kOk);
  ASSERT_TRUE(WriteFileBytes(dir_ / "d/f", "x"));
  EXPECT_NE(RemoveDirectory(dir_ / "d"), kOk);
  EXPECT_EQ(DeleteFile(dir_ / "d/f"), kOk);
  EXPECT_EQ(RemoveDirectory(dir_ / "D"), kOk);  // asked in another case
  EXPECT_FALSE(PathExists(dir_ / "d"));
}

// ---------------------------------------------------------------------------
// Write faults

TEST_F(PlatformTest, InjectedFaultFailsWritesAfterTheGivenCount) {
  Handle h = MustOpen(dir_ / "f", kModeCreate);
  InjectWriteFault(2, kDiskFull);
  int error = kOk;
  EXPECT_TRUE(WriteFile(h, "a", 1, &error));
  EXPECT_TRUE(WriteFile(h, "b", 1, &error));
  EXPECT_FALSE(WriteFile(h, "c", 1, &error));
  EXPECT_EQ(error, kDiskFull);
  EXPECT_FALSE(WriteFile(h, "d", 1, &error));
  InjectWriteFault(-1, kOk);
  EXPECT_TRUE(WriteFile(h, "e", 1, &error));
  EXPECT_EQ(CloseFile(h), kOk);
  EXPECT_EQ(ReadFileBytes(dir_ / "f"), "abe");
}

TEST_F(PlatformTest, FileSizeLimitIsReportedAsDiskFull) {
  std::string path = dir_ / "f";
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
    int error = kOk;
    Handle h = OpenFile(path, kModeCreate, &error);
    std::string block(6000, 'x');
    if (h == kNoHandle) _exit(11);
    if (WriteFile(h, block.data(), block.size(), &error)) _exit(12);
    _exit(error == kDiskFull ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(FileSizeOf(path), 4096);  // the part that fitted
}

// ---------------------------------------------------------------------------
// Clock

TEST(ClockTest, NowIsTheLocalTimeOfTheZoneInTZ) {
  const char* old_tz = std::getenv("TZ");
  std::string saved = old_tz ? old_tz : "";
  auto minute_of_day = [](const LocalTime& t) { return t.hour * 60 + t.minute; };

  setenv("TZ", "UTC0", 1);
  time_t before = std::time(nullptr);
  LocalTime utc = Now();
  setenv("TZ", "<+05>-5", 1);  // five hours east of UTC
  LocalTime east = Now();
  if (old_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();

  tm expected;
  gmtime_r(&before, &expected);
  EXPECT_EQ(utc.year, expected.tm_year + 1900);
  EXPECT_EQ(utc.month, expected.tm_mon + 1);
  EXPECT_LE((minute_of_day(utc) - (expected.tm_hour * 60 + expected.tm_min) + 1440) % 1440, 1);
  EXPECT_TRUE(utc.second >= 0 && utc.second <= 59 && utc.hundredths >= 0 && utc.hundredths <= 99);
  int shift = (minute_of_day(east) - minute_of_day(utc) + 1440) % 1440;
  EXPECT_TRUE(shift >= 300 && shift <= 301) << shift;
}

TEST(ClockTest, HundredthsAreReal) {
  std::set<int> seen;
  uint32_t start = TickCount();
  while (TickCount() - start < 50) seen.insert(Now().hundredths);
  EXPECT_GE(seen.size(), 3u);
}

TEST(ClockTest, TickCountDoesNotGoBackwards) {
  uint32_t first = TickCount();
  uint32_t last = first;
  for (int i = 0; i < 100000; ++i) {
    uint32_t now = TickCount();
    ASSERT_LT(now - last, 0x80000000u) << "went back from " << last << " to " << now;
    last = now;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_GE(TickCount() - first, 30u);
}

}  // namespace
