// Helpers shared by the tests: scratch directories and whole-file access.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace quil {
class MessageRecord;
}

namespace quil::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

// The whole contents of a file; empty when it can not be read.
std::string ReadFileBytes(const std::string& path);

// Replaces the file's contents; false when it can not be written.
bool WriteFileBytes(const std::string& path, std::string_view bytes);

// True when the path exists (file or directory).
bool PathExists(const std::string& path);

// The size of the file, or -1.
long long FileSizeOf(const std::string& path);

// A readable picture of bytes: printable ASCII as is, others as \xNN.
std::string Printable(std::string_view bytes);

// What a program run printed and how it ended.
struct ProgramResult {
  int exit_code = -1;  // the exit status, or 128 + the signal that ended it
  std::string output;  // standard output and standard error, interleaved
};

// The path of a program the build made ("Quilxfer", "Quilord").
std::string ProgramPath(std::string_view name);

// How to run a program.
struct ProgramOptions {
  std::string input;                     // its whole standard input
  std::string directory;                 // where it runs (empty: here)
  std::vector<std::string> environment;  // "NAME=value" entries added
  long long file_size_limit = -1;        // RLIMIT_FSIZE in bytes, when >= 0
  bool keep_input_open = false;          // StartProgram: leave input_fd open
};

// A program started and not yet waited for.
struct RunningProgram {
  int pid = -1;
  int output_fd = -1;
  int input_fd = -1;  // with keep_input_open: write more keys here
};

// Starts `program` with `args`; Finish waits for its end and collects what
// it printed.  Several programs may run at once.
RunningProgram StartProgram(const std::string& program, const std::vector<std::string>& args,
                            const ProgramOptions& options = {});
ProgramResult Finish(RunningProgram& running);

// Runs `program` with `args` in `directory` (empty: the current one), with
// `input` as its whole standard input, and `environment` entries
// ("NAME=value") added to the environment.  Waits for its end.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         std::string_view input = {}, const std::string& directory = {},
                         const std::vector<std::string>& environment = {});
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProgramOptions& options);

// Every field of a record, one "name: value" line each (body and list
// entries in Printable form), for comparing records in tests.  Reading the
// body leaves its position at 0.
std::string DumpRecord(MessageRecord& record);

// The same without the fields a storage format may legitimately not carry
// or may set on its own; `omit` lists field names to leave out
// (e.g. {"msgid_present", "state"}).
std::string DumpRecordWithout(MessageRecord& record, std::initializer_list<std::string_view> omit);

}  // namespace quil::testing
