#include "bases/base_opener.h"

#include <initializer_list>
#include <vector>

#include "fido/fido_base.h"
#include "fido/packet_base.h"
#include "indexed/jam_base.h"
#include "indexed/squish_base.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

constexpr std::string_view kMsgMask = "*.msg";

// Canonical marks after upper-casing: '#' is F, '$' is S, '!' is J.
char CanonicalMark(char mark) {
  switch (UpCase(mark)) {
    case 'F':
    case '#':
      return 'F';
    case 'P':
      return 'P';
    case 'S':
    case '$':
      return 'S';
    case 'J':
    case '!':
      return 'J';
    default:
      return 0;
  }
}

// The files whose presence means a base exists: open-or-create never
// creates over them.
std::vector<std::string> DataFiles(char mark, const std::string& path) {
  switch (mark) {
    case 'P':
      return {path};
    case 'S':
      return {path + ".sqd", path + ".sqi"};
    case 'J':
      return {path + ".jhr", path + ".jdt", path + ".jdx"};
    default:
      return {};  // a Fido directory opens whatever it holds
  }
}

// The data files, and for a Fido directory the directory itself: what a
// base consists of.
std::vector<std::string> BaseFiles(char mark, const std::string& path) {
  if (mark != 'F') return DataFiles(mark, path);
  std::string directory = DirectoryPart(path);
  return {directory.empty() ? std::string(".") : directory};
}

bool BaseExistsAt(char mark, const std::string& path) {
  for (const std::string& file : BaseFiles(mark, path)) {
    if (mark == 'F' ? DirectoryExists(file) : FileExists(file)) return true;
  }
  return false;
}

// The kind and path of `spec`; false (kBadSpec) when it names no kind.
bool SplitSpec(std::string_view spec, char* mark, std::string* path, OpenFailure* failure) {
  *mark = spec.size() < 2 ? 0 : SpecMark(NormaliseSpec(spec));
  if (*mark == 0) {
    if (failure) *failure = {OpenProblem::kBadSpec, {}};
    return false;
  }
  *path = NormaliseSpec(spec).substr(1);
  return true;
}

void Report(const MessageBase& base, OpenFailure* failure) {
  if (failure) *failure = base.open_failure();
}

}  // namespace

std::unique_ptr<MessageBase> ConstructBase(char mark) {
  switch (mark) {
    case 'F':
      return std::make_unique<FidoBase>();
    case 'P':
      return std::make_unique<PacketBase>();
    case 'S':
      return std::make_unique<SquishBase>();
    case 'J':
      return std::make_unique<JamBase>();
    default:
      return nullptr;
  }
}

char SpecMark(std::string_view normalised_spec) {
  return normalised_spec.empty() ? 0 : CanonicalMark(normalised_spec[0]);
}

std::string NormaliseSpec(std::string_view spec) {
  if (spec.empty()) return {};
  std::string s = Cut(spec);
  if (CanonicalMark(s[0]) == 0) {
    std::string ext = UpperCase(Extension(s));
    if (ext == "JHR" || ext == "JDT" || ext == "JDX") {
      s = "!" + s;
    } else if (ext == "SQD" || ext == "SQI") {
      s = "$" + s;
    } else if (!HasExtension(s)) {
      s = "#" + s;
    } else if (ext == "PKT") {
      s = "P" + s;
    }
  }
  std::string ext = UpperCase(Extension(s));
  if (ext == "JHR" || ext == "JDT" || ext == "JDX" || ext == "SQD" || ext == "SQI") {
    s = AddSeparator(DirectoryPart(s)) + BareName(s);
  }
  switch (CanonicalMark(s[0])) {
    case 'F':
      s = AddSeparator(s) + std::string(kMsgMask);
      break;
    case 'P':
    case 'S':
    case 'J':
      s = AddSeparator(DirectoryPart(s)) + FileName(s);
      break;
    default:
      break;
  }
  return Cut(s);
}

std::unique_ptr<MessageBase> OpenExisting(uint32_t sharing, std::string_view spec, Access access,
                                          OpenFailure* failure) {
  char mark;
  std::string path;
  if (!SplitSpec(spec, &mark, &path, failure)) return nullptr;
  std::unique_ptr<MessageBase> base = ConstructBase(mark);
  base->set_access(access);
  if (base->Open(sharing, path) && base->is_open()) return base;
  Report(*base, failure);
  // A file not found is a damaged base only when another file of it is
  // there; a folder that may not be searched stays a permission problem.
  if (failure && failure->problem == OpenProblem::kNotFound && !BaseExistsAt(mark, path)) {
    *failure = {OpenProblem::kNoBase, {}};
  }
  return nullptr;
}

