// End-to-end tests of the converter: Quilxfer run as a user runs it, its
// whole output, its command line, appending, stopping, a destination that
// can not be written, and bases an interrupted sort left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bases/base_opener.h"
#include "child_process.h"
#include "convert_support.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "test_support.h"

namespace quil::testing::convert_e2e {
namespace {

ProgramResult ConvertIn(const std::string& directory, const std::vector<std::string>& args) {
  ProgramOptions options;
  options.directory = directory;
  return RunProgram(ProgramPath("Quilxfer"), args, options);
}

// The whole output of a successful run, standard output not a terminal.
TEST(ConvertOutputTest, SuccessfulRunPrintsExactlyThis) {
  TempDir dir;
  WriteMessages(dir / "mail.pkt", AllMessages());
  ProgramResult run = ConvertIn(dir.path(), {"pmail.pkt", "jecho/area"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, R"(
Quilxfer - message base converter, v0.04

source base: [pmail.pkt]
destination base: [jecho/area]

source base opened
destination base opened

source base - total 4
destination base - total 0

coping message... #4

)");
  EXPECT_EQ(CountOf("j" + (dir / "echo/area")), kMessageCount);
}

// On a terminal the counter is redrawn in place at most every 200 ms, and
// once more with the last number: not once for every message.
TEST(ConvertOutputTest, CounterOnATerminalIsRedrawnAtMostEvery200Milliseconds) {
  constexpr int kTotal = 600;
  TempDir dir;
  WriteManyFidoMessages(dir / "in", kTotal);
  const auto start = std::chrono::steady_clock::now();
  ChildProcess convert(ProgramPath("Quilxfer"), {"f" + (dir / "in"), "f" + (dir / "out")},
                       ChildProcess::Mode::kTerminal);
  ASSERT_TRUE(convert.started());
  EXPECT_EQ(convert.Wait(), 0);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  const std::string& output = convert.output();
  int redraws = 0;
  for (size_t at = output.find("\0337"); at != std::string::npos;
       at = output.find("\0337", at + 1)) {
    ++redraws;
  }
  EXPECT_GE(redraws, 2);
  EXPECT_LE(redraws, 2 + elapsed / 200) << elapsed << " ms";
  EXPECT_NE(output.find("coping message... \0337\x1b[19G#"), std::string::npos)
      << Printable(output);
  EXPECT_NE(output.find("\0337\x1b[19G#" + std::to_string(kTotal) + "\0338"), std::string::npos)
      << Printable(output);
  EXPECT_EQ(CountOf("f" + (dir / "out")), kTotal);
}

// Any number of parameters but two: the usage text, exit 2, and nothing is
// opened or created.
TEST(ConvertCommandLineTest, WrongParameterCountPrintsUsage) {
  const std::string usage = std::string(kBanner) +
                            "Usage: Quilxfer source destination\n"
                            "Example: Quilxfer fF:\\Fido\\Netmail\\Share jF:\\Fido\\Base\\Netmail\n"
                            "         Quilxfer sF:\\Fido\\Base\\ fF:\\Fido\\Base\\Test\\\n"
                            "         f - msg (fido), s - squish, j - jam, p - pkt 2.0+\n";
  const std::vector<std::vector<std::string>> calls{{}, {"fnet"}, {"fnet", "sarea", "jother"}};
  for (const auto& args : calls) {
    TempDir dir;
    ProgramResult run = ConvertIn(dir.path(), args);
    EXPECT_EQ(run.exit_code, 2) << args.size();
    EXPECT_EQ(run.output, usage) << args.size();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << args.size();
  }
}

// A spec whose first character is no mark and whose extension names no
// kind ("xnet.txt") has an unknown mark: no base of any kind is made of it,
// nothing is changed, and the run fails.
TEST(ConvertCommandLineTest, UnknownMarkIsReported) {
  const std::string why = "unknown kind of base: a base spec starts with f, p, s or j\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"xnet.txt", "sarea"}, "can't open source base: [xnet.txt]\n" + why},
      {{"pmail.pkt", "xarea.txt"},
       "source base opened\ncan't open destination base: [xarea.txt]\n" + why},
  };
  for (const auto& [args, outcome] : cases) {
    TempDir dir;
    WriteMessages(dir / "mail.pkt", AllMessages());
    const auto before = SnapshotTree(dir.path());
    ProgramResult run = ConvertIn(dir.path(), args);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.output, std::string(kBanner) + "source base: [" + args[0] +
                              "]\ndestination base: [" + args[1] + "]\n\n" + outcome);
    EXPECT_EQ(SnapshotTree(dir.path()), before);
  }
}

// A destination that another program holds open can not be opened; it is
// neither created anew nor changed, and the line after the refusal names
// the first file found held.  (A Fido directory has no file that stays
// open, so it can always be opened.)
class HeldDestinationTest : public ::testing::TestWithParam<const Kind*> {};

TEST_P(HeldDestinationTest, IsReportedAndLeftAlone) {
  TempDir dir;
  const std::string source = SpecOf(kFido, dir / "in", "net");
  const std::string destination = SpecOf(*GetParam(), dir / "out", "area");
  const std::string held_file = destination.substr(1) + (GetParam() == &kSquish ? ".sqd"
                                                         : GetParam() == &kJam  ? ".jdx"
                                                                                : "");
  WriteMessages(source, AllMessages());
  WriteMessages(destination, {3, 4});
  const auto before = SnapshotTree(dir / "out");
  {
    std::unique_ptr<MessageBase> holder = OpenBase(destination);
    ASSERT_TRUE(holder);
    ProgramResult run = Convert(source, destination);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.output, std::string(kBanner) + "source base: [" + source +
                              "]\ndestination base: [" + destination +
                              "]\n\nsource base opened\ncan't open destination base: [" +
                              destination + "]\nheld by another program: [" + held_file + "]\n");
  }
  EXPECT_EQ(SnapshotTree(dir / "out"), before);
}

