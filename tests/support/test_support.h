// Helpers shared by the tests: scratch directories and whole-file access.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

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

// Every field of a record, one "name: value" line each (body and list
// entries in Printable form), for comparing records in tests.  Reading the
// body leaves its position at 0.
std::string DumpRecord(MessageRecord& record);

// The same without the fields a storage format may legitimately not carry
// or may set on its own; `omit` lists field names to leave out
// (e.g. {"msgid_present", "state"}).
std::string DumpRecordWithout(MessageRecord& record, std::initializer_list<std::string_view> omit);

}  // namespace quil::testing
