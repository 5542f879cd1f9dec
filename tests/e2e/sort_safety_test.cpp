// End-to-end tests of the sorter's ways out: Escape and stop signals in
// each phase, a full disk and a failing create, two sorters on one base,
// other programs' locks on the base, and the progress counter on a real
// terminal.  In every case the base is
// either untouched or whole and sorted, never anything in between.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bases/base_rebuild.h"
#include "child_process.h"
#include "sort_support.h"
#include "test_support.h"

namespace quil::testing::sort_e2e {
namespace {

// A base big enough that each phase lasts a while: the test stops the
// sorter within a phase before it can leave it.
constexpr int kBusyBase = 3000;

std::string Head(const std::string& spec, int total) {
  return std::string(kBanner) + "mode: [sorting all base]\nsource base: [" + spec +
         "]\nsource base opened\nsource base - total " + std::to_string(total) + "\n";
}

// Starts a sort of `spec`, freezes it as soon as `marker` has appeared,
// hands it a stop (Escape on its input, or the signal `stop_signal`) and
// lets it go on.  Returns its whole output and exit status.
ProgramResult StopSortAt(const std::vector<std::string>& args, std::string_view marker,
                         int stop_signal) {
  ChildProcess sorter(ProgramPath("Quilord"), args, ChildProcess::Mode::kPipes);
  EXPECT_TRUE(sorter.ReadUntil(marker)) << sorter.output();
  sorter.Signal(SIGSTOP);
  if (stop_signal == 0) {
    sorter.Send("\x1b");
  } else {
    sorter.Signal(stop_signal);
  }
  sorter.Signal(SIGCONT);
  const int status = sorter.Wait();
  return {status < 0 ? 128 - status : status, sorter.output()};
}

// Runs `attempt` until it reports that what it tried to time (`what`) came
// at the moment the test is about, `tries` times at the most: a stop that
// came too late proves nothing.  Fails the test when it never did.
void UntilLanded(const char* what, const std::function<bool()>& attempt, int tries = 5) {
  bool landed = false;
  for (int i = 0; i < tries && !landed; ++i) landed = attempt();
  EXPECT_TRUE(landed) << "never in " << tries << " tries: " << what;
}

class SortStopTest : public ::testing::TestWithParam<const BaseKind*> {
 protected:
  const BaseKind& kind() const { return *GetParam(); }
  std::string spec() const { return SpecIn(dir_->path(), kind()); }

  std::unique_ptr<TempDir> dir_ = ScratchDirectory();
};

// Escape waiting on a piped input is seen at the first message: the base
// stays byte for byte as it was, and nothing of the sort is left.  Other
// keys are read and ignored.
TEST_P(SortStopTest, EscapeWhileReadingLeavesTheBaseUntouched) {
  WriteBase(spec(), Backwards(5));
  const auto files = SnapshotTree(dir_->path());
  ProgramResult run = RunProgram(ProgramPath("Quilord"), {spec()}, "\x1b");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Head(spec(), 5) + "reading message... terminated!\n");
  EXPECT_EQ(SnapshotTree(dir_->path()), files);

  run = RunProgram(ProgramPath("Quilord"), {spec()}, "abc\r ");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Head(spec(), 5) + "reading message... #5\nwriting message... #5\n\n");
  EXPECT_EQ(ReadTags(spec()), (std::vector<int>{5, 4, 3, 2, 1}));
}

// A stop signal during reading is an Escape: nothing changes.  The exit
// status says a signal stopped the run.  Reading the keys of a busy base
// takes about a millisecond, less than the test may need to freeze the
// sorter once it has begun; so where the kind has the lock other programs
// honour, a peer holds it while the signal comes and the sorter waits for
// it before reading.  Elsewhere the signal comes as soon as the sorter names
// the base, and a try that was late is made again.
TEST_P(SortStopTest, SigtermWhileReadingLeavesTheBaseUntouched) {
  const char* lock_file = kind().mark == 'j' ? "area.jhr" : kind().mark == 's' ? "area.sqd" : nullptr;
  UntilLanded("a stop while the base was read", [&] {
    WriteBase(spec(), Backwards(kBusyBase));
    const auto files = SnapshotTree(dir_->path());
    ProgramResult run;
    if (lock_file) {
      auto peer = std::make_unique<ClassicLock>(*dir_ / lock_file, F_WRLCK);
      EXPECT_EQ(peer->outcome(), ClassicLock::kTaken);
      ChildProcess sorter(ProgramPath("Quilord"), {spec()}, ChildProcess::Mode::kPipes);
      EXPECT_TRUE(sorter.ReadUntil("source base: [")) << sorter.output();
      sorter.Signal(SIGTERM);
      peer.reset();
      const int status = sorter.Wait();
      run = {status < 0 ? 128 - status : status, sorter.output()};
    } else {
      run = StopSortAt({spec()}, "source base: [", SIGTERM);
    }
    if (run.output.find("reading message... terminated!") == std::string::npos) {
      // The reading was over before the signal came: the sort is whole.
      EXPECT_EQ(ReadTags(spec()).size(), static_cast<size_t>(kBusyBase));
      return false;
    }
    EXPECT_EQ(run.exit_code, 128 + SIGTERM);
    EXPECT_EQ(run.output, Head(spec(), kBusyBase) + "reading message... terminated!\n");
    EXPECT_EQ(SnapshotTree(dir_->path()), files);
    return true;
  }, 25);
}

