#include "test_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "model/message_record.h"
#include "runtime/coding.h"

namespace quil::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quil-test-XXXXXX";
  if (char* made = mkdtemp(pattern.data())) path_ = made;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  // Make everything removable first: a test may have made files read-only.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::operator/(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFileBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool PathExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

long long FileSizeOf(const std::string& path) {
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<long long>(size);
}

std::string Printable(std::string_view bytes) {
  std::string out;
  char hex[8];
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::map<std::string, std::string> SnapshotTree(const std::string& directory) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    files[std::filesystem::relative(it->path(), directory).string()] =
        it->is_directory() ? std::string("<directory>") : ReadFileBytes(it->path().string());
  }
  return files;
}

std::string Le16(uint16_t value) {
  std::string bytes(2, '\0');
  PutU16LE(reinterpret_cast<uint8_t*>(bytes.data()), value);
  return bytes;
}

std::string Le32(uint32_t value) {
  std::string bytes(4, '\0');
  PutU32LE(reinterpret_cast<uint8_t*>(bytes.data()), value);
  return bytes;
}

uint32_t Le32At(std::string_view bytes, size_t offset) {
  if (offset + 4 > bytes.size()) {
    ADD_FAILURE() << "no 32-bit field at " << offset << " of " << bytes.size() << " bytes";
    return 0;
  }
  return GetU32LE(reinterpret_cast<const uint8_t*>(bytes.data()) + offset);
}

void PatchFile(const std::string& path, size_t offset, std::string_view patch) {
  std::string bytes = ReadFileBytes(path);
  ASSERT_LE(offset + patch.size(), bytes.size()) << path;
  bytes.replace(offset, patch.size(), patch);
  ASSERT_TRUE(WriteFileBytes(path, bytes)) << path;
}

size_t PacketMessageStart(std::string_view packet, int n) {
  constexpr size_t kPacketHeader = 58;
  constexpr size_t kFixedPart = 2 + 32;  // type word and fixed header
  size_t position = kPacketHeader;
  for (int i = 1; i < n; ++i) {
    position += kFixedPart;
    // Past the four NUL-ended fields: to, from, subject, text.
    for (int field = 0; field < 4; ++field) position = packet.find('\0', position) + 1;
  }
  return position;
}

uint32_t SquishFrameOffset(const std::string& base_path, int n) {
  constexpr size_t kIndexRecord = 12;  // frame offset, umsgid, hash
  return Le32At(ReadFileBytes(base_path + ".sqi"), static_cast<size_t>(n - 1) * kIndexRecord);
}

uint32_t JamHeaderOffset(const std::string& base_path, int n) {
  constexpr size_t kIndexEntry = 8;  // name CRC, header offset
  return Le32At(ReadFileBytes(base_path + ".jdx"), static_cast<size_t>(n - 1) * kIndexEntry + 4);
}

WriteFault::WriteFault(int64_t successful_writes, int error) {
  platform::InjectWriteFault(successful_writes, error);
}

WriteFault::~WriteFault() { platform::InjectWriteFault(-1, platform::kOk); }

bool WithWriteFault(int64_t successful_writes, const std::function<bool()>& operation) {
  WriteFault fault(successful_writes);
  return operation();
}

int FaultsUntilSuccess(int limit, const std::function<bool(int)>& attempt) {
  const bool failed_before = ::testing::Test::HasFailure();
  for (int faults = 0; faults < limit; ++faults) {
    SCOPED_TRACE(::testing::Message() << "writes before the fault: " << faults);
    if (attempt(faults)) return faults;
    if (!failed_before && ::testing::Test::HasFailure()) return faults;  // one report is enough
  }
  ADD_FAILURE() << "no attempt succeeded with up to " << limit << " writes";
  return limit;
}

