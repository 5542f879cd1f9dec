// The benchmark of `make bench`: speed and memory of both programs on large
// bases, each beside cp of the same bytes, and the hostile files.
//
//   quil_bench [--sizes 10000,100000] [--runs 3] [--only ID,ID...]
//              [--programs DIR] [--scratch DIR] [--results FILE] [--no-hostile]
//   quil_bench --sources DIR [--sizes N]
//
// Sizes default to 10,000 and 100,000 messages; BENCH_BIG=1 in the
// environment adds 1,000,000.  For each size four source bases are made
// through the library (a packet, a JAM base, a Squish base and a *.msg
// directory) of echomail of about 1.5 KB a message, dated newest first (the
// sorter's worst case), every third message marked read.  Then each work is
// run `runs` times as a user runs it, the bases on tmpfs (/dev/shm where it
// exists): the six conversions pkt->jam, jam->squish, squish->jam,
// squish->msg, msg->jam and jam->pkt into a new destination, and sort-all
// and sort-unread of a fresh copy of each source.  For each it takes the
// median wall time, the peak resident memory of the program (getrusage of
// the child), and the median time of cp (cp -r for a directory) of the
// bytes the work produced: the output base, or the sorted base.  A work
// whose program fails, or whose result does not hold every message, is
// reported as failed.
//
// The table goes to standard output and, with the machine's core count and
// load, to the results file (bench/RESULTS.md from `make bench`).  The
// programs are taken from the directory this benchmark lies in, or from
// --programs (to measure an older build in the same conditions).  --only
// runs the works whose ids contain one of the words given (pkt-jam,
// sort-all-msg, ...).  Exits 1 when a work or a hostile file failed.
// --sources only makes the four sources of the first size in DIR
// (source_pkt.pkt, source_jam, source_squish, source_msg) and keeps them, to
// profile the programs on.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bases/base_opener.h"
#include "bench_support.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/platform.h"