// Escape or a stop signal while the sorted base is written is honoured
// once the base is whole: every message is there, in order, and the
// program then says it was stopped and ends with status 0 (after a signal,
// 128 + its number).
TEST_P(SortStopTest, StopWhileWritingFinishesTheBaseFirst) {
  std::vector<int> sorted;
  for (int tag = kBusyBase; tag >= 1; --tag) sorted.push_back(tag);
  for (int stop_signal : {0, SIGTERM}) {
    SCOPED_TRACE("stopped by " + std::string(stop_signal == 0 ? "Escape" : strsignal(stop_signal)));
    UntilLanded("a stop while the base was written", [&] {
      WriteBase(spec(), Backwards(kBusyBase));
      ProgramResult run = StopSortAt({spec()}, "reading message... #", stop_signal);
      const bool landed = run.output.find("terminated") != std::string::npos;
      EXPECT_EQ(run.exit_code, landed && stop_signal != 0 ? 128 + stop_signal : 0);
      if (landed) {
        EXPECT_EQ(run.output, Head(spec(), kBusyBase) + "reading message... #" +
                                  std::to_string(kBusyBase) + "\nwriting message... terminated!\n");
      }
      EXPECT_EQ(ReadTags(spec()), sorted);
      EXPECT_EQ(RebuildFiles(dir_->path()), std::vector<std::string>{});
      return landed;
    });
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SortStopTest, ::testing::ValuesIn(kAllKinds),
                         ParamName<BaseKind>);

// Sort-unread: a stop while the unread messages are written says
// "... terminated" (with no read message the whole writing is that part);
// the base is whole.
TEST(SortUnreadStopTest, StopInTheUnreadPartSaysSo) {
  std::unique_ptr<TempDir> dir = ScratchDirectory();
  const std::string spec = SpecIn(dir->path(), kJam);
  std::vector<int> sorted;
  for (int tag = kBusyBase; tag >= 1; --tag) sorted.push_back(tag);
  UntilLanded("a stop while the unread part was written", [&] {
    WriteBase(spec, Backwards(kBusyBase));
    ProgramResult run = StopSortAt({spec, "/U"}, "reading message... #", 0);
    EXPECT_EQ(run.exit_code, 0);
    const bool landed = run.output.find("terminated") != std::string::npos;
    if (landed) {
      EXPECT_TRUE(run.output.ends_with("\nwriting message... ... terminated\n")) << run.output;
    }
    EXPECT_EQ(ReadTags(spec), sorted);
    return landed;
  });
}

// ---------------------------------------------------------------------------
// Writing fails: the original stays as it was.

class SortFailureTest : public ::testing::TestWithParam<const BaseKind*> {
 protected:
  const BaseKind& kind() const { return *GetParam(); }
  std::string spec() const { return SpecIn(dir_.path(), kind()); }

  TempDir dir_;
};

// A file-size limit the sorted base outgrows, as a full disk would stop
// it: one line says so, the status is not 0, and the base and its
// directory are exactly as before.
TEST_P(SortFailureTest, FullDiskLeavesTheOriginal) {
  WriteBase(spec(), Backwards(20));
  const auto files = SnapshotTree(dir_.path());
  ProgramOptions options;
  // Room for a header and a message or two, whatever the kind.
  options.file_size_limit = kind().mark == 'f' ? 250 : kind().mark == 'j' ? 2000 : 1500;
  ProgramResult run = RunProgram(ProgramPath("Quilord"), {spec()}, options);
  EXPECT_NE(run.exit_code, 0);
  const std::string line = "can't write base: [" + spec() + "], it is left as it was\n";
  ASSERT_NE(run.output.find(line), std::string::npos) << run.output;
  // Nothing but that line follows the writing label.
  std::string tail = run.output.substr(run.output.find("writing message... "));
  EXPECT_EQ(tail.substr(tail.find('\n') + 1), line);
  EXPECT_EQ(SnapshotTree(dir_.path()), files);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SortFailureTest, ::testing::ValuesIn(kAllKinds),
                         ParamName<BaseKind>);

// The new base can not be created at all: nothing may touch the original.
// A Squish base gets its header at once, so with no room there is no base;
// where the Fido directory's new base would be made stands a file.
TEST(SortCreateFailureTest, NewBaseThatCanNotBeCreated) {
  struct Case {
    const BaseKind* kind;
    long long file_size_limit;
    const char* in_the_way;
  } const cases[] = {{&kSquish, 0, nullptr}, {&kFido, -1, "net/.quil-sort-f"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind->name);
    TempDir dir;
    const std::string spec = SpecIn(dir.path(), *c.kind);
    WriteBase(spec, Backwards(3));
    if (c.in_the_way) {
      ASSERT_TRUE(WriteFileBytes(dir / c.in_the_way, "in the way"));
    }
    const auto files = SnapshotTree(dir.path());
    ProgramOptions options;
    options.file_size_limit = c.file_size_limit;
    ProgramResult run = RunProgram(ProgramPath("Quilord"), {spec}, options);
    EXPECT_NE(run.exit_code, 0);
    EXPECT_EQ(run.output, Head(spec, 3) + "reading message... #3\nwriting message... \n" +
                              "can't create base: [" + spec + "]\n");
    EXPECT_EQ(SnapshotTree(dir.path()), files);
  }
}

// ---------------------------------------------------------------------------
// Two sorters on one base: the second finds it busy and leaves it alone.

class SortTwiceTest : public ::testing::TestWithParam<const BaseKind*> {};

// True when another rebuild holds the base `spec`.
bool HeldByARebuild(const std::string& spec) {
  std::string recovered, file;
  BaseRebuild::Failure failure = BaseRebuild::Failure::kNone;
  return BaseRebuild::Lock(spec, &recovered, &failure, &file) == nullptr &&
         failure == BaseRebuild::Failure::kBusy && file.empty();
}

TEST_P(SortTwiceTest, SecondSorterCanNotOpenTheBase) {
  const BaseKind& kind = *GetParam();
  std::vector<int> sorted;
  for (int tag = kBusyBase; tag >= 1; --tag) sorted.push_back(tag);
  UntilLanded("a second sorter while the first was at work", [&] {
    std::unique_ptr<TempDir> dir = ScratchDirectory();
    const std::string spec = SpecIn(dir->path(), kind);
    WriteBase(spec, Backwards(kBusyBase));
    // The first holds the base from "source base opened" on; frozen there,
    // it is surely still at work when the second starts.
    ChildProcess first(ProgramPath("Quilord"), {spec}, ChildProcess::Mode::kPipes);
    first.CloseInput();
    EXPECT_TRUE(first.ReadUntil("source base opened\n")) << first.output();
    first.Signal(SIGSTOP);
    // Stopped, it still holds the base, or had let it go just before (the
    // sort of a few thousand messages takes milliseconds).
    const bool overlapped = first.WaitUntilStopped() && HeldByARebuild(spec);
    ProgramResult second = RunProgram(ProgramPath("Quilord"), {spec});
    first.Signal(SIGCONT);
    const int first_status = first.Wait();
    EXPECT_EQ(first_status, 0);
    if (overlapped) {
      EXPECT_EQ(second.exit_code, 1);
      EXPECT_EQ(second.output, std::string(kBanner) + "mode: [sorting all base]\nsource base: [" +
                                   spec + "]\ncan't open source base: [" + spec +
                                   "]\nheld by another program: [" + spec + "]\n");
      EXPECT_EQ(first.output(), Head(spec, kBusyBase) + "reading message... #" +
                                    std::to_string(kBusyBase) + "\nwriting message... #" +
                                    std::to_string(kBusyBase) + "\n\n");
    }
    EXPECT_EQ(ReadTags(spec), sorted);
    EXPECT_EQ(RebuildFiles(dir->path()), std::vector<std::string>{});
    return overlapped;
  });
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SortTwiceTest, ::testing::ValuesIn(kAllKinds),
                         ParamName<BaseKind>);

// ---------------------------------------------------------------------------
// Other programs' locks on a Squish or JAM base: the write lock on byte 0 of
// the .sqd or .jhr, which a tosser takes while it writes.

class SortLockTest : public ::testing::TestWithParam<const BaseKind*> {
 protected:
  const BaseKind& kind() const { return *GetParam(); }
  std::string spec() const { return SpecIn(dir_->path(), kind()); }
  std::string locked_file() const {
    return *dir_ / (std::string(kind().place) + (kind().mark == 's' ? ".sqd" : ".jhr"));
  }

  std::unique_ptr<TempDir> dir_ = ScratchDirectory();
};

// From before the sort reads until its write-back is complete, the sort
// holds the lock: a tosser (or a reader honouring it) waits.
TEST_P(SortLockTest, OtherProgramsWaitWhileTheSortRuns) {
  UntilLanded("a look at the lock while the sort ran", [&] {
    WriteBase(spec(), Backwards(kBusyBase));
    ChildProcess sorter(ProgramPath("Quilord"), {spec()}, ChildProcess::Mode::kPipes);
    sorter.CloseInput();
    EXPECT_TRUE(sorter.ReadUntil("source base opened\n")) << sorter.output();
    sorter.Signal(SIGSTOP);
    const bool running = !sorter.Ended();
    if (running) {
      EXPECT_EQ(ClassicLock(locked_file(), F_RDLCK).outcome(), ClassicLock::kRefused);
    }
    sorter.Signal(SIGCONT);
    EXPECT_EQ(sorter.Wait(), 0);
    EXPECT_EQ(ClassicLock(locked_file(), F_WRLCK).outcome(), ClassicLock::kTaken);
    return running;
  });
}

// A sort that starts while another program holds the lock waits for it,
// and sorts once it is free.
TEST_P(SortLockTest, TheSortWaitsForAnotherProgramsLock) {
  WriteBase(spec(), Backwards(5));
  const auto files = SnapshotTree(dir_->path());
  std::unique_ptr<ChildProcess> sorter;
  {
    ClassicLock tosser(locked_file(), F_WRLCK);
    ASSERT_EQ(tosser.outcome(), ClassicLock::kTaken);
    sorter = std::make_unique<ChildProcess>(ProgramPath("Quilord"), std::vector{spec()},
                                            ChildProcess::Mode::kPipes);
    sorter->CloseInput();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(sorter->Ended()) << sorter->output();
    auto now = SnapshotTree(dir_->path());
    EXPECT_EQ(RebuildFiles(dir_->path()).size(), 1u);  // its lock file only
    std::erase_if(now, [](const auto& file) {
      return file.first.find(".quil-sort") != std::string::npos;
    });
    EXPECT_EQ(now, files);
  }
  EXPECT_EQ(sorter->Wait(), 0);
  EXPECT_EQ(sorter->output(), Head(spec(), 5) + "reading message... #5\nwriting message... #5\n\n");
  EXPECT_EQ(ReadTags(spec()), (std::vector<int>{5, 4, 3, 2, 1}));
}

INSTANTIATE_TEST_SUITE_P(SquishAndJam, SortLockTest, ::testing::Values(&kSquish, &kJam),
                         ParamName<BaseKind>);

// A lock another program holds for longer than ten seconds: the sort
// gives up, says it can not open the base and leaves it alone.
TEST(SortLockTimeoutTest, GivesUpAfterTenSeconds) {
  std::unique_ptr<TempDir> dir = ScratchDirectory();
  const std::string spec = SpecIn(dir->path(), kJam);
  WriteBase(spec, Backwards(3));
  const auto files = SnapshotTree(dir->path());
  ClassicLock tosser(*dir / "area.jhr", F_WRLCK);
  ASSERT_EQ(tosser.outcome(), ClassicLock::kTaken);
  ProgramResult run = RunProgram(ProgramPath("Quilord"), {spec});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, std::string(kBanner) + "mode: [sorting all base]\nsource base: [" + spec +
                            "]\ncan't open source base: [" + spec +
                            "]\nheld by another program: [" + *dir / "area.jhr" + "]\n");
  EXPECT_EQ(SnapshotTree(dir->path()), files);
}