INSTANTIATE_TEST_SUITE_P(IndexedAndPacket, HeldDestinationTest,
                         ::testing::Values(&kPacket, &kSquish, &kJam), ParamName<Kind>);

class ConvertKindTest : public ::testing::TestWithParam<const Kind*> {
 protected:
  const Kind& kind() const { return *GetParam(); }
  TempDir dir_;
};

// The copies follow the messages the destination held, numbered M+1...,
// in source order; the messages that were there stay as they were.
TEST_P(ConvertKindTest, AppendsBehindTheMessagesThere) {
  const std::string source = SpecOf(kSquish, dir_ / "in", "area");
  const std::string destination = SpecOf(kind(), dir_ / "out", "area");
  WriteMessages(source, AllMessages());
  WriteMessages(destination, {4, 1});
  const std::vector<std::string> before = DumpAll(destination);

  ProgramResult run = Convert(source, destination);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, CopyOutput(source, destination, kMessageCount, 2));
  std::vector<std::string> after = DumpAll(destination);
  ASSERT_EQ(after.size(), 2u + kMessageCount);
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[1], before[1]);
  for (int n = 1; n <= kMessageCount; ++n) {
    ExpectCopied(source, n, kind(), destination, 2 + n, !HasOwnMsgid(n));
  }
  if (kind().mark == 'j') {
    // JAM stores the number each message was written under.
    std::unique_ptr<MessageBase> base = OpenBase(destination);
    for (int32_t n = 1; n <= base->count(); ++n) {
      MessageRecord r;
      ASSERT_TRUE(base->ReadMessage(n, r));
      EXPECT_EQ(r.stored_number, static_cast<uint32_t>(n));
    }
  }
}

