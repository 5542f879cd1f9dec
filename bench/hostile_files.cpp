// Hostile and damaged files against the converter: each is made in a scratch
// directory (sparse files cost no space there) and copied by Quilxfer as a
// user would, timed, its peak memory taken, and its copy counted.
//
// The bar for each: under a second, under 64 MiB, and every message that
// is there arrives once (a destination that is full refuses the copy).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bases/base_opener.h"
#include "bench_support.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/platform.h"

namespace {

namespace fs = std::filesystem;

constexpr double kSecondsBar = 1.0;
constexpr long kMemoryBarKb = 64 * 1024;

void Fill(quil::MessageRecord& r, const std::string& subject) {
  r.Clear();
  r.from_name = "Sender";
  r.to_name = "All";
  r.subject = subject;
  r.date_written = {2001, 3, 5, 17, 30, 9};
  r.date_arrived = r.date_written;
  r.orig_zone = r.dest_zone = 2;
  r.orig_net = r.dest_net = 5020;
  r.orig_node = 1;
  r.dest_node = 2;
  r.orig_point = r.dest_point = 0;
  r.msgid = "2:5020/1 12345678";
  r.body.Write(std::string("A line of text.\r"));
}

// Writes the records `fill` makes into a fresh base `spec`.
bool Write(const std::string& spec, int messages,
           const std::function<void(quil::MessageRecord&, int)>& fill) {
  auto base = quil::CreateFresh(quil::platform::kDenyWrite, spec);
  if (!base) return false;
  quil::MessageRecord r;
  for (int n = 1; n <= messages; ++n) {
    fill(r, n);
    if (!base->WriteMessage(base->count() + 1, r)) return false;
  }
  return base->Close();
}

int32_t CountOf(const std::string& spec) {
  auto base = quil::OpenOrCreate(quil::platform::kDenyWrite, spec);
  return base ? base->count() : -1;
}

void AppendBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Case {
  const char* name;
  // Makes the files; returns the source and destination specs.
  std::function<bool(const std::string& dir, std::string* source, std::string* destination)> make;
  int expected_exit;
  int32_t expected_count;  // of the destination afterwards
};

}  // namespace