namespace {

namespace fs = std::filesystem;
using quil::bench::Median;
using quil::bench::ProgramRun;
using quil::bench::RunProgram;

constexpr double kMiB = 1024.0 * 1024.0;

// The targets of the work, as ratios to cp of the same bytes.
constexpr double kConvertRatio = 2.5;     // between packets, Squish and JAM bases
constexpr double kConvertMsgRatio = 1.2;  // into a *.msg directory
constexpr double kSortRatio = 4.0;        // a packet, Squish or JAM base
constexpr double kSortMsgRatio = 3.0;     // a *.msg directory
constexpr double kConvertMemoryMiB = 16.0;
constexpr double kGrowth = 1.3;  // time per message at 1,000,000 over 100,000
// The ratios are judged from this size on; below it the start of a program
// weighs more than the work.
constexpr int kJudgedFrom = 100000;

// ---------------------------------------------------------------------------
// Bases

const char* KindName(char kind) {
  switch (kind) {
    case 'p':
      return "pkt";
    case 'j':
      return "jam";
    case 's':
      return "squish";
    default:
      return "msg";
  }
}

// The path of a base named `name` of the kind in `dir` (a packet's file, a
// Squish or JAM base's path without extension, a *.msg directory).
std::string BasePath(const std::string& dir, const std::string& name, char kind) {
  return dir + "/" + name + (kind == 'p' ? ".pkt" : "");
}

std::string Spec(char kind, const std::string& path) { return std::string(1, kind) + path; }

// What cp copies of the base: its files, or its directory.
std::vector<std::string> BaseFiles(char kind, const std::string& path) {
  std::vector<std::string> files;
  std::vector<std::string> extensions;
  if (kind == 's') extensions = {".sqd", ".sqi", ".sql"};
  if (kind == 'j') extensions = {".jhr", ".jdt", ".jdx", ".jlr", ".jqx"};
  if (extensions.empty()) return {path};
  for (const std::string& extension : extensions) {
    if (fs::exists(path + extension)) files.push_back(path + extension);
  }
  return files;
}

void RemoveBase(char kind, const std::string& path) {
  std::error_code ignored;
  for (const std::string& file : BaseFiles(kind, path)) fs::remove_all(file, ignored);
}

uintmax_t BaseBytes(char kind, const std::string& path) {
  uintmax_t bytes = 0;
  for (const std::string& file : BaseFiles(kind, path)) {
    if (fs::is_directory(file)) {
      for (const auto& entry : fs::directory_iterator(file)) {
        if (entry.is_regular_file()) bytes += entry.file_size();
      }
    } else {
      bytes += fs::file_size(file);
    }
  }
  return bytes;
}

// The messages a base holds (its count), or -1 when it does not open.
int CountOf(char kind, const std::string& path) {
  auto base = quil::OpenExisting(quil::platform::kDenyNone, Spec(kind, path),
                                 quil::Access::kReadOnly);
  return base ? base->count() : -1;
}

// An echomail message of a realistic size and shape: number n of `total`,
// dated newest first, every third one read.
void FillMessage(quil::MessageRecord& r, int n, int total, std::mt19937& random) {
  r.Clear();
  r.from_name = "Sender " + std::to_string(n % 97);
  r.to_name = n % 7 == 0 ? "Sysop" : "All";
  r.subject = "Subject of message " + std::to_string(n);
  r.date_written = quil::SecondsToDate(quil::DateToSeconds({2001, 1, 1, 0, 0, 0}) +
                                       static_cast<int64_t>(total - n) * 60);
  r.date_arrived = r.date_written;
  r.times_read = n % 3 == 0 ? 1 : 0;
  r.orig_zone = r.dest_zone = 2;
  r.orig_net = r.dest_net = 5020;
  r.orig_node = static_cast<uint16_t>(n % 500);
  r.dest_node = 0;
  r.orig_point = r.dest_point = 0;
  r.msgid = "2:5020/" + std::to_string(r.orig_node) + " " + std::to_string(10000000 + n);
  r.msgid_present = true;
  r.pid = "Bench 1.0";
  r.control_lines.Insert("\x01" "CHRS: CP866 2");
  r.control_lines.Insert("\x01" "TZUTC: 0300");
  r.area = "BENCH.ECHO";
  std::string body;
  const int lines = 10 + static_cast<int>(random() % 61);
  for (int i = 0; i < lines; ++i) body += "Line " + std::to_string(i) + " of a body of some length.\r";
  r.body.Write(body);
  r.tear_line = " Bench";
  r.has_tear_line = true;
  r.origin = "Bench station (2:5020/" + std::to_string(r.orig_node) + ")";
  r.has_origin = true;
  r.seenby_lines.Insert("5020/1 2 3 4 5 6 7 8 9");
  r.path_lines.Insert("5020/1");
}

// Makes the source base of the kind: `total` messages.
bool MakeSource(char kind, const std::string& path, int total) {
  RemoveBase(kind, path);
  auto base = quil::CreateFresh(quil::platform::kDenyWrite, Spec(kind, path));
  if (!base) return false;
  std::mt19937 random(1);
  quil::MessageRecord record;
  for (int n = 1; n <= total; ++n) {
    FillMessage(record, n, total, random);
    if (!base->WriteMessage(base->count() + 1, record)) return false;
  }
  return base->Close();
}

// ---------------------------------------------------------------------------
// Works

struct Work {
  std::string id;     // pkt-jam, sort-all-msg, ...
  std::string label;  // as the table shows it
  char source = 0;
  char destination = 0;  // a conversion's; 0 for a sort
  bool unread = false;
};

std::vector<Work> AllWorks() {
  std::vector<Work> works;
  for (auto [from, to] : {std::pair{'p', 'j'}, {'j', 's'}, {'s', 'j'}, {'s', 'f'}, {'f', 'j'},
                          {'j', 'p'}}) {
    works.push_back({std::string(KindName(from)) + "-" + KindName(to),
                     std::string(KindName(from)) + " → " + KindName(to), from, to, false});
  }
  for (char kind : {'p', 'j', 's', 'f'}) {
    for (bool unread : {false, true}) {
      const std::string mode = unread ? "sort-unread" : "sort-all";
      works.push_back({mode + "-" + KindName(kind), mode + " " + KindName(kind), kind, 0, unread});
    }
  }
  return works;
}

struct Result {
  const Work* work = nullptr;
  int messages = 0;
  double seconds = 0;  // median
  double peak_mib = 0;  // the largest of the runs
  double cp_seconds = 0;  // median
  uintmax_t bytes = 0;  // of what cp copied
  bool failed = false;
  std::string why;  // of a failure