// A *.msg directory has no lock: message files another program writes
// while the sort runs stay, and one under a number the sorted messages take
// moves above all others.
TEST(SortMsgDirectoryTest, FilesWrittenMeanwhileStay) {
  UntilLanded("files written while the sort ran", [&] {
    std::unique_ptr<TempDir> dir = ScratchDirectory();
    const std::string spec = SpecIn(dir->path(), kFido);
    WriteBase(spec, Backwards(kBusyBase));
    // Gaps at 2 and 3: the sorted messages are numbered 1 to kBusyBase - 2.
    std::filesystem::remove(*dir / "net/2.msg");
    std::filesystem::remove(*dir / "net/3.msg");
    ChildProcess sorter(ProgramPath("Quilord"), {spec}, ChildProcess::Mode::kPipes);
    sorter.CloseInput();
    EXPECT_TRUE(sorter.ReadUntil("source base opened\n")) << sorter.output();
    sorter.Signal(SIGSTOP);
    const bool landed = !sorter.Ended();
    {
      std::unique_ptr<MessageBase> base = OpenOrCreate(platform::kDenyWrite, spec);
      EXPECT_TRUE(base);
      MessageRecord r;
      FillRecord(r, {1001, Date(2011, 1, 1), 0});
      EXPECT_TRUE(base->WriteMessage(2, r));  // in a gap
      FillRecord(r, {1002, Date(2012, 1, 1), 0});
      EXPECT_TRUE(base->WriteMessage(kBusyBase + 1, r));  // behind all
    }
    sorter.Signal(SIGCONT);
    EXPECT_EQ(sorter.Wait(), 0) << sorter.output();
    if (!landed) return false;
    std::vector<int> expected;
    for (int tag = kBusyBase; tag >= 4; --tag) expected.push_back(tag);
    expected.insert(expected.end(), {1, -1, -1, 1002, 1001});
    EXPECT_EQ(ReadTags(spec), expected);
    EXPECT_EQ(RebuildFiles(dir->path()), std::vector<std::string>{});
    return true;
  });
}