namespace quil::bench {

std::vector<HostileResult> RunHostileFiles(const std::string& xfer, const std::string& root) {
  // A destination of the kind `mark` holding one message, made full by
  // `fill` (given its path), and a packet of two messages to copy into it.
  auto full_destination = [](char mark, std::function<void(const std::string&)> fill) {
    return [mark, fill](const std::string& dir, std::string* source, std::string* destination) {
      const std::string out = std::string(1, mark) + dir + "/out";
      if (!Write("p" + dir + "/in.pkt", 2, [](quil::MessageRecord& r, int) { Fill(r, "x"); }) ||
          !Write(out, 1, [](quil::MessageRecord& r, int) { Fill(r, "y"); })) {
        return false;
      }
      fill(dir + "/out");
      *source = "p" + dir + "/in.pkt";
      *destination = out;
      return true;
    };
  };

  const std::vector<Case> cases = {
      {"packet round trip, from name 0x02",
       [&](const std::string& dir, std::string* source, std::string* destination) {
         // A packet as other software may write it: an empty to name and
         // the from name 0x02 make the bytes 00 02 00 of a message boundary.
         const std::string packet = dir + "/one.pkt";
         if (!Write("p" + packet, 1, [](quil::MessageRecord& r, int) {
               Fill(r, "Stray boundary");
               r.from_name = "Z";
               r.to_name = "";
             })) {
           return false;
         }
         std::fstream file(packet, std::ios::binary | std::ios::in | std::ios::out);
         std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
         const size_t names = bytes.find(std::string("\0Z\0", 3), 58 + 34);
         if (names == std::string::npos) return false;
         file.seekp(static_cast<std::streamoff>(names + 1));
         file.write("\x02", 1);
         *source = "p" + packet;
         *destination = "f" + dir + "/back";
         return true;
       },
       0, 1},
      {"*.msg destination holding 2147483646.msg",
       full_destination('f',
                        [](const std::string& out) {
                          fs::copy_file(out + "/1.msg", out + "/2147483646.msg");
                        }),
       1, quil::kMaxMessageCount},
      {"Squish destination with a sparse index",
       full_destination('s',
                        [](const std::string& out) {
                          std::fstream sqd(out + ".sqd",
                                           std::ios::binary | std::ios::in | std::ios::out);
                          sqd.seekp(4);
                          sqd.write("\xff\xff\xff\xff", 4);  // num_msg
                          sqd.close();
                          fs::resize_file(out + ".sqi", uint64_t{0xFFFFFFFF} * 12);
                        }),
       1, quil::kMaxMessageCount},
      {"JAM destination with INT32_MAX index entries",
       full_destination('j',
                        [](const std::string& out) {
                          fs::resize_file(out + ".jdx", uint64_t{INT32_MAX} * 8);
                        }),
       1, quil::kMaxMessageCount},
      {"JAM source with INT32_MAX index entries, 5 messages",
       [&](const std::string& dir, std::string* source, std::string* destination) {
         if (!Write("j" + dir + "/in", 5, [](quil::MessageRecord& r, int n) {
               Fill(r, "Message " + std::to_string(n));
             })) {
           return false;
         }
         fs::resize_file(dir + "/in.jdx", uint64_t{INT32_MAX} * 8);
         *source = "j" + dir + "/in";
         *destination = "j" + dir + "/out";
         return true;
       },
       0, 5},
      {"packet message with 100,000 distinct ^A lines",
       [&](const std::string& dir, std::string* source, std::string* destination) {
         if (!Write("p" + dir + "/in.pkt", 1, [](quil::MessageRecord& r, int) {
               Fill(r, "Kludges");
               for (int i = 0; i < 100000; ++i) {
                 r.control_lines.Insert("\x01X-LINE: " + std::to_string(i));
               }
             })) {
           return false;
         }
         *source = "p" + dir + "/in.pkt";
         *destination = "j" + dir + "/out";
         return true;
       },
       0, 1},
      {"packet message with 100,000 SEEN-BY lines",
       [&](const std::string& dir, std::string* source, std::string* destination) {
         if (!Write("p" + dir + "/in.pkt", 1, [](quil::MessageRecord& r, int) {
               Fill(r, "Seen-by");
               r.area = "HOSTILE";
               for (int i = 0; i < 100000; ++i) r.seenby_lines.Insert("5020/" + std::to_string(i));
             })) {
           return false;
         }
         *source = "p" + dir + "/in.pkt";
         *destination = "j" + dir + "/out";
         return true;
       },
       0, 1},
      {"packet with a 4 GB hole in a text, a message behind it",
       [&](const std::string& dir, std::string* source, std::string* destination) {
         const std::string packet = dir + "/in.pkt";
         if (!Write("p" + packet, 2, [](quil::MessageRecord& r, int n) {
               Fill(r, "Message " + std::to_string(n));
             })) {
           return false;
         }
         // Message 3 behind a hole of 4 GB: its bytes are written after
         // the file has been made that long.
         if (!Write("p" + dir + "/third.pkt", 1, [](quil::MessageRecord& r, int) {
               Fill(r, "Behind the hole");
             })) {
           return false;
         }
         std::ifstream in(dir + "/third.pkt", std::ios::binary);
         std::string third((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
         fs::resize_file(packet, fs::file_size(packet) + (uint64_t{4} << 30));
         AppendBytes(packet, std::string(1, '\0') + third.substr(58));  // NUL, then from its type word
         *source = "p" + packet;
         *destination = "j" + dir + "/out";
         return true;
       },
       0, 3},
  };

  std::vector<HostileResult> results;
  for (const Case& c : cases) {
    fs::remove_all(root);
    fs::create_directories(root);
    HostileResult result;
    result.name = c.name;
    std::string source, destination;
    if (c.make(root, &source, &destination)) {
      ProgramRun run = RunProgram(xfer, {source, destination});
      result.seconds = run.seconds;
      result.peak_mib = run.peak_kb / 1024.0;
      result.exit_code = run.exit_code;
      result.messages = CountOf(destination);
      result.ok = run.exit_code == c.expected_exit && result.messages == c.expected_count &&
                  run.seconds < kSecondsBar && run.peak_kb < kMemoryBarKb;
    }
    results.push_back(result);
  }
  fs::remove_all(root);
  return results;
}

}  // namespace quil::bench
