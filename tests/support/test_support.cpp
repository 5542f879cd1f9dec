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
  // The whole input goes into the pipe at once (tests send a few bytes),
  // then its end, so the program sees the bytes and then no more keys.
  signal(SIGPIPE, SIG_IGN);
  if (!options.input.empty()) {
    ssize_t ignored = write(in[1], options.input.data(), options.input.size());
    (void)ignored;
  }
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
