// Helpers shared by the tests: scratch directories, whole-file access and
// byte patching, directory snapshots, injected write faults, other processes
// that hold a file open or locked, and running the programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/platform.h"

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

// Every file and directory under `directory` (hidden ones and those in
// sub-directories included) by path relative to it: a file with its bytes,
// a directory as "<directory>".
std::map<std::string, std::string> SnapshotTree(const std::string& directory);

// Puts the directory back as a snapshot pictured it: everything in it is
// removed and the snapshot's directories and files made anew.  False when a
// file could not be written.
bool RestoreTree(const std::string& directory, const std::map<std::string, std::string>& snapshot);

// ---------------------------------------------------------------------------
// Byte patching: little-endian fields written out independently of the
// library's codecs, so that a wrong codec can not hide behind its own test.

// The 2 or 4 bytes of `value`, least significant first.
std::string Le16(uint16_t value);
std::string Le32(uint32_t value);

// The 32-bit little-endian field at `offset` of `bytes`; 0, failing the
// test, when `bytes` is too short.
uint32_t Le32At(std::string_view bytes, size_t offset);

// Overwrites the bytes at `offset` of the file with `patch`; fails the test
// (fatally) when the file is too short to hold them.
void PatchFile(const std::string& path, size_t offset, std::string_view patch);

// Where a stored message begins, for tests that damage one on purpose:
// message n (from 1) of a type 2+ packet (its type word), the .sqd frame of
// message n of the Squish base `base_path` (without extension) and the .jhr
// header of message n of the JAM base `base_path`, both found by their index.
size_t PacketMessageStart(std::string_view packet, int n);
uint32_t SquishFrameOffset(const std::string& base_path, int n);
uint32_t JamHeaderOffset(const std::string& base_path, int n);

// Message n of the JAM base `base_path` as its files hold it, read apart
// from the library: the 76-byte message header, the subfields that follow
// it as (id, data) in order, and the text.  The subfields end where the
// header says, or where one would run past the file or into the next
// message header (some writers count their subfields too long).  Fails the
// test when the files are too short for the header or the text.
struct StoredJamMessage {
  std::string header;
  std::vector<std::pair<uint32_t, std::string>> subfields;
  std::string text;

  // The 32-bit header field at `offset` (8 SubfieldLen, 36 DateWritten,
  // 44 DateProcessed, 52 Attribute, 60 TxtOffset, 64 TxtLen, ...).
  uint32_t Field(size_t offset) const { return Le32At(header, offset); }
};
StoredJamMessage ReadStoredJamMessage(const std::string& base_path, int n);

// The stored form of every message 1..count of a base, for checking that a
// rebuild kept each message as it was: a *.msg file; a packed message from
// its type word through its NUL; a Squish frame's clen and the bytes after
// its frame header (message header, control information, text); a JAM
// header with its whole subfields, its text and its index entry's name
// CRC.  The fields a new place may change are blanked out with '#': the
// reply links, the message's own number or unique id, the JAM text offset.
// `mark` is the kind's type mark ('f', 'p', 's' or 'j'), `path` the base's
// path without the mark (the directory of a *.msg base).  A message that is
// not there gives "".
std::vector<std::string> StoredForms(char mark, const std::string& path, int count);

// ---------------------------------------------------------------------------
// Write faults.

// While in scope every file write after the first `successful_writes` fails
// with `error` (a full disk by default).
class WriteFault {
 public:
  explicit WriteFault(int64_t successful_writes, int error = platform::kDiskFull);
  ~WriteFault();
  WriteFault(const WriteFault&) = delete;
  WriteFault& operator=(const WriteFault&) = delete;
};

// The result of `operation` run under a WriteFault(successful_writes).
bool WithWriteFault(int64_t successful_writes, const std::function<bool()>& operation);

// Calls `attempt(n)` for n = 0, 1, 2, ... until it returns true; `attempt`
// is expected to run its operation under a WriteFault(n) and check what a
// failure left behind.  Returns the n of the first success; stops early
// after an attempt that failed the test, and fails it when no attempt below
// `limit` succeeded (returning `limit`).
int FaultsUntilSuccess(int limit, const std::function<bool(int)>& attempt);

// ---------------------------------------------------------------------------
// Other processes holding a file.

// A forked child that opens `path` through the platform layer with `mode`
// (an access and a sharing mode) and holds it open until released.  The
// parent must hold no handle of the file when the child is forked, or the
// child would inherit it and its sharing.
class HeldFile {
 public:
  HeldFile(const std::string& path, uint32_t mode);
  ~HeldFile() { Release(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // The error code of the child's open (0: it holds the file).
  int open_error() const { return open_error_; }
  // Lets the child close the file and end.
  void Release();
  // Ends the child without letting it close anything.
  void Kill();

 private:
  void End(bool kill_first);
  int pid_ = -1;
  int release_ = -1;
  int open_error_ = -1;
};

// A forked child that takes a classic fcntl record lock (F_RDLCK or
// F_WRLCK) on byte 0 of `path`, as other FidoNet programs do while they use
// a base, and holds it until the object goes away.
class ClassicLock {
 public:
  enum Outcome { kTaken, kRefused, kNoFile, kNoChild };
  ClassicLock(const std::string& path, short type);
  ~ClassicLock();
  ClassicLock(const ClassicLock&) = delete;
  ClassicLock& operator=(const ClassicLock&) = delete;

  Outcome outcome() const { return outcome_; }

 private:
  int pid_ = -1;
  int release_ = -1;
  Outcome outcome_ = kNoChild;
};

// The test name of a parameter that points at something with a `name`.
template <typename T>
std::string ParamName(const ::testing::TestParamInfo<const T*>& info) {
  return info.param->name;
}

// What a program run printed and how it ended.
struct ProgramResult {
  int exit_code = -1;  // the exit status, or 128 + the signal that ended it
  std::string output;  // standard output and standard error, interleaved
};

// The path of a program the build made ("Quilxfer", "Quilord").
std::string ProgramPath(std::string_view name);

// The user and group an unprivileged run takes ("nogroup" and "nobody").
inline constexpr int kUnprivilegedId = 65534;

// How to run a program.
struct ProgramOptions {
  std::string input;                     // its whole standard input
  std::string directory;                 // where it runs (empty: here)
  std::vector<std::string> environment;  // "NAME=value" entries added
  long long file_size_limit = -1;        // RLIMIT_FSIZE in bytes, when >= 0
  bool keep_input_open = false;          // StartProgram: leave input_fd open
  std::vector<int> closed_descriptors;   // of 0, 1, 2: closed when it starts
  // Run as kUnprivilegedId, so that file permissions count (the superuser
  // ignores them); see CanRunUnprivileged.  Nothing changes for a test that
  // is not run by the superuser.
  bool unprivileged = false;
};

// True when ProgramOptions::unprivileged works here: the tests do not run
// as the superuser, or it may give up its rights.
bool CanRunUnprivileged();

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