// An empty source: the totals, "#0", and a destination that is not touched
// at all.  (A missing source is not created: see the run outcome tests.)
TEST_P(ConvertKindTest, EmptySourceCopiesNothing) {
  const std::string destination = SpecOf(kind(), dir_ / "out", "area");
  WriteMessages(destination, {1, 2});
  const auto before = SnapshotTree(dir_ / "out");
  const std::string source = SpecOf(kind(), dir_ / "empty", "area");
  WriteMessages(source, {});

  ProgramResult run = Convert(source, destination);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, CopyOutput(source, destination, 0, 2));
  EXPECT_EQ(SnapshotTree(dir_ / "out"), before);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, ConvertKindTest, ::testing::ValuesIn(kAllKinds),
                         ParamName<Kind>);

// ---------------------------------------------------------------------------
// Stopping.

// Escape, or any other byte, waiting on standard input stops the run before
// the first message: "terminated!" over the counter, exit 0, nothing copied.
TEST(ConvertStopTest, KeyWaitingAtTheStartStopsBeforeTheFirstMessage) {
  for (const std::string key : {"\x1b", "q"}) {
    TempDir dir;
    const std::string source = SpecOf(kPacket, dir.path(), "in");
    const std::string destination = SpecOf(kSquish, dir.path(), "out");
    WriteMessages(source, AllMessages());
    WriteMessages(destination, {3});
    const auto before = SnapshotTree(dir.path());
    ProgramOptions options;
    options.input = key;
    ProgramResult run = Convert(source, destination, options);
    EXPECT_EQ(run.exit_code, 0) << Printable(key);
    EXPECT_EQ(run.output, StoppedOutput(source, destination, kMessageCount, 1)) << Printable(key);
    EXPECT_EQ(SnapshotTree(dir.path()), before) << Printable(key);
  }
}

enum class StopBy { kEscape, kSigterm };

struct StopCase {
  StopBy by;
  const Kind* source;  // copied into a *.msg directory
};

class ConvertStopMidwayTest : public ::testing::TestWithParam<StopCase> {};

// Stopped while copying, by Escape on standard input or by SIGTERM: the
// program ends with "terminated!" and exit 0 (for SIGTERM 128 + 15, so that
// a script sees the copy unfinished), and every message it wrote is whole
// and readable.  A Squish source is read ahead of the writing.
TEST_P(ConvertStopMidwayTest, KeepsEveryMessageWrittenSoFar) {
  constexpr int kTotal = 1000;  // the stop arrives a few messages in, long before the end
  const StopCase& c = GetParam();
  TempDir dir;
  const std::string source = c.source->mark + (dir / "in");
  if (c.source == &kFido) {
    WriteManyFidoMessages(dir / "in", kTotal);
  } else {
    WriteMessages(source, std::vector<int>(kTotal, 1));
  }
  const std::string destination = "f" + (dir / "out");
  ProgramOptions options;
  options.keep_input_open = true;
  RunningProgram running = StartProgram(ProgramPath("Quilxfer"), {source, destination}, options);
  ASSERT_GT(running.pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!PathExists(dir / "out/1.msg") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (c.by == StopBy::kEscape) {
    ASSERT_EQ(write(running.input_fd, "\x1b", 1), 1);
  } else {
    ASSERT_EQ(kill(running.pid, SIGTERM), 0);
  }
  ProgramResult run = Finish(running);

  EXPECT_EQ(run.exit_code, c.by == StopBy::kEscape ? 0 : 128 + SIGTERM);
  EXPECT_EQ(run.output, StoppedOutput(source, destination, kTotal, 0));
  std::unique_ptr<MessageBase> original = OpenBase(source);
  std::unique_ptr<MessageBase> copy = OpenBase(destination);
  ASSERT_TRUE(original && copy);
  EXPECT_GE(copy->count(), 1);
  EXPECT_LT(copy->count(), kTotal);
  for (int32_t n = 1; n <= copy->count(); ++n) ExpectCopied(*original, n, kFido, *copy, n, false);
}

INSTANTIATE_TEST_SUITE_P(
    EscapeAndSigterm, ConvertStopMidwayTest,
    ::testing::Values(StopCase{StopBy::kEscape, &kFido}, StopCase{StopBy::kSigterm, &kFido},
                      StopCase{StopBy::kEscape, &kSquish}, StopCase{StopBy::kSigterm, &kSquish}),
    [](const ::testing::TestParamInfo<StopCase>& info) {
      return std::string(info.param.by == StopBy::kEscape ? "Escape" : "Sigterm") + "From" +
             info.param.source->name;
    });

// ---------------------------------------------------------------------------
// A destination that can not be written.

// The counter shown when a run reported a write failure, 0 when its output
// does not end that way.
int FailedAtCounter(const std::string& output, const std::string& destination) {
  const std::string ending = "\ncan't write destination base: [" + destination + "]\n";
  const size_t hash = output.rfind("coping message... #");
  if (!output.ends_with(ending) || hash == std::string::npos) return 0;
  return std::stoi(output.substr(hash + 19));
}

// Messages that grow: message k has a body of 200 * k bytes, so each kind
// reaches a file-size limit a few messages in.
void WriteGrowingMessages(const std::string& spec, int count) {
  std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, spec);
  ASSERT_TRUE(base);
  for (int k = 1; k <= count; ++k) {
    MessageRecord r;
    BuildMessage(4, r);
    r.subject = "Growing " + std::to_string(k);
    r.body.Truncate();
    r.body.Write(std::string(200 * k, 'a' + k % 26) + "\r");
    r.body.Seek(0);
    ASSERT_TRUE(base->WriteMessage(base->count() + 1, r));
  }
  ASSERT_TRUE(base->Close());
}