  double ratio() const { return cp_seconds > 0 ? seconds / cp_seconds : 0; }
  double ratio_target() const {
    if (work->destination != 0) return work->destination == 'f' ? kConvertMsgRatio : kConvertRatio;
    return work->source == 'f' ? kSortMsgRatio : kSortRatio;
  }
  double memory_target() const {
    return work->destination != 0 ? kConvertMemoryMiB : 64.0 + messages * 64.0 / kMiB;
  }
  // Every work but a conversion out of a *.msg directory has a ratio
  // target (reading that many files costs about their cp -r, whatever the
  // destination), judged from kJudgedFrom messages on.
  bool ratio_judged() const {
    return messages >= kJudgedFrom && !(work->destination != 0 && work->source == 'f');
  }
  bool met() const {
    // The converter stays under its bound, the sorter within its allowance.
    const bool memory = work->destination != 0 ? peak_mib < memory_target()
                                               : peak_mib <= memory_target();
    return !failed && memory && (!ratio_judged() || ratio() <= ratio_target());
  }
};

struct Options {
  std::vector<int> sizes;
  int runs = 3;
  std::vector<std::string> only;
  std::string programs;
  std::string scratch;
  std::string results;
  std::string sources;
  bool hostile = true;
};

// Runs `program` `runs` times, `prepare` before each run (untimed); the
// median time, the largest peak and false when a run failed.
template <typename Prepare>
bool Measure(const Options& options, const std::string& program,
             const std::vector<std::string>& args, Prepare prepare, double* seconds,
             double* peak_mib, std::string* why) {
  std::vector<double> times;
  *peak_mib = 0;
  for (int run = 0; run < options.runs; ++run) {
    if (!prepare()) {
      *why = "could not prepare the run";
      return false;
    }
    malloc_trim(0);  // a forked child starts out as large as this process
    ProgramRun result = RunProgram(program, args);
    if (result.exit_code != 0) {
      *why = program + " exited with " + std::to_string(result.exit_code);
      return false;
    }
    times.push_back(result.seconds);
    *peak_mib = std::max(*peak_mib, result.peak_kb / 1024.0);
  }
  *seconds = Median(times);
  return true;
}

// The median time of cp (cp -r for a directory) of `files` into an empty
// directory `into`.
double MeasureCopy(const Options& options, char kind, const std::vector<std::string>& files,
                   const std::string& into) {
  std::vector<std::string> args;
  if (kind == 'f') args.push_back("-r");
  args.insert(args.end(), files.begin(), files.end());
  args.push_back(into + "/");
  std::vector<double> times;
  for (int run = 0; run < options.runs; ++run) {
    fs::remove_all(into);
    fs::create_directories(into);
    times.push_back(RunProgram("cp", args).seconds);
  }
  fs::remove_all(into);
  return Median(times);
}

Result RunWork(const Options& options, const Work& work, const std::string& dir,
               const std::string& source, int messages) {
  Result result;
  result.work = &work;
  result.messages = messages;
  const std::string copies = dir + "/cp";
  char kind = 0;
  std::string output;
  bool ran = false;
  if (work.destination != 0) {
    kind = work.destination;
    output = BasePath(dir, "out", kind);
    ran = Measure(
        options, options.programs + "/Quilxfer", {Spec(work.source, source), Spec(kind, output)},
        [&] {
          RemoveBase(kind, output);
          return true;
        },
        &result.seconds, &result.peak_mib, &result.why);
  } else {
    kind = work.source;
    output = BasePath(dir, "sorted", kind);
    std::vector<std::string> args{Spec(kind, output)};
    if (work.unread) args.push_back("/u");
    ran = Measure(
        options, options.programs + "/Quilord", args,
        [&] {
          // Every run sorts the unsorted base: a sorted one is left as it is.
          RemoveBase(kind, output);
          std::vector<std::string> cp_args{"-r"};
          for (const std::string& file : BaseFiles(kind, source)) {
            cp_args.push_back(file);
            cp_args.push_back(output + file.substr(source.size()));
            if (RunProgram("cp", cp_args).exit_code != 0) return false;
            cp_args.resize(1);
          }
          return true;
        },
        &result.seconds, &result.peak_mib, &result.why);
  }
  if (ran && CountOf(kind, output) != messages) {
    ran = false;
    result.why = "the result holds " + std::to_string(CountOf(kind, output)) + " messages";
  }
  if (ran) {
    result.bytes = BaseBytes(kind, output);
    result.cp_seconds = MeasureCopy(options, kind, BaseFiles(kind, output), copies);
  }
  result.failed = !ran;
  RemoveBase(kind, output);
  return result;
}

// ---------------------------------------------------------------------------
// The table

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string WithThousands(long long value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

std::string TableHeader() {
  return "| work | messages | time | messages/s | peak memory | cp | ratio to cp | target | |\n"
         "|---|---:|---:|---:|---:|---:|---:|---|---|\n";
}

std::string TableRow(const Result& r) {
  std::ostringstream row;
  row << "| " << r.work->label << " | " << WithThousands(r.messages) << " | ";
  if (r.failed) {
    row << "failed: " << r.why << " | | | | | | failed |\n";
    return row.str();
  }
  row << Format("%.3f s", r.seconds) << " | "
      << WithThousands(static_cast<long long>(r.messages / r.seconds)) << " | "
      << Format("%.1f MiB", r.peak_mib) << " | " << Format("%.3f s", r.cp_seconds) << " | "
      << Format("%.2f×", r.ratio()) << " | "
      << (r.ratio_judged() ? Format("≤ %.1f×", r.ratio_target()) + ", " : std::string())
      << Format(r.work->destination != 0 ? "< %.0f MiB" : "≤ %.1f MiB", r.memory_target())
      << " | " << (r.met() ? "met" : "**missed**") << " |\n";
  return row.str();
}

// Time per message at the largest size over that at 100,000, for every
// work measured at both.
std::string GrowthTable(const std::vector<Result>& results) {
  std::ostringstream table;
  for (const Result& big : results) {
    if (big.failed || big.messages <= kJudgedFrom) continue;
    for (const Result& base : results) {
      if (base.work != big.work || base.messages != kJudgedFrom || base.failed) continue;
      const double growth = (big.seconds / big.messages) / (base.seconds / base.messages);
      if (table.tellp() == 0) {
        table << "| work | µs per message at " << WithThousands(kJudgedFrom) << " | at "
              << WithThousands(big.messages) << " | growth | target | |\n"
              << "|---|---:|---:|---:|---|---|\n";
      }
      table << "| " << big.work->label << " | " << Format("%.2f", base.seconds / base.messages * 1e6)
            << " | " << Format("%.2f", big.seconds / big.messages * 1e6) << " | "
            << Format("%.2f×", growth) << " | " << Format("≤ %.1f×", kGrowth) << " | "
            << (growth <= kGrowth ? "met" : "**missed**") << " |\n";
    }
  }
  return table.str();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one.empty() ? "unknown" : one + " " + five + " " + fifteen;
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
      return line.substr(line.find(':') + 2);
    }
  }
  return "unknown";
}

