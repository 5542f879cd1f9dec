#include "runtime/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "child_process.h"
#include "runtime/crash_report.h"
#include "runtime/platform.h"
#include "runtime/run_error.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::ChildProcess;
using testing::Printable;
using testing::RunChild;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---------------------------------------------------------------------------
// Child scenarios

// The sorter's reading phase: a label, a counter redrawn at the saved
// position, the line ended; then a redraw two rows up.
int CounterLine() {
  StartOfRun();
  console::Write("reading message... ");
  console::Flush();
  int column = console::CursorColumn();
  int row = console::CursorRow();
  for (int n = 1; n <= 120; ++n) console::PutText("#" + std::to_string(n), column, row);
  console::WriteLine();
  console::WriteLine("next");
  console::PutText("#9", column, row);
  return 0;
}

// The converter stopped by a key: "terminated!" over the counter, Halt.
int TerminatedOverCounter() {
  StartOfRun();
  console::Write("coping message... ");
  console::PutText("#7", console::CursorColumn(), console::CursorRow());
  console::WriteLine("terminated!");
  Halt(0);
}

// The line model off a terminal.
int Cells() {
  console::WriteLine("abc\rX");
  console::Write("first");
  int row = console::CursorRow();
  console::WriteLine();
  console::PutText("zzz", 1, row);  // that line is out already
  console::WriteLine("a\tb");
  console::Write("x");
  console::PutText("y\x01", 5, console::CursorRow());
  console::WriteLine();
  console::Write("label #12345\b\b\b\b\b\bab");
  console::WriteLine();
  console::Write("tail");  // unfinished when the process ends
  return 0;
}

// "p" for a KeyPressed that is still true when asked again, each key, then
// one mark per KeyPressed after the input ended.
int Keys() {
  std::string report;
  while (console::KeyPressed()) {
    report += console::KeyPressed() ? "p" : "-";
    report += std::to_string(console::ReadKey()) + " ";
  }
  for (int i = 0; i < 3; ++i) report += console::KeyPressed() ? "!" : ".";
  console::WriteLine(report);
  return 0;
}

// Polls like the converter (or, with `poll` false, waits in ReadKey) until a
// key comes, and shows it and the exit status of a run that stops now.
template <bool poll>
int WaitForKey() {
  StartOfRun();
  console::WriteLine("ready");
  for (int i = 0; poll && i < 2000 && !console::KeyPressed(); ++i) Sleep(10);
  int key = console::ReadKey();
  console::WriteLine("key " + std::to_string(key) + (console::KeyPressed() ? " more" : "") +
                     " status " + std::to_string(console::StopExitStatus()));
  return 0;
}

// A progress counter ticked as fast as the loop runs for 450 ms, then shown
// with its final value.
int ThrottledCounter() {
  StartOfRun();
  console::ProgressCounter counter;
  counter.Start("copy ");
  const uint32_t start = platform::TickCount();
  int64_t n = 0;
  while (platform::TickCount() - start < 450) counter.Tick(++n);
  counter.Show(1000000);
  console::WriteLine();
  return 0;
}

int NeverPoll() {
  StartOfRun();
  console::WriteLine("ready");
  Sleep(20000);
  return 0;
}

// Positioned writes near the edges of a 30 x 5 terminal.
int TerminalEdges() {
  StartOfRun();
  console::Write(std::string(25, 'x'));
  int column = console::CursorColumn();
  int row = console::CursorRow();
  console::PutText("#123456789", column, row);  // cut at column 30
  for (int i = 0; i < 5; ++i) console::WriteLine();
  console::PutText("#1", column, row);  // scrolled off: not drawn
  int wrapped_row = console::CursorRow();
  console::Write(std::string(35, 'y'));  // wraps to the next row
  console::PutText("Z", 1, wrapped_row);
  console::PutTextColoured(0x1E, "ab", console::CursorColumn(), console::CursorRow());
  console::WriteLine();
  return 0;
}

// Shows every key until "q", then halts.
int TerminalKeys() {
  StartOfRun();
  console::WriteLine("ready");
  std::string keys;
  for (int key = console::ReadKey(); key != 'q'; key = console::ReadKey()) {
    keys += " " + std::to_string(key);
  }
  console::WriteLine(keys);
  Halt(0);
}