// With a file-size limit the destination's files can grow only so far: the
// run stops at the message that did not fit with "can't write destination
// base" on its own line and exit 1, and the destination holds exactly the
// messages copied before, whole and readable.
TEST_P(ConvertKindTest, StopsAtAWriteThatFailsAndKeepsWhatWasWritten) {
  constexpr int kTotal = 30;
  const std::string source = SpecOf(kSquish, dir_ / "in", "area");
  const std::string destination = SpecOf(kind(), dir_ / "out", "area");
  WriteGrowingMessages(source, kTotal);
  const auto source_files = SnapshotTree(dir_ / "in");
  ProgramOptions options;
  options.file_size_limit = 4096;
  ProgramResult run = Convert(source, destination, options);

  EXPECT_EQ(run.exit_code, 1) << run.output;
  const int failed_at = FailedAtCounter(run.output, destination);
  ASSERT_GT(failed_at, 1) << run.output;
  ASSERT_LT(failed_at, kTotal) << run.output;
  const std::string copied = CopyOutput(source, destination, kTotal, 0);
  EXPECT_EQ(run.output, copied.substr(0, copied.rfind('#')) + "#" + std::to_string(failed_at) +
                            "\ncan't write destination base: [" + destination + "]\n");
  EXPECT_EQ(SnapshotTree(dir_ / "in"), source_files);
  std::unique_ptr<MessageBase> copy = OpenBase(destination);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->count(), failed_at - 1);
  copy.reset();
  for (int n = 1; n < failed_at; ++n) ExpectCopied(source, n, kind(), destination, n, false);
}

// A Fido directory where no file can be created: the first write fails.
// (Run as an unprivileged user: the superuser writes into read-only
// directories.)
TEST(ConvertWriteFailureTest, ReadOnlyFidoDirectoryStopsAtTheFirstMessage) {
  if (!CanRunUnprivileged()) GTEST_SKIP() << "can not run as an unprivileged user here";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string source = SpecOf(kPacket, dir.path(), "in");
  const std::string destination = SpecOf(kFido, dir.path(), "out");
  WriteMessages(source, AllMessages());
  WriteMessages(destination, {3});
  const auto before = SnapshotTree(dir / "out");
  ASSERT_EQ(chmod((dir / "out").c_str(), 0555), 0);
  ProgramOptions options;
  options.unprivileged = true;
  ProgramResult run = Convert(source, destination, options);
  chmod((dir / "out").c_str(), 0755);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(FailedAtCounter(run.output, destination), 1) << run.output;
  EXPECT_EQ(SnapshotTree(dir / "out"), before);
}