std::unique_ptr<MessageBase> OpenOrCreate(uint32_t sharing, std::string_view spec,
                                          OpenFailure* failure) {
  char mark;
  std::string path;
  if (!SplitSpec(spec, &mark, &path, failure)) return nullptr;
  std::unique_ptr<MessageBase> base = ConstructBase(mark);
  if (base->Open(sharing, path) && base->is_open()) return base;
  Report(*base, failure);
  // Create only where no base is: creating truncates, and a base that exists
  // but can not be opened must be left exactly as it is.
  for (const std::string& file : DataFiles(mark, path)) {
    if (FileExists(file)) return nullptr;
  }
  base = ConstructBase(mark);
  if (base->Create(sharing, path) && base->is_open()) return base;
  Report(*base, failure);
  return nullptr;
}

bool BaseExists(std::string_view spec) {
  char mark;
  std::string path;
  return SplitSpec(spec, &mark, &path, nullptr) && BaseExistsAt(mark, path);
}

bool SameBase(std::string_view a, std::string_view b) {
  char mark_a, mark_b;
  std::string path_a, path_b;
  if (!SplitSpec(a, &mark_a, &path_a, nullptr) || !SplitSpec(b, &mark_b, &path_b, nullptr)) {
    return false;
  }
  for (const std::string& file_a : BaseFiles(mark_a, path_a)) {
    for (const std::string& file_b : BaseFiles(mark_b, path_b)) {
      if (platform::SameFile(file_a, file_b)) return true;
    }
  }
  return false;
}

std::string DescribeOpenFailure(const OpenFailure& failure) {
  const std::string file = "[" + failure.file + "]";
  switch (failure.problem) {
    case OpenProblem::kNone:
      return "no reason known";
    case OpenProblem::kNotFound:
      return "damaged: " + file + " is missing";
    case OpenProblem::kAccessDenied:
      return "permission denied: " + file;
    case OpenProblem::kInUse:
      return "held by another program: " + file;
    case OpenProblem::kTooShort:
      return "damaged: " + file + " is too short";
    case OpenProblem::kWrongFormat:
      return "damaged: " + file + " is not of this kind of base";
    case OpenProblem::kReadFailed:
      return "damaged: " + file + " can not be read";
    case OpenProblem::kOpenFailed:
      return file + " can not be opened";
    case OpenProblem::kCannotCreate:
      return file + " can not be created";
    case OpenProblem::kWriteFailed:
      return file + " can not be written";
    case OpenProblem::kNoSpace:
      return "disk full: " + file + " can not be written";
    case OpenProblem::kNoBase:
      return "base not found";
    case OpenProblem::kBadSpec:
      return "unknown kind of base: a base spec starts with f, p, s or j";
    case OpenProblem::kSameBase:
      return "it is the source base";
    case OpenProblem::kUnfinishedSort:
      return "an interrupted sort of it could not be finished yet";
  }
  return "no reason known";
}

std::unique_ptr<MessageBase> CreateFresh(uint32_t sharing, std::string_view spec) {
  if (spec.empty()) return nullptr;
  EraseBase(spec);
  std::string normalised = NormaliseSpec(spec);
  std::unique_ptr<MessageBase> base = ConstructBase(SpecMark(normalised));
  if (!base) return nullptr;
  if (base->Create(sharing, normalised.substr(1)) && base->is_open()) return base;
  return nullptr;
}

bool EraseBase(std::string_view spec) {
  if (spec.empty()) return true;
  std::string normalised = NormaliseSpec(spec);
  char mark = SpecMark(normalised);
  if (mark != 0) EraseBaseAt(mark, std::string_view(normalised).substr(1));
  return false;
}

void EraseBaseAt(char mark, std::string_view path_view) {
  std::string path(path_view);
  switch (mark) {
    case 'F': {
      std::string directory = DirectoryPart(path);
      if (!DirectoryExists(directory.empty() ? "." : directory)) break;
      for (const platform::DirEntry& entry : platform::FindFiles(directory, kMsgMask)) {
        if (UpperCase(Extension(entry.name)) == "MSG") EraseFile(AddSeparator(directory) + entry.name);
      }
      break;
    }
    case 'P':
      EraseFile(path);
      break;
    case 'S':
      for (const char* ext : {".sqd", ".sqi", ".sql"}) EraseFile(path + ext);
      break;
    case 'J':
      for (const char* ext : {".jhr", ".jdt", ".jdx", ".jlr", ".jqx"}) EraseFile(path + ext);
      break;
    default:
      break;
  }
}

}  // namespace quil
