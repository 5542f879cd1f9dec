#include "runtime/crash_report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "runtime/collection.h"
#include "runtime/console.h"
#include "runtime/platform_console.h"
#include "runtime/run_error.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::Printable;
using testing::RunChild;

// Blocks left allocated on purpose; a global keeps each reachable, so that a
// leak checker does not object while the memory report counts it.
char* volatile g_kept = nullptr;
char* volatile g_kept_before_start = nullptr;

struct alignas(64) Wide {
  char bytes[64];
};

// ---------------------------------------------------------------------------
// Child scenarios

// The converter's progress line, not ended.
void CounterLine() {
  console::Write("coping message... ");
  console::PutText("#3", console::CursorColumn(), console::CursorRow());
}

constexpr unsigned kRunErrorLine = __LINE__ + 4;  // the RunError call below
int RaiseAbstractCall() {
  StartOfRun();
  CounterLine();
  RunError(kErrorAbstractCall);
}

__attribute__((no_sanitize("undefined"))) int DivideByZero() {
  StartOfRun();
  CounterLine();
  volatile int dividend = 7;  // volatile: the division really happens
  volatile int zero = 0;
  return dividend / zero;
}

__attribute__((no_sanitize("undefined"))) int DereferenceNull() {
  StartOfRun();
  volatile int* volatile pointer = nullptr;
  return *pointer;
}

int Leak24() {
  g_kept_before_start = new char[100];  // before the baseline: not counted
  StartOfRun();
  g_kept = new char[24];
  EndOfRunReport();
  return 0;
}

int FreeEverything() {
  StartOfRun();
  {
    std::string text(5000, 'x');
    std::vector<int> numbers(1000, 7);
    delete new Wide;
    delete[] new Wide[3];
    delete[] new (std::nothrow) char[10];
    // The console's own buffers grow here; they are not the program's.
    console::Write(text);
    console::WriteLine();
    console::KeyPressed();
  }
  EndOfRunReport();
  console::WriteLine("end");
  return 0;
}

// Twenty exit handlers, each writing its number: more than the room taken
// at library start.
template <int N>
void Mark() {
  platform::WriteStdout("<" + std::to_string(N) + ">");
}
template <int... N>
void AddMarks(std::integer_sequence<int, N...>) {
  (AddExitHandler(Mark<N>), ...);
}
void AddTwentyHandlers() { AddMarks(std::make_integer_sequence<int, 20>()); }

// The report file the parent names in the environment.
constexpr char kReportFileVariable[] = "QUIL_TEST_REPORT_FILE";
void UseReportFile() { SetReportFileName(std::getenv(kReportFileVariable)); }

const std::map<std::string, testing::Scenario> kScenarios = {
    {"abstract", RaiseAbstractCall},
    {"index",
     []() {
       StartOfRun();
       Collection<int> list;
       list.Insert(1);
       return list.At(list.count());
     }},
    {"seven",
     []() -> int {
       StartOfRun();
       RunError(7);
     }},
    {"divide", DivideByZero},
    {"null", DereferenceNull},
    {"bad_alloc",
     []() -> int {
       StartOfRun();
       throw std::bad_alloc();
     }},
    {"throw",
     []() -> int {
       StartOfRun();
       throw 42;
     }},
    {"leak", Leak24},
    {"no_leak", FreeEverything},
    {"halt",
     []() -> int {
       StartOfRun();
       g_kept = new char[8];
       console::Write("partial");
       Halt(3);
     }},
    {"handlers_end",
     []() {
       AddTwentyHandlers();
       StartOfRun();
       console::WriteLine("main");
       EndOfRunReport();
       return 0;
     }},
    {"handlers_halt",
     []() -> int {
       AddTwentyHandlers();
       StartOfRun();
       Halt(4);
     }},
    {"handlers_crash",
     []() -> int {
       AddTwentyHandlers();
       StartOfRun();
       CounterLine();
       RunError(7);
     }},
    {"crash_to_file",
     []() -> int {
       UseReportFile();
       StartOfRun();
       RunError(213);
     }},
    {"leak_to_file",
     []() {
       UseReportFile();
       StartOfRun();
       g_kept = new char[24];
       EndOfRunReport();
       return 0;
     }},
};

// ---------------------------------------------------------------------------
// Tests

const char kStampPattern[] = R"(----- \d\d-\d\d-\d\d, \d\d:\d\d:\d\d)";

