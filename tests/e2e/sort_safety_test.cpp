// End-to-end tests of the sorter's ways out: Escape and stop signals in
// each phase, a full disk and a failing create, two sorters on one base,
// and the progress counter on a real terminal.  In every case the base is
// either untouched or whole and sorted, never anything in between.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sort_support.h"
#include "test_support.h"

namespace quil::testing::sort_e2e {
namespace {

// A base big enough that each phase lasts a while: the test stops the
// sorter within a phase before it can leave it.
constexpr int kBusyBase = 300;

std::string Head(const std::string& spec, int total) {
  return std::string(kBanner) + "mode: [sorting all base]\nsource base: [" + spec +
         "]\nsource base opened\nsource base - total " + std::to_string(total) + "\n";
}

// Reads what the program prints until `marker` has appeared (or its output
// ends); returns all of it.
std::string ReadUntil(RunningProgram& program, std::string_view marker) {
  std::string output;
  char buffer[4096];
  while (output.find(marker) == std::string::npos) {
    ssize_t n = read(program.output_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buffer, static_cast<size_t>(n));
  }
  return output;
}

// True when the program has ended (without reaping it).
bool HasEnded(const RunningProgram& program) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(program.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == program.pid;
}

// Starts a sort of `spec`, freezes it as soon as `marker` has appeared,
// hands it a stop (Escape on its input, or the signal `stop_signal`) and
// lets it go on.  Returns its whole output and exit status.
ProgramResult StopSortAt(const std::vector<std::string>& args, std::string_view marker,
                         int stop_signal) {
  ProgramOptions options;
  options.keep_input_open = true;
  RunningProgram program = StartProgram(ProgramPath("Quilord"), args, options);
  std::string before = ReadUntil(program, marker);
  kill(program.pid, SIGSTOP);
  if (stop_signal == 0) {
    ssize_t written = write(program.input_fd, "\x1b", 1);
    EXPECT_EQ(written, 1);
  } else {
    kill(program.pid, stop_signal);
  }
  kill(program.pid, SIGCONT);
  ProgramResult result = Finish(program);
  result.output = before + result.output;
  return result;
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
  const auto files = Snapshot(dir_->path());
  ProgramResult run = RunProgram(ProgramPath("Quilord"), {spec()}, "\x1b");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Head(spec(), 5) + "reading message... terminated!\n");
  EXPECT_EQ(Snapshot(dir_->path()), files);

  run = RunProgram(ProgramPath("Quilord"), {spec()}, "abc\r ");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Head(spec(), 5) + "reading message... #5\nwriting message... #5\n\n");
  EXPECT_EQ(ReadTags(spec()), (std::vector<int>{5, 4, 3, 2, 1}));
}

// A stop signal during reading is an Escape: nothing changes.
TEST_P(SortStopTest, SigtermWhileReadingLeavesTheBaseUntouched) {
  bool landed = false;
  for (int attempt = 0; attempt < 5 && !landed; ++attempt) {
    WriteBase(spec(), Backwards(kBusyBase));
    const auto files = Snapshot(dir_->path());
    ProgramResult run = StopSortAt({spec()}, "source base - total", SIGTERM);
    EXPECT_EQ(run.exit_code, 0);
    landed = run.output.find("reading message... terminated!") != std::string::npos;
    if (landed) {
      EXPECT_EQ(run.output, Head(spec(), kBusyBase) + "reading message... terminated!\n");
      EXPECT_EQ(Snapshot(dir_->path()), files);
    } else {
      // The reading was over before the signal came: the sort is whole.
      EXPECT_EQ(ReadTags(spec()).size(), static_cast<size_t>(kBusyBase));
    }
  }
  EXPECT_TRUE(landed) << "the signal never came while the base was read";
}