// ---------------------------------------------------------------------------
// On a terminal the counter is redrawn in place.

// The screen a terminal shows after `bytes`: printable bytes at the cursor,
// CR, LF, save and restore cursor (ESC 7, ESC 8), cursor up (ESC [ n A) and
// to a column (ESC [ n G); other sequences are skipped.
std::vector<std::string> Screen(std::string_view bytes) {
  std::vector<std::string> lines(1);
  size_t row = 0, column = 0, saved_row = 0, saved_column = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c == '\x1b' && i + 1 < bytes.size()) {
      char next = bytes[++i];
      if (next == '7') {
        saved_row = row;
        saved_column = column;
      } else if (next == '8') {
        row = saved_row;
        column = saved_column;
      } else if (next == '[') {
        size_t number = 0;
        while (i + 1 < bytes.size() && (isdigit(static_cast<unsigned char>(bytes[i + 1])) ||
                                        bytes[i + 1] == ';' || bytes[i + 1] == '?')) {
          char d = bytes[++i];
          if (isdigit(static_cast<unsigned char>(d))) number = number * 10 + (d - '0');
        }
        char command = i + 1 < bytes.size() ? bytes[++i] : '\0';
        if (command == 'A') row -= std::min(row, number == 0 ? 1 : number);
        if (command == 'G') column = number == 0 ? 0 : number - 1;
      }
    } else if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      ++row;
      if (row >= lines.size()) lines.resize(row + 1);
    } else {
      std::string& line = lines[row];
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  return lines;
}