TEST(CrashReportTest, EveryKindOfRunTimeErrorGivesTheReport) {
  struct Case {
    const char* scenario;
    int status;
    std::string before;    // the unfinished console line, sent out first
    std::string location;  // pattern after the error number
    const char* text;
  };
  const std::string address = R"( at [0-9a-f]{8}\.)";
  const Case cases[] = {
      {"abstract", 211, "coping message... #3",
       R"( in \[crash_report_test\.cpp\] line #)" + std::to_string(kRunErrorLine) + R"(\.)",
       "call to abstract method."},
      {"index", 213, "", R"( in \[collection\.h\] line #\d+\.)", "collection index out of range."},
      {"seven", 7, "", R"( in \[crash_report_test\.cpp\] line #\d+\.)", "unknown error."},
      {"divide", 200, "coping message... #3", address, "division by zero."},
      {"null", 216, "", address, "general protection fault."},
      {"bad_alloc", 203, "", R"( at 00000000\.)", "heap overflow error."},
      {"throw", 217, "", R"( at 00000000\.)", "unknown error."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    std::string output;
    EXPECT_EQ(RunChild(c.scenario, &output), c.status);
    std::string pattern =
        c.before + "\n" + kStampPattern + "\nhi, i'm excepted with error number " +
        std::to_string(c.status) + c.location +
        "\nidentifier: " + std::regex_replace(c.text, std::regex(R"(\.)"), R"(\.)") +
        "\nbackup your data and report to [^\n]+!\n";
    EXPECT_TRUE(std::regex_match(output, std::regex(pattern))) << Printable(output);
  }
}

TEST(CrashReportTest, StampFieldsHaveTwoDigits) {
  platform::LocalTime when;
  when.year = 2005;
  when.month = 3;
  when.day = 7;
  when.hour = 4;
  when.second = 9;
  EXPECT_EQ(ReportStamp(when), "----- 07-03-05, 04:00:09");
}

TEST(MemoryReportTest, LeakSinceStartOfRunIsReportedExactly) {
  std::string output;
  EXPECT_EQ(RunChild("leak", &output), 0);
  EXPECT_TRUE(std::regex_match(output, std::regex("\n" + std::string(kStampPattern) +
                                                  "\nmemory leak is 24 byte\\(s\\)\\.\n")))
      << Printable(output);
}

TEST(MemoryReportTest, NoReportWhenEverythingWasFreedOrAfterHalt) {
  std::string output;
  EXPECT_EQ(RunChild("no_leak", &output), 0);
  EXPECT_EQ(output, std::string(5000, 'x') + "\nend\n");
  EXPECT_EQ(RunChild("halt", &output), 3);
  EXPECT_EQ(output, "partial\n");
}

TEST(ExitHandlersTest, RunInOrderOnceAtEveryEnd) {
  std::string marks;
  for (int i = 0; i < 20; ++i) marks += "<" + std::to_string(i) + ">";
  std::string output;
  EXPECT_EQ(RunChild("handlers_end", &output), 0);
  EXPECT_EQ(output, "main\n" + marks) << Printable(output);
  EXPECT_EQ(RunChild("handlers_halt", &output), 4);
  EXPECT_EQ(output, marks) << Printable(output);
  // After the console's unfinished line, before the crash report.
  EXPECT_EQ(RunChild("handlers_crash", &output), 7);
  EXPECT_EQ(output.substr(0, output.find("\n----- ")), "coping message... #3" + marks)
      << Printable(output);
  EXPECT_NE(output.find("\nidentifier: unknown error.\n"), std::string::npos) << Printable(output);
}

TEST(ReportFileTest, ReportsAreAppendedToTheNamedFile) {
  testing::TempDir dir;
  const std::string file = dir / "logs/quil/report.log";  // directories made for a crash
  ASSERT_EQ(setenv(kReportFileVariable, file.c_str(), 1), 0);
  std::string output;
  EXPECT_EQ(RunChild("crash_to_file", &output), 213);
  EXPECT_EQ(output, "");
  EXPECT_EQ(RunChild("leak_to_file", &output), 0);
  EXPECT_EQ(output, "");
  const std::string crash = "\n" + std::string(kStampPattern) +
                            "\nhi, i'm excepted with error number 213 in \\[crash_report_test\\.cpp\\]"
                            " line #\\d+\\.\nidentifier: collection index out of range\\."
                            "\nbackup your data and report to [^\n]+!\n";
  const std::string leak =
      "\n" + std::string(kStampPattern) + "\nmemory leak is 24 byte\\(s\\)\\.\n";
  std::string written = testing::ReadFileBytes(file);
  EXPECT_TRUE(std::regex_match(written, std::regex(crash + leak))) << Printable(written);

  // The memory report makes no directories: it goes to standard output.
  const std::string elsewhere = dir / "missing/report.log";
  ASSERT_EQ(setenv(kReportFileVariable, elsewhere.c_str(), 1), 0);
  EXPECT_EQ(RunChild("leak_to_file", &output), 0);
  EXPECT_TRUE(std::regex_match(output, std::regex(leak))) << Printable(output);
  EXPECT_FALSE(platform::FileExists(elsewhere));
  unsetenv(kReportFileVariable);
}

TEST(MemoryReportTest, HeapInUseCountsEveryFormExactly) {
  // Readings back to back, checked afterwards: nothing else allocates between.
  int64_t start = HeapInUse();
  g_kept = new char[24];
  int64_t after_array = HeapInUse();
  Wide* volatile wide = new Wide;  // the over-aligned form
  int64_t after_wide = HeapInUse();
  delete wide;
  delete[] g_kept;
  int64_t end = HeapInUse();
  EXPECT_EQ(after_array - start, 24);
  EXPECT_EQ(after_wide - start, 24 + 64);
  EXPECT_EQ(end, start);
}

}  // namespace
}  // namespace quil

int main(int argc, char** argv) {
  return quil::testing::RunTestsOrScenario(argc, argv, quil::kScenarios);
}
