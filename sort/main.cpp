// Quilord: puts the messages of a message base into order of date written.
//
//   Quilord <base> [/u]     sort one base (/u: only the unread messages,
//                           behind the read ones)
//   Quilord @<areafile>     sort every base an areas.bbs file lists
//
// A base is a base spec; without a type mark its kind is inferred as in an
// area file (a base file's extension, or a *.msg directory).
//
// Exit status: 0 when everything was sorted, or a key stopped the run;
// 1 when a base could not be opened, created or written (from an area file:
// any of its bases, once every line was tried); 2 for a wrong command line;
// 254 when the area file does not exist; 128 + the signal number when
// SIGINT, SIGTERM or SIGHUP stopped the run.
#include <string>
#include <string_view>
#include <vector>

#include "bases/area_file.h"
#include "runtime/console.h"
#include "runtime/crash_report.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/stream.h"
#include "runtime/string_ops.h"
#include "sorter.h"

namespace {

namespace console = quil::console;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitAreaFileMissing = 254;

void PrintUsage() {
  console::WriteLine("Usage: Quilord <sourcebase> [/u]");
  console::WriteLine("Example: Quilord fF:\\Fido\\Netmail\\Share");
  console::WriteLine("         Quilord sF:\\Fido\\Base");
  console::WriteLine("         f - msg (fido), s - squish, j - jam, p - pkt 2.0+, @ - areas.bbs");
  console::WriteLine(" /u - sort unread messages only");
}

// Ends the program after a sort asked to stop: with its failure, or with
// the status of the stop (128 + the signal for a stop signal), or else
// with `status`, what the run has come to so far.
[[noreturn]] void Stop(const quil::SortOutcome& outcome, int status) {
  if (outcome.exit_code != 0) quil::Halt(outcome.exit_code);
  int stop_status = console::StopExitStatus();
  quil::Halt(stop_status != 0 ? stop_status : status);
}

// The base specs the area file `name` lists; false when it can not be read.
bool ReadAreaFile(const std::string& name, std::vector<std::string>* specs) {
  quil::FileStream file(name, quil::platform::kModeRead);
  const int64_t size = file.GetSize();
  if (!file.ok()) return false;
  std::string contents(static_cast<size_t>(size), '\0');
  file.Read(contents.data(), contents.size());
  if (!file.ok()) return false;
  *specs = quil::ParseAreaFile(contents);
  return true;
}

// Sorts, whole, every base an area file lists.  A base that fails does not
// stop the others; the status says whether any failed.
int SortAreaFile(const std::string& name) {
  if (!quil::FileExists(name)) {
    console::WriteLine("areafile: [" + name + "] is NOT found");
    quil::Halt(kExitAreaFileMissing);
  }
  std::vector<std::string> specs;
  if (!ReadAreaFile(name, &specs)) {
    console::WriteLine("can't read areafile: [" + name + "]");
    return kExitFailure;
  }
  int status = 0;
  for (const std::string& spec : specs) {
    quil::SortOutcome outcome = quil::SortBase(spec, quil::SortMode::kAll);
    if (outcome.exit_code != 0) {
      status = kExitFailure;
    } else if (outcome.stop) {
      Stop(outcome, status);
    }
  }
  return status;
}

// The work of one run, by parameter 1; returns the exit status.
// Everything it allocates is given back when it returns, so the memory
// report that follows counts only what was really lost.
int SortBySpec(int argc, char** argv) {
  const std::string spec = quil::Cut(argv[1]);
  if (!spec.empty() && spec[0] == '@') return SortAreaFile(spec.substr(1));
  const bool unread = argc == 3 && quil::UpperCase(argv[2]) == "/U";
  quil::SortOutcome outcome =
      quil::SortBase(spec, unread ? quil::SortMode::kUnread : quil::SortMode::kAll);
  if (outcome.stop) Stop(outcome, 0);
  return outcome.exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  quil::StartOfRun();
  console::WriteLine();
  console::WriteLine("Quilord - message base sorter, v0.04");
  console::WriteLine();
  if (argc < 2 || argc > 3) {
    PrintUsage();
    quil::Halt(kExitUsage);
  }
  const int status = SortBySpec(argc, argv);
  quil::EndOfRunReport();
  return status;
}