// Escape or a stop signal while the sorted base is written is honoured
// once the base is whole: every message is there, in order, and the
// program then says it was stopped and ends with status 0.
TEST_P(SortStopTest, StopWhileWritingFinishesTheBaseFirst) {
  std::vector<int> sorted;
  for (int tag = kBusyBase; tag >= 1; --tag) sorted.push_back(tag);
  for (int stop_signal : {0, SIGTERM}) {
    SCOPED_TRACE("stopped by " + std::string(stop_signal == 0 ? "Escape" : strsignal(stop_signal)));
    // The writing phase is short; a stop that came too late (the sort had
    // finished) proves nothing, so that case is tried again.
    bool landed = false;
    for (int attempt = 0; attempt < 5 && !landed; ++attempt) {
      WriteBase(spec(), Backwards(kBusyBase));
      ProgramResult run = StopSortAt({spec()}, "reading message... #", stop_signal);
      EXPECT_EQ(run.exit_code, 0);
      landed = run.output.find("terminated") != std::string::npos;
      if (landed) {
        EXPECT_EQ(run.output, Head(spec(), kBusyBase) + "reading message... #" +
                                  std::to_string(kBusyBase) + "\nwriting message... terminated!\n");
      }
      EXPECT_EQ(ReadTags(spec()), sorted);
      EXPECT_EQ(RebuildFiles(dir_->path()), std::vector<std::string>{});
    }
    EXPECT_TRUE(landed) << "the stop never came while the base was written";
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SortStopTest, ::testing::ValuesIn(kAllKinds), PrintKind);

// Sort-unread: a stop while the unread messages are written says
// "... terminated" (with no read message the whole writing is that part);
// the base is whole.
TEST(SortUnreadStopTest, StopInTheUnreadPartSaysSo) {
  std::unique_ptr<TempDir> dir = ScratchDirectory();
  const std::string spec = SpecIn(dir->path(), kJam);
  std::vector<int> sorted;
  for (int tag = kBusyBase; tag >= 1; --tag) sorted.push_back(tag);
  bool landed = false;
  for (int attempt = 0; attempt < 5 && !landed; ++attempt) {
    WriteBase(spec, Backwards(kBusyBase));
    ProgramResult run = StopSortAt({spec, "/U"}, "reading message... #", 0);
    EXPECT_EQ(run.exit_code, 0);
    landed = run.output.find("terminated") != std::string::npos;
    if (landed) {
      EXPECT_TRUE(run.output.ends_with("\nwriting message... ... terminated\n")) << run.output;
    }
    EXPECT_EQ(ReadTags(spec), sorted);
  }
  EXPECT_TRUE(landed);
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
  const auto files = Snapshot(dir_.path());
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
  EXPECT_EQ(Snapshot(dir_.path()), files);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SortFailureTest, ::testing::ValuesIn(kAllKinds), PrintKind);

// The new base can not be created at all: nothing may touch the original.
TEST(SortCreateFailureTest, NewBaseThatCanNotBeCreated) {
  {
    // A Squish base gets its header at once: with no room, no base.
    TempDir dir;
    const std::string spec = SpecIn(dir.path(), kSquish);
    WriteBase(spec, Backwards(3));
    const auto files = Snapshot(dir.path());
    ProgramOptions options;
    options.file_size_limit = 0;
    ProgramResult run = RunProgram(ProgramPath("Quilord"), {spec}, options);
    EXPECT_NE(run.exit_code, 0);
    EXPECT_EQ(run.output, Head(spec, 3) + "reading message... #3\nwriting message... \n" +
                              "can't create base: [" + spec + "]\n");
    EXPECT_EQ(Snapshot(dir.path()), files);
  }
  {
    // Where the Fido directory's new base would be made stands a file.
    TempDir dir;
    const std::string spec = SpecIn(dir.path(), kFido);
    WriteBase(spec, Backwards(3));
    ASSERT_TRUE(WriteFileBytes(dir / "net/.quil-sort-f", "in the way"));
    const auto files = Snapshot(dir.path());
    ProgramResult run = RunProgram(ProgramPath("Quilord"), {spec});
    EXPECT_NE(run.exit_code, 0);
    EXPECT_EQ(run.output, Head(spec, 3) + "reading message... #3\nwriting message... \n" +
                              "can't create base: [" + spec + "]\n");
    EXPECT_EQ(Snapshot(dir.path()), files);
  }
}

// ---------------------------------------------------------------------------
// Two sorters on one base: the second finds it busy and leaves it alone.

class SortTwiceTest : public ::testing::TestWithParam<const BaseKind*> {};

TEST_P(SortTwiceTest, SecondSorterCanNotOpenTheBase) {
  const BaseKind& kind = *GetParam();
  std::vector<int> sorted;
  for (int tag = kBusyBase; tag >= 1; --tag) sorted.push_back(tag);
  bool overlapped = false;
  for (int attempt = 0; attempt < 5 && !overlapped; ++attempt) {
    std::unique_ptr<TempDir> dir = ScratchDirectory();
    const std::string spec = SpecIn(dir->path(), kind);
    WriteBase(spec, Backwards(kBusyBase));
    // The first holds the base from "source base opened" on; frozen there,
    // it is surely still at work when the second starts.
    RunningProgram first = StartProgram(ProgramPath("Quilord"), {spec});
    std::string first_output = ReadUntil(first, "source base opened\n");
    kill(first.pid, SIGSTOP);
    overlapped = !HasEnded(first);
    ProgramResult second = RunProgram(ProgramPath("Quilord"), {spec});
    kill(first.pid, SIGCONT);
    ProgramResult rest = Finish(first);
    first_output += rest.output;
    EXPECT_EQ(rest.exit_code, 0);
    EXPECT_EQ(second.exit_code, 0);
    if (overlapped) {
      EXPECT_EQ(second.output, std::string(kBanner) + "mode: [sorting all base]\nsource base: [" +
                                   spec + "]\ncan't open source base: [" + spec + "]\n");
      EXPECT_EQ(first_output, Head(spec, kBusyBase) + "reading message... #" +
                                  std::to_string(kBusyBase) + "\nwriting message... #" +
                                  std::to_string(kBusyBase) + "\n\n");
    }
    EXPECT_EQ(ReadTags(spec), sorted);
    EXPECT_EQ(RebuildFiles(dir->path()), std::vector<std::string>{});
  }
  EXPECT_TRUE(overlapped);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SortTwiceTest, ::testing::ValuesIn(kAllKinds), PrintKind);

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
  const std::string program = ProgramPath("Quilord");
  struct winsize size = {};
  size.ws_row = 24;
  size.ws_col = 80;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(program.c_str(), program.c_str(), spec.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string bytes;
  char buffer[4096];
  while (true) {
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the program has ended
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(master);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

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