// A destination that holds as many messages as can be numbered (files that
// claim more are read as that many): the first append fails, nothing in the
// destination changes and no count overflows.  The files are made large by
// holes, so they cost no space.
TEST(ConvertWriteFailureTest, FullDestinationStopsAtTheFirstMessage) {
  struct Full {
    const Kind* kind;
    std::function<void(const std::string& path)> fill;  // path of the base, no mark
  } const cases[] = {
      {&kFido,
       [](const std::string& p) {
         std::filesystem::copy_file(p + "/1.msg", p + "/2147483646.msg");
         std::filesystem::copy_file(p + "/1.msg", p + "/2147483647.msg");  // no message number
       }},
      {&kSquish,
       [](const std::string& p) {
         PatchFile(p + ".sqd", 4, Le32(0xFFFFFFFF));  // num_msg
         std::filesystem::resize_file(p + ".sqi", uint64_t{0xFFFFFFFF} * 12);
       }},
      {&kJam,
       [](const std::string& p) {
         std::filesystem::resize_file(p + ".jdx", uint64_t{INT32_MAX} * 8);
       }},
  };
  for (const Full& full : cases) {
    SCOPED_TRACE(full.kind->name);
    TempDir dir;
    const std::string source = SpecOf(kPacket, dir.path(), "in");
    const std::string destination = SpecOf(*full.kind, dir / "out", "area");
    WriteMessages(source, {1, 2});
    WriteMessages(destination, {3});
    full.fill(destination.substr(1));
    ASSERT_EQ(CountOf(destination), kMaxMessageCount);
    const auto sizes = [&dir] {
      std::map<std::string, uintmax_t> sizes;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "out")) {
        if (entry.is_regular_file()) sizes[entry.path().string()] = entry.file_size();
      }
      return sizes;
    };
    const auto before = sizes();
    ProgramResult run = Convert(source, destination);
    EXPECT_EQ(run.exit_code, 1) << run.output;
    EXPECT_EQ(FailedAtCounter(run.output, destination), 1) << run.output;
    EXPECT_EQ(sizes(), before);
    EXPECT_EQ(CountOf(destination), kMaxMessageCount);
  }
}

// ---------------------------------------------------------------------------
// Bases that an interrupted sort left behind (the layout is base_rebuild.h's).

// The sort had not yet finished its new base: the new base is removed, the
// destination keeps its messages and the copies follow them.
TEST(ConvertRecoveryTest, UnfinishedSortIsRolledBackFirst) {
  TempDir dir;
  const std::string source = SpecOf(kPacket, dir.path(), "in");
  const std::string destination = SpecOf(kSquish, dir.path(), "area");
  WriteMessages(source, {1, 2});
  WriteMessages(destination, {4});
  const std::vector<std::string> before = DumpAll(destination);
  WriteMessages(SpecOf(kSquish, dir.path(), ".area.quil-sort-s"), {1});
  ProgramResult run = Convert(source, destination);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            CopyOutput(source, destination, 2, 1,
                       "interrupted sort of [" + destination + "] rolled back, base unchanged\n"));
  EXPECT_FALSE(PathExists(dir / ".area.quil-sort-s.sqd"));
  std::vector<std::string> dumps = DumpAll(destination);
  ASSERT_EQ(dumps.size(), 3u);
  EXPECT_EQ(dumps[0], before[0]);
  ExpectCopied(source, 1, kSquish, destination, 2, false);
  ExpectCopied(source, 2, kSquish, destination, 3, false);
}