namespace {

// Forks a child that runs `hold`, sends the byte it returns to the parent
// and then waits, holding whatever `hold` opened, until the parent writes to
// or closes the release pipe.  Returns the child's pid (-1 on failure);
// *report gets the child's byte (-1 when none came) and *release the
// parent's end of the release pipe.
template <typename Hold>
int ForkHolder(Hold hold, char* report, int* release) {
  signal(SIGPIPE, SIG_IGN);  // a child that died early must not end the test
  int report_pipe[2], release_pipe[2];
  if (pipe(report_pipe) != 0) return -1;
  if (pipe(release_pipe) != 0) {
    close(report_pipe[0]);
    close(report_pipe[1]);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(report_pipe[0]);
    close(release_pipe[1]);  // so that the end of the test program ends the child too
    char byte = hold();
    if (write(report_pipe[1], &byte, 1) == 1) {
      while (read(release_pipe[0], &byte, 1) == -1 && errno == EINTR) {
      }
    }
    _exit(0);
  }
  close(report_pipe[1]);
  close(release_pipe[0]);
  *release = release_pipe[1];
  if (pid < 0 || read(report_pipe[0], report, 1) != 1) *report = -1;
  close(report_pipe[0]);
  return pid;
}

}  // namespace

HeldFile::HeldFile(const std::string& path, uint32_t mode) {
  char reported = -1;
  pid_ = ForkHolder(
      [&] {
        int error = -1;
        platform::OpenFile(path, mode, &error);
        return static_cast<char>(error);
      },
      &reported, &release_);
  open_error_ = reported;
}

void HeldFile::Release() { End(!(release_ != -1 && write(release_, "x", 1) == 1)); }

void HeldFile::Kill() { End(true); }