__attribute__((no_sanitize("undefined"))) int FaultAfterKey() {
  StartOfRun();
  console::WriteLine("ready");
  console::ReadKey();
  volatile int* volatile pointer = nullptr;
  return *pointer;
}

int RunErrorAfterKey() {
  StartOfRun();
  console::WriteLine("ready");
  console::ReadKey();
  RunError(kErrorAbstractCall);
}

const std::map<std::string, testing::Scenario> kScenarios = {
    {"counter", CounterLine},
    {"throttled", ThrottledCounter},
    {"terminated", TerminatedOverCounter},
    {"cells", Cells},
    {"keys", Keys},
    {"poll", WaitForKey<true>},
    {"block", WaitForKey<false>},
    {"never_poll", NeverPoll},
    {"edges", TerminalEdges},
    {"terminal_keys", TerminalKeys},
    {"fault", FaultAfterKey},
    {"run_error", RunErrorAfterKey},
};

// ---------------------------------------------------------------------------
// Off a terminal

TEST(ConsolePipeTest, OutputReadsAsTheFinishedScreen) {
  const std::pair<const char*, const char*> cases[] = {
      {"counter", "reading message... #120\nnext\n"},
      {"terminated", "coping message... terminated!\n"},
      {"cells", "Xbc\nfirst\na       b\nx   y?\nlabel ab2345\ntail\n"},
  };
  for (const auto& [scenario, expected] : cases) {
    std::string output;
    EXPECT_EQ(RunChild(scenario, &output), 0) << scenario;
    EXPECT_EQ(output, expected) << Printable(output);
  }
}

// Off a terminal only the final value reaches the output.
TEST(ConsolePipeTest, ProgressCounterEndsWithItsFinalValue) {
  std::string output;
  EXPECT_EQ(RunChild("throttled", &output), 0);
  EXPECT_EQ(output, "copy #1000000\n");
}

TEST(KeyboardPipeTest, EveryByteIsAKeyAndTheEndIsNone) {
  std::string output;
  EXPECT_EQ(RunChild("keys", &output, std::string("a\x1b\0\x1b[A", 6)), 0);
  EXPECT_EQ(output, "p97 p27 p0 p27 p91 p65 ...\n");
  EXPECT_EQ(RunChild("keys", &output), 0);  // empty, closed input
  EXPECT_EQ(output, "...\n");
}

// A stop signal is an Escape; the run it stops then ends with 128 + its
// number, while a key leaves the status at 0.
TEST(KeyboardPipeTest, StopSignalsArriveAsOneEscape) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ChildProcess child("poll", ChildProcess::Mode::kPipes);
    ASSERT_TRUE(child.ReadUntil("ready\n"));
    child.Signal(sig);
    EXPECT_EQ(child.Wait(), 0) << sig;
    EXPECT_EQ(child.output(), "ready\nkey 27 status " + std::to_string(128 + sig) + "\n");
  }
  // A ReadKey that waits, with standard input at its end, wakes up too.
  ChildProcess child("block", ChildProcess::Mode::kPipes);
  child.CloseInput();
  ASSERT_TRUE(child.ReadUntil("ready\n"));
  Sleep(100);
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.output(), "ready\nkey 27 status 143\n");
  std::string output;
  EXPECT_EQ(RunChild("poll", &output, "\x1b"), 0);
  EXPECT_EQ(output, "ready\nkey 27 status 0\n");
}

TEST(KeyboardPipeTest, SecondStopSignalBeforeTheFirstIsSeenEndsTheProgram) {
  // SIGINT first: when both are pending at once the lower number is
  // delivered first, so SIGTERM is the second either way.
  ChildProcess child("never_poll", ChildProcess::Mode::kPipes);
  ASSERT_TRUE(child.ReadUntil("ready\n"));
  child.Signal(SIGINT);
  Sleep(50);
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(), 128 + SIGTERM);
}

// ---------------------------------------------------------------------------
// On a terminal

constexpr tcflag_t kCookedModes = ICANON | ECHO;

// A positioned write: save the cursor, move, write, restore the cursor.
std::string InPlace(const std::string& move, const std::string& text) {
  return "\0337" + move + text + "\0338";
}

