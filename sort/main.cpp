// Quilord: puts the messages of a message base into order of date written.
//
//   Quilord <base> [/u]     sort one base (/u: only the unread messages,
//                           behind the read ones)
//   Quilord @<areafile>     sort every base an areas.bbs file lists
//
// Exit status 0, or 254 when the area file does not exist, or 1 when a
// sorted base could not be written (the original then stays as it was).
#include <string>
#include <string_view>

#include "runtime/console.h"
#include "runtime/crash_report.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/stream.h"
#include "runtime/stream_text.h"
#include "runtime/string_ops.h"
#include "sorter.h"

namespace {

namespace console = quil::console;

constexpr int kExitAreaFileMissing = 254;

void PrintUsage() {
  console::WriteLine("Usage: Quilord <sourcebase> [/u]");
  console::WriteLine("Example: Quilord fF:\\Fido\\Netmail\\Share");
  console::WriteLine("         Quilord sF:\\Fido\\Base");
  console::WriteLine("         f - msg (fido), s - squish, j - jam, p - pkt 2.0+, @ - areas.bbs");
  console::WriteLine(" /u - sort unread messages only");
}

void Finish(const quil::SortOutcome& outcome) {
  if (outcome.stop) quil::Halt(outcome.exit_code);
}

// Sorts, whole, every base an area file lists: the first word of each line,
// comments after ";" and empty lines skipped.
void SortAreaFile(const std::string& name) {
  if (!quil::FileExists(name)) {
    console::WriteLine("areafile: [" + name + "] is NOT found");
    quil::Halt(kExitAreaFileMissing);
  }
  quil::FileStream file(name, quil::platform::kModeRead);
  const int64_t size = file.GetSize();
  while (file.ok() && file.GetPos() < size) {
    std::string line = quil::ReadLine(file);
    size_t comment = line.find(';');
    if (comment != std::string::npos) line.erase(comment);
    if (line.empty()) continue;
    std::string spec = quil::ExtractWord(1, quil::Trim(line, quil::kBlanks), quil::kBlanks);
    Finish(quil::SortBase(spec, quil::SortMode::kAll));
  }
}

// The work of one run, by parameter 1.  Everything it allocates is given
// back when it returns, so the memory report that follows counts only what
// was really lost.
void SortBySpec(int argc, char** argv) {
  const std::string spec = quil::Cut(argv[1]);
  const char first = spec.empty() ? '\0' : quil::UpCase(spec[0]);
  if (first != '\0' && std::string_view("FSJP!$#").find(first) != std::string_view::npos) {
    bool unread = argc == 3 && quil::UpperCase(argv[2]) == "/U";
    Finish(quil::SortBase(spec, unread ? quil::SortMode::kUnread : quil::SortMode::kAll));
  } else if (first == '@') {
    SortAreaFile(spec.substr(1));
  }
}

}  // namespace

int main(int argc, char** argv) {
  quil::StartOfRun();
  console::WriteLine();
  console::WriteLine("Quilord - message base sorter, v0.04");
  console::WriteLine();
  if (argc < 2 || argc > 3) {
    PrintUsage();
    quil::Halt(0);
  }
  SortBySpec(argc, argv);
  quil::EndOfRunReport();
  return 0;
}