void HeldFile::End(bool kill_first) {
  if (pid_ > 0 && kill_first) kill(pid_, SIGKILL);
  if (release_ != -1) close(release_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  release_ = pid_ = -1;
}

ClassicLock::ClassicLock(const std::string& path, short type) {
  char reported = -1;
  pid_ = ForkHolder(
      [&] {
        int fd = open(path.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
        if (fd < 0) return static_cast<char>(kNoFile);
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = 0;
        lock.l_len = 1;
        return static_cast<char>(fcntl(fd, F_SETLK, &lock) == 0 ? kTaken : kRefused);
      },
      &reported, &release_);
  outcome_ = reported >= kTaken && reported <= kNoFile ? static_cast<Outcome>(reported) : kNoChild;
}

ClassicLock::~ClassicLock() {
  if (release_ != -1) close(release_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

std::string ProgramPath(std::string_view name) {
  return std::string(QUIL_BINARY_DIR) + "/" + std::string(name);
}

RunningProgram StartProgram(const std::string& program, const std::vector<std::string>& args,
                            const ProgramOptions& options) {
  RunningProgram running;
  int in[2], out[2];
  if (pipe(in) != 0) return running;
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    return running;
  }
  // The whole input goes into the pipe before the program starts (tests send
  // a few bytes, far less than a pipe holds), so that it is there at the
  // program's first look however the two processes are scheduled.
  signal(SIGPIPE, SIG_IGN);
  if (!options.input.empty()) {
    ssize_t ignored = write(in[1], options.input.data(), options.input.size());
    (void)ignored;
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0) _exit(127);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(127);
    for (const std::string& entry : options.environment) putenv(const_cast<char*>(entry.c_str()));
    if (options.file_size_limit >= 0) {
      rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                   static_cast<rlim_t>(options.file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  // Then the end of the input, so the program sees the bytes and then no
  // more keys.
  if (options.keep_input_open) {
    running.input_fd = in[1];
  } else {
    close(in[1]);
  }
  running.pid = pid;
  running.output_fd = out[0];
  return running;
}

ProgramResult Finish(RunningProgram& running) {
  ProgramResult result;
  if (running.pid < 0) return result;
  if (running.input_fd >= 0) close(running.input_fd);
  char buffer[4096];
  ssize_t n;
  while ((n = read(running.output_fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    result.output.append(buffer, static_cast<size_t>(n));
  }
  close(running.output_fd);
  int status = 0;
  while (waitpid(running.pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  running = RunningProgram();
  return result;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProgramOptions& options) {
  RunningProgram running = StartProgram(program, args, options);
  return Finish(running);
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         std::string_view input, const std::string& directory,
                         const std::vector<std::string>& environment) {
  ProgramOptions options;
  options.input = std::string(input);
  options.directory = directory;
  options.environment = environment;
  return RunProgram(program, args, options);
}

namespace {

std::string DateLine(const DateTime& d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%d-%d %d:%d:%d", d.year, d.month, d.day, d.hour, d.minute,
                d.second);
  return buf;
}

}  // namespace

std::string DumpRecordWithout(MessageRecord& r, std::initializer_list<std::string_view> omit) {
  std::ostringstream out;
  auto field = [&](std::string_view name, const std::string& value) {
    for (std::string_view o : omit) {
      if (o == name) return;
    }
    out << name << ": " << value << "\n";
  };
  auto list = [&](std::string_view name, const StringList& lines) {
    std::string joined;
    for (const std::string& line : lines) joined += "[" + Printable(line) + "]";
    field(name, joined);
  };
  field("from_name", Printable(r.from_name.str()));
  field("to_name", Printable(r.to_name.str()));
  field("subject", Printable(r.subject.str()));
  field("date_text", Printable(r.date_text.str()));
  field("times_read", std::to_string(r.times_read));
  field("date_written", DateLine(r.date_written));
  field("date_arrived", DateLine(r.date_arrived));
  field("reply_to", std::to_string(r.reply_to));
  field("msgid", Printable(r.msgid.str()));
  field("reply", Printable(r.reply.str()));
  field("intl", Printable(r.intl.str()));
  field("pid", Printable(r.pid.str()));
  field("tid", Printable(r.tid.str()));
  field("tear_line", Printable(r.tear_line.str()));
  field("has_tear_line", std::to_string(r.has_tear_line));
  field("origin", Printable(r.origin.str()));
  field("has_origin", std::to_string(r.has_origin));
  field("area", Printable(r.area.str()));
  field("flags", Printable(r.flags.str()));
  field("orig_address", std::to_string(r.orig_zone) + ":" + std::to_string(r.orig_net) + "/" +
                            std::to_string(r.orig_node) + "." + std::to_string(r.orig_point));
  field("dest_address", std::to_string(r.dest_zone) + ":" + std::to_string(r.dest_net) + "/" +
                            std::to_string(r.dest_node) + "." + std::to_string(r.dest_point));
  field("orig_domain", Printable(r.orig_domain.str()));
  field("dest_domain", Printable(r.dest_domain.str()));
  field("cost", std::to_string(r.cost));
  char attr[16];
  std::snprintf(attr, sizeof attr, "%08x", r.attributes);
  field("attributes", attr);
  field("stored_number", std::to_string(r.stored_number));
  field("utc_offset", std::to_string(r.utc_offset));
  std::string replies;
  for (int32_t reply : r.replies) replies += std::to_string(reply) + " ";
  field("replies", replies);
  field("unique_id", std::to_string(r.unique_id));
  std::string flags;
  for (bool f : r.attribute_flags) flags += f ? '1' : '0';
  field("attribute_flags", flags);
  field("msgid_present", std::to_string(r.msgid_present));
  field("intl_present", std::to_string(r.intl_present));
  r.body.Reset();
  field("body", Printable(r.body.Contents()));
  r.body.Seek(0);
  list("routing_lines", r.routing_lines);
  list("control_lines", r.control_lines);
  list("path_lines", r.path_lines);
  list("seenby_lines", r.seenby_lines);
  field("state", std::to_string(r.state));
  return out.str();
}

std::string DumpRecord(MessageRecord& record) { return DumpRecordWithout(record, {}); }

}  // namespace quil::testing
