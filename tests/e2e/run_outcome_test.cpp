// End-to-end tests of how a run of either program ends, as cron and scripts
// see it: the exit status and every output line over the ways a run goes
// wrong, and what it leaves on disk.  A base that is only read, or can not
// be opened, stays byte for byte and file for file as it was; a base that
// is not there is not made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "convert_support.h"
#include "sort_support.h"
#include "test_support.h"

namespace quil::testing {
namespace {

using convert_e2e::AllMessages;
using convert_e2e::CopyOutput;
using convert_e2e::CountOf;
using convert_e2e::Kind;
using convert_e2e::WriteManyFidoMessages;
using convert_e2e::WriteMessages;
using Snapshot = std::map<std::string, std::string>;

// The four kinds with the base of each that the cases use, as a spec
// relative to the directory a run starts in.
struct KindBase {
  const Kind* kind;
  std::string spec;  // "fin/area", "pin/area.pkt", ...
  std::string path() const { return spec.substr(1); }
};

std::vector<KindBase> EveryKindIn(const std::string& folder) {
  std::vector<KindBase> bases;
  for (const Kind* kind : convert_e2e::kAllKinds) {
    bases.push_back({kind, std::string(1, kind->mark) + folder + "/area" + kind->suffix});
  }
  return bases;
}

// The files of our own that a base of the library gets beside its data; a
// source without them shows whether reading made them.
void RemoveSideFiles(const std::string& directory) {
  for (const auto& [name, bytes] : SnapshotTree(directory)) {
    if (name.ends_with("lastread.qlr") || name.ends_with(".sql") || name.ends_with(".jqx") ||
        name.ends_with(".jlr")) {
      std::filesystem::remove(directory + "/" + name);
    }
  }
}

// Takes write permission away from everything under `folder` (the folder
// included when `folder_too`).
void MakeReadOnly(const std::string& directory, const std::string& folder, bool folder_too) {
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(directory + "/" + folder)) {
    ASSERT_EQ(chmod(entry.path().c_str(), entry.is_directory() ? 0555 : 0444), 0);
  }
  ASSERT_EQ(chmod((directory + "/" + folder).c_str(), folder_too ? 0555 : 0777), 0);
}

const char kConverter[] = "Quilxfer";
const char kSorter[] = "Quilord";

std::string ConvertHead(const std::string& source, const std::string& destination) {
  return std::string(convert_e2e::kBanner) + "source base: [" + source + "]\ndestination base: [" +
         destination + "]\n\n";
}

std::string SortHead(const std::string& spec) {
  return std::string(sort_e2e::kBanner) + "mode: [sorting all base]\nsource base: [" + spec + "]\n";
}

std::string CantOpen(const std::string& which, const std::string& spec, const std::string& why) {
  return "can't open " + which + " base: [" + spec + "]\n" + why + "\n";
}

struct Case {
  std::string name = {};
  const char* program = nullptr;
  std::vector<std::string> args = {};  // relative to the directory the run starts in
  std::function<void(const TempDir&)> prepare = nullptr;
  ProgramOptions options = {};
  int exit_code = 0;
  std::string output = {};
  // What must be exactly as before the run: a folder of the directory, ""
  // for all of it, nullptr for nothing.
  const char* kept = "";
  // Further checks of what the run left.
  std::function<void(const TempDir&, const Snapshot& before)> check = nullptr;
  // Held (a lock on a base file) while the program runs.
  std::function<std::shared_ptr<void>(const TempDir&)> hold = nullptr;
  // A stop signal sent once `started` exists in the directory: the work
  // is under way.
  int stop_signal = 0;
  const char* started = nullptr;
};

// Runs `c` in a fresh directory and checks everything it says.  Returns
// false when a stop signal came too late to stop the work.
bool RunCase(const Case& c) {
  TempDir dir;
  // An unprivileged run must be able to reach the directory.
  EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
  if (c.prepare) c.prepare(dir);
  if (::testing::Test::HasFatalFailure()) return true;
  const Snapshot before = SnapshotTree(dir.path());
  const std::string kept_folder = c.kept && *c.kept ? dir / c.kept : dir.path();
  const Snapshot kept_before = c.kept ? SnapshotTree(kept_folder) : Snapshot{};
  std::shared_ptr<void> held = c.hold ? c.hold(dir) : nullptr;
  ProgramOptions options = c.options;
  options.directory = dir.path();

  ProgramResult run;
  if (c.stop_signal == 0) {
    run = RunProgram(ProgramPath(c.program), c.args, options);
  } else {
    options.keep_input_open = true;  // so that only the signal can stop it
    RunningProgram running = StartProgram(ProgramPath(c.program), c.args, options);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!PathExists(dir / c.started) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(running.pid, c.stop_signal);
    run = Finish(running);
    if (run.output != c.output && run.output.find("terminated") == std::string::npos) {
      return false;  // the work was over before the signal came
    }
  }
  held.reset();

  EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
  EXPECT_EQ(run.output, c.output);
  if (c.kept) {
    EXPECT_EQ(SnapshotTree(kept_folder), kept_before) << "changed: " << kept_folder;
  }
  if (c.check) c.check(dir, before);
  return true;
}

// The names of the files and folders in the directory are those it had:
// nothing was made, nothing was removed.
void SameNames(const TempDir& dir, const Snapshot& before) {
  EXPECT_EQ(sort_e2e::Names(SnapshotTree(dir.path())), sort_e2e::Names(before));
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const std::string why_missing = "base not found";

  // A source that is not there is reported and not made, whatever its kind;
  // the base the sorter sorts is a source in this sense.
  for (const KindBase& base : EveryKindIn("in")) {
    cases.push_back({.name = std::string("MissingSource") + base.kind->name,
                     .program = kConverter,
                     .args = {base.spec, "jout/area"},
                     .exit_code = 1,
                     .output = ConvertHead(base.spec, "jout/area") +
                               CantOpen("source", base.spec, why_missing)});
    cases.push_back({.name = std::string("MissingSortBase") + base.kind->name,
                     .program = kSorter,
                     .args = {base.spec},
                     .exit_code = 1,
                     .output = SortHead(base.spec) + CantOpen("source", base.spec, why_missing)});
  }

  // Reading writes nothing: no lastread or side file appears in a source
  // that lacks them, and a source the user may only read converts.
  for (const KindBase& base : EveryKindIn("in")) {
    auto write_source = [base](const TempDir& dir) {
      WriteMessages(base.kind->mark + (dir / base.path()), AllMessages());
      RemoveSideFiles(dir / "in");
    };
    auto all_copied = [](const TempDir& dir, const Snapshot&) {
      EXPECT_EQ(CountOf("j" + (dir / "out/area")), convert_e2e::kMessageCount);
    };
    cases.push_back({.name = std::string("SourceIsOnlyRead") + base.kind->name,
                     .program = kConverter,
                     .args = {base.spec, "jout/area"},
                     .prepare = write_source,
                     .output = CopyOutput(base.spec, "jout/area", convert_e2e::kMessageCount, 0),
                     .kept = "in",
                     .check = all_copied});
    Case read_only{.name = std::string("ReadOnlySource") + base.kind->name,
                   .program = kConverter,
                   .args = {base.spec, "jout/area"},
                   .prepare =
                       [write_source](const TempDir& dir) {
                         write_source(dir);
                         MakeReadOnly(dir.path(), "in", true);
                         ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
                         ASSERT_EQ(chmod((dir / "out").c_str(), 0777), 0);
                       },
                   .output = CopyOutput(base.spec, "jout/area", convert_e2e::kMessageCount, 0),
                   .kept = "in",
                   .check = all_copied};
    read_only.options.unprivileged = true;
    cases.push_back(read_only);
  }

  // The sorter writes: a base it may not write is refused, with the file
  // (or, when no lock can be made beside it, the folder) it may not write.
  for (bool folder_too : {false, true}) {
    Case c{
        .name = folder_too ? "ReadOnlyFolderIsNotSorted" : "ReadOnlyBaseIsNotSorted",
        .program = kSorter,
        .args = {"sin/area"},
        .prepare =
            [folder_too](const TempDir& dir) {
              WriteMessages("s" + (dir / "in/area"), AllMessages());
              MakeReadOnly(dir.path(), "in", folder_too);
            },
        .exit_code = 1,
        .output = SortHead("sin/area") + CantOpen("source", "sin/area",
                                                  std::string("permission denied: [") +
                                                      (folder_too ? "in/" : "in/area.sqd") + "]")};
    c.options.unprivileged = true;
    cases.push_back(c);
  }

  // Message files the user may not write, in a folder he may: the sort
  // finds out before it changes anything, and the base stays as it was.
  Case read_only_files{
      .name = "ReadOnlyMessageFilesAreNotSorted",
      .program = kSorter,
      .args = {"fin/area"},
      .prepare =
          [](const TempDir& dir) {
            WriteMessages("f" + (dir / "in/area"), AllMessages());
            MakeReadOnly(dir.path(), "in/area", false);
          },
      .exit_code = 1,
      .output = SortHead("fin/area") + "source base opened\nsource base - total 4\n" +
                "reading message... #4\nwriting message... \ncan't write base: [fin/area], it " +
                "is left as it was\n"};
  read_only_files.options.unprivileged = true;
  cases.push_back(read_only_files);

  // A *.msg directory the user may not list is not taken for an empty one.
  Case unlisted{.name = "UnreadableFidoSource",
                .program = kConverter,
                .args = {"fin/area", "jout/area"},
                .prepare =
                    [](const TempDir& dir) {
                      WriteMessages("f" + (dir / "in/area"), AllMessages());
                      ASSERT_EQ(chmod((dir / "in/area").c_str(), 0311), 0);
                    },
                .exit_code = 1,
                .output = ConvertHead("fin/area", "jout/area") +
                          CantOpen("source", "fin/area", "permission denied: [in/area/]")};
  unlisted.options.unprivileged = true;
  cases.push_back(unlisted);

  // A base copied into itself, under another spelling, letter case or a
  // symbolic link: refused, nothing changes.
  struct Self {
    const Kind* kind;
    std::string source, destination;
  };
  const Self selves[] = {
      {&convert_e2e::kFido, "fin/net", "flink"},
      {&convert_e2e::kPacket, "pin/x.pkt", "PIN/X.PKT"},
      {&convert_e2e::kSquish, "sin/area", "$in/../in/AREA"},
      {&convert_e2e::kJam, "jin/area", "in/area.jdx"},
  };
  for (const Self& self : selves) {
    cases.push_back({.name = std::string("CopyIntoItself") + self.kind->name,
                     .program = kConverter,
                     .args = {self.source, self.destination},
                     .prepare =
                         [self](const TempDir& dir) {
                           WriteMessages(self.source[0] + (dir / self.source.substr(1)),
                                         AllMessages());
                           if (self.kind == &convert_e2e::kFido) {
                             ASSERT_EQ(symlink("in/net", (dir / "link").c_str()), 0);
                           }
                         },
                     .exit_code = 1,
                     .output = ConvertHead(self.source, self.destination) + "source base opened\n" +
                               CantOpen("destination", self.destination, "it is the source base")});
  }

  // A damaged source and one a tosser holds locked: the line after the
  // refusal says which file and what is wrong.
  cases.push_back({.name = "DamagedSource",
                   .program = kConverter,
                   .args = {"sin/area", "jout/area"},
                   .prepare =
                       [](const TempDir& dir) {
                         WriteMessages("s" + (dir / "in/area"), AllMessages());
                         std::filesystem::remove(dir / "in/area.sqi");
                       },
                   .exit_code = 1,
                   .output = ConvertHead("sin/area", "jout/area") +
                             CantOpen("source", "sin/area", "damaged: [in/area.sqi] is missing")});
  for (const char* file : {"area.sqd", "area.jhr"}) {
    const std::string spec = std::string(file).ends_with("sqd") ? "sin/area" : "jin/area";
    cases.push_back(
        {.name = std::string("LockedSource") + (spec[0] == 's' ? "Squish" : "Jam"),
         .program = kConverter,
         .args = {spec, "fout"},
         .prepare = [spec](const TempDir& dir) { WriteMessages(spec[0] + (dir / "in/area"), {1}); },
         .exit_code = 1,
         .output =
             ConvertHead(spec, "fout") +
             CantOpen("source", spec, "held by another program: [in/" + std::string(file) + "]"),
         .hold = [file](const TempDir& dir) -> std::shared_ptr<void> {
           auto lock = std::make_shared<ClassicLock>(dir / ("in/" + std::string(file)), F_WRLCK);
           EXPECT_EQ(lock->outcome(), ClassicLock::kTaken);
           return lock;
         }});
  }

  // Closed standard descriptors: no base file takes their place.  With
  // input closed the copy runs to the end (no base bytes read as keys);
  // with output closed no console text goes into a base, even one that is
  // written.
  auto jam_source = [](const TempDir& dir) {
    WriteMessages("j" + (dir / "in/area"), AllMessages());
  };
  auto copied_to_squish = [](const TempDir& dir, const Snapshot&) {
    EXPECT_EQ(CountOf("s" + (dir / "out/area")), convert_e2e::kMessageCount);
  };
  for (const std::vector<int>& closed :
       {std::vector<int>{0}, std::vector<int>{1, 2}, std::vector<int>{0, 1, 2}}) {
    std::string name = "Closed";
    for (int fd : closed) name += std::to_string(fd);
    Case c{.name = "ConvertWithDescriptors" + name,
           .program = kConverter,
           .args = {"jin/area", "sout/area"},
           .prepare = jam_source,
           .output = closed.size() == 1
                         ? CopyOutput("jin/area", "sout/area", convert_e2e::kMessageCount, 0)
                         : "",
           .kept = "in",
           .check = copied_to_squish};
    c.options.closed_descriptors = closed;
    cases.push_back(c);
  }
  Case sort_closed{.name = "SortWithDescriptorsClosed012",
                   .program = kSorter,
                   .args = {"jin/area"},
                   .prepare = jam_source,
                   .kept = nullptr,
                   .check = [](const TempDir& dir, const Snapshot& before) {
                     SameNames(dir, before);
                     EXPECT_EQ(CountOf("j" + (dir / "in/area")), convert_e2e::kMessageCount);
                     for (const auto& [name, bytes] : SnapshotTree(dir.path())) {
                       EXPECT_EQ(bytes.find("message base sorter"), std::string::npos) << name;
                     }
                   }};
  sort_closed.options.closed_descriptors = {0, 1, 2};
  cases.push_back(sort_closed);

  // A stop signal ends the run as Escape does, with 128 + its number.
  cases.push_back(
      {.name = "ConvertStoppedBySigterm",
       .program = kConverter,
       .args = {"fin/net", "fout"},
       .prepare = [](const TempDir& dir) { WriteManyFidoMessages(dir / "in/net", 1000); },
       .exit_code = 128 + SIGTERM,
       .output = convert_e2e::StoppedOutput("fin/net", "fout", 1000, 0),
       .kept = "in",
       .check =
           [](const TempDir& dir, const Snapshot&) {
             int32_t copied = CountOf("f" + (dir / "out"));
             EXPECT_GE(copied, 1);
             EXPECT_LT(copied, 1000);
           },
       .stop_signal = SIGTERM,
       .started = "out/1.msg"});
  cases.push_back(
      {.name = "SortStoppedBySighup",
       .program = kSorter,
       .args = {"fnet"},
       .prepare = [](const TempDir& dir) { WriteManyFidoMessages(dir / "net", 1000); },
       .exit_code = 128 + SIGHUP,
       .output = SortHead("fnet") +
                 "source base opened\nsource base - total 1000\nreading message... terminated!\n",
       .stop_signal = SIGHUP,
       .started = "net/.quil-sort-f.lock"});

  // A wrong command line: the usage text, status 2.
  cases.push_back(
      {.name = "ConverterUsage",
       .program = kConverter,
       .args = {"fin"},
       .exit_code = 2,
       .output = std::string(convert_e2e::kBanner) +
                 "Usage: Quilxfer source destination\n"
                 "Example: Quilxfer fF:\\Fido\\Netmail\\Share jF:\\Fido\\Base\\Netmail\n"
                 "         Quilxfer sF:\\Fido\\Base\\ fF:\\Fido\\Base\\Test\\\n"
                 "         f - msg (fido), s - squish, j - jam, p - pkt 2.0+\n"});
  cases.push_back({.name = "SorterUsage",
                   .program = kSorter,
                   .args = {"sarea", "/u", "more"},
                   .exit_code = 2,
                   .output = std::string(sort_e2e::kBanner) +
                             "Usage: Quilord <sourcebase> [/u]\n"
                             "Example: Quilord fF:\\Fido\\Netmail\\Share\n"
                             "         Quilord sF:\\Fido\\Base\n"
                             "         f - msg (fido), s - squish, j - jam, p - pkt 2.0+, @ - "
                             "areas.bbs\n"
                             " /u - sort unread messages only\n"});

  // An unmarked base spec on the sorter's command line: the kind by the
  // extension, a *.msg directory without one.
  const int all = convert_e2e::kMessageCount;
  for (const char* spec : {"area.sqd", "echo.JHR", "net"}) {
    cases.push_back({.name = std::string("UnmarkedSpec") + (spec[0] == 'a'   ? "Squish"
                                                            : spec[0] == 'e' ? "Jam"
                                                                             : "Fido"),
                     .program = kSorter,
                     .args = {spec},
                     .prepare =
                         [](const TempDir& dir) {
                           WriteMessages("s" + (dir / "area"), AllMessages());
                           WriteMessages("j" + (dir / "echo"), AllMessages());
                           WriteMessages("f" + (dir / "net"), AllMessages());
                         },
                     .output = std::string(sort_e2e::kBanner) + sort_e2e::SortLines(spec, all, all),
                     .kept = nullptr,
                     .check = SameNames});
  }
  cases.push_back({.name = "UnmarkedSpecMissing",
                   .program = kSorter,
                   .args = {"nosuch"},
                   .exit_code = 1,
                   .output = SortHead("nosuch") + CantOpen("source", "nosuch", why_missing)});

  // Area files: a DOS file ends at Ctrl-Z; a classic AREAS.BBS starts with
  // its system line; a line that fails fails the run once every line was
  // tried.
  struct AreaFile {
    const char* name;
    std::string contents;
    int exit_code;
    std::string output;
  } const area_files[] = {
      {"AreaFileEndsAtCtrlZ", "sarea AREA\r\n\x1a\r\njjunk JUNK\r\n", 0,
       sort_e2e::SortLines("sarea", all, all)},
      {"AreasBbsSystemLine", "Node BBS ! John Sysop\r\nsarea AREA 2:5020/1\r\n", 0,
       sort_e2e::SortLines("sarea", all, all)},
      {"AreaFileLineFails", "snosuch NOSUCH\r\nsarea AREA\r\n", 1,
       "mode: [sorting all base]\nsource base: [snosuch]\n" +
           CantOpen("source", "snosuch", why_missing) + sort_e2e::SortLines("sarea", all, all)},
  };
  for (const AreaFile& area_file : area_files) {
    cases.push_back({.name = area_file.name,
                     .program = kSorter,
                     .args = {"@areas.bbs"},
                     .prepare =
                         [contents = area_file.contents](const TempDir& dir) {
                           WriteMessages("s" + (dir / "area"), AllMessages());
                           ASSERT_TRUE(WriteFileBytes(dir / "areas.bbs", contents));
                         },
                     .exit_code = area_file.exit_code,
                     .output = std::string(sort_e2e::kBanner) + area_file.output,
                     .kept = nullptr,
                     .check = SameNames});
  }
  return cases;
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class RunOutcomeTest : public ::testing::TestWithParam<Case> {};

TEST_P(RunOutcomeTest, ExitStatusOutputAndFilesAreAsPromised) {
  const Case& c = GetParam();
  if (c.options.unprivileged && !CanRunUnprivileged()) {
    GTEST_SKIP() << "can not run as user " << kUnprivilegedId << " here";
  }
  bool landed = false;
  for (int attempt = 0; attempt < 5 && !landed; ++attempt) landed = RunCase(c);
  EXPECT_TRUE(landed) << "the stop signal came after the work every time";
}

INSTANTIATE_TEST_SUITE_P(Cases, RunOutcomeTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace quil::testing