// Kills a sort of the base `spec` in `directory` inside its write-back:
// after the commit point, its journal `journal` in place (the first such
// point).  The directory is as it was before the sort when no kill point
// lands there.
bool KillSortInWriteBack(const std::string& directory, const std::string& spec,
                         const std::string& journal) {
  const auto files = SnapshotTree(directory);
  for (int k = 1;; ++k) {
    EXPECT_TRUE(RestoreTree(directory, files));
    ProgramResult run = RunProgram(ProgramPath("Quilord"), {spec}, {}, {},
                                   {"QUIL_TEST_KILL_AFTER_WRITES=" + std::to_string(k)});
    if (PathExists(journal)) return true;
    if (run.exit_code != 128 + 9) break;  // the run outlived every point
  }
  EXPECT_TRUE(RestoreTree(directory, files));
  return false;
}

// The sort had committed its new base and was killed writing it back: the
// write-back is finished, and the copies follow the sorted messages.
TEST(ConvertRecoveryTest, CommittedSortIsCompletedFirst) {
  TempDir dir, reference;
  const std::string source = SpecOf(kPacket, dir.path(), "in");
  const std::string destination = SpecOf(kJam, dir.path(), "area");
  WriteMessages(source, {1, 2});
  WriteMessages(destination, {4, 2});
  const std::string sorted = SpecOf(kJam, reference.path(), "area");
  WriteMessages(sorted, {4, 2});
  ASSERT_EQ(RunProgram(ProgramPath("Quilord"), {sorted}).exit_code, 0);
  const std::vector<std::string> sorted_dumps = DumpAll(sorted);
  ASSERT_TRUE(KillSortInWriteBack(dir.path(), destination, dir / ".area.quil-sort-j.ready"));
  ProgramResult run = Convert(source, destination);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, CopyOutput(source, destination, 2, 2,
                                   "interrupted sort of [" + destination + "] completed\n"));
  EXPECT_FALSE(PathExists(dir / ".area.quil-sort-j.ready"));
  EXPECT_FALSE(PathExists(dir / ".area.quil-sort-j.jhr"));
  std::vector<std::string> dumps = DumpAll(destination);
  ASSERT_EQ(dumps.size(), 4u);
  EXPECT_EQ(dumps[0], sorted_dumps[0]);
  EXPECT_EQ(dumps[1], sorted_dumps[1]);
  ExpectCopied(source, 1, kJam, destination, 3, false);
  ExpectCopied(source, 2, kJam, destination, 4, false);
}

// A committed sort whose write-back can not be finished (a directory
// stands where a file of the base has to be): neither program uses the
// base, so nothing is appended that the finished write-back would drop.
TEST(ConvertRecoveryTest, AWriteBackThatCanNotBeFinishedKeepsBothProgramsOff) {
  TempDir dir;
  const std::string source = SpecOf(kPacket, dir.path(), "in");
  const std::string destination = SpecOf(kSquish, dir.path(), "area");
  WriteMessages(source, {1});
  WriteMessages(destination, {4, 2});
  ASSERT_TRUE(KillSortInWriteBack(dir.path(), destination, dir / ".area.quil-sort-s.ready"));
  ASSERT_TRUE(std::filesystem::remove(dir / "area.sqd"));
  ASSERT_TRUE(std::filesystem::create_directory(dir / "area.sqd"));
  ProgramResult run = Convert(source, destination);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.output.find("interrupted sort of [" + destination + "] could not be completed\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("can't open destination base: [" + destination +
                            "]\nan interrupted sort of it could not be finished yet\n"),
            std::string::npos)
      << run.output;
  ProgramResult sort = RunProgram(ProgramPath("Quilord"), {destination});
  EXPECT_NE(sort.output.find("can't open source base: [" + destination + "]\n"), std::string::npos)
      << sort.output;
  EXPECT_TRUE(PathExists(dir / ".area.quil-sort-s.sqd"));  // still there to finish later
}

}  // namespace
}  // namespace quil::testing::convert_e2e