std::string Today() {
  std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", std::localtime(&now));
  return text;
}

bool Wanted(const Options& options, const Work& work) {
  if (options.only.empty()) return true;
  for (const std::string& word : options.only) {
    if (work.id.find(word) != std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; std::getline(in, word, ',');) {
    if (!word.empty()) words.push_back(word);
  }
  return words;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  options->programs = fs::path(argv[0]).parent_path().string();
  if (options->programs.empty()) options->programs = ".";
  options->scratch = fs::exists("/dev/shm") ? "/dev/shm/quil-bench"
                                            : (fs::temp_directory_path() / "quil-bench").string();
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--no-hostile") {
      options->hostile = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (option == "--sizes") {
      for (const std::string& size : Split(value)) options->sizes.push_back(std::atoi(size.c_str()));
    } else if (option == "--runs") {
      options->runs = std::max(1, std::atoi(value.c_str()));
    } else if (option == "--only") {
      options->only = Split(value);
    } else if (option == "--programs") {
      options->programs = value;
    } else if (option == "--scratch") {
      options->scratch = value;
    } else if (option == "--results") {
      options->results = value;
    } else if (option == "--sources") {
      options->sources = value;
    } else {
      return false;
    }
  }
  if (options->sizes.empty()) {
    options->sizes = {10000, 100000};
    const char* big = std::getenv("BENCH_BIG");
    if (big != nullptr && std::string(big) == "1") options->sizes.push_back(1000000);
  }
  for (int size : options->sizes) {
    if (size < 1) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: quil_bench [--sizes N,N...] [--runs R] [--only ID,...] "
                 "[--programs DIR] [--scratch DIR] [--results FILE] [--no-hostile]\n"
                 "       quil_bench --sources DIR [--sizes N]\n");
    return 2;
  }
  if (!options.sources.empty()) {
    fs::create_directories(options.sources);
    for (char kind : {'p', 'j', 's', 'f'}) {
      const std::string path =
          BasePath(options.sources, std::string("source_") + KindName(kind), kind);
      if (!MakeSource(kind, path, options.sizes.front())) return 1;
    }
    return 0;
  }
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  const std::string load_before = LoadAverage();
  std::printf("%ld cores, load %s, bases in %s, programs from %s\n\n", cores, load_before.c_str(),
              options.scratch.c_str(), options.programs.c_str());
  std::printf("%s", TableHeader().c_str());

  const std::vector<Work> works = AllWorks();
  std::vector<Result> results;
  bool all_ok = true;
  std::string message_size;
  for (int size : options.sizes) {
    const std::string dir = options.scratch + "/" + std::to_string(size);
    fs::remove_all(dir);
    fs::create_directories(dir);
    // One source at a time, so that the largest bases fit in memory.
    for (char kind : {'p', 'j', 's', 'f'}) {
      std::vector<const Work*> from_here;
      for (const Work& work : works) {
        if (work.source == kind && Wanted(options, work)) from_here.push_back(&work);
      }
      if (from_here.empty()) continue;
      const std::string source = BasePath(dir, std::string("source_") + KindName(kind), kind);
      if (!MakeSource(kind, source, size)) {
        std::fprintf(stderr, "could not make the %s source of %d messages\n", KindName(kind), size);
        return 1;
      }
      // The packet's size when there is one, else that of the first source.
      if (kind == 'p' || message_size.empty()) {
        static const std::map<char, const char*> kStoredBy = {
            {'p', "a packet"}, {'j', "a JAM base"}, {'s', "a Squish base"}, {'f', "a *.msg file"}};
        message_size = Format("%.0f", static_cast<double>(BaseBytes(kind, source)) / size) +
                       " bytes as " + kStoredBy.at(kind) + " stores them";
      }
      for (const Work* work : from_here) {
        results.push_back(RunWork(options, *work, dir, source, size));
        all_ok = all_ok && !results.back().failed;
        std::printf("%s", TableRow(results.back()).c_str());
        std::fflush(stdout);
      }
      RemoveBase(kind, source);
    }
    fs::remove_all(dir);
  }
  const std::string growth = GrowthTable(results);
  if (!growth.empty()) std::printf("\n%s", growth.c_str());

  std::vector<quil::bench::HostileResult> hostile;
  if (options.hostile) {
    hostile = quil::bench::RunHostileFiles(options.programs + "/Quilxfer",
                                           options.scratch + "/hostile");
  }
  std::ostringstream hostile_table;
  if (!hostile.empty()) {
    hostile_table << "| file | time | peak memory | exit | messages | |\n"
                  << "|---|---:|---:|---:|---:|---|\n";
    for (const auto& h : hostile) {
      hostile_table << "| " << h.name << " | " << Format("%.3f s", h.seconds) << " | "
                    << Format("%.1f MiB", h.peak_mib) << " | " << h.exit_code << " | "
                    << h.messages << " | " << (h.ok ? "met" : "**missed**") << " |\n";
      all_ok = all_ok && h.ok;
    }
    std::printf("\n%s", hostile_table.str().c_str());
  }
  fs::remove_all(options.scratch);
  const std::string load_after = LoadAverage();
  std::printf("\nload at the end %s\n", load_after.c_str());

  if (!options.results.empty()) {
    std::ofstream out(options.results);
    out << "# Speed and memory\n\n"
        << "Measured by `make bench` on " << Today() << ": " << cores << " cores (" << CpuModel()
        << "), bases on tmpfs, load average " << load_before << " at the start and " << load_after
        << " at the end.  Each time is the median of " << options.runs
        << " runs of the program; peak memory is the largest resident set of those runs; cp is "
           "the median time of `cp` (`cp -r` for a *.msg directory) of the bytes the work "
           "produced (the destination, or the sorted base), measured in the same run.  The "
           "messages are echomail of about "
        << message_size
        << ", dated newest first, every third one read.  Ratio "
           "targets are judged from "
        << WithThousands(kJudgedFrom) << " messages on.\n\n"
        << TableHeader();
    for (const Result& r : results) out << TableRow(r);
    if (!growth.empty()) out << "\nGrowth:\n\n" << growth;
    if (!hostile.empty()) {
      out << "\nHostile and damaged files copied by Quilxfer (bar: under 1 s, under 64 MiB, "
             "every message there once):\n\n"
          << hostile_table.str();
    }
  }
  return all_ok ? 0 : 1;
}
