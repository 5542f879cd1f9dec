// Speed of the four storage formats and of the two programs on large bases.
//
//   bases_bench [messages] [kinds] [directory]   e.g. bases_bench 100000 fpsj
//
// Without a directory the bases go to a scratch directory that is removed
// at the end; a directory given is kept, to look at the bases afterwards.
// For each kind it appends the messages to a new base, reads them all back,
// copies the base into a JAM base with Quilxfer and sorts it with Quilord
// (the messages are written in reverse date order, the sorter's worst case),
// then sorts the sorted base again, and prints the times with the rate in
// messages per second and the sorter's peak memory (its maximum resident
// set, beside what it may hold: 64 MiB plus 64 bytes per message).  The programs
// are taken from the directory this benchmark lies in.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bases/base_opener.h"
#include "bench_support.h"
#include "model/message_record.h"
#include "runtime/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void Report(const char* kind, const char* what, int messages, double seconds) {
  std::printf("%-8s %-22s %8.3f s %10.0f msg/s\n", kind, what, seconds,
              seconds > 0 ? messages / seconds : 0.0);
  std::fflush(stdout);
}

// An echomail message of a realistic size and shape, dated `minutes` after
// the start of 2001.
void FillMessage(quil::MessageRecord& r, int number, int minutes, std::mt19937& random) {
  r.Clear();
  r.from_name = "Sender " + std::to_string(number % 97);
  r.to_name = "All";
  r.subject = "Subject of message " + std::to_string(number);
  r.date_written = quil::SecondsToDate(quil::DateToSeconds({2001, 1, 1, 0, 0, 0}) + minutes * 60LL);
  r.date_arrived = r.date_written;
  r.orig_zone = r.dest_zone = 2;
  r.orig_net = r.dest_net = 5020;
  r.orig_node = static_cast<uint16_t>(number % 500);
  r.dest_node = 0;
  r.orig_point = r.dest_point = 0;
  r.msgid = "2:5020/" + std::to_string(r.orig_node) + " " + std::to_string(10000000 + number);
  r.pid = "Bench 1.0";
  r.control_lines.Insert("\x01" "CHRS: CP866 2");
  r.area = "BENCH.ECHO";
  std::string body;
  int lines = 5 + static_cast<int>(random() % 40);
  for (int i = 0; i < lines; ++i) body += "Line " + std::to_string(i) + " of a body of some length.\r";
  r.body.Write(body);
  r.tear_line = " Bench";
  r.has_tear_line = true;
  r.origin = "Bench station ";
  r.has_origin = true;
  r.seenby_lines.Insert("5020/1 2 3 4 5 6 7 8 9");
  r.path_lines.Insert("5020/1");
}

// Runs `program` and returns its exit status; *peak_kib receives the most
// memory it held at once (its maximum resident set, KiB).
int Run(const std::string& program, const std::vector<std::string>& args,
        long* peak_kib = nullptr) {
  quil::bench::ProgramRun run = quil::bench::RunProgram(program, args);
  if (peak_kib) *peak_kib = run.peak_kb;
  return run.exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  int messages = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::string kinds = argc > 2 ? argv[2] : "fpsj";
  std::string bin = std::filesystem::path(argv[0]).parent_path().string();
  bool keep = argc > 3;
  std::string dir = keep ? std::string(argv[3])
                         : (std::filesystem::temp_directory_path() / "quil-bench").string();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);

  std::printf("%d messages per base, in %s\n", messages, dir.c_str());
  for (char kind : kinds) {
    std::string name = std::string("kind_") + kind;
    std::string spec = kind == 'f' ? std::string(1, kind) + dir + "/" + name
                                   : std::string(1, kind) + dir + "/" + name +
                                         (kind == 'p' ? ".pkt" : "");
    const char* label = kind == 'f' ? "msg" : kind == 'p' ? "packet" : kind == 's' ? "squish" : "jam";
    std::mt19937 random(1);
    {
      auto base = quil::OpenOrCreate(quil::platform::kDenyWrite, spec);
      if (!base) return 1;
      quil::MessageRecord record;
      auto start = Clock::now();
      for (int n = 1; n <= messages; ++n) {
        FillMessage(record, n, messages - n, random);  // newest first
        if (!base->WriteMessage(base->count() + 1, record)) return 1;
      }
      if (!base->Close()) return 1;
      Report(label, "append", messages, Seconds(start));
    }
    {
      auto base = quil::OpenOrCreate(quil::platform::kDenyWrite, spec);
      quil::MessageRecord record;
      auto start = Clock::now();
      int read = 0;
      for (int n = 1; n <= base->count(); ++n) read += base->ReadMessage(n, record) ? 1 : 0;
      Report(label, "read all", read, Seconds(start));
    }
    auto start = Clock::now();
    if (Run(bin + "/Quilxfer", {spec, "j" + dir + "/copy_" + name}) != 0) return 1;
    Report(label, "Quilxfer to jam", messages, Seconds(start));
    start = Clock::now();
    long peak_kib = 0;
    if (Run(bin + "/Quilord", {spec}, &peak_kib) != 0) return 1;
    Report(label, "Quilord (reversed)", messages, Seconds(start));
    // What the sorter may hold: 64 MiB plus 64 bytes per message.
    std::printf("%-8s %-22s %8.1f MiB (at most %.1f MiB)\n", label, "Quilord peak memory",
                peak_kib / 1024.0, 64.0 + messages * 64.0 / (1024 * 1024));
    std::fflush(stdout);
    start = Clock::now();
    if (Run(bin + "/Quilord", {spec}) != 0) return 1;
    Report(label, "Quilord (sorted)", messages, Seconds(start));
  }
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