TEST(ConsoleTerminalTest, CounterIsRedrawnInPlaceWithoutMovingTheCursor) {
  ChildProcess child("counter", ChildProcess::Mode::kTerminal);
  EXPECT_EQ(child.Wait(), 0);
  std::string expected = "reading message... ";
  for (int n = 1; n <= 120; ++n) expected += InPlace("\x1b[20G", "#" + std::to_string(n));
  expected += "\r\nnext\r\n" + InPlace("\x1b[2A\x1b[20G", "#9");
  EXPECT_EQ(child.output(), expected) << Printable(child.output());
}

// A counter ticked thousands of times in 450 ms is drawn at its first tick,
// at most once per 200 ms after it, and once more with its final value.
TEST(ConsoleTerminalTest, ProgressCounterIsRedrawnAtMostEvery200Milliseconds) {
  ChildProcess child("throttled", ChildProcess::Mode::kTerminal);
  EXPECT_EQ(child.Wait(), 0);
  const std::string& output = child.output();
  int redraws = 0;
  for (size_t at = output.find("\0337"); at != std::string::npos;
       at = output.find("\0337", at + 1)) {
    ++redraws;
  }
  EXPECT_GE(redraws, 2) << Printable(output);
  EXPECT_LE(redraws, 4) << Printable(output);
  EXPECT_TRUE(output.starts_with("copy " + InPlace("\x1b[6G", "#1"))) << Printable(output);
  EXPECT_TRUE(output.ends_with(InPlace("\x1b[6G", "#1000000") + "\r\n")) << Printable(output);
}

TEST(ConsoleTerminalTest, PositionedWritesAreClippedAndSkippedAtTheEdges) {
  ChildProcess child("edges", ChildProcess::Mode::kTerminal, 30, 5);
  EXPECT_EQ(child.Wait(), 0);
  std::string expected = std::string(25, 'x') + InPlace("\x1b[26G", "#1234") +
                         "\r\n\r\n\r\n\r\n\r\n" + std::string(35, 'y') +
                         InPlace("\x1b[1A\x1b[1G", "Z") +
                         InPlace("\x1b[6G", "\x1b[0;93;44mab\x1b[0m") + "\r\n";
  EXPECT_EQ(child.output(), expected) << Printable(child.output());
}

TEST(KeyboardTerminalTest, KeysAreDecodedAndTheModesRestored) {
  ChildProcess child("terminal_keys", ChildProcess::Mode::kTerminal);
  ASSERT_TRUE(child.ReadUntil("ready\r\n"));
  EXPECT_EQ(child.LocalModes() & kCookedModes, 0u);
  child.Send("\x1b[A");  // Up
  Sleep(200);
  child.Send("\x1b");  // Escape alone
  Sleep(300);
  child.Send("\x1bOP\x1b[15~\x1b[24~x");  // F1, F5, F12, x
  Sleep(100);
  child.Send("q");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.output(), "ready\r\n 0 72 27 0 59 0 63 0 134 120\r\n")
      << Printable(child.output());
  EXPECT_EQ(child.LocalModes() & kCookedModes, kCookedModes);
}

TEST(KeyboardTerminalTest, ModesAreRestoredAfterCrashesAndStopSignals) {
  const std::pair<const char*, int> cases[] = {
      {"fault", 216}, {"run_error", 211}, {"never_poll", 128 + SIGTERM}};
  for (const auto& [scenario, status] : cases) {
    SCOPED_TRACE(scenario);
    ChildProcess child(scenario, ChildProcess::Mode::kTerminal);
    ASSERT_TRUE(child.ReadUntil("ready\r\n"));
    EXPECT_EQ(child.LocalModes() & kCookedModes, 0u);
    if (status == 128 + SIGTERM) {
      child.Signal(SIGINT);
      Sleep(50);
      child.Signal(SIGTERM);
    } else {
      child.Send("k");
    }
    EXPECT_EQ(child.Wait(), status);
    EXPECT_EQ(child.LocalModes() & kCookedModes, kCookedModes);
  }
}

}  // namespace
}  // namespace quil

int main(int argc, char** argv) {
  return quil::testing::RunTestsOrScenario(argc, argv, quil::kScenarios);
}