TEST(SortTerminalTest, CounterIsRewrittenInPlace) {
  TempDir dir;
  const std::string spec = SpecIn(dir.path(), kSquish);
  WriteBase(spec, Backwards(3));
  ChildProcess sorter(ProgramPath("Quilord"), {spec}, ChildProcess::Mode::kTerminal);
  ASSERT_TRUE(sorter.started());
  EXPECT_EQ(sorter.Wait(), 0);
  const std::string& bytes = sorter.output();

  // The counter is drawn over the same cells, with the cursor saved and
  // restored around it: the first message's count, then the last one's.
  const size_t first = bytes.find(
      "\x1b"
      "7\x1b[20G#1\x1b"
      "8");
  ASSERT_NE(first, std::string::npos) << Printable(bytes);
  EXPECT_NE(bytes.find("\x1b"
                       "7\x1b[20G#3\x1b"
                       "8",
                       first),
            std::string::npos)
      << Printable(bytes);
  std::vector<std::string> screen = Screen(bytes);
  std::vector<std::string> shown;
  for (const std::string& line : screen) {
    if (line.starts_with("reading message") || line.starts_with("writing message")) {
      shown.push_back(line);
    }
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"reading message... #3", "writing message... #3"}))
      << Printable(bytes);
  EXPECT_EQ(ReadTags(spec), (std::vector<int>{3, 2, 1}));
}

}  // namespace
}  // namespace quil::testing::sort_e2e
